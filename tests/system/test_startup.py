"""Start-up of the real binary: the lines a supervisor reads, the
single-instance guard, a start by another user, and what systemd is told."""

import os
import shutil
import socket
import time

import pytest

from conftest import told
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


# What the daemon is given (a port, or a scanner whose tty another program
# holds), what systemd is told first, and what once the port or tty is free.
@pytest.mark.parametrize("given,first", [
    (None, "waiting for a scanner"),
    ("in use", "no listener on port {} (Address already in use), retrying; waiting for a scanner"),
    ("0", "no listener on port 0 (not a port number); waiting for a scanner"),
    ("65536", "no listener on port 65536 (not a port number); waiting for a scanner"),
    ("9010abc", "no listener on port 9010abc (not a port number); waiting for a scanner"),
    ("held", "cannot open /dev/ttyUSB0 (Device or resource busy), retrying"),
])
def test_systemd_is_told_when_the_service_is_ready_and_how_it_stands(
        daemon, scanners, systemd, given, first):
    with socket.socket() as taken:
        taken.bind(("0.0.0.0", 0))
        taken.listen()
        if given == "held":  # as a modem prober holds a new tty for a while
            release = scanners.hold(scanners.plug("tavi"))
        port = {"in use": taken.getsockname()[1], "held": None}.get(given, given)
        d = daemon(port=port)
        assert systemd.recv(512, socket.MSG_PEEK).startswith(b"READY=1\nSTATUS=")
        assert told(systemd, first.format(d.port))
        time.sleep(1.5)
        taken.close()  # the listener is tried again, and the tty
        if given == "held":
            release()
        else:
            assert d.plug("tavi")
        error = "" if given in (None, "in use", "held") else first.split("; ")[0] + "; "
        assert told(systemd, f"{error}serving /dev/ttyUSB0 (1a86:7523) to 0 pages")
        assert accepting(d.port) != bool(error)
        d.scanners.type("abc")  # read all the same
        assert d.wait("have data abc\r")
        lines = d.lines()  # one line for the failure, one once it opened
        assert sum(l.startswith(("cannot open", "opened /dev/ttyUSB0 after")) for l in lines) == (
            2 if given == "held" else 0)
