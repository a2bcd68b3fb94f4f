"""Cost of the cookie jar against http.cookiejar and aiohttp's CookieJar.

Every case runs in this one process and the rounds interleave the cases, so
that the ratios compare figures taken under the same conditions (medians of
the rounds).  Cases:

- the Cookie header of a request that matches 10 cookies, in jars of 3,000
  and of 30,000 cookies (10 per host): CookieJar.cookie_header against
  http.cookiejar's add_cookie_header and aiohttp's filter_cookies;
- one Set-Cookie header applied: set_cookie against extract_cookies;
- memory: a million cookies of 60 bytes (name=value) over 100,000 hosts in
  a jar without limits, the growth of the resident set per cookie.

    python -P benchmarks/bench_jar.py [--rounds N] [--no-memory] [--json PATH]
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import http.cookiejar
import json
import os
import statistics
import sys
import time
import urllib.request
from email.message import Message
from pathlib import Path

from glimmering_copper_otter.jar import CookieJar

try:
    import aiohttp
    from yarl import URL
except ImportError:  # the comparison is left out
    aiohttp = None

PER_HOST = 10
SET_COOKIE = "sid=8f3a9c2e7b1d4f6a0e5c3b2a; Path=/; Max-Age=3600; HttpOnly; SameSite=Lax"


def host(i):
    return f"www.host{i}.test"


def ours(count):
    jar = CookieJar(max_cookies=None, max_cookies_per_site=None)
    for h in range(count // PER_HOST):
        jar.set_cookies([f"c{i}=value{i}-{h}; Path=/" for i in range(PER_HOST)], f"https://{host(h)}/")
    return jar


def stdlib(count):
    jar = http.cookiejar.CookieJar()
    for h in range(count // PER_HOST):
        for i in range(PER_HOST):
            jar.set_cookie(http.cookiejar.Cookie(
                0, f"c{i}", f"value{i}-{h}", None, False, host(h), False, False, "/", True,
                False, None, False, None, None, {}))
    return jar


def aio(count):
    # aiohttp's jar wants an event loop; it is not run.
    jar = aiohttp.CookieJar(loop=asyncio.new_event_loop())
    for h in range(count // PER_HOST):
        jar.update_cookies({f"c{i}": f"value{i}-{h}" for i in range(PER_HOST)},
                           URL(f"https://{host(h)}/"))
    return jar


class Response:
    """What extract_cookies reads of a response: its headers."""

    def __init__(self, set_cookie):
        self.message = Message()
        self.message["Set-Cookie"] = set_cookie

    def info(self):
        return self.message


def cases(sizes):
    for size in sizes:
        # The host set last: aiohttp's jar keeps only the last 3300 cookies.
        last = size // PER_HOST - 1
        url = f"https://{host(last)}/page"
        jar, std = ours(size), stdlib(size)
        request = urllib.request.Request(url)
        expected = "; ".join(f"c{i}=value{i}-{last}" for i in range(PER_HOST))
        assert jar.cookie_header(url) == expected.encode()
        std.add_cookie_header(request)
        assert sorted(request.get_header("Cookie").split("; ")) == sorted(expected.split("; "))
        yield f"cookie_header, {size} cookies", lambda jar=jar, url=url: jar.cookie_header(url)
        yield (f"add_cookie_header, {size} cookies",
               lambda std=std, request=request: std.add_cookie_header(request))
        if aiohttp is not None:
            a = aio(size)
            target = URL(url)
            assert len(a.filter_cookies(target)) == PER_HOST
            yield (f"aiohttp filter_cookies, {size} cookies",
                   lambda a=a, target=target: a.filter_cookies(target))
    jar, std = CookieJar(), http.cookiejar.CookieJar()
    request, response = urllib.request.Request(url), Response(SET_COOKIE)
    yield "set_cookie, one header", lambda: jar.set_cookie(SET_COOKIE, url)
    yield "extract_cookies, one header", lambda: std.extract_cookies(response, request)


def timed(function, target_ns=2_000_000):
    """ns per call: as many calls as fill about target_ns."""
    calls = 1
    while True:
        start = time.perf_counter_ns()
        for _ in range(calls):
            function()
        elapsed = time.perf_counter_ns() - start
        if elapsed >= target_ns:
            return elapsed / calls
        calls *= 2 if elapsed < target_ns / 4 else 1 + int(target_ns / max(elapsed, 1))


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory(count=1_000_000, hosts=100_000):
    value = "v" * (60 - len("c00="))
    gc.collect()
    before = rss_bytes()
    jar = CookieJar(max_cookies=None, max_cookies_per_site=None)
    per_host = count // hosts
    for h in range(hosts):
        jar.set_cookies([f"c{i:02}={value}" for i in range(per_host)], f"https://{host(h)}/")
    gc.collect()
    grown = rss_bytes() - before
    assert len(jar) == count
    return grown, grown / count


RATIOS = [
    ("add_cookie_header / cookie_header", "add_cookie_header, {} cookies", "cookie_header, {} cookies", 200),
    ("aiohttp filter_cookies / cookie_header", "aiohttp filter_cookies, {} cookies", "cookie_header, {} cookies", 2),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=21)
    parser.add_argument("--no-memory", action="store_true")
    parser.add_argument("--json", type=Path)
    args = parser.parse_args()
    sizes = (3000, 30000)
    table = list(cases(sizes))
    samples = {label: [] for label, _ in table}
    for _ in range(args.rounds):
        for label, function in table:
            samples[label].append(timed(function))
    median = {label: statistics.median(values) for label, values in samples.items()}
    print(f"Python {sys.version.split()[0]}, medians of {args.rounds} rounds\n")
    print(f"| case | ns per call |\n|---|---:|")
    for label, _ in table:
        print(f"| {label} | {median[label]:,.0f} |")
    print("\n| ratio (same run) | 3000 cookies | 30,000 cookies | held to |\n|---|---:|---:|---:|")
    results = {"ns": median}
    for title, slow, fast, aim in RATIOS:
        if slow.format(3000) not in median:
            continue
        figures = [median[slow.format(n)] / median[fast.format(n)] for n in sizes]
        results[title] = figures
        print(f"| {title} | {figures[0]:,.1f} | {figures[1]:,.1f} | at least {aim} |")
    ratio = median["extract_cookies, one header"] / median["set_cookie, one header"]
    results["extract_cookies / set_cookie"] = ratio
    print(f"| extract_cookies / set_cookie, one header | {ratio:,.1f} | | at least 20 |")
    flat = median["cookie_header, 30000 cookies"] / median["cookie_header, 3000 cookies"]
    print(f"\ncookie_header at 30,000 cookies / at 3,000: {flat:.2f}")
    if not args.no_memory:
        grown, per_cookie = memory()
        results["memory"] = {"bytes": grown, "per_cookie": per_cookie}
        print(f"a million 60-byte cookies over 100,000 hosts: {grown / 2**20:,.0f} MiB "
              f"resident, {per_cookie:,.0f} bytes per cookie")
    if args.json:
        args.json.write_text(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()
