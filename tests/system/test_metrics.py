"""The metrics a fleet's Prometheus scrapes (<Metrics>): what they say of the
scanners, the pages and the listener, promtool's lint (Prometheus's own
parser), a real Prometheus server on loopback, where the listener listens, and
a certificate running out.
This suite runs under umockdev-wrapper."""

import calendar
import contextlib
import json
import os
import socket
import subprocess
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

import pytest
from cryptography import x509

from conftest import GOODS, frame, page, told, unnumbered
from sandbox import VERSION, accepting, free_port, poll_until
from tls_certs import ThrowawayCA

def metrics_conf(port, bind=None):
    return (f"<Metrics><Port>{port}</Port>"
            + (f"<BindAddress>{bind}</BindAddress>" if bind is not None else "") + "</Metrics>")


def get(port, path="/metrics", method="GET", timeout=5):
    """(status, body) of a plain HTTP request."""
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", method=method)
    try:
        with urllib.request.urlopen(request, timeout=timeout) as answer:
            return answer.status, answer.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode()


def samples(text):
    """{name{labels}: value} of the exposition text."""
    return {line.rsplit(" ", 1)[0]: float(line.rsplit(" ", 1)[1])
            for line in text.splitlines() if line and not line.startswith("#")}


@pytest.fixture
def prometheus(tmp_path):
    """A metrics port, and a real Prometheus server on loopback that scrapes it
    every second: yields the port and a query's value (None while it has none)."""
    port, web = free_port(), free_port()
    (tmp_path / "prometheus.yml").write_text(
        "global: {scrape_interval: 1s, evaluation_interval: 1s}\nscrape_configs:\n"
        f"  - job_name: tavitty\n    static_configs: [{{targets: ['127.0.0.1:{port}']}}]\n")
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "UMOCKDEV_DIR")}
    server = subprocess.Popen(
        ["prometheus", f"--config.file={tmp_path / 'prometheus.yml'}",
         f"--storage.tsdb.path={tmp_path / 'data'}", f"--web.listen-address=127.0.0.1:{web}"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)

    def query(expression):
        with contextlib.suppress(OSError, ValueError, LookupError), urllib.request.urlopen(
                f"http://127.0.0.1:{web}/api/v1/query?query=" + urllib.parse.quote(expression),
                timeout=5) as answer:
            return float(json.load(answer)["data"]["result"][0]["value"][1])

    yield port, query
    server.terminate()
    server.wait(30)


# The metrics after scans, drops and a scanner gone, as the daemon serves them
# and as a real Prometheus server scrapes them.
def test_the_metrics_say_what_a_fleet_needs_and_prometheus_takes_them(daemon, scanners, tmp_path,
                                                                     systemd, prometheus):
    port, query = prometheus
    soon = ThrowawayCA(tmp_path, days=10)  # a certificate that ends within 30 days
    d = daemon("tavi", conf={"extra": GOODS + metrics_conf(port) + soon.conf()}, tls=None)
    node = scanners.nodes()[0]
    end = x509.load_pem_x509_certificate(open(soon.chain, "rb").read()).not_valid_after
    warning = f"certificate {soon.chain} ends on {end:%Y-%m-%d %H:%M} UTC, within 30 days: make a new one"
    assert d.proc.stderr.wait_for(warning.__eq__) is not None
    assert told(systemd, f"serving 1 scanner (goods /dev/{node}) to 0 pages; {warning}")
    # Idle connections, requests sent in part and answers never read, held
    # to the end: they hold up no scrape, each answered at once, well within
    # the 5 s that every client is given.
    assert poll_until(lambda: accepting(port))
    held = []
    for i in range(40):
        held.append(socket.create_connection(("127.0.0.1", port), timeout=5))
        if i % 4 == 1:
            held[-1].sendall(b"GET /metr")  # half a request, never finished
        elif i % 4 == 2:  # a whole request whose answer is never read
            held[-1].setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
            held[-1].sendall(b"GET /metrics HTTP/1.1\r\n\r\n")
    p = page(d, tls=soon.context())
    for text in ("SECRET-1", "SECRET-22"):
        scanners.type(text, node)
        assert unnumbered(p.recv()) == frame(0, text + "\r\n", "goods")
    scanners.type(b"\x81\x30\xff\xfe", node)  # not GB18030
    scanners.type(b"x" * 3000, node)  # longer than a scan may be
    assert d.wait("scan longer than 2048 bytes, dropped")
    text = get(port, timeout=2)[1]
    labels = 'scanner="goods",kind="serial",device="/dev/%s"' % node
    expected = {
        f"tavitty_scanner_open{{{labels}}}": 1, f"tavitty_scans_total{{{labels}}}": 2,
        f"tavitty_scan_bytes_total{{{labels}}}": 21,
        f'tavitty_scans_dropped_total{{{labels},reason="conversion"}}': 1,
        f'tavitty_scans_dropped_total{{{labels},reason="too_long"}}': 1,
        "tavitty_pages_connected": 1, "tavitty_pages_registered": 1,
        "tavitty_messages_sent_total": 2, "tavitty_listener_up": 1,
        "tavitty_tls_certificate_expiry_timestamp_seconds": calendar.timegm(end.timetuple()),
        f'tavitty_build_info{{version="{VERSION}"}}': 1}
    assert {key: samples(text).get(key) for key in expected} == expected
    assert "SECRET" not in text  # nothing of a scan's content
    assert poll_until(lambda: query('sum(tavitty_scans_total{scanner="goods"})') == 2, 60)
    lint = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                          text=True, timeout=30)
    assert lint.returncode == 0, lint.stdout + lint.stderr
    # The listener answers that one path, to that one method.
    assert [get(port, path, method, timeout=2)[0] for path, method in (
        ("/metrics?x=1", "GET"), ("/", "GET"), ("/metrics", "POST"), ("/metrics", "HEAD"))] == [
        200, 404, 405, 405]
    with socket.create_connection(("127.0.0.1", port), timeout=5) as raw:
        raw.sendall(b"\x16\x03\x01 garbage\r\n\r\n")
        assert raw.recv(100).startswith(b"HTTP/1.1 400")

    # udev says the scanner is gone while bytes of a scan still come: the
    # scan is cut, said and counted, as when the line hangs up first.
    stop = threading.Event()
    writer = threading.Thread(target=lambda: [
        scanners.type(b"x", node, terminator=b"") for _ in range(500)
        if not stop.wait(0.005)])  # a byte every 5 ms: the scan never ends by itself
    writer.start()
    time.sleep(0.1)
    scanners.remove_event(node)
    assert d.wait("goods is gone: /dev/%s closed" % node)
    stop.set()
    writer.join()
    assert any(l.startswith("a scan under way from goods (") and
               l.endswith(" bytes) was dropped: the scanner went") for l in d.lines())
    text = get(port)[1]
    assert [samples(text)[f"tavitty_scanner_open{{{labels}}}"],
            samples(text)[f'tavitty_scans_dropped_total{{{labels},reason="hang_up"}}']] == [0, 1]
    assert poll_until(lambda: query('tavitty_scanner_open{scanner="goods"}') == 0, 60)


# <Metrics> as written, and who can scrape: (address, served).
@pytest.mark.parametrize("metrics,reach,said", [
    ("", {"127.0.0.1": True, "127.0.0.2": False}, "metrics on http://127.0.0.1:{}/metrics"),
    ("127.0.0.2", {"127.0.0.1": False, "127.0.0.2": True}, "metrics on http://127.0.0.2:{}/metrics"),
    ("localhost", {"127.0.0.1": False},
     "no metrics listener on localhost:{}: its BindAddress is not an IPv4 address"),
    ("in use", {"127.0.0.1": True},
     "no metrics listener on 127.0.0.1:{} (Address already in use), trying again every 2 s"),
])
def test_the_metrics_listen_where_they_are_told_and_never_wider(daemon, metrics, reach, said):
    port = free_port()
    with socket.socket() as taken:
        if metrics == "in use":
            taken.bind(("127.0.0.1", port))
            taken.listen()
        d = daemon(conf={"extra": metrics_conf(port, None if metrics in ("", "in use") else metrics)})
        assert d.proc.stderr.wait_for(lambda l: l == said.format(port)) is not None
        assert d.wait_accepting()  # the WebSocket listener is not affected either way
    if metrics == "in use":  # freed: tried again
        assert d.proc.stderr.wait_for(lambda l: l.startswith("metrics on http")) is not None
    for host, served in reach.items():
        assert poll_until(lambda: accepting(port, host), 3 if served else 0.3) == served, host
