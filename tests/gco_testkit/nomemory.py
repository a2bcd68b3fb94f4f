"""The allocation-failure sweep: each operation of the table run with its Nth
allocation failing, for N = 1, 2, ... until it succeeds, in a child under
``-X dev`` (tests/test_memory.py runs it).  A run must give MemoryError or
what the operation gives with memory to spare (its result or its own
error), the process must not end, and rounds of runs must leave nothing
behind in the memory that tracemalloc traces (the raw allocator of the
native containers included).

The "control" rows, the interpreter alone, run first: what they show is the
interpreter's own doing, not blamed on the package.  When the failing
allocation falls in the unwinding, CPython 3.13 can lose an exception
("SystemError: error return without exception set") and leak: that outcome,
and that N's leak, are allowed.  A control that keeps an object per run must
be found leaking.  (The interpreter also loses the name that
PyObject_GetAttrString or PyObject_CallMethod makes from a C string when an
allocation inside fails: the package passes names made once, and the table
leaves out what reaches such calls inside the interpreter: interpreted url
parsing, datetime.utcoffset() of a zone other than UTC.)

    python -X dev -m gco_testkit.nomemory control
        {"rows": {row: [runs, failures, allowed Ns]}, "allowed": [[type, message], ...]}
    python -X dev -m gco_testkit.nomemory row INDEX ALLOWED
        {row: [runs, failures, allowed Ns]} for OPERATIONS[INDEX]
"""

import gc
import json
import sys
import tracemalloc

import _testcapi

SETUP = """
from datetime import datetime, timedelta, timezone
from urllib.parse import urlsplit
from glimmering_copper_otter import browser, cookie_header, writer
from glimmering_copper_otter.cookies import Cookie, CookieSameSiteMode
NOW = datetime(2026, 12, 9, 3, 4, 5, tzinfo=timezone.utc)
EXP = datetime(2030, 1, 2, 3, 4, 5, tzinfo=timezone(timedelta(hours=2)))
FULL = Cookie("sid", "a b;c\\u00e9", datetime(2030, 1, 2, 3, 4, 5), "example.com", "/p", True,
              True, 3600, CookieSameSiteMode.LAX)
TEXT = Cookie("\\u00e9", "\\u00fc=1", None, "b\\u00fccher.example", "/\\u00df")
BAD_PATH = Cookie("n", "v", path="/a;b")
HEADER = b'a=1; b="x\\\\351"; c=%41%zz; token; d=\\xc3\\xa9'
FORTY = b"; ".join(b"k%d=v" % i for i in range(40))
PAIRS = [HEADER, "e=\\u20ac"]
MAPPING = {"sid": "x y", "": "tok", "\\u00e9": "%"}
SET_COOKIE = b"__Host-a=b; Secure; Path=/; Max-Age=60; SameSite=Lax; HttpOnly; Priority=High"
MANY = b"a=b" + b"; x" * 14 + b"; Max-Age=1.5; Max-Age=2; Path=q; SameSite=q; Expires=q"
URL, LOCAL, IPV4 = "https://www.example.co.uk/a/b", "http://localhost:8080/p/q", "http://127.0.0.1/x"
KEEP = []
from glimmering_copper_otter.jar import CookieJar
JAR = CookieJar(max_cookies_per_site=3)
JAR.set_cookies([b"a=1; Domain=example.co.uk", b"b=2; Path=/a", b"c=\\xe9"], URL, now=NOW)
from glimmering_copper_otter._jar import check_rows
ROWS = JAR.rows() + [(b"x", b"\\x00", "H", True, b"/", None, 0, 0, False, False, 0, False, "",
                      -1, 0, -1, False, False)]
# a site past the index by name (32 cookies), on three paths; its rows newest first
BIG = [b"k%d=1; Path=/%s" % (i, b"ab"[:i % 3]) for i in range(34)]
_FULL = CookieJar(max_cookies=None)
_FULL.set_cookies(BIG, URL, now=NOW)
BIG_ROWS = _FULL.rows()[::-1]
"""

# group, expression (in SETUP's namespace; no comprehension or generator,
# whose creation the interpreter cannot survive failing)
OPERATIONS = [
    ("control", "'a=\\u00e9; b; c=d'.split(';')"),
    ("control", "'b\\u00fccher'.encode('idna')"),
    ("control", "urlsplit(URL)"),
    ("control", "bytes.fromhex('zz')"),
    ("control", "'abc'.index('d')"),
    ("control", "KEEP.append(object())"),  # found leaking
    ("writer", "writer.write_cookie_for_response(FULL)"),
    ("writer", "writer.write_cookie_for_response(TEXT, partitioned=True, priority='high')"),
    ("writer", "writer.write_cookie_for_response(FULL, priority='urgent')"),
    ("writer", "writer.write_cookie_for_response(BAD_PATH)"),
    ("writer", "writer.write_cookie_for_response(cookie=FULL, partitioned=1, priority='MEDIUM')"),
    ("writer", "writer.set_cookie_header('sid', 'a b', expires=EXP, path='/a/../b|c', "
               "same_site='none', priority='high')"),
    ("writer", "writer.delete_cookie_header('__Host-sid', partitioned=True)"),
    ("cookie_header", "cookie_header.parse_cookie_header(HEADER)"),
    ("cookie_header", "cookie_header.parse_cookie_header(HEADER.decode('latin-1'))"),
    ("cookie_header", "cookie_header.parse_cookie_header_pairs(PAIRS)"),
    ("cookie_header", "cookie_header.parse_cookie_header(FORTY)"),
    ("cookie_header", "cookie_header.write_cookie_header(MAPPING)"),
    ("cookie_header", "cookie_header.write_cookie_header([('a', '1'), ['b', '\\u20ac']])"),
    ("cookie_header", "cookie_header.write_cookie_header([('a', 1)])"),
    ("cookie_header", "cookie_header.parse_cookie_header((HEADER, b'x=1', 'y=\\u00ff'))"),
    ("cookie_header", "cookie_header.parse_cookie_header_pairs('\\u20ac=\\u20ac; a=\"b\\\\\"\"')"),
    ("cookie_header", "cookie_header.parse_cookie_header(5)"),
    ("browser", "browser.read_set_cookie(SET_COOKIE, URL, now=NOW)"),
    ("browser", "[browser.read_set_cookie(b'a=b; Domain=example.co.uk; Path=/x', URL, now=NOW), "
                "browser.read_set_cookie(b'a=b; Domain=localhost', LOCAL, now=NOW), "
                "browser.read_set_cookie(b'a=b; Domain=127.0.0.1', IPV4, now=NOW)]"),
    ("browser", "browser.read_set_cookie('a=\\u20ac\\udc80; Domain=B\\u00fccher.example.co.uk', "
                "URL, now=NOW)"),
    ("browser", "browser.read_set_cookie(b'a=b; Expires=Wed, 02 Jan 2030 03:04:05 GMT', now=NOW)"),
    ("browser", "browser.check(MANY, LOCAL, now=NOW)"),
    ("browser", "browser.check(b'a=b; Domain=co.uk; Secure', URL, now=NOW)"),
    ("browser", "browser.check(FULL, URL, partitioned=True, priority='low', now=NOW)"),
    ("browser", "browser.check(TEXT, now=NOW)"),
    ("browser", "browser.check(BAD_PATH, now=NOW)"),
    ("browser", "browser.check(b'a=b', 'ftp://x.test/')"),
    ("browser", "browser.check('k=\\u20ac' + '; x' * 12 + '; Priority=q', URL, now=NOW)"),
    ("browser", "browser.check(b'a=b\\x00', now=NOW)"),
    ("browser", "browser.read_set_cookie(b'a=b; Domain=www.city.kawasaki.jp', "
                "'https://a.www.city.kawasaki.jp/', now=NOW)"),
    ("browser", "[browser.read_set_cookie(b'a=b', 'http://[0:0::1]:8080/x/../y', now=NOW), "
                "browser.read_set_cookie(b'a=b', 'https://B%C3%BCcher.example/%2e/a', now=NOW), "
                "browser.read_set_cookie(b'a=b', 'http://0x7f.1/', now=NOW)]"),
    ("browser", "browser.read_set_cookie(b'a=b; Domain=\\uff45.\\u4f8b\\u3048.jp', "
                "'https://www.e.\\u4f8b\\u3048.jp/', now=NOW)"),
    ("browser", "browser._read_url('wss://u:p@\\u0441\\u0301.example:443/a/%2e%2E/b?q#f')"),
    ("browser", "browser.registrable_domain('WWW.Example.CO.UK')"),
    ("browser", "browser.registrable_domain('\\u00e9.test')"),
    ("browser", "browser.public_suffix_list_version()"),
    # the jar: each operation leaves it as it found it
    ("jar", "JAR.set_cookie(SET_COOKIE, URL, now=NOW)"),
    ("jar", "JAR.set_cookies([(b'Set-Cookie', b'p=1; Secure; Partitioned; SameSite=None'), "
            "'d=4; Max-Age=0', b'a=1; Domain=example.co.uk'], URL, now=NOW, site_for_cookies=LOCAL)"),
    ("jar", "JAR.cookie_header(URL, now=NOW, site_for_cookies=LOCAL, navigation=True)"),
    ("jar", "JAR.cookie_header('https://www.example.co.uk/a', now=NOW, from_script=True)"),
    # (tuple, not list: list() of a sized iterable whose iteration runs out of
    # memory keeps a block of its own)
    ("jar", "[JAR.cookies(now=NOW, details=True), JAR.cookies(URL, now=NOW), tuple(JAR)]"),
    ("jar", "[JAR.get('a', domain='EXAMPLE.co.uk'), JAR.clear(name='zz'), len(JAR)]"),
    ("jar", "JAR.cookie_header('https://www.\\u4f8b\\u3048.jp/', now=NOW)"),
    ("jar", "JAR.set_cookie(b'e=5', URL, now=NOW)"),  # a fourth: one is evicted
    ("jar", "CookieJar(max_cookies=None).set_cookie(b'a=1; Secure', IPV4, now=NOW)"),
    ("jar", "[check_rows(ROWS), JAR.load_rows(ROWS)]"),
    ("jar", "JAR.remove((b'zz', 'example.co.uk', False, b'/a', False, '', False))"),
    ("jar", "CookieJar(max_cookies=None).set_cookies(BIG + [b'k0=2', b'k1=1; Path=/a; Max-Age=0'], "
            "URL, now=NOW)"),
    ("jar", "CookieJar(max_cookies=None).load_rows(BIG_ROWS)"),
]

BATCH = 2       # runs per round
ROUNDS = 3      # rounds per N, each measured on its own
SUCCESSES = 3   # runs in a row with the expected outcome that end a sweep
LIMIT = 5000    # N never reached by these operations


def _outcome(run):
    try:
        return "result", run()
    except MemoryError:
        raise
    except Exception as error:  # the operation's own error is part of its answer
        return "error", (type(error).__name__, str(error))


def _traced():
    gc.collect(0)  # the automatic collector is off: everything made is young
    return tracemalloc.get_traced_memory()[0]


def sweep(expression, namespace, allowed_errors):
    """([runs, failures, allowed], deviations) for one operation: the Ns
    tried, what went wrong ([N, "outcome" or "leak", detail]), the Ns where
    the interpreter's own error (allowed_errors) came out, which excuses that
    N's leak too, and the set of wrong outcomes."""
    run = eval(f"lambda: {expression}", namespace)  # noqa: S307 - the table above
    expected = _outcome(run)
    for _ in range(3):
        _outcome(run)  # caches and lazy imports filled before measuring
    failures, allowed, deviations = [], [], set()
    n = successes = 0
    while successes < SUCCESSES and n < LIMIT:
        n += 1
        print(expression[:70], n, file=sys.stderr, flush=True)  # where a crash happened
        as_expected, excused, growth = True, False, []
        for _ in range(ROUNDS):
            before = _traced()
            for _ in range(BATCH):
                _testcapi.set_nomemory(n - 1, n)
                try:
                    got = _outcome(run)
                except MemoryError:
                    got = None
                finally:
                    _testcapi.remove_mem_hooks()
                as_expected = as_expected and got == expected
                if got is None or got == expected:
                    continue
                if got[0] == "error" and got[1] in allowed_errors:
                    excused = True
                else:
                    deviations.add(got)
                    failures.append([n, "outcome", f"{got!r} instead of {expected!r}"])
            growth.append(_traced() - before)
        # A leak grows memory in every round; what the interpreter fills once
        # (a cache, a free list) shows in one round only.
        if min(growth) > 0 and not excused:
            failures.append([n, "leak", f"rounds of {BATCH} runs left {growth} bytes behind"])
        if excused:
            allowed.append(n)
        successes = successes + 1 if as_expected else 0
    return [n, failures[:20], allowed], deviations


def main(argv):
    namespace = {}
    exec(SETUP, namespace)  # noqa: S102 - the fixed text above
    gc.disable()
    tracemalloc.start()
    if argv[0] == "control":
        rows, allowed = {}, set()
        for name, expression in OPERATIONS:
            if name == "control":
                rows[expression], deviations = sweep(expression, namespace, set())
                allowed |= {got[1] for got in deviations if got[0] == "error"}
        print(json.dumps({"rows": rows, "allowed": sorted(allowed)}))
    else:
        expression = OPERATIONS[int(argv[1])][1]
        allowed = {tuple(error) for error in json.loads(argv[2])}
        print(json.dumps({expression: sweep(expression, namespace, allowed)[0]}))


if __name__ == "__main__":
    main(sys.argv[1:])
