"""The sample page in headless Chromium (driven over the DevTools protocol)
against the daemon on a virtual scanner: scans show up on the page, and after
an unplug, a restart and a replug the page reconnects by itself. Runs under
umockdev-wrapper; Chromium itself is started without umockdev."""

import asyncio
import json
import os
import shutil
import subprocess
import tempfile
import urllib.request

import pytest
import websockets

from daemon_session import OPENED, Session
from harness import poll_until
from virtual_scanner import VirtualScanners
from webclients import accepting, free_port

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update",
                  "--disable-sync", "--disable-quic"]


def clean_env():
    env = dict(os.environ)
    for name in ("LD_PRELOAD", "UMOCKDEV_DIR"):
        env.pop(name, None)
    return env


@pytest.fixture
def page_server():
    port = free_port()
    server = subprocess.Popen(
        ["/usr/bin/python3", "-m", "http.server", str(port), "--bind", "127.0.0.1",
         "--directory", os.path.join(ROOT, "web", "client")],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=clean_env())
    assert poll_until(lambda: accepting(port))
    yield port
    server.kill()
    server.wait()


@pytest.fixture
def chromium():
    binary = shutil.which("chromium")
    if binary is None:
        pytest.skip("chromium is not installed")
    profile = tempfile.mkdtemp(prefix="tavitty-chromium-")
    port = free_port()
    browser = subprocess.Popen(
        [binary] + CHROMIUM_FLAGS + [f"--user-data-dir={profile}",
                                     f"--remote-debugging-port={port}", "about:blank"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=clean_env())
    yield port
    browser.kill()
    browser.wait()
    shutil.rmtree(profile, ignore_errors=True)


def page_target(cdp_port):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{cdp_port}/json", timeout=1) as answer:
            targets = json.load(answer)
    except OSError:
        return None
    return next((t for t in targets if t.get("type") == "page"), None)


class Page:
    """One page, over the DevTools protocol."""

    def __init__(self, socket):
        self.socket = socket
        self.next_id = 0

    async def call(self, method, **params):
        self.next_id += 1
        await self.socket.send(json.dumps({"id": self.next_id, "method": method,
                                           "params": params}))
        while True:
            answer = json.loads(await asyncio.wait_for(self.socket.recv(), 10))
            if answer.get("id") == self.next_id:
                return answer.get("result", {})

    async def text(self, element_id):
        result = await self.call("Runtime.evaluate", returnByValue=True,
                                 expression=f"document.getElementById('{element_id}')?.innerText")
        return result.get("result", {}).get("value") or ""

    async def wait_text(self, element_id, needle, seconds=20):
        for _ in range(seconds * 10):
            if needle in await self.text(element_id):
                return True
            await asyncio.sleep(0.1)
        return False


def test_page_shows_scans_and_reconnects_after_a_restart(namespace, page_server, chromium):
    scanners = VirtualScanners()
    node = scanners.plug("tavi")
    s = Session(namespace, scanners)
    s.wait(OPENED.format(0x1a86, 0x7523))
    s.wait_listening()
    target = poll_until(lambda: page_target(chromium), 20)
    assert target, "Chromium did not come up"

    async def scenario():
        async with websockets.connect(target["webSocketDebuggerUrl"], max_size=None) as cdp:
            page = Page(cdp)
            await page.call("Page.navigate",
                            url=f"http://127.0.0.1:{page_server}/index.html?port={s.port}")
            assert await page.wait_text("status", "connected")
            s.wait("g_conn  get!")
            scanners.type("扫码-1")
            assert await page.wait_text("scans", "扫码-1"), await page.text("scans")

            # Unplugged: the daemon exits, its supervisor (this test) starts it
            # again, and the scanner comes back.
            s.unplug(node)
            assert s.daemon.wait_exit(10) == 0
            s.daemon = s.ns.spawn_daemon()
            s.wait_listening()
            s.plug_while_running("tavi")
            s.wait(OPENED.format(0x1a86, 0x7523))
            s.wait("g_conn  get!")  # the page registered again by itself
            scanners.type("扫码-2")
            assert await page.wait_text("scans", "扫码-2"), await page.text("scans")

    asyncio.run(scenario())
