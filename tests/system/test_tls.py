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


# What goes wrong with the files (done to copies of the good ones, chain.pem
# and key.pem in `tmp`; or the configuration's element given in their stead),
# and the line on standard error that says so.
@pytest.mark.parametrize("spoil,said", [
    (lambda chain, key, ca: ca.conf(chain.parent / "gone.pem", key),
     "certificate {tmp}/gone.pem: No such file or directory"),
    (lambda chain, key, ca: chain.write_text("not a certificate\n"),
     "certificate {tmp}/chain.pem: not a PEM certificate (chain)"),
    (lambda chain, key, ca: chain.write_text(chain.read_text()[:-200] + chain.read_text()[-100:]),
     "certificate {tmp}/chain.pem: not a PEM certificate (chain)"),
    (lambda chain, key, ca: key.write_text(chain.read_text()),
     "private key {tmp}/key.pem: not a PEM private key"),
    (lambda chain, key, ca: key.write_text(open(ca.path("inter-key.pem")).read()),
     "private key {tmp}/key.pem does not match certificate {tmp}/chain.pem"),
    (lambda chain, key, ca: os.chmod(key, 0o644),
     "private key {tmp}/key.pem: open to other users than root (owner 0, mode 0644); it is refused"),
    (lambda chain, key, ca: ca.conf(chain, key).replace("PrivateKey>", "Other>"),
     "Tls needs both a Certificate and a PrivateKey"),
    (lambda chain, key, ca: ca.conf(chain, key).replace("</Tls>", "</Tsl>"),
     "as it names Tls, no listener is opened"),
], ids=["no certificate", "certificate not PEM", "broken chain", "key not PEM", "key of another",
        "key readable by others", "no key named", "file that can't be used"])
def test_a_certificate_or_key_that_wont_do_leaves_no_listener(daemon, certificates, tmp_path,
                                                              spoil, said):
    chain, key = tmp_path / "chain.pem", tmp_path / "key.pem"
    shutil.copy(certificates.chain, chain)
    shutil.copy(certificates.key, key)
    spoiled = spoil(chain, key, certificates)
    d = daemon(conf={"extra": spoiled if isinstance(spoiled, str) else certificates.conf(chain, key)})
    assert d.wait(LISTENER_ERROR)
    assert d.proc.stderr.wait_for(lambda l: said.format(tmp=tmp_path) in l) is not None
    assert not accepting(d.port)
