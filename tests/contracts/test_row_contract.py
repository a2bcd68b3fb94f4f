"""The row contract across the layers: every cookie a jar stores is a row
that the file (and a second connection to it) and JSON give back exactly,
and that cookies.txt gives back as far as the format carries it, listing
what it leaves out.  Cookies come from the headers recorded from Chromium,
the fuzz corpus and generated headers (urls whose directory holds ";" or is
long, long hosts, every byte)."""

import datetime as dt
import json
from pathlib import Path

from hypothesis import HealthCheck, given, settings, strategies as st

from glimmering_copper_otter import rows as _rows
from glimmering_copper_otter.formats import netscape
from glimmering_copper_otter.jar import CookieJar

ROOT = Path(__file__).resolve().parents[2]
# Ahead of the clock: no cookie expires while the test looks at it.
NOW = dt.datetime(2100, 1, 1, tzinfo=dt.timezone.utc)
UNLIMITED = {"max_cookies": None, "max_cookies_per_site": None}
# What cookies.txt carries of a row (expiry in whole seconds).
CARRIED = (_rows.NAME, _rows.VALUE, _rows.DOMAIN, _rows.HOST_ONLY, _rows.PATH, _rows.SECURE,
           _rows.HTTP_ONLY)


def _sorted(rows):
    return sorted(rows, key=repr)


def _carried(row):
    return tuple(row[i] for i in CARRIED) + (row[_rows.EXPIRES] and row[_rows.EXPIRES] // 10**6,)


def _check_round_trips(calls, folder):
    """A memory jar and a file jar given the same Set-Cookie calls hold the
    same rows, which a second connection, JSON and cookies.txt give back."""
    jar = CookieJar(**UNLIMITED)
    path = folder / "jar.db"
    path.unlink(missing_ok=True)
    with CookieJar(path, keep_session_cookies=True, **UNLIMITED) as filed:
        for header, url in calls:
            jar.set_cookie(header, url, now=NOW)
            filed.set_cookie(header, url, now=NOW)
        rows = _sorted(jar.rows())
        assert _sorted(filed.rows()) == rows and _rows.check_rows(rows) == []
    with CookieJar(path, keep_session_cookies=True, **UNLIMITED) as second:
        assert _sorted(second.rows()) == rows
    assert _sorted(CookieJar.from_json(jar.to_json()).rows()) == rows
    data, left_out = netscape.write_cookies_txt(rows)
    back, _, skipped = netscape.read_cookies_txt(data)
    assert skipped == []
    kept = [row for row in rows if row[_rows.NAME] and not row[_rows.PARTITIONED]]
    assert _sorted(map(_carried, back)) == _sorted(map(_carried, kept))
    assert sorted((item.name, item.domain, item.path) for item in left_out) == sorted(
        (row[_rows.NAME], row[_rows.DOMAIN], row[_rows.PATH]) for row in rows
        if not row[_rows.NAME] or row[_rows.PARTITIONED])
    return rows


def _apart(calls):
    """The calls in groups where no two store a cookie of the same key, so
    that every cookie stored is checked."""
    groups = []
    for header, url in calls:
        jar = CookieJar(**UNLIMITED)
        jar.set_cookie(header, url, now=NOW)
        keys = {_rows.key(row) for row in jar.rows()}
        group = next((g for g in groups if not keys & g[0]), None)
        if group is None:
            groups.append(group := (set(), []))
        group[0].update(keys)
        group[1].append((header, url))
    return [group[1] for group in groups]


def test_the_headers_recorded_from_chromium(tmp_path):
    document = json.loads((ROOT / "tests/data/browser_set_cookie.json").read_text())
    calls = [(row["header"].encode("latin-1"), row["url"]) for row in document["rows"]]
    stored = sum(len(_check_round_trips(group, tmp_path)) for group in _apart(calls))
    assert stored > 250


def test_the_fuzz_corpus(tmp_path):
    urls = ("https://www.example.test/a;b/c", "http://localhost/" + "d" * 1500 + "/e",
            "https://" + "h" * 1100 + ".test/")
    calls = [(path.read_bytes()[:5000], url) for path in sorted((ROOT / "fuzz/corpus").iterdir())
             for url in urls]
    _check_round_trips(calls, tmp_path)


LABEL = st.from_regex(r"[a-z][a-z0-9-]{0,10}", fullmatch=True)
HOST = st.one_of(st.lists(LABEL, min_size=1, max_size=4).map(".".join),
                 st.integers(64, 1200).map(lambda n: "l" * n + ".test"),
                 st.sampled_from(["127.0.0.1", "[::1]", "localhost", "b\u00fccher.test"]))
SEGMENT = st.one_of(st.text(";=%,$ab\u00e9", max_size=8), st.integers(1, 1500).map("s".__mul__))
URL = st.builds(lambda scheme, host, segments: f"{scheme}://{host}/" + "/".join(segments),
                st.sampled_from(["http", "https"]), HOST, st.lists(SEGMENT, max_size=4))
ATTRIBUTE = st.one_of(
    st.sampled_from([b"Secure", b"HttpOnly", b"Partitioned", b"SameSite=None", b"SameSite=Lax",
                     b"Max-Age=600", b"Priority=High", b"Domain=test", b"Path=/"]),
    st.binary(max_size=12).map(lambda b: b"Path=/" + b),
    st.binary(max_size=12))
TEXT = st.one_of(st.sampled_from([b"", b"a", b"sid", b"\xe9t\xe9", b"__Host-x"]), st.binary(max_size=20))
HEADER = st.builds(lambda name, value, attributes: b"; ".join([name + b"=" + value, *attributes]),
                   TEXT, TEXT, st.lists(ATTRIBUTE, max_size=4))


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(st.tuples(HEADER, URL), min_size=1, max_size=6))
def test_generated_headers(tmp_path, calls):
    _check_round_trips(calls, tmp_path)


@settings(max_examples=300, deadline=None)
@given(st.text("abcdefxz09-_.A%\u00e9", min_size=1, max_size=14))
def test_a_domain_is_a_host_as_the_url_reader_writes_it(host):
    from glimmering_copper_otter import browser

    row = (b"a", b"b", host, True, b"/", None, 0, 0, False, False, 0, False, "", -1, 0, -1,
           False, False)
    read = browser._read_url(f"http://{host}/")
    assert (not _rows.check_rows([row])) == (read is not None and read["host"] == host)


# A domain cookie of a public suffix: a jar's load refuses it as set_cookie
# does, by the jar's reading of sites; a file gives back what its jar set.
PUBLIC_SUFFIX = [
    ("github.io", True, "InvalidDomain: a domain cookie of the public suffix 'github.io'"),
    ("github.io", False, None),
    ("localhost", False, "InvalidDomain: a domain cookie of the public suffix 'localhost'"),
    ("site.github.io", True, None),
]


def test_a_load_refuses_a_domain_cookie_of_a_public_suffix(tmp_path):
    base = CookieJar()
    base.set_cookie("a=1; Domain=x.test; Max-Age=60", "https://x.test/")
    made = base.rows()[0]
    for domain, use_list, reason in PUBLIC_SUFFIX:
        row = made[:_rows.DOMAIN] + (domain,) + made[_rows.DOMAIN + 1:]
        jar = CookieJar(tmp_path / f"{domain}-{use_list}.db", public_suffix_list=use_list)
        refused = jar.load_rows([row])[2]
        assert refused == ([] if reason is None else [(0, reason)]), domain
        # Opened again with the list, the file's cookie stays.
        assert len(CookieJar(tmp_path / f"{domain}-{use_list}.db")) == (reason is None)
