"""Fuzz targets for glimmering_copper_otter.cookies.

One entry point, ``one_input(data)``, turns arbitrary bytes into a sequence
of calls on the module and checks what comes back.  It is shared by the
coverage-guided harness (fuzz/fuzz_cookies.py, long sessions) and by
tests/test_fuzz_regressions.py (replays fuzz/corpus/ and runs a short
hypothesis pass in the normal test run); both import it as
gco_testkit.fuzz_targets, with tests/ on the import path.

Every call must give a result or one of the exceptions that the operation
documents; anything else (another exception, a failed check, and of course
a crash or a sanitizer report) is a finding.  Besides "no crash", the
targets check:

- parse_cookie, the writer and the two date functions against plain Python
  versions of their algorithms built on the standard library, once with the
  library functions as imported (the native fast paths) and once with
  stand-ins bound in their place (the general paths);
- that a failed setter or constructor changes nothing it should not, and
  that a failed state application writes only the items it reached;
- that the record's fields keep their types whatever was done to it;
- that whatever a cookie went through, display, copy, comparison, pickling
  and writing it still behave.
"""

import copy
import ctypes
import datetime as dt
import pickle
import struct
import warnings
from email.utils import parsedate_to_datetime
from urllib.parse import quote, unquote

from glimmering_copper_otter import cookies, writer
from glimmering_copper_otter.cookies import (
    Cookie,
    CookieError,
    CookieSameSiteMode,
    CookieValueExceedsMaximumLength,
    datetime_from_cookie_format,
    datetime_to_cookie_format,
    parse_cookie,
)

from .capi import _get_pointer, capi, check_record, fields, same_fields
from .jar_fuzz import target_jar
from .hostile import (
    Boom, BytesSub, CookieOverride, CookieSlots, CookieSub, Encodes, IntLike, IntSub, ModeProxy,
    OddDatetime, OddZone, PlainDatetime, StrSub, Truthless, Unsized, WeirdEq, give,
)
from .model import (
    INT64_MAX, INT64_MIN, reference_from_cookie_format, reference_parse, reference_same_site,
    reference_split, reference_to_cookie_format, reference_write,
)

COOKIE_CHECKSUMS = (0x2035A3D, 0xC44A7B0, 0xE7407DB)
ERROR_CHECKSUMS = (0xE3B0C44, 0xDA39A3E, 0xD41D8CD)
PARAMETERS = ("name", "value", "expires", "domain", "path", "http_only", "secure", "max_age",
              "same_site")
ATTRIBUTES = PARAMETERS
DELETABLE = {"expires", "domain", "path"}


# --- Objects a fuzzer can build -------------------------------------------------------


BOUNDARY_INTS = (0, 1, -1, 2, 3, 4, 7, 2**31 - 1, 2**31, 2**32 - 1, 2**32, INT64_MAX, INT64_MAX + 1,
                 INT64_MIN, INT64_MIN - 1, 2**64 - 1, 2**64, -(2**64), 10**30, -(10**30))
FLOATS = (0.0, -0.0, 0.5, 2.9, -2.9, 1e19, -1e19, 9.3e18, float("nan"), float("inf"),
          float("-inf"))
LONG_TEXTS = (("x", 4095), ("x", 4096), ("x", 4097), ("é", 2048), ("é", 2049), ("€", 1365),
              ("€", 1366), ("\U0001F36A", 1024), ("\U0001F36A", 1025), ("%41", 4097))


class Reader:
    """Reads choices out of the fuzzer's bytes; past the end it reads zeros."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def below(self, n):
        if n <= 256:
            return self.byte() % n
        return ((self.byte() << 8) | self.byte()) % n

    def flag(self):
        return self.byte() & 1

    def pick(self, options):
        return options[self.below(len(options))]

    def chunk(self, limit=48):
        n = self.byte() % (limit + 1)
        out = self.data[self.pos:self.pos + n]
        self.pos += len(out)
        return out

    def rest(self):
        out = self.data[self.pos:]
        self.pos = len(self.data)
        return out

    def text(self, limit=48):
        # surrogateescape turns stray bytes into lone surrogates, which
        # cannot be encoded again: exactly the text that encode() refuses.
        return self.chunk(limit).decode("utf-8", "surrogateescape")

    def wide_int(self):
        if self.flag():
            return self.pick(BOUNDARY_INTS)
        return int.from_bytes(self.chunk(10), "little", signed=True)


def make_zone(r):
    kind = r.below(6)
    if kind == 0:
        return dt.timezone.utc
    if kind == 1:
        return dt.timezone(dt.timedelta(minutes=r.below(2879) - 1439))
    if kind == 2:
        return OddZone(None)
    if kind == 3:
        return OddZone(Boom("utcoffset"))
    if kind == 4:
        return OddZone(dt.timedelta(hours=r.below(48) - 24, microseconds=r.below(3)))
    return OddZone("not a timedelta")


def make_datetime(r, cls=None):
    year = 1 + r.below(9999) if r.flag() else r.pick((1, 2, 99, 100, 999, 1000, 1969, 1970, 2030,
                                                      9999))
    month = 1 + r.below(12)
    day = 1 + r.below(31)
    while True:
        try:
            dt.date(year, month, day)
            break
        except ValueError:
            day -= 1
    tz = make_zone(r) if r.below(3) == 0 else None
    cls = cls or r.pick((OddDatetime, PlainDatetime, dt.datetime, dt.datetime, dt.datetime))
    value = cls(year, month, day, r.below(24), r.below(60), r.below(60), r.below(1000000), tz)
    if cls is OddDatetime:
        value.mode = r.below(9)
    return value


def make_text(r):
    kind = r.below(8)
    if kind == 0:
        return ""
    if kind == 1:
        piece, count = r.pick(LONG_TEXTS)
        return piece * count
    if kind == 2:
        return r.pick(("a", "sid", "Secure", "path", "max-age", "a b", "a;b", "a=b", "é", "\x00",
                       "\x7f", "; ", "\r\n", "\udcff", "%", "%2", "%zz", "/"))
    return r.text()


def make_object(r, depth=0):
    """Any kind of object that a caller could hand to the module."""
    kind = r.below(28)
    if kind == 0:
        return None
    if kind in (1, 2, 3):
        return make_text(r)
    if kind == 4:
        return r.chunk()
    if kind == 5:
        return r.byte() - 128
    if kind == 6:
        return r.wide_int()
    if kind == 7:
        return r.pick(FLOATS) if r.flag() else struct.unpack("<d", r.chunk(8).ljust(8, b"\0"))[0]
    if kind == 8:
        return bool(r.flag())
    if kind in (9, 10):
        return make_datetime(r)
    if kind == 11:
        return dt.date(2030, 1, 2)
    if kind == 12:
        return StrSub(make_text(r))
    if kind == 13:
        return BytesSub(r.chunk())
    if kind == 14:
        return Truthless()
    if kind == 15:
        return IntLike(r.pick((r.byte(), IntSub(r.byte()), "7", 2.5, Boom("__int__"), None,
                               INT64_MAX + 1, -1, 2**32)))
    if kind == 16:
        return r.pick(list(CookieSameSiteMode)) if r.flag() else CookieSameSiteMode(r.below(16))
    if kind == 17:
        return bytearray(r.chunk())
    if kind == 18:
        if depth > 1:
            return ()
        return tuple(make_object(r, depth + 1) for _ in range(r.below(4)))
    if kind == 19:
        if depth > 1:
            return []
        return [make_object(r, depth + 1) for _ in range(r.below(4))]
    if kind == 20:
        if depth > 1:
            return {}
        return {make_text(r): make_object(r, depth + 1) for _ in range(r.below(3))}
    if kind == 21:
        return Encodes(r.pick((b"x" * 4097, [0] * 4097, Unsized(), Boom("encode"), b"", "é" * 3000)))
    if kind == 22:
        if depth > 1:
            return None
        return make_cookie(r, depth + 1)
    if kind == 23:
        return r.pick((object(), Unsized(), Cookie, int, len, NotImplemented, Ellipsis))
    if kind == 24:
        return dt.time(1, 2, 3)
    if kind == 25:
        return IntSub(r.wide_int())
    if kind == 26:
        return complex(1, 2)
    return frozenset()


def valid_argument(r, parameter):
    """A value that the constructor (and the setters) accept for a parameter,
    or nearly so, so that the fuzzer gets past the earlier checks."""
    if parameter == "name":
        return r.pick(("a", "sid", "é", "Secure", "x" * 100)) if r.flag() else make_text(r) or "n"
    if parameter == "value":
        return None if r.below(8) == 0 else make_text(r)
    if parameter == "expires":
        return None if r.flag() else make_datetime(r)
    if parameter in ("domain", "path"):
        return None if r.below(4) == 0 else make_text(r)
    if parameter in ("http_only", "secure"):
        return bool(r.flag())
    if parameter == "max_age":
        return r.pick((-1, 0, 3600, INT64_MAX, INT64_MIN)) if r.flag() else r.wide_int()
    return r.pick(list(CookieSameSiteMode)) if r.flag() else r.below(8)


def make_cookie(r, depth=0):
    kind = r.below(8)
    cls = (Cookie, Cookie, Cookie, CookieSub, CookieSlots, CookieOverride, Cookie, Cookie)[kind]
    if kind == 6:
        return Cookie.__new__(Cookie)
    if kind == 7:
        return parse_cookie(b"a=b; Path=/; Domain=d; Max-Age=60; Secure; HttpOnly; SameSite=Lax")
    args = [valid_argument(r, p) for p in PARAMETERS]
    try:
        cookie = cls(*args)
    except (TypeError, ValueError, OverflowError, CookieValueExceedsMaximumLength):
        cookie = cls("fallback", "v")
    if cls is CookieOverride:
        cookie.__dict__["behaviour"] = r.below(14)
    return cookie


def plain_type(cookie):
    """Whether the type reads name and value from the record itself."""
    return type(cookie) in (Cookie, CookieSub, CookieSlots)


# --- Outcomes --------------------------------------------------------------------------


def outcome(call, *args):
    """("ok", result) or ("raise", type, message)."""
    try:
        return ("ok", call(*args))
    except Exception as error:  # compared by the caller
        return ("raise", type(error), str(error))


def cookie_tuple(cookie):
    return (cookie.name, cookie.value, cookie.expires, cookie.domain, cookie.path,
            cookie.http_only, cookie.secure, cookie.max_age, int(cookie.same_site))


def assert_same_outcome(actual, expected, what):
    if expected[0] == "raise" or actual[0] == "raise":
        assert actual[:2] == expected[:2], (what, actual, expected)
        if expected[1] is not OverflowError:
            assert actual[2] == expected[2], (what, actual, expected)
    else:
        assert actual[1] == expected[1], (what, actual, expected)


class stand_ins:
    """Binds stand-ins for the library functions and the SameSite class that
    behave the same, so that the module takes its general paths."""

    def __init__(self, active):
        self.active = active

    def __enter__(self):
        if self.active:
            self.saved = {name: getattr(cookies, name) for name in
                          ("quote", "unquote", "parsedate_to_datetime", "CookieSameSiteMode")}
            cookies.quote = lambda text: quote(text)
            cookies.unquote = lambda text: unquote(text)
            cookies.parsedate_to_datetime = lambda text: parsedate_to_datetime(text)
            cookies.CookieSameSiteMode = ModeProxy()
        return self

    def __exit__(self, *exc):
        if self.active:
            for name, value in self.saved.items():
                setattr(cookies, name, value)
        return False


# --- What is done to any cookie afterwards ----------------------------------------------

EXERCISE_ERRORS = (TypeError, ValueError, OverflowError, AttributeError,
                   CookieValueExceedsMaximumLength, Boom, DeprecationWarning)
PICKLE_ERRORS = (pickle.PicklingError, TypeError, AttributeError, ValueError, OverflowError,
                 CookieValueExceedsMaximumLength, Boom, DeprecationWarning)


def exercise(cookie, r):
    """Display, clone, compare, pickle, copy and write a cookie in whatever
    state it is; each may fail only in its documented ways."""
    check_record(cookie)
    before = fields(cookie)
    plain = plain_type(cookie)
    try:
        shown = repr(cookie)
        assert type(shown) is str and shown.startswith("<Cookie ") and shown.endswith("...>")
    except EXERCISE_ERRORS:
        pass

    try:
        clone = cookie.clone()
        if plain:
            # The same objects and numbers; same_site goes through its member
            # and back, which keeps every number below 2**31.
            assert type(clone) is Cookie
            assert same_fields(before[:8], fields(clone)[:8])
    except EXERCISE_ERRORS:
        pass
    try:
        clone = capi_clone(cookie, r.flag())
        assert clone is None or isinstance(clone, Cookie)
    except EXERCISE_ERRORS:
        pass

    for other in (cookie, cookie.__class__.__new__(cookie.__class__), r.chunk(8),
                  make_text(r), None, 5, bytearray(b"x")):
        try:
            equal = cookie == other
            unequal = cookie != other
            if isinstance(equal, bool) and isinstance(unequal, bool):
                assert equal != unequal
        except (UnicodeDecodeError, TypeError, ValueError, Boom):
            pass
    try:
        cookie < cookie  # noqa: B015
        raise AssertionError("cookies are ordered")
    except TypeError:
        pass
    assert same_fields(before, fields(cookie)), "display, clone or comparison changed the cookie"
    # Methods reached through the type, with a wrong self or none, and
    # called with arguments they do not take (a state may be applied).
    method = r.pick((Cookie.clone, Cookie.__reduce__, Cookie.__setstate__,
                     Cookie.__reduce_cython__, Cookie.__setstate_cython__))
    for args, kwargs in (((), {}), ((make_object(r),), {}), ((cookie, make_object(r)), {}),
                         ((cookie,), {r.pick(("__pyx_state", "x", "deep")): make_object(r)})):
        try:
            method(*args, **kwargs)
        except (TypeError, ValueError, OverflowError, IndexError, AttributeError,
                CookieValueExceedsMaximumLength, Boom, DeprecationWarning):
            pass
    check_record(cookie)
    before = fields(cookie)

    try:
        reduced = cookie.__reduce__()
        assert reduced[0] is cookies.__pyx_unpickle_Cookie
        assert reduced[1][0] is type(cookie) and reduced[1][1] == COOKIE_CHECKSUMS[0]
    except (NameError, TypeError, ValueError, Boom):
        pass

    for protocol in (0, 2, pickle.HIGHEST_PROTOCOL)[r.below(3):][:1]:
        try:
            loaded = pickle.loads(pickle.dumps(cookie, protocol))
        except PICKLE_ERRORS:
            continue
        assert type(loaded) is type(cookie)
        expected, got = fields(cookie), fields(loaded)
        # same_site is pickled as its member, which keeps numbers below 2**31.
        assert expected[5:8] == got[5:8], (expected, got)
        assert expected[8] == got[8] or expected[8] >= 2**31, (expected, got)
        assert expected[:2] == got[:2] and expected[3:5] == got[3:5]
        if expected[2] is None or (type(expected[2]) is dt.datetime
                                   and type(expected[2].tzinfo) in (type(None), dt.timezone)):
            assert got[2] == expected[2] and type(got[2]) is type(expected[2])
    try:
        copied = copy.deepcopy(cookie) if r.flag() else copy.copy(cookie)
        assert type(copied) is type(cookie)
        assert fields(copied)[5:8] == fields(cookie)[5:8]
    except PICKLE_ERRORS:
        pass

    check_write(cookie, r)
    after = fields(cookie)
    assert same_fields(before, after), "a read-only operation changed the cookie"


# The clone slot of the method table, as a sibling module calls it.
capi_clone = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_int)(
    ctypes.c_void_p.from_address(_get_pointer(Cookie.__dict__["__pyx_vtable__"], None)).value)


WRITE_ERRORS = (TypeError, ValueError, AttributeError, OverflowError, Boom)


def check_write(cookie, r):
    expected = outcome(reference_write, cookie)
    if r.flag():
        actual = outcome(writer.write_cookie_for_response, cookie)
    else:
        actual = outcome(capi.write_cookie_for_response, cookie)
    if actual[0] == "raise":
        assert issubclass(actual[1], WRITE_ERRORS), actual
    assert_same_outcome(actual, expected, "write_cookie_for_response")
    if actual[0] != "ok":
        return
    header = actual[1]
    assert type(header) is bytes
    parsed = outcome(parse_cookie, header)
    if parsed[0] == "raise":
        assert issubclass(parsed[1], (ValueError, OverflowError,
                                      CookieValueExceedsMaximumLength)), parsed
        return
    name, value = cookie.name, cookie.value
    if type(name) is not str or type(value) is not str:
        return
    assert parsed[1].name == name and parsed[1].value == value, (header, name, value)


# --- Targets ------------------------------------------------------------------------------

PARSE_ERRORS = (ValueError, OverflowError, CookieValueExceedsMaximumLength)


def target_parse(r):
    """Arbitrary bytes as a Set-Cookie header value."""
    general = r.flag()
    via_capi = r.flag()
    raw = r.rest()
    check_parse(raw, general=general, via_capi=via_capi, r=r)


def check_parse(raw, *, general=False, via_capi=False, r=None):
    expected = outcome(reference_parse, raw)
    with stand_ins(general):
        if via_capi:
            actual = outcome(capi.parse_cookie, raw, 0)
        elif len(raw) % 2:
            actual = outcome(lambda: parse_cookie(raw_value=raw))
        else:
            actual = outcome(parse_cookie, raw)
    if actual[0] == "raise":
        assert issubclass(actual[1], PARSE_ERRORS), actual
        assert_same_outcome(actual, expected, "parse_cookie")
        return None
    cookie = actual[1]
    assert type(cookie) is Cookie
    check_record(cookie, checked=True)
    got = cookie_tuple(cookie)
    assert expected[0] == "ok", (raw, got, expected)
    assert got == expected[1], (raw, got, expected[1])
    assert cookie.expires is None or (type(cookie.expires) is dt.datetime
                                      and cookie.expires.tzinfo is None)
    if r is not None:
        exercise(cookie, r)
    return cookie


CONSTRUCTOR_ERRORS = (TypeError, ValueError, OverflowError, CookieValueExceedsMaximumLength, Boom,
                      DeprecationWarning)


def _arguments(r):
    args = []
    kwargs = {}
    count = r.below(11)
    for i in range(count):
        p = PARAMETERS[i] if i < len(PARAMETERS) else "extra"
        args.append(valid_argument(r, p) if p != "extra" and r.below(3) else make_object(r))
    for _ in range(r.below(4)):
        key = r.pick(PARAMETERS + ("code", "name"))
        kwargs[key] = valid_argument(r, key) if key in PARAMETERS and r.flag() else make_object(r)
    return args, kwargs


def _bound(args, kwargs):
    """The constructor's arguments by parameter, with the defaults."""
    bound = dict(zip(PARAMETERS, args))
    bound.update(kwargs)
    defaults = {"expires": None, "domain": None, "path": None}
    return {**defaults, **bound}


def target_constructor(r):
    """Cookie(...) and __init__ again on a live cookie, with any arguments."""
    args, kwargs = _arguments(r)
    cls = r.pick((Cookie, Cookie, CookieSub, CookieSlots, CookieOverride))
    try:
        cookie = cls(*args, **kwargs)
    except CONSTRUCTOR_ERRORS:
        cookie = None
    if cookie is not None:
        check_record(cookie, checked=True)
        if plain_type(cookie):
            check_initialised(cookie, _bound(args, kwargs))
        exercise(cookie, r)

    cookie = make_cookie(r)
    args, kwargs = _arguments(r)
    before = fields(cookie)
    try:
        cookie.__init__(*args, **kwargs)
    except CONSTRUCTOR_ERRORS:
        after = fields(cookie)
        # Only the value step can fail after the name was stored.
        assert all(a is b for a, b in zip(before[1:5], after[1:5])), "a failed __init__ wrote"
        assert before[5:] == after[5:], "a failed __init__ wrote a number"
        bound = _bound(args, kwargs)
        assert after[0] is before[0] or after[0] is bound.get("name"), after[0]
    else:
        if plain_type(cookie):
            check_initialised(cookie, _bound(args, kwargs))
    check_record(cookie)
    exercise(cookie, r)


def check_initialised(cookie, bound):
    name, value, expires, domain, path, *_ = fields(cookie)
    assert name is bound["name"] and value is bound["value"]
    assert expires is bound["expires"] and domain is bound["domain"] and path is bound["path"]


SETTER_ERRORS = (TypeError, ValueError, OverflowError, AttributeError, NotImplementedError,
                 CookieValueExceedsMaximumLength, Boom, DeprecationWarning)


def target_setters(r):
    """Assignments and deletions of every attribute with any object."""
    cookie = make_cookie(r)
    for _ in range(1 + r.below(8)):
        attribute = r.pick(ATTRIBUTES)
        delete = r.below(5) == 0
        value = None if delete else (valid_argument(r, attribute) if r.flag() else make_object(r))
        before = fields(cookie)
        try:
            if delete:
                delattr(cookie, attribute)
            else:
                setattr(cookie, attribute, value)
        except SETTER_ERRORS:
            assert same_fields(before, fields(cookie)), f"a failed {attribute} setter changed the cookie"
            continue
        if delete:
            assert attribute in DELETABLE, f"{attribute} was deleted"
        if not plain_type(cookie):
            continue
        after = fields(cookie)
        index = ATTRIBUTES.index(attribute)
        if index < 5:
            assert after[index] is (None if delete else value)
        elif index in (5, 6):
            assert after[index] == bool(value)
        elif index == 7:
            number = value if isinstance(value, int) else value.__int__()
            assert after[7] == number
        else:
            assert after[8] == (value if isinstance(value, int) else value.__int__())
        changed = [i for i in range(9) if i != index and not (
            after[i] is before[i] if i < 5 else after[i] == before[i])]
        assert not changed, f"setting {attribute} changed fields {changed}"
    check_record(cookie, checked=True)
    exercise(cookie, r)


STATE_ERRORS = (TypeError, ValueError, OverflowError, IndexError, AttributeError,
                pickle.PickleError, Boom, DeprecationWarning)


def make_state(r):
    kind = r.below(10)
    if kind == 0:
        return r.pick((None, [], "state", (1,) * 9, b"x"))
    items = []
    length = r.pick((9, 9, 9, 10, 10, 8, 0, 11, 3, 12))
    for index in range(length):
        if r.below(4):
            items.append(_valid_state_item(r, index))
        else:
            items.append(make_object(r))
    return tuple(items)


def _valid_state_item(r, index):
    if index in (0, 1, 2, 6):
        return None if r.below(6) == 0 else make_text(r)
    if index == 3:
        return None if r.flag() else make_datetime(r)
    if index in (4, 8):
        return bool(r.flag())
    if index == 5:
        return r.wide_int()
    if index == 7:
        return r.pick(list(CookieSameSiteMode)) if r.flag() else r.wide_int()
    return {make_text(r): make_object(r)} if index == 9 else make_object(r)


def target_state(r):
    """__setstate__ and __pyx_unpickle_Cookie with arbitrary states."""
    state = make_state(r)
    how = r.below(4)
    if how < 2:
        cookie = make_cookie(r)
        before = fields(cookie)
        method = cookie.__setstate__ if how == 0 else cookie.__setstate_cython__
        try:
            method(state)
        except STATE_ERRORS:
            failed = True
        else:
            failed = False
            assert type(state) is tuple and len(state) >= 9
        after = fields(cookie)
        check_state_application(before, after, state, failed)
    else:
        cls = r.pick((Cookie, CookieSub, CookieSlots, CookieOverride, int, CookieError, "Cookie",
                      dt.datetime))
        checksum = r.pick(COOKIE_CHECKSUMS + (1, -1, 2**64, "0x2035a3d", IntLike(0x2035A3D),
                                              IntLike(Boom("checksum")), 2.0e7))
        try:
            cookie = cookies.__pyx_unpickle_Cookie(cls, checksum, state)
        except STATE_ERRORS:
            return
        assert isinstance(cookie, Cookie) and type(cookie) is cls
        if state is not None:
            assert type(state) is tuple
    check_record(cookie)
    exercise(cookie, r)


def check_state_application(before, after, state, failed):
    """Each object field holds its old object or the state's item; on
    success every one holds the item."""
    if type(state) is not tuple:
        assert failed and same_fields(before, after)
        return
    slots = {0: 0, 1: 1, 2: 3, 3: 2, 6: 4}  # state index -> record field
    for index, field in slots.items():
        item = state[index] if index < len(state) else object()
        if failed:
            assert after[field] is before[field] or after[field] is item, (index, after[field])
        else:
            assert after[field] is item, (index, after[field], item)


DATE_ERRORS = (TypeError, ValueError, OverflowError, AttributeError, Boom)


def target_dates(r):
    """Both date functions, against the library, through both entries."""
    general = r.flag()
    via_capi = r.flag()
    if r.flag():
        raw = r.rest() if r.flag() else date_like(r)
        expected = outcome(reference_from_cookie_format, raw)
        with stand_ins(general):
            if via_capi:
                actual = outcome(capi.datetime_from_cookie_format, raw, 0)
            else:
                actual = outcome(lambda: datetime_from_cookie_format(value=raw))
        if actual[0] == "raise":
            assert issubclass(actual[1], DATE_ERRORS), actual
        else:
            assert type(actual[1]) is dt.datetime and actual[1].tzinfo is None
        assert_same_outcome(actual, expected, "datetime_from_cookie_format")
    else:
        value = make_datetime(r) if r.below(5) else make_object(r)
        expected = outcome(reference_to_cookie_format, value)
        with stand_ins(general):
            if via_capi:
                actual = outcome(capi.datetime_to_cookie_format, value, 0)
            elif r.flag():
                actual = outcome(lambda: datetime_to_cookie_format(value=value))
            else:
                actual = outcome(datetime_to_cookie_format, value)
        if actual[0] == "raise":
            assert issubclass(actual[1], DATE_ERRORS), actual
        if isinstance(value, dt.datetime) or actual[0] == "ok":
            assert_same_outcome(actual, expected, "datetime_to_cookie_format")


DAY_NAMES = ("Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun", "wed", "Xyz", "")
MONTH_NAMES = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec",
               "jan", "JAN", "Foo")
ZONES = ("GMT", "+0200", "-0000", "+0000", "UT", "EST", "", "XYZ", "-9959", "+2400")


def date_like(r):
    """Bytes shaped like a cookie date, each field possibly off."""
    separator = r.pick((" ", "-", " ", " "))
    day_name = r.pick(DAY_NAMES)
    head = f"{day_name}, " if day_name and r.below(4) else ""
    day = r.pick(("%02d" % r.below(33), str(r.below(40)), "xx", "0"))
    year = r.pick(("%04d" % r.below(10000), str(r.below(100)), "%05d" % r.below(100000), "19x9"))
    clock = "%02d:%02d:%02d" % (r.below(26), r.below(62), r.below(62)) if r.below(6) else "1:2"
    zone = r.pick(ZONES)
    text = f"{head}{day}{separator}{r.pick(MONTH_NAMES)}{separator}{year} {clock} {zone}".rstrip()
    return text.encode()


JUNK_ERRORS = (TypeError, ValueError, AttributeError, OverflowError, Boom, DeprecationWarning)


def target_c_entries(r):
    """The C-level entries as sibling modules call them, also with arguments
    that no caller should pass, and the interpreted functions with any
    arguments at all."""
    kind = r.below(4)
    if kind == 2:
        junk = make_object(r)
        entry = r.pick((lambda: capi.parse_cookie(junk, 0),
                        lambda: capi.datetime_from_cookie_format(junk, 0),
                        lambda: capi.datetime_to_cookie_format(junk, 0),
                        lambda: capi.write_cookie_for_response(junk)))
        try:
            entry()
        except JUNK_ERRORS:
            pass
        return
    if kind == 3:
        function = r.pick((parse_cookie, datetime_from_cookie_format, datetime_to_cookie_format,
                           cookies.__pyx_unpickle_Cookie, cookies.__pyx_unpickle_CookieError,
                           writer.write_cookie_for_response, Cookie.clone))
        args = [make_object(r) for _ in range(r.below(4))]
        kwargs = {r.pick(("raw_value", "value", "__pyx_type", "__pyx_checksum", "__pyx_state",
                          "cookie", "x")): make_object(r) for _ in range(r.below(3))}
        try:
            function(*args, **kwargs)
        except JUNK_ERRORS + (IndexError, pickle.PickleError, CookieValueExceedsMaximumLength):
            pass
        return
    if kind == 0:
        raw = r.chunk(64)
        separator = r.pick((b"=", b"=", b";", b"", b"==", b"; ", r.chunk(3)))
        if r.below(8) == 0:
            raw, separator = make_object(r), make_object(r)
        result = outcome(capi.split_value, raw, separator)
        if type(raw) is bytes and type(separator) is bytes and len(separator) == 1:
            assert_same_outcome(result, outcome(reference_split, raw, separator), "split_value")
        elif result[0] == "ok":
            assert type(result[1]) is tuple and len(result[1]) == 2
            assert all(type(part) is bytes for part in result[1])
        else:
            assert issubclass(result[1], (TypeError, ValueError)), result
    else:
        raw = r.pick((None, r.chunk(10), b"Strict", b"LAX", b"none", b"", b"lax ", b" lax"))
        if r.below(6) == 0:
            raw = make_object(r)
        result = outcome(capi.same_site_mode_from_bytes, raw)
        if raw is None or type(raw) is bytes:
            assert result == ("ok", reference_same_site(raw)), (raw, result)
        else:
            assert result[0] == "ok" or issubclass(result[1], TypeError), result


ERROR_TYPE_ERRORS = (TypeError, ValueError, AttributeError, pickle.PickleError, Boom,
                     OverflowError, DeprecationWarning)


def target_errors(r):
    """The two exception types: construction, their state operations and
    their pickling."""
    cls = r.pick((CookieError, CookieValueExceedsMaximumLength))
    args = [make_object(r) for _ in range(r.below(3))]
    kwargs = {r.pick(("message", "code")): make_object(r)} if r.below(3) == 0 else {}
    try:
        error = cls(*args, **kwargs)
    except ERROR_TYPE_ERRORS:
        error = cls("m") if cls is CookieError else cls()
    else:
        assert len(error.args) == 1
    state = make_object(r) if r.flag() else tuple(make_object(r) for _ in range(r.below(3)))
    try:
        error.__setstate_cython__(state)
    except ERROR_TYPE_ERRORS:
        pass
    try:
        reduced = error.__reduce_cython__()
        rebuilt = reduced[0](*reduced[1])
        if len(reduced) > 2:
            rebuilt.__setstate_cython__(reduced[2])
        assert type(rebuilt) is cls
    except ERROR_TYPE_ERRORS:
        pass
    rebuild = (cookies.__pyx_unpickle_CookieError if cls is CookieError
               else cookies.__pyx_unpickle_CookieValueExceedsMaximumLength)
    try:
        rebuilt = rebuild(r.pick((cls, CookieError, Cookie, ValueError, "x")),
                          r.pick(ERROR_CHECKSUMS + (0, -5, "x", IntLike(Boom("x")))),
                          r.pick((None, (), ({"a": 1},), ({1: 2}, 3), [], ("not a dict",))))
        assert isinstance(rebuilt, CookieError)
    except ERROR_TYPE_ERRORS:
        pass
    try:
        loaded = pickle.loads(pickle.dumps(error))
        assert type(loaded) is cls and loaded.args == error.args
    except (pickle.PicklingError, TypeError, AttributeError):
        pass


LATE_NAMES = ("quote", "unquote", "parsedate_to_datetime", "CookieSameSiteMode",
              "__pyx_unpickle_Cookie")
LATE_ERRORS = (TypeError, ValueError, AttributeError, NameError, OverflowError, IndexError,
               CookieValueExceedsMaximumLength, Boom, DeprecationWarning, pickle.PickleError)


class JunkCallable:
    def __init__(self, result):
        self.result = result

    def __call__(self, *args):
        return give(self.result)


def target_late_names(r):
    """The module attributes that the codec looks up at each use, rebound to
    odd objects or deleted, while the codec runs."""
    name = r.pick(LATE_NAMES)
    saved = getattr(cookies, name)
    kind = r.below(5)
    try:
        if kind == 0:
            delattr(cookies, name)
        elif kind == 1:
            setattr(cookies, name, JunkCallable(make_object(r)))
        elif kind == 2:
            setattr(cookies, name, JunkCallable(Boom(name)))
        elif kind == 3:
            setattr(cookies, name, make_object(r))
        else:
            setattr(cookies, name, ModeProxy() if name == "CookieSameSiteMode"
                    else JunkCallable(StrSub("text")))
        for _ in range(1 + r.below(4)):
            operation = r.below(6)
            try:
                if operation == 0:
                    cookie = parse_cookie(r.pick((b"a=b", b"a=%41; Expires=Wed, 02 Jan 2030 03:04:05 GMT",
                                                  b"n=v; SameSite=Strict; Max-Age=5", r.chunk(40))))
                    check_record(cookie, checked=True)
                elif operation == 1:
                    writer.write_cookie_for_response(make_cookie(r))
                elif operation == 2:
                    make_cookie(r).same_site
                elif operation == 3:
                    make_cookie(r).clone()
                elif operation == 4:
                    pickle.loads(pickle.dumps(make_cookie(r)))
                else:
                    datetime_from_cookie_format(date_like(r))
            except LATE_ERRORS:
                pass
    finally:
        setattr(cookies, name, saved)


def target_reentrancy(r):
    """A callback site of the module with a hostile action: the operation,
    natively and in the model, on the same sequence (gco_testkit/reentrancy)."""
    from . import reentrancy
    site = r.pick(sorted(reentrancy.SITES))
    action = r.pick(sorted(reentrancy.ACTIONS))
    result = reentrancy.run(site, action)
    assert result["native"] == result["model"], (site, action, result)


BROWSER_URLS = (None, "https://www.example.test/a/b", "http://www.example.co.uk/x",
                "http://127.0.0.1/", "http://localhost:8080/p/", "https://[::1]/")
# A usual now, and nows whose time in UTC falls just outside years 1-9999.
BROWSER_NOWS = (dt.datetime(2026, 12, 9, 3, 4, 5, tzinfo=dt.timezone.utc),
                dt.datetime.min.replace(tzinfo=dt.timezone(dt.timedelta(hours=23, minutes=59))),
                dt.datetime.max.replace(tzinfo=dt.timezone(-dt.timedelta(hours=23, minutes=59))))
BROWSER_FIELDS = ("name", "value", "raw_name", "raw_value", "domain", "host_only", "path",
                  "expires", "secure", "http_only", "same_site", "partitioned", "priority",
                  "expired")


def target_browser(r):
    """read_set_cookie on arbitrary bytes (or Latin-1 text) against the
    reference model, and check() on the same header or on a cookie."""
    from glimmering_copper_otter import browser

    from . import browser_model
    url = r.pick(BROWSER_URLS)
    raw = r.rest() if r.flag() else r.chunk(200)
    if r.flag():
        raw = raw.decode("latin-1")
    now = r.pick(BROWSER_NOWS)  # (after the header: the stored seeds keep their meaning)
    want = browser_model.read_set_cookie(raw, url, now=now)
    got = browser.read_set_cookie(raw, url, now=now)
    picture = [None if c is None else tuple(getattr(c, f) for f in BROWSER_FIELDS)
               for c in (want, got)]
    assert picture[0] == picture[1], (raw, url, picture)
    subject = make_cookie(r) if r.below(4) == 0 else raw
    try:
        findings = browser.check(subject, url, now=now)
    except (Boom, TypeError, ValueError, AttributeError, DeprecationWarning):
        # Only the caller's own code (a hostile subclass or datetime in the
        # cookie) may make it raise; a header never does.
        assert isinstance(subject, Cookie), subject
        return
    assert all(isinstance(line, str) and ": " in line for line in findings), findings


def target_cookie_header(r):
    """The request header read from arbitrary bytes, Latin-1 text, wider text
    or a list of them, and written from arbitrary texts and objects, against
    the reference model."""
    from glimmering_copper_otter import cookie_header

    from . import cookie_header_model
    kind = r.below(4)
    if kind == 0:
        raw = r.rest()
    elif kind == 1:
        raw = r.rest().decode("latin-1")
    elif kind == 2:
        raw = r.text(200)
    else:
        raw = [r.chunk(60) if r.flag() else r.text(60) for _ in range(r.below(4))]
    want = cookie_header_model.parse_cookie_header_pairs(raw)
    assert cookie_header.parse_cookie_header_pairs(raw) == want, raw
    assert cookie_header.parse_cookie_header(raw) == cookie_header_model.parse_cookie_header(raw)
    as_dict = r.flag()
    pairs = [(r.text(12) if as_dict or r.below(8) else make_object(r), r.text(12))
             for _ in range(r.below(5))]
    argument = dict(pairs) if as_dict else pairs
    written = outcome(cookie_header.write_cookie_header, argument)
    assert_same_outcome(written, outcome(cookie_header_model.write_cookie_header, argument),
                        "write_cookie_header")
    if written[0] == "ok" and isinstance(argument, dict) and argument.get("", 1) != "":
        assert cookie_header.parse_cookie_header(written[1]) == argument


URL_PIECES = ("http://", "https://", "ws://", "wss:", "HTTP:\\\\", "ftp://", " ", "\t", "\n",
              "/", "\\", "?", "#", "@", ":", ":80", ":65536", ":0x", ".", "..", "%2e", "%2E%2e",
              "%", "%41", "%zz", "%C3%A9", "%ff", "[", "]", "[::1]", "[1:0::2]", "[::ffff:1.2.3.4]",
              "0x7f", "0177", "127.1", "4294967296", "09", "xn--", "xn--fa-hia", "faß", "ＡＢ",
              "\u3002", "\u05d0", "\u0301", "\u200d", "\u00ad", "*", "^", "|", "\x00", "\x7f",
              "\ud800", "localhost", "example.test", "a", "é", "\U0001f600")


def target_url(r):
    """The url reader on urls made of pieces and raw text: nothing crashes,
    the canonical href reads back as itself, and read_set_cookie accepts
    exactly the http(s) urls that the reader reads."""
    from glimmering_copper_otter import browser
    text = "".join(r.pick(URL_PIECES) if r.below(4) else r.text(12) for _ in range(r.below(16)))
    got = browser._read_url(text)
    if got is not None:
        again = browser._read_url(got["href"])
        assert again == got, (text, got, again)
        assert got["href"].isascii() and got["host"], got
    try:
        browser.read_set_cookie(b"a=b", text, now=BROWSER_NOWS[0])
    except ValueError:
        assert got is None or got["scheme"] in ("ws", "wss"), (text, got)
    else:
        assert got is not None and got["scheme"] in ("http", "https"), (text, got)


def target_mozlz4(r):
    """Firefox's mozLz4 decoder on arbitrary bytes, and on real LZ4 blocks
    with bytes changed: it gives exactly the header's size or raises
    ValueError, and agrees with the lz4 package where that reads the block."""
    from glimmering_copper_otter.browsers import mozlz4
    if r.flag():
        data = r.rest()
    else:
        try:
            import lz4.block
        except ImportError:
            return
        content = r.chunk(64) * (1 + r.below(8))
        data = bytearray(mozlz4.MAGIC + lz4.block.compress(bytes(content)))
        for _ in range(r.below(4)):
            if len(data) > 12:
                data[12 + r.below(len(data) - 12)] = r.byte()
        data = bytes(data)
    try:
        decoded = mozlz4.decode(data, max_size=1 << 16)
    except ValueError:
        decoded = None
    else:
        assert len(decoded) == int.from_bytes(data[8:12], "little")
    try:
        import lz4.block
        reference = lz4.block.decompress(data[8:]) if data[:8] == mozlz4.MAGIC else None
    except (ImportError, ValueError, lz4.block.LZ4BlockError, MemoryError):
        reference = None
    if reference is not None and len(reference) <= 1 << 16:
        assert decoded == reference


TARGETS = (target_parse, target_parse, target_constructor, target_setters, target_state,
           target_dates, target_c_entries, target_errors, target_late_names, target_reentrancy,
           target_browser, target_cookie_header, target_url, target_jar, target_mozlz4)


def one_input(data):
    """Runs the target that the first byte names on the rest of the bytes."""
    r = Reader(data)
    target = TARGETS[r.below(len(TARGETS))]
    with warnings.catch_warnings():
        warnings.simplefilter("error" if r.below(4) == 0 else "ignore")
        target(r)
