# Cython declarations of glimmering_copper_otter.writer for sibling compiled
# modules, the counterpart of writer.h.
#
#     from glimmering_copper_otter.writer cimport write_set_cookie
#
# Put the directory that holds the package on Cython's include path, as for
# cookies.pxd.  At import the client asks the writer's __pyx_capi__ for the
# function by the signature text that Cython derives from this declaration,
# "PyObject *(struct __pyx_obj_23glimmering_copper_otter_7cookies_Cookie *,
# int, PyObject *)"; do not change a type here without changing the module.

from glimmering_copper_otter.cookies cimport Cookie

# The cookie as the bytes of one Set-Cookie header value, as
# write_cookie_for_response writes it, with Partitioned (and the Secure it
# needs) when partitioned is true and Priority=Low, Medium or High for a
# priority of "low", "medium" or "high" in any letter case; priority None adds
# nothing.  Raises TypeError for a cookie that is None or a priority that is
# not a str or None, ValueError for another priority text.
cdef bytes write_set_cookie(Cookie cookie, bint partitioned, object priority)
