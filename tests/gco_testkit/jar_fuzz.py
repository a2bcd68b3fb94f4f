"""Fuzz target of the cookie jar: random sequences of set_cookie, cookie_header,
listing and clearing, run at once through the compiled jar and the reference
model (jar_model.py), which must agree on every header sent and on the
whole store after each step.  Registered in fuzz_targets.TARGETS."""

import datetime as dt

from glimmering_copper_otter.jar import CookieJar
from tools.recorder.form import jar_view, store_view

from . import jar_model

T0 = dt.datetime(2030, 1, 1, tzinfo=dt.timezone.utc)
URLS = ("https://www.a.test/", "https://a.test/x/y", "http://www.a.test/x/", "https://b.test/",
        "http://localhost:8080/p/", "http://127.0.0.1/", "http://[::1]/", "wss://a.test/w",
        "https://sub.www.a.test/x", "https://x.co.uk/", "https://y.x.co.uk/")
NAMES = (b"a", b"b", b"__Secure-s", b"__Host-h", b"", b"\xe9", b"a")
VALUES = (b"1", b"2", b"", b"\xc3\xa9", b"v" * 3000, b"\"q\"")
ATTRIBUTES = (b"Secure", b"HttpOnly", b"Partitioned", b"Path=/", b"Path=/x", b"Path=/x/y",
              b"Domain=a.test", b"Domain=www.a.test", b"Domain=co.uk", b"Domain=127.0.0.1",
              b"SameSite=Lax", b"SameSite=Strict", b"SameSite=None", b"Max-Age=0",
              b"Max-Age=90", b"Max-Age=99999999999", b"Priority=Low", b"Priority=High",
              b"Expires=Wed, 01 Jan 2031 00:00:00 GMT", b"Expires=Thu, 01 Jan 1970 00:00:00 GMT")


def _store(jar, now):
    return store_view([jar_view(c, d) for c, d in jar.cookies(now=now, details=True)], False)


def _header(r):
    parts = [r.pick(NAMES) + b"=" + r.pick(VALUES) if r.below(8) else r.chunk(16)]
    for _ in range(r.below(4)):
        parts.append(r.pick(ATTRIBUTES))
    return b"; ".join(parts)


def target_jar(r):
    options = {"max_cookies": r.pick((None, 4, 3300)),
               "max_cookies_per_site": r.pick((None, 3, 180)),
               "public_suffix_list": r.flag() == 0}
    native, model = CookieJar(**options), jar_model.CookieJar(**options)
    now = T0
    urls = [r.pick(URLS) for _ in range(3)]  # a few urls, so that requests meet cookies
    for step in range(r.below(24)):
        now += dt.timedelta(seconds=r.pick((0, 0, 1, 61, 150, 86400 * 31)))
        url = r.pick(urls)
        top = r.pick((None, None, None, url, "https://b.test/", "http://a.test/"))
        script = r.below(6) == 0
        op = r.below(5)
        if op <= 1:
            raw = _header(r)
            got = native.set_cookie(raw, url, now=now, site_for_cookies=top, from_script=script)
            want = model.set_cookie(raw, url, now=now, site_for_cookies=top, from_script=script)
            assert (got is None) == (want is None), (step, raw, url, top, got, want)
        elif op == 2:
            kw = dict(now=now, site_for_cookies=top, navigation=r.flag() == 1,
                      method=r.pick(("GET", "POST", "head")), from_script=script)
            got, want = native.cookie_header(url, **kw), model.cookie_header(url, **kw)
            assert got == want, (step, url, kw, got, want)
        elif op == 3:
            which = r.below(3)
            if which == 0:
                native.clear_session_cookies(), model.clear_session_cookies()
            elif which == 1:
                native.clear_expired(now=now), model.clear_expired(now=now)
            else:
                domain = r.pick(("a.test", "www.a.test", "localhost"))
                native.clear(domain=domain), model.clear(domain=domain)
        assert _store(native, now) == _store(model, now), (step, options)
