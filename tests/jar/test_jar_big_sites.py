"""Sites bigger than the jar's index by name (32 cookies): random sequences
of sets, replacements (same value and new value), deletions and requests on
a few sites, through the compiled jar and the reference model at once, which
must agree on every header and on the store, and with the jar's rows loaded
back in another order."""

import datetime as dt
import random

import pytest

from gco_testkit import jar_model
from tools.recorder.form import jar_view, store_view
from glimmering_copper_otter.jar import CookieJar

T0 = dt.datetime(2030, 1, 1, tzinfo=dt.timezone.utc)
URLS = ("https://www.a.test/", "https://www.a.test/x/y", "http://www.a.test/ab",
        "https://b.a.test/x", "https://c.test/x/")
ATTRIBUTES = ("Path=/", "Path=/x", "Path=/x/y", "Path=/ab", "Domain=a.test", "Secure",
              "HttpOnly", "Max-Age=0", "Max-Age=30", "SameSite=Strict", "Partitioned; Secure")


def store(jar, now):
    return store_view([jar_view(c, d) for c, d in jar.cookies(now=now, details=True)], False)


NO_LIMITS = {"max_cookies": None, "max_cookies_per_site": None}
ONE_HOST = ("https://www.a.test/",)
# (seed, names, steps, limits, urls, attributes): more names than the
# index's threshold, so that it is built and grown; on one host and path,
# the waves of deletions empty the site and drop it too.  With the per-site
# limit, no cookie expires: the model does not drop a full site's expired
# cookies before its purge.
CASES = [
    (1, 60, 900, NO_LIMITS, URLS, ATTRIBUTES),
    (2, 200, 1500, NO_LIMITS, URLS, ATTRIBUTES),
    (3, 40, 1200, NO_LIMITS, ONE_HOST, ("Path=/", "Secure", "HttpOnly")),
    (4, 120, 1500, {}, URLS, [a for a in ATTRIBUTES if a != "Max-Age=30"]),
    (5, 90, 1200, {"max_cookies": 150, "max_cookies_per_site": None}, URLS, ATTRIBUTES),
]


@pytest.mark.parametrize("seed, names, steps, limits, urls, attributes", CASES)
def test_big_sites_agree_with_the_model(seed, names, steps, limits, urls, attributes):
    r = random.Random(seed)
    native, model = CookieJar(**limits), jar_model.CookieJar(**limits)
    now = T0
    # Deletions come in waves, so that a site grows past the threshold and
    # shrinks below half of it again.
    for step in range(steps):
        now += dt.timedelta(seconds=r.choice((0, 0, 1, 61, 3600)))
        url = r.choice(urls)
        if r.random() < 0.8:
            deleting = (step // 150) % 3 == 2
            header = "; ".join([f"n{r.randrange(names)}={r.choice('ab')}"]
                               + r.sample(attributes, r.randrange(3))
                               + (["Max-Age=0"] if deleting else []))
            script = r.random() < 0.1
            got = native.set_cookie(header, url, now=now, from_script=script)
            want = model.set_cookie(header, url, now=now, from_script=script)
            assert (got is None) == (want is None), (step, header, url)
        else:
            got, want = native.cookie_header(url, now=now), model.cookie_header(url, now=now)
            assert got == want, (step, url)
        if step % 100 == 99:
            assert store(native, now) == store(model, now), step
    assert store(native, now) == store(model, now)
    # The rows loaded in another order give the same headers, and so they do
    # once more over the loaded jar, which replaces each cookie by itself.
    rows, again = native.rows(), CookieJar(**NO_LIMITS)
    r.shuffle(rows)
    for _ in range(2):
        again.load_rows(rows)
        assert [again.cookie_header(u, now=now) for u in urls] == [
            model.cookie_header(u, now=now) for u in urls]


END = dt.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=dt.timezone.utc)
TIES = ["a=1", "b=1", "c=1", "a=1", "b=2", "c=1", "a=1", "c=1; Max-Age=0", "b=2"]
# Cookies set at the last instant of year 9999 share one creation time: a
# replacement goes after its ties, with the same value too (the order of
# insertion), in a small site and in one that has the index.
TIE_HEADERS = ["a=1", "a=1; b=1", "a=1; b=1; c=1", "b=1; c=1; a=1", "c=1; a=1; b=2",
               "a=1; b=2; c=1", "b=2; c=1; a=1", "b=2; a=1", "a=1; b=2"]


@pytest.mark.parametrize("others", [0, 40])
def test_ties_keep_the_order_of_insertion(others):
    jar = CookieJar(max_cookies=None, max_cookies_per_site=None)
    url = "https://www.a.test/x"
    jar.set_cookies([f"f{i}=1; Path=/x" for i in range(others)], url, now=T0)
    seen = []
    for header in TIES:
        jar.set_cookie(header, url, now=END)
        seen.append(jar.cookie_header("https://www.a.test/", now=END).decode())
    assert seen == TIE_HEADERS


def test_loaded_rows_sharing_a_creation_time_keep_the_order_of_loading():
    jar = CookieJar()
    for name in "xyz":
        jar.set_cookie(f"{name}=1", "https://www.a.test/", now=T0)
    rows = jar.rows()
    same = [row[:6] + (rows[0][6],) + row[7:] for row in rows]
    again = CookieJar()
    seen = []
    for load in (list(reversed(same)), [same[2]], [same[0]]):
        again.load_rows(load)
        seen.append(again.cookie_header("https://www.a.test/", now=T0))
    assert seen == [b"z=1; y=1; x=1", b"y=1; x=1; z=1", b"y=1; z=1; x=1"]
