"""Hostile objects that tests and the fuzz harness hand to the module: their
truth tests, __int__, encode, strftime, time zones, overridden attributes
and clone misbehave on demand."""

import datetime as dt
import os
import time
from pathlib import Path

from gco_testkit import browser_files as files
from glimmering_copper_otter.cookies import Cookie, CookieSameSiteMode


class Boom(Exception):
    """Raised by the hostile objects below."""


def give(result):
    """Returns result, or raises a fresh exception when it is an exception
    instance (a copy) or type.  Raising one stored instance again and again
    would chain tracebacks onto it, and through a time zone (which a datetime
    holds out of the collector's sight) that makes cycles no collection can
    free."""
    if isinstance(result, BaseException):
        raise type(result)(*result.args)
    if isinstance(result, type) and issubclass(result, BaseException):
        raise result
    return result


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class IntSub(int):
    pass


class Truthless:
    def __bool__(self):
        raise Boom("truth test")


class IntLike:
    """__int__ returning (or raising) whatever it was given."""

    def __init__(self, result):
        self.result = result

    def __int__(self):
        return give(self.result)


class Encodes:
    """A true value whose encode() gives something odd."""

    def __init__(self, result):
        self.result = result

    def encode(self):
        return give(self.result)


class Unsized:
    pass


class OddZone(dt.tzinfo):
    """A time zone whose offset is whatever it was given (or raises)."""

    def __init__(self, offset=None):
        self.offset = offset

    def utcoffset(self, when):
        return give(self.offset)

    def dst(self, when):
        return None

    def tzname(self, when):
        return "ODD"

    def __reduce__(self):
        offset = None if isinstance(self.offset, BaseException) else self.offset
        return OddZone, (offset,)


class OddDatetime(dt.datetime):
    """A datetime subclass whose truth value and strftime misbehave on demand."""

    mode = 0

    def __bool__(self):
        if self.mode == 1:
            raise Boom("datetime truth")
        return True

    def strftime(self, fmt):
        mode = self.mode
        if mode == 2:
            raise Boom("strftime")
        if mode == 3:
            return 12345
        if mode == 4:
            return "Fri, 01 Jan 1999 00:00:00 \udcff GMT"
        if mode == 5:
            return StrSub(super().strftime(fmt))
        if mode == 6:
            return Encodes(b"not quite " + fmt.encode())
        if mode == 7:
            return Encodes("text, not bytes")
        return super().strftime(fmt)


class PlainDatetime(dt.datetime):
    """A datetime subclass that keeps the standard strftime."""


class WeirdEq:
    """Compares equal to anything with a result whose truth test fails."""

    def __eq__(self, other):
        return Truthless()

    __hash__ = None


class CookieSub(Cookie):
    """A subclass with an instance dict."""


class CookieSlots(Cookie):
    __slots__ = ()


class CookieOverride(Cookie):
    """Redefines name, value and clone; their behaviour is chosen per instance."""

    def __init__(self, *args, **kwargs):
        self.__dict__["behaviour"] = 0
        super().__init__(*args, **kwargs)

    @property
    def name(self):
        behaviour = self.__dict__.get("behaviour", 0)
        if behaviour == 1:
            raise Boom("name")
        if behaviour == 2:
            return b"bytes name"
        if behaviour == 10:
            return WeirdEq()
        return Cookie.name.__get__(self)

    @name.setter
    def name(self, value):
        if self.__dict__.get("behaviour", 0) == 3:
            raise Boom("name setter")
        Cookie.name.__set__(self, value)

    @property
    def value(self):
        behaviour = self.__dict__.get("behaviour", 0)
        if behaviour == 4:
            raise Boom("value")
        if behaviour == 5:
            return 12345
        if behaviour == 6:
            return "\udcff surrogate"
        if behaviour == 11:
            return b"bytes value"
        if behaviour == 12:
            return ["a", "list", "value", "!"]
        return Cookie.value.__get__(self)

    @value.setter
    def value(self, value):
        Cookie.value.__set__(self, value)

    def clone(self):
        behaviour = self.__dict__.get("behaviour", 0)
        if behaviour == 7:
            return "not a cookie"
        if behaviour == 8:
            return None
        if behaviour == 9:
            raise Boom("clone")
        return Cookie.clone(self)


class ModeProxy:
    """Stands in for CookieSameSiteMode with the same members, so that the
    general (not native) paths run."""

    UNDEFINED = CookieSameSiteMode.UNDEFINED
    LAX = CookieSameSiteMode.LAX
    STRICT = CookieSameSiteMode.STRICT
    NONE = CookieSameSiteMode.NONE

    def __call__(self, number):
        return CookieSameSiteMode(number)


# -- Hostile browser profiles and automation documents: each odd field, file or
# name is reported where it is and the rest loads.  PROFILES: (what, make(dir)
# -> (browser, path, keywords) or (None, home, {}) for find; cookies loaded, or
# an exception's type, or None for find; the report's counts, the exception's
# words or the profiles found; words a note holds, if any).

NOW = time.time_ns() // 1000
LATER = NOW + 3600 * 1000000
DEEP = "[" * 100000 + "]" * 100000


def _chromium(version, encryptions, script="", name="Cookies", side=None, **keywords):
    def make(directory):
        records = [files.chromium_record(b"c%d" % i, b"%d" % i, "www.site-a.test",
                                         creation=NOW - 100 + i, expires=LATER)
                   | {"encryption": encryption} for i, encryption in enumerate(encryptions)]
        path = files.sql(files.chromium_file(directory / name, version, records, "plain"), script)
        if side is not None:  # a link to /dev/zero, a FIFO or a sparse 8 GiB file
            target = Path(f"{path}{side[0]}")
            {"zero": lambda: target.symlink_to("/dev/zero"), "fifo": lambda: os.mkfifo(target),
             "huge": lambda: target.write_bytes(b"") or os.truncate(target, 8 << 30)}[side[1]]()
        return "chromium", path, keywords
    return make


def _firefox(odd=None, store=None, containers=None):
    def make(directory):
        files.firefox_file(directory / "cookies.sqlite", 17, [files.firefox_record(
            b"f%d" % i, b"v", "a.test", creation=NOW + i, expires=LATER // 10**6) for i in (0, 1)])
        good = '{"host": "a.test", "value": "v", "path": "/", "sameSite": 1, "name": "s'
        text = store or ('{"cookies": [' + good + '0"}'
                         + (f', {good}1", {odd}}}' if odd else "") + "]}")
        (directory / "sessionstore.jsonlz4").write_bytes(files.mozlz4(text.encode()))
        if containers is not None:
            (directory / "containers.json").write_text(containers)
        return "firefox", directory, {}
    return make


def _home(local_state):
    def make(home):
        for folder in (".config/chromium/Default", ".config/google-chrome/Profile 1", "elsewhere"):
            files.chromium_file(home / folder / "Network/Cookies", 24, [], "plain")
        (home / ".config/chromium/Local State").write_text(local_state)
        files.firefox_file(home / ".mozilla/firefox/a/cookies.sqlite", 17, [])
        (home / ".mozilla/firefox/profiles.ini").write_text("[Profile0]\nName=default\nPath=a\n")
        return None, home, {}
    return make


_FOUND = [("chromium", "Default"), ("chrome", "Profile 1"), ("firefox", "default")]
_NAMES = ("../../elsewhere", "/etc", "x" * 300, "a\\u0000b", "\\ud800")
PROFILES = [
    ("a v10 value cut short", _chromium(23, ["linux-v10"] * 9 + ["linux-v10-cut"]), 9,
     {"Undecryptable": 1}),
    ("v11 values under two passwords", _chromium(22, ["linux-v11"] * 9 + ["linux-v11-empty"] * 2,
                                                 password=files.KEYRING_PASSWORD), 11, {},
     "2 v11 value(s) opened with empty password: too few to verify"),
    ("v10 values under two passwords", _chromium(21, ["linux-v10-empty", "linux-v10"] * 5), 10,
     {}),
    ("a NULL version in meta", _chromium(24, ["plain"] * 2, "UPDATE meta SET value = NULL"), 0,
     {"Unsupported": 2}),
    ("a NULL host_key", _chromium(24, ["linux-v10"] * 3, "CREATE TABLE c AS SELECT * FROM cookies;"
                                  " DROP TABLE cookies; ALTER TABLE c RENAME TO cookies; UPDATE "
                                  "cookies SET host_key = NULL WHERE name = 'c0'"), 2,
     {"Unreadable": 1}),
    *[(f"a session cookie of {odd}", _firefox(odd), 3, {"Unreadable": 1}) for odd in (
        '"sameSite": []', '"originAttributes": {"userContextId": [1]}',
        '"originAttributes": {"userContextId": 1e400}', '"originAttributes": {"partitionKey": 5}')],
    ("a session store nested 100,000 deep", _firefox(store=DEEP), 2, {}, "nested too deeply"),
    ("containers.json nested 100,000 deep", _firefox(containers=DEEP), 3, {}, "not named"),
    ("containers.json of odd identities", _firefox(containers=(
        '{"identities": [{"userContextId": 2, "name": ["Work"]}, '
        '{"userContextId": 1e400, "name": "x"}, {"userContextId": 3, "l10nId": [1]}]}')), 3, {},
     "identity 0 is not"),
    ("a Local State nested 100,000 deep", _home(DEEP), None, _FOUND),
    ("a Local State naming paths", _home('{"profile": {"info_cache": {' + ", ".join(
        f'"{name}": {{}}' for name in _NAMES) + "}}}"), None, _FOUND),
    *[(f"a {suffix} that is {kind}", _chromium(24, ["plain"] * 2, side=(suffix, kind)), 2, {})
      for suffix, kind in (("-journal", "zero"), ("-wal", "zero"), ("-shm", "fifo"))],
    ("a -journal of 8 GiB", _chromium(24, ["plain"], side=("-journal", "huge")), ValueError,
     "more than a side file of this database can need"),
    *[(f"a cookie file named {name!r}", _chromium(24, ["plain"], name=name), 1, {})
      for name in ("Cook#ies", "Cook?ies", "Cook%41ies")],
]

# DOCUMENTS: (what, format, document, url=, the (domain, path) of the cookies
# loaded, the report's counts).
EVIL = "https://evil.test\\@bank.test/x/y"  # a backslash is a slash to a browser
DOCUMENTS = [
    ("a url whose backslash ends its host", "playwright", [{"name": "a", "value": "", "url": EVIL}],
     None, [("evil.test", "/@bank.test/x/")], {}),
    ("an IPv6 url", "playwright", [{"name": "a", "value": "", "url": "http://[::1]:8080/p/q"}],
     None, [("[::1]", "/p/")], {}),
    ("a file url", "playwright", [{"name": "a", "value": "", "url": "file:///etc/passwd"}], None,
     [], {"Unreadable": 1}),
    ("a WebDriver page url whose backslash ends its host", "webdriver",
     [{"name": "a", "value": ""}], EVIL, [("evil.test", "/")], {}),
]
