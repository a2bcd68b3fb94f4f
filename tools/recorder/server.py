"""The loopback server the recorder serves Chromium from.

One port on 127.0.0.1 speaks both TLS and plain HTTP (it peeks at the first
byte of each connection); Chromium reaches it for every host name and port
through ``--host-resolver-rules``.  The certificate is made at run time by
trustme; Chromium accepts it through ``--ignore-certificate-errors-spki-list``
(``Server.spki``), whatever name the URL holds.

What it answers is a table of routes, ``(scheme, host, target) -> Response``,
where ``host`` is the Host header as sent (lower case, with the port when the
URL names one) and ``target`` the request target.  A request no route names
gets a plain 200 page when its path is ``/`` or starts with ``/page``
(pages that only serve as a frame's context) and a 404 otherwise (favicons,
the browser's own requests); neither sets a cookie.  Every request is logged
with its raw Cookie header (``Seen``), so that a recording keeps exactly the
bytes Chromium sent.  Set-Cookie values are written as raw bytes, one header
line each.
"""

from __future__ import annotations

import base64
import dataclasses
import hashlib
import socket
import ssl
import threading
import time

PAGE = (b"<!doctype html><html><head><meta charset=utf-8><title>page</title></head>"
        b"<body>page</body></html>")


@dataclasses.dataclass
class Response:
    set_cookie: list[bytes] = dataclasses.field(default_factory=list)
    status: bytes = b"200 OK"
    body: bytes = PAGE
    extra: list[bytes] = dataclasses.field(default_factory=list)   # raw header lines

    def encode(self) -> bytes:
        head = [b"HTTP/1.1 " + self.status, b"Content-Type: text/html; charset=utf-8",
                b"Content-Length: " + str(len(self.body)).encode(), b"Connection: close",
                b"Cache-Control: no-store"]
        head += self.extra
        head += [b"Set-Cookie: " + value for value in self.set_cookie]
        return b"\r\n".join(head) + b"\r\n\r\n" + self.body


NOT_FOUND = b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"


@dataclasses.dataclass
class Seen:
    """One request as it arrived."""
    scheme: str
    host: str
    target: str
    method: str
    cookie: bytes | None          # the raw Cookie header, None when absent
    fetch: dict                   # the Sec-Fetch-* headers (site, mode, dest)
    at: float


class Server:
    """One port, TLS or plain per connection; answers the current routes."""

    def __init__(self, head_limit=262144, page_everywhere=False):
        """head_limit: the longest request head read; page_everywhere: every
        request no route names gets the plain page (no 404)."""
        import trustme
        from cryptography import x509
        from cryptography.hazmat.primitives import serialization

        ca = trustme.CA()
        cert = ca.issue_cert("www.example.test", "localhost", "127.0.0.1")
        self.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        cert.configure_cert(self.tls)
        leaf = x509.load_pem_x509_certificate(cert.cert_chain_pems[0].bytes())
        spki = leaf.public_key().public_bytes(
            serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)
        self.spki = base64.b64encode(hashlib.sha256(spki).digest()).decode()
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(64)
        self.head_limit, self.page_everywhere = head_limit, page_everywhere
        self.port = self.sock.getsockname()[1]
        self.lock = threading.Lock()
        self.routes: dict[tuple[str, str, str], Response] = {}
        self.seen: list[Seen] = []
        threading.Thread(target=self._accept, daemon=True).start()

    def close(self):
        # Shutting the socket down wakes the thread waiting in accept(),
        # which then ends; closing it alone would leave that thread waiting.
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()

    def serve(self, routes: dict[tuple[str, str, str], Response]):
        """Answer these routes from now on, and start a new request log."""
        with self.lock:
            self.routes = dict(routes)
            self.seen = []

    def requests(self, scheme: str, host: str, target: str) -> list[Seen]:
        with self.lock:
            return [s for s in self.seen
                    if (s.scheme, s.host, s.target) == (scheme, host, target)]

    # The header corpus: one header for one host and target, any scheme.
    def set_plan(self, host, target, header):
        response = Response([header] if header is not None else [], body=b"ok")
        self.serve({(scheme, host, target): response for scheme in ("http", "https")})
        self._plan = (host, target)

    @property
    def seen_cookie(self):
        hits = [s for s in self.seen if (s.host, s.target) == self._plan]
        return hits[-1].cookie if hits else None

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self._handle, args=(conn,), daemon=True).start()

    def _handle(self, conn):
        try:
            conn.settimeout(10)
            scheme = "http"
            if conn.recv(1, socket.MSG_PEEK) == b"\x16":
                conn = self.tls.wrap_socket(conn, server_side=True)
                scheme = "https"
            data = b""
            while b"\r\n\r\n" not in data and len(data) < self.head_limit:
                chunk = conn.recv(65536)
                if not chunk:
                    return
                data += chunk
            head, _, body = data.partition(b"\r\n\r\n")
            lines = head.split(b"\r\n")
            method, target = lines[0].split(b" ")[:2]
            fields = {}
            for line in lines[1:]:
                k, _, v = line.partition(b":")
                fields[k.strip().lower()] = v.strip(b" \t")
            length = int(fields.get(b"content-length", b"0") or 0)
            while len(body) < length:
                chunk = conn.recv(65536)
                if not chunk:
                    break
                body += chunk
            seen = Seen(scheme, fields.get(b"host", b"").decode("latin-1").lower(),
                        target.decode("latin-1"), method.decode("latin-1"),
                        fields.get(b"cookie"),
                        {k.decode()[10:]: v.decode("latin-1") for k, v in fields.items()
                         if k.startswith(b"sec-fetch-")},
                        time.time())
            with self.lock:
                self.seen.append(seen)
                response = self.routes.get((seen.scheme, seen.host, seen.target))
            if response is not None:
                out = response.encode()
            elif self.page_everywhere or seen.target == "/" or seen.target.startswith("/page"):
                out = Response().encode()
            else:
                out = NOT_FOUND
            conn.sendall(out)
        except (OSError, ssl.SSLError, IndexError, ValueError):
            pass
        finally:
            try:
                conn.close()
            except OSError:
                pass
