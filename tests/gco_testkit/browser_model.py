"""A plain-Python reference model of what a browser stores for a Set-Cookie header.

``read_set_cookie(raw, url=None, *, now=None)`` returns the cookie a browser
keeps for one Set-Cookie header value received in answer to a top-level
same-site navigation to ``url``, into an empty cookie store, or None when the
browser refuses the header.  ``refusal_reasons`` gives the reason code words
the browser reports for a refused header (the DevTools protocol's
``blockedReasons``).

The steps follow the RFC 6265bis draft (the set-cookie-string algorithm, the
cookie-date algorithm and the storage model); where Chromium does otherwise,
the code does what Chromium does and says so.  It is checked against the
recorded table ``tests/data/browser_set_cookie.json`` and is the reference
the compiled ``glimmering_copper_otter.browser`` is tested against: keep it
plain.
"""

from __future__ import annotations

import dataclasses
import datetime as dt
import re

from glimmering_copper_otter.cookies import CookieSameSiteMode

from . import public_suffix_model

UTC = dt.timezone.utc
MAX_NAME_VALUE = 4096
MAX_ATTRIBUTE_VALUE = 1024
MAX_AGE_LIMIT = 400 * 24 * 3600  # seconds
EARLIEST = dt.datetime.min.replace(tzinfo=UTC)
LATEST = dt.datetime.max.replace(tzinfo=UTC)
DAY = dt.timedelta(hours=24)

# Set False to run without the Public Suffix List: only the list's default
# rule "*" applies then (every last label is a public suffix).
USE_PUBLIC_SUFFIX_LIST = True


@dataclasses.dataclass(frozen=True)
class BrowserCookie:
    name: str
    value: str
    raw_name: bytes     # the bytes as received
    raw_value: bytes
    domain: str | None
    host_only: bool
    path: str | None
    expires: dt.datetime | None
    secure: bool
    http_only: bool
    same_site: CookieSameSiteMode
    partitioned: bool
    priority: str | None
    expired: bool


# -- the text rule -----------------------------------------------------------

def decode_text(raw: bytes) -> str:
    """UTF-8, a byte outside a valid UTF-8 sequence standing for its Latin-1 character."""
    return raw.decode("utf-8", errors="surrogateescape").translate(_SURROGATES)


class _Surrogates(dict):
    def __missing__(self, code):
        if 0xDC80 <= code <= 0xDCFF:
            return code - 0xDC00
        raise LookupError


_SURROGATES = _Surrogates()


# -- argument checks ----------------------------------------------------------

def _raw_bytes(raw) -> bytes:
    if isinstance(raw, (bytes, bytearray)):
        return bytes(raw)
    if isinstance(raw, str):
        # characters below U+0100 stand for their Latin-1 bytes; a str with
        # any other character is text, read as its UTF-8 (lone surrogates kept)
        try:
            return str(raw).encode("latin-1")
        except UnicodeEncodeError:
            return str(raw).encode("utf-8", "surrogatepass")
    raise TypeError(f"raw must be bytes or str, not {type(raw).__name__}")


def _now(now) -> dt.datetime:
    """now in UTC; a time outside years 1 to 9999 (possible with an offset)
    is read as the nearest instant inside them."""
    if now is None:
        return dt.datetime.now(UTC)
    if not isinstance(now, dt.datetime):
        raise TypeError(f"now must be a datetime, not {type(now).__name__}")
    offset = None if now.tzinfo is None else now.utcoffset()
    if offset is None:
        raise ValueError("now must be an aware datetime")
    # a datetime subclass's own utcoffset() may return any timedelta
    if not -DAY < offset < DAY:
        raise ValueError("now.utcoffset() must be strictly between -timedelta(hours=24) and "
                         f"timedelta(hours=24), not {offset!r}")
    local = dt.datetime(now.year, now.month, now.day, now.hour, now.minute, now.second,
                        now.microsecond, tzinfo=UTC)
    try:
        return local - offset
    except OverflowError:
        return EARLIEST if offset > dt.timedelta(0) else LATEST


def _later(when: dt.datetime, seconds: int) -> dt.datetime:
    """seconds after when, or the last representable instant."""
    try:
        return when + dt.timedelta(seconds=seconds)
    except OverflowError:
        return LATEST


class _Origin:
    """The url's origin.  The url itself is read by the compiled url reader,
    which tests/test_url.py checks on its own against the standard's test
    data and Chromium's recorded answers."""

    def __init__(self, url):
        if not isinstance(url, str):
            raise TypeError(f"url must be a str, not {type(url).__name__}")
        from glimmering_copper_otter import browser
        parts = browser._read_url(str(url))
        if parts is None or parts["scheme"] not in ("http", "https"):
            raise ValueError(f"url must be an absolute http(s) URL: {str(url)!r}")
        self.host = parts["host"]
        self.path = parts["path"]
        self.ip = parts["host_kind"] != "domain"
        # browsers treat localhost, *.localhost and loopback addresses as
        # secure origins even over http
        self.secure = parts["scheme"] == "https" or parts["loopback"]


# -- the cookie-date algorithm -------------------------------------------------

_DELIMITER = set(b"\t") | set(range(0x20, 0x30)) | set(range(0x3B, 0x41)) \
    | set(range(0x5B, 0x61)) | set(range(0x7B, 0x7F))
_MONTHS = [b"jan", b"feb", b"mar", b"apr", b"may", b"jun",
           b"jul", b"aug", b"sep", b"oct", b"nov", b"dec"]
_TIME = re.compile(rb"(\d+):(\d+):(\d+)")


def _tokens(value: bytes):
    token = bytearray()
    for byte in value:
        if byte in _DELIMITER:
            if token:
                yield bytes(token)
                token = bytearray()
        else:
            token.append(byte)
    if token:
        yield bytes(token)


def parse_cookie_date(value: bytes) -> dt.datetime | None:
    """The cookie-date algorithm as browsers run it; None when it fails.

    Browsers differ from the draft's grammar: a day or year token is digits
    only (no "21st", no "2099AD"), a time token is exactly three colon-separated
    runs of digits of any length (no "07:28:00Z", no "07:28:00:00"), a token
    of one or two digits is the day when no day was found yet and otherwise
    the year, and a token of three to five digits is the year (so "10000" is a
    year).  A longer run of digits, leading zeros included, is no year at all:
    Chromium skips it, so a year that does not fit ("9999999999") leaves no
    date (a session cookie) unless a later token gives one.
    """
    time = day = month = year = None
    for token in _tokens(value):
        if b":" in token:
            if time is None and (m := _TIME.fullmatch(token)):
                time = tuple(int(g) for g in m.groups())
        elif token.isdigit():
            if day is None and len(token) <= 2:
                day = int(token)
            elif year is None and len(token) <= 5:
                year = int(token)
        elif month is None and token[:3].lower() in _MONTHS:
            month = _MONTHS.index(token[:3].lower()) + 1
    if None in (time, day, month, year):
        return None
    if 70 <= year <= 99:
        year += 1900
    elif 0 <= year <= 69:
        year += 2000
    hour, minute, second = time
    if not 1 <= day <= 31 or hour > 23 or minute > 59 or second > 59:
        return None
    # browsers keep a date before 1601 (it is in the past: a deletion) and
    # one after 9999 (beyond any expiry cap) instead of failing on them; a
    # day past the month's end is no date in any year (the Gregorian calendar
    # repeats every 400 years, so 2000 + year % 400 has the same months)
    try:
        when = dt.datetime(year if year <= 9999 else 2000 + year % 400, month, day,
                           hour, minute, second, tzinfo=UTC)
    except ValueError:
        return None
    return when if year <= 9999 else LATEST


# -- the set-cookie-string algorithm -------------------------------------------

_WSP = b" \t"


def _has_ctl(data: bytes) -> bool:
    return any(b < 0x20 and b != 0x09 or b == 0x7F for b in data)


def _split(raw: bytes):
    """(name, value, [(attribute name, attribute value)]) as bytes."""
    pair, _, rest = raw.partition(b";")
    if b"=" in pair:
        name, _, value = pair.partition(b"=")
    else:
        name, value = b"", pair
    attributes = []
    for av in rest.split(b";") if rest else []:
        key, _, val = av.partition(b"=")
        attributes.append((key.strip(_WSP).lower(), val.strip(_WSP)))
    return name.strip(_WSP), value.strip(_WSP), attributes


def _default_path(url_path: str) -> str:
    if not url_path.startswith("/") or url_path.count("/") <= 1:
        return "/"
    return url_path[:url_path.rindex("/")]


def _max_age(value: bytes) -> int | None:
    # browsers also take a leading "+" (the draft ignores "+5")
    if not re.fullmatch(rb"[-+]?\d+", value):
        return None
    return int(value)


def _public_suffix(domain: str) -> bool:
    return public_suffix_model.is_public_suffix(domain, USE_PUBLIC_SUFFIX_LIST)


def _canonical_domain(value: bytes) -> str | None:
    """The Domain attribute's value read as a url's host (lower case,
    escapes decoded, A-labels, IPv4 forms as dotted quads), one leading dot
    dropped; None when no host can be that."""
    if value.startswith(b"."):
        value = value[1:]
        if not value:
            return None       # browsers refuse a lone "." (the draft reads it as no Domain)
    if b"%" in value:
        return None           # browsers refuse a percent-escape in a Domain
    try:
        text = value.decode("utf-8")
    except UnicodeDecodeError:
        return None
    # what would end a url's host, or vanish from a url, is no host here
    bracketed = text.startswith("[") and text.endswith("]")
    if any(c in "/?#\\@\t\r\n" for c in text) or (":" in text and not bracketed):
        return None
    from glimmering_copper_otter import browser
    parts = browser._read_url(f"http://{text}/")
    return None if parts is None else parts["host"]


def _evaluate(raw, url, now):
    """(BrowserCookie or None, [reason code words])."""
    data = _raw_bytes(raw)
    now = _now(now)
    origin = None if url is None else _Origin(url)

    if _has_ctl(data):
        return None, ["DisallowedCharacter"]
    name_b, value_b, attributes = _split(data)
    if not name_b and not value_b:
        return None, ["NoCookieContent"]
    # browsers refuse a tab left inside a name, value or attribute after
    # trimming (the draft allows it)
    if any(b"\t" in part for part in (name_b, value_b, *(x for av in attributes for x in av))):
        return None, ["DisallowedCharacter"]
    if len(name_b) + len(value_b) > MAX_NAME_VALUE:
        return None, ["NameValuePairExceedsMaxSize"]
    # browsers refuse an empty name whose value holds "=": sent back, it
    # would read as another name (no reason is reported for it)
    if not name_b and b"=" in value_b:
        return None, ["AmbiguousNameValue"]

    # the last attribute of each name counts; one over 1024 bytes is ignored
    last = {}
    secure = http_only = partitioned = False
    for key, val in attributes:
        if len(val) > MAX_ATTRIBUTE_VALUE:
            continue
        last[key] = val
        secure = secure or key == b"secure"
        http_only = http_only or key == b"httponly"
        partitioned = partitioned or key == b"partitioned"

    name, value = decode_text(name_b), decode_text(value_b)

    # expiry: Max-Age wins over Expires; both are capped at 400 days.
    # Browsers parse only the last attribute of each: an invalid last one is
    # ignored rather than an earlier valid one taken (the draft takes the
    # last valid one).
    limit = _later(now, MAX_AGE_LIMIT)
    max_age = _max_age(last[b"max-age"]) if b"max-age" in last else None
    expires = parse_cookie_date(last[b"expires"]) if b"expires" in last else None
    if max_age is not None:
        when = EARLIEST if max_age <= 0 else _later(now, min(max_age, MAX_AGE_LIMIT))
    elif expires is not None:
        when = min(expires, limit)
    else:
        when = None
    expired = when is not None and when <= now

    # domain
    domain_b = last.get(b"domain", b"")
    domain = None
    if domain_b:
        domain = _canonical_domain(domain_b)
        if domain is None:
            return None, ["InvalidDomain"]
    host_only = not domain
    if origin is not None:
        if domain and _public_suffix(domain):
            if domain != origin.host:
                return None, ["InvalidDomain"]
            domain = None     # a Domain equal to a public-suffix host: host-only
        if domain and origin.ip:
            # an IP-address host takes only a Domain written exactly as it
            # (one leading dot aside, letters in any case), and the cookie is
            # then host-only (as browsers do)
            written = domain_b[1:] if domain_b.startswith(b".") else domain_b
            if written.lower() != origin.host.encode():
                return None, ["InvalidDomain"]
            domain = None
        if domain:
            if not (origin.host == domain or origin.host.endswith("." + domain)):
                return None, ["InvalidDomain"]
            host_only = False
        else:
            domain, host_only = origin.host, True

    # path: an attribute not starting with "/" gives the default path
    path_b = last.get(b"path")
    if path_b is not None and path_b.startswith(b"/"):
        path = decode_text(path_b)
    else:
        path = None if origin is None else _default_path(origin.path)

    # name prefixes, in any letter case; browsers add "__Http-" (Secure and
    # HttpOnly) and "__Host-Http-" (the "__Host-" rules and HttpOnly)
    # (browsers check them before the Secure attribute's origin, and count a
    # Secure cookie from an insecure origin as a prefix failure)
    secure_from_secure = secure and (origin is None or origin.secure)
    lower = name.lower()
    if lower.startswith("__secure-") and not secure_from_secure:
        return None, ["InvalidPrefix"]
    if lower.startswith("__host-") and not (secure_from_secure and host_only and path_b == b"/"):
        return None, ["InvalidPrefix"]
    if lower.startswith("__http-") and not (secure_from_secure and http_only):
        return None, ["InvalidPrefix"]
    if lower.startswith("__host-http-") and not http_only:
        return None, ["InvalidPrefix"]
    if not name and value.lower().startswith(("__secure-", "__host-")):
        return None, ["InvalidPrefix"]

    if origin is not None and secure and not origin.secure:
        return None, ["SecureOnly"]

    same_site = {b"lax": CookieSameSiteMode.LAX, b"strict": CookieSameSiteMode.STRICT,
                 b"none": CookieSameSiteMode.NONE}.get(last.get(b"samesite", b"").lower(),
                                                       CookieSameSiteMode.UNDEFINED)
    if same_site == CookieSameSiteMode.NONE and not secure:
        return None, ["SameSiteNoneInsecure"]
    # Partitioned comes from browsers, not the draft: it needs Secure (no
    # reason is reported for it)
    if partitioned and not secure:
        return None, ["PartitionedNotSecure"]

    priority = last.get(b"priority", b"").lower().decode("latin-1")
    if priority not in ("low", "medium", "high"):
        priority = None
    cookie = BrowserCookie(name, value, name_b, value_b, domain, host_only, path, when, secure,
                           http_only, same_site, partitioned, priority, expired)
    return cookie, []


def read_set_cookie(raw, url=None, *, now=None):
    """What a browser stores for one Set-Cookie header value, or None when it refuses it."""
    return _evaluate(raw, url, now)[0]


def refusal_reasons(raw, url=None, *, now=None) -> list[str]:
    """The reason code words for refusing the header (empty when a browser keeps it).

    The words are Chromium's blocked-cookie reasons where it reports one:
    DisallowedCharacter, NoCookieContent, NameValuePairExceedsMaxSize,
    InvalidDomain, SecureOnly, SameSiteNoneInsecure, InvalidPrefix.  Where
    Chromium refuses silently the words are this model's own:
    AmbiguousNameValue (an empty name with "=" in the value) and
    PartitionedNotSecure.  A deletion is not a refusal.
    """
    return _evaluate(raw, url, now)[1]

