"""The whole daemon as its users meet it: a virtual scanner (umockdev), the
real binary in its own namespaces, and real WebSocket clients. This suite runs
under umockdev-wrapper."""

import asyncio
import os
import socket
import subprocess

from daemon_session import OPENED, Session, register, serves_a_scan
from harness import BINARY, STARTED, gunconf
from webclients import NOT_OPEN, connect, free_port, nothing_more, receive, scan_message


def test_scans_reach_every_registered_page_and_unplug_ends_the_daemon(namespace, scanners):
    node = scanners.plug("tavi")
    s = Session(namespace, scanners)
    s.wait(OPENED.format(0x1a86, 0x7523))
    s.wait_listening()

    async def scenario():
        first, second = await connect(s.port), await connect(s.port)
        await register(s, first)
        await register(s, second)
        scanners.type(b"abc", terminator=b"")  # framed by the quiet time
        for ws in (first, second):
            message = await receive(ws)
            assert message == scan_message(0, b"abc") and len(message) == 66
        scanners.type(b"ABC")
        for ws in (first, second):
            assert await receive(ws) == scan_message(0, b"ABC\r\n")
        scanners.type("中文条码")  # GB18030 in, UTF-8 out, size in bytes
        for ws in (first, second):
            assert await receive(ws) == scan_message(0, "中文条码\r\n".encode())
        s.unplug(node)
        assert s.daemon.wait_exit(10) == 0
        for ws in (first, second):
            await ws.close()

    asyncio.run(scenario())


def test_page_that_asks_before_a_scanner_opens_is_told_and_not_served(namespace, scanners):
    s = Session(namespace, scanners)
    s.wait_listening()
    s.wait("have no device")

    async def scenario():
        early = await connect(s.port)
        await early.send("register")
        assert await receive(early) == NOT_OPEN
        s.plug_while_running("zr4410")
        s.wait(OPENED.format(0x1a86, 0x7523))
        late = await connect(s.port)
        await register(s, late)
        scanners.type(b"SCAN1")
        assert await receive(late) == scan_message(0, b"SCAN1\r\n")
        assert await nothing_more(early)
        await early.close()
        await late.close()

    asyncio.run(scenario())


def test_pl2303_bridged_scanner_present_at_start_is_served(namespace, scanners):
    scanners.plug("zr4420-pl2303")
    s = Session(namespace, scanners)
    s.wait(OPENED.format(0x067b, 0x2303))
    s.wait_listening()
    serves_a_scan(s, b"4420")
    # Its presence checks find it: it is not taken for gone while plugged in.
    assert "have no device" not in s.lines()[s.lines().index(OPENED.format(0x067b, 0x2303)):]


def test_unplugging_another_scanner_does_not_end_the_service(namespace, scanners):
    used = scanners.plug("tavi")
    idle = scanners.plug("zr4420")
    s = Session(namespace, scanners)
    s.wait(OPENED.format(0x1a86, 0x7523))
    s.wait_listening()
    s.unplug(idle)
    serves_a_scan(s, b"still here")
    assert s.daemon.popen.poll() is None
    s.unplug(used)
    assert s.daemon.wait_exit(10) == 0


def test_port_in_use_is_reported_and_scans_are_still_read(namespace, scanners):
    scanners.plug("tavi")
    with socket.socket() as taken:
        taken.bind(("0.0.0.0", 0))
        taken.listen()
        port = taken.getsockname()[1]
        ns = namespace(gunconf(port=port))
        daemon = ns.spawn_daemon()
        assert daemon.wait_line(
            "ERROR: Expected to find proper listener connection status, but found..") is not None
        assert daemon.wait_line(OPENED.format(0x1a86, 0x7523)) is not None
        scanners.type(b"abc")
        assert daemon.wait_line("have data abc\r") is not None


# What the daemon's own threads print, in the order each of them prints it.
SERVER_THREAD = ["setup websocket", "new conn id 1", "debug:register ", "g_conn  get!",
                 "Reg test: called connection close (TLS: 0)..", "g_conn over!"]


def test_whole_output_of_a_normal_session(namespace, scanners):
    node = scanners.plug("tavi")
    s = Session(namespace, scanners)
    s.wait("have device")
    s.wait_listening()

    async def scenario():
        ws = await connect(s.port)
        await register(s, ws)
        scanners.type(b"abc", terminator=b"")
        assert await receive(ws) == scan_message(0, b"abc")
        s.wait("have device", 2)
        s.unplug(node)
        assert s.daemon.wait_exit(10) == 0
        await ws.wait_closed()

    asyncio.run(scenario())
    out = s.lines()
    assert [line for line in out if line in SERVER_THREAD] == SERVER_THREAD
    rest = [line for line in out if line not in SERVER_THREAD]
    # Whether the read loop looks before the hotplug thread has found the
    # scanner is a matter of timing: at most once.
    opened = rest.index("connect and no open device")
    assert rest[:opened].count("have no device") <= 1
    rest = [l for i, l in enumerate(rest) if i >= opened or l != "have no device"]
    assert rest == [
        f"port:{s.port} encode:2 rate:115200 databits:8 stopbits:1, parrity:N",
        STARTED,
        "pthread_detach ",
        "---------run_byMonitor-----------",
        "DEVNAME(/dev):/dev/ttyUSB0",
        "find guns  actions:add",
        "connect device (vid:pid)1A86:7523",
        "connect and no open device",
        "connect and open device :add(vid(1a86)pid(7523))",
        "have device",
        "read data",
        "61   62   63   ",
        "call websocket doSend",
        "have data abc",
        "have device",
        "find guns  actions11:remove",
        "find guns  actions:remove",
        "read data",
        "have no device",
        "---------run_byMonitor----------- end ",
    ]


def test_virtual_scanner_command_types_and_replugs(tmp_path):
    """scripts/virtual-scanner as a newcomer uses it, with commands as arguments."""
    conf = tmp_path / "gunconf.xml"
    conf.write_text(gunconf(port=free_port()))
    script = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "virtual-scanner")
    run = subprocess.run(
        [script, "--binary", BINARY, "--config", str(conf), "type hello", "sleep 0.3",
         "replug", "type-none 中文", "sleep 0.3", "quit"],
        stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    out = run.stdout.decode()
    assert run.returncode == 0, run.stderr.decode()[-2000:]
    assert "  | have data hello\r" in out
    assert "daemon exited with status 0; starting it again" in out
    assert "  | have data 中文" in out


def test_the_service_units_capabilities_are_enough_to_serve(namespace, scanners):
    """Root with only the capabilities tavitty.service leaves it still finds,
    opens and serves its scanner."""
    unit = os.path.join(os.path.dirname(__file__), "..", "..", "packaging", "tavitty.service")
    with open(unit, encoding="utf-8") as f:
        caps = [line.split("=", 1)[1].split() for line in f
                if line.startswith("CapabilityBoundingSet=")][0]
    keep = ",".join("+" + cap.lower().removeprefix("cap_") for cap in caps)
    scanners.plug("tavi")
    s = Session(namespace, scanners,
                wrap=("setpriv", f"--bounding-set=-all,{keep}", "--inh-caps=-all", "--"))
    s.wait(OPENED.format(0x1a86, 0x7523))
    s.wait_listening()
    serves_a_scan(s, b"capped")
    # (The arm64 build runs this suite with the daemon under qemu-user.)
    pid = s.ns.wait_process("Tavitty", 1) or s.ns.wait_process("qemu-aarch64-st", 1)
    with open(f"/proc/{pid}/status", encoding="ascii") as f:
        status = dict(line.split(":\t", 1) for line in f.read().splitlines() if ":\t" in line)
    assert bin(int(status["CapBnd"], 16)).count("1") == len(caps)  # the set did apply
