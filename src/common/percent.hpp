// Native stand-ins for quote() and unquote() with their defaults.
#pragma once

#include <Python.h>

#include "buffer.hpp"

namespace gco {

// The value of a hexadecimal digit of either case, -1 for any other byte.
inline constexpr struct HexValues {
  signed char values[256];
  constexpr int operator[](unsigned char c) const { return values[c]; }
  constexpr int operator[](char c) const { return values[static_cast<unsigned char>(c)]; }
} kHexValues = [] {
  HexValues table{};
  for (int c = 0; c < 256; c++) {
    table.values[c] = static_cast<signed char>(c >= '0' && c <= '9'   ? c - '0'
                                               : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                                      : -1);
  }
  return table;
}();

// Appends quote(text) for an exact str: 1 done, 0 not handled (call quote
// itself), -1 error set.
int quote_into(ByteBuffer& out, PyObject* text) noexcept;

// Appends quote() of text given as its UTF-8 bytes; false with MemoryError
// set.
bool quote_utf8_into(ByteBuffer& out, const char* data, Py_ssize_t size) noexcept;

// unquote() of the text made of these ASCII bytes.
PyObject* unquote_ascii(const char* data, Py_ssize_t length) noexcept;

bool is_ascii(const char* data, Py_ssize_t length) noexcept;

// A str of bytes known to be ASCII.
PyObject* ascii_text(const char* data, Py_ssize_t length) noexcept;

}  // namespace gco
