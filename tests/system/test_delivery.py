"""Scans on their way to the pages when every scanner is served at once:
each numbered, kept a while, and sent again to a page that comes back (a
reload, a dropped connection), once and in order; or a GAP that tells the
page what it may have missed. This suite runs under umockdev-wrapper."""

import json
import os
import signal

import pytest

from conftest import GOODS, frame, page, refusal, request
from sandbox import free_port
from test_metrics import get, metrics_conf, samples
from ws_client import Client


def scan(text, run, seq):
    return frame(0, text + "\r\n", "goods", id=f"{run}:{seq}")


def test_a_page_that_comes_back_gets_each_scan_it_missed_once_and_in_order(daemon, scanners):
    d = daemon("tavi", conf={"extra": GOODS})
    away, stays = page(d, request()), page(d, request())
    scanners.type("S1")
    first = away.recv()
    run = json.loads(first)["Id"].split(":")[0]
    assert len(run) == 16 and [first, stays.recv()] == [scan("S1", run, 1)] * 2
    away.cut()  # no close: the daemon sees the reset
    for text in ("S2", "S3"):
        scanners.type(text)
    back = Client(d.port)
    back.send(request(After=f"{run}:1"))
    scanners.type("S4")  # read after it came back: after what it missed
    assert [back.recv() for _ in range(3)] == [scan(f"S{i}", run, i) for i in (2, 3, 4)]
    assert [stays.recv() for _ in range(3)] == [scan(f"S{i}", run, i) for i in (2, 3, 4)]
    # A page that never left says where it is: it gets nothing again. One
    # that names a scan that this run has not read is refused, and is not
    # registered (what an After may look like is the unit table's).
    stays.send(request(After=f"{run}:3"))
    stranger = Client(d.port)
    stranger.send(request(After=f"{run}:5"))
    assert stranger.recv() == refusal("After names a scan that this run has not read")
    scanners.type("S5")
    assert [back.recv(), stays.recv()] == [scan("S5", run, 5)] * 2
    assert back.nothing_more() and stays.nothing_more() and stranger.nothing_more()


# What happens while the page is away after a scan: the scan kept (KeepScans
# 1) waited out, or a restart of the daemon (KeepScans 10); then another scan,
# and what the resuming page gets: a GAP's reason, and the scans that follow
# it. (How many are kept is the unit table's.)
GAPS = {"too late": ("scans after it are no longer kept; those still kept follow", []),
        "restarted": ("the daemon started again: scans read since may be lost; the kept scans of "
                      "this run follow", ["S2\r\n"])}


@pytest.mark.parametrize("away", GAPS)
def test_a_page_is_told_when_scans_it_wanted_are_lost(daemon, scanners, away):
    port, restart = free_port(), away == "restarted"
    d = daemon("tavi", conf={"extra": GOODS + f"<KeepScans>{10 if restart else 1}</KeepScans>"
                             + metrics_conf(port)})
    node = scanners.nodes()[0]
    p = page(d, request())
    scanners.type("S1", node)
    after = json.loads(p.recv())["Id"]
    p.cut()  # the scan below is sent to no page
    assert d.wait("g_conn over!")
    if restart:
        os.kill(d.pid(), signal.SIGTERM)
        assert d.proc.wait_exit() == 0
        d.start()
        assert d.served(1) and d.wait_accepting()
    scanners.type("S2", node)
    assert d.wait("have data from goods: S2\r")
    if not restart:
        assert d.wait("a scan from goods reached no page", timeout=6.5)
        assert samples(get(port)[1])[f'tavitty_scans_unreached_total{{scanner="goods",kind="serial",'
                                     f'device="/dev/{node}"}}'] == 1
    back = Client(d.port)
    back.send(request(After=after))
    gap, then = GAPS[away]
    assert json.loads(back.recv()) == {"type": "GAP", "erro": -4, "After": after, "Data": gap}
    assert [json.loads(back.recv())["Data"] for _ in then] == then and back.nothing_more()
