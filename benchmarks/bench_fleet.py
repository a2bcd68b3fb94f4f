"""Workers sharing one jar: on a PostgreSQL server against in one SQLite
file.

- 1, 2, 4 and 8 processes on one jar of 3,000 cookies, each making pairs of
  calls as fast as it can: `set_cookie` (a persistent cookie, replacing one
  of ten of its own) then `cookie_header`.  Calls per second (every call of
  every process, from the first start to the last end) and the 99th
  percentile of each call's latency.  The server is a throw-away one on this
  machine (tools/postgres_server.py), reached through a Unix socket; on 2
  cores with the server beside the workers the curve shows contention, not
  a fleet's scaling.
- `cookie_header` on the server's jar of 3,000 and of 100,000 cookies when
  no worker changed it, against one round trip to the server on the jar's
  own connection (the read of the jar's counter the call makes, a prepared
  statement through psycopg's libpq wrapper; and a bare `SELECT 1`) and the
  same call on a memory jar: per-call samples, the cases interleaved call
  by call, their medians; with --callgrind, the instructions of each call
  too (valgrind; the wait for the server costs none).  The server's jar
  answers from its local copy (the default); "strict" is reads="strict",
  one round trip a read.
- --crawl: an async crawl of a loopback HTTP server (each answer sets a
  cookie), aiohttp and httpx, 8 requests at once, on a memory jar and on
  the server's jar through a loopback proxy adding 0 and 20 ms each way:
  total time, and the event loop's lag (a 1 ms ticker's lateness, median
  and 95th percentile).

The table is printed; the plot goes to benchmarks/fleet.png (--plot PATH).

    python -P benchmarks/bench_fleet.py [--pairs N] [--calls N] [--callgrind] [--json PATH]
    python -P benchmarks/bench_fleet.py --crawl [--requests N]
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from glimmering_copper_otter.jar import CookieJar  # noqa: E402
from tools import postgres_server  # noqa: E402

# The children do not put this directory on sys.path (-P: 3.11 on).
SAFE_PATH = ["-P"] if sys.version_info >= (3, 11) else []

URL = "https://www.site0.test/a/b"
UNLIMITED = {"max_cookies": None, "max_cookies_per_site": None}
PROCESSES = (1, 2, 4, 8)


def rows(count):
    return [(b"c%d" % i, b"value%d" % i, f"www.site{h}.test", True, b"/", 4102444800000000,
             10 ** 15 + h * 10 + i, 10 ** 15 + h * 10 + i, False, False, 0, False, "", -1, 2,
             443, True, False) for h in range(count // 10) for i in range(10)]


def open_jar(where, reads="local", timeout=5.0):
    if where.startswith("postgresql://"):
        from glimmering_copper_otter.stores.postgres import PostgresStore

        return CookieJar(store=PostgresStore(where, reads=reads, timeout=timeout), **UNLIMITED)
    return CookieJar(where, timeout=timeout, **UNLIMITED)


def fill(where, count):
    with open_jar(where, "strict", 300.0) as jar:  # 100,000 rows in one transaction
        jar.clear()
        jar.load_rows(rows(count))


def worker(where, number, pairs, barrier, out):
    jar = open_jar(where)
    setting, sending = [], []
    barrier.wait()
    start = time.perf_counter()
    for i in range(pairs):
        begin = time.perf_counter_ns()
        jar.set_cookie(b"w%dc%d=v%d; Max-Age=3600" % (number, i % 10, i), URL)
        middle = time.perf_counter_ns()
        jar.cookie_header(URL)
        setting.append(middle - begin)
        sending.append(time.perf_counter_ns() - middle)
    end = time.perf_counter()
    jar.close()
    out.put((start, end, setting, sending))


def p99(values):
    return statistics.quantiles(values, n=100)[98] / 1000


def fleet(where, processes, pairs):
    context = multiprocessing.get_context("fork")
    barrier, out = context.Barrier(processes), context.Queue()
    workers = [context.Process(target=worker, args=(where, n, pairs, barrier, out))
               for n in range(processes)]
    for process in workers:
        process.start()
    got = [out.get(timeout=600) for _ in workers]
    for process in workers:
        process.join()
    wall = max(end for _, end, _, _ in got) - min(start for start, _, _, _ in got)
    setting = [v for _, _, values, _ in got for v in values]
    sending = [v for _, _, _, values in got for v in values]
    return {"calls/s": 2 * pairs * processes / wall, "set p99": p99(setting),
            "header p99": p99(sending)}


def header_costs(server, calls):
    """Per-call samples, the cases interleaved call by call (the machine's
    drift and the backends' wake-ups fall on all alike); their medians."""
    found = {}
    for size in (3000, 100000):
        url = server.fresh()
        fill(url, size)
        jar, memory = open_jar(url), CookieJar(**UNLIMITED)
        strict = open_jar(url, "strict")
        memory.load_rows(rows(size))
        connection = jar.store._db  # the jar's own connection to the server
        counter = jar.store._quick
        cases = {"server jar": lambda: jar.cookie_header(URL),
                 "server jar, strict": lambda: strict.cookie_header(URL),
                 "round trip: the counter's read": counter,
                 "round trip: SELECT 1": lambda: connection.execute("SELECT 1"),
                 "memory jar": lambda: memory.cookie_header(URL)}
        samples = {name: [] for name in cases}
        clock = time.perf_counter_ns
        for _ in range(calls):
            for name, call in cases.items():
                begin = clock()
                call()
                samples[name].append(clock() - begin)
        found[size] = {name: statistics.median(values) / 1000
                       for name, values in samples.items()}
        jar.close()
        strict.close()
    return found


def run_case(case, url, size, calls):
    """The --run mode: makes the case and calls it calls times (valgrind
    counts the instructions of the whole process)."""
    if case == "memory jar":
        memory = CookieJar(**UNLIMITED)
        memory.load_rows(rows(size))
        call = lambda: memory.cookie_header(URL)  # noqa: E731
    else:
        jar = open_jar(url, "strict" if case == "strict" else "local")
        call = jar.store._quick if case == "counter" else lambda: jar.cookie_header(URL)
    for _ in range(calls):
        call()


def instructions(case, url, size):
    """Instructions per call (two counts of a whole process, subtracted)."""
    counts = []
    for calls in (100, 2100):
        with tempfile.TemporaryDirectory() as out:
            done = subprocess.run(
                ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}/cg.out",
                 sys.executable, *SAFE_PATH, __file__, "--run", case, "--url", url, "--size",
                 str(size), "--calls", str(calls)], capture_output=True, text=True, check=True,
                env={**os.environ, "PYTHONHASHSEED": "0"})
        counts.append(int(re.search(r"Collected : (\d+)", done.stderr).group(1)))
    return (counts[1] - counts[0]) / 2000


def plot(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (rate, tail) = plt.subplots(1, 2, figsize=(10, 4))
    for store, style, color in (("PostgreSQL", "o-", "tab:blue"),
                                ("SQLite file", "s--", "tab:orange")):
        counts = list(PROCESSES)
        rate.plot(counts, [results[store][p]["calls/s"] for p in counts], style, color=color,
                  label=store)
        for call, shade in (("set p99", 1.0), ("header p99", 0.45)):
            tail.plot(counts, [results[store][p][call] for p in counts], style, color=color,
                      alpha=shade, label=f"{store}, {call.split()[0]}")
    rate.set(xlabel="processes", ylabel="calls per second", xticks=PROCESSES,
             title="One shared jar: calls per second")
    tail.set(xlabel="processes", ylabel="µs", xticks=PROCESSES, yscale="log",
             title="99th-percentile latency")
    rate.legend()
    tail.legend(fontsize="small")
    figure.suptitle("2 cores, server and workers on one machine: contention, not fleet scaling",
                    fontsize="small")
    figure.tight_layout()
    figure.savefig(path, dpi=100)


async def _crawl(jar, client, base, requests):
    """(seconds, lag median ms, lag p95 ms) of requests through jar, 8 at
    once, with a 1 ms ticker measuring the loop's lateness."""
    import asyncio

    lags, done = [], asyncio.Event()

    async def ticker():
        loop = asyncio.get_running_loop()
        while not done.is_set():
            at = loop.time()
            await asyncio.sleep(0.001)
            lags.append((loop.time() - at - 0.001) * 1000)

    urls = asyncio.Queue()
    for i in range(requests):
        urls.put_nowait(f"{base}/set?c=s{i % 20}%3Dv{i}%3B%20Max-Age%3D600&c=t{i % 3}%3D1")
    if client == "aiohttp":
        import aiohttp

        session = aiohttp.ClientSession(cookie_jar=jar.for_aiohttp())
        async def get(url):
            async with session.get(url) as response:
                await response.read()
    else:
        import httpx

        session = jar.install(httpx.AsyncClient())
        async def get(url):
            await session.get(url)

    async def fetcher():
        while not urls.empty():
            await get(urls.get_nowait())

    tick = asyncio.ensure_future(ticker())
    begin = time.perf_counter()
    await asyncio.gather(*(fetcher() for _ in range(8)))
    await jar.aflush()
    took = time.perf_counter() - begin
    done.set()
    await tick
    await (session.close() if client == "aiohttp" else session.aclose())
    lags.sort()
    return took, statistics.median(lags), lags[int(len(lags) * 0.95)]


def _proxy(target, delay, ports):
    """A delaying proxy in a process of its own (its threads would take the
    crawl's interpreter)."""
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
    from gco_testkit.proxy import Proxy

    proxy = Proxy(target)
    proxy.delay = delay
    ports.put(proxy.port)
    time.sleep(3600)


def crawls(server, requests):
    """The async crawl on each jar, delay and client: {label: (s, median, p95)}."""
    import asyncio

    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
    from gco_testkit.loopback import Loopback

    web = Loopback()  # a thread of this process, as a crawl's far end is not
    base = f"http://127.0.0.1:{web.server.server_address[1]}"
    found = {}
    proxies, ports = {}, multiprocessing.Queue()
    for delay in (0.0, 0.02):
        proxies[delay] = multiprocessing.Process(target=_proxy, daemon=True, args=(
            server.socket + "/.s.PGSQL.5432", delay, ports))
        proxies[delay].start()
        proxies[delay].port = ports.get(timeout=60)
    for client in ("aiohttp", "httpx"):
        found[f"{client}, memory jar"] = asyncio.run(_crawl(CookieJar(), client, base, requests))
        for delay, proxy in proxies.items():
            schema = server.fresh().rpartition("%3D")[2]
            url = (f"postgresql://gco@127.0.0.1:{proxy.port}/gco?options=-csearch_path%3D"
                   f"{schema}")
            jar = CookieJar(store=url)
            found[f"{client}, server jar, {delay * 1000:.0f} ms"] = asyncio.run(
                _crawl(jar, client, base, requests))
            jar.close()
    for proxy in proxies.values():
        proxy.terminate()
    web.close()
    return found


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=300)
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--json", type=Path)
    parser.add_argument("--plot", type=Path, default=Path(__file__).parent / "fleet.png")
    parser.add_argument("--callgrind", action="store_true",
                        help="count the instructions of cookie_header's parts (valgrind)")
    parser.add_argument("--crawl", action="store_true",
                        help="only the async crawls (aiohttp and httpx, 0 and 20 ms)")
    parser.add_argument("--requests", type=int, default=1000)
    parser.add_argument("--run", help=argparse.SUPPRESS)
    parser.add_argument("--url", help=argparse.SUPPRESS)
    parser.add_argument("--size", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.run:
        run_case(args.run, args.url, args.size, args.calls)
        return 0
    if args.callgrind and shutil.which("valgrind") is None:
        parser.error("--callgrind needs valgrind (apt-get install valgrind)")
    server = postgres_server.server()
    if args.crawl:
        print(f"| async crawl, {args.requests} requests, 8 at once | seconds | loop lag median "
              "(ms) | loop lag p95 (ms) |")
        print("|---|---:|---:|---:|")
        for label, (took, median, p95) in crawls(server, args.requests).items():
            print(f"| {label} | {took:.2f} | {median:.2f} | {p95:.2f} |")
        return 0
    results = {"PostgreSQL": {}, "SQLite file": {}}
    with tempfile.TemporaryDirectory() as folder:
        places = {"PostgreSQL": server.fresh(), "SQLite file": os.path.join(folder, "jar.db")}
        for processes in PROCESSES:
            for store, where in places.items():
                fill(where, 3000)
                results[store][processes] = fleet(where, processes, args.pairs)
    headers = header_costs(server, args.calls)
    print("| processes | PostgreSQL calls/s | set_cookie p99 (µs) | cookie_header p99 (µs) "
          "| SQLite file calls/s | set_cookie p99 (µs) | cookie_header p99 (µs) |")
    print("|---:|---:|---:|---:|---:|---:|---:|")
    for p in PROCESSES:
        pg, file = results["PostgreSQL"][p], results["SQLite file"][p]
        print(f"| {p} | {pg['calls/s']:,.0f} | {pg['set p99']:,.0f} | {pg['header p99']:,.0f} "
              f"| {file['calls/s']:,.0f} | {file['set p99']:,.0f} | {file['header p99']:,.0f} |")
    print()
    print("| cookie_header, nothing changed (µs, medians) | 3,000 cookies | 100,000 cookies |")
    print("|---|---:|---:|")
    for name in headers[3000]:
        print(f"| {name} | {headers[3000][name]:.1f} | {headers[100000][name]:.1f} |")
    for size in (3000, 100000):
        h = headers[size]
        bound = h["round trip: the counter's read"] + 2 * h["memory jar"]
        print(f"{size:,} cookies: server jar {h['server jar']:.1f} µs; one round trip + 2 "
              f"memory jar calls {bound:.1f} µs: {'within' if h['server jar'] <= bound else 'OVER'}")
    if args.callgrind:
        print()
        print("| cookie_header, nothing changed (instructions a call) | 3,000 cookies "
              "| 100,000 cookies |")
        print("|---|---:|---:|")
        counted = {}
        for size in (3000, 100000):
            url = server.fresh()
            fill(url, size)
            counted[size] = {case: instructions(case, url, size)
                             for case in ("server jar", "counter", "memory jar")}
        for case, label in (("server jar", "server jar"), ("counter", "the counter's read"),
                            ("memory jar", "memory jar")):
            print(f"| {label} | {counted[3000][case]:,.0f} | {counted[100000][case]:,.0f} |")
        for size in (3000, 100000):
            c = counted[size]
            beyond = c["server jar"] - c["counter"]
            print(f"{size:,} cookies: beyond the round trip {beyond:,.0f} instructions, 2 memory "
                  f"jar calls {2 * c['memory jar']:,.0f}: "
                  f"{'within' if beyond <= 2 * c['memory jar'] else 'OVER'}")
    plot(results, args.plot)
    print(f"plot: {args.plot}")
    if args.json:
        args.json.write_text(json.dumps({"fleet": results, "cookie_header": headers}, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
