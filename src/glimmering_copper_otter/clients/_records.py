"""The cookie objects of the HTTP clients and the jar's cookies, both ways.

In: each cookie of another jar (an `http.cookiejar.CookieJar`, requests'
`RequestsCookieJar`, `httpx.Cookies`, aiohttp's `CookieJar`, or a mapping of
names to values for one url) as the Set-Cookie value and url that stand for
it: a navigation response from `https://{domain}{path}` (from its host when
it is host-only), with its expiry and, where the source has them, host-only,
Secure, HttpOnly and SameSite.  The jar then applies its rules to each, as
it does to any response.

Out: the jar's cookies as those objects, and what each cannot carry.

Pure conversions: the clients are imported only by the conversion that
makes their objects.
"""

import datetime as dt
import email.utils
from http.cookiejar import Cookie, CookieJar

from glimmering_copper_otter.rows import LeftOut

FORMATS = ("cookiejar", "httpx", "aiohttp", "mapping")
_SAME_SITE = {"lax": b"Lax", "strict": b"Strict", "none": b"None"}


def _bytes(text):
    return text if isinstance(text, bytes) else str(text).encode()


def _http_date(seconds):
    when = dt.datetime.fromtimestamp(max(seconds, 0), dt.timezone.utc)
    return email.utils.format_datetime(when, usegmt=True).encode()


def _header(name, value, host, path, domain, *, secure=False, http_only=False, same_site=None,
            expires=None, max_age=None):
    """A Set-Cookie value and its url; ValueError for a cookie of no site."""
    host = (host or "").lower().lstrip(".")
    if not host:
        raise ValueError("Unreadable: the cookie names no domain")
    parts = [_bytes(name) + b"=" + _bytes(value) if name else _bytes(value)]
    path = path or "/"
    parts.append(b"Path=" + _bytes(path))
    if domain:
        parts.append(b"Domain=" + _bytes(host))
    if secure:
        parts.append(b"Secure")
    if http_only:
        parts.append(b"HttpOnly")
    word = _SAME_SITE.get(str(same_site).lower()) if same_site else None
    if word is not None:
        parts.append(b"SameSite=" + word)
    if expires is not None:
        parts.append(b"Expires=" + _http_date(expires))
    if max_age is not None:
        parts.append(b"Max-Age=" + _bytes(max_age))
    page = path if path.startswith("/") else "/"
    return b"; ".join(parts), f"https://{host}{page}"


def _rest(cookie, name):
    # http.cookiejar keeps the attributes it does not know, in any letter case.
    for key, value in getattr(cookie, "_rest", {}).items():
        if key.lower() == name:
            return value if value is not None else True
    return None


def header_of_standard(cookie):
    """The Set-Cookie value and url of an http.cookiejar.Cookie."""
    domain = cookie.domain_specified or cookie.domain.startswith(".")
    return _header(cookie.name if cookie.value is not None else "",
                   cookie.value if cookie.value is not None else cookie.name,
                   cookie.domain, cookie.path, domain, secure=cookie.secure,
                   http_only=_rest(cookie, "httponly") is not None,
                   same_site=_rest(cookie, "samesite"), expires=cookie.expires)


def _morsel_header(morsel, host_only):
    same_site = morsel.get("samesite") or None
    max_age = morsel.get("max-age") or None
    expires = morsel.get("expires") or None
    header, url = _header(morsel.key, morsel.value, morsel.get("domain"),
                          morsel.get("path"), not host_only, secure=bool(morsel.get("secure")),
                          http_only=bool(morsel.get("httponly")), same_site=same_site,
                          max_age=max_age)
    if expires:
        header += b"; Expires=" + _bytes(expires)
    return header, url


def headers_of(source, format, url=None):
    """(where, Set-Cookie value, url) for each cookie of source, or (where,
    None, reason) for one that names no site.  where is its index."""
    if format == "mapping":
        if url is None:
            raise ValueError("a mapping of names to values needs the url its cookies are for")
        items = source.items() if hasattr(source, "items") else source
        return [(index, _bytes(name) + b"=" + _bytes(value), url)
                for index, (name, value) in enumerate(items)]
    if format == "aiohttp":
        # aiohttp names a host-only cookie by (domain, path, name).
        host_only = getattr(source, "host_only_cookies", frozenset())
        return [_guarded(index, _morsel_header, morsel,
                         (morsel.get("domain"), morsel.get("path"), morsel.key) in host_only)
                for index, morsel in enumerate(source)]
    if format == "httpx":
        source = getattr(source, "jar", source)
    elif format != "cookiejar":
        raise ValueError(f"format is one of {', '.join(FORMATS)}, not {format!r}")
    if not isinstance(source, CookieJar):
        raise TypeError(f"format {format!r} reads an http.cookiejar.CookieJar"
                        f"{' or httpx.Cookies' if format == 'httpx' else ''}, not "
                        f"{type(source).__name__}")
    return [_guarded(index, header_of_standard, cookie) for index, cookie in enumerate(source)]


def _guarded(index, make, *args):
    try:
        header, url = make(*args)
    except ValueError as error:
        return index, None, str(error)
    return index, header, url


def standard_cookie(record):
    """The http.cookiejar.Cookie of a jar's BrowserCookie (HttpOnly, SameSite
    and Partitioned in its nonstandard attributes, as http.cookiejar keeps
    them)."""
    rest = {}
    if record.http_only:
        rest["HttpOnly"] = None
    if record.same_site.name != "UNDEFINED":
        rest["SameSite"] = record.same_site.name.capitalize()
    if record.partitioned:
        rest["Partitioned"] = None
    expires = None if record.expires is None else int(record.expires.timestamp())
    domain = record.domain if record.host_only else "." + record.domain
    return Cookie(0, record.name, record.value, None, False, domain, not record.host_only,
                  not record.host_only, record.path, True, record.secure, expires,
                  expires is None, None, None, rest)


def _left_out(record, reason):
    return LeftOut(record.raw_name, record.domain, record.path.encode(), reason)


def _text_cookie(record):
    """Why a cookie cannot go to a client that keeps text, or None."""
    if record.partitioned:
        return "partitioned: the target has no partition key"
    try:
        record.raw_name.decode("utf-8")
        record.raw_value.decode("utf-8")
    except UnicodeDecodeError:
        return "its name or value is not UTF-8: the target keeps text"
    return None


def dump(records, format):
    """The records as the target's object, and the LeftOut records of what
    it cannot carry."""
    left_out = []
    kept = []
    for record in records:
        reason = _text_cookie(record)
        if reason is None and format == "mapping" and any(k.name == record.name for k in kept):
            reason = "a mapping keeps one cookie per name: the one sent first is kept"
        if reason is None:
            kept.append(record)
        else:
            left_out.append(_left_out(record, reason))
    if format == "mapping":
        return {record.name: record.value for record in kept}, left_out
    if format == "aiohttp":
        return _aiohttp_jar(kept), left_out
    jar = CookieJar()
    for record in kept:
        jar.set_cookie(standard_cookie(record))
    if format == "cookiejar":
        return jar, left_out
    if format == "httpx":
        import httpx

        return httpx.Cookies(jar), left_out
    raise ValueError(f"format is one of {', '.join(FORMATS)}, not {format!r}")


def _aiohttp_jar(records):
    from http.cookies import Morsel, SimpleCookie

    import aiohttp
    from yarl import URL

    try:
        jar = aiohttp.CookieJar(unsafe=True)
    except RuntimeError:
        # Outside a running event loop: aiohttp's jar keeps a loop it never
        # uses, so a closed one serves.
        import asyncio

        loop = asyncio.new_event_loop()
        loop.close()
        jar = aiohttp.CookieJar(unsafe=True, loop=loop)
    for record in records:
        morsel = Morsel()
        morsel.set(record.name, record.value, record.value)
        morsel["path"] = record.path
        if not record.host_only:
            morsel["domain"] = record.domain
        if record.secure:
            morsel["secure"] = True
        if record.http_only:
            morsel["httponly"] = True
        if record.same_site.name != "UNDEFINED":
            morsel["samesite"] = record.same_site.name.capitalize()
        if record.expires is not None:
            morsel["expires"] = email.utils.format_datetime(record.expires, usegmt=True)
        cookies = SimpleCookie()
        dict.__setitem__(cookies, record.name, morsel)
        jar.update_cookies(cookies, URL(f"https://{record.domain}{record.path}"))
    return jar
