"""Start-up of the real binary: the lines a supervisor reads, the
single-instance guard, a start by another user, and what systemd is told."""

import os
import shutil
import socket

import pytest

from conftest import LISTENER_ERROR
from sandbox import ALREADY_RUNNING, NOT_ROOT, STARTED, accepting, gunconf, is_alive


def test_a_second_instance_is_refused_and_the_first_serves_on(daemon, tmp_path):
    d = daemon()
    assert d.wait("setup websocket")
    first = d.pid()
    second = d.ns.spawn([d.binary])
    assert second.wait_exit() == 255
    assert (second.stdout.lines(), second.stderr.lines()) == ([ALREADY_RUNNING], [])
    assert is_alive(first) and d.wait_accepting()
    # A copy under another name is another program: never refused.
    shutil.copy(d.binary, tmp_path / "scanbridge")
    assert d.ns.spawn([str(tmp_path / "scanbridge")]).stdout.wait_for(STARTED.__eq__) is not None


# The configuration file and the user who starts the daemon; its first lines.
@pytest.mark.parametrize("conf,user,first", [
    (None, None, [STARTED]),
    (gunconf().replace("<parity>N</parity>", ""), None, [STARTED]),  # incomplete: no summary
    ({"encode": "1", "baudrate": "9600", "databits": "7", "stopbits": "2", "parity": "E"}, 65534,
     [NOT_ROOT, "port:{} encode:1 rate:9600 databits:7 stopbits:2, parrity:E", STARTED]),
])
def test_the_first_lines_a_supervisor_reads(daemon, tmp_path, conf, user, first):
    # A copy in a directory any user may enter: the build tree may not be.
    os.chmod(tmp_path, 0o755)
    shutil.copy(os.environ["TAVITTY_BIN"], tmp_path / "Tavitty")
    d = daemon(conf=conf, binary=str(tmp_path / "Tavitty"), user=user)
    assert d.wait("setup websocket")
    assert d.lines()[:len(first)] == [line.format(d.port) for line in first]


# The port the daemon is given: a free one, or one it cannot listen on.
@pytest.mark.parametrize("port", [None, "in use", "0", "65536", "abc", "9010abc"])
def test_systemd_is_told_when_the_service_is_ready_and_how_it_stands(
        daemon, tmp_path, monkeypatch, port):
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as systemd, socket.socket() as taken:
        systemd.bind(str(tmp_path / "notify"))
        systemd.settimeout(10)
        taken.bind(("0.0.0.0", 0))
        taken.listen()
        monkeypatch.setenv("NOTIFY_SOCKET", str(tmp_path / "notify"))  # umockdev's kept
        d = daemon(port=taken.getsockname()[1] if port == "in use" else port)
        error = f"no listener on port {d.port} (see the log); " if port else ""
        assert systemd.recv(512).decode() == f"READY=1\nSTATUS={error}waiting for a scanner"
        assert d.wait(LISTENER_ERROR) if port else accepting(d.port)
        assert d.plug("tavi")
        serving = f"STATUS={error}serving /dev/ttyUSB0 (1a86:7523) to "
        assert systemd.recv(512).decode() == serving + "0 pages"
        d.scanners.type("abc")  # read all the same
        assert d.wait("have data abc\r")
