// What the subsystems of the module offer one another and the module frame.
#pragma once

#include <Python.h>

#include "compat.hpp"
#include "cookies.h"
#include "frame.hpp"
#include "function.hpp"

namespace gco {

// What exec takes from the builtins and the datetime module, for the life of
// the process.
struct Imported {
  PyObject* builtin_super = nullptr;
  PyObject* builtin_value_error = nullptr;
  PyObject* builtin_not_implemented = nullptr;
  PyTypeObject* type_type = nullptr;
  PyTypeObject* date_type = nullptr;
  PyTypeObject* time_type = nullptr;
  PyTypeObject* datetime_type = nullptr;
  PyTypeObject* timedelta_type = nullptr;
  PyTypeObject* tzinfo_type = nullptr;
};

extern Imported imported;

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
PyObject* cookie_from_parts(PyObject* name, PyObject* value, PyObject* expires, PyObject* domain,
                            PyObject* path, int http_only, int secure, long long max_age,
                            uint32_t same_site) noexcept;

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

// --- Pickling ---------------------------------------------------------------

// Each type's step: __reduce__ and __setstate__, right after it is readied.
bool install_pickling(PyTypeObject* type) noexcept;
// <Type>.__reduce_cython__ and <Type>.__setstate_cython__, later in exec.
bool bind_pickling_methods(PyTypeObject* type) noexcept;
// __pyx_unpickle_CookieError, ..._CookieValueExceedsMaximumLength, ..._Cookie.
bool bind_rebuild_functions(PyObject* module) noexcept;

// --- Bodies of function objects whose rows are in module.cpp -----------------

PyObject* py_datetime_to_cookie_format(PyObject* self, PyObject* const* args);
PyObject* py_datetime_from_cookie_format(PyObject* self, PyObject* const* args);
PyObject* py_cookie_clone(PyObject* self, PyObject* const* args);
PyObject* py_parse_cookie(PyObject* self, PyObject* const* args);

}  // namespace gco
