// Rows: a stored cookie as the jar hands it to its stores and formats, and
// takes it back.  This is the one definition of what a stored cookie is:
// the stores, JSON, cookies.txt and the client adapters all read and write
// rows, and every row they hand the jar goes through read_row.
//
// A row is a tuple of 18 items of exact builtin types, in the order of
// kRowFields: raw name and value (bytes), domain (str), host-only, path
// (bytes), expiry (int microseconds since 1970-01-01 UTC, None for a session
// cookie), creation and last-access times, Secure, HttpOnly, SameSite (0-3),
// Partitioned, partition key (str), priority (-1 unset, 0 low, 1 medium,
// 2 high), source scheme (0 unset, 1 non-secure, 2 secure), source port
// (-1 unknown), persistent, and the partition key's cross-site-ancestor bit.
// The key of a row, what replaces what, is the fields of kKeyFields.
//
// read_row accepts exactly the cookies a jar can hold: every cookie that
// set_cookie stores (a path from a url's directory may hold ";" and be of
// any length, a host may be of any length), and nothing that Chromium would
// not load from its own store (a name with "=", a broken prefix, a domain
// that is not a canonical host, Partitioned without Secure).
//
// Everything here holds the interpreter.
#pragma once

#include <Python.h>

#include "cookie.hpp"

namespace gco::jar {

enum RowField : int {
  kRowName,
  kRowValue,
  kRowDomain,
  kRowHostOnly,
  kRowPath,
  kRowExpires,
  kRowCreation,
  kRowLastAccess,
  kRowSecure,
  kRowHttpOnly,
  kRowSameSite,
  kRowPartitioned,
  kRowPartitionKey,
  kRowPriority,
  kRowSourceScheme,
  kRowSourcePort,
  kRowPersistent,
  kRowCrossSiteAncestor,
  kRowFieldCount
};

extern const char* const kRowFields[kRowFieldCount];
// The fields of a key, in its order: what a cookie replaces (storage.cpp's
// same_key compares the same fields).
inline constexpr int kKeyFieldCount = 7;
extern const RowField kKeyFields[kKeyFieldCount];

// A new row for the cookie, or nullptr with an exception set.
PyObject* row_of(const Cookie& c) noexcept;

// A new key for the cookie, or nullptr with an exception set.
PyObject* key_of(const Cookie& c) noexcept;

enum class RowRead { kOk, kRefused, kError };

// Reads a row into fields, whose texts borrow the row's bytes and str
// objects (the row must outlive fields).  kRefused with *reason a new str,
// "<code word>: <why>" (browser.check's code words, or Unreadable for a
// row that is not one); kError with an exception set when the interpreter
// itself fails.  No item runs code: every item must be of an exact builtin
// type.
RowRead read_row(PyObject* row, CookieFields& fields, PyObject** reason) noexcept;

// The contract's part that depends on a jar's reading of sites: a row a jar
// loads (not one its store gives back, which it may have set under another
// reading) is refused for a domain cookie of a public suffix, which
// set_cookie refuses too.  kRefused with *reason a new str, as read_row.
RowRead check_site(const CookieFields& fields, bool use_list, PyObject** reason) noexcept;

// Reads a key (the 7 items of kKeyFields, of a row's types) into the key
// fields of fields; as read_row.
RowRead read_key(PyObject* key, CookieFields& fields, PyObject** reason) noexcept;

// ROW_FIELDS and KEY_FIELDS, the field names in order, as module
// attributes.  False with an exception set.
bool add_row_names(PyObject* module) noexcept;

// check_rows(rows): the body of the module function (see module.cpp).
PyObject* check_rows(PyObject* self, PyObject* const* args) noexcept;

// rows_of_columns(records): rows from records of a row's columns, as a
// store keeps them: the fields but persistent (whether expires is None), a
// flag as the number 0 or 1.  Nothing is checked (read_row does that): an
// item that is not what its field holds stays as it is.
PyObject* rows_of_columns(PyObject* self, PyObject* const* args) noexcept;

}  // namespace gco::jar
