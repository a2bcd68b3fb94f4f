"""The native floor: what a call costs beyond the interpreter's own work.

Cases, each a lambda called in a loop:

- the jar's cookie_header for https://www.site0.com/a/b, which carries 10
  cookies, in jars of 300, 3,000 and 30,000 cookies (10 per site); the same
  for a site without cookies (a miss); and for a site whose 10 cookies make
  a 4 KB header;
- the floor it is held to: a dict lookup and a join of the same ten
  name=value bytes (what any cache of ready headers costs);
- browser.read_set_cookie of the full header from
  https://www.example.com/account, against http.cookiejar.parse_ns_headers
  of the same header;
- the jar's set_cookie replacing one cookie with a new value in a site of
  100, 10,000 and 30,000 cookies (a jar without limits), cycling over 1,024
  of its names;
- cookies.txt: save_cookies_txt and load_cookies_txt (a new jar, every
  cookie checked by the row contract) of 3,000 and 100,000 cookies, against
  http.cookiejar.MozillaCookieJar's save and load of the same file (time
  only: these are whole files).

Times: every case in this one process, the rounds interleaving the cases,
medians; the ratios compare figures of the same run.  With --callgrind, the
instructions per call under valgrind as well (PYTHONHASHSEED=0): a process
making 100 calls and one making 10,100, the difference over 10,000, less the
same figure for an empty lambda; the machine's load does not move them.

    python -P benchmarks/bench_native.py [--rounds N] [--callgrind] [--only TEXT]
"""

from __future__ import annotations

import argparse
import atexit
import http.cookiejar
import itertools
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from glimmering_copper_otter import browser
from glimmering_copper_otter.jar import CookieJar

# The children do not put this directory on sys.path (-P: 3.11 on).
SAFE_PATH = ["-P"] if sys.version_info >= (3, 11) else []

FULL = (b"sid=a%20b; Expires=Wed, 02 Jan 2030 03:04:05 GMT; Max-Age=3600; "
        b"Domain=example.com; Path=/; HttpOnly; Secure; SameSite=Lax")
FULL_TEXT = FULL.decode("latin-1")
ACCOUNT = "https://www.example.com/account"
PER_SITE = 10
HIT = "https://www.site0.com/a/b"
MISS = "https://www.nowhere.com/a/b"
BIG = "https://www.big.com/a/b"


def pairs(site):
    return [f"c{i}=value{i}-{site}".encode() for i in range(PER_SITE)]


def header_jar(count):
    """A jar of count cookies, 10 per site, and a site whose cookies make 4 KB."""
    jar = CookieJar(max_cookies=None, max_cookies_per_site=None)
    for site in range(count // PER_SITE):
        jar.set_cookies([p + b"; Path=/" for p in pairs(site)], f"https://www.site{site}.com/")
    jar.set_cookies([b"big%d=%s; Path=/" % (i, b"x" * 400) for i in range(PER_SITE)], BIG)
    assert jar.cookie_header(HIT) == b"; ".join(pairs(0))
    assert jar.cookie_header(MISS) == b""
    assert 4000 < len(jar.cookie_header(BIG)) < 4200
    return jar


def floor_table(count):
    """The floor: ready Cookie header pieces by host."""
    table = {f"www.site{site}.com": pairs(site) for site in range(count // PER_SITE)}
    assert b"; ".join(table["www.site0.com"]) == b"; ".join(pairs(0))
    return table


def one_site_jar(count):
    """A jar of count cookies on one site, and set_cookie replacing one of them."""
    url = "https://www.one.com/"
    jar = CookieJar(max_cookies=None, max_cookies_per_site=None)
    for start in range(0, count, 1000):
        jar.set_cookies([f"c{i}=0; Path=/" for i in range(start, min(count, start + 1000))], url)
    assert len(jar) == count
    # Each name in turn gets a value other than the one it has.
    names = [f"c{(j * 7919) % count}" for j in range(min(1024, count))]
    headers = itertools.cycle([f"{n}=1; Path=/" for n in names] + [f"{n}=0; Path=/" for n in names])
    return lambda: jar.set_cookie(next(headers), url)


def case_makers():
    """Case name -> a function that builds the case and returns its lambda."""
    makers = {"empty lambda": lambda: (lambda: None)}

    def header(count, url):
        def make():
            jar = header_jar(count)
            return lambda: jar.cookie_header(url)
        return make

    for count in (300, 3000, 30000):
        makers[f"cookie_header hit, {count:,} cookies"] = header(count, HIT)
    makers["cookie_header miss, 3,000 cookies"] = header(3000, MISS)
    makers["cookie_header 4 KB header, 3,000 cookies"] = header(3000, BIG)

    def floor():
        table = floor_table(3000)
        return lambda: b"; ".join(table["www.site0.com"])

    makers["floor: dict lookup and join"] = floor
    makers["read_set_cookie, full header"] = lambda: (
        lambda: browser.read_set_cookie(FULL, ACCOUNT))
    makers["parse_ns_headers, full header"] = lambda: (
        lambda: http.cookiejar.parse_ns_headers([FULL_TEXT]))
    for count in (100, 10000, 30000):
        makers[f"set_cookie replacing, one site of {count:,}"] = (
            lambda count=count: one_site_jar(count))
    for count in (3000, 100000):
        for side in ("jar", "MozillaCookieJar"):
            for action in ("save", "load"):
                makers[f"cookies.txt {action}, {count:,} cookies, {side}"] = (
                    lambda count=count, side=side, action=action:
                    cookies_txt(count, side, action))
    return makers


def cookies_txt(count, side, action):
    """Saving or loading a cookies.txt file of count cookies (10 per site)."""
    folder = tempfile.mkdtemp()
    atexit.register(shutil.rmtree, folder, True)
    path = os.path.join(folder, "cookies.txt")
    jar = CookieJar(max_cookies=None, max_cookies_per_site=None)
    for site in range(count // PER_SITE):
        jar.set_cookies([p + b"; Path=/; Max-Age=86400" for p in pairs(site)],
                        f"https://www.site{site}.com/")
    jar.save_cookies_txt(path)
    mozilla = http.cookiejar.MozillaCookieJar()
    mozilla.load(path)
    assert len(mozilla) == count
    if side == "jar" and action == "save":
        return lambda: jar.save_cookies_txt(path)
    if side == "jar":
        return lambda: CookieJar(max_cookies=None, max_cookies_per_site=None).load_cookies_txt(path)
    if action == "save":
        return lambda: mozilla.save(path)
    return lambda: http.cookiejar.MozillaCookieJar().load(path)


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


def collected(name, calls):
    """Instructions valgrind counts for a process that builds the case and calls it calls times."""
    with tempfile.TemporaryDirectory() as out:
        process = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}/cg.out",
             sys.executable, *SAFE_PATH, __file__, "--run", name, "--calls", str(calls)],
            capture_output=True, text=True, check=True,
            env={**os.environ, "PYTHONHASHSEED": "0"})
    return int(re.search(r"Collected : (\d+)", process.stderr).group(1))


def per_call(name):
    return (collected(name, 10100) - collected(name, 100)) / 10000


# (label, numerator, denominator, what the issue holds it to)
RATIOS = [
    ("cookie_header hit / floor", "cookie_header hit, 3,000 cookies",
     "floor: dict lookup and join", "at most 2"),
    ("cookie_header miss / floor", "cookie_header miss, 3,000 cookies",
     "floor: dict lookup and join", "at most 1"),
    ("cookie_header hit, 30,000 / 300 cookies", "cookie_header hit, 30,000 cookies",
     "cookie_header hit, 300 cookies", "about 1"),
    ("parse_ns_headers / read_set_cookie", "parse_ns_headers, full header",
     "read_set_cookie, full header", "at least 9"),
    ("set_cookie, one site of 30,000 / of 100", "set_cookie replacing, one site of 30,000",
     "set_cookie replacing, one site of 100", "about 1"),
] + [(f"cookies.txt {action}, {count:,}: MozillaCookieJar / jar",
      f"cookies.txt {action}, {count:,} cookies, MozillaCookieJar",
      f"cookies.txt {action}, {count:,} cookies, jar", "at least 1")
     for count in (3000, 100000) for action in ("save", "load")]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--callgrind", action="store_true")
    parser.add_argument("--only", help="the cases whose name contains this text")
    parser.add_argument("--run", help=argparse.SUPPRESS)  # the child valgrind counts
    parser.add_argument("--calls", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.callgrind and shutil.which("valgrind") is None:
        parser.error("--callgrind needs valgrind (apt-get install valgrind)")
    makers = case_makers()
    if args.run:
        function = makers[args.run]()
        for _ in range(args.calls):
            function()
        return
    names = [n for n in makers if n != "empty lambda" and (not args.only or args.only in n)]
    functions = {name: makers[name]() for name in names}
    samples = {name: [] for name in names}
    for _ in range(args.rounds):
        for name, function in functions.items():
            samples[name].append(timed(function))
    ns = {name: statistics.median(values) for name, values in samples.items()}
    counts = {}
    if args.callgrind:
        empty = per_call("empty lambda")
        counts = {name: per_call(name) - empty for name in names
                  if not name.startswith("cookies.txt")}
    print(f"Python {sys.version.split()[0]}, medians of {args.rounds} rounds"
          + (f"; instructions per call net of an empty lambda's {empty:,.0f}"
             if args.callgrind else "") + "\n")
    print("| case | ns per call |" + (" instructions |" if counts else ""))
    print("|---|---:|" + ("---:|" if counts else ""))
    for name in names:
        count = f" {counts[name]:,.0f} |" if name in counts else " |" if counts else ""
        print(f"| {name} | {ns[name]:,.0f} |" + count)
    print("\n| ratio (same run) | time |" + (" instructions |" if counts else "") + " held to |")
    print("|---|---:|" + ("---:|" if counts else "") + "---|")
    for label, top, bottom, aim in RATIOS:
        if top not in ns or bottom not in ns:
            continue
        line = f"| {label} | {ns[top] / ns[bottom]:.2f} |"
        if counts:
            line += f" {counts[top] / counts[bottom]:.2f} |" if top in counts else " |"
        print(f"{line} {aim} |")


if __name__ == "__main__":
    main()
