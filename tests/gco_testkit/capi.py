"""The C-level entries of glimmering_copper_otter.cookies, taken out of
``__pyx_capi__`` by their signature texts and called through ctypes, and the
Cookie record read in place as sibling compiled modules read it."""

import ctypes
import datetime as dt

from glimmering_copper_otter import cookies

SIGNATURES = {
    "parse_cookie": "struct __pyx_obj_23glimmering_copper_otter_7cookies_Cookie *(PyObject *, int __pyx_skip_dispatch)",
    "datetime_to_cookie_format": "PyObject *(PyDateTime_DateTime *, int __pyx_skip_dispatch)",
    "datetime_from_cookie_format": "PyDateTime_DateTime *(PyObject *, int __pyx_skip_dispatch)",
    "write_cookie_for_response": "PyObject *(struct __pyx_obj_23glimmering_copper_otter_7cookies_Cookie *)",
    "split_value": "PyObject *(PyObject *, PyObject *)",
    "same_site_mode_from_bytes": "enum __pyx_t_23glimmering_copper_otter_7cookies_CookieSameSiteMode (PyObject *)",
}

_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]

# Prototypes of the entries; PYFUNCTYPE keeps the interpreter lock held and
# raises the pending exception when an entry reports a failure.
PROTOTYPES = {
    "parse_cookie": ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_int),
    "datetime_to_cookie_format": ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_int),
    "datetime_from_cookie_format": ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_int),
    "write_cookie_for_response": ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object),
    "split_value": ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object),
    "same_site_mode_from_bytes": ctypes.PYFUNCTYPE(ctypes.c_uint32, ctypes.py_object),
}


class CApi:
    """The six entries of __pyx_capi__, taken out by their signature texts."""

    def __init__(self, module=cookies):
        for name, signature in SIGNATURES.items():
            address = _get_pointer(module.__pyx_capi__[name], signature.encode())
            setattr(self, name, PROTOTYPES[name](address))


capi = CApi()


class _Record(ctypes.Structure):
    """The Cookie record as sibling compiled modules read it."""

    _fields_ = [
        ("ob_refcnt", ctypes.c_ssize_t),
        ("ob_type", ctypes.c_void_p),
        ("vtab", ctypes.c_void_p),
        ("name", ctypes.c_void_p),
        ("value", ctypes.c_void_p),
        ("expires", ctypes.c_void_p),
        ("domain", ctypes.c_void_p),
        ("path", ctypes.c_void_p),
        ("http_only", ctypes.c_int),
        ("secure", ctypes.c_int),
        ("max_age", ctypes.c_int64),
        ("same_site", ctypes.c_uint32),
    ]


def _object_at(address):
    assert address, "a Cookie field is NULL"
    return ctypes.cast(address, ctypes.py_object).value


def fields(cookie):
    """The nine stored fields, read in place: objects (new references, so
    that identity comparisons stay valid) and the raw numbers."""
    record = _Record.from_address(id(cookie))
    return (
        _object_at(record.name), _object_at(record.value), _object_at(record.expires),
        _object_at(record.domain), _object_at(record.path),
        record.http_only, record.secure, record.max_age, record.same_site,
    )


def check_record(cookie, *, checked=False):
    """The field types that every path keeps; with checked, also what the
    setters and the constructor guarantee."""
    name, value, expires, domain, path, http_only, secure, _, _ = fields(cookie)
    for text in (name, value, domain, path):
        assert text is None or type(text) is str, type(text)
    assert expires is None or isinstance(expires, dt.datetime), type(expires)
    assert http_only in (0, 1) and secure in (0, 1), (http_only, secure)
    if checked:
        assert name is None or name, "an empty name got past the setter"
        assert value is None or len(value.encode()) <= 4096, "an over-long value got in"


def same_fields(before, after):
    return all(a is b for a, b in zip(before[:5], after[:5])) and before[5:] == after[5:]
