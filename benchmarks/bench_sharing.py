"""One jar file shared by connections and processes, against a lone file jar
and a memory jar.

- A pair of calls, `set_cookie` (a persistent cookie, replacing one of ten)
  then `cookie_header`, on a file jar of 3,000 and of 100,000 cookies: a
  lone connection; two connections in this process taking turns; two
  processes taking turns (the hand-off between them, through a pipe, is
  outside the timed calls).  Each call after the other's write reads what
  changed since its mark.
- A session cookie set on a file jar (never written: no transaction),
  against the same call on a memory jar.
- Opening a jar of 100,000 cookies, against a bare `SELECT` of the same
  columns through the same `sqlite3` module with `fetchall()`.

Every figure is the median of the rounds; the cases of a size interleave.

    python -P benchmarks/bench_sharing.py [--rounds N] [--json PATH]
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import os
import sqlite3
import statistics
import sys
import tempfile
import time
from pathlib import Path

from glimmering_copper_otter.jar import CookieJar
from glimmering_copper_otter.stores import sqlite as store

URL = "https://www.site0.test/a/b"
UNLIMITED = {"max_cookies": None, "max_cookies_per_site": None}
PAIRS = 100  # pairs per round and connection


def make_file(path, count):
    rows = [(b"c%d" % i, b"value%d" % i, f"www.site{h}.test", True, b"/", 4102444800000000,
             10 ** 15 + h * 10 + i, 10 ** 15 + h * 10 + i, False, False, 0, False, "", -1, 2,
             443, True, False) for h in range(count // 10) for i in range(10)]
    with CookieJar(path, **UNLIMITED) as jar:
        jar.load_rows(rows)


def pair(jar, i):
    jar.set_cookie(b"c%d=v%d; Max-Age=3600" % (i % 10, i), URL)
    jar.cookie_header(URL)


def timed_pairs(jar, start=0, count=PAIRS):
    begin = time.perf_counter_ns()
    for i in range(start, start + count):
        pair(jar, i)
    return (time.perf_counter_ns() - begin) / count / 1000


def lone(path):
    with CookieJar(path, **UNLIMITED) as jar:
        return timed_pairs(jar)


def two_connections(path):
    a, b = CookieJar(path, **UNLIMITED), CookieJar(path, **UNLIMITED)
    spent = 0
    for i in range(PAIRS):
        jar = a if i % 2 else b
        begin = time.perf_counter_ns()
        pair(jar, i)
        spent += time.perf_counter_ns() - begin
    a.close()
    b.close()
    return spent / PAIRS / 1000


def _turns(path, mine, theirs, first, out):
    jar = CookieJar(path, **UNLIMITED)
    spent = 0
    for i in range(PAIRS // 2):
        if not (first and i == 0):
            mine.recv()
        begin = time.perf_counter_ns()
        pair(jar, 2 * i + (0 if first else 1))
        spent += time.perf_counter_ns() - begin
        theirs.send(1)
    jar.close()
    out.send(spent / (PAIRS // 2) / 1000)


def two_processes(path):
    context = multiprocessing.get_context("fork")
    to_a, from_b = context.Pipe()
    to_b, from_a = context.Pipe()
    results_a, out_a = context.Pipe()
    results_b, out_b = context.Pipe()
    a = context.Process(target=_turns, args=(path, to_a, from_a, True, out_a))
    b = context.Process(target=_turns, args=(path, to_b, from_b, False, out_b))
    a.start()
    b.start()
    times = [results_a.recv(), results_b.recv()]
    a.join()
    b.join()
    return statistics.mean(times)


def session_file(path):
    with CookieJar(path, **UNLIMITED) as jar:
        return timed_calls(lambda i: jar.set_cookie(b"s%d=1" % (i % 10), URL))


def session_memory(_path):
    jar = CookieJar(**UNLIMITED)
    return timed_calls(lambda i: jar.set_cookie(b"s%d=1" % (i % 10), URL))


def timed_calls(call, count=20000):
    begin = time.perf_counter_ns()
    for i in range(count):
        call(i)
    return (time.perf_counter_ns() - begin) / count / 1000


def opening(path):
    begin = time.perf_counter_ns()
    CookieJar(path, **UNLIMITED).close()
    return (time.perf_counter_ns() - begin) / 1e6


def select(path):
    db = sqlite3.connect(path)
    columns = ", ".join(store._COLUMNS)
    begin = time.perf_counter_ns()
    db.execute(f"SELECT {columns} FROM cookies WHERE jar='default'").fetchall()
    spent = (time.perf_counter_ns() - begin) / 1e6
    db.close()
    return spent


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--json", type=Path)
    args = parser.parse_args(argv)
    results = {}
    with tempfile.TemporaryDirectory() as folder:
        for size in (3000, 100000):
            path = os.path.join(folder, f"jar{size}.db")
            make_file(path, size)
            cases = {"lone file jar": lone, "two connections": two_connections,
                     "two processes": two_processes}
            if size == 3000:
                cases |= {"session cookie, file jar": session_file,
                          "session cookie, memory jar": session_memory}
            else:
                cases |= {"open the jar": opening, "SELECT ... fetchall()": select}
            rounds = {name: [] for name in cases}
            for _ in range(args.rounds):
                for name, case in cases.items():
                    rounds[name].append(case(path))
            results[size] = {name: statistics.median(values) for name, values in rounds.items()}
    small, large = results[3000], results[100000]
    print("| case | 3,000 cookies | 100,000 cookies |")
    print("|---|---:|---:|")
    for name in ("lone file jar", "two connections", "two processes"):
        print(f"| pair of calls, {name} (µs) | {small[name]:,.0f} | {large[name]:,.0f} |")
    print()
    print("| ratio (same run) | 3,000 | 100,000 | held to |")
    print("|---|---:|---:|---:|")
    for name in ("two connections", "two processes"):
        print(f"| {name} / lone file jar | {small[name] / small['lone file jar']:.2f} "
              f"| {large[name] / large['lone file jar']:.2f} | at most 3 |")
    session = small["session cookie, file jar"] / small["session cookie, memory jar"]
    print(f"| session cookie, file jar / memory jar | {session:.2f} | | at most 3 |")
    opened = large["open the jar"] / large["SELECT ... fetchall()"]
    print(f"| open 100,000 cookies / SELECT fetchall | | {opened:.2f} | at most 1.5 |")
    print()
    print(f"session cookie: file jar {small['session cookie, file jar']:.2f} µs, memory jar "
          f"{small['session cookie, memory jar']:.2f} µs; opening 100,000 cookies "
          f"{large['open the jar']:.0f} ms, SELECT {large['SELECT ... fetchall()']:.0f} ms")
    if args.json:
        args.json.write_text(json.dumps(results, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
