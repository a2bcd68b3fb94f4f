# cython: language_level=3
"""A sibling module written in Cython: it cimports the cookies module's
declarations and calls every entry of its C-level interface from compiled
code."""

from cpython.datetime cimport datetime

from glimmering_copper_otter.cookies cimport (
    Cookie,
    CookieSameSiteMode,
    datetime_from_cookie_format,
    datetime_to_cookie_format,
    parse_cookie,
    same_site_mode_from_bytes,
    split_value,
    write_cookie_for_response,
)


def round_trip(bytes raw):
    """parse_cookie, then write_cookie_for_response on the record."""
    cdef Cookie cookie = parse_cookie(raw)
    return write_cookie_for_response(cookie)


def write(Cookie cookie):
    return write_cookie_for_response(cookie)


def split(bytes raw, bytes separator):
    return split_value(raw, separator)


def mode(raw):
    """The mode as a number.  The cast lets any object through, as a careless
    compiled caller might; a failure is raised after the call."""
    cdef CookieSameSiteMode found = same_site_mode_from_bytes(<bytes>raw)
    return <unsigned int>found


def mode_member(bytes raw):
    """The mode converted by Cython to the interpreted class's member."""
    return same_site_mode_from_bytes(raw)


def to_cookie_format(datetime value):
    return datetime_to_cookie_format(value)


def from_cookie_format(bytes value):
    return datetime_from_cookie_format(value)


def fields(Cookie cookie):
    """The nine fields, read in place, the numbers as stored."""
    return (
        cookie._name,
        cookie._value,
        cookie.expires,
        cookie.domain,
        cookie.path,
        <int>cookie.http_only,
        <int>cookie.secure,
        cookie.max_age,
        <unsigned int>cookie.same_site,
    )


def clone(Cookie cookie, bint skip_dispatch):
    """The clone slot of the method table, with the skip-dispatch flag set
    (straight to the copy) or clear (an interpreted override is called)."""
    if skip_dispatch:
        return Cookie.clone(cookie)
    return cookie.clone()


# The writer module's C entry, from writer.pxd.
from glimmering_copper_otter.writer cimport write_set_cookie


def write_set(Cookie cookie, bint partitioned, priority):
    """write_set_cookie; cookie may be None, which the entry refuses."""
    return write_set_cookie(cookie, partitioned, priority)


from glimmering_copper_otter.cookie_header cimport (
    parse_cookie_header,
    parse_cookie_header_pairs,
    write_cookie_header,
)


def header_dict(raw):
    cdef dict result = parse_cookie_header(raw)
    return result


def header_pairs(raw):
    cdef list result = parse_cookie_header_pairs(raw)
    return result


def header_write(cookies):
    cdef bytes result = write_cookie_header(cookies)
    return result
