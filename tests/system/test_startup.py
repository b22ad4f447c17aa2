"""Start-up of the real binary: configuration summary, single-instance guard,
start as a user other than root, and where it loads libraries from."""

import os
import shutil
import subprocess

from harness import (ALREADY_RUNNING, BINARY, NOT_ROOT, STARTED, gunconf, is_alive, poll_until)
from webclients import free_port

NOBODY = 65534


def summary(port, encode=2, rate=115200, databits=8, stopbits=1, parity="N"):
    return (f"port:{port} encode:{encode} rate:{rate} databits:{databits} "
            f"stopbits:{stopbits}, parrity:{parity}")


def test_complete_configuration_prints_summary_then_started(namespace):
    port = free_port()
    ns = namespace(gunconf(port=port, encode="1", baudrate="9600", databits="7",
                           stopbits="2", parity="E"))
    daemon = ns.spawn_daemon()
    assert daemon.wait_line(STARTED) is not None
    assert daemon.stdout.lines()[:2] == [summary(port, 1, 9600, 7, 2, "E"), STARTED]


def test_without_configuration_started_comes_first(namespace):
    daemon = namespace(conf=None).spawn_daemon()
    assert daemon.wait_line(STARTED) == 0


def test_incomplete_configuration_prints_no_summary(namespace):
    ns = namespace(gunconf(port=free_port()).replace("<parity>N</parity>", ""))
    daemon = ns.spawn_daemon()
    assert daemon.wait_line(STARTED) == 0


def test_second_instance_is_refused_and_first_undisturbed(namespace):
    ns = namespace(gunconf(port=free_port()))
    first = ns.spawn_daemon()
    assert first.wait_line("setup websocket") is not None
    first_pid = ns.wait_process("Tavitty")

    second = ns.spawn_daemon()
    assert second.wait_exit() == 255
    assert second.stdout.lines() == [ALREADY_RUNNING]
    assert second.stderr.lines() == []
    assert is_alive(first_pid) and first.popen.poll() is None
    assert ALREADY_RUNNING not in first.stdout.lines()


def test_copy_under_another_name_is_never_refused(namespace):
    ns = namespace(gunconf(port=free_port()))
    ns.spawn_daemon()
    assert ns.wait_process("Tavitty") is not None
    copy = ns.scratch("scanbridge")
    shutil.copy(BINARY, copy)
    other = ns.spawn([copy])
    assert other.wait_line(STARTED) is not None


def test_non_root_start_says_so_and_goes_on(namespace):
    port = free_port()
    ns = namespace(gunconf(port=port))
    # A copy in a directory any user may enter: the build tree may not be.
    copy = ns.scratch("Tavitty")
    shutil.copy(BINARY, copy)
    daemon = ns.spawn_daemon(copy, user=NOBODY)
    assert daemon.wait_line(STARTED) is not None
    assert daemon.stdout.lines()[:3] == [NOT_ROOT, summary(port), STARTED]


def test_libraries_are_never_loaded_from_the_working_directory(namespace):
    out = subprocess.run(["readelf", "-d", BINARY], capture_output=True, text=True,
                         check=True).stdout
    paths = [line.split("[", 1)[1].rstrip("]").split(":")
             for line in out.splitlines() if "RPATH" in line or "RUNPATH" in line]
    assert all(p == "/opt/apps/corvane/quillet/lib/ws" for entry in paths for p in entry)

    # Broken copies of every library it needs, in the directory it starts from.
    ns = namespace(gunconf(port=free_port()))
    trap = ns.scratch("cwd")
    os.mkdir(trap)
    needed = [line.split("[", 1)[1].rstrip("]")
              for line in out.splitlines() if "(NEEDED)" in line]
    for name in needed:
        with open(os.path.join(trap, name), "w") as f:
            f.write("not a library\n")
    daemon = ns.spawn_daemon(cwd=trap)
    assert daemon.wait_line(STARTED) is not None
    assert poll_until(lambda: "setup websocket" in daemon.stdout.lines())
