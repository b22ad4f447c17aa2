"""A daemon run for the end-to-end and browser tests: its namespace, its port,
the virtual scanners it serves, and waits on its output."""

import asyncio

from harness import BINARY, gunconf, poll_until
from webclients import accepting, free_port

OPENED = "connect and open device :add(vid({:04x})pid({:04x}))"


class Session:
    """A daemon serving virtual scanners, with its port."""

    def __init__(self, namespace, scanners, conf=True, wrap=(), **spawn_args):
        """`wrap` goes in front of the daemon's command (prlimit, say)."""
        self.port = free_port()
        self.scanners = scanners
        self.ns = namespace(gunconf(port=self.port) if conf else None)
        self.daemon = self.ns.spawn([*wrap, BINARY], **spawn_args)

    def lines(self):
        return self.daemon.stdout.lines()

    def wait(self, line, count=1):
        ok = poll_until(lambda: self.lines().count(line) >= count)
        assert ok, f"no {line!r} in {self.lines()[-20:]}"

    def wait_listening(self):
        self.wait("setup websocket")
        assert poll_until(lambda: accepting(self.port))

    def plug_while_running(self, model="tavi"):
        """Plugs a scanner in once the daemon listens to udev: until it is seen,
        the "add" event goes out again (one sent too early is lost)."""
        node = self.scanners.plug(model)
        for _ in range(50):
            if poll_until(lambda: any(l.startswith("connect device") for l in self.lines()), 0.2):
                return node
            self.scanners.announce(node)
        raise AssertionError("the daemon never saw the scanner")

    def unplug(self, node):
        seen = self.lines().count("find guns  actions:remove")
        self.scanners.remove_event(node)
        self.wait("find guns  actions:remove", seen + 1)
        self.scanners.hang_up(node)


async def register(session, *clients, message="register", timeout=30):
    """Any message registers its sender while a scanner is open; sends it from
    each client and waits until the daemon has listed them all."""
    before = session.lines().count("g_conn  get!")
    for ws in clients:
        await ws.send(message)
    listed = await asyncio.get_running_loop().run_in_executor(None, lambda: poll_until(
        lambda: session.lines().count("g_conn  get!") >= before + len(clients), timeout))
    assert listed, "not registered"


def serves_a_scan(session, text):
    """A page connects and registers, `text` is typed as a CR LF scan, and the
    page receives exactly its scan message."""
    from webclients import connect, receive, scan_message

    async def scenario():
        ws = await connect(session.port)
        await register(session, ws)
        session.scanners.type(text)
        assert await receive(ws) == scan_message(0, text + b"\r\n")
        await ws.close()

    asyncio.run(scenario())
