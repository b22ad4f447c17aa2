"""wss://: a page that trusts the CA gets its scans (the web and scanner
suites run over TLS as well, under TAVITTY_TLS); one in plain ws://, or that
does not trust the CA, is refused; and every certificate or key that won't do
leaves no listener at all, never a plain one, with a line that names it."""

import os
import shutil

import pytest

from conftest import LISTENER_ERROR, page, scan
from sandbox import accepting
from ws_client import Client, Refused


def test_only_a_page_that_trusts_the_ca_is_served(daemon, certificates):
    # The CA is the root: the handshake needs the intermediate that the
    # certificate file carries after the server's own.
    d = daemon("tavi", tls=certificates)
    scan(d, "über TLS", page(d, tls=certificates.context(), server_name="scanner.example"))
    for tls in (False, certificates.context(trusted=False)):  # plain ws://, a stranger's CA
        with pytest.raises((Refused, ConnectionError)):
            Client(d.port, tls=tls)


# What goes wrong with the files (done to a copy of the good ones, in `tmp`),
# and the line on standard error that says so.
@pytest.mark.parametrize("case,said", [
    ("no certificate", "certificate {tmp}/gone.pem: No such file or directory"),
    ("certificate not PEM", "certificate {tmp}/chain.pem: not a PEM certificate (chain)"),
    ("broken chain", "certificate {tmp}/chain.pem: not a PEM certificate (chain)"),
    ("key not PEM", "private key {tmp}/key.pem: not a PEM private key"),
    ("key of another", "private key {tmp}/key.pem does not match certificate {tmp}/chain.pem"),
    ("key readable by others", "private key {tmp}/key.pem: open to other users than root "
                               "(owner 0, mode 0644); it is refused"),
    ("no key named", "Tls needs both a Certificate and a PrivateKey"),
    ("file that can't be used", "as it names Tls, no listener is opened"),
])
def test_a_certificate_or_key_that_wont_do_leaves_no_listener(daemon, certificates, tmp_path,
                                                              case, said):
    chain, key = tmp_path / "chain.pem", tmp_path / "key.pem"
    text = open(certificates.chain).read()
    chain.write_text(text)
    shutil.copy(certificates.key, key)
    tls = certificates.conf(chain, key)
    # Each spoils a file, or gives the configuration's element in its stead.
    spoiled = {
        "no certificate": lambda: certificates.conf(tmp_path / "gone.pem", key),
        "certificate not PEM": lambda: chain.write_text("not a certificate\n"),
        "broken chain": lambda: chain.write_text(text[:-200] + text[-100:]),
        "key not PEM": lambda: key.write_text(text),
        "key of another": lambda: key.write_text(open(certificates.path("inter-key.pem")).read()),
        "key readable by others": lambda: os.chmod(key, 0o644),
        "no key named": lambda: tls.replace("PrivateKey>", "Other>"),
        "file that can't be used": lambda: tls.replace("</Tls>", "</Tsl>"),
    }[case]()
    d = daemon(conf={"extra": spoiled if isinstance(spoiled, str) else tls})
    assert d.wait(LISTENER_ERROR)
    assert d.proc.stderr.wait_for(lambda l: said.format(tmp=tmp_path) in l) is not None
    assert not accepting(d.port)
