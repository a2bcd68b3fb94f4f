"""Cost per call of browser.read_set_cookie against http.cookiejar.parse_ns_headers
(and aiohttp's Set-Cookie parser when it is installed), on the full header of
benchmarks/bench.py, with a url.  Every case runs in this one process and the
rounds interleave the cases, so the ratios compare figures taken under the
same conditions.

    python -P benchmarks/browser_bench.py [--rounds N]
"""

from __future__ import annotations

import argparse
import datetime as dt
import http.cookiejar
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench import FULL  # noqa: E402

from glimmering_copper_otter import browser  # noqa: E402

URL = "https://www.example.com/account/settings"
NOW = dt.datetime(2026, 12, 9, tzinfo=dt.timezone.utc)
TEXT = FULL.decode("latin-1")


def cases():
    found = {
        "browser.read_set_cookie (url, now)": lambda: browser.read_set_cookie(FULL, URL, now=NOW),
        "browser.read_set_cookie (url)": lambda: browser.read_set_cookie(FULL, URL),
        "http.cookiejar.parse_ns_headers": lambda: http.cookiejar.parse_ns_headers([TEXT]),
    }
    try:
        from aiohttp.abc import parse_set_cookie_headers
    except ImportError:
        pass
    else:
        found["aiohttp parse_set_cookie_headers"] = lambda: parse_set_cookie_headers([TEXT])
    return found


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--calls", type=int, default=20000)
    args = parser.parse_args(argv)
    samples = {name: [] for name in cases()}
    for _ in range(args.rounds):
        for name, call in cases().items():
            start = time.perf_counter_ns()
            for _ in range(args.calls):
                call()
            samples[name].append((time.perf_counter_ns() - start) / args.calls)
    medians = {name: statistics.median(values) for name, values in samples.items()}
    base = medians["http.cookiejar.parse_ns_headers"]
    print(f"Python {sys.version.split()[0]}, {args.rounds} rounds of {args.calls} calls, "
          f"median ns per call; header {len(FULL)} bytes\n")
    for name, ns in medians.items():
        print(f"{name:40s} {ns:9.0f} ns   {base / ns:5.1f}x parse_ns_headers' speed")


if __name__ == "__main__":
    main()
