"""The daemon's pages as a user meets them: registration, fan-out, clients
that misbehave, the connection cap, the listener and its network policy, and
standard output that takes nothing. This suite runs under umockdev-wrapper."""

import os
import select
import time
from concurrent.futures import ThreadPoolExecutor
from http.client import HTTPConnection, HTTPSConnection

import pytest

import ws_client
from conftest import LISTENER_ERROR, NOT_OPEN, frame, page, scan
from sandbox import CONF_PATH, REGISTERED, WRAP, accepting, poll_until, raise_descriptor_limit
from virtual_scanner import BYSTANDERS, KEYBOARD_CONF
from ws_client import Client, Crowd, Refused

def attempt(port, timeout=3, **kwargs):
    """A client connected to the daemon, or None where it was not let in."""
    try:
        return Client(port, timeout=timeout, **kwargs)
    except (OSError, Refused):
        return None


def test_many_pages_each_receive_every_scan_and_more_wait_without_a_spin(daemon):
    raise_descriptor_limit(1200)
    d = daemon("tavi", wrap=("prlimit", "--nofile=200:200", "--"))
    p = page(d)
    with ThreadPoolExecutor(350) as pool:
        admitted = [c for c in pool.map(lambda _: attempt(d.port), range(300)) if c]
        assert 100 <= len(admitted) < 200  # capped below the 200 descriptors
        assert d.register(*admitted)
        # At the cap, with clients still queueing: no busy loop, no flood.
        lines, cpu = len(d.lines()), d.cpu_seconds()
        late = [pool.submit(attempt, d.port, 10) for _ in range(50)]
        time.sleep(2)
        assert d.cpu_seconds() - cpu < 0.5 and len(d.lines()) - lines < 20
        for i in range(3):
            scan(d, f"at the cap {i}", p, *admitted)
        for c in admitted[:60]:  # room again: the waiting ones get in
            c.close()
        arrived = [c for c in (f.result() for f in late) if c]
    assert len(arrived) >= 10 and d.register(arrived[-1])
    scan(d, "room again", p, arrived[-1])


@pytest.mark.skipif(bool(os.environ.get("TAVITTY_SANITIZE") or WRAP),
                    reason="a sanitizer or valgrind keeps memory of its own")
def test_nothing_grows_per_scan_nor_with_a_noisy_bus(daemon, scanners):
    """Scans to ten pages, and a till's bystanders plugged, changed, bound and
    unplugged by the thousand while the scanner is served: each scan comes
    once, in order; no descriptor stays open, the memory stays put."""
    d = daemon("tavi", conf={"extra": KEYBOARD_CONF})
    real, pages = scanners.nodes()[0], [Client(d.port) for _ in range(10)]
    assert d.register(*pages)
    crowd, folder = Crowd(pages), f"/proc/{d.pid()}/fd"

    def fds():  # those open now (one that closes as it is read is not)
        return {fd: os.path.realpath(f"{folder}/{fd}") for fd in os.listdir(folder)
                if os.path.lexists(f"{folder}/{fd}")}

    def scans(first, count, churn=False):  # with a hundred udev events before each where churned
        for i in range(first, first + count):
            if churn:
                since = d.events_taken()
                scanners.churn(BYSTANDERS, 4, lambda events: d.taken(events, since))
            scanners.type("%05d" % i, real)
            assert crowd.receive(1) == len(pages)
            for p in pages:
                assert [m for m, _ in p.messages] == [frame(0, "%05d\r\n" % i)]
                p.messages.clear()

    scans(0, 500)  # warm-up: the converter loaded, the buffers at their size
    scans(500, 5, churn=True)
    before, rss = fds(), d.rss_mb()
    scans(505, 20, churn=True)
    assert poll_until(lambda: fds() == before, 5)  # once the last events are taken
    assert d.rss_mb() - rss < 1
    rss = d.rss_mb()
    scans(1000, 20000)
    assert fds() == before and d.rss_mb() - rss < 0.5
    assert sum(l.startswith("connect device") for l in d.lines()) == 1


def test_registration_and_clients_that_misbehave(daemon):
    d = daemon("tavi")
    p, silent = page(d), Client(d.port)
    silent.send("")  # an empty message registers nobody
    assert p.nothing_more()  # registration is silent
    # Long, huge and fragmented messages register their senders like any; a
    # registered page's next message (a keep-alive) changes nothing; a
    # connection's end takes it off the list.
    for n, pieces in enumerate((["x" * 2000], ["y" * (1 << 20)], ["frag", "men", "ted"])):
        talker = Client(d.port)
        before = d.lines().count(REGISTERED)
        for i, piece in enumerate(pieces):
            talker.send(piece, 0 if i else 1, fin=i == len(pieces) - 1)
        assert d.wait(REGISTERED, before + 1)
        assert f"debug:{''.join(pieces)[:1023]} " in d.lines()  # taken whole: its first 1023 bytes
        p.send("keep-alive")
        scan(d, f"talked{n}", p, talker)
        talker.close()
    assert silent.nothing_more() and p.nothing_more()


def test_a_page_that_never_reads_is_dropped(daemon):
    d = daemon("tavi")
    reader, sleeper = page(d), page(d, rcvbuf=2048)
    for i in range(1500):  # paced by the reader, so that each scan arrives alone
        scan(d, "%05d" % i + "S" * 2000, reader)
        if "g_conn over!" in d.lines():
            break
    # Gone once 1 MiB waits for it beyond what the kernel holds (about 1.5 MB
    # on loopback): by 3 MB of scans, not at twice the bound.
    assert d.wait("g_conn over!"), "the page that never reads is still served"


POS = "https://pos.example.com"
ORIGINS = f"<AllowedOrigins><Origin>{POS}</Origin><Origin></Origin></AllowedOrigins>"


# Extra configuration, what standard error says of the listener, and who is
# served: (host, Origin header or None).
@pytest.mark.parametrize("extra,said,expected", [
    ("", "listening on 0.0.0.0:{} for any origin",
     {("127.0.0.1", None): True, ("127.0.0.2", POS): True}),
    ("<BindAddress><!-- loopback only --> 127.0.0.2 </BindAddress>",
     "listening on 127.0.0.2:{} for any origin",
     {("127.0.0.2", None): True, ("127.0.0.1", None): False}),
    ("<BindAddress>localhost</BindAddress>", 'BindAddress "localhost" is not an IPv4 address',
     {("127.0.0.1", None): False}),
    ("<BindAddress>127.0.0.1</BindAddres>",  # never wider than written
     f"{CONF_PATH} can't be used: it is not well-formed XML (line 11: Error reading end tag.)",
     {("127.0.0.1", None): False}),
    (ORIGINS, "listening on 0.0.0.0:{} for origins " + POS,
     {("127.0.0.1", POS): True, ("127.0.0.1", None): True,
      ("127.0.0.1", POS + ".evil.example"): False, ("127.0.0.1", POS.upper()): False,
      ("127.0.0.1", "http://pos.example.com"): False, ("127.0.0.1", "null"): False}),
    ("<AllowedOrigins><Origin> </Origin></AllowedOrigins>", "for any origin",
     {("127.0.0.1", "null"): True}),
])
def test_network_policy(daemon, extra, said, expected):
    d = daemon(conf={"extra": extra})
    if any(expected.values()):
        assert poll_until(lambda: any(accepting(d.port, h) for h, _ in expected))
    else:
        assert d.wait(LISTENER_ERROR)
    assert d.proc.stderr.wait_for(lambda l: said.format(d.port) in l) is not None
    clients = {(host, origin): attempt(d.port, 5, host=host, origin=origin) for host, origin in expected}
    for client in filter(None, clients.values()):
        client.send("hello")
    assert {key: bool(c) and c.recv() == NOT_OPEN for key, c in clients.items()} == expected


def test_a_page_from_an_origin_not_allowed_is_answered_403_and_why(daemon):
    d = daemon(conf={"extra": ORIGINS})
    assert d.wait_accepting()
    tls = ws_client.DEFAULT_TLS  # over wss:// when the suite runs over TLS
    http = (HTTPSConnection("127.0.0.1", d.port, timeout=5, context=tls) if tls
            else HTTPConnection("127.0.0.1", d.port, timeout=5))
    http.request("GET", "/", headers={"Upgrade": "websocket", "Connection": "Upgrade",
                                      "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ==",
                                      "Sec-WebSocket-Version": "13", "Origin": "https://evil.example"})
    answer = http.getresponse()
    assert (answer.status, answer.reason) == (403, "Forbidden")
    assert answer.read() == b"origin https://evil.example is not allowed to reach this scanner service\n"


# Where standard output goes, and how many scans of 1 KB (about 6 KB of output
# each, with their bytes in hex): a pipe holds 64 KB, the relay 1 MiB more.
@pytest.mark.parametrize("stdout,scans", [("closed", 60), ("pipe-nobody-reads", 60),
                                          ("pipe-nobody-reads", 250)])
def test_standard_output_that_takes_nothing_does_not_stop_the_service(daemon, tmp_path, stdout,
                                                                      scans):
    fifo = tmp_path / "stdout.fifo"
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # opened, not read until the end
    target = ">&-" if stdout == "closed" else f"> {fifo}"
    d = daemon("tavi", wait_open=False, wrap=("sh", "-c", f'exec "$0" "$@" {target}'))
    assert d.wait_accepting()
    p = Client(d.port)  # registered once the scanner is open: no more -2
    assert poll_until(lambda: p.send("register") or p.nothing_more(1), 20, 0.1)
    for i in range(scans):
        scan(d, "%04d" % i + "S" * 1000, p)
    if stdout == "pipe-nobody-reads":
        # It all comes out now, but for the oldest lines beyond the relay's bound.
        out, last, deadline = b"", b"have data %04d" % (scans - 1), time.monotonic() + 10
        while last not in out and time.monotonic() < deadline:
            if select.select([reader], [], [], 1)[0]:
                out += os.read(reader, 1 << 16)
        dropped = b"lines dropped" in out
        assert last in out and dropped == (scans > 100)
        assert dropped or out.count(b"have data ") == scans
    os.close(reader)
