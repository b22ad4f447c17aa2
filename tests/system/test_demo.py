"""The demo as it is driven without a terminal, commands from a pipe: its
usage, the daemon's standard error shown and told apart from its standard
output, and a taken metrics port that stops it with one line."""

import contextlib
import os
import signal
import socket
import subprocess
from pathlib import Path

import pytest

from sandbox import BINARY, Output, free_port, gunconf

ROOT = Path(__file__).resolve().parents[2]
RUN, VIRTUAL_SCANNER = ROOT / "scripts" / "run", ROOT / "scripts" / "virtual-scanner"


def run(*argv, **kwargs):
    return subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60,
                          **kwargs)


@pytest.fixture
def start():
    """Starts a command in a session of its own, its output collected; each is
    stopped after the test (SIGTERM lets the virtual scanner close its namespace)."""
    started = []

    def start(argv, **popen_args):
        demo = subprocess.Popen([str(a) for a in argv], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, start_new_session=True, **popen_args)
        started.append(demo)
        return demo, Output(demo.stdout), Output(demo.stderr)

    yield start
    for demo in started:
        for stopping in (signal.SIGTERM, signal.SIGKILL):
            if demo.poll() is None:
                os.killpg(demo.pid, stopping)
                with contextlib.suppress(subprocess.TimeoutExpired):
                    demo.wait(20)
        demo.stdin.close()


@pytest.mark.parametrize("args", [["--help"], ["--all", "-h"]])
def test_help_is_the_usage_first_and_alone(args):
    out = run(RUN, *args)
    assert (out.returncode, out.stderr, out.stdout.splitlines()[0]) == (
        0, "", "usage: scripts/run [--all] [--config FILE] [VIRTUAL-SCANNER OPTION...]")


def test_a_taken_metrics_port_stops_it_with_one_line(tmp_path):
    conf = tmp_path / "gunconf.xml"
    with socket.socket() as holder:
        holder.bind(("127.0.0.1", 0))
        holder.listen()
        port, fd = holder.getsockname()[1], holder.fileno()
        conf.write_text(gunconf(port=free_port(), extra=f"<Metrics><Port>{port}</Port></Metrics>"))
        done = run(RUN, "--config", conf, env={**os.environ, "TAVITTY_PAGE_PORT": str(free_port())})
    me = open("/proc/self/comm").read().strip()
    assert (done.returncode, done.stderr) == (1, f'scripts/run: port {port} (the daemon\'s metrics) is in use'
                                              f' by "{me}",pid={os.getpid()},fd={fd}; stop it or choose'
                                              " another port\n")


def test_the_daemons_standard_error_shows_marked(start, tmp_path):
    conf = tmp_path / "gunconf.xml"
    port = free_port()
    conf.write_text(gunconf(port=port, extra="<BindAddress>127.0.0.1</BindAddress>"))
    demo, out, _ = start([VIRTUAL_SCANNER, "--config", conf, "--binary", BINARY])
    for line in (f"  stderr| listening on 127.0.0.1:{port} for any origin", "  | 程序打开成功!"):
        assert out.wait_for(lambda shown: shown == line, 30) is not None, out.lines()
    demo.stdin.write(b"help\nquit\n")
    demo.stdin.flush()
    assert demo.wait(30) == 0 and out.wait_closed() and "Commands:" in out.lines()
