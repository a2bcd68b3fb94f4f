"""Hostile objects that tests and the fuzz harness hand to the module: their
truth tests, __int__, encode, strftime, time zones, overridden attributes
and clone misbehave on demand."""

import datetime as dt

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
