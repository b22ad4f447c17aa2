"""The till answers the scanner, when every scanner is served at once: a page
makes a scanner of its list beep, and stops and starts its reading; a scan
made while it is off is never delivered and is heard refused. This suite
runs under umockdev-wrapper."""

import json
import os
import signal

import pytest

from conftest import frame, page, refusal, request, unnumbered
from sandbox import free_port
from test_metrics import get, metrics_conf, samples
from virtual_scanner import KEYBOARD_CONF
from ws_client import Client

# A serial scanner with host commands for all five orders (the bytes are the
# test's own), and a HID point-of-sale scanner whose output report carries
# the three beeps and Prevent Read, disabled after each scan it delivers.
SERIAL = {"good": b"G\r", "error": b"E\r", "not-on-file": b"N\r", "disable": b"D\r",
          "enable": b"U\r"}
CONF = ("<ServeAllScanners>1</ServeAllScanners><Scanners>"
        "<Scanner><VendorId>1a86</VendorId><Name>goods</Name><Signals><Good>47 0D</Good>"
        "<Error>450D</Error><NotOnFile>4E0D</NotOnFile><Disable>44 0d</Disable>"
        "<Enable>55 0D</Enable></Signals></Scanner>"
        "<Scanner><VendorId>0c2e</VendorId><ProductId>0b87</ProductId><Serial>BEEP</Serial>"
        "<Name>payment</Name><AutoDisable>1</AutoDisable></Scanner>"
        "<Scanner><VendorId>0c2e</VendorId><ProductId>0b87</ProductId><Name>quiet</Name>"
        "</Scanner></Scanners>" + KEYBOARD_CONF.replace("</Scanner>", "<Name>keys</Name></Scanner>"))
# The HID scanner's output report 4: Prevent Read is 0x02, the error beep
# 0x20, the good-read beep 0x40, the not-on-file beep 0x80.
HID = {"good": 0x40, "error": 0x20, "not-on-file": 0x80, "disable": 0x02, "enable": 0}


def report(order, held=False):
    """The output report of an order; a beep's is followed by one that clears
    its flag again, so that the next beep is a change too."""
    held = 0x02 if held else 0
    beep = order in ("good", "error", "not-on-file")
    return bytes([4, HID[order] | held]) + (bytes([4, held]) if beep else b"")


def told(scanners, node, expected):
    return scanners.written(node, len(expected)) == expected


@pytest.fixture
def till(daemon, scanners):
    """The till's four scanners served, and the metrics port."""
    nodes = {"goods": scanners.plug("tavi"),
             "payment": scanners.plug("hid-pos-beeper", props={"HID_UNIQ": "BEEP"}),
             "quiet": scanners.plug("hid-pos"), "keys": scanners.plug("keyboard")}
    port = free_port()
    d = daemon(conf={"extra": CONF + metrics_conf(port)}, wait_open=False)
    assert d.served(4) == {f"/dev/{node}": name for name, node in nodes.items()}
    assert d.wait_accepting()
    # Told to read as they open, whatever a run before left them told.
    assert told(scanners, nodes["goods"], SERIAL["enable"])
    assert told(scanners, nodes["payment"], report("enable"))
    return d, nodes, port


def test_each_scanner_says_what_it_can_be_told_and_is_told_only_that(till, scanners):
    d, nodes, _ = till
    stranger, p = Client(d.port), Client(d.port)
    stranger.send(request("DISABLE"))  # never registered
    assert stranger.recv() == refusal("a page subscribes before it tells a scanner anything")
    p.send(request("SCANNERS"))
    assert {s["Source"]: (s["Signals"], s["Disable"]) for s in json.loads(p.recv())["Scanners"]} == {
        "goods": (["good", "error", "not-on-file"], True),
        "payment": (["good", "error", "not-on-file"], True),
        "quiet": ([], False), "keys": ([], False)}
    # Refused by the daemon (what a request may hold is the unit table's).
    p.send(request(Sources=["goods", "payment", "quiet", "counter"]))
    for message, why in ((request("SIGNAL", Source="keys", Signal="good"), "keys is not in this page's list"),
                         (request("DISABLE", Sources=["counter"]), "no scanner counter is open")):
        p.send(message)
        assert p.recv() == refusal(why)
    for order in ("good", "error", "not-on-file"):
        p.send(request("SIGNAL", Source="goods", Signal=order))
        assert told(scanners, nodes["goods"], SERIAL[order])
        p.send(request("SIGNAL", Source="payment", Signal=order))
        assert told(scanners, nodes["payment"], report(order))
        p.send(request("SIGNAL", Source="quiet", Signal=order))  # it can't: no error, nothing
    p.send(request("DISABLE", Sources=["goods", "payment"]))
    assert told(scanners, nodes["goods"], SERIAL["disable"])
    assert told(scanners, nodes["payment"], report("disable"))
    p.send(request("ENABLE"))  # every scanner of its list that is open
    assert told(scanners, nodes["goods"], SERIAL["enable"])
    assert told(scanners, nodes["payment"], report("enable"))
    assert p.nothing_more() and scanners.written(nodes["quiet"], 1, timeout=0.3) == b""


def test_a_disabled_scanner_delivers_nothing_until_enabled_or_its_page_goes(till, scanners):
    d, nodes, port = till
    holder, other = page(d, request()), page(d, request())
    holder.send(request("DISABLE", Sources=["goods", "keys"]))
    assert told(scanners, nodes["goods"], SERIAL["disable"])
    # Scans while it is off: dropped, counted, said, and heard refused.
    scanners.type("OFF", nodes["goods"])
    assert told(scanners, nodes["goods"], SERIAL["error"])
    scanners.type("off", nodes["keys"])  # its keys are still taken, and dropped
    assert d.wait("a scan from keys was dropped: it is disabled")
    assert d.wait("a scan from goods was dropped: it is disabled")
    assert holder.nothing_more() and other.nothing_more()
    dropped = samples(get(port)[1])
    assert [dropped[f'tavitty_scans_dropped_total{{scanner="{name}",kind="{kind}",device="/dev/'
                    f'{nodes[name]}",reason="disabled"}}'] for name, kind in
            (("goods", "serial"), ("keys", "keyboard"))] == [1, 1]
    # A scanner out of its list is not its to hold; and once the page that
    # disabled one goes, that one reads again too.
    holder.send(request("SUBSCRIBE", Sources=["keys"]))
    assert told(scanners, nodes["goods"], SERIAL["enable"])
    holder.close()
    assert d.wait("keys is enabled")
    scanners.type("ON", nodes["goods"])
    scanners.type("on", nodes["keys"])
    assert sorted(unnumbered(other.recv()) for _ in range(2)) == sorted(
        [frame(0, "ON\r\n", "goods"), frame(0, "on", "keys")])


def test_a_scanner_that_disables_itself_after_each_scan(till, scanners):
    d, nodes, _ = till
    p = page(d, request(Sources=["payment"]))
    for item in ("ITEM1", "ITEM2"):
        scanners.type(item, nodes["payment"])
        assert unnumbered(p.recv()) == frame(0, item, "payment", "]Q1")
        assert told(scanners, nodes["payment"], report("disable"))
        scanners.type("TOO SOON", nodes["payment"])  # before the till took the item
        assert told(scanners, nodes["payment"], report("error", held=True))
        assert p.nothing_more()
        # Taken: the good beep, and reading again.
        p.send(request("SIGNAL", Source="payment", Signal="good"))
        assert told(scanners, nodes["payment"], report("good", held=True) + report("enable"))
    # Stopped while it holds its reading: it is told to read again.
    scanners.type("LAST", nodes["payment"])
    assert told(scanners, nodes["payment"], report("disable"))
    os.kill(d.pid(), signal.SIGTERM)
    assert told(scanners, nodes["payment"], report("enable"))
