"""Start-up of the real binary: the lines a supervisor reads, the
single-instance guard, a start by another user, and what systemd is told."""

import os
import shutil
import socket
import subprocess
import tempfile
import time

import pytest

from conftest import told
from sandbox import ALREADY_RUNNING, NOT_ROOT, STARTED, VERSION, accepting, gunconf, is_alive


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
        # One line for the failure, one once it opened.
        assert sum(l.startswith(("cannot open", "opened /dev/ttyUSB0 after")) for l in d.lines()) == (
            2 if given == "held" else 0)


# What the daemon answers by hand, to a user who is not root: the arguments
# ({path}: a file of gunconf's texts and `extra`, the configuration checked
# before a restart), the status, lines of standard output in their order (but
# for a configuration checked, the first only as it starts), the start of
# standard error (empty where none is given).
@pytest.mark.parametrize("argv,extra,status,out,err", [
    (["--version"], None, 0, [f"Tavitty {VERSION} (commit "], ""),
    (["--help"], None, 0, ["Usage: Tavitty "], ""),
    (["--verbose"], None, 2, [], "Usage: Tavitty "),
    (["--check-config", "a", "b"], None, 2, [], "Usage: Tavitty "),
    (["--check-config", "{path}"], "", 0, [
        "WebsocketPort: 9011 (from the file)", "ttyAttr/parity: E (from the file)",
        "a serial line: 115200 7E2", "KeepScans: 10 s (default)", "the daemon would start as written"], ""),
    (["--check-config", "{path}"],
     "<ttyAttr><BindAddress>127.0.0.1</BindAddress></ttyAttr><KeepScans>30</KeepScans>"
     "<Metrics><Port>x</Port></Metrics><PageTokens><Secret>/nowhere</Secret></PageTokens>", 1,
     ["BindAddress: every IPv4 interface (default)", "PageTokens: Secret /nowhere (from the file)",
      "KeepScans: 30 s (from the file)",
      "the key files are not checked: only root may read them",
      "problem: {path}: BindAddress inside ttyAttr is not in force (it belongs right under gunconf)",
      "problem: no metrics listener on port x: not a port number",
      "the daemon would not start as written"], ""),
])
def test_what_the_daemon_answers_by_hand(argv, extra, status, out, err):
    with tempfile.TemporaryDirectory() as folder:  # outside pytest's, which that user can't enter
        os.chmod(folder, 0o755)
        path = os.path.join(folder, "gunconf.xml")
        with open(path, "w") as f:
            f.write(gunconf(port="9011", baudrate="12345", databits="7", stopbits="2", parity="E",
                            extra=extra or ""))
        done = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--",
                               os.environ["TAVITTY_BIN"], *(a.format(path=path) for a in argv)],
                              capture_output=True, text=True, timeout=30)
    expected, lines = [line.format(path=path) for line in out], done.stdout.splitlines()
    said = ([l for l in lines if l in expected] if extra is not None
            else [l[:len(o)] for l, o in zip(lines, out)] if out else lines)
    assert (done.returncode, said, done.stderr[:len(err)] if err else done.stderr) == (status, expected, err)
    assert done.stdout.count("\n") == len(lines) and (argv != ["--version"] or len(lines) == 1)
