"""A throwaway certificate authority for wss:// tests, demos and benchmarks:
a root CA, an intermediate CA, and a server certificate signed by it for
loopback names and addresses. The server's file holds the chain (server,
then intermediate), so that a client that trusts only the root gets through
only when the chain is sent whole. Made with the openssl command."""

import base64
import hashlib
import os
import ssl
import subprocess

# The names a test or a browser may reach the daemon by (mapped to loopback).
NAMES = ["localhost", "scanner.example", "till.example", "pos.example.com"]
ADDRESSES = ["127.0.0.1", "127.0.0.2"]


def _openssl(*argv, cwd):
    subprocess.run(["openssl", *argv], cwd=cwd, check=True, capture_output=True)


class ThrowawayCA:
    def __init__(self, folder, days=2):
        """`days`: how long the server certificate is valid from now."""
        self.folder = str(folder)  # a folder of the caller's own, made for it
        os.chmod(self.folder, 0o755)
        run = lambda *argv: _openssl(*argv, cwd=self.folder)  # noqa: E731
        with open(os.path.join(self.folder, "ext.cnf"), "w") as f:
            f.write("[ca]\nbasicConstraints=critical,CA:true\nkeyUsage=keyCertSign,cRLSign\n"
                    "[server]\nbasicConstraints=CA:false\nkeyUsage=digitalSignature,keyEncipherment\n"
                    "extendedKeyUsage=serverAuth\nsubjectAltName="
                    + ",".join([f"DNS:{n}" for n in NAMES] + [f"IP:{a}" for a in ADDRESSES]) + "\n")
        run("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-subj", "/CN=Test root", "-days", str(max(days, 2)), "-keyout", "root-key.pem",
            "-out", "root.pem",
            "-addext", "basicConstraints=critical,CA:true", "-addext", "keyUsage=keyCertSign")
        for name, signer, section in (("inter", "root", "ca"), ("server", "inter", "server")):
            run("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                "-subj", f"/CN=Test {name}", "-keyout", f"{name}-key.pem", "-out", f"{name}.csr")
            run("x509", "-req", "-in", f"{name}.csr", "-CA", f"{signer}.pem", "-CAkey",
                f"{signer}-key.pem", "-CAcreateserial", "-days", str(days if name == "server" else max(days, 2)),
                "-extfile", "ext.cnf",
                "-extensions", section, "-out", f"{name}.pem")
        self.root = self.path("root.pem")
        self.chain = self.path("chain.pem")
        with open(self.chain, "w") as f:
            f.write(open(self.path("server.pem")).read() + open(self.path("inter.pem")).read())
        self.key = self.path("server-key.pem")
        os.chmod(self.key, 0o600)

    def path(self, name):
        return os.path.join(self.folder, name)

    def context(self, trusted=True):
        """A client's TLS context that trusts the root (or only the system's CAs)."""
        return ssl.create_default_context(cafile=self.root if trusted else None)

    def spki_hash(self):
        """The server key's SPKI hash, as Chromium's --ignore-certificate-errors-spki-list
        takes it."""
        der = subprocess.run(["openssl", "pkey", "-in", self.key, "-pubout", "-outform", "DER"],
                             check=True, capture_output=True).stdout
        return base64.b64encode(hashlib.sha256(der).digest()).decode()

    def conf(self, certificate=None, key=None):
        """The configuration element for the daemon."""
        return (f"<Tls><Certificate>{certificate or self.chain}</Certificate>"
                f"<PrivateKey>{key or self.key}</PrivateKey></Tls>")
