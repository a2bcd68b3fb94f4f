"""Cost per call of the cookie codec, against the standard library and werkzeug.

Every case runs in this one process, and the rounds interleave the cases, so
that the ratios compare figures taken under the same conditions.  The writer
is timed from a compiled loop (benchmarks/loops.cpp, built on the fly), so its
figure is the writer's own cost rather than that of a Python call.

    python benchmarks/bench.py [--rounds N] [--chart PATH] [--json PATH]
"""

from __future__ import annotations

import argparse
import email.utils
import http.cookiejar
import importlib.util
import itertools
import json
import os
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
import urllib.parse
from datetime import datetime
from http.cookies import SimpleCookie
from pathlib import Path

import glimmering_copper_otter
from glimmering_copper_otter import cookies

HERE = Path(__file__).resolve().parent

SHORT = b"sid=abc123; Path=/"
FULL = (
    b"sid=a%20b; Expires=Wed, 02 Jan 2030 03:04:05 GMT; Max-Age=3600; "
    b"Domain=example.com; Path=/; HttpOnly; Secure; SameSite=Lax"
)
ESCAPED = b"prefs=" + b"%E2%9C%93%20ok%3B" * 40 + b"; Path=/"

FULL_COOKIE = cookies.parse_cookie(FULL)
PLAIN_COOKIE = cookies.Cookie("sid", "abc123")


def build_loops():
    """Compiles benchmarks/loops.cpp against the installed package."""
    out_dir = Path(tempfile.mkdtemp(prefix="cookie-bench-"))
    target = out_dir / ("cookie_loops" + sysconfig.get_config_var("EXT_SUFFIX"))
    include_dirs = {sysconfig.get_path("include"), sysconfig.get_path("platinclude")}
    package_dir = os.path.dirname(glimmering_copper_otter.__file__)
    command = [
        os.environ.get("CXX", "g++"), "-std=c++20", "-O2", "-shared", "-fPIC",
        *(f"-I{d}" for d in include_dirs), f"-I{package_dir}",
        str(HERE / "loops.cpp"), "-o", str(target),
    ]
    subprocess.run(command, check=True)
    spec = importlib.util.spec_from_file_location("cookie_loops", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class LibraryPathsOnly:
    """Rebinds quote, unquote and parsedate_to_datetime to equal wrappers, so
    that the module calls the standard library instead of its native code."""

    def __enter__(self):
        self.saved = {n: getattr(cookies, n) for n in ("quote", "unquote", "parsedate_to_datetime")}
        cookies.quote = lambda text: urllib.parse.quote(text)
        cookies.unquote = lambda text: urllib.parse.unquote(text)
        cookies.parsedate_to_datetime = lambda text: email.utils.parsedate_to_datetime(text)

    def __exit__(self, *exc):
        for name, value in self.saved.items():
            setattr(cookies, name, value)


def python_loop(function, *args):
    def run(n):
        for _ in itertools.repeat(None, n):
            function(*args)
    return run


def with_library_paths(run):
    def wrapped(n):
        with LibraryPathsOnly():
            run(n)
    return wrapped


def make_cases(loops):
    from werkzeug.http import dump_cookie

    full_text = FULL.decode()
    short_text = SHORT.decode()
    escaped_text = ESCAPED.decode()

    def simple_cookie_load(text):
        SimpleCookie().load(text)

    full_morsel = SimpleCookie(full_text)["sid"]
    plain_morsel = SimpleCookie("sid=abc123")["sid"]
    expires = datetime(2030, 1, 2, 3, 4, 5)

    def dump_full():
        dump_cookie("sid", "a b", max_age=3600, expires=expires, path="/",
                    domain="example.com", secure=True, httponly=True, samesite="Lax")

    def dump_plain():
        dump_cookie("sid", "abc123")

    return {
        # Reading.
        "parse_cookie short": python_loop(cookies.parse_cookie, SHORT),
        "parse_cookie full": python_loop(cookies.parse_cookie, FULL),
        "parse_cookie percent-escapes": python_loop(cookies.parse_cookie, ESCAPED),
        "parse_cookie full, library paths": with_library_paths(python_loop(cookies.parse_cookie, FULL)),
        "parse_cookie percent-escapes, library paths": with_library_paths(
            python_loop(cookies.parse_cookie, ESCAPED)),
        "parse_cookie full, C entry in a loop": lambda n: loops.parse_loop(FULL, n),
        "Cookie(...) of the short header": python_loop(cookies.Cookie, "sid", "abc123", None, None, "/"),
        "SimpleCookie.load short": python_loop(simple_cookie_load, short_text),
        "SimpleCookie.load full": python_loop(simple_cookie_load, full_text),
        "SimpleCookie.load percent-escapes": python_loop(simple_cookie_load, escaped_text),
        "cookiejar parse_ns_headers full": python_loop(http.cookiejar.parse_ns_headers, [full_text]),
        # Writing.
        "write_cookie_for_response full": lambda n: loops.write_loop(FULL_COOKIE, n),
        "write_cookie_for_response name/value": lambda n: loops.write_loop(PLAIN_COOKIE, n),
        "write_cookie_for_response full, library paths": with_library_paths(
            lambda n: loops.write_loop(FULL_COOKIE, n)),
        "Morsel.OutputString full": python_loop(full_morsel.OutputString),
        "Morsel.OutputString name/value": python_loop(plain_morsel.OutputString),
        "werkzeug dump_cookie full": python_loop(dump_full),
        "werkzeug dump_cookie name/value": python_loop(dump_plain),
    }


RATIOS = [
    # (label, slower case, faster case, target, whether the target is a floor)
    ("parse full: SimpleCookie.load / parse_cookie", "SimpleCookie.load full", "parse_cookie full", 30, True),
    ("parse full: parse_ns_headers / parse_cookie", "cookiejar parse_ns_headers full", "parse_cookie full", None, True),
    ("write full: Morsel.OutputString / writer", "Morsel.OutputString full", "write_cookie_for_response full", 20, True),
    ("write full: dump_cookie / writer", "werkzeug dump_cookie full", "write_cookie_for_response full", 20, True),
    ("write name/value: Morsel.OutputString / writer", "Morsel.OutputString name/value", "write_cookie_for_response name/value", None, True),
    ("write name/value: dump_cookie / writer", "werkzeug dump_cookie name/value", "write_cookie_for_response name/value", None, True),
    ("fast paths: parse full, library paths / native", "parse_cookie full, library paths", "parse_cookie full", 5, True),
    ("fast paths: percent-escapes, library paths / native", "parse_cookie percent-escapes, library paths", "parse_cookie percent-escapes", None, True),
    ("fast paths: write full, library paths / native", "write_cookie_for_response full, library paths", "write_cookie_for_response full", None, True),
    ("parse short / Cookie(...) of the same cookie", "parse_cookie short", "Cookie(...) of the short header", 2, False),
]


def calibrate(run, target_seconds):
    n = 1
    while True:
        start = time.perf_counter()
        run(n)
        elapsed = time.perf_counter() - start
        if elapsed >= target_seconds / 4 or n >= 1 << 24:
            return max(1, int(n * target_seconds / max(elapsed, 1e-9)))
        n *= 4


def measure(cases, rounds, sample_seconds):
    counts = {name: calibrate(run, sample_seconds) for name, run in cases.items()}
    samples = {name: [] for name in cases}
    for _ in range(rounds):
        for name, run in cases.items():
            n = counts[name]
            start = time.perf_counter_ns()
            run(n)
            samples[name].append((time.perf_counter_ns() - start) / n)
    return {name: statistics.median(values) for name, values in samples.items()}


def median_ns(function, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter_ns()
        function()
        times.append(time.perf_counter_ns() - start)
    return statistics.median(times)


def scaling(loops, rounds):
    """How the cost of parse_cookie and the writer grows with the input."""
    rows = []
    for count in (1_000, 10_000, 100_000):
        header = b"sid=abc; " + b"; ".join(b"a%d=b" % i for i in range(count))
        ns = median_ns(lambda: cookies.parse_cookie(header), rounds)
        rows.append((f"parse, {count} attributes", len(header), ns))
    for size in (10_000, 100_000, 1_000_000):
        header = ("%E2%9C%93" * (size // 9)).encode() + b"=v; Path=/"
        ns = median_ns(lambda: cookies.parse_cookie(header), rounds)
        rows.append((f"parse, {len(header)} byte escaped name", len(header), ns))
    for size in (10_000, 100_000, 1_000_000):
        cookie = cookies.Cookie("sid", "v", path="/" * size)
        ns = median_ns(lambda: loops.write_loop(cookie, 1), rounds)
        rows.append((f"write, {size} byte path", size, ns))
    return rows


def draw_chart(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = list(results)
    values = [results[n] for n in names]

    def colour(name):
        if not name.startswith(("parse_cookie", "write_cookie", "Cookie(")):
            return "#8c8c8c"  # a peer
        return "#e0b48c" if "library paths" in name else "#b87333"

    figure, axes = plt.subplots(figsize=(9, 0.38 * len(names) + 1))
    axes.barh(names, values, color=[colour(n) for n in names])
    axes.set_xscale("log")
    axes.invert_yaxis()
    axes.set_xlabel("nanoseconds per call (median, log scale)")
    axes.set_title("cookies (copper; pale: on the library paths) and its peers (grey)")
    for index, value in enumerate(values):
        axes.text(value, index, f" {value:,.0f}", va="center", fontsize=8)
    figure.tight_layout()
    figure.savefig(path, dpi=110)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--sample-seconds", type=float, default=0.02)
    parser.add_argument("--chart", help="write a bar chart (PNG) to this path")
    parser.add_argument("--json", help="write the medians and ratios as JSON to this path")
    parser.add_argument("--no-scaling", action="store_true", help="skip the input-size scaling run")
    args = parser.parse_args(argv)

    loops = build_loops()
    results = measure(make_cases(loops), args.rounds, args.sample_seconds)

    print(f"Python {sys.version.split()[0]}, {args.rounds} rounds, median ns per call\n")
    width = max(map(len, results))
    print(f"| {'case':<{width}} | {'ns per call':>11} |")
    print(f"|{'-' * (width + 2)}|{'-' * 13}|")
    for name, value in results.items():
        print(f"| {name:<{width}} | {value:>11,.0f} |")

    print()
    ratios = []
    print("| ratio | measured | target |")
    print("|---|---|---|")
    for label, slower, faster, target, floor in RATIOS:
        ratio = results[slower] / results[faster]
        if target is None:
            verdict = ""
        elif floor:
            verdict = f">= {target} {'met' if ratio >= target else 'MISSED'}"
        else:
            verdict = f"<= {target} {'met' if ratio <= target else 'MISSED'}"
        ratios.append({"label": label, "ratio": ratio, "target": target})
        print(f"| {label} | {ratio:.1f} | {verdict} |")

    if not args.no_scaling:
        print()
        print("| growing input | bytes | ms | ns per byte |")
        print("|---|---|---|---|")
        for label, size, ns in scaling(loops, max(3, args.rounds // 3)):
            print(f"| {label} | {size:,} | {ns / 1e6:.2f} | {ns / size:.2f} |")

    if args.chart:
        draw_chart(results, args.chart)
        print(f"\nchart written to {args.chart}")
    if args.json:
        Path(args.json).write_text(json.dumps({"medians_ns": results, "ratios": ratios}, indent=2))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
