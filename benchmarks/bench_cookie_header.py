"""Cost of reading a Cookie request header, against werkzeug, Django and the
standard library.

Every case runs in this one process and the rounds interleave the cases, so
that the ratios compare figures taken under the same conditions.  Each round
gives each case a fresh header object (a copy made for the round), so that
nothing kept from an earlier round's object can help.

    python -P benchmarks/bench_cookie_header.py [--rounds N] [--json PATH]
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
import time
from http.cookies import SimpleCookie
from pathlib import Path

from django.conf import settings
from werkzeug.http import parse_cookie as werkzeug_parse_cookie

from glimmering_copper_otter.cookie_header import (
    parse_cookie_header,
    parse_cookie_header_pairs,
    write_cookie_header,
)

if not settings.configured:
    settings.configure()
from django.http.cookie import parse_cookie as django_parse_cookie  # noqa: E402

# A dozen cookies as a browser sends them to a typical site: analytics,
# session, CSRF, preferences, some percent-escapes, one quoted value.
TYPICAL = (
    '_ga=GA1.2.1234567890.1712345678; _gid=GA1.2.987654321.1712345678; '
    'sessionid=8f3a9c2e7b1d4f6a0e5c3b2a1d9f8e7c; csrftoken=Xk9mP2qR7sT4vW1yZ3aB6cD8eF0gH5jK; '
    'theme=dark; lang=fr-CA; tz=Europe%2FParis; cart=%7B%22items%22%3A3%7D; '
    'consent="analytics=1, ads=0"; _fbp=fb.1.1712345678901.1234567890; '
    'recent=a%2Cb%2Cc; prefs=compact%3Dtrue'
)
MANY = "; ".join(f"c{i}=v{i}" for i in range(3000))


def simple_cookie_load(text):
    SimpleCookie().load(text)


def fresh_str(text):
    return "".join([text[:1], text[1:]])


def fresh_bytes(text):
    return bytes(bytearray(text.encode("latin-1")))


def cases():
    for label, header in (("typical", TYPICAL), ("3000 cookies", MANY)):
        yield f"parse_cookie_header {label}, bytes", parse_cookie_header, header, fresh_bytes
        yield f"parse_cookie_header {label}, str", parse_cookie_header, header, fresh_str
        yield f"parse_cookie_header_pairs {label}, bytes", parse_cookie_header_pairs, header, fresh_bytes
        yield f"werkzeug parse_cookie {label}", werkzeug_parse_cookie, header, fresh_str
        yield f"Django parse_cookie {label}", django_parse_cookie, header, fresh_str
        yield f"SimpleCookie().load {label}", simple_cookie_load, header, fresh_str
    typical_dict = parse_cookie_header(TYPICAL)
    yield "write_cookie_header typical", write_cookie_header, typical_dict, dict


RATIOS = [
    # (label, slower case, faster case, target)
    ("typical: werkzeug / parse_cookie_header (str)", "werkzeug parse_cookie typical",
     "parse_cookie_header typical, str", 20),
    ("typical: Django / parse_cookie_header (str)", "Django parse_cookie typical",
     "parse_cookie_header typical, str", 8),
    ("typical: SimpleCookie().load / parse_cookie_header (str)", "SimpleCookie().load typical",
     "parse_cookie_header typical, str", 60),
    ("typical: werkzeug / parse_cookie_header (bytes)", "werkzeug parse_cookie typical",
     "parse_cookie_header typical, bytes", None),
    ("typical: Django / parse_cookie_header (bytes)", "Django parse_cookie typical",
     "parse_cookie_header typical, bytes", None),
    ("3000 cookies: werkzeug / parse_cookie_header (str)", "werkzeug parse_cookie 3000 cookies",
     "parse_cookie_header 3000 cookies, str", None),
    ("3000 cookies: Django / parse_cookie_header (str)", "Django parse_cookie 3000 cookies",
     "parse_cookie_header 3000 cookies, str", None),
    ("3000 cookies: SimpleCookie().load / parse_cookie_header (str)",
     "SimpleCookie().load 3000 cookies", "parse_cookie_header 3000 cookies, str", None),
]


def calibrate(function, argument, target_seconds):
    n = 1
    while True:
        start = time.perf_counter()
        for _ in range(n):
            function(argument)
        elapsed = time.perf_counter() - start
        if elapsed >= target_seconds / 4 or n >= 1 << 22:
            return max(1, int(n * target_seconds / max(elapsed, 1e-9)))
        n *= 4


def measure(rounds, sample_seconds):
    table = list(cases())
    counts = {name: calibrate(f, make(arg), sample_seconds) for name, f, arg, make in table}
    samples = {name: [] for name, *_ in table}
    for _ in range(rounds):
        for name, function, argument, make in table:
            fresh = make(argument)
            n = counts[name]
            start = time.perf_counter_ns()
            for _ in range(n):
                function(fresh)
            samples[name].append((time.perf_counter_ns() - start) / n)
    return {name: statistics.median(values) for name, values in samples.items()}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--sample-seconds", type=float, default=0.02)
    parser.add_argument("--json", help="write the medians and ratios as JSON to this path")
    args = parser.parse_args(argv)

    results = measure(args.rounds, args.sample_seconds)
    print(f"Python {sys.version.split()[0]}, {args.rounds} rounds, median ns per call; "
          f"typical header {len(TYPICAL)} bytes, 3000-cookie header {len(MANY)} bytes\n")
    width = max(map(len, results))
    print(f"| {'case':<{width}} | {'ns per call':>11} |")
    print(f"|{'-' * (width + 2)}|{'-' * 13}|")
    for name, value in results.items():
        print(f"| {name:<{width}} | {value:>11,.0f} |")
    print("\n| ratio | measured | target |\n|---|---|---|")
    ratios = []
    for label, slower, faster, target in RATIOS:
        ratio = results[slower] / results[faster]
        verdict = "" if target is None else f">= {target} {'met' if ratio >= target else 'MISSED'}"
        ratios.append({"label": label, "ratio": ratio, "target": target})
        print(f"| {label} | {ratio:.1f} | {verdict} |")
    if args.json:
        Path(args.json).write_text(json.dumps({"medians_ns": results, "ratios": ratios}, indent=2))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
