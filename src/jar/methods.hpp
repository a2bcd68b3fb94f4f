// The bodies of the jar's methods (methods.cpp), bound by the function
// table in module.cpp.
#pragma once

#include <Python.h>

namespace gco::jar {

PyObject* set_cookie(PyObject* self, PyObject* const* args) noexcept;
PyObject* set_cookies(PyObject* self, PyObject* const* args) noexcept;
PyObject* apply_settings(PyObject* self, PyObject* const* args) noexcept;
PyObject* value_refusal(PyObject* module, PyObject* const* args) noexcept;
PyObject* cookie_header_method(PyObject* self, PyObject* const* args) noexcept;
PyObject* cookies_method(PyObject* self, PyObject* const* args) noexcept;
PyObject* get_method(PyObject* self, PyObject* const* args) noexcept;
PyObject* clear_method(PyObject* self, PyObject* const* args) noexcept;
PyObject* clear_session_cookies(PyObject* self, PyObject* const* args) noexcept;
PyObject* clear_expired(PyObject* self, PyObject* const* args) noexcept;
PyObject* remove_method(PyObject* self, PyObject* const* args) noexcept;
PyObject* rows_method(PyObject* self, PyObject* const* args) noexcept;
PyObject* load_rows_method(PyObject* self, PyObject* const* args) noexcept;
PyObject* close_method(PyObject* self, PyObject* const* args) noexcept;

Py_ssize_t jar_length(PyObject* self) noexcept;
int jar_contains(PyObject* self, PyObject* item) noexcept;
PyObject* jar_iter(PyObject* self) noexcept;
PyObject* jar_repr(PyObject* self) noexcept;

}  // namespace gco::jar
