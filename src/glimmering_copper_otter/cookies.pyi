# Types of glimmering_copper_otter.cookies as interpreted code sees it.
# Checked against the built module by mypy.stubtest in the test suite.  The
# docstrings are for editors and type checkers; the compiled module itself
# carries none.

import enum
from datetime import datetime
from email.utils import parsedate_to_datetime as parsedate_to_datetime
import sys
if sys.version_info >= (3, 13):
    from types import CapsuleType
else:
    from typing_extensions import CapsuleType
from typing import Any, ClassVar, SupportsInt
from urllib.parse import quote as quote
from urllib.parse import unquote as unquote

from typing_extensions import disjoint_base

__pyx_capi__: dict[str, CapsuleType]
__test__: dict[Any, Any]

class CookieSameSiteMode(enum.IntFlag):
    """The SameSite attribute of a cookie: UNDEFINED (none written), LAX,
    STRICT or NONE.  The writer adds Secure for STRICT and NONE."""

    UNDEFINED = 0
    LAX = 1
    STRICT = 2
    NONE = 3

class CookieError(Exception):
    """The base of the module's own errors."""

    def __init__(self, message: str | None) -> None: ...
    def __reduce_cython__(self) -> tuple[Any, ...]: ...
    def __setstate_cython__(self, __pyx_state: tuple[Any, ...] | None) -> None: ...

class CookieValueExceedsMaximumLength(CookieError):
    """A value longer than 4096 bytes once encoded as UTF-8."""

    def __init__(self) -> None: ...

# A record with fields of its own: it cannot share a subclass with another
# such type.
@disjoint_base
class Cookie:
    """One HTTP cookie as a checked record.

    Every assignment is validated: name, value, domain and path are exactly
    str (value and the attributes may be None), expires a datetime (naive:
    read as UTC) or None, max_age an integer (negative: no Max-Age),
    same_site a CookieSameSiteMode number; the flags keep the truth value of
    what is assigned.  A name is required, and a value may not exceed 4096
    UTF-8 bytes (CookieValueExceedsMaximumLength).  Cookies compare equal by
    name and value, and equal to the str or bytes of their own value; they
    are unhashable, and pickle and copy in a stored format that stays
    loadable.

        Cookie("sid", "a b", path="/", http_only=True, max_age=3600)
    """

    def __init__(
        self,
        name: str,
        value: str | None,
        expires: datetime | None = None,
        domain: str | None = None,
        path: str | None = None,
        http_only: object = False,
        secure: object = False,
        max_age: SupportsInt = -1,
        same_site: SupportsInt = ...,
    ) -> None: ...
    # None only in a bare allocation (Cookie.__new__ without the constructor).
    @property
    def name(self) -> str: ...
    @name.setter
    def name(self, value: str) -> None: ...
    @property
    def value(self) -> str | None: ...
    @value.setter
    def value(self, value: str | None) -> None: ...
    @property
    def expires(self) -> datetime | None: ...
    @expires.setter
    def expires(self, value: datetime | None) -> None: ...
    @expires.deleter
    def expires(self) -> None: ...
    @property
    def domain(self) -> str | None: ...
    @domain.setter
    def domain(self, value: str | None) -> None: ...
    @domain.deleter
    def domain(self) -> None: ...
    @property
    def path(self) -> str | None: ...
    @path.setter
    def path(self, value: str | None) -> None: ...
    @path.deleter
    def path(self) -> None: ...
    # The flags store the truth value of whatever is assigned.
    @property
    def http_only(self) -> bool: ...
    @http_only.setter
    def http_only(self, value: object) -> None: ...
    @property
    def secure(self) -> bool: ...
    @secure.setter
    def secure(self, value: object) -> None: ...
    @property
    def max_age(self) -> int: ...
    @max_age.setter
    def max_age(self, value: SupportsInt) -> None: ...
    @property
    def same_site(self) -> CookieSameSiteMode: ...
    @same_site.setter
    def same_site(self, value: SupportsInt) -> None: ...
    def clone(self) -> Cookie:
        """A new Cookie with the same fields."""
    # Equal to another cookie with the same name and value, and to the str or
    # bytes of its own value; cookies are unhashable.
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...] | None, /) -> None: ...
    def __reduce_cython__(self) -> tuple[Any, ...]: ...
    def __setstate_cython__(self, __pyx_state: tuple[Any, ...] | None) -> None: ...

def datetime_to_cookie_format(value: datetime) -> bytes:
    """The Expires form of a date, such as b'Wed, 02 Jan 2030 03:04:05 GMT'
    (an aware datetime is written in UTC; microseconds are dropped)."""

def datetime_from_cookie_format(value: bytes) -> datetime:
    """The naive UTC datetime of an Expires date; ValueError when the bytes
    are not a date."""

def parse_cookie(raw_value: bytes) -> Cookie:
    """The Cookie of one Set-Cookie header value (exactly bytes).

    The name and value are percent-decoded; Expires, Max-Age, Domain, Path,
    HttpOnly, Secure and SameSite are read, other attributes ignored.
    ValueError for a header whose first part has no "=" or a Max-Age that is
    not a whole number, UnicodeDecodeError for text that is not UTF-8.

        >>> parse_cookie(b"sid=a%20b; Path=/; Secure").value
        'a b'
    """

# Rebuild an instance when unpickling: the type, a layout checksum and the
# state that __setstate__ applies.
def __pyx_unpickle_CookieError(
    __pyx_type: type[CookieError], __pyx_checksum: SupportsInt, __pyx_state: tuple[Any, ...] | None
) -> CookieError: ...
def __pyx_unpickle_CookieValueExceedsMaximumLength(
    __pyx_type: type[CookieValueExceedsMaximumLength],
    __pyx_checksum: SupportsInt,
    __pyx_state: tuple[Any, ...] | None,
) -> CookieValueExceedsMaximumLength: ...
def __pyx_unpickle_Cookie(
    __pyx_type: type[Cookie], __pyx_checksum: SupportsInt, __pyx_state: tuple[Any, ...] | None
) -> Cookie: ...
