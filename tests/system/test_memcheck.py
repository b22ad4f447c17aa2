"""A normal session of the daemon under valgrind's memcheck: start, a page
registers, 100 scans, unplug, exit. No memory error and no definite leak.
This suite runs under umockdev-wrapper, on the build without sanitizers."""

import asyncio

from daemon_session import OPENED, Session, register
from webclients import connect, receive, scan_message

MEMCHECK = ("valgrind", "--tool=memcheck", "--error-exitcode=99", "--leak-check=full",
            "--show-leak-kinds=definite", "--errors-for-leak-kinds=definite", "--num-callers=30")


def test_a_normal_session_has_no_memory_error_and_no_definite_leak(namespace, scanners):
    node = scanners.plug("tavi")
    s = Session(namespace, scanners, wrap=MEMCHECK + ("--log-file=/proc/self/fd/2",))
    s.wait(OPENED.format(0x1a86, 0x7523))
    s.wait_listening()

    async def scenario():
        page = await connect(s.port)
        await register(s, page, timeout=60)
        for i in range(100):
            text = b"MEMCHECK%03d" % i
            scanners.type(text)
            assert await receive(page, 60) == scan_message(0, text + b"\r\n")
        s.unplug(node)
        status = await asyncio.get_running_loop().run_in_executor(
            None, lambda: s.daemon.wait_exit(120))
        await page.close()
        return status

    status = asyncio.run(scenario())
    report = "\n".join(s.daemon.stderr.lines())
    assert status == 0, report[-4000:]
    assert "ERROR SUMMARY: 0 errors" in report, report[-4000:]
