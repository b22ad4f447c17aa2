"""Page tokens as a POS server makes them, for the tests: an ES256 key pair,
an RS256 one and an HS256 secret in a folder of the caller's own, and tokens
signed with them (PyJWT, Debian's python3-jwt)."""

import os
import time

import jwt
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa


def _pem(key):
    return (key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                              serialization.NoEncryption()),
            key.public_key().public_bytes(serialization.Encoding.PEM,
                                          serialization.PublicFormat.SubjectPublicKeyInfo))


class TokenKeys:
    def __init__(self, folder):
        self.folder = str(folder)
        os.chmod(self.folder, 0o755)
        self.private, self.public = {}, {}
        for alg, key in (("ES256", ec.generate_private_key(ec.SECP256R1())),
                         ("RS256", rsa.generate_private_key(public_exponent=65537, key_size=2048)),
                         ("other", ec.generate_private_key(ec.SECP256R1()))):
            self.private[alg], pem = _pem(key)
            self.public[alg] = self.write(f"{alg}.pub", pem, 0o644)
        self.secret = os.urandom(32)
        self.secret_file = self.write("hs256.secret", self.secret, 0o600)

    def write(self, name, data, mode):
        """A file of the folder's; in a sub-folder that anyone may write
        to where `name` has one."""
        path = os.path.join(self.folder, name)
        if os.path.dirname(name):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            os.chmod(os.path.dirname(path), 0o777)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, mode)
        return path

    def conf(self, public="ES256", secret=True, audience="till-17"):
        """The configuration element naming the keys."""
        return ("<PageTokens>" + (f"<PublicKey>{self.public[public]}</PublicKey>" if public else "")
                + (f"<Secret>{self.secret_file}</Secret>" if secret else "")
                + (f"<Audience>{audience}</Audience>" if audience else "") + "</PageTokens>")

    def token(self, alg="ES256", key=None, lifetime=600, **claims):
        """A token signed as `alg` with the key of that name (or `key`'s bytes),
        valid for `lifetime` seconds from now, for the till-17 audience unless
        the claims say otherwise."""
        claims = {"exp": int(time.time()) + lifetime, "aud": "till-17", **claims}
        claims = {k: v for k, v in claims.items() if v is not None}
        if key is None:
            key = self.secret if alg == "HS256" else self.private[alg]
        return jwt.encode(claims, key, algorithm=alg if alg != "other" else "ES256")
