"""The jar behind the crawlers' clients: curl_cffi and Scrapy, against their
own cookie handling, on a loopback server in a process of its own (reached
as an HTTP proxy, so that any host name works; it answers every request at
once with one Set-Cookie).

1. curl_cffi: a `Session.get` with `jar.install(session)` against one with
   curl_cffi's own cookies holding the same cookies, and against one with no
   cookies at all ("cookie part" is a case's time minus that one): 20
   cookies for one host (all 20 sent), and 3,000 cookies over 300 hosts (10
   sent per request), each response replacing one cookie.  The rounds
   interleave the cases.
2. Scrapy: a crawl of 2,000 pages over 100 hosts (each page sets one of 20
   cookies of its host, so up to 20 are sent) with Scrapy's own
   CookiesMiddleware, with ours, and with cookies off; each crawl in a
   child process of its own (Scrapy's reactor starts once per process),
   the rounds interleaving the three.  "middleware" is the time spent in
   the middleware's process_request and process_response.

    python -P benchmarks/bench_crawlers.py [--rounds N] [--crawl-rounds N] [--json PATH]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

# The children do not put this directory on sys.path (-P: 3.11 on).
SAFE_PATH = ["-P"] if sys.version_info >= (3, 11) else []

SET_COOKIE = "seen=1; Path=/; Max-Age=3600"


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True  # the body goes out apart from the headers

    def do_GET(self):
        # /page?n=K sets cookie K%20 of the host (the Scrapy crawl); any other
        # path sets `seen`.
        path = self.path.split("://", 1)[-1]
        query = path.partition("?")[2]
        if path.endswith("/last-cookie"):
            # The Cookie header of the request before this one.
            body = (self.server.last_cookie or "").encode("latin-1")
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        if query.startswith("n="):
            cookie = f"p{int(query[2:]) % 20}=v{query[2:]}; Path=/; Max-Age=3600"
        else:
            cookie = SET_COOKIE
        self.server.last_cookie = self.headers.get("Cookie")
        self.send_response(200)
        self.send_header("Set-Cookie", cookie)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"ok")

    def log_message(self, *args):
        pass


def _serve(pipe):
    server = ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
    server.daemon_threads = True
    server.last_cookie = None
    pipe.send(server.server_address[1])
    threading.Thread(target=server.serve_forever, daemon=True).start()
    pipe.recv()  # until the benchmark is done
    server.shutdown()


class Server:
    """The server, in a child process: its Python does not share the
    benchmark's interpreter lock."""

    def __init__(self):
        import multiprocessing

        context = multiprocessing.get_context("spawn")
        self.pipe, child = context.Pipe()
        self.process = context.Process(target=_serve, args=(child,), daemon=True)
        self.process.start()
        self.proxy = f"http://127.0.0.1:{self.pipe.recv()}"

    def close(self):
        self.pipe.send("stop")
        self.process.join(10)


# -- curl_cffi ----------------------------------------------------------------

def curl_sessions(proxy, hosts, per_host):
    """kind: session, for "own" (curl_cffi's Cookies), "jar" (jar.install)
    and "none", each with per_host cookies on every host."""
    from curl_cffi import requests as curl_requests

    from glimmering_copper_otter.jar import CookieJar

    sessions = {}
    for kind in ("own", "jar", "none"):
        session = curl_requests.Session(proxy=proxy, trust_env=False,
                                        discard_cookies=kind == "none")
        if kind == "own":
            for host in hosts:
                for k in range(per_host):
                    session.cookies.set(f"c{k}", f"value{k}", domain=host)
        elif kind == "jar":
            jar = CookieJar(max_cookies=None)
            for host in hosts:
                jar.set_cookies([f"c{k}=value{k}; Path=/" for k in range(per_host)],
                                f"http://{host}/")
            jar.install(session)
        sessions[kind] = session
    return sessions


def time_gets(session, urls, **options):
    start = time.perf_counter()
    for url in urls:
        session.get(url, **options)
    return (time.perf_counter() - start) / len(urls)


def curl_part(proxy, rounds, count):
    figures = {}
    for label, hosts, per_host in (
            ("20 cookies, one host", ["www.site0.test"], 20),
            ("3,000 cookies over 300 hosts", [f"www.site{i}.test" for i in range(300)], 10)):
        sessions = curl_sessions(proxy, hosts, per_host)
        urls = [f"http://{hosts[i % len(hosts)]}/page" for i in range(count)]
        for kind in ("own", "jar"):  # both send the host's cookies and the one set before
            sessions[kind].get(urls[0])
            sessions[kind].get(urls[0])
            sent = sessions["none"].get("http://check.test/last-cookie").text
            assert sent.count("=") == per_host + 1, (kind, sent)
        times = {kind: [] for kind in sessions}
        times["calls"] = []
        jar = sessions["jar"].request.cookie_jar
        for _ in range(rounds):
            for kind, session in sessions.items():
                times[kind].append(time_gets(session, urls))
            # The jar's own part of a request: what the adapter asks of it.
            start = time.perf_counter()
            for url in urls:
                jar.cookie_header(url)
                jar.set_cookies([SET_COOKIE], url)
            times["calls"].append((time.perf_counter() - start) / count)
        median = {kind: statistics.median(values) for kind, values in times.items()}
        part = {kind: median[kind] - median["none"] for kind in ("own", "jar")}
        figures.update({
            f"curl_cffi, {label}: own cookies (us)": median["own"] * 1e6,
            f"curl_cffi, {label}: jar.install (us)": median["jar"] * 1e6,
            f"curl_cffi, {label}: no cookies (us)": median["none"] * 1e6,
            f"curl_cffi, {label}: whole request, own / jar": median["own"] / median["jar"],
            f"curl_cffi, {label}: cookie part, own (us)": part["own"] * 1e6,
            f"curl_cffi, {label}: cookie part, jar (us)": part["jar"] * 1e6,
            f"curl_cffi, {label}: jar calls alone (us)": median["calls"] * 1e6,
        })
        for session in sessions.values():
            session.close()
    return figures


# -- Scrapy ---------------------------------------------------------------------

def crawl_child(kind, proxy, pages):
    """Runs one crawl (in this process) and prints its figures."""
    import scrapy
    from scrapy.crawler import CrawlerProcess
    from scrapy.downloadermiddlewares.cookies import CookiesMiddleware as Theirs

    from glimmering_copper_otter.scrapy import CookiesMiddleware as Ours

    spent = [0.0]

    def timed(base):
        class Timed(base):
            def process_request(self, request):
                start = time.perf_counter()
                try:
                    return base.process_request(self, request)
                finally:
                    spent[0] += time.perf_counter() - start

            def process_response(self, request, response):
                start = time.perf_counter()
                try:
                    return base.process_response(self, request, response)
                finally:
                    spent[0] += time.perf_counter() - start
        return Timed

    globals()["TimedTheirs"], globals()["TimedOurs"] = timed(Theirs), timed(Ours)
    seen = [0]

    class Pages(scrapy.Spider):
        name = "pages"

        async def start(self):
            for n in range(pages):
                yield scrapy.Request(f"http://www.site{n % 100}.test/page?n={n}",
                                     meta={"proxy": proxy}, dont_filter=True)

        def parse(self, response):
            seen[0] += 1

    middlewares = {"scrapy.downloadermiddlewares.cookies.CookiesMiddleware": None}
    if kind != "none":
        middlewares[f"__main__.Timed{kind.capitalize()}"] = 700
    process = CrawlerProcess({
        "LOG_ENABLED": False, "TELNETCONSOLE_ENABLED": False, "ROBOTSTXT_OBEY": False,
        "RETRY_ENABLED": False, "DOWNLOAD_TIMEOUT": 30, "CONCURRENT_REQUESTS": 16,
        "CONCURRENT_REQUESTS_PER_DOMAIN": 16, "COOKIES_ENABLED": kind != "none",
        "DOWNLOADER_MIDDLEWARES": middlewares}, install_root_handler=False)
    process.crawl(Pages)
    start = time.perf_counter()
    process.start()
    elapsed = time.perf_counter() - start
    json.dump({"elapsed": elapsed, "middleware": spent[0], "pages": seen[0]}, sys.stdout)


def scrapy_part(proxy, rounds, pages):
    times = {kind: [] for kind in ("theirs", "ours", "none")}
    spent = {kind: [] for kind in ("theirs", "ours")}
    for _ in range(rounds):
        for kind in times:
            done = subprocess.run(
                [sys.executable, *SAFE_PATH, __file__, "--crawl", kind, proxy, str(pages)],
                capture_output=True, text=True, timeout=600, check=True)
            result = json.loads(done.stdout)
            assert result["pages"] == pages, result
            times[kind].append(result["elapsed"])
            if kind in spent:
                spent[kind].append(result["middleware"])
    median = {kind: statistics.median(values) for kind, values in times.items()}
    middleware = {kind: statistics.median(values) for kind, values in spent.items()}
    return {
        f"Scrapy, {pages} pages: Scrapy's middleware (s)": median["theirs"],
        f"Scrapy, {pages} pages: ours (s)": median["ours"],
        f"Scrapy, {pages} pages: cookies off (s)": median["none"],
        f"Scrapy, {pages} pages: whole crawl, theirs / ours": median["theirs"] / median["ours"],
        f"Scrapy, {pages} pages: Scrapy's middleware alone (ms)": middleware["theirs"] * 1e3,
        f"Scrapy, {pages} pages: ours alone (ms)": middleware["ours"] * 1e3,
        f"Scrapy, {pages} pages: middleware alone, theirs / ours":
            middleware["theirs"] / middleware["ours"],
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--count", type=int, default=300, help="curl_cffi requests per round")
    parser.add_argument("--pages", type=int, default=2000, help="pages per Scrapy crawl")
    parser.add_argument("--crawl-rounds", type=int, default=5, help="crawls of each kind")
    parser.add_argument("--crawl", nargs=3, metavar=("KIND", "PROXY", "PAGES"),
                        help=argparse.SUPPRESS)
    parser.add_argument("--json", type=Path, help="also write the figures here")
    args = parser.parse_args()
    if args.crawl:
        kind, proxy, pages = args.crawl
        crawl_child(kind, proxy, int(pages))
        return 0
    server = Server()
    try:
        figures = curl_part(server.proxy, args.rounds, args.count)
        figures.update(scrapy_part(server.proxy, args.crawl_rounds, args.pages))
    finally:
        server.close()
    width = max(map(len, figures))
    for name, value in figures.items():
        print(f"{name:<{width}}  {value:10.2f}")
    if args.json:
        args.json.write_text(json.dumps(figures, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    os.environ.setdefault("PYTHONHASHSEED", "0")
    sys.exit(main())
