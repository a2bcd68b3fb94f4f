// Native stand-ins for quote() and unquote() with their defaults.
#pragma once

#include <Python.h>

#include "buffer.hpp"

namespace gco {

// Appends quote(text) for an exact str: 1 done, 0 not handled (call quote
// itself), -1 error set.
int quote_into(ByteBuffer& out, PyObject* text) noexcept;

// unquote() of the text made of these ASCII bytes.
PyObject* unquote_ascii(const char* data, Py_ssize_t length) noexcept;

bool is_ascii(const char* data, Py_ssize_t length) noexcept;

// A str of bytes known to be ASCII.
PyObject* ascii_text(const char* data, Py_ssize_t length) noexcept;

}  // namespace gco
