"""Runs the daemon the way it meets the world, without touching the machine: as
root, in a private mount and pid namespace whose /opt is a tmpfs holding the
chosen configuration file (the daemon's path is fixed), so that its
single-instance guard sees only the processes inside. It is fenced in as its
systemd unit fences it where that can be done without systemd: only the
capabilities the unit leaves it, and a /proc that shows only processes (of
its own user). The tests, the demo and the benchmark all run it through
`Daemon`.

Every wait is bounded and polls for what it waits for; every process started
here is ended by its PID when the namespace is closed.
"""

import os
import re
import resource
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

# The daemon to run when none is named: the tests name it in TAVITTY_BIN. What
# TAVITTY_WRAP names (a command and its options, such as valgrind) runs it.
BINARY = os.path.abspath(os.environ.get("TAVITTY_BIN", "Tavitty"))
WRAP = os.environ.get("TAVITTY_WRAP", "").split()
APP_DIR = "/opt/apps/corvane/quillet"
CONF_PATH = APP_DIR + "/conf/gunconf.xml"
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
UNIT = os.path.join(ROOT, "packaging", "tavitty.service")
# The release, as CMakeLists.txt's project() names it for the build and the package.
with open(os.path.join(ROOT, "CMakeLists.txt")) as _f:
    VERSION = re.search(r"^project\(Tavitty VERSION (\S+)", _f.read(), re.M).group(1)


def unit_capabilities():
    """setpriv's arguments that leave a root process the unit's capability
    bounding set, and nothing more."""
    with open(UNIT) as f:
        caps = next(l.split("=", 1)[1].split() for l in f if l.startswith("CapabilityBoundingSet="))
    keep = "".join(",+" + c.lower().removeprefix("cap_") for c in caps)
    return ["setpriv", f"--bounding-set=-all{keep}", "--inh-caps=-all", "--"]

# Messages of the daemon.
STARTED = "程序打开成功!"
ALREADY_RUNNING = "程序已经打开，请勿重复打开!"
NOT_ROOT = "current user is not root"
OPENED = "connect and open device :add(vid({:04x})pid({:04x}))"
REGISTERED = "g_conn  get!"
REMOVED = "find guns  actions:remove"
# "serving goods: serial /dev/ttyACM0 (0c2e:0b6a)", every scanner served at once.
SERVING = re.compile(r"serving (.+): \S+ (/dev/\S+) \(")

DEFAULT_TIMEOUT = 10.0

# How AddressSanitizer, LeakSanitizer, ThreadSanitizer and UBSan reports begin.
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "WARNING: ThreadSanitizer",
                   "runtime error:")


def gunconf(port="9010", encode="2", baudrate="115200", databits="8", stopbits="1", parity="N",
            extra=""):
    """A complete configuration file with the given texts; `extra` goes last
    inside the root element."""
    return (
        '<?xml version="1.0" encoding="UTF-8"?>\n<gunconf>\n'
        f"  <WebsocketPort>{port}</WebsocketPort>\n"
        f"  <Encode>{encode}</Encode>\n"
        "  <ttyAttr>\n"
        f"    <baudrate>{baudrate}</baudrate>\n"
        f"    <databits>{databits}</databits>\n"
        f"    <stopbits>{stopbits}</stopbits>\n"
        f"    <parity>{parity}</parity>\n"
        f"  </ttyAttr>\n{extra}</gunconf>\n"
    )


def poll_until(predicate, timeout=DEFAULT_TIMEOUT, interval=0.01):
    """Calls predicate until it returns something true, at most `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def accepting(port, host="127.0.0.1"):
    """True once something accepts TCP connections on the port."""
    try:
        with socket.create_connection((host, port), timeout=0.2):
            return True
    except OSError:
        return False


def raise_descriptor_limit(count):
    """Lets this process open `count` descriptors; False where it cannot."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < count:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(count, hard), hard))
    return resource.getrlimit(resource.RLIMIT_NOFILE)[0] >= count


def _children(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(p) for p in f.read().split()]
    except OSError:
        return []


def _comm(pid):
    try:
        with open(f"/proc/{pid}/comm") as f:
            return f.read().strip()
    except OSError:
        return None


def is_alive(pid):
    """True while the process exists and is not a zombie."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


class Output:
    """Collects the lines of one stream on a thread of its own."""

    def __init__(self, stream):
        self._lines = []
        self._closed = False
        self._cond = threading.Condition()
        self._thread = threading.Thread(target=self._pump, args=(stream,), daemon=True)
        self._thread.start()

    def _pump(self, stream):
        for raw in iter(stream.readline, b""):
            with self._cond:
                self._lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
                self._cond.notify_all()
        with self._cond:
            self._closed = True
            self._cond.notify_all()
        stream.close()

    def lines(self):
        with self._cond:
            return list(self._lines)

    def wait_for(self, predicate, timeout=DEFAULT_TIMEOUT, start=0):
        """Index of the first line from `start` on for which predicate holds, or None
        after the timeout or when the stream ends without one."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for i in range(start, len(self._lines)):
                    if predicate(self._lines[i]):
                        return i
                left = deadline - time.monotonic()
                if self._closed or left <= 0:
                    return None
                self._cond.wait(left)

    def wait_closed(self, timeout=DEFAULT_TIMEOUT):
        self._thread.join(timeout)
        return not self._thread.is_alive()


class Proc:
    """A process started inside a namespace, with its stdout and stderr collected."""

    def __init__(self, argv, **popen_args):
        self.popen = subprocess.Popen(
            argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            **popen_args)
        self.stdout = Output(self.popen.stdout)
        self.stderr = Output(self.popen.stderr)

    def wait_exit(self, timeout=DEFAULT_TIMEOUT):
        """The exit status once the process has ended and its output is in, or None."""
        try:
            status = self.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        self.stdout.wait_closed(timeout)
        self.stderr.wait_closed(timeout)
        return status

    def kill(self):
        if self.popen.poll() is None:
            self.popen.kill()
        try:
            self.popen.wait(DEFAULT_TIMEOUT)
        except subprocess.TimeoutExpired:
            pass


class Namespace:
    """A private mount and pid namespace with a tmpfs over /opt.

    `conf` is the text of the configuration file to put at the fixed path, or
    None for no file. The namespace's init is a sleeping shell; the daemon and
    anything else are started in it with `spawn`.
    """

    def __init__(self, conf=None):
        self._tmp = tempfile.mkdtemp(prefix="tavitty-ns-")
        os.chmod(self._tmp, 0o755)
        self._procs = []
        setup = ["mount -t tmpfs -o mode=0755 tmpfs /opt", f"mkdir -p {APP_DIR}/conf",
                 # The unit's ProtectProc=invisible and ProcSubset=pid.
                 "mount -t proc -o hidepid=invisible,subset=pid proc /proc"]
        if conf is not None:
            src = os.path.join(self._tmp, "gunconf.xml")
            with open(src, "w", encoding="utf-8") as f:
                f.write(conf)
            setup.append(f"cp {src} {CONF_PATH}")
        script = " && ".join(setup) + " && echo ready && exec sleep 3600"
        self._unshare = subprocess.Popen(
            ["unshare", "-m", "-p", "-f", "--mount-proc", "--propagation", "private",
             "--kill-child", "--", "sh", "-c", script],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        self.init_pid = None
        ready, _, _ = select.select([self._unshare.stdout], [], [], DEFAULT_TIMEOUT)
        line = self._unshare.stdout.readline() if ready else b""
        if line.strip() != b"ready":
            self.close()
            raise RuntimeError("namespace did not come up")
        self.init_pid = poll_until(lambda: (_children(self._unshare.pid) or [None])[0])
        if self.init_pid is None:
            self.close()
            raise RuntimeError("namespace init not found")

    def spawn(self, argv, user=None, cwd="/", env=None):
        """Starts argv inside the namespace, as root or as the given uid."""
        if user is not None:
            argv = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups",
                    "--"] + list(argv)
        proc = Proc(["nsenter", "-t", str(self.init_pid), "-m", "-p", f"--wd={cwd}", "--"]
                    + list(argv), env=env)
        self._procs.append(proc)
        return proc

    def wait_process(self, name, timeout=DEFAULT_TIMEOUT):
        """Host PID of a live process called `name` that was started here (or
        by what was started here, such as a tracer), or None."""
        def find():
            pids = [p for proc in self._procs for p in _children(proc.popen.pid)]
            while pids:
                pid = pids.pop(0)
                if _comm(pid) == name and is_alive(pid):
                    return pid
                pids += _children(pid)
            return None
        return poll_until(find, timeout)

    def sanitizer_reports(self):
        """The standard error of each process started here that holds a
        sanitizer report (once the namespace is closed)."""
        reports = []
        for proc in self._procs:
            proc.stderr.wait_closed()
            lines = proc.stderr.lines()
            if any(mark in line for line in lines for mark in SANITIZER_MARKS):
                reports.append("\n".join(lines))
        return reports

    def close(self):
        # Killing the namespace's init ends everything inside it.
        if self.init_pid is not None and is_alive(self.init_pid):
            try:
                os.kill(self.init_pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        for proc in self._procs:
            proc.kill()
        if self._unshare.poll() is None:
            self._unshare.kill()
        try:
            self._unshare.wait(DEFAULT_TIMEOUT)
        except subprocess.TimeoutExpired:
            pass
        self._unshare.stdout.close()
        shutil.rmtree(self._tmp, ignore_errors=True)


class Daemon:
    """The daemon in a namespace of its own, serving the virtual scanners (a
    VirtualScanners, or None): its port, its output and the waits on it.
    `conf` is the file's text, None for no file, or gunconf's arguments (a
    dict) for a complete file with `port` (a free one unless given), serving
    wss:// where `tls` (a tls_certs.ThrowawayCA) is given. `wrap` goes in
    front of the daemon's command."""

    def __init__(self, scanners=None, conf={}, port=None, wrap=(), binary=None, tls=None,
                 **spawn_args):
        self.port = port or free_port()
        self.scanners = scanners
        self.binary = binary or BINARY
        if isinstance(conf, dict):
            extra = conf.get("extra", "") + (tls.conf() if tls else "")
            conf = gunconf(**{**conf, "port": self.port, "extra": extra})
        self.ns = Namespace(conf)
        self.start(wrap, **spawn_args)

    def start(self, wrap=(), **spawn_args):
        """Starts the daemon (again, after it exited: as its supervisor does);
        as root, with the capabilities its unit leaves it."""
        fence = [] if spawn_args.get("user") is not None else unit_capabilities()
        self.proc = self.ns.spawn([*wrap, *fence, *WRAP, self.binary], **spawn_args)
        return self.proc

    def lines(self):
        return self.proc.stdout.lines()

    def wait(self, line, count=1, timeout=DEFAULT_TIMEOUT):
        """True once `line` was printed `count` times."""
        return bool(poll_until(lambda: self.lines().count(line) >= count, timeout))

    def served(self, count=1, timeout=DEFAULT_TIMEOUT):
        """{device node: name} of the scanners that the daemon said it serves
        (every scanner at once), once there are `count` of them or the time is
        up."""
        def said():
            return {m[2]: m[1] for m in map(SERVING.match, self.lines()) if m}
        poll_until(lambda: len(said()) >= count, timeout)
        return said()

    def events_taken(self):
        """How many udev events the daemon (serving one scanner a run) has
        taken so far."""
        return sum(line.startswith("find guns  actions:") for line in self.lines())

    def taken(self, events, since=0):
        """Waits until it has taken `events` more than `since`; for churn. One
        that falls behind fails here rather than have umockdev abort."""
        taken = poll_until(lambda: self.events_taken() >= since + events, 60)
        assert taken, f"the daemon has taken {self.events_taken() - since} of {events} udev events"

    def wait_accepting(self, timeout=DEFAULT_TIMEOUT):
        return bool(poll_until(lambda: accepting(self.port), timeout))

    def pid(self):
        """Host PID of the daemon; of qemu-user when that runs an arm64 build."""
        return (self.ns.wait_process(os.path.basename(self.binary)[:15], 1)
                or self.ns.wait_process("qemu-aarch64-st"))

    def cpu_seconds(self):
        """User and system time the daemon has used."""
        with open(f"/proc/{self.pid()}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def rss_mb(self):
        with open(f"/proc/{self.pid()}/status") as f:
            return next(int(l.split()[1]) for l in f if l.startswith("VmRSS:")) / 1024

    def plug(self, model="tavi"):
        """Plugs a scanner in while the daemon runs; its node once the daemon
        has taken it."""
        seen, node = self.events_taken(), self.scanners.plug(model)
        connected = lambda: any(l.startswith("connect device") for l in self.lines())  # noqa: E731
        return node if self.announced(node, seen) and poll_until(connected) else None

    def announced(self, node, seen):
        """True once the daemon has taken an event since `seen`. The device's
        "add" goes out again meanwhile (one sent before the daemon listens to
        udev is lost), at doubling intervals and six times at most: a daemon
        that is busy rather than deaf must never find more than ten events
        waiting, where umockdev aborts."""
        wait = 0.2
        for _ in range(6):
            if poll_until(lambda: self.events_taken() > seen, wait):
                return True
            self.scanners.announce(node)
            wait *= 2
        return bool(poll_until(lambda: self.events_taken() > seen, wait))

    def listening(self):
        """True once the daemon listens to udev (what goes out before is lost):
        a mouse is plugged, and its "add" goes out again until taken."""
        seen, mouse = self.events_taken(), self.scanners.plug(
            ("046d", "c077", "USB Optical Mouse", "input"),
            props={"ID_INPUT_KEYBOARD": None, "ID_INPUT_MOUSE": "1"})
        return self.announced(mouse, seen)

    def unplug(self, node=None):
        """Unplugs as real hardware goes: udev's removal first, then the line."""
        node = node or self.scanners.nodes()[0]
        seen = self.lines().count(REMOVED)
        self.scanners.remove_event(node)
        self.wait(REMOVED, seen + 1)
        self.scanners.hang_up(node)

    def register(self, *clients, message="register", timeout=30):
        """Sends `message` from each client (any message registers its sender
        while a scanner is open); True once the daemon has listed them all."""
        before = self.lines().count(REGISTERED)
        for client in clients:
            client.send(message)
        return self.wait(REGISTERED, before + len(clients), timeout)

    def close(self):
        self.ns.close()
