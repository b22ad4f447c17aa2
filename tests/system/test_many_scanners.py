"""Every scanner of a till served at once (<ServeAllScanners>): scanners of
any kind side by side, each scan naming its scanner, names that stay put,
scanners coming and going while the others scan. This suite runs under
umockdev-wrapper."""

import json

import pytest

from conftest import GOODS, NOT_OPEN, frame, page, request, told, unnumbered
from sandbox import OPENED, poll_until
from virtual_scanner import KEYBOARD_CONF
from ws_client import Client, Crowd

ALL = "<ServeAllScanners>1</ServeAllScanners>"
NO_IDS = {"ID_VENDOR_ID": None, "ID_MODEL_ID": None, "ID_MODEL": None}


def entry(**keys):
    return "<Scanner>" + "".join(f"<{k}>{v}</{k}>" for k, v in keys.items()) + "</Scanner>"


# Entries, the devices plugged (model, udev properties, node), and the name
# each gets in plug order (None: the scanner is served one a run, its scans
# without a name). Without a <Name>: ids and serial number, else ids and port,
# else the node. Identical scanners are told apart by Serial or Port; a name
# that is taken gets "-2". A tty without USB ids is served where an entry
# names its node (or a link to it). A suffixed name keeps to 64 characters.
LONG = "g" * 64
NAMING = [
    (ALL + "<Scanners>" + entry(VendorId="0c2e", ProductId="0b87", Name="payment") + "</Scanners>",
     [("hid-pos", {}, None), ("tavi", {"ID_SERIAL_SHORT": "18123B4F2A"}, None),
      ("zr4410", {}, None), ("zr4420", {"ID_PATH": None}, None)],
     ["payment", "1a86:7523:18123B4F2A", "1a86:7523@pci-0000:00:14.0-usb-0:3:1.0",
      "/dev/ttyUSB3"]),
    (ALL + "<Scanners>" + entry(VendorId="0c2e", Serial="B2", Name=LONG) + entry(
        VendorId="0c2e", Port="pci-0000:00:14.0-usb-0:3:1.0", Name="counter usb") + "</Scanners>"
     + KEYBOARD_CONF.replace("</Scanner>", f"<Name>{LONG}</Name></Scanner>"),
     [("honeywell-acm", {"ID_SERIAL_SHORT": "A1"}, None),
      ("honeywell-acm", {"ID_SERIAL_SHORT": "B2"}, None), ("honeywell-acm", {}, None),
      ("keyboard", {}, None)],
     ["0c2e:0b6a:A1", LONG, "counter usb", LONG[:62] + "-2"]),
    (ALL + "<Scanners>" + entry(Device="/dev/ttyS1", Name="counter") + entry(
        Device="/dev/serial/by-path/platform-serial8250:2", Name="second") + "</Scanners>",
     [("tavi", NO_IDS, "ttyS1"),
      ("tavi", {**NO_IDS, "DEVLINKS": "/dev/serial/by-path/platform-serial8250:2"}, "ttyS2"),
      ("tavi", NO_IDS, "ttyS3")],  # named by no entry: no scanner
     ["counter", "second"]),
    ("<Scanners>" + entry(Device="/dev/ttyS1") + "</Scanners>", [("tavi", NO_IDS, "ttyS1")], [None]),
]


@pytest.mark.parametrize("extra,devices,names", NAMING)
def test_each_scanner_is_named_and_each_scan_says_which(daemon, scanners, extra, devices, names):
    nodes = [scanners.plug(model, node=node, props=props) for model, props, node in devices]
    d = daemon(conf={"extra": extra}, wait_open=False)
    if names == [None]:
        assert d.wait(OPENED.format(0, 0)) and d.wait_accepting()
    else:
        assert d.wait_accepting() and d.served(len(names)) == {
            f"/dev/{n}": name for n, name in zip(nodes, names)}
    p = page(d)
    for node, name in zip(nodes, names):
        scanners.type("SCAN", node)
        kind = scanners._kind[node]
        data = "SCAN" if kind in ("hidraw", "input") else "SCAN\r\n"
        assert unnumbered(p.recv()) == frame(0, data, name, "]Q1" if kind == "hidraw" else None)
    assert p.nothing_more()
    clash = [l for l in d.proc.stderr.lines() if "is the name of another scanner" in l]
    assert clash == ([f"/dev/{nodes[3]} is named {names[3]}: {LONG} is the name of another "
                      "scanner served"] if LONG in names else [])


def test_every_scanner_is_served_at_once_and_scans_never_mix(daemon, scanners, systemd):
    # A keyboard of a scanner maker's that no entry lists: a scanner left
    # in keyboard mode, named once; the till's own keyboard is not.
    for keyboard in (("0c2e", "0b01", "Scanner", "input"), ("046d", "c31c", "Keyboard", "input")):
        scanners.plug(keyboard)
    d = daemon("tavi", "honeywell-acm", "hid-pos", "keyboard", conf={"extra": ALL + KEYBOARD_CONF})
    nodes = scanners.nodes()[2:]
    names = [d.served()[f"/dev/{n}"] for n in nodes]
    pages = [page(d) for _ in range(3)]
    assert [l[:68] for l in d.proc.stderr.lines() if "scanner maker's keyboard" in l] == [
        "/dev/input/event0 (0c2e:0b01) is a scanner maker's keyboard that no "]

    # Scans in turn on every scanner, and half a serial scan around a
    # whole one from the other serial scanner: each framed on its own.
    sent = {name: [] for name in names}
    for i in range(12):
        scanners.type(f"S{i}", nodes[i % 4])
        sent[names[i % 4]].append(f"S{i}" + ("\r\n" if i % 4 < 2 else ""))
    scanners.type("AB", nodes[0], terminator=b"")
    scanners.type("CD", nodes[1])
    scanners.type("EF", nodes[0])
    sent[names[1]].append("CD\r\n")
    crowd = Crowd(pages)
    assert crowd.receive(14, 30) == 3
    crowd.receive(15, 0.5)  # AB and EF apart, should a slow machine take 50 ms between
    for p in pages:
        got = {name: [] for name in names}
        for message, _ in p.messages:
            got[json.loads(message)["Source"]].append(json.loads(message)["Data"])
        assert (got[names[0]][:3], "".join(got[names[0]][3:])) == (sent[names[0]], "ABEF\r\n")
        assert {n: got[n] for n in names[1:]} == {n: sent[n] for n in names[1:]}

    # One hangs up mid-scan: its scan is lost, and no other; the others go
    # on, and the pages and systemd are told (its status names every scanner
    # served, and the pages).
    for p in pages:
        p.messages.clear()
    scanners.type("CUT", nodes[0], terminator=b"")
    scanners.hang_up(nodes[0])
    scanners.type("still", nodes[1])
    for p in pages:
        assert {unnumbered(p.recv()), unnumbered(p.recv())} == {
            frame(0, "still\r\n", names[1]),
            scanner_event("removed", names[0], "serial", f"/dev/{nodes[0]}")}
    assert d.wait(f"{names[0]} is gone: /dev/{nodes[0]} closed")
    assert told(systemd, "serving 3 scanners (" + ", ".join(
        f"{n} /dev/{node}" for n, node in zip(names[1:], nodes[1:])) + ") to 3 pages")
    assert all(p.nothing_more() for p in pages)


def scanner_event(event, name, kind, device):
    """A SCANNER event; one that says a scanner was added tells what it can be
    told too (these scanners: nothing)."""
    can = ',\n\t"Signals":\t[],\n\t"Disable":\tfalse' if event == "added" else ""
    return ('{\n\t"type":\t"SCANNER",\n\t"event":\t"%s",\n\t"Source":\t"%s",\n\t"Kind":\t"%s",'
            '\n\t"Device":\t"%s"%s\n}' % (event, name, kind, device, can))


NAMED = ALL + "<Scanners>" + "".join(entry(VendorId=v, ProductId=p, Name=n, **aim) for v, p, n, aim in (
    ("1a86", "7523", "goods", {}), ("0c2e", "0b87", "payment", {}),
    ("0c2e", "0b6a", "counter", {"AimPrefix": "1"}))) + "</Scanners>"


def test_pages_choose_their_scanners_and_see_them_come_and_go(daemon, scanners):
    d = daemon("tavi", "hid-pos", conf={"extra": NAMED})
    goods, payment = scanners.nodes()
    # What each page sent, in turn, and so which scanners it hears.
    sends = {"payment only": [request(Sources=["payment"])],
             "goods, counter": [request(Sources=["goods", "counter"])], "all": ["register"],
             "kept": [request(Sources=["payment"]), "keep-alive"],
             "all again": [request(Sources=["goods"]), request(Sources=[])]}
    pages = {who: Client(d.port) for who in sends}
    for who, messages in sends.items():
        for message in messages:
            pages[who].send(message)
    assert poll_until(lambda: sum(l.startswith("debug:") for l in d.lines()) == 7)  # all taken
    lister = Client(d.port)
    lister.send('{"type": "SCANNERS"}')
    assert json.loads(lister.recv()) == {"type": "SCANNERS", "Scanners": [
        {"Source": "goods", "Kind": "serial", "Device": f"/dev/{goods}", "VendorId": "1a86",
         "ProductId": "7523", "Signals": [], "Disable": False},
        {"Source": "payment", "Kind": "hid-pos", "Device": f"/dev/{payment}",
         "VendorId": "0c2e", "ProductId": "0b87", "Signals": [], "Disable": False}]}
    pages["lister"] = lister  # registered by its question, for every scanner
    hears = {"payment only": {"payment"}, "goods, counter": {"goods", "counter"}, "kept": {"payment"}}
    sent = {"goods": [], "payment": [], "counter": []}  # what each scanner's pages are sent
    scanners.type("G1", goods)
    sent["goods"].append(frame(0, "G1\r\n", "goods"))
    scanners.type("P1", payment)
    sent["payment"].append(frame(0, "P1", "payment", "]Q1"))
    counter = scanners.plug("honeywell-acm")  # a name asked for before it was served
    sent["counter"].append(scanner_event("added", "counter", "serial", f"/dev/{counter}"))
    assert d.wait(f"serving counter: serial /dev/{counter} (0c2e:0b6a)")
    scanners.type("]E04006381333931", counter)  # its AIM identifier first
    sent["counter"].append(frame(0, "4006381333931\r\n", "counter", "]E0"))
    scanners.type("no prefix", counter)
    sent["counter"].append(frame(0, "no prefix\r\n", "counter"))
    scanners.type("]E0", counter)  # its identifier and terminator alone: no scan
    assert d.wait("a scan of its symbology identifier alone, dropped")
    scanners.type("96385074", payment)  # an EAN-8, the last scan before its removal
    sent["payment"].append(frame(0, "96385074", "payment", "]E4"))
    assert d.wait("have data from payment: 96385074")
    scanners.unplug(payment)
    sent["payment"].append(scanner_event("removed", "payment", "hid-pos", f"/dev/{payment}"))
    # In order for each scanner; the scanners' threads keep no order between them.
    for who, p in pages.items():
        heard = hears.get(who, sent)
        got = [unnumbered(p.recv()) for name in heard for _ in sent[name]]
        assert {name: [m for m in got if json.loads(m)["Source"] == name] for name in sent} == {
            name: sent[name] if name in heard else [] for name in sent}, who
        assert p.nothing_more(), who


def test_up_to_16_scanners_a_17th_once_one_goes_and_none_at_all(daemon, scanners):
    nodes = [scanners.plug("tavi") for _ in range(16)]
    release = scanners.hold(nodes[0])  # as a modem prober holds a new tty for a while
    d = daemon(conf={"extra": ALL}, wait_open=False)
    assert d.wait("cannot open /dev/ttyUSB0 (Device or resource busy), retrying")
    release()
    assert len(d.served(16)) == 16
    assert any(l.startswith("opened /dev/ttyUSB0 after ") for l in d.lines())
    nodes.append(scanners.plug("tavi"))
    assert d.proc.stderr.wait_for(
        lambda l: l == "/dev/ttyUSB16 (1a86:7523) is not served: 16 scanners are served already")
    scanners.unplug(nodes[1])  # room: the 17th, plugged all along, is served now
    assert d.wait("serving 1a86:7523@pci-0000:00:14.0-usb-0:17:1.0: serial /dev/ttyUSB16 "
                  "(1a86:7523)")
    for node in nodes[:1] + nodes[2:]:
        scanners.unplug(node)
    assert poll_until(lambda: sum(" is gone: " in line for line in d.lines()) == 17)
    p = Client(d.port)  # none open: told so once, registered all the same, the daemon goes on
    p.send("register")
    assert p.recv() == NOT_OPEN
    p.send("keep-alive")
    assert p.nothing_more()
    node = scanners.plug("tavi")
    assert p.recv() == scanner_event("added", "1a86:7523@pci-0000:00:14.0-usb-0:18:1.0", "serial",
                                     f"/dev/{node}")
    scanners.type("back", node)
    assert unnumbered(p.recv()) == frame(0, "back\r\n", "1a86:7523@pci-0000:00:14.0-usb-0:18:1.0")


def test_a_scanner_back_at_once_takes_its_name_once_the_old_one_said_it_is_gone(daemon, scanners):
    first, second = scanners.plug("tavi"), scanners.plug("tavi")
    d = daemon(conf={"extra": GOODS}, wait_open=False)
    assert d.served(2) == {f"/dev/{first}": "goods", f"/dev/{second}": "goods-2"}
    assert d.wait_accepting()
    p = page(d)
    scanners.unplug(second, line_first=True)  # its line drops, and it is back at once
    again = scanners.plug("tavi")
    assert [p.recv(), p.recv()] == [
        scanner_event("removed", "goods-2", "serial", f"/dev/{second}"),
        scanner_event("added", "goods-2", "serial", f"/dev/{again}")]
    p.send('{"type":"SCANNERS"}')
    assert [(s["Source"], s["Device"]) for s in json.loads(p.recv())["Scanners"]] == [
        ("goods", f"/dev/{first}"), ("goods-2", f"/dev/{again}")]
    scanners.type("back", again)
    assert unnumbered(p.recv()) == frame(0, "back\r\n", "goods-2")
