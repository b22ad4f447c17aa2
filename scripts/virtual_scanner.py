"""Virtual USB-serial barcode scanners on umockdev.

Each scanner is a USB device with a tty child whose node is a pty: what is
written to the pty's master arrives on /dev/ttyUSB<n> for any process started
from this one, and udev add and remove events reach their udev monitors. The
process that makes them must run under umockdev-wrapper.
"""

import gc
import os
import subprocess
import sys

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

# The supported models: vendor id as udev writes it, product id, ID_MODEL.
MODELS = {
    "halvermont": ("1a86", "7523", "HALVERMONT"),
    "tavi": ("1a86", "7523", "TAVI"),
    "zr4410": ("1a86", "7523", "Corvane_ZR4410"),
    "zr4420": ("1a86", "7523", "ZR4420"),
    "zr4420-pl2303": ("067b", "2303", "ZR4420"),
}

TERMINATORS = {"crlf": b"\r\n", "cr": b"\r", "none": b""}

# A tty held open in exclusive mode until standard input ends.
_HOLD = ("import fcntl, os, sys, termios\nfd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)\n"
         "fcntl.ioctl(fd, termios.TIOCEXCL)\nprint(flush=True)\nsys.stdin.read()\n"
         "fcntl.ioctl(fd, termios.TIOCNXCL)")


class VirtualScanners:
    def __init__(self):
        self.testbed = UMockdev.Testbed.new()
        self._plugged = {}  # node -> syspath
        self._majmin = {}  # node -> its device number, "188:<n>"
        self._count = 0

    def plug(self, model="tavi", node=None, with_node=True):
        """Plugs in a scanner of the model (or any ids, as a tuple); returns its
        node name, ttyUSB<n>, after its "add" event. Without its node, udev
        names a device file that is not there."""
        vendor, product, name = MODELS[model] if isinstance(model, str) else model
        self._count += 1
        node = node or f"ttyUSB{self._count - 1}"
        port = f"1-{self._count}"
        parent = f"/devices/usb1/{port}"
        path = f"{parent}/{port}:1.0/{node}/tty/{node}"
        record = (f"P: {parent}\nE: SUBSYSTEM=usb\nA: idVendor={vendor}\nA: idProduct={product}\n\n"
                  f"P: {path}\n{f'N: {node}' + chr(10) if with_node else ''}E: SUBSYSTEM=tty\nE: DEVNAME=/dev/{node}\n"
                  f"E: ID_VENDOR_ID={vendor}\nE: ID_MODEL_ID={product}\nA: dev=188:{self._count}\n")
        # umockdev lists the device and sends its "add" before it makes the
        # node: the model, which makes it a scanner, comes once the node is there.
        self.testbed.add_from_string(record)
        self.testbed.set_property("/sys" + path, "ID_MODEL", name)
        self.testbed.uevent("/sys" + path, "add")
        self._plugged[node] = "/sys" + path
        self._majmin[node] = f"188:{self._count}"
        return node

    def nodes(self):
        return list(self._plugged)

    def announce(self, node):
        """Sends the "add" event once more (one sent before a monitor listened is lost)."""
        self.testbed.uevent(self._plugged[node], "add")

    def type(self, data, node=None, terminator=b"\r\n"):
        """Types a scan: bytes, or text sent as GB18030."""
        if isinstance(data, str):
            data = data.encode("gb18030")
        os.write(self._master(node), data + terminator)

    def hold(self, node):
        """Holds the scanner's tty as a modem prober does for a while after a
        plug-in: open, in exclusive mode (TIOCEXCL), so that a process without
        CAP_SYS_ADMIN gets EBUSY. Returns what frees it again."""
        # The pty itself, from a process of its own: umockdev's preload
        # answers no tty ioctl here.
        pty = os.readlink(os.path.join(self.testbed.get_root_dir(), "dev", node))
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "UMOCKDEV_DIR")}
        holder = subprocess.Popen([sys.executable, "-c", _HOLD, pty], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, env=env)
        holder.stdout.readline()  # held

        def release():
            holder.stdin.close()
            holder.wait(10)
            holder.stdout.close()
        return release

    def remove_event(self, node):
        """The first half of an unplug: udev says the device is gone."""
        self.testbed.uevent(self._plugged[node], "remove")
        self.testbed.remove_device(self._plugged[node])

    def hang_up(self, node):
        """The second half: the tty's line drops, as a real unplug does."""
        master = self._master(node)
        if master >= 0:  # a device plugged without its node has none
            os.close(master)
        del self._plugged[node]
        # umockdev keeps its map entry for the device's pty after the device is
        # removed; the next device that gets the same pty could not be added.
        ptymap = os.path.join(self.testbed.get_root_dir(), "dev", ".ptymap")
        for entry in os.listdir(ptymap) if os.path.isdir(ptymap) else []:
            path = os.path.join(ptymap, entry)
            if os.path.islink(path) and os.readlink(path) == self._majmin[node]:
                os.unlink(path)
        del self._majmin[node]

    def unplug(self, node=None):
        node = node or self.nodes()[0]
        self.remove_event(node)
        self.hang_up(node)

    def close(self):
        """Removes the testbed now. umockdev points this process at the newest
        testbed, and a testbed that is collected later takes that away from
        its successor, so tests must not leave it to the garbage collector."""
        self.testbed = None
        gc.collect()

    def _master(self, node):
        node = node or self.nodes()[0]
        return self.testbed.get_dev_fd(f"/dev/{node}")
