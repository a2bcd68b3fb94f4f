// A range of bytes inside an object that someone else keeps alive (the
// input bytes of a parse, usually), and the ASCII comparisons made on such
// ranges.
#pragma once

#include <Python.h>

#include <cstring>

namespace gco {

// Bytes equal to a lower-case ASCII word once their ASCII letters are lowered,
// as bytes.lower() would lower them.
inline bool equals_lowered(const char* data, Py_ssize_t size, const char* word,
                           Py_ssize_t word_size) noexcept {
  if (size != word_size) return false;
  for (Py_ssize_t i = 0; i < size; i++) {
    char c = data[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

struct Span {
  const char* data = nullptr;
  Py_ssize_t size = 0;

  bool empty() const noexcept { return size == 0; }
  const char* end() const noexcept { return data + size; }
  const char* find(char c) const noexcept {
    return size ? static_cast<const char*>(std::memchr(data, c, static_cast<size_t>(size)))
                : nullptr;
  }
  // Equal to a lower-case word after ASCII lower-casing.
  template <size_t N>
  bool is(const char (&word)[N]) const noexcept {
    return equals_lowered(data, size, word, static_cast<Py_ssize_t>(N - 1));
  }
  PyObject* to_bytes() const noexcept { return PyBytes_FromStringAndSize(data, size); }
};

}  // namespace gco
