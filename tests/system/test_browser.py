"""The sample page in headless Chromium (driven over the DevTools protocol)
against the daemon on a virtual scanner: scans show up on the page, after an
unplug, a restart and a replug too, and a page from a site on the internet gets
them only where the browser's policy lets it. Chromium runs without umockdev."""

import json
import os
import shutil
import subprocess
import urllib.request

import pytest

from sandbox import OPENED, REGISTERED, accepting, free_port, poll_until
from ws_client import Client

WEB = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "web", "client")
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update",
                  "--disable-sync", "--disable-quic", "--ignore-certificate-errors",
                  # The site on the internet that the tests play on loopback.
                  "--host-resolver-rules=MAP pos.example.com 127.0.0.1"]
TAVI = OPENED.format(0x1a86, 0x7523)
# The page server: http.server on loopback (argv: port, folder), over TLS when
# given a certificate and its key as well.
SERVE = ("import http.server as h, os, ssl, sys\nos.chdir(sys.argv[2])\ns = h.ThreadingHTTPServer("
         "('127.0.0.1', int(sys.argv[1])), h.SimpleHTTPRequestHandler)\nif sys.argv[3:]:\n c = ssl."
         "SSLContext(ssl.PROTOCOL_TLS_SERVER); c.load_cert_chain(*sys.argv[3:])\n s.socket = c."
         "wrap_socket(s.socket, server_side=True)\ns.serve_forever()")


def start(argv):
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "UMOCKDEV_DIR")}
    return subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)


@pytest.fixture
def chromium(request, tmp_path):
    """A page server for web/client and a browser; yields the page's base URL
    and a DevTools connection to the browser's page."""
    if shutil.which("chromium") is None or not os.path.isdir("/etc/chromium"):
        pytest.skip("chromium is not installed")
    # The page comes from 127.0.0.1, or, parametrized with (scheme, "listed" or
    # "unlisted"), from pos.example.com: a site on the internet as far as the
    # browser can tell, whose origin the policy LocalNetworkAccessAllowedForUrls
    # lists or not.
    scheme, remote = getattr(request, "param", ("http", ""))
    page_port, cdp_port, tls = free_port(), free_port(), []
    base = f"{scheme}://{'pos.example.com' if remote else '127.0.0.1'}:{page_port}"
    flags = [f"--ip-address-space-overrides=127.0.0.1:{page_port}=public"] if remote else []
    if scheme == "https":
        tls = [tmp_path / "cert.pem", tmp_path / "key.pem"]
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                        "-subj", "/CN=pos", "-out", tls[0], "-keyout", tls[1]], check=True)
    # Chromium reads managed policies from /etc/chromium/policies alone: it gets
    # a copy of /etc/chromium holding the test's, mounted over the machine's in
    # a mount namespace of its own.
    etc = tmp_path / "etc-chromium"
    shutil.copytree("/etc/chromium", etc, ignore=shutil.ignore_patterns("policies"))
    (etc / "policies" / "managed").mkdir(parents=True)
    policy = {"LocalNetworkAccessAllowedForUrls": [base]} if remote == "listed" else {}
    (etc / "policies" / "managed" / "tavitty.json").write_text(json.dumps(policy))
    server = start(["/usr/bin/python3", "-c", SERVE, str(page_port), WEB, *tls])
    browser = start(["unshare", "-m", "--propagation", "private", "sh", "-c", 'mount --bind "$0" '
                     '/etc/chromium && exec chromium "$@"', etc, *CHROMIUM_FLAGS, *flags,
                     f"--user-data-dir={tmp_path}", f"--remote-debugging-port={cdp_port}"])
    try:
        target = poll_until(lambda: page_target(cdp_port), 20)
        assert target and poll_until(lambda: accepting(page_port)), "Chromium did not come up"
        path = target["webSocketDebuggerUrl"].split(str(cdp_port), 1)[1]
        yield base, Page(Client(cdp_port, path=path))
    finally:
        for proc in (browser, server):
            proc.kill()
            proc.wait()


def page_target(cdp_port):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{cdp_port}/json", timeout=1) as answer:
            return next((t for t in json.load(answer) if t.get("type") == "page"), None)
    except OSError:
        return None


class Page:
    """One page, over the DevTools protocol."""

    def __init__(self, cdp):
        self.cdp, self.next_id = cdp, 0

    def call(self, method, **params):
        self.next_id += 1
        self.cdp.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            answer = json.loads(self.cdp.recv())
            if answer.get("id") == self.next_id:
                return answer.get("result", {})

    def wait_text(self, element_id, needle, seconds=20):
        """True once the element's text holds `needle`."""
        expression = f"(document.getElementById('{element_id}')?.innerText || '')"
        return poll_until(lambda: needle in self.call(
            "Runtime.evaluate", expression=expression, returnByValue=True)["result"]["value"],
            seconds, 0.1)


def test_page_shows_scans_and_reconnects_after_a_restart(daemon, chromium):
    base, page = chromium
    d = daemon("tavi")
    page.call("Page.navigate", url=f"{base}/index.html?port={d.port}")
    assert page.wait_text("status", "connected")
    assert d.wait(REGISTERED)
    d.scanners.type("扫码-1")
    assert page.wait_text("scans", "扫码-1")
    # Unplugged: the daemon exits, its supervisor (this test) starts it again,
    # and the scanner comes back; the page registers again by itself.
    d.unplug()
    assert d.proc.wait_exit() == 0
    d.start()
    assert d.wait_accepting() and d.plug("tavi") and d.wait(TAVI) and d.wait(REGISTERED)
    d.scanners.type("扫码-2")
    assert page.wait_text("scans", "扫码-2")


@pytest.mark.parametrize("chromium, gets_scans", [
    (("https", "listed"), True),
    (("https", "unlisted"), False),  # no policy: the browser refuses
    (("http", "listed"), False),  # the permission needs a secure page
], indirect=["chromium"], ids=["https-listed", "https-unlisted", "http-listed"])
def test_a_page_from_the_internet_needs_the_policy(daemon, chromium, gets_scans):
    base, page = chromium
    d = daemon("tavi")
    page.call("Page.navigate", url=f"{base}/index.html?host=127.0.0.1&port={d.port}")
    if gets_scans:
        assert d.wait(REGISTERED)
        d.scanners.type("扫码-3")
        assert page.wait_text("scans", "扫码-3")
    else:
        assert page.wait_text("status", "LocalNetworkAccessAllowedForUrls")  # the page says why
