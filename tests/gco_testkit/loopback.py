"""A loopback HTTP server for the cookie tests, reached directly or as an
HTTP proxy (so that any host name works): `/set?c=...&c=...` answers with a
Set-Cookie header per `c`; `&to=URL` makes it a redirect to URL (302, or
`&code=N`).  Any method is answered the same way.  Each request is recorded
in `log` as (url, the Cookie header's bytes or None, what `oracle(url)`
returned when the request arrived), in `calls`, in the same order, as
(method, body bytes), and in `headers` as its header fields."""

import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, quote_from_bytes, urlsplit


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # The body goes out apart from the headers: without TCP_NODELAY, a client
    # that keeps the connection waits for the delayed ACK on every request.
    disable_nagle_algorithm = True

    def _answer(self):
        server = self.server
        path = self.path
        url = path if "://" in path else f"http://{self.headers['Host']}{path}"
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        cookies = self.headers.get_all("Cookie")
        received = None if cookies is None else "; ".join(cookies).encode("latin-1")
        expected = server.oracle(url) if server.oracle is not None else None
        with server.lock:
            server.log.append((url, received, expected))
            server.calls.append((self.command, body))
            server.headers.append(self.headers)
        query = parse_qs(urlsplit(url).query, encoding="latin-1")
        target = query.get("to")
        self.send_response(int(query.get("code", ["302"])[0]) if target else 200)
        for value in query.get("c", ()):
            self.send_header("Set-Cookie", value)
        if target:
            self.send_header("Location", target[0])
        self.send_header("Content-Length", "2")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(b"ok")

    do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = do_HEAD = do_OPTIONS = _answer

    def log_message(self, *args):
        pass


class Loopback:
    """The server, serving from a thread until `close()`."""

    def __init__(self, oracle=None):
        self.server = ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
        self.server.daemon_threads = True
        self.server.oracle = oracle
        self.server.log = []
        self.server.calls = []
        self.server.headers = []
        self.server.lock = threading.Lock()
        self.port = self.server.server_address[1]
        self.proxy = f"http://127.0.0.1:{self.port}"
        self.thread = threading.Thread(target=self.server.serve_forever,
                                       kwargs={"poll_interval": 0.05}, daemon=True)
        self.thread.start()

    @property
    def log(self):
        return self.server.log

    @property
    def calls(self):
        return self.server.calls

    @property
    def headers(self):
        return self.server.headers

    def close(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(5)


def hop(host, path, *cookies, to=None, code=None):
    """The URL of a request whose response sets `cookies` (and redirects to
    `to`, with status `code` or 302)."""
    query = [("c", c if isinstance(c, bytes) else c.encode()) for c in cookies]
    if to is not None:
        query.append(("to", to.encode()))
    if code is not None:
        query.append(("code", str(code).encode()))
    text = "&".join(f"{k}={quote_from_bytes(v, safe='')}" for k, v in query)
    return f"http://{host}{path}?{text}"
