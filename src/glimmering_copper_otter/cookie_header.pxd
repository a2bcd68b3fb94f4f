# Cython declarations of glimmering_copper_otter.cookie_header for sibling
# compiled modules, the counterpart of cookie_header.h.
#
#     from glimmering_copper_otter.cookie_header cimport parse_cookie_header
#
# Put the directory that holds the package (the parent of
# glimmering_copper_otter.get_include()) on Cython's include path.  At import
# the client asks __pyx_capi__ for each function that it uses by the
# signature text that Cython derives from these declarations,
# "PyObject *(PyObject *)" for all three.  Each returns a new reference or
# raises; each checks its argument's type as the interpreted function does.

cdef dict parse_cookie_header(object raw)
cdef list parse_cookie_header_pairs(object raw)
cdef bytes write_cookie_header(object cookies)
