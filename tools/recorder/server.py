"""The loopback server the recorder serves Chromium from."""

from __future__ import annotations

import base64
import hashlib
import socket
import ssl
import threading

class Server:
    """One port, TLS or plain per connection; answers the current plan."""

    def __init__(self):
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
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.lock = threading.Lock()
        self.plan = None          # (host, target, header bytes or None)
        self.seen_cookie = None   # Cookie request header of the last planned hit
        threading.Thread(target=self._accept, daemon=True).start()

    def set_plan(self, host, target, header):
        with self.lock:
            self.plan = (host, target, header)
            self.seen_cookie = None

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
            if conn.recv(1, socket.MSG_PEEK) == b"\x16":
                conn = self.tls.wrap_socket(conn, server_side=True)
            data = b""
            while b"\r\n\r\n" not in data and len(data) < 65536:
                chunk = conn.recv(65536)
                if not chunk:
                    return
                data += chunk
            head = data.split(b"\r\n\r\n", 1)[0].split(b"\r\n")
            target = head[0].split(b" ")[1].decode("latin-1")
            fields = {}
            for line in head[1:]:
                k, _, v = line.partition(b":")
                fields[k.strip().lower()] = v.strip()
            host = fields.get(b"host", b"").decode("latin-1").lower()
            with self.lock:
                plan = self.plan
                hit = plan is not None and host == plan[0] and target == plan[1]
                if hit:
                    self.seen_cookie = fields.get(b"cookie")
            if hit and plan[2] is not None:
                out = (b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 2\r\n"
                       b"Connection: close\r\nSet-Cookie: " + plan[2] + b"\r\n\r\nok")
            elif hit:
                out = b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok"
            else:
                out = b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
            conn.sendall(out)
        except (OSError, ssl.SSLError, IndexError):
            pass
        finally:
            try:
                conn.close()
            except OSError:
                pass


