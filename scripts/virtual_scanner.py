"""Virtual USB barcode scanners on umockdev.

Each scanner is a USB device with a child whose node is a pty: a tty (a
USB-serial bridge's /dev/ttyUSB<n>, or a CDC-ACM /dev/ttyACM<n>), a HID
point-of-sale scanner's /dev/hidraw<n> (its report descriptor in sysfs), or a
keyboard-mode scanner's /dev/input/event<n>. What is written to the pty's
master arrives on the node for any process started from this one: a scan's
bytes, its HID reports, or its key events. udev add and remove events reach
their udev monitors. The process that makes them must run under
umockdev-wrapper.
"""

import gc
import os
import select
import struct
import subprocess
import sys
import time

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

# The supported models: vendor id as udev writes it, product id, ID_MODEL, and
# the driver of a CDC-ACM tty; or, for "hid-pos" and "keyboard", the kind of
# node. A keyboard-mode scanner is served only when the configuration lists
# it (KEYBOARD_CONF).
MODELS = {
    "halvermont": ("1a86", "7523", "HALVERMONT"),
    "tavi": ("1a86", "7523", "TAVI"),
    "zr4410": ("1a86", "7523", "Corvane_ZR4410"),
    "zr4420": ("1a86", "7523", "ZR4420"),
    "zr4420-pl2303": ("067b", "2303", "ZR4420"),
    "honeywell-acm": ("0c2e", "0b6a", "Honeywell Scanning and Mobility", "cdc_acm"),
    "hid-pos": ("0c2e", "0b87", "Honeywell HID POS", "hidraw"),
    "keyboard": ("05e0", "1200", "Symbol Bar Code Scanner", "input"),
}
KEYBOARD_CONF = ("<KeyboardScanners><Scanner><VendorId>05e0</VendorId><ProductId>1200</ProductId>"
                 "</Scanner></KeyboardScanners>")

# A HID point-of-sale scanner's descriptor: report 2 holds a byte count, three
# symbology bytes, 56 bytes of decoded data, two more bytes and the "decoded
# data continued" bit: 64 bytes with its id.
HID_POS_DESCRIPTOR = bytes.fromhex(
    "058c 0902 a101 0912 a102 8502 1500 26ff00 7508"  # the scanner, its scanned-data report
    "9501 0501 093b 8102"  # byte count
    "9503 058c 09fb 09fc 09fd 8102"  # symbology identifiers
    "9538 09fe 820201"  # decoded data
    "9502 8101 7501 9501 2501 09ff 8102 7507 8101 c0c0")  # continued, padding

# The same scanner with an output report (id 4) of eight one-bit flags on the
# bar code scanner page, as a maker's firmware declares them: nothing, Prevent
# Read of Barcodes, Initiate Read, two more of nothing, then the error,
# good-read and not-on-file beeps.
HID_POS_BEEPER_DESCRIPTOR = HID_POS_DESCRIPTOR[:-1] + bytes.fromhex(
    "8504 7501 9508 0900 095f 0960 0900 0900 0985 0986 0987 9102 c0")
MODELS["hid-pos-beeper"] = MODELS["hid-pos"] + (HID_POS_BEEPER_DESCRIPTOR,)

# Key codes of a US keyboard (linux/input-event-codes.h), for typing text.
_KEY_ROWS = [(2, "1234567890-=", "!@#$%^&*()_+"), (16, "qwertyuiop[]", "QWERTYUIOP{}"),
             (30, "asdfghjkl;'`", 'ASDFGHJKL:"~'), (43, "\\zxcvbnm,./", "|ZXCVBNM<>?")]
KEYS = {c: (first + i, False) for first, plain, _ in _KEY_ROWS for i, c in enumerate(plain)}
KEYS.update({c: (first + i, True) for first, _, shifted in _KEY_ROWS for i, c in enumerate(shifted)})
KEYS.update({" ": (57, False), "\t": (15, False)})
KEY_ENTER, KEY_LEFTSHIFT = 28, 42

TERMINATORS = {"crlf": b"\r\n", "cr": b"\r", "none": b""}

# What else a till's bus holds, none of it a scanner (plug's model and props):
# a Bluetooth or gadget serial port (no USB ids), a tty whose ids are not
# ids, the till's own keyboard, a mouse, a virtual keyboard (no USB parent),
# a hidraw node whose HID device has no ids.
BYSTANDERS = [
    (MODELS["tavi"], {"ID_VENDOR_ID": None, "ID_MODEL_ID": None, "ID_MODEL": None}),
    (MODELS["tavi"], {"ID_VENDOR_ID": "1a8g"}),
    (("046d", "c31c", "USB Keyboard", "input"), {}),
    (("046d", "c077", "USB Optical Mouse", "input"),
     {"ID_INPUT_KEYBOARD": None, "ID_INPUT_MOUSE": "1"}),
    (("0000", "0000", "virtual keyboard", "input"), {"ID_VENDOR_ID": None, "ID_MODEL_ID": None}),
    (MODELS["hid-pos"], {"HID_ID": None}),
]

# A tty held open in exclusive mode until standard input ends.
_HOLD = ("import fcntl, os, sys, termios\nfd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)\n"
         "fcntl.ioctl(fd, termios.TIOCEXCL)\nprint(flush=True)\nsys.stdin.read()\n"
         "fcntl.ioctl(fd, termios.TIOCNXCL)")


class VirtualScanners:
    def __init__(self):
        self.testbed = UMockdev.Testbed.new()
        self._plugged = {}  # node -> syspath
        self._majmin = {}  # node -> its device number, "188:<n>"
        self._kind = {}  # node -> "tty", "cdc_acm", "hidraw" or "input"
        self._line_down = set()  # nodes whose line dropped before udev's removal
        self._count = 0

    def plug(self, model="tavi", node=None, with_node=True, props=None, port=None):
        """Plugs in a scanner of the model (or any ids, as a tuple like those
        of MODELS, a hidraw node's with its descriptor after its kind);
        returns its node name (ttyUSB<n>, ttyACM<n>, hidraw<n>,
        input/event<n>) after its "add" event. Without its node, udev names a
        device file that is not there. `props` sets udev properties of the
        device (of a hidraw node's HID parent for HID_*), None leaving one
        out; `port` is the USB port it is plugged into (1-<n> by default)."""
        vendor, product, name, *rest = MODELS[model] if isinstance(model, str) else model
        kind, descriptor = (rest + ["tty", HID_POS_DESCRIPTOR][len(rest):])[:2]
        self._count += 1
        n = self._count - 1
        port = port or f"1-{self._count}"
        parent = f"/devices/usb1/{port}"
        ids = {"ID_VENDOR_ID": vendor, "ID_MODEL_ID": product,
               "ID_PATH": f"pci-0000:00:14.0-usb-0:{port[2:]}:1.0"}
        hid = {}
        if kind == "hidraw":
            hid_path = f"{parent}/{port}:1.0/0003:{vendor.upper()}:{product.upper()}.{self._count:04X}"
            node, path, majmin = node or f"hidraw{n}", f"{hid_path}/hidraw/hidraw{n}", f"245:{n}"
            hid = {"SUBSYSTEM": "hid", "HID_ID": f"0003:0000{vendor}:0000{product}"}
            own = {"SUBSYSTEM": "hidraw"}
        elif kind == "input":
            node, majmin = node or f"input/event{n}", f"13:{64 + n}"
            path = f"{parent}/{port}:1.0/input/input{n}/event{n}"
            own = {"SUBSYSTEM": "input", "ID_INPUT": "1", "ID_MODEL": name, **ids}
        else:
            acm = kind == "cdc_acm"
            node = node or (f"ttyACM{n}" if acm else f"ttyUSB{n}")
            majmin = f"{166 if acm else 188}:{self._count}"
            path = f"{parent}/{port}:1.0/{node}/tty/{node}"
            own = {"SUBSYSTEM": "tty", **ids, **({"ID_USB_DRIVER": kind} if acm else {})}
        own["DEVNAME"] = f"/dev/{node}"
        # umockdev lists the device and sends its "add" before it makes the
        # node: what makes it a scanner (the model, a keyboard's mark) comes
        # once the node is there.
        late = {"ID_INPUT_KEYBOARD": "1"} if kind == "input" else {} if kind == "hidraw" else {
            "ID_MODEL": name}
        for key, value in (props or {}).items():
            target = hid if key.startswith("HID_") and kind == "hidraw" else \
                late if key in late else own
            target[key] = value
        lines = lambda props: "".join(f"E: {k}={v}\n" for k, v in props.items() if v is not None)  # noqa: E731
        record = f"P: {parent}\nE: SUBSYSTEM=usb\nA: idVendor={vendor}\nA: idProduct={product}\n\n"
        if hid:
            record += (f"P: {hid_path}\n{lines(hid)}"
                       + (f"H: report_descriptor={descriptor.hex()}\n" if descriptor else "") + "\n")
        record += (f"P: {path}\n{lines(own)}" + (f"N: {node}\n" if with_node else "")
                   + f"A: dev={majmin}\n")
        self.testbed.add_from_string(record)
        for key, value in late.items():
            if value is not None:
                self.testbed.set_property("/sys" + path, key, value)
        self.testbed.uevent("/sys" + path, "add")
        self._plugged[node] = "/sys" + path
        self._majmin[node] = majmin
        self._kind[node] = kind
        return node

    def nodes(self):
        return list(self._plugged)

    def churn(self, devices, rounds=1, settle=None):
        """Plugs each device in (plug's model and props), says that it changed
        and that its driver was bound, and unplugs it, `rounds` times; returns
        how many udev events that made: five a device, as a plug brings two
        "add"s (umockdev's and ours). `settle(events)` is called after each
        device with the count so far: it waits for the daemon to take them,
        since umockdev aborts once a reader's queue (10 messages) is full."""
        events = 0
        for _ in range(rounds):
            for model, props in devices:
                node = self.plug(model, props=props)
                for action in ("change", "bind"):
                    self.testbed.uevent(self._plugged[node], action)
                self.unplug(node)
                events += 5
                if settle:
                    settle(events)
        return events

    def announce(self, node):
        """Sends the "add" event once more (one sent before a monitor listened is lost)."""
        self.testbed.uevent(self._plugged[node], "add")

    def type(self, data, node=None, terminator=b"\r\n"):
        """Types a scan: bytes, or text sent as GB18030. A HID scanner sends the
        bytes alone, in reports of 56, each with the symbology identifier that
        fits the whole; a keyboard types the text on a US layout (or key
        codes, a list), ending in Enter where a terminator is given. Returns
        CLOCK_MONOTONIC (ns) of the moment it wrote them all."""
        node = node or self.nodes()[0]
        if isinstance(data, str) and self._kind[node] != "input":
            data = data.encode("gb18030")
        if self._kind[node] == "hidraw" and isinstance(data, list):
            data = b"".join(data)  # reports as they are
        elif self._kind[node] == "hidraw":
            symbology = self.symbology(data)  # every part of a barcode says the same
            data = b"".join(self.report(data[at:at + 56], at + 56 < len(data), symbology)
                            for at in range(0, max(len(data), 1), 56))
        elif self._kind[node] == "input":
            keys = [KEYS[c] for c in data] if isinstance(data, str) else [(k, False) for k in data]
            data = b"".join(self.key(code, shift) for code, shift in
                            keys + ([(KEY_ENTER, False)] if terminator else []))
        else:
            data += terminator
        master, written = self._master(node), time.monotonic_ns()
        os.write(master, data)
        return written

    def written(self, node, size, timeout=5):
        """The next `size` bytes that the daemon wrote to the node (signals,
        orders), or fewer once `timeout` seconds have passed."""
        master, got = self._master(node), b""
        deadline = time.monotonic() + timeout
        while len(got) < size and select.select([master], [], [], max(deadline - time.monotonic(), 0))[0]:
            got += os.read(master, size - len(got))
        return got

    @staticmethod
    def symbology(data):
        """The AIM identifier that a scanner sends with the bytes: EAN-13's for
        13 digits, EAN-8's for 8, and a QR Code's for anything else, which no
        EAN could hold."""
        if data.isdigit() and len(data) in (8, 13):
            return b"]E4" if len(data) == 8 else b"]E0"
        return b"]Q1"

    @staticmethod
    def report(data, continued, symbology=None):
        """One input report of HID_POS_DESCRIPTOR: the data, zero padded, with
        its symbology identifier (the one that fits the data unless given)."""
        symbology = symbology or VirtualScanners.symbology(data)
        return bytes([2, len(data)]) + symbology + data.ljust(56, b"\0") + bytes([0, 0, continued])

    @staticmethod
    def key(code, shift=False):
        """A key's press and release (with Shift around it), as evdev reports
        them; None: the kernel's word that it lost events (SYN_DROPPED)."""
        event = lambda kind, code, value: struct.pack("llHHi", 0, 0, kind, code, value)  # noqa: E731
        syn = event(0, 0, 0)
        if code is None:
            return event(0, 3, 0)
        strokes = [(code, 1), (code, 0)]
        if shift:
            strokes = [(KEY_LEFTSHIFT, 1)] + strokes + [(KEY_LEFTSHIFT, 0)]
        return b"".join(event(1, c, v) + syn for c, v in strokes)

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
        if master >= 0 and node not in self._line_down:  # one plugged without its node has none
            os.close(master)
        self._line_down.discard(node)
        del self._plugged[node]
        # umockdev keeps its map entry for the device's pty after the device is
        # removed; the next device that gets the same pty could not be added.
        ptymap = os.path.join(self.testbed.get_root_dir(), "dev", ".ptymap")
        for entry in os.listdir(ptymap) if os.path.isdir(ptymap) else []:
            path = os.path.join(ptymap, entry)
            if os.path.islink(path) and os.readlink(path) == self._majmin[node]:
                os.unlink(path)
        del self._majmin[node]
        del self._kind[node]

    def unplug(self, node=None, line_first=False):
        """udev's removal, then the line drops; or, `line_first`, the other
        way round (a loose cable, a hub's reset)."""
        node = node or self.nodes()[0]
        if line_first:
            os.close(self._master(node))
            self._line_down.add(node)
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
