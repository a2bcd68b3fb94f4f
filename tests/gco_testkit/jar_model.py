"""A plain-Python reference model of a cookie jar that keeps and sends
cookies as Chromium does.

``CookieJar`` has the API of ``glimmering_copper_otter.jar.CookieJar``
without the file store: ``set_cookie``/``set_cookies`` apply Set-Cookie
values received from a URL (or ``document.cookie`` writes, ``from_script``),
``cookie_header`` gives the exact Cookie header a browser sends with a
request in a given context, ``cookies``/``get``/``len``/iteration/``clear``
read and edit the store.  Each Set-Cookie value is read by the reference
model of one header (``browser_model.read_set_cookie``); this module adds
what a store does with many of them.  It agrees with every scenario recorded
from Chromium in ``tests/data/browser_sequences.json`` and is the reference
the compiled jar is tested against: keep it plain, and write each rule's
source in words.

The request context, in the words of the module's API:

- ``site_for_cookies`` is the URL of the top-level page.  For a request made
  by that page (a subresource, or an iframe's own request) the page is the
  top-level page; for a top-level navigation (``navigation=True``) it is the
  page the navigation starts from.  None: the request is same-site with
  ``url``, as for a plain HTTP client or a navigation typed by the user.
- For ``set_cookie`` it is the top-level page that receives the response
  (None for a response to a top-level navigation, which is always allowed
  to set same-site cookies).

URLs are read with ``urllib.parse`` here; the compiled jar reads them as
WHATWG URLs.  Times are aware datetimes; a jar takes ``now`` from its caller
and never reads the clock when one is given.
"""

from __future__ import annotations

import dataclasses
import datetime as dt
import ipaddress

from . import browser_model, public_suffix_model
from .browser_model import BrowserCookie, _raw_bytes, decode_text
from glimmering_copper_otter.cookies import CookieSameSiteMode

UTC = dt.timezone.utc

# Chromium keeps, per registrable domain, at most 180 cookies and purges down
# to 150 when a cookie beyond it is set (cookie_monster.cc, kDomainMaxCookies
# and kDomainPurgeCookies); of the 150 kept it protects, per priority, the 30
# most recently used Low cookies, 50 Medium and the other 70 High ones
# (kDomainCookiesQuota*).  In all it keeps 3300 and purges down to 3000
# (kMaxCookies, kPurgeCookies), evicting only cookies unused for 30 days
# (kSafeFromGlobalPurgeDays).  A jar with other limits keeps the proportions.
SAFE_FROM_GLOBAL_PURGE = dt.timedelta(days=30)
# A partition (one top-level site) holds per registrable domain at most 180
# cookies and 10240 bytes of names and values (kPerPartitionDomainMaxCookies,
# kPerPartitionDomainMaxCookieBytes); the least recently used go first.
PARTITION_MAX_COOKIES = 180
PARTITION_MAX_BYTES = 10240
# A cookie's last-access time is updated when it is sent, at most once a
# minute (kDefaultAccessUpdateThresholdSeconds).
ACCESS_UPDATE_THRESHOLD = dt.timedelta(seconds=60)
# A cookie without SameSite is sent on a cross-site top-level navigation with
# an unsafe method (a POST) while it is at most two minutes old
# (kLaxAllowUnsafeMaxAge, "Lax-allowing-unsafe").
LAX_ALLOW_UNSAFE_MAX_AGE = dt.timedelta(minutes=2)
SAFE_METHODS = ("GET", "HEAD", "OPTIONS", "TRACE")

# Same-site contexts, weakest first (CookieOptions::SameSiteCookieContext).
CROSS_SITE, LAX_METHOD_UNSAFE, LAX, STRICT = range(4)


@dataclasses.dataclass(frozen=True)
class JarCookie(BrowserCookie):
    """A stored cookie: the record of ``read_set_cookie`` and the store's own
    fields."""
    creation: dt.datetime = None
    last_access: dt.datetime = None
    # (top-level site as "scheme://host", whether the frame had a cross-site
    # ancestor), None for an unpartitioned cookie
    partition_key: tuple[str, bool] | None = None
    source_scheme: str = "NonSecure"          # "Secure" or "NonSecure"
    source_port: int = 80

    @property
    def key(self):
        # Chromium's unique key: partition, name, domain (a leading dot for a
        # domain cookie), path (CanonicalCookie::UniqueKey without the scheme
        # and port, which Chromium 156 does not bind cookies to)
        return (self.partition_key, self.raw_name, self.domain, self.host_only, self.path)


# -- URLs and sites -----------------------------------------------------------

class _Url:
    """A request or response url, read by the compiled url reader (see
    browser_model._Origin); a ws or wss url counts as http or https."""

    def __init__(self, url):
        if not isinstance(url, str):
            raise TypeError(f"url must be a str, not {type(url).__name__}")
        from glimmering_copper_otter import browser
        parts = browser._read_url(str(url))
        if parts is None:
            raise ValueError(f"url must be an absolute http(s) or ws(s) URL: {str(url)!r}")
        self.scheme = {"ws": "http", "wss": "https"}.get(parts["scheme"], parts["scheme"])
        self.host = parts["host"]      # an IPv6 address in brackets, as Chromium writes it
        self.port = parts["port"]
        self.path = parts["path"]
        self.url = f"{self.scheme}://{self.host}{self.path}"
        # localhost, *.localhost and loopback addresses are trustworthy:
        # they may set and read Secure cookies over http
        # (cookie_util::ProvisionalAccessScheme)
        self.trustworthy = self.scheme == "https" or parts["loopback"]


_Origin = browser_model._Origin


def _ip(host):
    try:
        return ipaddress.ip_address(host.strip("[]"))
    except ValueError:
        return None


class _Sites:
    """Registrable domains by the Public Suffix List (or its default rule)."""

    def __init__(self, public_suffix_list):
        self.use_list = bool(public_suffix_list)

    def registrable(self, host: str) -> str:
        """The registrable domain of a host (or cookie domain); the host
        itself for an IP address or a public suffix (CookieMonster::GetKey)."""
        host = host.lstrip(".")
        if _ip(host) is not None:
            return host
        return public_suffix_model.registrable_domain(host, self.use_list) or host

    def site(self, url: _Url) -> str:
        """The schemeful site: scheme and registrable domain."""
        return f"{url.scheme}://{self.registrable(url.host)}"

    def same_site(self, a: _Url, b: _Url) -> bool:
        # Chromium compares sites schemefully (kSchemefulSameSite): http and
        # https pages of one registrable domain are cross-site
        return self.site(a) == self.site(b)


def _domain_match(cookie: BrowserCookie, host: str) -> bool:
    if cookie.host_only:
        return host == cookie.domain
    return host == cookie.domain or host.endswith("." + cookie.domain)


def _path_match(cookie_path: str, url_path: str) -> bool:
    # cookie_util::IsOnPath: a prefix that ends at a "/" of the url path
    if not url_path.startswith(cookie_path):
        return False
    return (len(cookie_path) == len(url_path) or cookie_path.endswith("/")
            or url_path[len(cookie_path)] == "/")


def _subdomain(a: str, b: str) -> bool:
    return a == b or a.endswith("." + b)


def _now(now) -> dt.datetime:
    return browser_model._now(now)


# -- the jar -------------------------------------------------------------------

class CookieJar:
    """Cookies kept and sent as Chromium does (see the module docstring)."""

    def __init__(self, path=None, *, max_cookies=3300, max_cookies_per_site=180,
                 public_suffix_list=True):
        if path is not None:
            raise NotImplementedError("the reference model has no file store")
        for name, value in (("max_cookies", max_cookies),
                            ("max_cookies_per_site", max_cookies_per_site)):
            if value is not None and (not isinstance(value, int) or isinstance(value, bool)):
                raise TypeError(f"{name} must be an int or None")
            if value is not None and value < 1:
                raise ValueError(f"{name} must be at least 1")
        self.max_cookies = max_cookies
        self.max_cookies_per_site = max_cookies_per_site
        self.public_suffix_list = bool(public_suffix_list)
        self.sites = _Sites(self.public_suffix_list)
        # the cookies of each registrable domain (Chromium's cookie map is
        # keyed the same way), by their unique key
        self._sites: dict[str, dict[tuple, JarCookie]] = {}
        self._last_creation = None

    def _all(self):
        return [c for group in self._sites.values() for c in group.values()]

    def _delete(self, cookie):
        group = self._sites[self.sites.registrable(cookie.domain)]
        del group[cookie.key]

    # -- setting ---------------------------------------------------------------

    def set_cookies(self, values, url, *, now=None, site_for_cookies=None, from_script=False):
        """Applies the Set-Cookie values of one response, in order: a list of
        bytes or str, or of raw (name, value) header pairs whose Set-Cookie
        ones are taken.  Returns what ``set_cookie`` returned for each."""
        now = _now(now)
        raws = []
        for item in list(values):
            if isinstance(item, tuple):
                name, value = item
                if bytes(name).lower() == b"set-cookie":
                    raws.append(bytes(value))
            else:
                raws.append(_raw_bytes(item))
        return [self.set_cookie(raw, url, now=now, site_for_cookies=site_for_cookies,
                                from_script=from_script) for raw in raws]

    def _read(self, raw, url, now):
        saved = browser_model.USE_PUBLIC_SUFFIX_LIST
        browser_model.USE_PUBLIC_SUFFIX_LIST = saved and self.public_suffix_list
        try:
            return browser_model.read_set_cookie(raw, url, now=now)
        finally:
            browser_model.USE_PUBLIC_SUFFIX_LIST = saved

    def set_cookie(self, raw, url, *, now=None, site_for_cookies=None, from_script=False):
        """Applies one Set-Cookie value received from ``url``; returns what
        was stored (the expired record for a deletion), or None when refused."""
        now = _now(now)
        origin = _Url(url)
        top = origin if site_for_cookies is None else _Url(site_for_cookies)
        parsed = self._read(raw, origin.url, now)
        if parsed is None:
            return None
        # document.cookie cannot set an HttpOnly cookie
        # (CookieBase::IsSetPermittedInContext, EXCLUDE_HTTP_ONLY)
        if from_script and parsed.http_only:
            return None
        # A response to a top-level navigation may set any cookie; otherwise
        # the context is same-site when the top-level page and the url are
        # (cookie_util::ComputeSameSiteContextForResponse and ForScriptSet;
        # strict contexts count as lax for a write).  Cookies that are Lax,
        # Strict or without SameSite are refused in a cross-site context.
        if not self.sites.same_site(top, origin) and parsed.same_site != CookieSameSiteMode.NONE:
            return None
        partition_key = None
        if parsed.partitioned:
            partition_key = self._partition_key(origin, top, navigation=False)
        creation = self._creation(now)
        fields = {f.name: getattr(parsed, f.name) for f in dataclasses.fields(BrowserCookie)}
        if origin.host.startswith("["):
            # an IPv6 host keeps its brackets in the cookie's domain
            fields["domain"] = origin.host
        cookie = JarCookie(
            **fields, creation=creation, last_access=creation, partition_key=partition_key,
            # the scheme and port that set the cookie: a Secure cookie counts
            # as set from a secure scheme, and one set Secure over http (a
            # trustworthy origin) as from port 443 (CanonicalCookie::Create)
            source_scheme="Secure" if parsed.secure or origin.scheme == "https" else "NonSecure",
            source_port=443 if parsed.secure and origin.scheme == "http" and origin.port == 80
            else origin.port)
        site = self.sites.registrable(cookie.domain)
        group = self._sites.setdefault(site, {})
        self._drop_expired(group, now)
        # Leave secure cookies alone: an origin that may not set Secure
        # cookies cannot set a cookie of the same name and partition whose
        # domain is a subdomain of, or a parent of, a Secure cookie's domain
        # and whose path the Secure cookie's path matches
        # (CookieMonster::MaybeDeleteEquivalentCookieAndUpdateStatus,
        # CanonicalCookie::IsEquivalentForSecureCookieMatching).
        if not origin.trustworthy:
            for old in group.values():
                if (old.secure and old.partition_key == partition_key
                        and old.raw_name == cookie.raw_name
                        and (_subdomain(old.domain, cookie.domain)
                             or _subdomain(cookie.domain, old.domain))
                        and _path_match(old.path, cookie.path)):
                    return None
        old = group.get(cookie.key)
        if old is not None:
            # document.cookie cannot overwrite an HttpOnly cookie
            if from_script and old.http_only:
                return None
            del group[cookie.key]
            # the overwritten cookie's creation time is kept only when the
            # value is unchanged: x=1, y=1, x=2 is sent as "y=1; x=2" but
            # x=1, y=1, x=1 as "x=1; y=1"
            if old.raw_value == cookie.raw_value:
                cookie = dataclasses.replace(cookie, creation=old.creation)
        if cookie.expired:
            # an expiry not after now deletes (the record is not stored)
            return cookie
        group[cookie.key] = cookie
        if partition_key is not None:
            self._purge_partition(group, partition_key)
        else:
            self._purge_site(group)
            self._purge_global(now)
        return cookie

    def _creation(self, now):
        # creation times are strictly increasing within a jar, so that two
        # cookies set "at once" keep their order
        if self._last_creation is not None and now <= self._last_creation:
            now = self._last_creation + dt.timedelta(microseconds=1)
        self._last_creation = now
        return now

    def _partition_key(self, url: _Url, top: _Url, navigation: bool):
        # the top-level site, and whether the frame had a cross-site ancestor:
        # never for a top-level navigation, otherwise when the top-level page
        # is cross-site with the url (CookiePartitionKey::FromNetworkIsolationKey)
        if navigation:
            return (self.sites.site(url), False)
        return (self.sites.site(top), not self.sites.same_site(top, url))

    # -- eviction ----------------------------------------------------------------

    @staticmethod
    def _lru(cookies):
        return sorted(cookies, key=lambda c: (c.last_access, c.creation))

    def _purge_site(self, group):
        """At most max_cookies_per_site unpartitioned cookies per registrable
        domain (CookieMonster::GarbageCollect, the domain part)."""
        limit = self.max_cookies_per_site
        cookies = [c for c in group.values() if c.partition_key is None]
        if limit is None or len(cookies) <= limit:
            return
        # 180 is purged to 150; per priority the most recently used 30 Low,
        # 50 Medium and 70 High cookies are protected
        keep = limit - limit // 6
        quotas = {"low": limit // 6, "medium": limit * 5 // 18}
        quotas["high"] = keep - quotas["low"] - quotas["medium"]
        goal = len(cookies) - keep
        cookies = self._lru(cookies)
        # rounds: Low non-secure, Low secure, Medium non-secure, High
        # non-secure, Medium secure, High secure (kPurgeRounds); a round
        # only deletes when its priority holds more cookies than its quota,
        # and a round that spares secure cookies keeps as many of the
        # priority as there are secure ones (PurgeLeastRecentMatches)
        for priority, protect_secure in (("low", True), ("low", False), ("medium", True),
                                         ("high", True), ("medium", False), ("high", False)):
            if goal <= 0:
                break
            at_priority = [c for c in cookies if (c.priority or "medium") == priority]
            quota = quotas[priority]
            if len(at_priority) <= quota:
                continue
            if protect_secure:
                secure = sum(1 for c in at_priority if c.secure)
                deletable = len(at_priority) - max(secure, quota)
            else:
                deletable = len(at_priority) - quota
            for c in list(cookies):
                if goal <= 0 or deletable <= 0:
                    break
                if (c.priority or "medium") == priority and not (protect_secure and c.secure):
                    del group[c.key]
                    cookies.remove(c)
                    goal -= 1
                    deletable -= 1

    def _purge_global(self, now):
        """At most max_cookies unpartitioned cookies in all, evicting only
        those unused for 30 days (CookieMonster::GarbageCollect, the global
        part): a fresh store keeps more than the limit."""
        limit = self.max_cookies
        if limit is None or sum(len(g) for g in self._sites.values()) <= limit:
            return
        for group in self._sites.values():
            self._drop_expired(group, now)
        cookies = [c for c in self._all() if c.partition_key is None]
        if len(cookies) <= limit:
            return
        goal = len(cookies) - (limit - limit // 11)
        safe = now - SAFE_FROM_GLOBAL_PURGE
        # non-secure cookies first, then secure ones, least recently used
        # first, never one used since the safe date
        for secure in (False, True):
            for c in self._lru(c for c in cookies if c.secure == secure):
                if goal <= 0 or c.last_access >= safe:
                    break
                self._delete(c)
                goal -= 1

    def _purge_partition(self, group, partition_key):
        """Per partition and registrable domain: at most 180 cookies and
        10240 bytes of names and values, least recently used evicted first
        (CookieMonster::GarbageCollectPartitionedCookies)."""
        cookies = self._lru(c for c in group.values() if c.partition_key == partition_key)
        size = sum(len(c.raw_name) + len(c.raw_value) for c in cookies)
        while cookies and (len(cookies) > PARTITION_MAX_COOKIES or size > PARTITION_MAX_BYTES):
            c = cookies.pop(0)
            size -= len(c.raw_name) + len(c.raw_value)
            del group[c.key]

    @staticmethod
    def _drop_expired(group, now):
        for key in [k for k, c in group.items() if c.expires is not None and c.expires <= now]:
            del group[key]

    # -- sending -----------------------------------------------------------------

    def _context(self, url: _Url, top: _Url | None, navigation, method, from_script):
        """The same-site context of a request (cookie_util::ComputeSameSiteContext)."""
        same = top is None or self.sites.same_site(top, url)
        if same:
            # the initiator is the top-level page: strictly same-site
            return STRICT
        if navigation and not from_script:
            # a cross-site top-level navigation: lax, or lax with an unsafe
            # method (ComputeSameSiteContextForRequest)
            return LAX if method.upper() in SAFE_METHODS else LAX_METHOD_UNSAFE
        return CROSS_SITE

    def _included(self, cookie: JarCookie, context, now) -> bool:
        mode = cookie.same_site
        if mode == CookieSameSiteMode.STRICT:
            return context >= STRICT
        if mode == CookieSameSiteMode.LAX:
            return context >= LAX
        if mode == CookieSameSiteMode.NONE:
            return True
        # no SameSite: Lax, but Lax-allowing-unsafe while it is young
        # (CookieBase::GetEffectiveSameSite)
        if now - cookie.creation <= LAX_ALLOW_UNSAFE_MAX_AGE:
            return context >= LAX_METHOD_UNSAFE
        return context >= LAX

    def _matching(self, url: _Url, now, *, top=None, navigation=False, method="GET",
                  from_script=False, partition_key=None):
        context = self._context(url, top, navigation, method, from_script)
        group = self._sites.get(self.sites.registrable(url.host), {})
        self._drop_expired(group, now)
        found = []
        for c in group.values():
            if c.partition_key is not None and c.partition_key != partition_key:
                continue
            if from_script and c.http_only:
                continue
            # Secure cookies go to https and trustworthy urls only; the
            # scheme and port that set a cookie are not checked
            # (CookieBase::IncludeForRequestURL: without scheme- and
            # port-bound cookies they only give warnings)
            if c.secure and not url.trustworthy:
                continue
            if not _domain_match(c, url.host) or not _path_match(c.path, url.path):
                continue
            if not self._included(c, context, now):
                continue
            found.append(c)
        # the longest path first, then the oldest (CookieMonster::CookieSorter)
        found.sort(key=lambda c: (-len(c.path), c.creation))
        return found

    def cookie_header(self, url, *, now=None, site_for_cookies=None, navigation=False,
                      method="GET", from_script=False) -> bytes:
        """The Cookie header a browser sends with this request (b"" when
        none); with ``from_script`` what ``document.cookie`` shows."""
        now = _now(now)
        target = _Url(url)
        top = None if site_for_cookies is None else _Url(site_for_cookies)
        if not isinstance(method, str):
            raise TypeError("method must be a str")
        key = self._partition_key(target, top or target, navigation and not from_script)
        found = self._matching(target, now, top=top, navigation=navigation, method=method,
                               from_script=from_script, partition_key=key)
        group = self._sites.get(self.sites.registrable(target.host), {})
        for c in found:
            if now - c.last_access >= ACCESS_UPDATE_THRESHOLD:
                group[c.key] = dataclasses.replace(c, last_access=now)
        line = b"; ".join(c.raw_name + b"=" + c.raw_value if c.raw_name else c.raw_value
                          for c in found)
        if from_script:
            # document.cookie is text: a line that is not UTF-8 shows as ""
            try:
                line.decode("utf-8")
            except UnicodeDecodeError:
                return b""
        return line

    # -- reading and editing -----------------------------------------------------

    def cookies(self, url=None, *, now=None, details=False):
        """Every unexpired cookie (partitioned ones included), or those a
        same-site request to ``url`` would carry, in the order sent.  With
        ``details``, (cookie, details) pairs, as the compiled jar gives its
        records and their CookieDetails: here a JarCookie is both."""
        now = _now(now)
        if url is None:
            found = sorted((c for c in self._all() if c.expires is None or c.expires > now),
                           key=lambda c: c.creation)
        else:
            target = _Url(url)
            found = self._matching(target, now,
                                   partition_key=self._partition_key(target, target, False))
        return [(c, c) for c in found] if details else found

    def get(self, name, *, domain=None, path=None, now=None):
        """The cookie of that name (str, or bytes for the raw name); among
        several, a host-only one before a domain one, then the longest
        domain, the longest path, the newest."""
        found = [c for c in self.cookies(now=now)
                 if (c.raw_name == name if isinstance(name, bytes) else c.name == name)
                 and (domain is None or c.domain == domain.lower().lstrip("."))
                 and (path is None or c.path == path)]
        found.sort(key=lambda c: (not c.host_only, -len(c.domain), -len(c.path),
                                  -c.creation.timestamp()))
        return found[0] if found else None

    def __len__(self):
        return len(self.cookies())

    def __iter__(self):
        return iter(self.cookies())

    def clear(self, domain=None, path=None, name=None):
        for c in self._all():
            if ((domain is None or c.domain == domain.lower().lstrip("."))
                    and (path is None or c.path == path)
                    and (name is None or c.name == name)):
                self._delete(c)

    def clear_session_cookies(self):
        for c in self._all():
            if c.expires is None:
                self._delete(c)

    def clear_expired(self, now=None):
        now = _now(now)
        for group in self._sites.values():
            self._drop_expired(group, now)


__all__ = ["CookieJar", "JarCookie", "decode_text"]
