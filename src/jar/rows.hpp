// Rows: how a jar hands its cookies to the interpreted helpers (the file
// store, cookies.txt, JSON; glimmering_copper_otter/_rows.py names the
// fields) and takes them back.  A row is a tuple of 18 items of exact
// builtin types: raw name and value (bytes), domain (str), host-only,
// path (bytes), expiry (int microseconds, None for a session cookie),
// creation and last-access times, Secure, HttpOnly, SameSite (0-3),
// Partitioned, partition key (str), priority (-1 unset, 0 low, 1 medium,
// 2 high), source scheme (0 unset, 1 non-secure, 2 secure), source port
// (-1 unknown), persistent, and the partition key's cross-site-ancestor bit.
// Everything here holds the interpreter.
#pragma once

#include <Python.h>

#include "cookie.hpp"

namespace gco::jar {

// A new row for the cookie, or nullptr with an exception set.
PyObject* row_of(const Cookie& c) noexcept;

// A new key for the cookie: (raw_name, domain, host_only, path,
// partitioned, partition_key, cross_site_ancestor), what replaces what.
PyObject* key_of(const Cookie& c) noexcept;

// Reads row number index into fields, whose texts borrow the row's bytes
// and str objects (the row must outlive fields).  False with TypeError or
// ValueError set, naming the row and the field.  Nothing of the row's
// items runs code: every item must be of an exact builtin type.
bool read_row(PyObject* row, Py_ssize_t index, CookieFields& fields) noexcept;

}  // namespace gco::jar
