"""The daemon and its scanner as a user meets them: virtual scanners (umockdev)
plugged in and out, scans typed on the line, a page that receives them. This
suite runs under umockdev-wrapper."""

import json
import os
import signal
import termios
import time

import pytest

from conftest import NOT_OPEN, frame, page, scan
from sandbox import OPENED, poll_until
from virtual_scanner import HID_POS_DESCRIPTOR, KEYBOARD_CONF, MODELS, VirtualScanners
from ws_client import Client, Closed

TAVI = OPENED.format(0x1a86, 0x7523)


MY = ("1a86", "5523", "MYSCAN-2")  # a deployer's own serial scanner
SCANNERS = ("<Scanners><Scanner><VendorId>1a8</VendorId></Scanner><Scanner><VendorId>1a86"
            "</VendorId><ProductId>5523</ProductId><Model>MYSCAN</Model></Scanner></Scanners>")
NOT_HID_POS = ("0c2e", "0b88", "", "hidraw",  # a hidraw node with a keyboard's descriptor
               bytes.fromhex("05010906a101050719e029e71500250175019508810295068108c0"))


# udev's ids, model text (and kind), and the configuration's extra elements
# of each supported scanner.
@pytest.mark.parametrize("ids,extra", [(MODELS[m], KEYBOARD_CONF) for m in sorted(MODELS)] + [
    (("1a86", "7523", "ane_ZR4410"), ""),  # a tail of the model name holding its key
    (MY, SCANNERS),  # configured, beside an entry that is skipped
])
def test_supported_scanners_are_found_at_start(daemon, scanners, ids, extra):
    scanners.plug(ids)
    d = daemon(conf={"extra": extra})
    opened = OPENED.format(int(ids[0], 16), int(ids[1], 16))
    assert d.wait(opened) and d.wait_accepting()
    p = page(d)
    d.scanners.type("SCAN-1")
    assert p.recv() == frame(0, "SCAN-1" + ("\r\n" if ids[3:4] in ((), ("cdc_acm",)) else ""))
    lines = d.lines()  # its presence checks keep finding it
    assert "have no device" not in lines[lines.index(opened):]


LONG, NOT_TEXT = "9" * 5000, "\x01\x1b[2J\u00ff\ufffd"
TTY, HID, KEYS = MODELS["tavi"], MODELS["hid-pos"], MODELS["keyboard"]
# Devices that are no scanner, however close they come: each property (or the
# report descriptor) absent, empty, not hexadecimal, longer than 4 KiB, or not
# text. A Bluetooth or gadget serial port has no USB ids at all, nor has a
# virtual keyboard.
ODD = [(TTY, {key: value}) for key in ("ID_VENDOR_ID", "ID_MODEL_ID", "ID_MODEL")
       for value in (None, "", "zz", LONG, NOT_TEXT)] + [
    (TTY, {"ID_VENDOR_ID": None, "ID_MODEL_ID": None, "ID_MODEL": None}),
    (MODELS["honeywell-acm"], {"ID_USB_DRIVER": NOT_TEXT}),
    (TTY, {"DEVNAME": None}), (TTY, {"DEVNAME": "/etc/" + LONG}), (TTY, {"DEVNAME": NOT_TEXT}),
] + [(HID, {"HID_ID": value}) for value in (None, "", "0003:zz:yy", LONG, NOT_TEXT)] + [
    (HID[:4] + (descriptor,), {}) for descriptor in (b"", bytes(5000), HID_POS_DESCRIPTOR[:-3])
] + [(KEYS, {key: value}) for key in ("ID_VENDOR_ID", "ID_MODEL_ID", "ID_INPUT_KEYBOARD")
     for value in (None, "", LONG, NOT_TEXT)] + [
    (KEYS, {"DEVNAME": "/dev/input/mouse0"}), (KEYS, {"ID_VENDOR_ID": None, "ID_MODEL_ID": None}),
    # Close to a supported model: another model text, its case, a longer
    # one that holds the key, another product or vendor; a maker's id not in
    # its CDC-ACM mode; a hidraw node with a keyboard's descriptor. (A
    # keyboard that no entry lists is the several-scanners suite's.)
] + [(ids, {}) for ids in (("1a86", "7523", "TAVI2"), ("1a86", "7523", "tavi"),
                           ("1a86", "7523", "ZR4410X"), ("1a86", "7524", "TAVI"),
                           ("067b", "2303", "ZR4410"), ("0c2e", "0b6a", "", "tty"), NOT_HID_POS)]


@pytest.mark.parametrize("when", ["at start", "announced later"])
def test_devices_that_are_no_scanner_neither_stop_the_daemon_nor_hide_one(daemon, scanners, when):
    for model, props in ODD if when == "at start" else ():
        scanners.plug(model, props=props)
    d = daemon(conf={"extra": SCANNERS + KEYBOARD_CONF})
    assert d.wait("have no device") and (when == "at start" or d.listening())
    for model, props in ODD if when != "at start" else ():
        # Each once the daemon has taken the last two "add"s (umockdev's and
        # ours): a daemon held up (under strace, say) must not have udev's
        # messages pile up past its socket's queue, where umockdev aborts.
        seen = d.events_taken()
        scanners.plug(model, props=props)
        d.taken(2, seen)
    real = d.plug("tavi")  # one plugged in now is served, and is the first one taken
    assert real and d.wait(TAVI)
    assert [l for l in d.lines() if l.startswith("connect device")] == [
        "connect device (vid:pid)1A86:7523"]
    p = page(d)
    d.scanners.type("served", real)
    assert p.recv() == frame(0, "served\r\n")


REPORT = VirtualScanners.report
SHORT = "/dev/hidraw0 sends reports shorter than its descriptor says (20 bytes): read as padded with zeros"
UNFINISHED = "a barcode of {} bytes from /dev/hidraw0 was dropped unfinished: {}"
KEYBOARD_DE = KEYBOARD_CONF.replace("</ProductId>", "</ProductId><Layout>de</Layout>")
F1 = 59
# The scanner and its configuration; what it sends (bytes, text to type, or
# key codes), its terminator (Enter for any); and the Data that the page
# receives, after a line of the daemon where one is given.
INPUT_SCANS = [
    # One barcode over three reports, converted from GB18030.
    ("hid-pos", "", ("中文" + "9" * 130).encode("gb18030"), b"\r\n", "中文" + "9" * 130),
    # A report shorter than its layout is read zero-padded; a barcode whose
    # last part never comes goes, and so does one cut by a barcode of another
    # symbology.
    ("hid-pos", "", [REPORT(b"SHORT", False)[:20]], b"\r\n", (SHORT, "SHORT")),
    ("hid-pos", "", [REPORT(b"PART", True)], b"\r\n",
     (UNFINISHED.format(4, "its last part never came"), None)),
    ("hid-pos", "", [REPORT(b"OLD", True, b"]E0"), REPORT(b"NEW", False, b"]Q1")], b"\r\n",
     (UNFINISHED.format(3, "a barcode of another symbology began"), "NEW")),
    # Shift, digits and punctuation, ended by 50 ms without a key.
    ("keyboard", KEYBOARD_CONF, "Ab-1!\t@", b"", "Ab-1!\t@"),
    ("keyboard", KEYBOARD_CONF, [F1, 30, F1], b"\r\n", ("dropped 2 keys that type no text", "a")),
    # In German. Events lost (the kernel's SYN_DROPPED): the whole scan goes,
    # up to its Enter, however the reads cut it; the next arrives whole.
    ("keyboard", KEYBOARD_DE, ([2, 3, 4, None], [5, 6, 7]), b"\r\n",
     ("keyboard events were lost: the scan is dropped", None)),
    # A dead key that ends a scan goes with it, not into the next (typed as
    # it is by the us layout: the layout is in force).
    ("keyboard", KEYBOARD_DE, [2, 41], b"\r\n", ("dropped 1 keys that type no text", "1")),
    ("keyboard", KEYBOARD_DE, [30, 2], b"\r\n", "a1"),
]


def test_hotplug_serves_the_first_scanner_and_tells_pages_when_there_is_none(daemon, scanners):
    # Plugged and pulled at once: udev announced it, but the node is gone.
    first = scanners.plug("tavi", with_node=False)
    d = daemon()
    assert d.proc.stderr.wait_for(lambda l: "No such file or directory" in l) is not None
    assert d.wait_accepting()
    early = Client(d.port)
    early.send("register")
    assert early.recv() == NOT_OPEN  # no scanner open: told so, and not listed
    # One plugged in while it is tried again is served once it goes, for it
    # never opened.
    scanners.plug("zr4410")
    assert d.wait("find guns  actions11:add")
    d.unplug(first)
    assert d.wait(TAVI)
    p = page(d)
    # A second scanner is not taken, and its removal ends nothing.
    second = d.scanners.plug("zr4420")
    assert d.wait("find guns  actions11:add", 2)
    d.unplug(second)
    scan(d, "still", p)
    assert early.nothing_more()


FOUR = "\U0001f600".encode("gb18030")  # four bytes in GB18030
# The Encode setting, typed bytes, the terminator, and the Data of the message
# the page receives (bytes: in a binary frame, not being UTF-8), or of each
# message (a list); or the daemon's line (and the Data of the message after
# it).
FRAMING = [
    ("2", b"", b"\r", "\r"),  # a lone CR is too short to end a scan: quiet ends it
    ("2", b"AB", b"\r", "AB\r"),
    ("2", b"", b"\n", None),  # the LF of that CR LF, read apart from it
    ("2", b"ABC\r\nDEF\r\nG\rH", b"", ["ABC\r\n", "DEF\r\n", "G\r", "H"]),  # scans of one read
    ("2", "中文条码丂".encode("gb18030"), b"\r\n", "中文条码丂\r\n"),
    ("2", FOUR, b"", "\U0001f600"),  # ended by 50 ms of quiet
    ("2", b'q"\\\t\x01\x7f', b"\r\n", 'q"\\\t\x01\x7f\r\n'),
    ("2", "中".encode("gb18030") * 1023, b"\r\n", "中" * 1023 + "\r\n"),  # a full scan grows by half
    ("2", b"x" * 2048, b"\r\n", ("scan longer than 2048 bytes, dropped",)),  # its CR past the end
    ("2", b"\x81\x30\xff\xfe\x80", b"", ("convert g2u fail",)),  # not GB18030
    ("2", FOUR[:3], b"", ("convert g2u fail",)),  # ends inside a character
    # The scan after an oversize one in the same burst is whole.
    ("2", b"X" * 2555 + b"\rGOODBARCODE", b"\r",
     ("scan longer than 2048 bytes, dropped", "GOODBARCODE\r")),
    ("1", "中文".encode("gb2312"), b"\r\n", "中文\r\n"),
    ("1", "丂".encode("gbk"), b"\r\n", ("convert g2u fail",)),  # not in GB2312
    ("3", "你好".encode("gb2312"), b"\r\n", "你好\r\n".encode("gbk")),  # GBK: not UTF-8
    ("4", b"ab\x00cd", b"\r\n", "ab"),  # copied, and read up to a zero byte
    ("4", b"\xc4\xe3\x81\x5c", b"\r\n", b"\xc4\xe3\x81\x5c\r\n"),  # a GBK trail byte 0x5c
    ("4", b"\xf0\x8f\xbf\xbf", b"", b"\xf0\x8f\xbf\xbf"),  # UTF-8 in form only: overlong,
    ("4", b"\xed\xa0\x80", b"", b"\xed\xa0\x80"),  # a surrogate half
    ("4", b"\xf1\x80\x80\x80\xf4\x8f\xbf\xbf", b"", "\U00040000\U0010ffff"),  # but these are
    ("4", b"y" * 2046, b"\r\n", "y" * 2046 + "\r\n"),
    ("0", b"abc", b"\r\n", ("convert g2u fail",)),  # selectors 0, 5 and 6 convert nothing
]


# Both tables as one: the scanner, its Encode or configuration, what it sends,
# its terminator, and what the page receives.
SCANS = [("tavi", *row) for row in FRAMING] + INPUT_SCANS


@pytest.mark.parametrize("model,setting", sorted({row[:2] for row in SCANS}))
def test_scans_are_framed_converted_and_sent_whole_and_byte_exact(daemon, model, setting):
    serial = model == "tavi"
    d = daemon(model, conf={"encode": setting, "baudrate": "9600"} if serial else {"extra": setting})
    p = page(d)
    assert not serial or termios.tcgetattr(d.scanners._master(None))[4] == termios.B9600
    for _, _, sent, terminator, expected in (row for row in SCANS if row[:2] == (model, setting)):
        seen = d.lines().count(expected and expected[0])
        *first, last = sent if isinstance(sent, tuple) else (sent,)
        for part in first:  # in reads of their own, within the quiet time
            d.scanners.type(part, terminator=b"")
            time.sleep(0.01)
        d.scanners.type(last, terminator=terminator)
        if isinstance(expected, tuple):
            assert d.wait(expected[0], seen + 1), expected[0]
            expected = expected[1] if len(expected) > 1 else None
        if isinstance(expected, list):
            assert [p.recv() for _ in expected] == [frame(0, e) for e in expected]
        elif expected is not None:
            assert p.recv() == frame(0, expected), expected
    assert p.nothing_more()


# What the log shows of a scan: its size alone (<LogScanData>0), or a
# customer's payment code masked, one scanner a run and every one at once.
CODE = "289573068241375916"  # 16 to 24 digits beginning 25 to 30


@pytest.mark.parametrize("model,extra,sent,shown", [
    ("tavi", "<LogScanData>0</LogScanData>", "SECRET-4711", "have data (13 bytes, not logged)"),
    ("tavi", "", CODE, "have data 28**************16\r"),
    ("hid-pos", "<ServeAllScanners>1</ServeAllScanners>", CODE, ": 28**************16"),
])
def test_scans_can_be_kept_out_of_the_log(daemon, model, extra, sent, shown):
    d = daemon(model, conf={"extra": extra})
    p = page(d)
    d.scanners.type(sent)
    terminator = "" if model == "hid-pos" else "\r\n"
    assert json.loads(p.recv(30))["Data"] == sent + terminator  # the page gets it whole
    assert poll_until(lambda: [l for l in d.lines() if l.startswith("have data") and l.endswith(shown)])
    log = "\n".join(d.lines()).replace(" ", "")
    runs = {sent[at:at + 5] for at in range(len(sent) - 4)}
    assert not [run for run in runs if run in log or run.encode().hex() in log]  # nor in hex
    assert ("32382a2a" in log) == (sent == CODE)  # a code's dump: masked, not left out


@pytest.mark.parametrize("model,how", [("tavi", how) for how in (
    "unplug", "unplug-mid-scan", "hang-up", "hang-up-mid-scan", "SIGTERM", "SIGINT")] + [
    ("hid-pos", "unplug"), ("keyboard", "unplug"), ("keyboard", "hang-up-mid-scan")])
def test_the_daemon_exits_0_when_its_scanner_goes_or_it_is_stopped(daemon, model, how):
    d = daemon(model, conf={"extra": KEYBOARD_CONF})
    pages = [page(d) for _ in range(10)]
    last = "LAST\r\n" if model == "tavi" else "LAST"  # a serial scanner's own terminator
    d.scanners.type("LAST")  # on its way to the pages as the stop comes
    assert d.wait("have data " + last.rstrip("\n"))
    for byte in "PART" if how.endswith("mid-scan") else "":
        d.scanners.type(byte, terminator=b"")  # its quiet time never over
        time.sleep(0.01)
    printed, node = len(d.lines()), d.scanners.nodes()[0]
    if how.startswith("SIG"):
        os.kill(d.pid(), getattr(signal, how))
    elif how.startswith("hang-up"):
        d.scanners.hang_up(node)  # udev still lists it
    elif how == "unplug":  # udev's word alone ends the service: the line stays up
        d.scanners.remove_event(node)
    else:  # udev's removal, then the line drops; a byte just before it keeps
        # the scan under way however long the removal took
        d.scanners.remove_event(node)
        d.scanners.type("T", node, terminator=b"")
        d.scanners.hang_up(node)
    assert d.proc.wait_exit() == 0
    assert len(d.lines()) - printed < 40  # no flood on the way out
    assert ("have no device" in d.lines()[printed:]) != how.startswith("SIG")
    for p in pages:  # a cut scan is not passed off as a whole one
        assert p.recv() == frame(0, last)
        with pytest.raises(Closed) as closed:
            p.recv(5)
        assert closed.value.code == 1001 or not how.startswith("SIG")
    # What the daemon printed as it stopped reached standard output.
    assert d.lines().count("g_conn over!") == 10
