"""A loopback HTTP server for the cookie tests, reached directly or as an
HTTP proxy (so that any host name works): `/set?c=...&c=...` answers with a
Set-Cookie header per `c`; `&to=URL` makes it a 302 to URL.  Each request is
recorded as (url, the Cookie header's bytes or None, what `oracle(url)`
returned when the request arrived)."""

import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        server = self.server
        path = self.path
        url = path if "://" in path else f"http://{self.headers['Host']}{path}"
        cookies = self.headers.get_all("Cookie")
        received = None if cookies is None else "; ".join(cookies).encode("latin-1")
        expected = server.oracle(url) if server.oracle is not None else None
        with server.lock:
            server.log.append((url, received, expected))
        query = parse_qs(urlsplit(url).query, encoding="latin-1")
        target = query.get("to")
        self.send_response(302 if target else 200)
        for value in query.get("c", ()):
            self.send_header("Set-Cookie", value)
        if target:
            self.send_header("Location", target[0])
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"ok")

    def log_message(self, *args):
        pass


class Loopback:
    """The server, serving from a thread until `close()`."""

    def __init__(self, oracle=None):
        self.server = ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
        self.server.daemon_threads = True
        self.server.oracle = oracle
        self.server.log = []
        self.server.lock = threading.Lock()
        self.port = self.server.server_address[1]
        self.proxy = f"http://127.0.0.1:{self.port}"
        self.thread = threading.Thread(target=self.server.serve_forever,
                                       kwargs={"poll_interval": 0.05}, daemon=True)
        self.thread.start()

    @property
    def log(self):
        return self.server.log

    def close(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(5)
