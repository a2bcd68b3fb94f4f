"""The jar's API beside what the recorded sequences pin: reading and editing
the store, its options and its argument errors, one table per kind."""

import datetime as dt

import pytest

from conftest import JARS

NOW = dt.datetime.now(dt.timezone.utc).replace(microsecond=0)
T = "https://www.example.test/"


def filled(jar_class, **options):
    jar = jar_class(**options)
    jar.set_cookies([b"a=1", b"a=2; Domain=example.test", b"a=3; Path=/p", b"s=1; Max-Age=3600",
                     b"h=1; HttpOnly", b"e=1; Domain=www.example.test"], T, now=NOW)
    return jar


def names(jar, **kw):
    return sorted(f"{c.name}={c.value}" for c in jar.cookies(now=kw.pop("now", NOW), **kw))


LATER = NOW + dt.timedelta(hours=2)
ROWS = [
    ("get: host-only first, then the longest path", lambda j: j.get("a").value, "3"),
    ("get: by domain", lambda j: j.get("a", domain=".example.test").value, "2"),
    ("get: by path", lambda j: j.get("a", path="/p").value, "3"),
    ("get: raw name", lambda j: j.get(b"h").value, "1"),
    ("get: none", lambda j: j.get("z"), None),
    ("len and iteration", lambda j: (len(j), sorted(c.name for c in j)),
     (6, ["a", "a", "a", "e", "h", "s"])),
    ("cookies(url): header order", lambda j: [c.value for c in j.cookies(T + "p/x", now=NOW)],
     ["3", "1", "2", "1", "1", "1"]),
    ("clear by name", lambda j: (j.clear(name="a"), names(j))[1], ["e=1", "h=1", "s=1"]),
    ("clear by domain", lambda j: (j.clear(domain="example.test"), names(j))[1],
     ["a=1", "a=3", "e=1", "h=1", "s=1"]),
    ("clear by path", lambda j: (j.clear(path="/p"), len(names(j)))[1], 5),
    ("clear all", lambda j: (j.clear(), names(j))[1], []),
    ("clear_session_cookies", lambda j: (j.clear_session_cookies(), names(j))[1], ["s=1"]),
    ("clear_expired", lambda j: (j.clear_expired(LATER), len(names(j, now=NOW)))[1], 5),
    ("document.cookie hides HttpOnly",
     lambda j: j.cookie_header(T, now=NOW, from_script=True), b"a=1; a=2; s=1; e=1"),
    ("ws is http, wss is https",
     lambda j: (j.set_cookie("w=1; Secure", "wss://ws.other.test/", now=NOW) is not None,
                j.cookie_header("ws://ws.other.test/", now=NOW),
                j.cookie_header("wss://ws.other.test/", now=NOW)), (True, b"", b"w=1")),
    ("raw ASGI headers",
     lambda j: [c is not None for c in j.set_cookies(
         [(b"content-type", b"x"), (b"Set-Cookie", b"k=1"), (b"SET-COOKIE", b"k=2")], T, now=NOW)],
     [True, True]),
    ("a deletion returns the expired record",
     lambda j: j.set_cookie(b"a=; Max-Age=0", T, now=NOW).expired, True),
    ("a refusal returns None", lambda j: j.set_cookie(b"a=1; Secure", "http://x.test/", now=NOW),
     None),
    ("a Lax cookie from a cross-site frame is refused",
     lambda j: j.set_cookie(b"l=1; SameSite=Lax", T, now=NOW, site_for_cookies="https://b.test/"),
     None),
]


@pytest.mark.parametrize("jar_class", JARS)
@pytest.mark.parametrize("title, call, want", [pytest.param(*r, id=r[0]) for r in ROWS])
def test_api(jar_class, title, call, want):
    assert call(filled(jar_class)) == want


def many(jar, host, n, now=NOW):
    jar.set_cookies([f"c{i:03d}=1" for i in range(n)], f"https://{host}/", now=now)
    return len(jar.cookies(now=now))


OPTIONS = [
    ("no limit per site", {"max_cookies_per_site": None}, lambda j: many(j, "a.test", 300), 300),
    ("12 per site: purged to 10", {"max_cookies_per_site": 12}, lambda j: many(j, "a.test", 13), 10),
    # the 23rd cookie purges to 20 (3300 to 3000), the old ones first
    ("22 in all: only cookies unused for 30 days go", {"max_cookies": 22},
     lambda j: (many(j, "a.test", 20, NOW - dt.timedelta(days=40)), many(j, "b.test", 5)), (20, 22)),
    ("22 in all: recent cookies stay", {"max_cookies": 22},
     lambda j: (many(j, "a.test", 20), many(j, "b.test", 5)), (20, 25)),
    ("no limit in all", {"max_cookies": None},
     lambda j: (many(j, "a.test", 20, NOW - dt.timedelta(days=40)), many(j, "b.test", 5)), (20, 25)),
    ("without the suffix list co.uk is a domain", {"public_suffix_list": False},
     lambda j: j.set_cookie("d=1; Domain=co.uk", "https://www.example.co.uk/", now=NOW).domain,
     "co.uk"),
    ("with it co.uk is refused", {},
     lambda j: j.set_cookie("d=1; Domain=co.uk", "https://www.example.co.uk/", now=NOW), None),
]


@pytest.mark.parametrize("jar_class", JARS)
@pytest.mark.parametrize("title, options, call, want", [pytest.param(*r, id=r[0]) for r in OPTIONS])
def test_options(jar_class, title, options, call, want):
    assert call(jar_class(**options)) == want


ERRORS = [
    (lambda j: j.set_cookie(1, T), TypeError),
    (lambda j: j.set_cookie(b"a=1", b"https://x.test/"), TypeError),
    (lambda j: j.set_cookie(b"a=1", "ftp://x.test/"), ValueError),
    (lambda j: j.cookie_header("/relative"), ValueError),
    (lambda j: j.cookie_header(T, now=dt.datetime(2026, 1, 1)), ValueError),
    (lambda j: j.cookie_header(T, method=None), TypeError),
    (lambda j: type(j)(max_cookies="1"), TypeError),
    (lambda j: type(j)(max_cookies_per_site=0), ValueError),
]


@pytest.mark.parametrize("jar_class", JARS)
@pytest.mark.parametrize("call, error", ERRORS)
def test_argument_errors(jar_class, call, error):
    with pytest.raises(error):
        call(jar_class())


def test_the_suffix_list_setting_changes_only_while_the_jar_is_empty():
    from glimmering_copper_otter.jar import CookieJar
    jar = CookieJar()
    jar.set_cookie(b"a=1", T)
    with pytest.raises(ValueError, match="^public_suffix_list cannot change"):
        jar.__init__(public_suffix_list=False)
    assert (jar.public_suffix_list, jar.cookie_header(T)) == (True, b"a=1")
    jar.clear()
    jar.__init__(public_suffix_list=False)
    assert jar.public_suffix_list is False


def _membership():
    from glimmering_copper_otter.jar import CookieJar

    jar = CookieJar()
    kept = jar.set_cookie("a=1", T, now=NOW)
    part = jar.set_cookie("p=1; Secure; Partitioned; SameSite=None", T,
                          site_for_cookies="https://top.test/")
    gone = jar.set_cookie("g=1", T)
    jar.remove(gone)
    return jar, kept, part, gone


def test_membership():
    """What `in` says of a jar holding a=1 and a partitioned p=1, g=1 removed:
    by name, by record (a partitioned one in any partition, with its details
    in that partition) and by key."""
    jar, kept, part, gone = _membership()
    pair = next(item for item in jar.cookies(details=True) if item[0].name == "p")
    key = (b"a", "www.example.test", True, b"/", False, "", False)
    for item, expected in (("a", True), (b"a", True), ("g", False), ("z", False), (kept, True),
                           (gone, False), (part, True), (pair, True), (key, True),
                           ((b"a", "example.test", *key[2:]), False)):
        assert (item in jar) == expected, item


def test_a_jar_is_not_indexed():
    jar = _membership()[0]
    for bad, error, message in ((lambda: jar["a"], TypeError, "use jar.get"),
                                (lambda: 5 in jar, TypeError, "by name"),
                                (lambda: jar.remove(5), TypeError, "a cookie's key"),
                                (lambda: jar.remove(_membership()[2]), ValueError, "partition")):
        with pytest.raises(error, match=message):
            bad()


S = "https://shop.example.test/"
X = "https://x.test/"
_ROW = (b"p", b"1", "shop.example.test", True, b"/", 0, 0, 0, True, False, 3, True,
        "https://x.test", -1, 2, -1, True, False)


def _row(expires):
    return _ROW[:5] + (expires,) + _ROW[6:]


# A batch of settings, (header, url, site_for_cookies, navigation, row), in
# one call: what each gives (a stored field, or the refusal's first words),
# refusals in check's words.
SETTINGS = [
    ("the rules' refusal, as check words it", (b"a=1\x01", S, None, True, None),
     "DisallowedCharacter: the header holds the control character 0x01"),
    ("a cross-site frame's Strict cookie", (b"a=1; SameSite=Strict", S, X, False, None),
     "SameSiteStrict: the cookie is set by a cross-site frame"),
    ("a Secure cookie shadowed from http", (b"sec=2", "http://shop.example.test/", None, True,
                                            None), "SecureOnly: it would overwrite"),
    ("a url that does not read", (b"a=1", "nothing", None, True, None), "Unreadable: "),
    ("the row's expiry to the microsecond, an unknown port, the frame's cross-site half",
     (b"p=1; Secure; SameSite=None; Partitioned; Max-Age=3600", S, X, False, "row"),
     (True, None, -1)),
]


@pytest.mark.parametrize("title, setting, want", SETTINGS, ids=[s[0] for s in SETTINGS])
def test_a_batch_of_settings(title, setting, want):
    from glimmering_copper_otter import rows as _rows
    from glimmering_copper_otter.browser import check
    from glimmering_copper_otter.jar import CookieJar

    jar = CookieJar()
    jar.set_cookie(b"sec=1; Secure", S)
    expires = jar.rows()[0][_rows.CREATION] + 3600 * 10**6 - 250000
    if setting[4] == "row":
        setting = setting[:4] + (_row(expires),)
    [result] = jar._apply_settings([setting])
    if isinstance(want, tuple):
        row = next(r for r in jar.rows() if r[_rows.NAME] == b"p")
        assert (row[_rows.EXPIRES] == expires, row[_rows.CROSS_SITE_ANCESTOR] or None,
                row[_rows.SOURCE_PORT]) == want
        return
    assert result.startswith(want), result
    if setting[0] == b"a=1\x01":  # the same words as check's, and as value_refusal's
        assert result == check(setting[0], S)[0] == _rows.value_refusal(setting[0], S)
