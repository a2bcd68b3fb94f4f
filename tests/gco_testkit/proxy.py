"""A loopback TCP proxy in front of a server (a Unix socket or a TCP
address), for the faults of a network: it can add a delay each way, stop
forwarding (a hung host: the links stay open, nothing arrives), and cut a
link right after the client sent some bytes (after they reached the server
and it answered, the answer thrown away).

    with Proxy(server.socket_path) as proxy:
        url = proxy.url(...)
        proxy.delay = 0.02        # 20 ms each way
        proxy.stall(); proxy.resume()
        proxy.cut_after(b"COMMIT")  # the next link that sends it is cut
"""

import collections
import socket
import threading
import time


class _Line:
    """One direction of a link: a reader and a writer thread, the bytes held
    `delay` seconds (and while the proxy stalls)."""

    def __init__(self, proxy, link, source, target, upstream):
        self.proxy, self.link, self.source, self.target = proxy, link, source, target
        self.upstream = upstream
        self.queue = collections.deque()
        self.ready = threading.Condition()
        for run in (self._read, self._write):
            threading.Thread(target=run, daemon=True).start()

    def _read(self):
        while True:
            try:
                data = self.source.recv(65536)
            except OSError:
                data = b""
            with self.ready:
                self.queue.append((time.monotonic(), data))
                self.ready.notify()
            if not data:
                return

    def _write(self):
        proxy = self.proxy
        while True:
            with self.ready:
                while not self.queue:
                    self.ready.wait()
                at, data = self.queue.popleft()
            while True:
                wait = at + proxy.delay - time.monotonic()
                if wait <= 0 and not proxy._stalled.is_set():
                    break
                proxy._resumed.wait(max(wait, 0) if wait > 0 else 0.01)
            if not data or self.link.cut and not self.upstream:
                self.link.close()
                if not data:
                    return
                continue
            try:
                self.target.sendall(data)
            except OSError:
                self.link.close()
                return
            if self.upstream and proxy._cut_pattern is not None and \
                    proxy._cut_pattern in data:
                proxy._cut_pattern = None
                self.link.cut = True  # the answer is read and dropped
                try:
                    self.link.client.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass


class _Link:
    def __init__(self, proxy, client, server):
        self.client, self.server, self.cut = client, server, False
        self._closed = False
        _Line(proxy, self, client, server, True)
        _Line(proxy, self, server, client, False)

    def close(self):
        if self._closed:
            return
        self._closed = True
        for end in (self.client, self.server):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            end.close()


class Proxy:
    def __init__(self, target):
        """target: a Unix socket's path, or a (host, port)."""
        self.target = target
        self.delay = 0.0
        self._stalled = threading.Event()
        self._resumed = threading.Event()
        self._resumed.set()
        self._cut_pattern = None
        self.links = []
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self._listener.accept()
            except OSError:
                return
            family = socket.AF_UNIX if isinstance(self.target, str) else socket.AF_INET
            server = socket.socket(family, socket.SOCK_STREAM)
            try:
                server.connect(self.target)
            except OSError:
                client.close()
                continue
            self.links.append(_Link(self, client, server))

    def stall(self):
        """Stops forwarding (both ways); the links stay open."""
        self._resumed.clear()
        self._stalled.set()

    def resume(self):
        self._stalled.clear()
        self._resumed.set()

    def cut_after(self, pattern):
        """The next bytes from a client holding pattern reach the server;
        the client's link is then cut and the server's answer dropped."""
        self._cut_pattern = pattern

    def close(self):
        self.resume()
        self._listener.close()
        for link in self.links:
            link.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()
