"""The jar behind requests, against requests' own jar; and the jar's file.

1. A `requests.Session` with `jar.install(session)` against one with
   requests' own `RequestsCookieJar`, through a whole `Session.get` against an
   in-process transport adapter (no sockets): 1000 cookies over 100 hosts,
   each request to one host (10 cookies sent), each response setting one
   cookie.  "cookie part" is a case's time minus that of the same session
   with no cookies at all (an empty jar, no Set-Cookie): with jar.install it
   still holds requests' own reading of the response's Set-Cookie header
   (`response.cookies`), which the adapter does not replace; "jar calls
   alone" is what the adapter itself calls.
   A call with its own cookies (`cookies={"p": "1"}`) through jar.install
   shows what per-request cookies add.
2. The file store: a `set_cookie` on a jar made with a path (one committed
   transaction), the `PRAGMA data_version` check every call makes, and a
   reload of a file of 3300 cookies.

Every case runs in this one process; the rounds interleave the cases of
part 1, so that the ratios compare figures taken under the same conditions.

    python -P benchmarks/bench_jar_clients.py [--rounds N] [--json PATH]
"""

from __future__ import annotations

import argparse
import http.client
import io
import json
import statistics
import sys
import tempfile
import time
from pathlib import Path

import requests
from requests.adapters import BaseAdapter, HTTPAdapter
from requests.cookies import create_cookie
from urllib3 import HTTPResponse
from urllib3._collections import HTTPHeaderDict


from glimmering_copper_otter.stores.sqlite import SqliteStore
from glimmering_copper_otter.jar import CookieJar

HOSTS = [f"www.site{i}.test" for i in range(100)]
SET_COOKIE = "seen=1; Path=/; Max-Age=3600"


class _Original:
    """What requests reads a response's Set-Cookie headers from."""

    def __init__(self, raw_headers):
        self.msg = http.client.parse_headers(io.BytesIO(raw_headers))

    def isclosed(self):
        return False

    def close(self):
        pass


class InProcessAdapter(BaseAdapter):
    """Answers every request at once, without sockets: 200, a short body and
    (when `set_cookie`) one Set-Cookie header."""

    def __init__(self, set_cookie):
        super().__init__()
        self.headers = [("Set-Cookie", SET_COOKIE)] if set_cookie else []
        raw = b"".join(f"{k}: {v}\r\n".encode() for k, v in self.headers) + b"\r\n"
        self.original = _Original(raw)
        self.build = HTTPAdapter().build_response

    def send(self, request, **kwargs):
        raw = HTTPResponse(body=io.BytesIO(b"ok"), headers=HTTPHeaderDict(self.headers),
                           status=200, preload_content=False,
                           original_response=self.original)
        return self.build(request, raw)

    def close(self):
        pass


def session(kind):
    """A session of one kind: "requests" (its own jar, 1000 cookies),
    "jar" (jar.install, 1000 cookies), or "none" (no cookies at all)."""
    s = requests.Session()
    s.trust_env = False
    adapter = InProcessAdapter(set_cookie=kind != "none")
    s.mount("http://", adapter)
    if kind == "requests":
        for h, host in enumerate(HOSTS):
            for k in range(10):
                s.cookies.set_cookie(create_cookie(f"c{h}_{k}", f"value{k}", domain=host,
                                                   path="/"))
    elif kind == "jar":
        jar = CookieJar()
        for host in HOSTS:
            for k in range(10):
                jar.set_cookie(f"c_{k}=value{k}; Path=/", f"http://{host}/")
        jar.install(s)
        s.cookie_jar = jar
    return s


def time_gets(s, count, **options):
    urls = [f"http://{HOSTS[i % len(HOSTS)]}/page" for i in range(count)]
    start = time.perf_counter()
    for url in urls:
        s.get(url, **options)
    return (time.perf_counter() - start) / count


def requests_part(rounds, count):
    sessions = {kind: session(kind) for kind in ("requests", "jar", "none")}
    for kind in ("requests", "jar"):  # both send the 10 cookies and the one set before
        sessions[kind].get(f"http://{HOSTS[3]}/")
        sent = sessions[kind].get(f"http://{HOSTS[3]}/").request.headers["Cookie"]
        assert sent.count("=") == 11, (kind, sent)
    times = {kind: [] for kind in sessions}
    times["calls"] = []
    times["per-request"] = []
    jar = sessions["jar"].cookie_jar
    urls = [f"http://{HOSTS[i % len(HOSTS)]}/page" for i in range(count)]
    for _ in range(rounds):
        for kind, s in sessions.items():
            times[kind].append(time_gets(s, count))
        times["per-request"].append(time_gets(sessions["jar"], count, cookies={"p": "1"}))
        # The jar's own part of a request: what the adapter calls.
        start = time.perf_counter()
        for url in urls:
            jar.cookie_header(url)
            jar.set_cookies([SET_COOKIE], url)
        times["calls"].append((time.perf_counter() - start) / count)
    median = {kind: statistics.median(values) for kind, values in times.items()}
    whole = median["requests"] / median["jar"]
    part = {kind: median[kind] - median["none"] for kind in ("requests", "jar")}
    return {
        "Session.get, requests' own jar (us)": median["requests"] * 1e6,
        "Session.get, jar.install (us)": median["jar"] * 1e6,
        "Session.get, no cookies (us)": median["none"] * 1e6,
        "whole request: requests' own / jar.install": whole,
        "cookie part, requests' own jar (us)": part["requests"] * 1e6,
        "cookie part, jar.install (us)": part["jar"] * 1e6,
        "cookie part: requests' own / jar.install": part["requests"] / max(part["jar"], 1e-9),
        "jar calls alone, cookie_header + set_cookies (us)": median["calls"] * 1e6,
        "Session.get, jar.install, cookies={...} (us)": median["per-request"] * 1e6,
    }


def store_part(rounds):
    with tempfile.TemporaryDirectory() as directory:
        path = Path(directory) / "jar.db"
        jar = CookieJar(path)
        # set_cookie with a path: one transaction each, same cookie replaced.
        samples = []
        for r in range(rounds):
            start = time.perf_counter()
            for i in range(200):
                jar.set_cookie(f"s=v{r}_{i}; Max-Age=3600", "http://example.test/")
            samples.append((time.perf_counter() - start) / 200)
        set_cookie = statistics.median(samples)
        # The check every call makes when nothing changed.
        store = SqliteStore(path)
        store.load()
        samples = []
        for _ in range(rounds):
            start = time.perf_counter()
            for _ in range(2000):
                store.refresh()
            samples.append((time.perf_counter() - start) / 2000)
        refresh = statistics.median(samples)
        store.close()
        # A file of 3300 cookies, reloaded.
        big = Path(directory) / "big.db"
        writer = CookieJar(big)
        rows = []
        now = time.time_ns() // 1000
        for i in range(3300):
            host = HOSTS[i % 100]
            rows.append((b"c%d" % i, b"v" * 40, host, True, b"/", now + 10 ** 12, now + i,
                         now + i, False, False, 0, False, "", -1, 1, 80, True, False))
        writer.load_rows(rows)
        del writer
        samples = []
        for _ in range(max(3, rounds // 3)):
            start = time.perf_counter()
            loaded = CookieJar(big)
            samples.append(time.perf_counter() - start)
            assert len(loaded) == 3300
        reload = statistics.median(samples)
    return {
        "set_cookie with a path (us)": set_cookie * 1e6,
        "data_version check per call (us)": refresh * 1e6,
        "reload of 3300 cookies (ms)": reload * 1e3,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=21)
    parser.add_argument("--count", type=int, default=200, help="requests per round and case")
    parser.add_argument("--json", type=Path, help="also write the figures here")
    args = parser.parse_args()
    figures = requests_part(args.rounds, args.count)
    figures.update(store_part(args.rounds))
    width = max(map(len, figures))
    for name, value in figures.items():
        print(f"{name:<{width}}  {value:10.2f}")
    if args.json:
        args.json.write_text(json.dumps(figures, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
