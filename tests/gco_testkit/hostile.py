"""Hostile objects that tests and the fuzz harness hand to the module: their
truth tests, __int__, encode, strftime, time zones, overridden attributes
and clone misbehave on demand."""

import datetime as dt
import os
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any, NamedTuple

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


# -- Hostile browser profiles and automation documents -------------------------
# Profiles and documents as they come from another machine or another
# program: each odd field, file or name is reported where it is (a row, a
# file) and the rest loads.  The runners are tests/browsers/
# test_browser_hostile.py and tests/formats/test_automation.py.

NOW = time.time_ns() // 1000
LATER = NOW + 3600 * 1000000


class ProfileCase(NamedTuple):
    """make(directory) gives (browser, path, load_browser's keywords), or
    (None, a home directory, {}) for browsers.find; what must come of it:
    the cookies loaded and the report's counts (for find: the profiles
    found, as (browser, name)), or an exception's type and words; words a
    note holds."""

    name: str
    make: Callable[[Path], tuple]
    loaded: Any
    counts: Any
    note: str | None = None


def _chromium(version, encryptions, script="", name="Cookies", **keywords):
    def make(directory):
        records = [files.chromium_record(b"c%d" % i, b"%d" % i, "www.site-a.test",
                                         creation=NOW - 100 + i, expires=LATER)
                   | {"encryption": encryption} for i, encryption in enumerate(encryptions)]
        path = files.chromium_file(directory / name, version, records, "plain")
        files.sql(path, script)
        return "chromium", path, keywords
    return make


PROFILES = [
    # Before version 24 a value's padding alone says whether a key opens it:
    # a value cut short opens under none, and its siblings still load.
    ProfileCase("a v10 value cut short", _chromium(23, ["linux-v10"] * 9 + ["linux-v10-cut"]),
                9, {"Undecryptable": 1}),
    ProfileCase("v11 values under two passwords", _chromium(
        22, ["linux-v11"] * 9 + ["linux-v11-empty"] * 2, password=files.KEYRING_PASSWORD),
        11, {}, "2 v11 value(s) opened with empty password: too few to verify"),
    ProfileCase("v10 values under two passwords",
                _chromium(21, ["linux-v10-empty", "linux-v10"] * 5), 10, {}),
    ProfileCase("a NULL version in meta", _chromium(
        24, ["plain"] * 2, "UPDATE meta SET value = NULL WHERE key = 'version'"),
        0, {"Unsupported": 2}),
    ProfileCase("no version in meta", _chromium(24, ["plain"], "DELETE FROM meta"),
                0, {"Unsupported": 1}),
    ProfileCase("a NULL host_key", _chromium(
        24, ["linux-v10"] * 3,
        files.LOOSEN.format("cookies") + "UPDATE cookies SET host_key = NULL WHERE name = 'c0'"),
        2, {"Unreadable": 1}),
]

_SESSION_COOKIE = ('{{"host": "www.site-a.test", "name": "s{}", "value": "v", "path": "/", '
                   '"secure": true, "sameSite": 1, "schemeMap": 2{}}}')
_DEEP = "[" * 100000 + "]" * 100000


def _firefox(odd_cookie=None, store=None, containers=None):
    """A profile of two cookies in its database, a good session cookie and
    odd_cookie (the fields after the good ones) in its session store (or
    the store's text), and containers.json's text."""
    def make(directory):
        records = [files.firefox_record(b"f%d" % i, b"v", "www.site-a.test", creation=NOW + i,
                                        expires=LATER // 1000000) for i in range(2)]
        files.firefox_file(directory / "cookies.sqlite", 17, records)
        cookies = [_SESSION_COOKIE.format(0, "")]
        if odd_cookie is not None:
            cookies.append(_SESSION_COOKIE.format(1, ", " + odd_cookie))
        text = store or '{"windows": [], "cookies": [' + ", ".join(cookies) + "]}"
        (directory / "sessionstore.jsonlz4").write_bytes(files.mozlz4(text.encode()))
        if containers is not None:
            (directory / "containers.json").write_text(containers)
        return "firefox", directory, {}
    return make


PROFILES += [
    *[ProfileCase(f"a session cookie of {odd}", _firefox(odd), 3, {"Unreadable": 1})
      for odd in ('"sameSite": []', '"originAttributes": {"userContextId": [1]}',
                  '"originAttributes": {"userContextId": 1e400}',
                  '"originAttributes": {"userContextId": "9' + "9" * 5000 + '"}',
                  '"originAttributes": {"partitionKey": 5}, "isPartitioned": true',
                  '"originAttributes": 5')],
    ProfileCase("a session store nested 100,000 deep",
                _firefox(store='{"windows": ' + _DEEP + ', "cookies": []}'), 2, {},
                "nested too deeply"),
    ProfileCase("containers.json nested 100,000 deep", _firefox(containers=_DEEP), 3, {},
                "containers are not named"),
    ProfileCase("containers.json of odd identities", _firefox(containers=(
        '{"identities": [{"userContextId": 2, "name": ["Work"]}, 7, '
        '{"userContextId": 1e400, "name": "x"}, {"userContextId": 3, "l10nId": [1]}]}')),
        3, {}, "identity 0 is not an object"),
    ProfileCase("containers.json a list", _firefox(containers="[1]"), 3, {},
                'holds no "identities" list'),
]


def _home(local_states):
    """A home directory: a profile of chromium and one of chrome, their
    `Local State` files' texts, and a Firefox profile."""
    def make(home):
        for folder, text in zip((".config/chromium", ".config/google-chrome"), local_states):
            name = "Default" if "chromium" in folder else "Profile 1"
            files.chromium_file(home / folder / name / "Network/Cookies", 24, [], "plain")
            (home / folder / "Local State").write_text(text)
        files.chromium_file(home / "elsewhere/Network/Cookies", 24, [], "plain")
        root = home / ".mozilla/firefox"
        files.firefox_file(root / "a.default/cookies.sqlite", 17, [])
        (root / "profiles.ini").write_text("[Profile0]\nName=default\nPath=a.default\n")
        return None, home, {}
    return make


_FOUND = [("chromium", "Default"), ("chrome", "Profile 1"), ("firefox", "default")]
_NAMES = ("../../elsewhere", "/etc", "x" * 300, "a\\u0000b", "\\ud800", "Profile 1")
PROFILES += [
    ProfileCase("a Local State nested 100,000 deep", _home([_DEEP, "{}"]), None, _FOUND),
    ProfileCase("a Local State of odd shapes",
                _home(['{"profile": []}', '{"profile": {"info_cache": 5}}']), None, _FOUND),
    ProfileCase("a Local State naming paths, not folders", _home([
        "[]", '{"profile": {"info_cache": {' + ", ".join(f'"{name}": {{}}' for name in _NAMES)
        + "}}}"]), None, _FOUND),
]


def _side_file(suffix, kind):
    """A Chromium profile of two cookies whose side file is a link to
    /dev/zero ("zero"), a FIFO or a sparse file of 8 GiB ("huge")."""
    def make(directory):
        make_file = _chromium(24, ["plain"] * 2)
        browser, path, keywords = make_file(directory)
        side = Path(str(path) + suffix)
        if kind == "zero":
            side.symlink_to("/dev/zero")
        elif kind == "fifo":
            os.mkfifo(side)
        else:
            with open(side, "wb") as file:
                file.truncate(8 << 30)
        return browser, path, keywords
    return make


PROFILES += [
    *[ProfileCase(f"a {suffix} that is a {kind}", _side_file(suffix, kind), 2, {})
      for suffix in ("-journal", "-wal", "-shm") for kind in ("zero", "fifo")],
    ProfileCase("a -journal of 8 GiB", _side_file("-journal", "huge"), ValueError,
                "more than a side file of this database can need"),
    *[ProfileCase(f"a cookie file named {name!r}", _chromium(24, ["plain"] * 2, name=name), 2, {})
      for name in ("Cook#ies", "Cook?ies", "Cook%41ies", "Cook%ies")],
]


class DocumentCase(NamedTuple):
    """A document of an automation format loaded (with url=): the (domain,
    path) of each cookie the jar then holds and the report's counts, or an
    exception's type and words."""

    name: str
    format: str
    document: Any
    url: str | None
    loaded: Any
    counts: Any


def _url_cookie(url):
    return [{"name": "a", "value": "1", "url": url}]


EVIL = "https://evil.test\\@bank.test/x/y"  # a backslash is a slash to a browser
DOCUMENTS = [
    DocumentCase("a url whose backslash ends its host", "playwright", _url_cookie(EVIL), None,
                 [("evil.test", "/@bank.test/x/")], {}),
    DocumentCase("an IPv6 url", "playwright", _url_cookie("http://[::1]:8080/p/q"), None,
                 [("[::1]", "/p/")], {}),
    *[DocumentCase(f"a url {url!r}", "playwright", _url_cookie(url), None, [],
                   {"Unreadable": 1}) for url in ("file:///etc/passwd", 5)],
    DocumentCase("a WebDriver page url whose backslash ends its host", "webdriver",
                 [{"name": "a", "value": "1"}], EVIL, [("evil.test", "/")], {}),
    DocumentCase("a WebDriver page url of IPv6", "webdriver", [{"name": "a", "value": "1"}],
                 "http://[::1]/", [("[::1]", "/")], {}),
    DocumentCase("a document nested 100,000 deep", "playwright", _DEEP.encode(), None,
                 ValueError, "nested too deeply"),
]
