import contextlib
import json
import os
import re
import socket
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

import ws_client  # noqa: E402
from sandbox import OPENED, Daemon  # noqa: E402
from tls_certs import ThrowawayCA  # noqa: E402
from virtual_scanner import MODELS, VirtualScanners  # noqa: E402
from ws_client import Client  # noqa: E402

# TAVITTY_TLS=1 runs the suites over wss://: every daemon with the test CA's
# certificate, every client trusting that CA.
TLS = bool(os.environ.get("TAVITTY_TLS"))


def frame(code, data, source=None, symbology=None, id=None):
    """The scan message, byte for byte, of data (text, or bytes that are not
    UTF-8 for a binary frame; no backspace nor form feed); with the scanner's
    name, the symbology and the scan's Id where given."""
    body = raw = data.encode() if isinstance(data, str) else data
    for byte, escaped in ((b"\\", b"\\\\"), (b'"', b'\\"'), (b"\t", b"\\t"), (b"\r", b"\\r"),
                          (b"\n", b"\\n")):
        body = body.replace(byte, escaped)
    body = re.sub(rb"[\x00-\x1f]", lambda c: b"\\u%04x" % c[0][0], body)
    message = (b'{\n\t"type":\t"BARCODE_GUN",\n\t"erro":\t%d,\n\t"size":\t%d,\n\t"Data":\t"%s"'
               % (code, len(raw), body))
    for key, value in (("Source", source), ("Symbology", symbology), ("Id", id)):
        if value is not None:
            message += b',\n\t"%s":\t"%s"' % (key.encode(), value.encode())
    message += b"\n}"
    return message.decode() if isinstance(data, str) else message


NOT_OPEN = frame(-2, "")
SCAN_ID = re.compile(r',\n\t"Id":\t"[0-9a-f]{16}:[1-9][0-9]*"\n}$')


def unnumbered(message):
    """A scan message without its Id (every scanner at once numbers them)."""
    return SCAN_ID.sub("\n}", message)


def request(kind="SUBSCRIBE", **keys):
    """A page's request, without the keys given None."""
    return json.dumps({"type": kind, **{k: v for k, v in keys.items() if v is not None}})


def refusal(why, code=-3):
    return '{\n\t"type":\t"ERROR",\n\t"erro":\t%d,\n\t"Data":\t"%s"\n}' % (code, why)


# Every scanner served at once, those of vendor 1a86 named goods.
GOODS = ("<ServeAllScanners>1</ServeAllScanners><Scanners><Scanner><VendorId>1a86</VendorId>"
         "<Name>goods</Name></Scanner></Scanners>")
LISTENER_ERROR = "ERROR: Expected to find proper listener connection status, but found.."


@pytest.fixture
def scanners():
    """Virtual scanners on a testbed of the test's own (the suites run under
    umockdev-wrapper)."""
    made = VirtualScanners()
    yield made
    made.close()


@pytest.fixture(scope="session")
def certificates(tmp_path_factory):
    """A throwaway CA and a server certificate signed by it."""
    return ThrowawayCA(tmp_path_factory.mktemp("tls"))


@pytest.fixture(autouse=True)
def over_tls(certificates, monkeypatch):
    if TLS:
        monkeypatch.setattr(ws_client, "DEFAULT_TLS", certificates.context())


@pytest.fixture
def daemon(scanners, certificates):
    """Starts daemons (sandbox.Daemon's arguments) with scanners of the given
    models plugged in first; with wait_open, the first is open (every one,
    where every scanner is served at once) and the listener accepts. After
    the test, fails on any sanitizer report."""
    made = []

    def start(*models, wait_open=True, **kwargs):
        for model in models:
            scanners.plug(model)
        made.append(Daemon(scanners, **{"tls": TLS and certificates, **kwargs}))
        if models and wait_open:
            vid, pid = (int(x, 16) for x in MODELS[models[0]][:2])
            every = "<ServeAllScanners>1" in str(kwargs.get("conf"))
            assert (len(made[-1].served(len(models))) >= len(models) if every
                    else made[-1].wait(OPENED.format(vid, pid))) and made[-1].wait_accepting()
        return made[-1]

    yield start
    for d in made:
        d.close()
        print("daemon stdout:", *d.lines()[-30:], "stderr:", *d.proc.stderr.lines()[-10:], sep="\n")
    reports = [r for d in made for r in d.ns.sanitizer_reports()]
    assert not reports, "sanitizer reports:\n" + "\n\n".join(reports)


@pytest.fixture
def systemd(tmp_path, monkeypatch):
    """systemd's notification socket (NOTIFY_SOCKET) for the daemons started."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as listener:
        listener.bind(str(tmp_path / "notify"))
        listener.settimeout(10)
        monkeypatch.setenv("NOTIFY_SOCKET", str(tmp_path / "notify"))  # umockdev's kept
        yield listener


def told(systemd, status):
    """True once systemd has been told `status`; READY=1 comes with the first."""
    with contextlib.suppress(socket.timeout):
        for _ in range(20):
            if systemd.recv(512).decode().split("STATUS=")[-1] == status:
                return True
    return False


def page(d, message="register", **kwargs):
    """A page connected to the daemon and registered for scans by `message`."""
    client = Client(d.port, **kwargs)
    assert d.register(client, message=message)
    return client


def scan(d, text, *pages):
    """Types a CR LF scan; each page receives exactly its message."""
    d.scanners.type(text)
    for p in pages:
        assert p.recv(30) == frame(0, text + "\r\n")
