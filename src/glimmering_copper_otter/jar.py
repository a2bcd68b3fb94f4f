"""A cookie jar that keeps and sends cookies exactly as Chromium does:
`CookieJar`.

The jar itself is native (`glimmering_copper_otter._jar`): it knows cookies,
rows and the row store it is kept in.  This module puts it together with a
store for a path (`stores.sqlite`), the formats (`formats`) and the HTTP
clients (`clients`).
"""

import io
import os
import tempfile

from glimmering_copper_otter import _jar
from glimmering_copper_otter._jar import BrowserCookie, CookieDetails
from glimmering_copper_otter._rows import LeftOut, LoadReport, SaveReport
from glimmering_copper_otter.formats import clients as clients_format
from glimmering_copper_otter.formats import native_json, netscape
from glimmering_copper_otter.stores import StoreError, StoreWarning


def _read_bytes(path_or_file):
    """The bytes of a path or of an open file (binary or text), and a name
    for messages."""
    if hasattr(path_or_file, "read"):
        data = path_or_file.read()
        if isinstance(data, str):
            data = data.encode("utf-8", "surrogateescape")
        return data, str(getattr(path_or_file, "name", "<file>"))
    with open(path_or_file, "rb") as file:
        return file.read(), os.fsdecode(path_or_file)


def _write_bytes(path_or_file, data):
    """Writes to an open file (binary or text), or replaces a path's file at
    once (a new file of mode 0600, renamed over the old one)."""
    if hasattr(path_or_file, "write"):
        if isinstance(path_or_file, io.TextIOBase):
            path_or_file.write(data.decode("utf-8", "surrogateescape"))
        else:
            path_or_file.write(data)
        return
    target = os.fspath(path_or_file)
    directory = os.path.dirname(os.path.abspath(target))
    fd, temporary = tempfile.mkstemp(dir=directory, prefix=".cookies-", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def _refusal(header, url):
    """Why a browser refuses a Set-Cookie value from url: check's finding."""
    from glimmering_copper_otter.browser import check

    findings = [finding for finding in check(header, url) if finding.split(":", 1)[0] in (
        "DisallowedCharacter", "NoCookieContent", "NameValuePairExceedsMaxSize",
        "AmbiguousNameValue", "InvalidDomain", "InvalidPrefix", "SecureOnly",
        "SameSiteNoneInsecure", "PartitionedNotSecure")]
    return findings[0] if findings else (
        "SecureOnly: it would overwrite or shadow a Secure cookie of the jar")


class CookieJar(_jar.CookieJar):
    """CookieJar(path=None, *, name="default", max_cookies=3300,
    max_cookies_per_site=180, public_suffix_list=True, keep_session_cookies=False,
    timeout=5.0)

    A cookie jar that keeps and sends cookies as Chromium does.

    It applies Set-Cookie values received from urls (set_cookie, set_cookies) and
    gives the exact Cookie header a browser sends with a request (cookie_header):
    host-only and domain cookies, paths, Secure (kept from and sent to secure
    origins only; localhost and loopback addresses count as secure), HttpOnly,
    SameSite in Chromium's same-site contexts, Partitioned cookies kept per
    top-level site, the name prefixes, expiry capped at 400 days, and Chromium's
    limits and eviction.  Cookies are kept natively, indexed by site (registrable
    domain), so a request costs the same however many cookies other sites have.

    max_cookies limits the cookies in all (Chromium purges 3300 to 3000, least
    recently used first, sparing cookies used in the last 30 days) and
    max_cookies_per_site those of one registrable domain (Chromium purges 180 to
    150 by priority, non-secure first, least recently used first); None is no
    limit, as a crawler may want.  Partitioned cookies keep limits of their own
    (180 cookies and 10,240 bytes of names and values per partition and site)
    unless max_cookies_per_site is None.  public_suffix_list=False reads sites
    with the list's default rule alone (the last label is the suffix).

    With path, the jar is also kept in an SQLite file (made, mode 0600, when
    missing): every change is in the file when the call that made it returns
    (a killed process loses nothing; a power loss may lose the last changes),
    and a call that raises changed neither the jar nor the file.  Session
    cookies are written only with keep_session_cookies, and each call first
    takes in what other processes changed in the file (reading only what
    changed).  A file holds one jar per name (name, "default" unless given):
    one per account, spider or task; fork(name) starts another from this
    one's cookies.  timeout bounds the
    wait, in seconds, for a file another program holds locked; then
    StoreError (an OSError).  A file this process may not write is read,
    and a change then raises StoreError.  close() (or a with block) closes
    the file.

    One jar may be shared by threads: every call is atomic, and a thread waiting
    for the jar does not hold the interpreter.
    """

    __slots__ = ()

    def __init__(self, path=None, *, name="default", max_cookies=3300,
                 max_cookies_per_site=180, public_suffix_list=True, keep_session_cookies=False,
                 timeout=5.0):
        # The arguments are checked before a file is made.
        super().__init__(None, max_cookies=max_cookies, max_cookies_per_site=max_cookies_per_site,
                         public_suffix_list=public_suffix_list)
        if type(name) is not str:
            raise TypeError(f"name is a str, not {type(name).__name__}")
        if path is None:
            if name != "default":
                raise ValueError("name chooses a jar of a file: it needs a path")
            return
        from glimmering_copper_otter.stores.sqlite import SqliteStore

        store = SqliteStore(path, name=name, timeout=timeout,
                            keep_session_cookies=keep_session_cookies)
        super().__init__(store, max_cookies=max_cookies,
                         max_cookies_per_site=max_cookies_per_site,
                         public_suffix_list=public_suffix_list)

    def _empty_copy(self):
        """A new memory jar of this one's type and limits."""
        jar = type(self).__new__(type(self))
        CookieJar.__init__(jar, max_cookies=self.max_cookies,
                           max_cookies_per_site=self.max_cookies_per_site,
                           public_suffix_list=self.public_suffix_list)
        return jar

    def __copy__(self):
        """A memory jar (no file) holding this one's cookies, times included."""
        jar = self._empty_copy()
        jar._load_rows(self._rows())
        return jar

    def __deepcopy__(self, memo, /):
        return self.__copy__()

    def fork(self, name):
        """A new jar named name in this jar's file, starting from this jar's
        cookies (written to the file in one transaction; session cookies too
        when the file keeps them); this jar goes on as it was.  The named jar
        must hold no cookie yet.  A jar without a file forks into a copy."""
        store = self.store
        if store is None:
            return self.__copy__()
        if name == store.name:
            raise ValueError(f"the jar is named {name!r} already")
        jar = type(self).__new__(type(self))
        CookieJar.__init__(jar, store.path, name=name, max_cookies=self.max_cookies,
                           max_cookies_per_site=self.max_cookies_per_site,
                           public_suffix_list=self.public_suffix_list,
                           keep_session_cookies=store.keep_session_cookies,
                           timeout=store.timeout)
        if len(jar):
            jar.close()
            raise ValueError(f"{os.fsdecode(store.path)}: the jar {name!r} holds cookies "
                             "already")
        jar._load_rows(self._rows())
        return jar

    def __contains__(self, item):
        """Whether the jar holds a cookie of that name (str or bytes), that
        BrowserCookie (a partitioned one in any partition, unless given with
        its CookieDetails) or that key."""
        if isinstance(item, BrowserCookie) and item.partitioned:
            return any((record.raw_name, record.domain, record.host_only, record.path)
                       == (item.raw_name, item.domain, item.host_only, item.path)
                       for record in self.cookies() if record.partitioned)
        return super().__contains__(item)

    def __getitem__(self, name):
        raise TypeError("a cookie jar is not a mapping: several cookies may share a name; use "
                        "jar.get(name, domain=..., path=...) for one, 'name in jar' to ask")

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    # -- cookies.txt and JSON -----------------------------------------------

    def load_cookies_txt(self, path_or_file, strict=False) -> LoadReport:
        """Adds the cookies of a Netscape cookies.txt file (a path or a file
        opened for reading); returns a LoadReport (loaded, expired, skipped:
        [(line number, reason)], reason beginning with a code word).  An
        expiry of 0 or an empty one reads as a session cookie; expired
        cookies are passed over.  Lines that cannot be read, and cookies a
        browser would not keep, are passed over and reported; with strict,
        the first one raises ValueError and nothing is loaded.  SameSite and
        Priority read as unspecified: the format has neither."""
        data, name = _read_bytes(path_or_file)
        if strict:
            rows, expired, skipped = netscape.read_cookies_txt(data)
            if skipped:
                number, reason = skipped[0]
                raise ValueError(f"{name}, line {number}: {reason}")
            loaded, passed, _ = self._load_rows(rows)
            return LoadReport(loaded, expired + passed, [])
        # The jar checks the rows as it takes them (once, natively).
        rows, numbers, expired, skipped = netscape.parse(data)
        loaded, passed, refused = self._load_rows(rows)
        if refused:
            skipped = sorted(skipped + [(numbers[index], reason) for index, reason in refused])
        return LoadReport(loaded, expired + passed, skipped)

    def save_cookies_txt(self, path_or_file) -> SaveReport:
        """Writes the cookies as a Netscape cookies.txt file (a path, replaced
        at once by a file of mode 0600, or a file opened for writing); session
        cookies with an expiry of 0, as curl writes them.  The format keeps
        neither SameSite nor Priority; partitioned cookies and cookies without
        a name are left out and reported in the returned SaveReport."""
        rows = self._rows()
        data, left_out = netscape.write_cookies_txt(rows)
        _write_bytes(path_or_file, data)
        return SaveReport(len(rows) - len(left_out), left_out)

    def to_json(self) -> str:
        """The cookies as a JSON document (str) that keeps every field;
        from_json and load_json read it back."""
        return native_json.to_json(self._rows())

    def load_json(self, text) -> LoadReport:
        """Adds the cookies of a JSON document written by to_json; returns a
        LoadReport (skipped: [(index, reason)]).  Cookies that do not read,
        or that a browser would not keep, are passed over and reported; a
        text that is not such a document raises ValueError."""
        rows, skipped = native_json.read_json(text)
        loaded, expired, _ = self._load_rows(rows) if rows else (0, 0, [])
        return LoadReport(loaded, expired, skipped)

    @classmethod
    def from_json(cls, text, /):
        """A new jar (without a file) holding the cookies of a JSON document
        written by to_json; ValueError names the first cookie that does not
        read."""
        rows, skipped = native_json.read_json(text)
        if skipped:
            index, reason = skipped[0]
            raise ValueError(f"cookie {index}: {reason}")
        jar = cls()
        jar._load_rows(rows)
        return jar

    # -- other jars ------------------------------------------------------------

    def load_cookies(self, source, *, format, url=None) -> LoadReport:
        """Adds the cookies of another jar; returns a LoadReport (skipped:
        [(index, reason)], reason beginning with check's code word).

        format says what source is: "cookiejar" (any http.cookiejar.CookieJar,
        requests' RequestsCookieJar and MozillaCookieJar included), "httpx"
        (httpx.Cookies), "aiohttp" (its CookieJar) or "mapping" (names to
        values, for url, which it then needs).  Each cookie is applied as if
        set by a navigation response from https://{domain}{path} (from its
        host when it is host-only), with its expiry and, where the source has
        them, host-only, Secure, HttpOnly and SameSite: a cookie a browser
        would refuse is reported, not stored.  Creation times are the time of
        the load (none of these formats keeps one)."""
        calls = clients_format.headers_of(source, format, url)
        loaded = expired = 0
        skipped = []
        for where, header, target in calls:
            if header is None:
                skipped.append((where, target))
                continue
            record = self.set_cookie(header, target, navigation=True)
            if record is None:
                skipped.append((where, _refusal(header, target)))
            elif record.expired:
                expired += 1
            else:
                loaded += 1
        return LoadReport(loaded, expired, skipped)

    def dump_cookies(self, *, format, url=None):
        """(object, SaveReport): the cookies (with url, only those a same-site
        request to it carries) as format's object: "cookiejar" an
        http.cookiejar.CookieJar, "httpx" an httpx.Cookies, "aiohttp" an
        aiohttp.CookieJar, "mapping" a dict of names to values (the cookie a
        browser sends first, of each name).  The SaveReport lists what the
        target cannot carry: a partitioned cookie, a name or value that is not
        UTF-8 (the clients keep text), a second cookie of one name (mapping)."""
        records = self.cookies(url) if url is not None else self.cookies()
        target, left_out = clients_format.dump(records, format)
        return target, SaveReport(len(records) - len(left_out), left_out)

    # -- the HTTP clients ---------------------------------------------------

    def for_urllib(self):
        """A handler for urllib.request.build_opener that keeps and sends
        cookies through this jar."""
        from glimmering_copper_otter.clients import urllib

        return urllib.handler(self)

    def install(self, target):
        """Makes a requests.Session, httpx.Client, httpx.AsyncClient or
        curl_cffi Session or AsyncSession keep and send its cookies through
        this jar (every request, redirect hops included, carries exactly
        cookie_header(url); curl_cffi's redirects are followed by the
        adapter, hop by hop); returns target."""
        from glimmering_copper_otter.clients import install

        return install(self, target)

    def for_aiohttp(self):
        """An aiohttp.abc.AbstractCookieJar over this jar, for
        aiohttp.ClientSession(cookie_jar=...)."""
        from glimmering_copper_otter.clients import aiohttp

        return aiohttp.cookie_jar(self)

    async def aset_cookie(self, raw, url, *, now=None, site_for_cookies=None, navigation=False,
                          from_script=False):
        """set_cookie in a worker thread (a coroutine): a jar's file is written
        off the event loop."""
        import asyncio

        return await asyncio.to_thread(self.set_cookie, raw, url, now=now,
                                       site_for_cookies=site_for_cookies,
                                       navigation=navigation, from_script=from_script)

    async def aset_cookies(self, values, url, *, now=None, site_for_cookies=None,
                           navigation=False, from_script=False):
        """set_cookies in a worker thread (a coroutine): a jar's file is written
        off the event loop."""
        import asyncio

        if not isinstance(values, (bytes, str)):
            values = list(values)  # read here, not in the worker (set_cookies refuses a lone value)
        return await asyncio.to_thread(self.set_cookies, values, url, now=now,
                                       site_for_cookies=site_for_cookies,
                                       navigation=navigation, from_script=from_script)


__all__ = ["BrowserCookie", "CookieDetails", "CookieJar", "LeftOut", "LoadReport", "SaveReport",
           "StoreError", "StoreWarning"]
