"""What the clients' own cookie objects over a jar have in common: reading a
jar's cookies by name, domain and path the way those objects are read, and
setting one as a response from its site would.  Built on the jar's public
methods; every operation reads the jar, so a lookup costs a walk of its
cookies (as the clients' own objects cost).

Per-request cookies and a hand-set Cookie header follow one rule in every
adapter (`Extra`): the hand-set header goes first, on the first hop only;
then the jar's cookies; then the cookies given to the call, on every hop to
the host of the first one, never to another host, and never stored.
"""

import datetime as dt
from http.cookiejar import Cookie, CookieJar
from urllib.parse import urlsplit

NEEDS_DOMAIN = ("a cookie set on a session is kept for a site: pass domain=... (or pass the "
                "cookie to one request with cookies=...)")


def _domain(domain):
    return domain.lower().lstrip(".")


def matching(jar, name=None, domain=None, path=None):
    """The jar's cookies of that name (str, or bytes for the raw name),
    domain (without its leading dot, any case) and path, in the order a
    browser sends them (the longest path first, then the oldest)."""
    found = []
    wanted = None if domain is None else _domain(domain)
    for record in jar.cookies():
        if name is not None and (record.raw_name if isinstance(name, bytes) else record.name) != name:
            continue
        if wanted is not None and record.domain != wanted:
            continue
        if path is not None and record.path != path:
            continue
        found.append(record)
    return found


def one_cookie_jar(name, value, domain, path="/", *, secure=False, http_only=False,
                   same_site=None, expires=None, host_only=False):
    """An http.cookiejar.CookieJar of the one cookie that set() describes."""
    if domain is None:
        raise ValueError(NEEDS_DOMAIN)
    if same_site is not None and str(same_site).lower() not in ("lax", "strict", "none"):
        raise ValueError(f"same_site is 'lax', 'strict' or 'none', not {same_site!r}")
    if isinstance(expires, dt.datetime):
        if expires.tzinfo is None:
            expires = expires.replace(tzinfo=dt.timezone.utc)
        expires = int(expires.timestamp())
    elif expires is not None and (isinstance(expires, bool) or
                                  not isinstance(expires, (int, float))):
        raise TypeError(f"expires is a datetime or seconds since the epoch, not "
                        f"{type(expires).__name__}")
    rest = {}
    if http_only:
        rest["HttpOnly"] = None
    if same_site is not None:
        rest["SameSite"] = str(same_site).capitalize()
    domain = _domain(domain)
    jar = CookieJar()
    jar.set_cookie(Cookie(0, str(name), str(value), None, False,
                          domain if host_only else "." + domain, not host_only, not host_only,
                          path or "/", True, bool(secure),
                          None if expires is None else int(expires), expires is None, None,
                          None, rest))
    return jar


class CookieView:
    """The dict-like reading of a jar that the clients' objects share."""

    _cookie_jar = None

    def get(self, name, default=None, domain=None, path=None):
        """The value of the cookie of that name (and domain and path, when
        given) that a browser would send first; default when none.  Never
        raises on several of one name."""
        found = matching(self._cookie_jar, name, domain, path)
        return found[0].value if found else default

    def get_all(self, name, domain=None, path=None):
        """The values of every cookie of that name, in the order a browser
        sends them."""
        return [record.value for record in matching(self._cookie_jar, name, domain, path)]

    def __getitem__(self, name):
        found = matching(self._cookie_jar, name)
        if not found:
            raise KeyError(name)
        return found[0].value

    def __setitem__(self, name, value):
        raise ValueError(NEEDS_DOMAIN)

    def __contains__(self, name):
        return isinstance(name, (str, bytes)) and name in self._cookie_jar

    def __delitem__(self, name):
        found = matching(self._cookie_jar, name)
        if not found:
            raise KeyError(name)
        self._remove(found)

    def _remove(self, records):
        jar = self._cookie_jar
        wanted = {(r.raw_name, r.domain, r.host_only, r.path, r.partitioned) for r in records}
        for record, details in jar.cookies(details=True):
            if (record.raw_name, record.domain, record.host_only, record.path,
                    record.partitioned) in wanted:
                jar.remove((record, details))

    def __len__(self):
        return len(self._cookie_jar)

    def __bool__(self):
        return len(self._cookie_jar) > 0

    def clear(self, domain=None, path=None, name=None):
        """Removes the cookies of that domain, path and name (each when
        given; all without arguments)."""
        self._cookie_jar.clear(None if domain is None else _domain(domain), path, name)

    def set(self, name, value, domain=None, path="/", *, secure=False, http_only=False,
            same_site=None, expires=None, host_only=False):
        """Stores a cookie for a site: what a navigation response from
        https://{domain}/ with that Set-Cookie would store (a domain cookie,
        or host_only); ValueError with check's finding when a browser would
        refuse it, and without a domain.  Returns the BrowserCookie stored."""
        source = one_cookie_jar(name, value, domain, path, secure=secure, http_only=http_only,
                                same_site=same_site, expires=expires, host_only=host_only)
        report = self._cookie_jar.load_cookies(source, format="cookiejar")
        if report.skipped:
            raise ValueError(report.skipped[0][1])
        return self._cookie_jar.get(str(name), domain=_domain(domain), path=path or "/")

    def update(self, other=(), **values):
        """Stores each cookie of another cookie jar (a client's, with its
        domains); names and values alone raise ValueError (they say no site:
        pass domain= to set(), or cookies= to one request)."""
        if values or not hasattr(other, "jar") and not hasattr(other, "set_cookie"):
            if values or other:
                raise ValueError(NEEDS_DOMAIN)
            return
        source = getattr(other, "jar", other)
        report = self._cookie_jar.load_cookies(source, format="cookiejar")
        if report.skipped:
            raise ValueError(report.skipped[0][1])


class Extra:
    """What one call adds to the jar's cookies: a hand-set Cookie header (the
    first hop only) and per-request cookies (every hop to the first host)."""

    __slots__ = ("hand_set", "pairs", "host", "first")

    def __init__(self, hand_set, pairs, url):
        self.hand_set = hand_set
        self.pairs = pairs
        self.host = urlsplit(url).hostname
        self.first = True

    def header(self, jar_header, url):
        """The Cookie field for a hop to url (bytes; b"" for none)."""
        parts = []
        if self.first and self.hand_set:
            parts.append(self.hand_set)
        self.first = False
        if jar_header:
            parts.append(jar_header)
        if self.pairs and urlsplit(url).hostname == self.host:
            parts.extend(self.pairs)
        return b"; ".join(parts)


def pairs_of(cookies):
    """Per-request cookies (a mapping of names to values, (name, value)
    pairs, or a cookie jar of a client) as the bytes "name=value" each."""
    if not cookies:
        return []
    if hasattr(cookies, "jar") and not isinstance(cookies, dict):  # httpx.Cookies
        cookies = cookies.jar
    if hasattr(cookies, "set_cookie") and hasattr(cookies, "__iter__") and not isinstance(
            cookies, dict):  # an http.cookiejar.CookieJar
        items = [(cookie.name, cookie.value or "") for cookie in cookies]
    elif hasattr(cookies, "items"):
        items = list(cookies.items())
    else:
        items = list(cookies)
    return [_pair(name, value) for name, value in items]


def _pair(name, value):
    name = name if isinstance(name, bytes) else str(name).encode()
    value = value if isinstance(value, bytes) else str(value).encode()
    return name + b"=" + value if name else value
