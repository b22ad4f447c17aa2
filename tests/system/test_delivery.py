"""Scans on their way to the pages when every scanner is served at once:
each numbered, kept a while, and sent again to a page that comes back (a
reload, a dropped connection), once and in order; or a GAP that tells the
page what it may have missed. This suite runs under umockdev-wrapper."""

import json
import os
import signal

import pytest

from conftest import frame
from sandbox import free_port, poll_until
from test_metrics import get, metrics_conf, samples
from ws_client import Client

GOODS = ("<ServeAllScanners>1</ServeAllScanners><Scanners><Scanner><VendorId>1a86</VendorId>"
         "<Name>goods</Name></Scanner></Scanners>")
ERROR = '{\n\t"type":\t"ERROR",\n\t"erro":\t-3,\n\t"Data":\t"%s"\n}'


def subscribe(after=None):
    return json.dumps({"type": "SUBSCRIBE", **({"After": after} if after else {})})


def subscribed(d, after=None):
    """A page that subscribed to every scanner, once the daemon took it."""
    page = Client(d.port)
    taken = sum(l.startswith("debug:") for l in d.lines())
    page.send(subscribe(after))
    assert poll_until(lambda: sum(l.startswith("debug:") for l in d.lines()) > taken)
    return page


def cut(d, page):
    """Drops the page's connection without a close, once the daemon knows."""
    closed = d.lines().count("g_conn over!")
    page.cut()
    assert d.wait("g_conn over!", closed + 1)


def scan(text, run, seq):
    return frame(0, text + "\r\n", "goods", id=f"{run}:{seq}")


def test_a_page_that_comes_back_gets_each_scan_it_missed_once_and_in_order(daemon, scanners):
    node = scanners.plug("tavi")
    d = daemon(conf={"extra": GOODS}, wait_open=False)
    assert d.served(1)
    away, stays = subscribed(d), subscribed(d)
    scanners.type("S1", node)
    first = away.recv()
    run = json.loads(first)["Id"].split(":")[0]
    assert len(run) == 16 and [first, stays.recv()] == [scan("S1", run, 1)] * 2
    away.cut()  # no close: the daemon sees the reset
    for text in ("S2", "S3"):
        scanners.type(text, node)
    back = Client(d.port)
    back.send(subscribe(f"{run}:1"))
    scanners.type("S4", node)  # read after it came back: after what it missed
    assert [back.recv() for _ in range(3)] == [scan(f"S{i}", run, i) for i in (2, 3, 4)]
    assert [stays.recv() for _ in range(3)] == [scan(f"S{i}", run, i) for i in (2, 3, 4)]
    # A page that never left says where it is: it gets nothing again.
    stays.send(subscribe(f"{run}:3"))
    assert back.nothing_more() and stays.nothing_more()


# KeepScans; what happens while the page is away: scans, seconds waited
# after them, a restart of the daemon; then what the resuming page gets: a
# GAP's reason (None: no GAP), and the scans that follow it.
GAPS = [
    ("too late", 1, ["S2"], 1.5, False,
     "scans after it are no longer kept; those still kept follow", []),
    ("restarted", 10, ["S2"], 0, True, "the daemon started again: scans read since may be lost; "
     "the kept scans of this run follow", ["S2"]),
    ("too many", 300, [f"M{i}" for i in range(1030)], 0, False,
     "scans after it are no longer kept; those still kept follow", [f"M{i}" for i in range(6, 1030)]),
    ("none kept", 0, ["S2"], 0, False,
     "scans after it are no longer kept; those still kept follow", []),
]


@pytest.mark.parametrize("keep,made,wait,restart,gap,then", [row[1:] for row in GAPS],
                         ids=[row[0] for row in GAPS])
def test_a_page_is_told_when_scans_it_wanted_are_lost(daemon, scanners, keep, made, wait, restart,
                                                      gap, then):
    node, port = scanners.plug("tavi"), free_port()
    d = daemon(conf={"extra": GOODS + f"<KeepScans>{keep}</KeepScans>" + metrics_conf(port)},
               wait_open=False)
    assert d.served(1)
    page = subscribed(d)
    scanners.type("S1", node)
    after = json.loads(page.recv())["Id"]
    cut(d, page)  # the scans below are sent to no page
    if restart:
        os.kill(d.pid(), signal.SIGTERM)
        assert d.proc.wait_exit() == 0
        d.start()
        assert d.served(1) and d.wait_accepting()
    for text in made:
        scanners.type(text, node)
    assert d.wait(f"have data from goods: {made[-1]}\r")
    if wait:
        assert d.wait("a scan from goods reached no page", timeout=wait + 5)
        metrics = samples(get(port)[1])
        assert metrics[f'tavitty_scans_unreached_total{{scanner="goods",kind="serial",'
                       f'device="/dev/{node}"}}'] == 1
    back = Client(d.port)
    back.send(subscribe(after))
    assert json.loads(back.recv()) == {"type": "GAP", "erro": -4, "After": after, "Data": gap}
    got = [json.loads(back.recv())["Data"] for _ in then]
    assert got == [text + "\r\n" for text in then] and back.nothing_more()


def test_an_after_that_is_no_scan_id_is_refused_and_changes_nothing(daemon, scanners):
    node = scanners.plug("tavi")
    d = daemon(conf={"extra": GOODS}, wait_open=False)
    assert d.served(1)
    watcher = subscribed(d)
    scanners.type("S1", node)
    run = json.loads(watcher.recv())["Id"].split(":")[0]
    page = Client(d.port)
    form = 'After is the Id of a scan, \\"<run>:<seq>\\"'
    for after, why in (("1:2", form), ("0123456789ABCDEF:1", form), (f"{run}:01", form),
                       (f"{run}:", form), (7, form),
                       (f"{run}:2", "After names a scan that this run has not read")):
        page.send(subscribe(after))
        assert page.recv() == ERROR % why
    scanners.type("S2", node)
    assert watcher.recv() == scan("S2", run, 2) and page.nothing_more()  # never registered
