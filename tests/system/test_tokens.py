"""Pages that prove who they are (<PageTokens>): only a page whose SUBSCRIBE
shows a token that the POS's server signed is served, in either mode; keys
that can't be used open no listener. This suite runs under umockdev-wrapper."""

import hashlib
import hmac
import json
import time

import jwt
import pytest

from conftest import GOODS, frame, page, refusal, request, scan, unnumbered
from page_tokens import TokenKeys
from sandbox import REGISTERED, accepting, poll_until
from ws_client import Client


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    return TokenKeys(tmp_path_factory.mktemp("tokens"))


CLAIMS = lambda: {"exp": int(time.time()) + 600, "aud": "till-17"}  # noqa: E731


def confused(keys):
    """HS256 "signed" with the public key's bytes as its secret: the classic
    confusion, which PyJWT refuses to make."""
    signed = jwt.encode(CLAIMS(), "x", "HS256").rsplit(".", 1)[0]
    mac = hmac.new(open(keys.public["ES256"], "rb").read(), signed.encode(), hashlib.sha256)
    return signed + "." + jwt.utils.base64url_encode(mac.digest()).decode()


# What a page shows, and what it is told: None, registered (it gets the scan).
# The claims' other checks are the unit table's.
NO_TOKEN = "a page shows a valid Token in its SUBSCRIBE"
SIGNATURE = "the token's signature does not check with a key configured"
CASES = [
    ("ES256", lambda k: k.token("ES256"), None),
    ("HS256", lambda k: k.token("HS256"), None),
    ("sources claim", lambda k: k.token("ES256", sources=["goods"]), None),
    ("no token", lambda k: "", NO_TOKEN),
    ("none", lambda k: jwt.encode(CLAIMS(), None, "none"), SIGNATURE),
    ("HS256 with the public key", confused, SIGNATURE),
    ("another key", lambda k: k.token("other"), SIGNATURE),
    ("RS256 with an ES256 key", lambda k: k.token("RS256"), SIGNATURE),
    ("expired", lambda k: k.token("ES256", lifetime=-5), "the token has expired"),
    ("a time as text", lambda k: k.token("ES256", nbf="4000000000"),
     "the token's exp, nbf or iat is not a number"),
    ("wrong audience", lambda k: k.token("ES256", aud="till-18"),
     "the token is for another audience (aud)"),
    ("sources exceeded", lambda k: k.token("ES256", sources=["payment"]),
     "the token does not allow the scanner goods"),
    ("over 8 KiB", lambda k: k.token("ES256", pad="x" * 8192), "the token is longer than 8 KiB"),
    ("garbage", lambda k: "eyJ.not a token", "the token is not a signed JSON Web Token"),
]


def test_only_a_page_with_a_valid_token_is_served(daemon, scanners, keys):
    d = daemon("tavi", conf={"extra": GOODS + keys.conf()})
    pages = {}
    for name, make, why in CASES:
        p = pages[name] = Client(d.port)
        p.send(request(Sources=["goods"], Token=make(keys) or None))
        p.send(request("SCANNERS"))  # nothing else works for it either
        if why:
            assert [p.recv(), p.recv()] == [refusal(why, -5), refusal(NO_TOKEN, -5)], name
    assert d.wait(REGISTERED, sum(why is None for _, _, why in CASES))
    scanners.type("S1")
    for name, _, why in CASES:
        if why is None:
            assert json.loads(pages[name].recv())["type"] == "SCANNERS"
            assert unnumbered(pages[name].recv()) == frame(0, "S1\r\n", "goods"), name
        assert pages[name].nothing_more(0.1), name
    # A SUBSCRIBE that can't be taken, its token valid: told what is wrong.
    p = Client(d.port)
    p.send(request(Sources="goods", Token=keys.token("ES256")))
    assert p.recv() == refusal("Sources is a list of scanner names")
    assert "eyJ" not in "\n".join(d.lines() + d.proc.stderr.lines())  # no token in any line


def test_one_scanner_a_run_a_token_registers_and_an_expired_one_ends(daemon, keys):
    d = daemon("tavi", conf={"extra": keys.conf(public="RS256")})
    stranger = Client(d.port)
    stranger.send(request(Token=keys.token("RS256", sources=["payment"])))  # whichever is plugged?
    assert stranger.recv() == refusal("the token allows some scanners only, and this daemon "
                                      "serves one scanner a run, whichever it is", -5)
    p = page(d, request(Token=keys.token("RS256", lifetime=2)))
    scan(d, "S1", p)  # the bytes as ever
    assert p.recv(5) == refusal("token expired", -5)  # its connection stays
    d.scanners.type("S2")
    assert p.nothing_more() and stranger.nothing_more()
    assert d.register(p, message=request(Token=keys.token("RS256")))
    scan(d, "S3", p)


# Keys that can't be used, and what standard error says: no listener. Keys
# that can, or loopback alone, or neither: the warning said, or not.
WARNING = ("listening beyond loopback without PageTokens: any program on the network can read "
           "every scan, payment codes included; set PageTokens (and wss://)")


@pytest.mark.parametrize("conf,said,listens", [
    (lambda k: k.conf().replace(k.public["ES256"], "/nonexistent.pub"),
     "page token key /nonexistent.pub: No such file or directory", False),
    (lambda k: k.conf(public=None, secret=False), "PageTokens names no key: a PublicKey or a Secret", False),
    (lambda k: k.conf().replace(k.public["ES256"], k.write("notakey.pub", b"hello\n", 0o644)),
     "not a PEM public key for ES256 (P-256) or RS256 (RSA)", False),
    (lambda k: k.conf(public=None).replace(k.secret_file, k.write("short", b"x" * 31, 0o600)),
     "shorter than 32 bytes", False),
    (lambda k: k.conf(public=None).replace(k.secret_file, k.write("open", b"x" * 40, 0o640)),
     "open to other users than root", False),
    (lambda k: k.conf().replace(k.public["ES256"], k.write("shared/k.pub", open(
        k.public["ES256"], "rb").read(), 0o644)), "/shared is open to others than root", False),
    (lambda k: "", WARNING, True),
    (lambda k: "<BindAddress>127.0.0.1</BindAddress>", None, True),
    (lambda k: k.conf(), None, True),
])
def test_page_tokens_fail_closed_and_their_absence_is_said(daemon, keys, conf, said, listens):
    d = daemon(conf={"extra": conf(keys)})
    if not listens:
        assert d.proc.stderr.wait_for(lambda line: said in line) is not None
        assert not poll_until(lambda: accepting(d.port), 1)
        return
    assert d.wait_accepting() and d.proc.stderr.wait_for(lambda l: l.startswith("listening on")) is not None
    assert (d.proc.stderr.wait_for(WARNING.__eq__, timeout=0.3) is not None) == (said == WARNING)
