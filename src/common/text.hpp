// Text: reading UTF-8, and the text rule by which names, values and paths
// (bytes as received) are read as text: UTF-8, a byte outside a valid
// sequence standing for its Latin-1 character.
#pragma once

#include <Python.h>

#include <cstdint>

namespace gco::text {

// The length (1 to 4) of the valid UTF-8 sequence at p, as Python's decoder
// accepts it (no overlong forms, no surrogates, nothing past U+10FFFF), with
// its code point in *code; 0 for none.
inline int utf8_sequence(const unsigned char* p, const unsigned char* end,
                         uint32_t* code) noexcept {
  const unsigned char c = p[0];
  auto cont = [&](int i) { return end - p > i && (p[i] & 0xC0) == 0x80; };
  if (c < 0x80) {
    *code = c;
    return 1;
  }
  if (c >= 0xC2 && c <= 0xDF) {
    if (!cont(1)) return 0;
    *code = ((c & 0x1Fu) << 6) | (p[1] & 0x3Fu);
    return 2;
  }
  if (c >= 0xE0 && c <= 0xEF) {
    if (!cont(1) || !cont(2) || (c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] > 0x9F)) {
      return 0;
    }
    *code = ((c & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3) || (c == 0xF0 && p[1] < 0x90) ||
        (c == 0xF4 && p[1] > 0x8F)) {
      return 0;
    }
    *code = ((c & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
    return 4;
  }
  return 0;
}

// The next code point of the text rule at p, which advances past it.
inline uint32_t next_code(const unsigned char*& p, const unsigned char* end) noexcept {
  uint32_t code;
  const int length = utf8_sequence(p, end, &code);
  if (length == 0) return *p++;  // a byte outside a valid sequence: its Latin-1 character
  p += length;
  return code;
}

// The text of bytes by the text rule.  A new str, or nullptr with an
// exception set.
PyObject* decode_text(const char* data, Py_ssize_t size) noexcept;

}  // namespace gco::text
