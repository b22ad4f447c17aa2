"""The web layer with real WebSocket clients on loopback: registration, the
scan message, broadcasts, the listener's set-up, and a stress run."""

import asyncio
import os
import random
import socket

import pytest

from harness import poll_until
from webclients import (NOT_OPEN, Driver, accepting, connect, free_port, nothing_more, receive,
                        register, scan_message)


@pytest.fixture
def driver():
    d = Driver()
    yield d
    assert d.close() == 0, "the driver did not end cleanly"


@pytest.fixture
def port():
    return free_port()


def test_no_scanner_open_answers_with_minus_two_and_registers_nobody(driver, port):
    driver.serve(port)

    async def scenario():
        waiting = await connect(port)
        await waiting.send("hello")
        assert await receive(waiting) == NOT_OPEN
        driver.event(0, b"abc")  # nobody is listed yet
        assert await nothing_more(waiting)

        driver.event(1)  # a scanner opens
        listed = await connect(port)
        await register(driver, listed)
        assert await nothing_more(listed)  # registration is silent
        driver.event(0, b"abc")
        assert await receive(listed) == scan_message(0, b"abc")
        assert await nothing_more(waiting)

        driver.event(2)  # it closes: the list stays, new clients are told
        fresh = await connect(port)
        await fresh.send("x")
        assert await receive(fresh) == NOT_OPEN
        driver.event(0, b"def")
        assert await receive(listed) == scan_message(0, b"def")
        for ws in (waiting, listed, fresh):
            await ws.close()

    asyncio.run(scenario())
    assert driver.count("g_conn  get!") == 1
    assert driver.wait_count("g_conn over!", 3)


def test_every_registration_receives_and_a_close_removes_them_all(driver, port):
    driver.serve(port)
    driver.event(1)

    async def scenario():
        twice, once = await connect(port), await connect(port)
        await register(driver, twice)
        await register(driver, twice)
        await register(driver, once)
        text = "中文\t\"q\" \\ \x01\x7f".encode()
        driver.event(0, text)
        assert await receive(twice) == scan_message(0, text)
        assert await receive(twice) == scan_message(0, text)
        assert await receive(once) == scan_message(0, text)
        assert await nothing_more(twice)

        await twice.close()
        assert driver.wait_count("g_conn over!", 1)
        driver.event(-1)
        assert await receive(once) == scan_message(-1, b"")
        assert await nothing_more(once)
        await once.close()

    asyncio.run(scenario())


def test_what_sends_nothing(driver, port):
    driver.serve(port)

    async def scenario():
        silent = await connect(port)
        driver.event(0, b"nobody listens")  # an empty list
        driver.event(1)
        driver.event(2)
        driver.event(1)
        await silent.send("")  # an empty message registers nothing
        driver.event(0, b"scan")
        assert await nothing_more(silent)
        await silent.close()

    asyncio.run(scenario())
    # That line has no line feed of its own: the close's line follows it.
    assert driver.stdout.wait_for(lambda l: l == (
        "size of msg is 0 or msg = nullptr(connet id = 1)"
        "Reg test: called connection close (TLS: 0)..")) is not None
    assert driver.count("call websocket doSend") == 0
    assert driver.count("g_conn  get!") == 0


def test_messages_reach_the_receive_callback_whole_or_cut(driver, port):
    assert driver.command(f"raw {port}") == "raw"
    assert poll_until(lambda: accepting(port))

    async def scenario():
        ws = await connect(port)
        await ws.send("hello")
        await ws.send(["frag", "men", "ted"])  # one message in three fragments
        await ws.send("y" * 2000)
        await ws.send(b"\x01binary")
        await ws.close()

    asyncio.run(scenario())
    closed = driver.stderr.wait_for(lambda l: l.startswith("closed "))
    assert closed is not None
    received = [l for l in driver.stderr.lines() if l.startswith("recv ")]
    conn = driver.stderr.lines()[closed].split()[1]
    assert [l.split(" ", 2)[1] for l in received] == [conn] * 4  # the same identity
    assert [l.split(" ", 3)[2:] for l in received] == [
        ["5", "hello"], ["10", "fragmented"], ["2000", "y" * 1023], ["7", "\x01binary"]]
    # Standard output is read apart from standard error: wait for it too.
    assert driver.stdout.wait_for(lambda l: l == "debug:hello ") is not None
    assert driver.stdout.wait_for(
        lambda l: l == "Reg test: called connection close (TLS: 0)..") is not None


@pytest.mark.parametrize("text", ["0", "65536", "99999999999", "-1", "+9010", "abc", "9010abc",
                                  ""])
def test_bad_port_text_fails_the_setup(driver, text):
    assert driver.command(f"raw {text}" if text else "raw") == "raw"
    assert driver.ack("setup") == "setup -1"
    assert driver.stdout.wait_for(lambda l: l.startswith("ERROR")) is not None
    assert driver.stdout.lines() == [
        "setup websocket",
        "ERROR: Expected to find proper listener connection status, but found.."]


def test_port_in_use_fails_the_setup(driver, port):
    with socket.socket() as taken:
        taken.bind(("0.0.0.0", port))
        taken.listen()
        assert driver.command(f"raw {port}") == "raw"
        assert driver.ack("setup") == "setup -1"
    assert driver.stdout.wait_for(lambda l: l.startswith("ERROR")) is not None
    assert driver.stdout.lines()[-1] == (
        "ERROR: Expected to find proper listener connection status, but found..")


def test_second_setup_while_serving_does_nothing(driver, port):
    driver.serve(port)
    assert driver.command(f"setup {free_port()}") == "setup 0"
    assert driver.wait_count("setup websocket", 1) and driver.count("setup websocket") == 1


def test_plain_http_gets_an_error_and_nothing_else(driver, port):
    driver.serve(port)
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        answer = s.recv(4096)
    assert answer.startswith(b"HTTP/1.1 4"), answer[:60]
    assert driver.count("g_conn  get!") == 0


def driver_rss_kib(driver):
    with open(f"/proc/{driver.popen.pid}/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))


def test_client_that_never_reads_is_closed_and_memory_stays_bounded(driver, port):
    driver.serve(port)
    driver.event(1)
    count, size = 20000, 2000  # 40 MB for each client, far beyond any socket buffer

    async def scenario():
        reader = await connect(port)
        sleeper = await connect(port)
        await register(driver, reader)
        await register(driver, sleeper)
        sleeper.transport.pause_reading()
        rss_before = driver_rss_kib(driver)
        # In batches that the reader keeps up with, while the other reads nothing.
        batch = 100
        for _ in range(count // batch):
            driver.command(f"burst {batch} {size}")
            for i in range(batch):
                frame = await receive(reader, 30)
                assert frame == scan_message(0, f"m{i}".ljust(size, "x").encode()), f"frame {i}"
            driver.command("join")
        assert driver.wait_count("g_conn over!", 1), "the client that never reads is still served"
        assert driver_rss_kib(driver) - rss_before < 32 * 1024  # not the 40 MB held back
        reader.transport.abort()
        sleeper.transport.abort()

    asyncio.run(scenario())


STRESS_CLIENTS = int(os.environ.get("STRESS_CLIENTS", "200"))
STRESS_MESSAGES = int(os.environ.get("STRESS_MESSAGES", "10000"))


def test_stress_clients_come_and_go_while_scans_are_broadcast(driver, port):
    """Steady clients receive every message in order while others connect,
    register, vanish abruptly or never read."""
    driver.serve(port)
    driver.event(1)
    rng = random.Random(7)

    async def steady(ws, got):
        while len(got) < STRESS_MESSAGES:
            got.append(await receive(ws, 30))

    async def churn(stop):
        # About five connections a second each: enough to race every broadcast
        # against connects, registrations and closes.
        while not stop.is_set():
            ws = await connect(port, close_timeout=1)
            if rng.random() < 0.5:
                await ws.send("register")
            await asyncio.sleep(rng.uniform(0, 0.2))
            if rng.random() < 0.5:
                ws.transport.abort()  # vanishes mid-send
            else:
                await ws.close()
            await asyncio.sleep(rng.uniform(0, 0.1))

    async def scenario():
        steadies = [await connect(port) for _ in range(20)]
        for ws in steadies:
            await register(driver, ws)
        # Registered clients that never read: closed when too much waits for them.
        sleepers = [await connect(port, max_queue=1, read_limit=1024) for _ in range(5)]
        for ws in sleepers:
            await register(driver, ws)
            ws.transport.pause_reading()
        received = [[] for _ in steadies]
        readers = [asyncio.ensure_future(steady(ws, got)) for ws, got in zip(steadies, received)]
        stop = asyncio.Event()
        churners = [asyncio.ensure_future(churn(stop))
                    for _ in range(STRESS_CLIENTS - len(steadies) - len(sleepers))]
        driver.command(f"burst {STRESS_MESSAGES}")
        await asyncio.wait_for(asyncio.gather(*readers), 120)
        stop.set()
        await asyncio.gather(*churners)
        driver.command("join")
        expected = [scan_message(0, f"m{i}".encode()) for i in range(STRESS_MESSAGES)]
        for got in received:
            assert got == expected
        for ws in steadies + sleepers:
            ws.transport.abort()

    asyncio.run(scenario())
