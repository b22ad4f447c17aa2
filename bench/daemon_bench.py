"""The whole daemon as it is used: the real binary in its own namespaces, a
umockdev virtual scanner typed into from here, and WebSocket clients on
loopback that stamp each message the moment it is read. Each scan's text is
"<sequence> <CLOCK_MONOTONIC ns of the write into the pty>", so every receipt
is matched to its write. Prints a table and writes the figures as JSON.
Runs as root under umockdev-wrapper (bench/run-daemon-bench does both)."""

import argparse
import gc
import json
import urllib.request
import os
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))

from sandbox import OPENED, REGISTERED, Daemon, free_port, poll_until, raise_descriptor_limit  # noqa: E402,E501
from tls_certs import ThrowawayCA  # noqa: E402
from virtual_scanner import BYSTANDERS, KEYBOARD_CONF, VirtualScanners  # noqa: E402
from ws_client import Client, Crowd  # noqa: E402

WARM_UP = 30
ALL = "<ServeAllScanners>1</ServeAllScanners>"


def stats(ms):
    ms = sorted(ms)
    if not ms:
        return {"p50": None, "p90": None, "p99": None, "max": None}
    pick = lambda q: ms[min(len(ms) - 1, int(q * len(ms)))]  # noqa: E731
    return {"p50": pick(0.5), "p90": pick(0.9), "p99": pick(0.99), "max": ms[-1]}


def take(clients):
    """Each client's receipts so far as (sequence, latency ms, scans in the
    message); the clients' lists are emptied."""
    got = []
    for client in clients:
        mine = []
        for text, stamp in client.messages:
            lines = json.loads(text)["Data"].split("\r\n")
            seq, sent = (int(x) for x in lines[0].split())
            mine.append((seq, (stamp - sent) / 1e6, len([l for l in lines if l])))
        client.messages.clear()
        got.append(mine)
    return got


class Bench:
    def __init__(self, binary):
        self.binary = binary
        self.figures, self.rows, self.other = {}, [], []

    def idle(self, d, seconds):
        cpu = d.cpu_seconds()
        time.sleep(seconds)
        return (d.cpu_seconds() - cpu) / seconds * 100

    def noisy_bus(self, d, scanners, rounds=40):
        """The daemon's CPU time for the udev events of devices that are no
        scanner (plugged, changed, bound, unplugged) while it serves one."""
        cpu, seen = d.cpu_seconds(), d.events_taken()
        events = scanners.churn(BYSTANDERS, rounds, lambda events: d.taken(events, seen))
        return (d.cpu_seconds() - cpu) * 1e6 / events

    def latency_round(self, d, crowd, scans, terminator, raw=False):
        """Scans typed one after the other, each once every client has the one
        before; latencies of the first receipt of each scan and of every one
        (as stats, or as they are where `raw`), and how many receipts never
        came."""
        first, every, lost = [], [], 0
        gc.collect()  # now, not while the scans go
        for i in range(scans):
            d.scanners.type(b"%d %d" % (i, time.monotonic_ns()), terminator=terminator)
            crowd.receive(1, 5)
            receipts = [r for mine in take(crowd.clients.values()) for r in mine]
            every += [ms for _, ms, _ in receipts]
            first += [min(ms for _, ms, _ in receipts)] if receipts else []
            lost += len(crowd.clients) - len(receipts)
            time.sleep(0.002)
        return (first, every, lost) if raw else (stats(first), stats(every), lost)

    def row(self, name, s, target=""):
        self.figures[name] = s
        self.rows.append(f"  {name:36s} " + " ".join(
            f"{s[k]:8.3f}" if s[k] is not None else "       -" for k in ("p50", "p90", "p99", "max"))
            + f"   {target}")

    def note(self, name, value, text, target=""):
        self.figures[name] = value
        self.other.append(f"  {text % value:46s} {target}")

    def run(self, a):
        # Start-up, and the idle cost while waiting for a scanner.
        scanners = VirtualScanners()
        d = Daemon(scanners, binary=self.binary)
        started = time.monotonic()
        d.wait_accepting(30)
        self.note("start_to_accepting_ms", (time.monotonic() - started) * 1e3,
                  "start to accepting connections: %.1f ms")
        d.wait("have no device")
        self.note("rss_no_scanner_mb", d.rss_mb(), "RSS, no scanner: %.1f MB")
        self.note("idle_cpu_no_scanner_percent", self.idle(d, a.idle_seconds),
                  "idle CPU, no scanner: %.3f %% of a core", "target < 0.1 %")
        d.close()

        scanners.plug("tavi")
        certificates = ThrowawayCA(tempfile.mkdtemp(prefix="tavitty-bench-tls-"))
        targets = {1: "p50 < 0.4, p99 < 1", 100: "p50 < 2, p99 < 6", 1000: "p99 < 40"}
        for tls in (False, True)[:1 if a.plain_only else 2]:
            # The same daemon in plain ws:// and then in wss:// only.
            scheme = "wss" if tls else "ws"
            d = Daemon(scanners, binary=self.binary, tls=tls and certificates,
                       wrap=("prlimit", "--nofile=4096:4096", "--"))
            assert d.wait(OPENED.format(0x1a86, 0x7523)) and d.wait_accepting(), "no scanner opened"
            if not tls:
                self.note("rss_0_clients_mb", d.rss_mb(), "RSS, 0 clients: %.1f MB")
                self.note("idle_cpu_scanner_open_percent", self.idle(d, a.idle_seconds),
                          "idle CPU, scanner open: %.3f %% of a core", "target < 0.1 %")
                if not a.plain_only:  # a build without its mends falls over on the bus
                    self.note("cpu_ms_per_1000_udev_events", self.noisy_bus(d, scanners),
                              "noisy bus: %.1f ms CPU per 1000 udev events")
            clients = []
            for count in a.clients:
                new = [Client(d.port, tls=certificates.context() if tls else False)
                       for _ in range(count - len(clients))]
                assert d.register(*new, timeout=60), "clients not registered"
                clients += new
                crowd = Crowd(clients)
                self.latency_round(d, crowd, WARM_UP, b"\r\n")
                first, every, lost = self.latency_round(d, crowd, a.scans, b"\r\n")
                self.row(f"{scheme}, {count} clients, every receipt (ms)", every,
                         targets.get(count, "") if not tls else "")
                if count > 1:
                    self.row(f"{scheme}, {count} clients, first receipt (ms)", first)
                self.note(f"{scheme}_lost_{count}_clients", lost,
                          f"{scheme}, {count} clients: %d receipts lost")
                self.note(f"{scheme}_rss_{count}_clients_mb", d.rss_mb(),
                          f"{scheme}, RSS, {count} clients: %.1f MB")
                if count == 1 and not tls:
                    _, quiet, _ = self.latency_round(d, crowd, a.scans, b"")
                    self.row("unterminated scan (ms)", quiet, "50 + at most 10")
            if not tls:
                for client in clients[100:]:
                    client.close()
                self.sustained(d, clients[:100], a.sustain_seconds)
            for client in clients:
                client.close()
            d.close()
        self.compare_tls()
        # The other kinds of scanner, one at a time, each to one page.
        for model, scan in () if a.plain_only else (("hid-pos", "HID-POS scan"),
                                                     ("keyboard", "keyboard scan, 20 keys")):
            scanners.unplug()
            scanners.plug(model)
            d = Daemon(scanners, binary=self.binary, conf={"extra": KEYBOARD_CONF})
            assert d.wait_accepting() and d.wait("have device", timeout=30), f"no {model}"
            client = Client(d.port, tls=False)
            assert d.register(client)
            self.row(f"{scan}, 1 client (ms)", self.input_round(d, Crowd([client]), a.scans),
                     "p50 < 1 after the last event")
            d.close()
        scanners.close()
        if not a.plain_only:
            self.many(a)
            self.delivery(a)

    def many(self, a):
        """Four scanners of three kinds served at once: their scans interleaved
        to 10 pages, then to 100 pages each subscribed to one of them, then
        with a scrape of the metrics ten times a second; and their idle cost."""
        scanners = VirtualScanners()
        models = ("tavi", "honeywell-acm", "hid-pos", "keyboard")
        nodes = [scanners.plug(model) for model in models]
        metrics = free_port()
        d = Daemon(scanners, binary=self.binary, conf={"extra": ALL + KEYBOARD_CONF + (
            f"<Metrics><Port>{metrics}</Port></Metrics>")}, wrap=("prlimit", "--nofile=4096:4096", "--"))
        served = d.served(4, 30)
        assert d.wait_accepting() and len(served) == 4, "not all served"
        names = {node: served[f"/dev/{node}"] for node in nodes}
        self.note("idle_cpu_four_scanners_percent", self.idle(d, 10),
                  "idle CPU, 4 scanners open: %.3f %% of a core", "no busy loop")
        pages = [Client(d.port, tls=False) for _ in range(10)]
        assert d.register(*pages)
        self.interleaved(d, scanners, nodes, names, Crowd(pages), a.scans // 4, "10 pages")
        for page in pages:
            page.close()
        subscribed = [Client(d.port, tls=False) for _ in range(100)]
        for i, page in enumerate(subscribed):
            page.send(json.dumps({"type": "SUBSCRIBE", "Sources": [names[nodes[i % 4]]]}))
        assert poll_until(lambda: sum(l == REGISTERED for l in d.lines()) >= 110, 30)
        crowd = Crowd(subscribed)
        chosen = {page: names[nodes[i % 4]] for i, page in enumerate(subscribed)}
        self.interleaved(d, scanners, nodes, names, crowd, a.scans // 4, "100 subscribed pages",
                         chosen)
        # The same rounds while Prometheus would scrape ten times a second.
        stop = threading.Event()

        def storm():
            while not stop.wait(0.1):
                with urllib.request.urlopen(f"http://127.0.0.1:{metrics}/metrics", timeout=5) as r:
                    r.read()

        scraper = threading.Thread(target=storm)
        scraper.start()
        try:
            self.interleaved(d, scanners, nodes, names, crowd, a.scans // 4,
                             "100 subscribed pages, 10 scrapes/s", chosen)
        finally:
            stop.set()
            scraper.join()
        d.close()
        scanners.close()

    def delivery(self, a):
        """Scans numbered and kept for pages that come back (every scanner at
        once): 100 pages' latency with KeepScans 10 against KeepScans 0 (the
        Ids are there in both; what keeping costs), daemons alternated; the
        time a page that comes back takes to get 1024 kept scans; and the
        memory that 100 000 scans of about 4 KiB leave with KeepScans 300."""
        goods = ALL + ("<Scanners><Scanner><VendorId>1a86</VendorId><Name>goods</Name>"
                       "</Scanner></Scanners>")
        scanners = VirtualScanners()
        scanners.plug("tavi")
        every = {10: [], 0: []}
        for turn in range(4):
            keep = (10, 0)[turn % 2]
            d = Daemon(scanners, binary=self.binary, conf={"extra": goods + f"<KeepScans>{keep}</KeepScans>"},
                       wrap=("prlimit", "--nofile=4096:4096", "--"))
            assert d.served(1, 30) and d.wait_accepting(), "no scanner"
            pages = [Client(d.port, tls=False) for _ in range(100)]
            assert d.register(*pages, message='{"type":"SUBSCRIBE"}', timeout=60)
            crowd = Crowd(pages)
            self.latency_round(d, crowd, WARM_UP, b"\r\n")
            _, receipts, _ = self.latency_round(d, crowd, a.scans // 2, b"\r\n", raw=True)
            every[keep] += receipts
            for page in pages:
                page.close()
            d.close()
        for keep in (10, 0):
            self.row(f"100 pages, KeepScans {keep}, every receipt (ms)", stats(every[keep]),
                     "p99 within 1.05 x KeepScans 0" if keep else "")
        kept, none = stats(every[10]), stats(every[0])
        self.note("keep_over_none_p99", kept["p99"] / none["p99"],
                  "KeepScans 10 / 0, 100 pages, p99: %.3f", "target <= 1.05")

        d = Daemon(scanners, binary=self.binary, conf={"extra": goods + "<KeepScans>300</KeepScans>"
                                                        "<LogScanData>0</LogScanData>"})
        assert d.served(1, 30) and d.wait_accepting(), "no scanner"
        resumes = []
        for turn in range(5):
            page = Client(d.port, tls=False)
            assert d.register(page, message='{"type":"SUBSCRIBE"}'), "not registered"
            d.scanners.type(b"0 %d" % time.monotonic_ns())
            after = json.loads(page.recv(10))["Id"]
            page.cut()
            taken = sum(l.startswith("have data from goods") for l in d.lines())
            for i in range(1024):
                d.scanners.type(b"%d %d" % (i + 1, time.monotonic_ns()))
            assert poll_until(lambda: sum(l.startswith("have data from goods") for l in d.lines())
                              >= taken + 1024, 30, 0.2), "the daemon did not take every scan"
            back = Client(d.port, tls=False)
            sent = time.monotonic_ns()
            back.send(json.dumps({"type": "SUBSCRIBE", "After": after}))
            crowd = Crowd([back])
            crowd.receive(1024, 30)
            assert len(back.messages) == 1024, f"{len(back.messages)} of 1024 kept scans came"
            resumes.append((back.messages[-1][1] - sent) / 1e6)
            back.close()
        self.note("resume_1024_ms", sorted(resumes)[len(resumes) // 2],
                  "a page back after 1024 scans has them all in %.1f ms (median of 5)",
                  "target < 50 ms")
        d.close()

        d = Daemon(scanners, binary=self.binary, conf={"extra": goods + "<KeepScans>300</KeepScans>"
                                                        "<LogScanData>0</LogScanData>"})
        assert d.served(1, 30) and d.wait_accepting(), "no scanner"
        time.sleep(1)
        start = d.rss_mb()
        scan = b'"' * 1500 + b"x" * 500  # 2000 bytes, some 3.5 KiB of message with its escapes
        for i in range(a.kept_scans):
            d.scanners.type(b"%d " % i + scan)
        assert poll_until(lambda: sum(l.startswith("have data from goods") for l in d.lines()) >=
                          a.kept_scans, 600, 1), "the daemon did not take every scan"
        time.sleep(2)
        self.note("rss_growth_kept_scans_mb", d.rss_mb() - start,
                  f"RSS after {a.kept_scans} scans of 3.5 KiB kept 300 s: +%.1f MB", "target < 8 MiB")
        d.close()
        scanners.close()

    def interleaved(self, d, scanners, nodes, names, crowd, rounds, what, chosen=None):
        """`rounds` bursts of one scan from each scanner, written back to back;
        each page must get exactly its scanner's scans (`chosen`: the name each
        page subscribed to; every scanner's for the others), none mixed."""
        wants = {c: {chosen[c]} if chosen and c in chosen else None
                 for c in crowd.clients.values()}
        per = {names[n]: [] for n in nodes}
        lost = mixed = 0
        gc.collect()
        for r in range(WARM_UP // 4 + rounds):
            written = {}
            for i, node in enumerate(nodes):
                seq = r * 4 + i
                written[seq] = (names[node], scanners.type("%d %d" % (seq, time.monotonic_ns()), node))
            expected = sum(sum(1 for s, _ in written.values() if wants[c] is None or s in wants[c])
                           for c in crowd.clients.values())
            crowd.receive(1, 5)
            deadline = time.monotonic() + 5
            while sum(len(c.messages) for c in crowd.clients.values()) < expected and \
                    time.monotonic() < deadline:
                crowd.receive(max(len(c.messages) for c in crowd.clients.values()) + 1, 0.05)
            got = 0
            for client in crowd.clients.values():
                for text, stamp in client.messages:
                    message = json.loads(text)
                    seq, sent = (int(x) for x in message["Data"].split())
                    source, _ = written.get(seq, (None, 0))
                    ok = source == message["Source"] and (wants[client] is None or
                                                          source in wants[client])
                    mixed += not ok
                    got += 1
                    if r >= WARM_UP // 4:
                        per[message["Source"]].append((stamp - sent) / 1e6)
                client.messages.clear()
            lost += expected - got
            time.sleep(0.002)
        for node in nodes:
            name = names[node]
            self.row(f"{scanners._kind[node]} of 4, {what} (ms)", stats(per[name]),
                     "p50 < 1, p99 < 5" if what == "10 pages" else "")
        self.note(f"lost_{what}", lost, f"4 scanners, {what}: %d lost")
        self.note(f"mixed_{what}", mixed, f"4 scanners, {what}: %d mixed or misrouted")

    def input_round(self, d, crowd, scans):
        """Scans of 20 characters from a HID-POS or keyboard-mode scanner:
        from the write of the scan's last event (its report, its Enter) to the
        receipt."""
        ms = []
        for i in range(scans):
            written = d.scanners.type("%020d" % i)
            crowd.receive(1, 5)
            for client in crowd.clients.values():
                ms += [(stamp - written) / 1e6 for _, stamp in client.messages]
                client.messages.clear()
            time.sleep(0.002)
        return stats(ms)

    def compare_tls(self):
        """wss:// against ws:// in this run: p50 with one page, p99 with 100."""
        for count, key, limit in ((1, "p50", 1.3), (100, "p99", 1.5)):
            ws = self.figures.get(f"ws, {count} clients, every receipt (ms)")
            wss = self.figures.get(f"wss, {count} clients, every receipt (ms)")
            if ws and wss and ws[key] and wss[key]:
                self.note(f"wss_over_ws_{count}_{key}", wss[key] / ws[key],
                          f"wss / ws, {count} clients, {key}: %.2f", f"target <= {limit}")

    def sustained(self, d, clients, seconds, rate=50):
        """`rate` scans a second for `seconds` to the clients: lost, duplicated
        and merged scans, and the latency of every receipt."""
        total = rate * seconds

        def typist():
            start = time.monotonic()
            for i in range(total):
                time.sleep(max(0, start + i / rate - time.monotonic()))
                d.scanners.type(b"%d %d" % (i, time.monotonic_ns()))

        crowd = Crowd(clients)
        writer = threading.Thread(target=typist)
        writer.start()
        every, seen = [], [dict() for _ in clients]
        deadline = time.monotonic() + seconds + 10
        while (writer.is_alive() or min(sum(s.values()) for s in seen) < total) and \
                time.monotonic() < deadline:
            crowd.receive(1, 0.5)
            for mine, counts in zip(take(clients), seen):
                for seq, ms, merged in mine:
                    every.append(ms)
                    counts[seq] = counts.get(seq, 0) + merged
        writer.join()
        lost = sum(total - sum(c.values()) for c in seen)
        duplicated = sum(n - 1 for c in seen for n in c.values() if n > 1)
        self.row(f"{rate} scans/s x {seconds} s, {len(clients)} clients", stats(every),
                 "0 lost, 0 duplicated")
        self.note("sustained_lost", lost, "sustained: %d scans lost")
        self.note("sustained_duplicated", duplicated, "sustained: %d duplicated")
        self.note("sustained_merged", sum(n > 1 for c in seen for n in c.values()),
                  "sustained: %d merged into the message before")

    def report(self, path):
        print(f"  {'latency':36s} {'p50':>8s} {'p90':>8s} {'p99':>8s} {'max':>8s}   target")
        print("\n".join(self.rows + [""] + self.other))
        with open(path, "w") as f:
            json.dump(self.figures, f, indent=1)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("binary")
    p.add_argument("--json", default="daemon-bench.json")
    p.add_argument("--scans", type=int, default=300)
    p.add_argument("--sustain-seconds", type=int, default=60)
    p.add_argument("--idle-seconds", type=int, default=60)
    p.add_argument("--clients", type=lambda t: [int(n) for n in t.split(",")],
                   default=[1, 100, 1000])
    p.add_argument("--kept-scans", type=int, default=100000,
                   help="scans typed to measure the memory that kept scans take")
    p.add_argument("--plain-only", action="store_true",
                   help="serial scans over ws:// alone, for a build that has no TLS nor other kinds")
    a = p.parse_args()
    raise_descriptor_limit(4096)
    # The clients' own pauses are not the daemon's: the collector runs only
    # between rounds.
    gc.disable()
    bench = Bench(os.path.abspath(a.binary))
    bench.run(a)
    bench.report(a.json)


if __name__ == "__main__":
    main()
