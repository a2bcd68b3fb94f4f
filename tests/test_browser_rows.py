"""read_set_cookie against what Chromium stored (tests/data/browser_set_cookie.json).

The table is recorded by tools/recorder; no browser is needed here.
"""

import datetime as dt
import json
from pathlib import Path

import pytest

from gco_testkit import browser_model
from tools.recorder import form

# Every implementation of read_set_cookie that must agree with the browser.
IMPLEMENTATIONS = [pytest.param(browser_model.read_set_cookie, id="model")]
try:
    from glimmering_copper_otter import browser
except ImportError:  # pragma: no cover - the compiled module is part of every build
    browser = None
else:
    IMPLEMENTATIONS.append(pytest.param(browser.read_set_cookie, id="compiled"))

UTC = dt.timezone.utc
DOC = json.loads((Path(__file__).parent / "data" / "browser_set_cookie.json").read_text())
ROWS = DOC["rows"]


view = form.cookie_view


def same(want, got):
    if want is None or got is None:
        return want is got
    w, g = dict(want), dict(got)
    we, ge = w.pop("expires"), g.pop("expires")
    if (we is None) != (ge is None) or (we is not None and abs(we - ge) > 5):
        return False
    return w == g


@pytest.mark.parametrize("read_set_cookie", IMPLEMENTATIONS)
@pytest.mark.parametrize("row", [
    pytest.param(r, id=r["id"], marks=[pytest.mark.xfail(strict=True, reason=r["difference"]["reason"])]
                 if r["difference"] else []) for r in ROWS])
def test_recorded_row(read_set_cookie, row):
    now = dt.datetime.fromisoformat(row["recorded_at"])
    got = view(read_set_cookie(row["header"].encode("latin-1"), row["url"], now=now))
    assert same(row["expected"], got), (row["expected"], got, row["reasons"])


@pytest.mark.parametrize("row", [pytest.param(r, id=r["id"]) for r in ROWS
                                 if r["expected"] is None and r["reasons"]])
def test_refusal_reasons(row):
    now = dt.datetime.fromisoformat(row["recorded_at"])
    got = browser_model.refusal_reasons(row["header"].encode("latin-1"), row["url"], now=now)
    assert set(got) <= set(row["reasons"]) and got, (got, row["reasons"])


def test_table_shape():
    assert len(ROWS) >= 300
    assert [r["id"] for r in ROWS] == sorted({r["id"] for r in ROWS})
    assert sum(1 for r in ROWS if r["difference"]) * 20 <= len(ROWS)
    # rows added later, recorded with another build, stay a small minority
    assert sum(1 for r in ROWS if r["chromium"] != DOC["chromium"]) * 20 <= len(ROWS)


@pytest.mark.parametrize("read_set_cookie", IMPLEMENTATIONS)
def test_latin_1_and_utf_8_rows_differ(read_set_cookie):
    # the same text, received as different bytes: different cookies
    rows = [next(r for r in ROWS if r["id"] == f"syntax/{k}-ete") for k in ("latin1", "utf8")]
    assert rows[0]["expected"]["value"] == rows[1]["expected"]["value"] == "\xe9t\xe9"
    got = [read_set_cookie(r["header"].encode("latin-1"), r["url"]) for r in rows]
    assert got[0].raw_value != got[1].raw_value and got[0] != got[1]


NOW = dt.datetime(2026, 12, 9, tzinfo=UTC)


@pytest.mark.parametrize("read_set_cookie", IMPLEMENTATIONS)
@pytest.mark.parametrize("raw, fields", [
    # no url: no default path, no host; the origin-free rules still apply
    (b"a=b", {"domain": None, "path": None, "host_only": True}),
    (b"a=b; Domain=.Example.TEST; Path=/x", {"domain": "example.test", "host_only": False, "path": "/x"}),
    (b"a=b; Path=x", {"path": None}),
    (b"a=b; Secure", {"secure": True}),
    (b"__Secure-a=b", None),
    (b"__Host-a=b; Secure; Path=/", {"host_only": True}),
    (b"__Host-a=b; Secure; Path=/; Domain=example.test", None),
    (b"a=b; SameSite=None", None),
    (b"a=b; Partitioned", None),
    (b"a=b; Max-Age=0", {"expired": True, "expires": dt.datetime.min.replace(tzinfo=UTC)}),
    (b"a=b; Max-Age=99999999999", {"expires": NOW + dt.timedelta(days=400)}),
    ("a=\xe9".encode("latin-1"), {"value": "\xe9"}),
    ("a=é".encode(), {"value": "é"}),
])
def test_without_url(read_set_cookie, raw, fields):
    got = read_set_cookie(raw, now=NOW)
    if fields is None:
        assert got is None
    else:
        assert got is not None
        assert {k: getattr(got, k) for k in fields} == fields


@pytest.mark.parametrize("raw, url, stored", [
    # without the list only the default rule "*" applies: a last label is a suffix
    (b"a=b; Domain=example.test", "https://www.example.test/", True),
    (b"a=b; Domain=test", "https://www.example.test/", False),
    (b"a=b; Domain=co.uk", "https://www.example.co.uk/", True),
    (b"a=b; Domain=uk", "https://www.example.co.uk/", False),
])
def test_without_public_suffix_list(monkeypatch, raw, url, stored):
    monkeypatch.setattr(browser_model, "USE_PUBLIC_SUFFIX_LIST", False)
    assert (browser_model.read_set_cookie(raw, url, now=NOW) is not None) == stored


@pytest.mark.parametrize("args, kwargs, error", [
    ((1,), {}, TypeError),
    ((b"a=b", b"https://x.test/"), {}, TypeError),
    ((b"a=b", "ftp://x.test/"), {}, ValueError),
    ((b"a=b", "/relative"), {}, ValueError),
    ((b"a=b",), {"now": dt.datetime(2026, 1, 1)}, ValueError),
])
def test_bad_arguments(args, kwargs, error):
    with pytest.raises(error):
        browser_model.read_set_cookie(*args, **kwargs)
