"""Pages that prove who they are (<PageTokens>): only a page whose SUBSCRIBE
shows a token that the POS's server signed is served, in either mode; keys
that can't be used open no listener. This suite runs under umockdev-wrapper."""

import base64
import hashlib
import hmac
import json
import time

import pytest

from conftest import frame, unnumbered
from page_tokens import TokenKeys
from sandbox import accepting, poll_until
from ws_client import Client

ALL = ("<ServeAllScanners>1</ServeAllScanners><Scanners><Scanner><VendorId>1a86</VendorId>"
       "<Name>goods</Name></Scanner></Scanners>")


def refused(why):
    return '{\n\t"type":\t"ERROR",\n\t"erro":\t-5,\n\t"Data":\t"%s"\n}' % why


def subscribe(token=None, **keys):
    return json.dumps({"type": "SUBSCRIBE", **keys, **({"Token": token} if token else {})})


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    return TokenKeys(tmp_path_factory.mktemp("tokens"))


def handmade(alg, key=None, **claims):
    """A token that no library would make: alg none and no signature, or
    HS256 with `key`'s bytes as the secret (the public key's, say)."""
    claims = {"exp": int(time.time()) + 600, "aud": "till-17", **claims}
    b64 = lambda b: base64.urlsafe_b64encode(b).rstrip(b"=").decode()  # noqa: E731
    signed = b64(json.dumps({"alg": alg, "typ": "JWT"}).encode()) + "." + b64(json.dumps(claims).encode())
    return signed + "." + (b64(hmac.new(key, signed.encode(), hashlib.sha256).digest()) if key else "")


# What a page shows, and what it is told: None, registered (it gets the scan).
SIGNATURE = "the token's signature does not check with a key configured"
CASES = [
    ("ES256", lambda k: k.token("ES256"), None),
    ("HS256", lambda k: k.token("HS256"), None),
    ("sources claim", lambda k: k.token("ES256", sources=["goods"]), None),
    ("no token", lambda k: "", "a page shows a valid Token in its SUBSCRIBE"),
    ("none", lambda k: handmade("none"), SIGNATURE),
    # HS256 "signed" with the public key's bytes: the classic confusion.
    ("HS256 with the public key", lambda k: handmade("HS256", open(k.public["ES256"], "rb").read()),
     SIGNATURE),
    ("another key", lambda k: k.token("other"), SIGNATURE),
    ("RS256 with an ES256 key", lambda k: k.token("RS256"), SIGNATURE),
    ("expired", lambda k: k.token("ES256", lifetime=-5), "the token has expired"),
    ("no exp", lambda k: k.token("ES256", exp=None), "the token has no expiry (exp)"),
    ("not yet valid", lambda k: k.token("ES256", nbf=int(time.time()) + 300),
     "the token is not valid yet (nbf)"),
    ("issued ahead", lambda k: k.token("ES256", iat=int(time.time()) + 300),
     "the token was issued in the future (iat)"),
    ("wrong audience", lambda k: k.token("ES256", aud="till-18"),
     "the token is for another audience (aud)"),
    ("sources exceeded", lambda k: k.token("ES256", sources=["payment"]),
     "the token does not allow the scanner goods"),
    ("over 8 KiB", lambda k: k.token("ES256", pad="x" * 8192), "the token is longer than 8 KiB"),
    ("garbage", lambda k: "eyJ.not a token", "the token is not a signed JSON Web Token"),
]


def test_only_a_page_with_a_valid_token_is_served(daemon, scanners, keys):
    node = scanners.plug("tavi")
    d = daemon(conf={"extra": ALL + keys.conf()}, wait_open=False)
    assert d.served(1)
    pages = {}
    for name, make, why in CASES:
        page = pages[name] = Client(d.port)
        page.send(subscribe(make(keys), Sources=["goods"]))
        if why:
            assert page.recv() == refused(why), name
        page.send(json.dumps({"type": "SCANNERS"}))  # nothing else works for it either
        if why:
            assert page.recv() == refused("a page shows a valid Token in its SUBSCRIBE"), name
    scanners.type("S1", node)
    for name, _, why in CASES:
        if why is None:
            assert json.loads(pages[name].recv())["type"] == "SCANNERS"
            assert unnumbered(pages[name].recv()) == frame(0, "S1\r\n", "goods"), name
        assert pages[name].nothing_more(0.1), name
    text = "\n".join(d.lines() + d.proc.stderr.lines())
    assert "eyJ" not in text  # no token in any line


def test_one_scanner_a_run_a_token_registers_and_an_expired_one_ends(daemon, scanners, keys):
    d = daemon("tavi", conf={"extra": keys.conf(public="RS256")})
    stranger, page = Client(d.port), Client(d.port)
    stranger.send("register")
    assert stranger.recv() == refused("a page shows a valid Token in its SUBSCRIBE")
    page.send(subscribe(keys.token("RS256", lifetime=2)))
    assert d.wait("g_conn  get!")
    d.scanners.type("S1")
    assert page.recv() == frame(0, "S1\r\n")  # the bytes as ever
    assert page.recv(5) == refused("token expired")  # its connection stays
    d.scanners.type("S2")
    assert page.nothing_more() and stranger.nothing_more()
    page.send(subscribe(keys.token("RS256")))
    assert d.wait("g_conn  get!", 2)
    d.scanners.type("S3")
    assert page.recv() == frame(0, "S3\r\n")


# Configurations that open no listener, and what standard error says.
FAIL_CLOSED = [
    (lambda k: k.conf().replace(k.public["ES256"], "/nonexistent.pub"),
     "page token key /nonexistent.pub: No such file or directory"),
    (lambda k: k.conf(public=None, secret=False), "PageTokens names no key: a PublicKey or a Secret"),
    (lambda k: k.conf().replace(k.public["ES256"], k.write("notakey.pub", b"hello\n", 0o644)),
     "not a PEM public key for ES256 (P-256) or RS256 (RSA)"),
    (lambda k: k.conf(public=None).replace(k.secret_file, k.write("short", b"x" * 31, 0o600)),
     "shorter than 32 bytes"),
    (lambda k: k.conf(public=None).replace(k.secret_file, k.write("open", b"x" * 40, 0o640)),
     "open to other users than root"),
    (lambda k: "<PageTokens><Secret>/x</Secret></PageToken>",
     "as it names PageTokens, no listener is opened"),
]


@pytest.mark.parametrize("conf,said", FAIL_CLOSED)
def test_keys_that_cant_be_used_open_no_listener(daemon, keys, conf, said):
    d = daemon(conf={"extra": conf(keys)})
    assert d.proc.stderr.wait_for(lambda line: said in line) is not None
    assert not poll_until(lambda: accepting(d.port), 1)


@pytest.mark.parametrize("extra,warned", [
    ("", True), ("<BindAddress>127.0.0.1</BindAddress>", False), ("tokens", False)])
def test_listening_beyond_loopback_without_tokens_is_said_at_start(daemon, keys, extra, warned):
    d = daemon(conf={"extra": keys.conf() if extra == "tokens" else extra})
    assert d.proc.stderr.wait_for(lambda line: line.startswith("listening on")) is not None
    warning = "listening beyond loopback without PageTokens: any program on the network can " \
              "read every scan, payment codes included; set PageTokens (and wss://)"
    assert (d.proc.stderr.wait_for(warning.__eq__, timeout=0.3) is not None) == warned
