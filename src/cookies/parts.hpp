// What the subsystems of the module offer one another and the module frame.
#pragma once

#include <Python.h>

#include "cookies.h"
#include "frame.hpp"

namespace gco {

// --- Cookie model ----------------------------------------------------------

extern PyTypeObject CookieType;
extern PyTypeObject CookieErrorType;
extern PyTypeObject CookieValueExceedsMaximumLengthType;
extern GcoCookieVTable cookie_vtable;

inline GcoCookie* as_cookie(PyObject* obj) { return reinterpret_cast<GcoCookie*>(obj); }
inline bool is_cookie(PyObject* obj) { return PyObject_TypeCheck(obj, &CookieType); }

// The compiled-level clone (the one slot of the method table).
PyObject* cookie_clone(GcoCookie* self, int skip_dispatch) noexcept;
// Rule V of the value setter, shared with the native cookie builder.
bool cookie_value_fits(PyObject* value) noexcept;
// A Cookie built from the parser's ready values, exactly as calling the type
// with these nine positional arguments would build it.
PyObject* cookie_from_parts(PyObject* name, PyObject* value, PyObject* expires,
                            PyObject* domain, PyObject* path, int http_only, int secure,
                            long long max_age, uint32_t same_site) noexcept;

// Interpreted bodies bound at exec.
PyObject* cookie_clone_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);

// SameSite mode.
inline constexpr uint32_t kSameSiteUndefined = 0;
inline constexpr uint32_t kSameSiteLax = 1;
inline constexpr uint32_t kSameSiteStrict = 2;
inline constexpr uint32_t kSameSiteNone = 3;
inline constexpr uint32_t kSameSiteError = 0xFFFFFFFFu;

// Integer to mode; false with an exception set.
bool same_site_from_object(PyObject* value, uint32_t* out) noexcept;
// Number to member: a new reference, or nullptr with an exception set.
PyObject* same_site_to_member(uint32_t mode) noexcept;
uint32_t same_site_mode_from_bytes(PyObject* raw_value) noexcept;
// The same for the bytes of a SameSite value in place.
uint32_t same_site_mode_from_span(const char* data, Py_ssize_t size) noexcept;
bool same_site_make_class(PyObject* module) noexcept;

// Readies, binds and installs pickling for the two error types (exec).
bool errors_ready(PyObject* module) noexcept;
bool errors_add_pickling_functions() noexcept;

// --- Set-Cookie codec -------------------------------------------------------

PyObject* datetime_to_cookie_format(PyObject* value, int skip_dispatch) noexcept;
// For a naive datetime of the exact type, writes what datetime_to_cookie_format
// gives into out (room for kCookieDateMaxSize bytes) and returns the end;
// nullptr, without an exception, for any other value.
inline constexpr Py_ssize_t kCookieDateMaxSize = 40;
char* write_naive_cookie_date(char* out, PyObject* value) noexcept;
PyObject* datetime_from_cookie_format(PyObject* value, int skip_dispatch) noexcept;
// datetime_from_cookie_format of these bytes, without a bytes object for the
// common date form.
PyObject* datetime_from_cookie_bytes(const char* data, Py_ssize_t size) noexcept;
PyObject* parse_cookie(PyObject* raw_value, int skip_dispatch) noexcept;
PyObject* split_value(PyObject* raw_value, PyObject* separator) noexcept;
PyObject* write_cookie_for_response(GcoCookie* cookie) noexcept;

// Instance sizes of the datetime types as this module was compiled against.
struct DatetimeStructSizes {
  size_t date, time, datetime, timedelta, tzinfo;
};
extern const DatetimeStructSizes datetime_struct_sizes;

// Captures what the date functions need from the datetime module (exec).
bool dates_ready() noexcept;

PyObject* py_datetime_to_cookie_format(PyObject* self, PyObject* const* args,
                                       Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_datetime_from_cookie_format(PyObject* self, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_parse_cookie(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

// --- Pickling ---------------------------------------------------------------

bool install_pickling(PyTypeObject* type) noexcept;
bool cookie_add_pickling_functions() noexcept;
bool add_unpickle_functions(PyObject* module) noexcept;

}  // namespace gco
