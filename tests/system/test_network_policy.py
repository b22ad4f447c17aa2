"""The opt-in network restrictions of the configuration file, on the real
daemon: the address it listens on and the web origins it serves."""

import asyncio

import pytest
import websockets

from harness import gunconf, poll_until
from webclients import NOT_OPEN, accepting, free_port, receive

LISTENER_ERROR = "ERROR: Expected to find proper listener connection status, but found.."


def origins(*names):
    return "  <AllowedOrigins>\n" + "".join(
        f"    <Origin>{name}</Origin>\n" for name in names) + "  </AllowedOrigins>\n"


def start(namespace, extra="", drop_tty_attr=False):
    port = free_port()
    conf = gunconf(port=port, extra=extra)
    if drop_tty_attr:
        start_tag, end_tag = conf.index("  <ttyAttr>"), conf.index("</ttyAttr>\n")
        conf = conf[:start_tag] + conf[end_tag + len("</ttyAttr>\n"):]
    daemon = namespace(conf).spawn_daemon()
    assert daemon.stdout.wait_for(lambda l: l == "setup websocket") is not None
    return daemon, port


async def served(port, host="127.0.0.1", origin=None):
    """True when a client gets through the handshake and is answered."""
    try:
        ws = await websockets.connect(f"ws://{host}:{port}/", origin=origin, open_timeout=5,
                                      ping_interval=None)
    except (websockets.InvalidHandshake, OSError):
        return False
    await ws.send("hello")
    assert await receive(ws) == NOT_OPEN
    await ws.close()
    return True


def test_by_default_every_interface_and_every_origin_is_served(namespace):
    daemon, port = start(namespace)
    assert poll_until(lambda: accepting(port))

    async def scenario():
        assert await served(port)
        assert await served(port, host="127.0.0.2")
        assert await served(port, origin="https://anything.example")

    asyncio.run(scenario())


def test_bind_address_limits_the_listener_to_that_address(namespace):
    daemon, port = start(namespace, "  <BindAddress> 127.0.0.2 </BindAddress>\n")

    assert poll_until(lambda: accepting(port, host="127.0.0.2"))
    assert not accepting(port)

    async def scenario():
        assert await served(port, host="127.0.0.2")
        assert not await served(port, host="127.0.0.1")

    asyncio.run(scenario())


@pytest.mark.parametrize("address", ["localhost", "lo", "127.0.0.256", "::1"])
def test_a_bind_address_that_is_not_ipv4_opens_no_listener(namespace, address):
    daemon, port = start(namespace, f"  <BindAddress>{address}</BindAddress>\n")
    assert daemon.stdout.wait_for(lambda l: l == LISTENER_ERROR) is not None
    assert daemon.stderr.wait_for(lambda l: "is not an IPv4 address" in l) is not None
    assert not accepting(port) and not accepting(port, host="127.0.0.2")


@pytest.mark.parametrize("drop_tty_attr", [False, True], ids=["complete", "ttyAttr-missing"])
def test_allowed_origins_refuse_other_pages_at_the_handshake(namespace, drop_tty_attr):
    daemon, port = start(namespace, origins("https://pos.example.com", "", "http://127.0.0.1:8080"),
                         drop_tty_attr)
    assert poll_until(lambda: accepting(port))

    async def scenario():
        assert await served(port, origin="https://pos.example.com")
        assert await served(port, origin="http://127.0.0.1:8080")
        assert await served(port)  # a program, not a page: no Origin header
        for other in ("https://evil.example", "https://pos.example.com.evil.example",
                      "https://POS.example.com", "http://pos.example.com", "null"):
            assert not await served(port, origin=other), other

    asyncio.run(scenario())
    assert daemon.stderr.wait_for(lambda l: l == "refused a page from origin null") is not None
    assert daemon.popen.poll() is None


def test_an_empty_origin_list_allows_every_page(namespace):
    daemon, port = start(namespace, origins(" ", ""))
    assert poll_until(lambda: accepting(port))
    assert asyncio.run(served(port, origin="https://anything.example"))
