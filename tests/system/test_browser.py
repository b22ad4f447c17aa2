"""The sample page against the daemon on a virtual scanner, in headless
Chromium (over the DevTools protocol, without umockdev; it trusts the test's
server key by its SPKI hash) and in WebKitGTK (over WebDriver, on the X
display of xvfb-run)."""

import contextlib
import glob
import json
import os
import shutil
import socket
import subprocess
import time
import urllib.request

import pytest
from selenium import webdriver
from selenium.webdriver.remote.remote_connection import RemoteConnection

from sandbox import OPENED, REGISTERED, accepting, free_port, poll_until
from ws_client import Client

WEB = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "web", "client")
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update",
                  "--disable-sync", "--disable-quic",
                  # The site on the internet that the tests play on loopback.
                  "--host-resolver-rules=MAP pos.example.com 127.0.0.1"]
# The page server: http.server on loopback (argv: port, folder), over TLS when
# given a certificate and its key as well.
SERVE = ("import http.server as h, os, ssl, sys\nos.chdir(sys.argv[2])\ns = h.ThreadingHTTPServer("
         "('127.0.0.1', int(sys.argv[1])), h.SimpleHTTPRequestHandler)\nif sys.argv[3:]:\n c = ssl."
         "SSLContext(ssl.PROTOCOL_TLS_SERVER); c.load_cert_chain(*sys.argv[3:])\n s.socket = c."
         "wrap_socket(s.socket, server_side=True)\ns.serve_forever()")


@pytest.fixture
def background():
    """Starts a command without umockdev; each is killed after the test."""
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "UMOCKDEV_DIR")}
    started = []

    def start(*argv):
        started.append(subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        env=env))

    yield start
    for proc in started:
        proc.kill()
        proc.wait()


@pytest.fixture
def chromium(request, tmp_path, certificates, background):
    """A page server for web/client and a browser; yields the page's base URL
    and a DevTools connection to the browser's page."""
    # Parametrized with (scheme, "listed" or "unlisted"): the page comes from
    # pos.example.com, a site on the internet as far as the browser can tell,
    # whose origin the policy LocalNetworkAccessAllowedForUrls lists or not.
    scheme, listed = request.param
    page_port, cdp_port = free_port(), free_port()
    base = f"{scheme}://pos.example.com:{page_port}"
    flags = [f"--ip-address-space-overrides=127.0.0.1:{page_port}=public",
             f"--ignore-certificate-errors-spki-list={certificates.spki_hash()}"]
    tls = [certificates.chain, certificates.key] if scheme == "https" else []
    # Chromium reads managed policies from /etc/chromium/policies alone: it gets
    # a copy of /etc/chromium holding the test's, mounted over the machine's in
    # a mount namespace of its own.
    etc = tmp_path / "etc-chromium"
    shutil.copytree("/etc/chromium", etc, ignore=shutil.ignore_patterns("policies"))
    (etc / "policies" / "managed").mkdir(parents=True)
    policy = {"LocalNetworkAccessAllowedForUrls": [base]} if listed == "listed" else {}
    (etc / "policies" / "managed" / "tavitty.json").write_text(json.dumps(policy))
    background("/usr/bin/python3", "-c", SERVE, str(page_port), WEB, *tls)
    background("unshare", "-m", "--propagation", "private", "sh", "-c", 'mount --bind "$0" '
               '/etc/chromium && exec chromium "$@"', etc, *CHROMIUM_FLAGS, *flags,
               f"--user-data-dir={tmp_path}", f"--remote-debugging-port={cdp_port}")
    target = poll_until(lambda: page_target(cdp_port), 20)
    assert target and poll_until(lambda: accepting(page_port)), "Chromium did not come up"
    yield base, Page(cdp_port, target["webSocketDebuggerUrl"].split(str(cdp_port), 1)[1])


def page_target(cdp_port):
    with contextlib.suppress(OSError), urllib.request.urlopen(f"http://127.0.0.1:{cdp_port}/json",
                                                              timeout=1) as answer:
        return next((t for t in json.load(answer) if t.get("type") == "page"), None)


class Page:
    """One page, over the DevTools protocol; the events of the domains enabled
    are kept as they come."""

    def __init__(self, cdp_port, path):
        self.cdp_port, self.next_id, self.events = cdp_port, 0, []
        self.cdp = Client(cdp_port, path=path, tls=False)

    def another(self, url):
        """A second page of the same browser, at `url`."""
        return Page(self.cdp_port, "/devtools/page/" + self.call("Target.createTarget", url=url)["targetId"])

    def read(self, timeout=10):
        message = json.loads(self.cdp.recv(timeout))
        self.events += [message] if "method" in message else []
        return message

    def call(self, method, **params):
        self.next_id += 1
        self.cdp.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while (answer := self.read()).get("id") != self.next_id:
            pass
        return answer.get("result", {})

    def wait_event(self, method, seconds=20):
        """The parameters of an event `method` once it came, or None."""
        deadline = time.monotonic() + seconds
        with contextlib.suppress(socket.timeout):
            while not any(e["method"] == method for e in self.events):
                self.read(max(deadline - time.monotonic(), 0.01))
        return next((e.get("params", {}) for e in self.events if e["method"] == method), None)

    def evaluate(self, expression):
        """The value of a JavaScript expression in the page."""
        return self.call("Runtime.evaluate", expression=expression,
                         returnByValue=True)["result"]["value"]

    def wait_text(self, element_id, needle, seconds=20):
        """True once the element's text holds `needle`."""
        expression = f"(document.getElementById('{element_id}')?.innerText || '')"
        return poll_until(lambda: needle in self.evaluate(expression), seconds, 0.1)

    def wait_rows(self, element_id, rows, seconds=20):
        """True once the table body's rows, cut to as many cells as those
        expected, are `rows`."""
        expression = (f"[...document.getElementById('{element_id}').rows].map((r) => [...r.cells]"
                      f".slice(0, {len(rows[0])}).map((c) => c.textContent))")
        return poll_until(lambda: self.evaluate(expression) == rows, seconds, 0.1)


# A page from a site on the internet gets no scans where the policy does not
# list its origin, nor over http where it does (the permission needs a secure
# page); the page says why. With the policy, over https: the test below.
@pytest.mark.parametrize("chromium", [("https", "unlisted"), ("http", "listed")], indirect=True,
                         ids=["https-unlisted", "http-listed"])
def test_a_page_from_the_internet_gets_no_scans_unless_the_policy_lets_it(daemon, chromium):
    base, page = chromium
    d = daemon("tavi")
    page.call("Page.navigate", url=f"{base}/index.html?host=127.0.0.1&port={d.port}")
    assert page.wait_text("status", "LocalNetworkAccessAllowedForUrls")


# Pages from a site on the internet whose origin the policy lists, every
# scanner at once: the scanners a page chose, listed with what each can be
# told, and their scans; then what the page shows, after a reload, of the
# scan read meanwhile: the scan itself, once; or, where the daemon keeps no
# scans, a line that says scans may be missing.
@pytest.mark.parametrize("chromium", [("https", "listed")], indirect=True)
@pytest.mark.parametrize("keep, missed", [
    (10, ["R2", "goods"]),
    (0, ["scans may be missing: scans after it are no longer kept; those still kept follow"]),
], ids=["kept", "gap"])
def test_pages_get_the_scanners_they_chose_and_miss_nothing_as_they_reload(daemon, scanners,
                                                                          chromium, keep, missed):
    base, payment_page = chromium
    d = daemon("tavi", conf={"extra": (
        f"<ServeAllScanners>1</ServeAllScanners><KeepScans>{keep}</KeepScans><Scanners>"
        "<Scanner><VendorId>1a86</VendorId><ProductId>7523</ProductId><Name>goods</Name>"
        "<Signals><Good>47 0D</Good><Disable>44 0D</Disable><Enable>55 0D</Enable></Signals>"
        "</Scanner>"
        "<Scanner><VendorId>0c2e</VendorId><ProductId>0b87</ProductId><Name>payment</Name></Scanner>"
        "</Scanners>")})
    goods = scanners.nodes()[0]
    assert scanners.written(goods, 2) == b"U\r"  # enabled as it opens
    url = f"{base}/index.html?host=127.0.0.1&port={d.port}"
    payment_page.call("Page.navigate", url=url + "&sources=payment")
    every_page = payment_page.another(url)
    assert d.wait(REGISTERED, 2)
    # The list: goods open at connect, payment added and then gone; the
    # payment page follows payment alone.
    goods_row = ["goods", "serial", f"/dev/{goods}", "open"]
    assert every_page.wait_rows("scanners", [goods_row])
    payment = scanners.plug("hid-pos")
    assert d.wait(f"serving payment: hid-pos /dev/{payment} (0c2e:0b87)")
    payment_row = ["payment", "hid-pos", f"/dev/{payment}", "open"]
    assert every_page.wait_rows("scanners", [goods_row, payment_row])
    assert payment_page.wait_rows("scanners", [payment_row])
    # A button for each signal that a scanner can give (payment, without an
    # output report, has none) and to disable and enable it; each reaches the
    # scanner.
    rows = "[...document.querySelectorAll('#scanners tr')]"
    assert every_page.evaluate(f"{rows}.map((r) => [...r.querySelectorAll('button')]"
                               ".map((b) => b.textContent))") == [["good", "disable", "enable"],
                                                                  ["disable", "enable"]]
    for button, order in (("good", b"G\r"), ("disable", b"D\r"), ("enable", b"U\r")):
        assert every_page.evaluate(f"[...{rows}[0].querySelectorAll('button')]"
                                   f".find((b) => b.textContent === '{button}').click() ?? true")
        assert scanners.written(goods, 2) == order
    # The newest scan first: Data, Source, Symbology (a HID scanner's), size.
    scanners.type("G1", goods)
    assert every_page.wait_rows("scans", [["G1", "goods", "", "4"]])
    scanners.type("P1", payment)
    p1 = ["P1", "payment", "]Q1", "2"]
    assert every_page.wait_rows("scans", [p1, ["G1", "goods", "", "4"]])
    assert payment_page.wait_rows("scans", [p1])  # and no G1, sent before it
    scanners.unplug(payment)
    assert d.wait(f"payment is gone: /dev/{payment} closed")
    payment_row[3] = "gone"
    assert every_page.wait_rows("scanners", [goods_row, payment_row])
    # The reload's new page is held before its script (the client) loads:
    # the old page has gone by then, and the scan is read while no page is
    # there. The new page resumes after P1 (the tab's sessionStorage kept
    # it) and gets R2, or the GAP, once, before any later scan. (A page
    # left by navigating away may stay in the back-forward cache, its socket
    # open, and get its scans there.)
    gone, registered = d.lines().count("g_conn over!"), d.lines().count(REGISTERED)
    every_page.call("Fetch.enable", patterns=[{"urlPattern": "*/tavitty-client.mjs"}])
    every_page.call("Page.reload", ignoreCache=True)
    held = every_page.wait_event("Fetch.requestPaused")
    assert held and d.wait("g_conn over!", gone + 1)
    scanners.type("R2", goods)
    assert d.wait("have data from goods: R2\r")
    every_page.call("Fetch.continueRequest", requestId=held["requestId"])
    assert d.wait(REGISTERED, registered + 1)
    scanners.type("R3", goods)
    assert every_page.wait_rows("scans", [["R3", "goods"], missed])


# WebKitGTK: Debian's WebDriver starts its MiniBrowser for each session.
WEBKIT_DRIVER = "/usr/bin/WebKitWebDriver"
MINIBROWSER = next(iter(glob.glob("/usr/lib/*/webkit2gtk-4.1/MiniBrowser")), None)
# The system store of CAs, which GnuTLS reads for WebKitGTK.
SYSTEM_CAS = "/etc/ssl/certs/ca-certificates.crt"


class WebKitPage(Page):
    """The page of a WebKitGTK session, over WebDriver."""

    def __init__(self, session):
        self.session = session

    def evaluate(self, expression):
        return self.session.execute_script(f"return {expression};")


@pytest.fixture
def webkit(request, tmp_path, certificates, background):
    """A page server for web/client, from the kiosk itself (http://localhost)
    or, parametrized with "https", from till.example (another host of the
    shop's network, like the daemon's scanner.example); and WebKitGTK in a
    mount and pid namespace of its own, where those names are in /etc/hosts
    and the test's CA is in the system store. Yields the page's base URL and
    the browser's page."""
    page_port, driver_port = free_port(), free_port()
    tls = [certificates.chain, certificates.key] if request.param == "https" else []
    base = f"{request.param}://{'till.example' if tls else 'localhost'}:{page_port}"
    cas, hosts = tmp_path / "ca-certificates.crt", tmp_path / "hosts"
    cas.write_text(open(SYSTEM_CAS).read() + open(certificates.root).read())
    hosts.write_text(open("/etc/hosts").read() + "\n127.0.0.1 till.example scanner.example\n")
    background("/usr/bin/python3", "-c", SERVE, str(page_port), WEB, *tls)
    # Killing unshare kills the namespace's first process, and with it every
    # process of the browser.
    background("unshare", "-m", "-p", "-f", "--kill-child", "--mount-proc", "--propagation",
               "private", "sh", "-c", f'mount --bind "$0" {SYSTEM_CAS} && mount --bind "$1" '
               f'/etc/hosts && exec {WEBKIT_DRIVER} --host=127.0.0.1 --port={driver_port}',
               cas, hosts)
    RemoteConnection.set_timeout(60)  # each WebDriver request, in seconds
    options = webdriver.webkitgtk.options.Options()
    options.binary_location = MINIBROWSER
    options.add_argument("--automation")
    options.capabilities.pop("platform")  # Selenium 4.8's default, which only draws a warning
    assert poll_until(lambda: accepting(driver_port), 30), "WebKitWebDriver did not come up"
    assert poll_until(lambda: accepting(page_port)), "the page server did not come up"
    session = webdriver.Remote(command_executor=f"http://127.0.0.1:{driver_port}", options=options)
    session.set_page_load_timeout(60)
    yield base, WebKitPage(session)


# Where the page comes from, where it finds the daemon, and whether it gets
# scans: a page of the kiosk itself over ws:// (through an unplug and a
# restart too), and an https page of another host of the network over
# wss://; an https page to plain ws://, even on 127.0.0.1, WebKit refuses
# (mixed content), and the page says why. A UTF-8 scan comes in a text frame,
# a GBK one (its last byte a backslash) in a binary frame.
@pytest.mark.parametrize("webkit, daemon_at, gets_scans", [
    ("http", "", True),
    ("https", "host=scanner.example&scheme=wss&", True),
    ("https", "host=127.0.0.1&", False),
], indirect=["webkit"], ids=["localhost-ws", "lan-wss", "https-to-ws"])
def test_webkit_shows_scans_or_why_it_gets_none(daemon, webkit, certificates, daemon_at,
                                                gets_scans):
    base, page = webkit
    d = daemon("tavi", conf={"encode": "4"}, tls="wss" in daemon_at and certificates)
    page.session.get(f"{base}/index.html?{daemon_at}port={d.port}")
    if not gets_scans:
        assert page.wait_text("status", f"failed: the browser will not open ws://127.0.0.1:{d.port}/"
                              " from an https page: use wss://")
        return
    assert page.wait_text("status", "connected", 30) and d.wait(REGISTERED)
    d.scanners.type("扫码-W".encode())
    d.scanners.type(b"\xc4\xe3\x81\x5c")
    assert page.wait_rows("scans", [["你乗"], ["扫码-W"]])
    if not daemon_at:
        # Unplugged: the daemon exits, its supervisor (this test) starts it
        # again, and the scanner comes back; the page registers again by itself.
        d.unplug()
        assert d.proc.wait_exit() == 0
        d.start()
        assert d.wait_accepting() and d.plug("tavi") and d.wait(OPENED.format(0x1a86, 0x7523))
        assert d.wait(REGISTERED)
        d.scanners.type("扫码-2".encode())
        assert page.wait_rows("scans", [["扫码-2"], ["你乗"], ["扫码-W"]])
