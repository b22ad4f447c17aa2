"""scripts/make-tls-cert: a server certificate for the names given, signed by
a CA that signs for those names alone and that a second run uses again, and
files that only root can read where they hold a key."""

import os
import subprocess

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                      "make-tls-cert")
NAMES = ("till-3.local", "192.168.7.20", "fd00::4")


def openssl(*argv, cwd):
    return subprocess.run(["openssl", *argv], cwd=cwd, capture_output=True, text=True,
                          timeout=60, check=True).stdout


def make(tmp_path, *args, status=0):
    """The script's output; its standard error where it is to fail with `status`."""
    done = subprocess.run([SCRIPT, "--dir", str(tmp_path), *args], capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == status, done.stderr
    return done.stderr if status else done.stdout


def contents(tmp_path):
    return {f: (tmp_path / f).read_bytes() for f in os.listdir(tmp_path)}


def test_a_certificate_for_the_names_given_from_a_ca_that_stays_unless_forced(tmp_path):
    out = make(tmp_path, *NAMES)
    assert f"<Certificate>{tmp_path}/cert.pem</Certificate>" in out
    assert f"<PrivateKey>{tmp_path}/key.pem</PrivateKey>" in out
    modes = {f: os.stat(tmp_path / f).st_mode & 0o777 for f in os.listdir(tmp_path)}
    assert modes == {"cert.pem": 0o644, "key.pem": 0o600, "ca.pem": 0o644, "ca-key.pem": 0o600}
    ca = (tmp_path / "ca.pem").read_text()
    # cert.pem is the chain that the daemon sends: the server's, then the CA's.
    assert (tmp_path / "cert.pem").read_text().endswith(ca)
    # The CA signs for exactly these names and addresses (and their subdomains).
    assert openssl("x509", "-in", "ca.pem", "-noout", "-ext", "nameConstraints",
                   cwd=tmp_path).split() == [
        "X509v3", "Name", "Constraints:", "critical", "Permitted:", "DNS:localhost",
        "IP:127.0.0.1/255.255.255.255", "DNS:till-3.local", "IP:192.168.7.20/255.255.255.255",
        "IP:FD00:0:0:0:0:0:0:4/" + ":".join(["FFFF"] * 8)]

    # A second run for some of the names re-issues the server certificate with the same CA.
    make(tmp_path, "till-3.local", "fd00::4")
    assert (tmp_path / "ca.pem").read_text() == ca
    assert openssl("verify", "-CAfile", "ca.pem", "cert.pem", cwd=tmp_path) == "cert.pem: OK\n"
    text = openssl("x509", "-in", "cert.pem", "-noout", "-ext",
                   "subjectAltName,extendedKeyUsage", cwd=tmp_path)
    assert "DNS:localhost, IP Address:127.0.0.1, DNS:till-3.local, IP Address:FD00:0:0:0:0:0:0:4" in text
    assert "TLS Web Server Authentication" in text
    assert (openssl("x509", "-in", "cert.pem", "-noout", "-pubkey", cwd=tmp_path)
            == openssl("pkey", "-in", "key.pem", "-pubout", cwd=tmp_path))

    # A name that the CA was not made for is refused, and nothing changes; --force
    # makes a new CA for it.
    before = contents(tmp_path)
    refused = make(tmp_path, "till-4.local", status=1)
    assert "till-4.local" in refused and "--force makes a new CA" in refused
    assert contents(tmp_path) == before
    make(tmp_path, "--force", "till-4.local")
    assert (tmp_path / "ca.pem").read_text() != ca
    assert openssl("verify", "-CAfile", "ca.pem", "cert.pem", cwd=tmp_path) == "cert.pem: OK\n"
    ca = (tmp_path / "ca.pem").read_text()

    # A CA whose key is gone is not replaced but with --force.
    (tmp_path / "ca-key.pem").unlink()
    assert "--force" in make(tmp_path, status=1)
    assert (tmp_path / "ca.pem").read_text() == ca
    make(tmp_path, "--force")
    assert (tmp_path / "ca.pem").read_text() != ca and (tmp_path / "ca-key.pem").exists()
