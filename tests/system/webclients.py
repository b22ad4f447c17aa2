"""Real WebSocket clients (python3-websockets) and the web layer's test driver."""

import asyncio
import os
import socket
import subprocess
import time

import websockets

from harness import DEFAULT_TIMEOUT, Output, poll_until

WEB_DRIVER = os.path.abspath(os.environ.get("WEB_DRIVER", ""))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def accepting(port, host="127.0.0.1"):
    """True once something accepts TCP connections on the loopback port."""
    try:
        with socket.create_connection((host, port), timeout=0.2):
            return True
    except OSError:
        return False


def scan_message(code, data):
    """The scan message as the daemon prints it (data as bytes)."""
    text = data.decode("utf-8")
    body = (text.replace("\\", "\\\\").replace('"', '\\"').replace("\b", "\\b")
            .replace("\f", "\\f").replace("\n", "\\n").replace("\r", "\\r")
            .replace("\t", "\\t"))
    body = "".join(c if ord(c) >= 0x20 else "\\u%04x" % ord(c) for c in body)
    return ('{\n\t"type":\t"BARCODE_GUN",\n\t"erro":\t%d,\n\t"size":\t%d,\n\t"Data":\t"%s"\n}'
            % (code, len(data), body))


NOT_OPEN = scan_message(-2, b"")


class Driver:
    """The web layer in a process of its own, commanded line by line."""

    def __init__(self):
        self.popen = subprocess.Popen([WEB_DRIVER], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.stdout = Output(self.popen.stdout)
        self.stderr = Output(self.popen.stderr)
        self._acked = 0  # stderr lines looked at for acknowledgements

    def command(self, line, timeout=DEFAULT_TIMEOUT):
        """Sends a command and returns its acknowledgement."""
        self.popen.stdin.write((line + "\n").encode())
        self.popen.stdin.flush()
        return self.ack(line.split()[0], timeout)

    def ack(self, word, timeout=DEFAULT_TIMEOUT):
        """The next acknowledgement that starts with `word`."""
        index = self.stderr.wait_for(lambda l: l.startswith(word), timeout, self._acked)
        assert index is not None, f"no acknowledgement for {word!r}"
        self._acked = index + 1
        return self.stderr.lines()[index]

    def serve(self, port):
        assert self.command(f"serve {port}") == "serve 0"
        assert poll_until(lambda: accepting(port)), "the server does not listen"

    def event(self, code, data=b""):
        self.command(f"event {code} {data.hex()}")

    def count(self, text):
        return sum(1 for line in self.stdout.lines() if line == text)

    def wait_count(self, text, count, timeout=DEFAULT_TIMEOUT):
        return poll_until(lambda: self.count(text) >= count, timeout)

    def close(self):
        """Quits, and returns the exit status (None if it had to be killed)."""
        status = None
        if self.popen.poll() is None:
            try:
                self.popen.stdin.write(b"quit\n")
                self.popen.stdin.close()
                status = self.popen.wait(DEFAULT_TIMEOUT)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.popen.kill()
                self.popen.wait(DEFAULT_TIMEOUT)
        else:
            status = self.popen.returncode
        self.stdout.wait_closed()
        self.stderr.wait_closed()
        return status


async def connect(port, **kwargs):
    return await websockets.connect(f"ws://127.0.0.1:{port}/", max_size=None,
                                    ping_interval=None, open_timeout=DEFAULT_TIMEOUT, **kwargs)


async def receive(ws, timeout=DEFAULT_TIMEOUT):
    return await asyncio.wait_for(ws.recv(), timeout)


async def nothing_more(ws, wait=0.3):
    """True when no frame arrives within `wait` seconds."""
    try:
        await asyncio.wait_for(ws.recv(), wait)
    except asyncio.TimeoutError:
        return True
    return False


async def register(driver, ws):
    """Sends a message and waits until the server has listed the client."""
    before = driver.count("g_conn  get!")
    await ws.send("register")
    deadline = time.monotonic() + DEFAULT_TIMEOUT
    while driver.count("g_conn  get!") <= before:
        assert time.monotonic() < deadline, "not registered"
        await asyncio.sleep(0.005)
