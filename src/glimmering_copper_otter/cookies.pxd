# Cython declarations of glimmering_copper_otter.cookies for sibling compiled
# modules, the counterpart of cookies.h.
#
#     from glimmering_copper_otter.cookies cimport Cookie, parse_cookie
#
# Put the directory that holds the package (the parent of
# glimmering_copper_otter.get_include()) on Cython's include path.  At import
# the client checks Cookie's record size, takes Cookie.__pyx_vtable__, and
# asks __pyx_capi__ for each function that it uses by the signature text that
# Cython derives from these declarations; they are written so that those
# texts and the record are exactly the module's.  Do not change a type here
# without changing the module.

from cpython.datetime cimport datetime

# The SameSite mode: an unsigned 32-bit number in the record and in the
# function table.  A client that turns a mode into a Python object gets the
# member of the module's interpreted class CookieSameSiteMode (an IntFlag),
# which Cython imports from the module at the first such conversion.  The
# class itself is not visible under this name in the client; import it with
# "from glimmering_copper_otter.cookies import CookieSameSiteMode".
cpdef enum CookieSameSiteMode:
    UNDEFINED = 0
    LAX = 1
    STRICT = 2
    NONE = 3

# The record, read in place.  Reading a field here skips the property.
# Assigning one writes the field directly, past the setters' checks (only
# Cython's own type check remains); to have them run, assign through a
# Python object, as in (<object>cookie).value = text.
cdef class Cookie:
    cdef str _name               # the name property; None in a bare allocation
    cdef str _value              # the value property
    cdef public datetime expires
    cdef public str domain
    cdef public str path
    cdef public bint http_only
    cdef public bint secure
    cdef public long long max_age  # negative: no Max-Age
    cdef public CookieSameSiteMode same_site

    # The one slot of the method table.  cookie.clone() calls an override in
    # an interpreted subclass; Cookie.clone(cookie) goes straight to the copy.
    cpdef Cookie clone(self)

# The six entries of __pyx_capi__.  Each returns a new reference or raises;
# same_site_mode_from_bytes reports a failure as 0 with an exception set,
# which Cython detects after every call.
cpdef Cookie parse_cookie(bytes raw_value)
cpdef bytes datetime_to_cookie_format(datetime value)
cpdef datetime datetime_from_cookie_format(bytes value)
cdef bytes write_cookie_for_response(Cookie cookie)
cdef tuple split_value(bytes raw_value, bytes separator)
cdef CookieSameSiteMode same_site_mode_from_bytes(bytes raw_value)
