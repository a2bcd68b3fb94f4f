"""A cookie jar that keeps and sends cookies exactly as Chromium does:
`CookieJar`.

The jar itself is native (`glimmering_copper_otter._jar`): it knows cookies,
rows and the row store it is kept in.  This module puts it together with a
store for a path (`stores.sqlite`), the formats (`formats`), a browser's
own profile (`browsers`) and the HTTP clients (`clients`).
"""

import datetime as dt
import io
import os
import tempfile

from glimmering_copper_otter import _jar
from glimmering_copper_otter import rows as _rows
from glimmering_copper_otter._jar import BrowserCookie, CookieDetails
from glimmering_copper_otter.rows import Changed, LeftOut, LoadReport, SaveReport
from glimmering_copper_otter.formats import automation, cdp, native_json, netscape
from glimmering_copper_otter.live import PushReport, Refused
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


_EPOCH = dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc)


def _clients_format():
    # The clients' own objects, read when a call names one of their formats:
    # the jar imports nothing of clients/ when it is imported.
    from glimmering_copper_otter.clients import _records

    return _records


def _check_format(format):
    if format not in _clients_format().FORMATS + automation.FORMATS:
        raise ValueError(f"format is one of {', '.join(_clients_format().FORMATS)}, "
                         f"{', '.join(automation.FORMATS)}, not {format!r}")


def _micros(when):
    return (when - _EPOCH) // dt.timedelta(microseconds=1)


def _document(source):
    """A document of an automation tool's format: the object itself (a dict
    or a list), or the JSON of bytes, a path or an open file."""
    if isinstance(source, (dict, list, tuple)):
        return source
    if isinstance(source, (bytes, bytearray, memoryview)):
        return automation.parse(bytes(source))
    if isinstance(source, (str, os.PathLike)) or hasattr(source, "read"):
        return automation.parse(_read_bytes(source)[0])
    raise TypeError("a document is a dict or a list, or the JSON of bytes, a path or a file, "
                    f"not {type(source).__name__}")


class CookieJar(_jar.CookieJar):
    """CookieJar(path=None, *, name="default", max_cookies=3300,
    max_cookies_per_site=180, public_suffix_list=True, keep_session_cookies=None,
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
    cookies are written to a file only with keep_session_cookies=True, and
    each call first
    takes in what other processes changed in the file (reading only what
    changed).  A file holds one jar per name (name, "default" unless given):
    one per account, spider or task; fork(name) starts another from this
    one's cookies.  timeout bounds the
    wait, in seconds, for a file another program holds locked; then
    StoreError (an OSError).  A file this process may not write is read,
    and a change then raises StoreError.  close() (or a with block) closes
    the file.

    With store, the jar is kept in a RowStore (stores.RowStore): a
    "postgresql://" url (a str path is always a file) is a PostgreSQL
    server's jar named name, shared by the workers of a fleet
    (stores.postgres.PostgresStore; the postgres extra): each call that
    changes cookies takes the named jar's lock on the server, reads what
    other workers changed and applies Chromium's rules in that transaction,
    so the workers' calls apply one after another, as in one jar.  A named
    jar on a server is one browsing session for all its workers: it keeps
    session cookies unless keep_session_cookies=False, and end_session()
    ends the session for every worker.  Each worker holds the named jar in
    memory (about 160 bytes a cookie) and reads it whole when it opens it.
    A store object brings its own name, keep_session_cookies and timeout.

    One jar may be shared by threads: every call is atomic, and a thread waiting
    for the jar does not hold the interpreter.
    """

    __slots__ = ()

    def __init__(self, path=None, *, store=None, name="default", max_cookies=3300,
                 max_cookies_per_site=180, public_suffix_list=True, keep_session_cookies=None,
                 timeout=5.0):
        # The arguments are checked before a file is made.
        super().__init__(None, max_cookies=max_cookies, max_cookies_per_site=max_cookies_per_site,
                         public_suffix_list=public_suffix_list)
        if type(name) is not str:
            raise TypeError(f"name is a str, not {type(name).__name__}")
        if path is not None and store is not None:
            raise ValueError("a jar is kept in a file (path) or in a store (store=), not both")
        if path is None and store is None:
            if name != "default":
                raise ValueError("name chooses a jar of a file or a store: it needs a path "
                                 "or a store")
            return
        if store is not None and not isinstance(store, str) and (
                name != "default" or keep_session_cookies is not None or timeout != 5.0):
            raise ValueError("a store object brings its own name, keep_session_cookies and "
                             "timeout")
        if path is not None:
            from glimmering_copper_otter.stores.sqlite import SqliteStore

            if isinstance(path, str) and path.startswith(("postgresql://", "postgres://")):
                raise ValueError("a server's url is a store: CookieJar(store=url), not a path")
            store = SqliteStore(path, name=name, timeout=timeout,
                                keep_session_cookies=bool(keep_session_cookies))
        elif isinstance(store, str):
            if not store.startswith(("postgresql://", "postgres://")):
                raise ValueError("store= takes a RowStore or a postgresql:// url (a path to a "
                                 "file goes first, as path)")
            from glimmering_copper_otter.stores.postgres import PostgresStore

            store = PostgresStore(store, name=name, timeout=timeout,
                                  keep_session_cookies=keep_session_cookies is not False)
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
        jar.load_rows(self.rows())
        return jar

    def __deepcopy__(self, memo, /):
        return self.__copy__()

    def fork(self, name):
        """A new jar named name in this jar's file or store, starting from
        this jar's cookies (written in one transaction; session cookies too
        when the store keeps them); this jar goes on as it was.  The named jar
        must hold no cookie yet.  A jar in memory only forks into a copy."""
        store = self.store
        if store is None:
            return self.__copy__()
        if not hasattr(store, "for_jar"):
            raise TypeError(f"{type(store).__name__} has no for_jar(): it keeps one jar")
        if name == store.name:
            raise ValueError(f"the jar is named {name!r} already")
        jar = type(self).__new__(type(self))
        rows = self.rows()
        if hasattr(store, "fork"):
            # The check that the name holds no cookie and the writing in one
            # transaction: of two forks into one name, one raises.
            forked = store.fork(name, rows)
        else:
            forked = store.for_jar(name)
        try:
            CookieJar.__init__(jar, store=forked, max_cookies=self.max_cookies,
                               max_cookies_per_site=self.max_cookies_per_site,
                               public_suffix_list=self.public_suffix_list)
        except BaseException:
            forked.close()
            raise
        if hasattr(store, "fork"):
            if not forked.keep_session_cookies:  # in memory only, as in this jar
                jar.load_rows([row for row in rows if not row[_rows.PERSISTENT]])
            return jar
        if len(jar):
            jar.close()
            raise ValueError(f"{store!r}: the jar {name!r} holds cookies already")
        jar.load_rows(rows)
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

    def sync(self) -> None:
        """Catches up at once with what other workers changed in the jar's
        store (a jar that follows its server's changes reads them when they
        are announced; this one reads them now)."""
        store = self.store
        if store is not None and hasattr(store, "sync"):
            store.sync()
        len(self)

    def end_session(self) -> int:
        """Ends the browsing session, as a browser's restart does: removes
        every session cookie (one without an expiry) and returns how many.
        On a store that keeps session cookies (a server's jar by default, a
        file's with keep_session_cookies=True) they are removed for every
        worker of the jar, in one transaction."""
        return self.clear_session_cookies()

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
            loaded, passed, _ = self.load_rows(rows)
            return LoadReport(loaded, expired + passed, [])
        # The jar checks the rows as it takes them (once, natively).
        rows, numbers, expired, skipped = netscape.parse(data)
        loaded, passed, refused = self.load_rows(rows)
        if refused:
            skipped = sorted(skipped + [(numbers[index], reason) for index, reason in refused])
        return LoadReport(loaded, expired + passed, skipped)

    def save_cookies_txt(self, path_or_file) -> SaveReport:
        """Writes the cookies as a Netscape cookies.txt file (a path, replaced
        at once by a file of mode 0600, or a file opened for writing); session
        cookies with an expiry of 0, as curl writes them.  The format keeps
        neither SameSite nor Priority; partitioned cookies and cookies without
        a name are left out and reported in the returned SaveReport."""
        rows = self.rows()
        data, left_out = netscape.write_cookies_txt(rows)
        _write_bytes(path_or_file, data)
        return SaveReport(len(rows) - len(left_out), left_out)

    def to_json(self) -> str:
        """The cookies as a JSON document (str) that keeps every field;
        from_json and load_json read it back."""
        return native_json.to_json(self.rows())

    def load_json(self, text) -> LoadReport:
        """Adds the cookies of a JSON document written by to_json; returns a
        LoadReport (skipped: [(index, reason)]).  Cookies that do not read,
        or that a browser would not keep, are passed over and reported; a
        text that is not such a document raises ValueError."""
        rows, skipped = native_json.read_json(text)
        loaded, expired, _ = self.load_rows(rows) if rows else (0, 0, [])
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
        jar.load_rows(rows)
        return jar

    # -- other jars ------------------------------------------------------------

    def load_cookies(self, source, *, format, url=None) -> LoadReport:
        """Adds the cookies of another jar or of a browser automation tool;
        returns a LoadReport (skipped: [(index, reason)], reason beginning
        with check's code word, or Unreadable for a cookie that does not
        read).

        format says what source is.  Other jars: "cookiejar" (any
        http.cookiejar.CookieJar, requests' RequestsCookieJar and
        MozillaCookieJar included), "httpx" (httpx.Cookies), "aiohttp" (its
        CookieJar) or "mapping" (names to values, for url, which it then
        needs).  Automation tools, each a document (a dict or a list, or
        the JSON of bytes, a path or a file opened for reading):
        "playwright" (a storage state, or a list of its cookies; its
        "origins" are not read), "cdp" (DevTools' Network.Cookie objects,
        or the result of Network.getAllCookies), "extension" (the
        chrome.cookies objects of a browser extension's export) and
        "webdriver" (WebDriver's cookie objects; url is the page of one
        without a domain).

        Each cookie is applied as if set by a navigation response from its
        site (over https, or from the scheme and port DevTools names), a
        partitioned one by a frame under its top-level site: a cookie a
        browser would refuse is reported, not stored (a partitioned cookie
        of another site that is not SameSite=None with Chromium's
        SameSiteLax, SameSiteStrict or SameSiteUnspecifiedTreatedAsLax).
        What a Set-Cookie value cannot say is then put back: an expiry to
        the microsecond, the partition's cross-site-ancestor half, an
        unknown source port.  No format keeps creation times: the cookies
        are created in the source's order, at the time of the load."""
        _check_format(format)
        if format in automation.FORMATS:
            settings = []
            for where, row, reason in automation.read(_document(source), format, url):
                if row is not None:
                    try:
                        settings.append((where, automation.setting(row), None))
                        continue
                    except ValueError as error:
                        reason = str(error)
                settings.append((where, None, reason))
        else:
            settings = [(where, None, target) if header is None
                        else (where, automation.Setting(header, target, None, True, None), None)
                        for where, header, target in _clients_format().headers_of(source, format,
                                                                               url)]
        return self._apply(settings)

    def _apply(self, settings):
        """Applies (where, Setting, None) items, and reports (where, None,
        reason) ones: the settings in one native call (and one transaction
        of the store), which puts back what their headers could not say."""
        results = iter(self._apply_settings([setting for _, setting, _ in settings
                                             if setting is not None]))
        loaded = expired = 0
        skipped = []
        for where, setting, reason in settings:
            result = reason if setting is None else next(results)
            if isinstance(result, str):
                skipped.append((where, result))
            elif result.expired:
                expired += 1
            else:
                loaded += 1
        return LoadReport(loaded, expired, skipped)

    def dump_cookies(self, *, format, url=None):
        """(object, SaveReport): the cookies (with url, only those a same-site
        request to it carries) as format's object.

        Other jars: "cookiejar" an http.cookiejar.CookieJar, "httpx" an
        httpx.Cookies, "aiohttp" an aiohttp.CookieJar, "mapping" a dict of
        names to values (the cookie a browser sends first, of each name);
        the SaveReport lists what the target cannot carry: a partitioned
        cookie, a name or value that is not UTF-8 (the clients keep text),
        a second cookie of one name (mapping).

        Automation tools, oldest first: "playwright" a storage state
        ({"cookies": [...], "origins": []}), "cdp" a list of DevTools'
        Network.CookieParam, "extension" a list of chrome.cookies objects,
        "webdriver" a list of WebDriver cookies.  The SaveReport's changed
        lists, per cookie, what the target cannot carry and how it was
        written instead: SameSite unspecified written as Lax (Playwright,
        WebDriver), a priority other than medium (all but cdp), a name,
        value or path that is not UTF-8 (by the text rule); WebDriver has
        no partition key, and partitioned cookies are left out of it."""
        _check_format(format)
        if format not in automation.FORMATS:
            records = self.cookies(url) if url is not None else self.cookies()
            target, left_out = _clients_format().dump(records, format)
            return target, SaveReport(len(records) - len(left_out), left_out)
        rows = self._rows_for(None if url is None else [url])
        document, left_out, changed = automation.write(rows, format)
        return document, SaveReport(len(rows) - len(left_out), left_out, changed)

    def _rows_for(self, urls):
        """The rows (oldest first) of the cookies a same-site request to any
        of urls carries; all of them for None."""
        rows = self.rows()
        if urls is None:
            return rows
        sent = {(c.raw_name, c.domain, c.host_only, c.path, d.partition_key,
                 _micros(d.creation)) for url in urls for c, d in self.cookies(url, details=True)}
        return [row for row in rows if (
            row[_rows.NAME], row[_rows.DOMAIN], row[_rows.HOST_ONLY], cdp.text(row[_rows.PATH]),
            (row[_rows.PARTITION_KEY], row[_rows.CROSS_SITE_ANCESTOR])
            if row[_rows.PARTITIONED] else None, row[_rows.CREATION]) in sent]

    # -- a live browser ----------------------------------------------------------

    def push(self, target, *, urls=None) -> PushReport:
        """Sets the cookies (with urls, those a same-site request to one of
        them carries) in a running browser, every attribute its protocol
        carries, without navigating; then reads the browser's cookies back.
        Returns a PushReport: pushed, how many it holds as sent; refused,
        [Refused(name, domain, path, reason)], the reason in check's words
        where they tell, else the browser's; changed, [Changed(...)], what
        it holds otherwise or could not be told.

        target: a DevTools endpoint of Chromium ("http://127.0.0.1:PORT",
        as --remote-debugging-port=PORT serves it, or its ws:// browser url),
        a WebDriver BiDi endpoint of Firefox ("ws://127.0.0.1:PORT/session",
        as --remote-debugging-port PORT serves it; a session of its own,
        ended at the end), a Playwright BrowserContext of Chromium (sync
        API; apush for the async one) or a Selenium WebDriver.  The
        endpoints need the live extra (websockets)."""
        from glimmering_copper_otter import live

        return live.push(target, self._rows_for(urls))

    def pull(self, target, *, urls=None) -> LoadReport:
        """Adds the cookies of a running browser (with urls, those a
        same-site request to one of them carries), every attribute its
        protocol shows; target as push takes it.  Returns a LoadReport
        (skipped: [(place, reason)], what could not come and why).  Neither
        protocol shows creation times: the cookies are created in the
        browser's order, at the time of the pull."""
        from glimmering_copper_otter import live

        return self._pulled(live.pull(target, urls=urls), urls)

    async def apush(self, target, *, urls=None) -> PushReport:
        """push, as a coroutine (a Playwright context of its async API)."""
        import asyncio

        from glimmering_copper_otter import live

        return await live.apush(target, await asyncio.to_thread(self._rows_for, urls))

    async def apull(self, target, *, urls=None) -> LoadReport:
        """pull, as a coroutine (a Playwright context of its async API)."""
        import asyncio

        from glimmering_copper_otter import live

        pulled = await live.apull(target, urls=urls)
        return await asyncio.to_thread(self._pulled, pulled, urls)

    def _pulled(self, pulled, urls):
        """Loads a pull's rows (those for urls), reporting what did not come."""
        rows, places, skipped = pulled
        if urls is not None:
            chosen = self._empty_copy()
            refused = chosen.load_rows(rows)[2] if rows else []
            skipped = skipped + [(places[index], reason) for index, reason in refused]
            rows = chosen._rows_for(urls)
            places = None
        loaded, expired, refused = self.load_rows(rows) if rows else (0, 0, [])
        if places is not None:
            skipped = skipped + [(places[index], reason) for index, reason in refused]
        return LoadReport(loaded, expired, skipped)

    # -- a browser's own cookies ---------------------------------------------

    def load_browser(self, browser, profile=None, *, password=None, key=None,
                     container=None) -> LoadReport:
        """Adds the cookies of a browser profile on this machine (see
        `glimmering_copper_otter.browsers`); returns a LoadReport (skipped:
        [(place, reason)], reason beginning with a code word: Undecryptable,
        Unsupported, Unreadable, or `browser.check`'s for a cookie Chromium
        would refuse today; notes: what concerns the whole profile).
        browser is "chromium", "chrome", "edge", "brave", "opera", "vivaldi",
        "firefox" or a Firefox fork; profile a profile's name (None: the
        default one), its directory or its cookie file.  password: the
        keyring's password for v11 values, or a Mac Keychain's "Safe
        Storage" password for a file copied from a Mac; key: the 32-byte
        AES-256-GCM key of a file copied from Windows; container: a Firefox
        container whose cookies to load.  Nothing is written to the
        profile."""
        from glimmering_copper_otter import browsers

        found = browsers.read_cookies(browser, profile, password=password, key=key,
                                      container=container)
        loaded, expired, refused = self.load_rows(found.rows) if found.rows else (0, 0, [])
        skipped = found.skipped + [(found.places[index], reason) for index, reason in refused]
        return LoadReport(loaded, expired, skipped, tuple(found.notes))

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
        """set_cookie as a coroutine.  A server's jar applies it to its copy at
        once and writes it behind (flush() and aflush() wait for the write);
        a file's jar is written in a worker thread, off the event loop."""
        import asyncio

        options = dict(now=now, site_for_cookies=site_for_cookies, navigation=navigation,
                       from_script=from_script)
        if isinstance(raw, (bytes, str)):
            from glimmering_copper_otter.stores import _behind

            if _behind.writer(self) is not None:
                return _behind.set_cookies(self, [raw], url, options)[0]
        return await asyncio.to_thread(self.set_cookie, raw, url, **options)

    async def aset_cookies(self, values, url, *, now=None, site_for_cookies=None,
                           navigation=False, from_script=False):
        """set_cookies in a worker thread (a coroutine): a jar's file is written
        off the event loop."""
        import asyncio

        if not isinstance(values, (bytes, str)):
            values = list(values)  # read here, not in the worker (set_cookies refuses a lone value)
            from glimmering_copper_otter.stores import _behind

            if _behind.writer(self) is not None:
                return _behind.set_cookies(self, values, url, dict(
                    now=now, site_for_cookies=site_for_cookies, navigation=navigation,
                    from_script=from_script))
        return await asyncio.to_thread(self.set_cookies, values, url, now=now,
                                       site_for_cookies=site_for_cookies,
                                       navigation=navigation, from_script=from_script)

    def flush(self, timeout=None) -> None:
        """Returns once every change written behind so far (aset_cookie,
        aset_cookies, the async adapters) is committed on the server; raises
        StoreError while the server fails (the changes keep waiting), or what
        it refused (the jar then reads the server's copy).  Nothing to do for
        a jar written through."""
        store = self.store
        behind = getattr(store, "writer", None)
        if behind is not None:
            behind.flush(timeout)
            # The copy then holds the server's rows exactly (creation times,
            # what the server's copy evicted), read here, off the loop.
            store.sync(whole=True)
            len(self)

    async def aflush(self, timeout=None) -> None:
        """flush, as a coroutine (the wait is in a worker thread)."""
        import asyncio

        await asyncio.to_thread(self.flush, timeout)

    def close(self) -> None:
        """Closes the jar's file or connection, once what was written behind
        is committed (flush)."""
        store = self.store
        behind = getattr(store, "writer", None)
        if behind is None:
            return super().close()
        try:
            behind.stop()
        finally:
            store.writer = None
            super().close()

    async def aclose(self) -> None:
        """close, as a coroutine (the wait is in a worker thread)."""
        import asyncio

        await asyncio.to_thread(self.close)

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc_info):
        await self.aclose()


__all__ = ["BrowserCookie", "Changed", "CookieDetails", "CookieJar", "LeftOut", "LoadReport",
           "PushReport", "Refused", "SaveReport", "StoreError", "StoreWarning"]
