"""The system calls that the daemon, and the commands it starts, make through
the start-up, scanner, web and TLS suites (recorded with strace) must all be ones
that its unit's SystemCallFilter= allows. Runs on the build without
sanitizers, under umockdev-wrapper."""

import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
UNIT = os.path.join(HERE, "..", "..", "packaging", "tavitty.service")
SUITES = ["test_startup.py", "test_scanner.py", "test_many_scanners.py", "test_web.py",
          "test_tls.py", "test_metrics.py"]


def allowed_by_unit():
    """The calls that the unit's SystemCallFilter= lines allow, its groups
    expanded as systemd-analyze lists them."""
    groups = {}
    for line in subprocess.run(["systemd-analyze", "syscall-filter"], capture_output=True,
                               text=True, check=True).stdout.splitlines():
        if line.startswith("@"):
            group = groups.setdefault(line.split()[0], [])
        elif line.strip() and not line.strip().startswith("#"):
            group.append(line.split()[0])
    expand = lambda n: set().union(*map(expand, groups[n])) if n[0] == "@" else {n}  # noqa: E731
    allowed = set()
    for line in open(UNIT):
        if line.startswith("SystemCallFilter="):
            words = line.split("=", 1)[1].split()
            names = set().union(*(expand(w.lstrip("~")) for w in words))
            allowed = allowed - names if words[0][0] == "~" else allowed | names
    return allowed


def test_every_call_the_daemon_makes_is_one_its_unit_allows():
    # Outside pytest's own folders, where a daemon started as another user
    # can run the wrapper and write its trace too.
    traces = tempfile.mkdtemp(prefix="tavitty-strace-")
    try:
        os.chmod(traces, 0o1777)
        wrap = os.path.join(traces, "strace-wrap")
        with open(wrap, "w") as f:
            f.write('#!/bin/sh\nexec strace -f -qq -o "$(mktemp -p "${0%/*}" trace.XXXXXX)" -- "$@"\n')
        os.chmod(wrap, 0o755)
        # (Not the start by another user: the unit runs the daemon as root.)
        suites = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                                 "-k", "not 65534"] + [os.path.join(HERE, s) for s in SUITES],
                                env=dict(os.environ, TAVITTY_WRAP=wrap), timeout=1200)
        assert suites.returncode == 0
        made = set()
        for trace in glob.glob(os.path.join(traces, "trace.*")):
            with open(trace, errors="replace") as f:
                made |= set(re.findall(r"^\d+ +(\w+)\(", f.read(), re.M))
    finally:
        shutil.rmtree(traces)
    assert len(made) > 50 and made - allowed_by_unit() == set()
