"""Callers' code that changes the cookie while an operation is half-way through.

Each site is a place where the module calls back into interpreted code (a
truth test, a subclass property, a time zone, a rebound module attribute, a
__dict__ lookup, a __del__ set off by a store) while it works on a cookie.
A Trap armed with an action fires once, the first time that callback runs,
and does something hostile: rebinds or deletes every field of the cookie
(dropping the last reference to what the module read), rebinds the names
the module looks up at each use, allocates and frees to reuse the memory,
collects garbage.

run(site, action) runs the operation natively and, where the site has one,
the reference model of it on the same hostile sequence, and returns both
outcomes; tests/test_reentrancy.py runs each scenario in a child process
under -X dev (and the whole table again under the sanitizers).
"""

import datetime as dt
import gc
import urllib.parse
from dataclasses import dataclass
from email.utils import parsedate_to_datetime
from typing import Callable, Optional

from glimmering_copper_otter import cookies, writer
from glimmering_copper_otter.cookies import Cookie, CookieSameSiteMode

from glimmering_copper_otter.cookie_header import write_cookie_header

from . import cookie_header_model, model
from .capi import capi, check_record, fields

LATE_NAMES = ("quote", "unquote", "parsedate_to_datetime", "CookieSameSiteMode")
_counter = [0]


def fresh(prefix):
    """A text made at run time, so that it can be freed (a literal is a
    constant of the code object and never dies)."""
    _counter[0] += 1
    return "".join([prefix, "-", str(_counter[0]), "x" * 24])


class Trap:
    """Fires its action once, at the first callback that reaches it."""

    def __init__(self, action):
        self.action = action
        self.cookie = None
        self.fired = False

    def __call__(self):
        if self.fired:
            return
        self.fired = True
        ACTIONS[self.action](self)


def _rebind_fields(cookie):
    Cookie.name.__set__(cookie, fresh("renamed"))
    Cookie.value.__set__(cookie, fresh("revalued"))
    Cookie.expires.__set__(cookie, dt.datetime(2031, 2, 3, 4, 5, 6))
    Cookie.domain.__set__(cookie, fresh("other.example"))
    Cookie.path.__set__(cookie, fresh("/other"))
    Cookie.http_only.__set__(cookie, True)
    Cookie.secure.__set__(cookie, True)
    Cookie.max_age.__set__(cookie, 99)
    Cookie.same_site.__set__(cookie, 1)


def _rebind_names():
    """The names the module looks up at each use, bound to new equal
    wrappers: the old objects lose the module's reference."""
    cookies.quote = lambda text: urllib.parse.quote(text)
    cookies.unquote = lambda text: urllib.parse.unquote(text)
    cookies.parsedate_to_datetime = lambda text: parsedate_to_datetime(text)
    cookies.CookieSameSiteMode = ModeWrapper()


def rebind(trap):
    if trap.cookie is not None:
        _rebind_fields(trap.cookie)
    _rebind_names()


def delete(trap):
    cookie = trap.cookie
    if cookie is None:
        for name in LATE_NAMES:
            delattr(cookies, name)
        return
    del cookie.expires, cookie.domain, cookie.path
    # name and value cannot be deleted; the state can still set them to None.
    Cookie.__setstate__(cookie, (None, None, None, None, False, -1, None, 0, False))


def churn(trap):
    rebind(trap)
    # Objects of the sizes just freed take their memory.
    kept = [dt.datetime(2000 + i % 50, 1, 1, tzinfo=dt.timezone.utc) for i in range(3000)]
    kept += [fresh("z") for _ in range(3000)]
    del kept


def collect(trap):
    rebind(trap)
    gc.collect()


ACTIONS = {"rebind": rebind, "delete": delete, "churn": churn, "collect": collect}


class ModeWrapper:
    """Stands in for CookieSameSiteMode, with its members and its call."""

    def __getattr__(self, name):
        return getattr(CookieSameSiteMode, name)

    def __call__(self, number):
        return CookieSameSiteMode(number)


# --- Objects that fire the trap -------------------------------------------------------


class FiringDatetime(dt.datetime):
    trap = None
    where = "bool"

    def __bool__(self):
        if self.where == "bool":
            self.trap()
        return True

    def strftime(self, fmt):
        if self.where == "strftime":
            self.trap()
        return super().strftime(fmt)


class FiringZone(dt.tzinfo):
    def __init__(self, trap):
        self.trap = trap

    def utcoffset(self, when):
        self.trap()
        return dt.timedelta(hours=2)

    def dst(self, when):
        return None


class FiringNameCookie(Cookie):
    """A subclass whose name property fires the trap."""

    @property
    def name(self):
        self.__dict__["trap"]()
        return Cookie.name.__get__(self)

    @name.setter
    def name(self, value):
        Cookie.name.__set__(self, value)


class FiringDictCookie(Cookie):
    """A subclass whose __dict__ lookup fires the trap."""

    trap = None

    @property
    def __dict__(self):
        type(self).trap()
        return {"extra": 1}


class FiringTruth:
    def __init__(self, trap):
        self.trap = trap

    def __bool__(self):
        self.trap()
        return True


class FiringMapping:
    def __init__(self, trap):
        self.trap = trap

    def keys(self):
        self.trap()
        return ["extra"]

    def __getitem__(self, key):
        return 1


class FiringDel(dt.datetime):
    trap = None

    def __del__(self):
        type(self).trap()


class FiringModes(ModeWrapper):
    def __init__(self, trap):
        self.__dict__["trap"] = trap

    def __getattr__(self, name):
        self.__dict__["trap"]()
        return getattr(CookieSameSiteMode, name)


def firing(trap, function):
    return lambda *args: (trap(), function(*args))[1]


def full_cookie(cls=Cookie, expires=None):
    return cls(fresh("sid"), fresh("a b;c"), expires, fresh("example.com"), fresh("/p"), True,
               False, 3600, CookieSameSiteMode.NONE)


# --- The sites ------------------------------------------------------------------------


@dataclass
class Site:
    file: str
    function: str
    callback: str
    # Each builds its objects with the trap and runs the operation; the
    # model runs the reference version on the same sequence.
    native: Callable
    model: Optional[Callable] = None


def _expiring(trap, where):
    cookie = full_cookie()
    value = FiringDatetime(2030, 1, 2, 3, 4, 5)
    value.trap, value.where = trap, where
    Cookie.expires.__set__(cookie, value)
    del value
    trap.cookie = cookie
    return cookie


def _aware(trap):
    cookie = full_cookie(expires=dt.datetime(2030, 1, 2, 3, 4, 5, tzinfo=FiringZone(trap)))
    trap.cookie = cookie
    return cookie


def _named(trap):
    cookie = full_cookie(FiringNameCookie)
    cookie.__dict__["trap"] = trap
    trap.cookie = cookie
    return cookie


def _plain(trap):
    trap.cookie = full_cookie()
    return trap.cookie


def _with_modes(trap, make=_plain):
    cookie = make(trap)
    cookies.CookieSameSiteMode = FiringModes(trap)
    return cookie


def _dict_firing(trap):
    FiringDictCookie.trap = trap
    trap.cookie = full_cookie(FiringDictCookie)
    return trap.cookie


def _state(trap, index, item):
    items = [fresh("n"), fresh("v"), fresh("d"), dt.datetime(2030, 1, 2), False, 5, fresh("/p"),
             2, False]
    if index < 9:
        items[index] = item
    else:
        items.append(item)
    return tuple(items)


def _apply_state(cookie, state):
    """The state application of a Cookie in plain Python, the model of
    __setstate__: each item checked and stored in index order."""
    setstate = Cookie.__setstate__
    # Items are stored one at a time, so that a callback of item k sees
    # items before k applied, exactly as the module stores them.
    for index in range(9):
        partial = list(model_fields_as_state(cookie))
        partial[index] = state[index]
        setstate(cookie, tuple(partial))
    if len(state) > 9:
        vars(cookie).update(state[9])


def model_fields_as_state(cookie):
    name, value, expires, domain, path, http_only, secure, max_age, mode = fields(cookie)
    return (name, value, domain, expires, bool(http_only), max_age, path, mode, bool(secure))


def _setstate_native(trap, index, make_item, cls=Cookie):
    cookie = full_cookie(cls)
    trap.cookie = cookie
    state = _state(trap, index, make_item(trap))
    cookie.__setstate__(state)
    return cookie


def _setstate_model(trap, index, make_item, cls=Cookie):
    cookie = full_cookie(cls)
    trap.cookie = cookie
    _apply_state(cookie, _state(trap, index, make_item(trap)))
    return cookie


class DictCookie(Cookie):
    pass


def _replace_expires(trap, model_run):
    """Storing None releases the old expires, whose __del__ fires; the model
    is the action done to a cookie directly."""
    cookie = full_cookie()
    trap.cookie = cookie
    if model_run:
        cookie.expires = None
        trap()
        return cookie
    FiringDel.trap = trap
    cookie.expires = FiringDel(2030, 1, 2)
    cookie.expires = None
    return cookie


def _parse(trap, name, header):
    setattr(cookies, name, firing(trap, getattr(urllib.parse if name != "parsedate_to_datetime"
                                                else _email, name)))
    return cookies.parse_cookie(header)


def _parse_model(trap, name, header):
    setattr(cookies, name, firing(trap, getattr(urllib.parse if name != "parsedate_to_datetime"
                                                else _email, name)))
    *parts, mode = model.reference_parse(header)
    return Cookie(*parts, model.reference_member(mode))


class _email:
    parsedate_to_datetime = staticmethod(parsedate_to_datetime)


HEADER = b"sid=a%20b; Expires=Wed, 02 Jan 2030 03:04:05 GMT; Path=/; SameSite=Lax"

SITES = {
    "write-expires-truth": Site(
        "src/cookies/writer.cpp", "write", "expires.__bool__ of a datetime subclass",
        lambda t: capi.write_cookie_for_response(_expiring(t, "bool")),
        lambda t: model.reference_write(_expiring(t, "bool"))),
    "write-expires-utcoffset": Site(
        "src/cookies/dates.cpp", "to_utc_wall_clock (from write)", "utcoffset of a time zone",
        lambda t: capi.write_cookie_for_response(_aware(t)),
        lambda t: model.reference_write(_aware(t))),
    "write-expires-strftime": Site(
        "src/cookies/dates.cpp", "to_cookie_format (from write)", "strftime of a datetime subclass",
        lambda t: capi.write_cookie_for_response(_expiring(t, "strftime")),
        lambda t: model.reference_write(_expiring(t, "strftime"))),
    "write-name-property": Site(
        "src/cookies/writer.cpp", "append_quoted", "name property of a subclass",
        lambda t: capi.write_cookie_for_response(_named(t)),
        lambda t: model.reference_write(_named(t))),
    "write-quote": Site(
        "src/cookies/writer.cpp", "append_quoted", "quote rebound to interpreted code",
        lambda t: (setattr(cookies, "quote", firing(t, urllib.parse.quote)),
                   capi.write_cookie_for_response(_plain(t)))[1],
        lambda t: (setattr(cookies, "quote", firing(t, urllib.parse.quote)),
                   model.reference_write(_plain(t)))[1]),
    "writer-module-expires-truth": Site(
        "src/writer/writer.cpp", "write_cookie_for_response", "expires.__bool__ of a datetime subclass",
        lambda t: writer.write_cookie_for_response(_expiring(t, "bool")),
        lambda t: model.reference_write(_expiring(t, "bool"))),
    "clone-name-property": Site(
        "src/cookies/cookie_ops.cpp", "clone", "name property of a subclass",
        lambda t: Cookie.clone(_named(t)),
        lambda t: model.reference_clone(_named(t))),
    "clone-same-site-class": Site(
        "src/cookies/cookie_ops.cpp", "clone", "CookieSameSiteMode rebound to interpreted code",
        lambda t: _with_modes(t).clone(),
        lambda t: model.reference_clone(_with_modes(t))),
    "repr-name-property": Site(
        "src/cookies/cookie_ops.cpp", "repr", "name property of a subclass",
        lambda t: repr(_named(t)),
        lambda t: model.reference_repr(_named(t))),
    "equals-name-property": Site(
        "src/cookies/cookie_ops.cpp", "equals", "name property of a subclass",
        lambda t: _compare(t, lambda a, b: a == b),
        lambda t: _compare(t, model.reference_equals)),
    "reduce-same-site-class": Site(
        "src/cookies/pickling.cpp", "reduce_cookie", "CookieSameSiteMode rebound to interpreted code",
        lambda t: _with_modes(t).__reduce__(),
        lambda t: model.reference_reduce(_with_modes(t))),
    "reduce-dict-property": Site(
        "src/cookies/pickling.cpp", "reduce_cookie", "__dict__ property of a subclass",
        lambda t: _dict_firing(t).__reduce__(),
        lambda t: model.reference_reduce(_dict_firing(t))),
    "setstate-item-truth": Site(
        "src/cookies/pickling.cpp", "apply_cookie_state", "truth test of a state item",
        lambda t: _setstate_native(t, 4, FiringTruth),
        lambda t: _setstate_model(t, 4, FiringTruth)),
    "setstate-dict-update": Site(
        "src/cookies/pickling.cpp", "apply_cookie_state", "keys() of the mapping given to dict.update",
        lambda t: _setstate_native(t, 9, FiringMapping, DictCookie),
        lambda t: _setstate_model(t, 9, FiringMapping, DictCookie)),
    "store-releases-old-expires": Site(
        "src/cookies/cookie.cpp", "set_expires (store_field)", "__del__ of the replaced datetime",
        lambda t: _replace_expires(t, False),
        lambda t: _replace_expires(t, True)),
    "same-site-getter-class": Site(
        "src/cookies/samesite.cpp", "same_site_to_member", "CookieSameSiteMode rebound to interpreted code",
        lambda t: _with_modes(t).same_site,
        lambda t: model.reference_member(fields(_with_modes(t))[8])),
    "parse-unquote": Site(
        "src/cookies/parser.cpp", "parse", "unquote rebound to interpreted code",
        lambda t: _parse(t, "unquote", HEADER),
        lambda t: _parse_model(t, "unquote", HEADER)),
    "parse-parsedate": Site(
        "src/cookies/dates.cpp", "from_cookie_format (from parse)",
        "parsedate_to_datetime rebound to interpreted code",
        lambda t: _parse(t, "parsedate_to_datetime", HEADER),
        lambda t: _parse_model(t, "parsedate_to_datetime", HEADER)),
}


class FiringHeaderMapping:
    """A mapping for write_cookie_header whose keys() and __getitem__ fire
    the trap and then drop what they handed out: the caller holds the only
    reference to each name and value."""

    def __init__(self, trap, where):
        self.trap, self.where = trap, where
        self.data = {fresh("name"): fresh("value v") for _ in range(3)}

    def keys(self):
        if self.where == "keys":
            self.trap()
        return iter(list(self.data))

    def __getitem__(self, key):
        if self.where == "item":
            self.trap()
        return self.data.pop(key)


class FiringPairs:
    """An iterable of list pairs whose __next__ fires the trap; each pair is
    dropped (and emptied) once the next one is asked for."""

    def __init__(self, trap):
        self.trap = trap
        self.pairs = [[fresh("name"), fresh("value v")] for _ in range(3)]
        self.last = None

    def __iter__(self):
        return self

    def __next__(self):
        self.trap()
        if self.last is not None:
            self.last.clear()
        if not self.pairs:
            raise StopIteration
        self.last = self.pairs.pop(0)
        return self.last


def _header(trap, make, write):
    return write(make(trap))


SITES.update({
    "header-mapping-keys": Site(
        "src/cookie_header/cookie_header.cpp", "write_mapping", "keys() of a mapping",
        lambda t: _header(t, lambda t: FiringHeaderMapping(t, "keys"), write_cookie_header),
        lambda t: _header(t, lambda t: FiringHeaderMapping(t, "keys"),
                          cookie_header_model.write_cookie_header)),
    "header-mapping-item": Site(
        "src/cookie_header/cookie_header.cpp", "write_mapping", "__getitem__ of a mapping",
        lambda t: _header(t, lambda t: FiringHeaderMapping(t, "item"), write_cookie_header),
        lambda t: _header(t, lambda t: FiringHeaderMapping(t, "item"),
                          cookie_header_model.write_cookie_header)),
    "header-pairs-next": Site(
        "src/cookie_header/cookie_header.cpp", "write_pairs", "__next__ of an iterable of pairs",
        lambda t: _header(t, FiringPairs, write_cookie_header),
        lambda t: _header(t, FiringPairs, cookie_header_model.write_cookie_header)),
    "check-cookie-expires-truth": Site(
        "src/browser/module.cpp", "cookie_header (from check)",
        "expires.__bool__ of a datetime subclass, through the writer module",
        lambda t: _checked(t, _expiring(t, "bool"), None),
        lambda t: _checked(t, _expiring(t, "bool"), model.reference_write)),
})


def _checked(trap, cookie, write):
    """check() of the cookie; the model checks the header the reference
    writer writes for it (the cookie's own findings do not arise here)."""
    from glimmering_copper_otter import browser
    subject = cookie if write is None else write(cookie)
    return browser.check(subject, "https://example.com/p",
                         now=dt.datetime(2026, 12, 9, tzinfo=dt.timezone.utc))


def _compare(trap, equals):
    """The trap's cookie compared with a plain cookie of the same name and
    value: its name property fires half-way through."""
    cookie = _named(trap)
    other = Cookie(fields(cookie)[0], fields(cookie)[1])
    return equals(cookie, other)


# --- Running one scenario ---------------------------------------------------------------


def describe(value):
    """A JSON-able picture of a result, independent of object identity."""
    if isinstance(value, Cookie):
        check_record(value)
        return ["Cookie", type(value).__name__, [describe(item) for item in fields(value)]]
    if isinstance(value, (tuple, list)):
        return [describe(item) for item in value]
    if isinstance(value, dict):
        return {str(key): describe(item) for key, item in value.items()}
    if isinstance(value, (bytes, dt.datetime)):
        return repr(value)
    if isinstance(value, (str, int, float, type(None))):
        return value if not isinstance(value, CookieSameSiteMode) else int(value)
    if callable(value):
        return getattr(value, "__qualname__", type(value).__name__)
    return type(value).__name__


def outcome(call, trap):
    saved = {name: vars(cookies)[name] for name in LATE_NAMES}
    try:
        result = describe(call(trap))
        return ["ok", result, trap.fired]
    except Exception as error:  # the operation's own exception is the outcome
        return ["raise", type(error).__name__, str(error), trap.fired]
    finally:
        for name, value in saved.items():
            setattr(cookies, name, value)
        gc.collect()


def run(site, action):
    """The native outcome and the model's, each with a fresh trap."""
    entry = SITES[site]
    _counter[0] = 0
    native = outcome(entry.native, Trap(action))
    _counter[0] = 0
    reference = outcome(entry.model, Trap(action)) if entry.model else None
    return {"native": native, "model": reference}
