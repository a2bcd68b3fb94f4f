"""Cost per call of writer.set_cookie_header against write_cookie_for_response
of the same cookie, prebuilt as a Cookie, and against werkzeug's dump_cookie.

Every case runs in this one process and the rounds interleave the cases, so
the ratios compare figures taken under the same conditions.  With
--callgrind, each case is also counted in instructions per call under
valgrind (two runs of a case, with and without its calls, subtracted), a
figure that does not depend on the machine's load.

    python -P benchmarks/front_door_bench.py [--rounds N] [--callgrind]
"""

from __future__ import annotations

import argparse
import re
import statistics
import subprocess
import sys
import tempfile
import time
from datetime import datetime
from pathlib import Path

from glimmering_copper_otter.cookies import Cookie, CookieSameSiteMode
from glimmering_copper_otter.writer import set_cookie_header, write_cookie_for_response

# The children do not put this directory on sys.path (-P: 3.11 on).
SAFE_PATH = ["-P"] if sys.version_info >= (3, 11) else []

EXPIRES = datetime(2030, 1, 2, 3, 4, 5)
FULL_COOKIE = Cookie("sid", "abc123", EXPIRES, "example.com", "/", True, True, 3600,
                     CookieSameSiteMode.LAX)
PLAIN_COOKIE = Cookie("sid", "abc123")


def full_front_door():
    return set_cookie_header("sid", "abc123", expires=EXPIRES, max_age=3600,
                             domain="example.com", path="/", http_only=True, secure=True,
                             same_site="lax")


def plain_front_door():
    return set_cookie_header("sid", "abc123", path=None)


def cases():
    found = {
        "write_cookie_for_response, full": lambda: write_cookie_for_response(FULL_COOKIE),
        "set_cookie_header, full": full_front_door,
        "write_cookie_for_response, name and value": lambda: write_cookie_for_response(
            PLAIN_COOKIE),
        "set_cookie_header, name and value": plain_front_door,
    }
    try:
        from werkzeug.http import dump_cookie
    except ImportError:
        return found
    found["werkzeug dump_cookie, full"] = lambda: dump_cookie(
        "sid", "abc123", max_age=3600, expires=EXPIRES, domain="example.com", path="/",
        secure=True, httponly=True, samesite="Lax")
    return found


PAIRS = [("set_cookie_header, full", "write_cookie_for_response, full"),
         ("set_cookie_header, name and value", "write_cookie_for_response, name and value")]


def instructions(name, calls):
    """Instructions that valgrind counts for a process making calls calls."""
    with tempfile.TemporaryDirectory() as out:
        code = (f"import sys; sys.path.insert(0, {str(Path(__file__).parent)!r})\n"
                f"import front_door_bench as b\nf = b.cases()[{name!r}]\n"
                f"f()\nfor _ in range({calls}): f()\n")
        process = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}/cg.out",
             sys.executable, *SAFE_PATH, "-c", code], capture_output=True, text=True, check=True)
    return int(re.search(r"Collected : (\d+)", process.stderr).group(1))


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=21)
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--callgrind", action="store_true")
    args = parser.parse_args(argv)
    found = cases()
    for name, call in found.items():
        call()  # every case works before any is timed
    samples = {name: [] for name in found}
    for _ in range(args.rounds):
        for name, call in found.items():
            start = time.perf_counter_ns()
            for _ in range(args.calls):
                call()
            samples[name].append((time.perf_counter_ns() - start) / args.calls)
    medians = {name: statistics.median(values) for name, values in samples.items()}
    print(f"Python {sys.version.split()[0]}, {args.rounds} rounds of {args.calls} calls, "
          "median ns per call (a Python loop's call included)\n")
    for name, ns in medians.items():
        print(f"{name:45s} {ns:8.0f} ns")
    print()
    for front, plain in PAIRS:
        print(f"{front} / {plain}: {medians[front] / medians[plain]:.2f}")
    if args.callgrind:
        print("\ninstructions per call (callgrind)")
        counts = {}
        for name in found:
            counts[name] = (instructions(name, 2000) - instructions(name, 0)) / 2000
            print(f"{name:45s} {counts[name]:8.0f}")
        for front, plain in PAIRS:
            print(f"{front} / {plain}: {counts[front] / counts[plain]:.2f}")


if __name__ == "__main__":
    main()
