"""The sample page in headless Chromium (driven over the DevTools protocol)
against the daemon on a virtual scanner: scans show up on the page, and after
an unplug, a restart and a replug the page reconnects by itself. Runs under
umockdev-wrapper; Chromium itself is started without umockdev."""

import json
import os
import shutil
import subprocess
import tempfile
import urllib.request

import pytest

from sandbox import OPENED, REGISTERED, accepting, free_port, poll_until
from ws_client import Client

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update",
                  "--disable-sync", "--disable-quic"]
TAVI = OPENED.format(0x1a86, 0x7523)


def start(argv):
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "UMOCKDEV_DIR")}
    return subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)


@pytest.fixture
def chromium(tmp_path):
    """A page server for web/client and a browser; yields the page server's
    port and a DevTools connection to the browser's page."""
    if shutil.which("chromium") is None:
        pytest.skip("chromium is not installed")
    page_port, cdp_port = free_port(), free_port()
    server = start(["/usr/bin/python3", "-m", "http.server", str(page_port), "--bind",
                    "127.0.0.1", "--directory", os.path.join(ROOT, "web", "client")])
    browser = start(["chromium"] + CHROMIUM_FLAGS + [f"--user-data-dir={tmp_path}",
                                                     f"--remote-debugging-port={cdp_port}",
                                                     "about:blank"])
    try:
        target = poll_until(lambda: page_target(cdp_port), 20)
        assert target and poll_until(lambda: accepting(page_port)), "Chromium did not come up"
        path = target["webSocketDebuggerUrl"].split(str(cdp_port), 1)[1]
        yield page_port, Page(Client(cdp_port, path=path))
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
    page_port, page = chromium
    d = daemon("tavi")
    page.call("Page.navigate", url=f"http://127.0.0.1:{page_port}/index.html?port={d.port}")
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
