"""A small WebSocket client on a plain socket: the pages of the tests, the
demo's checks and the benchmark, from one connection to a thousand read
together. What the server sends is checked strictly (the accept key, no mask,
no reserved bits, text that is UTF-8); pings are answered as browsers do.
A text message is read as a str, a binary one as bytes. Every message read is
stamped with CLOCK_MONOTONIC the moment it was read. Over TLS (wss://) when
given an ssl.SSLContext, or by default once DEFAULT_TLS is set to one."""

import base64
import hashlib
import os
import selectors
import socket
import ssl
import struct
import time

GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
TEXT, BINARY, CLOSE, PING, PONG = 1, 2, 8, 9, 10
# The TLS context of clients that are given none; None: plain ws://.
DEFAULT_TLS = None


class Closed(Exception):
    """The connection ended: `code` is the close frame's, None when it dropped
    without one."""

    def __init__(self, code):
        super().__init__(f"closed with {code}")
        self.code = code


class Refused(Exception):
    """The server did not take the handshake (TLS's, or the WebSocket's)."""


class Client:
    def __init__(self, port, host="127.0.0.1", origin=None, rcvbuf=None, timeout=10, path="/",
                 tls=None, server_name=None):
        self.sock = socket.socket()
        if rcvbuf:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.settimeout(timeout)
        self.messages = []  # (text, monotonic ns) not yet taken
        self.close_code = None
        self._buf = b""
        self._fragments = None
        tls = DEFAULT_TLS if tls is None else tls
        try:
            self.sock.connect((host, port))
            if tls:
                try:
                    self.sock = tls.wrap_socket(self.sock, server_hostname=server_name or host)
                except ssl.SSLError as refused:
                    raise Refused(str(refused)) from None
            key = base64.b64encode(os.urandom(16))
            head = [b"GET %s HTTP/1.1" % path.encode(), b"Host: %s:%d" % (host.encode(), port),
                    b"Upgrade: websocket", b"Connection: Upgrade",
                    b"Sec-WebSocket-Key: " + key, b"Sec-WebSocket-Version: 13"]
            if origin:
                head.append(b"Origin: " + origin.encode())
            self.sock.sendall(b"\r\n".join(head) + b"\r\n\r\n")
            while b"\r\n\r\n" not in self._buf:
                chunk = self.sock.recv(4096)
                if not chunk:
                    raise Refused("closed during the handshake")
                self._buf += chunk
        except (OSError, Refused):
            self.sock.close()
            raise
        reply, self._buf = self._buf.split(b"\r\n\r\n", 1)
        status, *lines = reply.split(b"\r\n")
        headers = {k.strip().lower(): v.strip() for k, _, v in (l.partition(b":") for l in lines)}
        accept = base64.b64encode(hashlib.sha1(key + GUID).digest())
        if status.split()[1:2] != [b"101"] or headers.get(b"sec-websocket-accept") != accept:
            self.sock.close()
            raise Refused(status.decode("latin-1"))
        self._take()

    def send(self, payload, opcode=TEXT, fin=True):
        """One frame, masked as a client's must be."""
        data = payload.encode() if isinstance(payload, str) else payload
        size = len(data)
        head = bytes([(0x80 if fin else 0) | opcode])
        if size < 126:
            head += bytes([0x80 | size])
        elif size < 1 << 16:
            head += bytes([0x80 | 126]) + struct.pack("!H", size)
        else:
            head += bytes([0x80 | 127]) + struct.pack("!Q", size)
        mask = os.urandom(4)
        key = int.from_bytes((mask * (size // 4 + 1))[:size], "big")
        masked = (int.from_bytes(data, "big") ^ key).to_bytes(size, "big")
        self.sock.sendall(head + mask + masked)

    def recv(self, timeout=10):
        """The next message (str, or bytes when binary); Closed when the
        connection ends first, socket.timeout when nothing comes in time."""
        deadline = time.monotonic() + timeout
        while not self.messages:
            if self.close_code is not None or self.sock.fileno() < 0:
                raise Closed(self.close_code)
            self.sock.settimeout(max(deadline - time.monotonic(), 0.001))
            self._read()
        return self.messages.pop(0)[0]

    def nothing_more(self, wait=0.3):
        """True when no message arrives within `wait` seconds."""
        try:
            self.recv(wait)
        except socket.timeout:
            return True
        return False

    def cut(self):
        """Drops the connection without a close, as a crashed tab or a lost
        network does: the server sees a reset."""
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()

    def close(self, code=1000):
        try:
            self.send(struct.pack("!H", code), CLOSE)
            self.sock.settimeout(2)
            while self.close_code is None:
                self._read()
        except (OSError, Closed):
            pass
        self.sock.close()

    def _read(self):
        chunk = self.sock.recv(1 << 16)
        stamp = time.monotonic_ns()
        if not chunk:
            self.sock.close()
            raise Closed(self.close_code)
        self._buf += chunk
        self._take(stamp)

    def _take(self, stamp=None):
        """Parses the complete frames in the buffer."""
        while len(self._buf) >= 2:
            b0, b1 = self._buf[0], self._buf[1]
            assert b0 & 0x70 == 0 and b1 & 0x80 == 0, "reserved bits or a mask from the server"
            size, at = b1 & 0x7F, 2
            if size >= 126:
                width = 2 if size == 126 else 8
                if len(self._buf) < 2 + width:
                    return
                size = int.from_bytes(self._buf[2:2 + width], "big")
                at += width
            if len(self._buf) < at + size:
                return
            payload, self._buf = self._buf[at:at + size], self._buf[at + size:]
            opcode = b0 & 0x0F
            if opcode == PING:
                self.send(payload, PONG)
            elif opcode == CLOSE:
                self.close_code = struct.unpack("!H", payload[:2])[0] if payload else 1005
                return
            elif opcode in (TEXT, BINARY, 0):
                kind, data = self._fragments or (opcode, b"")
                self._fragments = (kind, data + payload)
                if b0 & 0x80:
                    kind, data = self._fragments
                    self._fragments = None
                    self.messages.append((data.decode("utf-8") if kind == TEXT else data,
                                          stamp or time.monotonic_ns()))


class Crowd:
    """Many clients read together, each message stamped as it is read. Their
    sockets stay non-blocking."""

    def __init__(self, clients):
        self.clients = {c.sock: c for c in clients}
        self.selector = selectors.DefaultSelector()
        for sock in self.clients:
            sock.setblocking(False)
            self.selector.register(sock, selectors.EVENT_READ)

    def receive(self, count=1, timeout=10):
        """Reads until every client holds `count` messages (or has closed) or
        the time is up; returns how many hold them."""
        deadline = time.monotonic() + timeout
        waiting = {s for s, c in self.clients.items() if len(c.messages) < count}
        while waiting and time.monotonic() < deadline:
            for key, _ in self.selector.select(max(deadline - time.monotonic(), 0)):
                client = self.clients[key.fileobj]
                try:
                    client._read()
                    # TLS may hold decrypted bytes that the socket no longer shows.
                    while getattr(client.sock, "pending", lambda: 0)():
                        client._read()
                except (BlockingIOError, ssl.SSLWantReadError, Closed):
                    pass
                if len(client.messages) >= count or client.sock.fileno() < 0:
                    waiting.discard(key.fileobj)
                    if client.sock.fileno() < 0:
                        self.selector.unregister(key.fileobj)
        return sum(len(c.messages) >= count for c in self.clients.values())
