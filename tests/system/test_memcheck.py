"""A normal session of the daemon under valgrind's memcheck: start, a page
registers, 100 scans, unplug, exit. No memory error and no definite leak.
This suite runs under umockdev-wrapper, on the build without sanitizers."""

from conftest import frame
from ws_client import Client

MEMCHECK = ("valgrind", "--tool=memcheck", "--error-exitcode=99", "--leak-check=full",
            "--show-leak-kinds=definite", "--errors-for-leak-kinds=definite", "--num-callers=30",
            "--log-file=/proc/self/fd/2")


def test_a_normal_session_has_no_memory_error_and_no_definite_leak(daemon):
    d = daemon("tavi", wrap=MEMCHECK)
    page = Client(d.port, timeout=60)
    assert d.register(page, timeout=60)
    for i in range(100):
        d.scanners.type("MEMCHECK%03d" % i)
        assert page.recv(60) == frame(0, "MEMCHECK%03d\r\n" % i)
    d.unplug()
    status = d.proc.wait_exit(120)
    report = "\n".join(d.proc.stderr.lines())
    assert status == 0, report[-4000:]
    assert "ERROR SUMMARY: 0 errors" in report, report[-4000:]
