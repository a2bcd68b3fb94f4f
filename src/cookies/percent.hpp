// Native stand-ins for the library functions that the codec calls, and the
// late binding that decides when they may stand in.
#pragma once

#include <Python.h>

#include "buffer.hpp"

namespace gco {

enum class LibraryFunction { kQuote = 0, kUnquote = 1, kParsedateToDatetime = 2 };

// The object bound to the function's name now (module namespace, then the
// builtins) as a new reference, or nullptr with NameError.  *original tells
// whether it is the very object bound at import, the only case in which a
// native stand-in may replace the call.
PyObject* lookup_library_function(LibraryFunction which, bool* original) noexcept;

// Appends quote(text) for an exact str: 1 done, 0 not handled (call quote
// itself), -1 error set.
int quote_into(ByteBuffer& out, PyObject* text) noexcept;

// unquote() of the text made of these ASCII bytes.
PyObject* unquote_ascii(const char* data, Py_ssize_t length) noexcept;

bool is_ascii(const char* data, Py_ssize_t length) noexcept;

}  // namespace gco
