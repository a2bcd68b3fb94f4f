// Percent-encoding and -decoding done natively, byte for byte as
// urllib.parse.quote and urllib.parse.unquote do with their defaults.
#include "percent.hpp"

#include <cstdint>
#include <cstring>

namespace gco {

namespace {

// Bytes that quote() leaves as they are: ASCII letters, digits, "_.-~" and
// the default safe character "/".
constexpr bool is_unreserved(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '.' || c == '-' || c == '~' || c == '/';
}

constexpr char kHexUpper[] = "0123456789ABCDEF";

char* encode_byte(char* out, unsigned char c) {
  if (is_unreserved(c)) {
    *out++ = static_cast<char>(c);
  } else {
    *out++ = '%';
    *out++ = kHexUpper[c >> 4];
    *out++ = kHexUpper[c & 0xF];
  }
  return out;
}

}  // namespace

int quote_into(ByteBuffer& out, PyObject* text) noexcept {
  if (!PyUnicode_CheckExact(text)) return 0;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  if (PyUnicode_IS_ASCII(text)) {
    const auto* data = static_cast<const unsigned char*>(PyUnicode_DATA(text));
    char* p = out.claim(length * 3);
    if (p == nullptr) return -1;
    char* start = p;
    for (Py_ssize_t i = 0; i < length; i++) p = encode_byte(p, data[i]);
    out.commit(p - start);
    return 1;
  }
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  // A lone surrogate cannot be encoded; quote() itself reports that.
  for (Py_ssize_t i = 0; i < length; i++) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c >= 0xD800 && c <= 0xDFFF) return 0;
  }
  char* p = out.claim(length * 12);
  if (p == nullptr) return -1;
  char* start = p;
  for (Py_ssize_t i = 0; i < length; i++) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    unsigned char utf8[4];
    int n;
    if (c < 0x80) {
      utf8[0] = static_cast<unsigned char>(c);
      n = 1;
    } else if (c < 0x800) {
      utf8[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
      utf8[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
      n = 2;
    } else if (c < 0x10000) {
      utf8[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
      utf8[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      utf8[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
      n = 3;
    } else {
      utf8[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
      utf8[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
      utf8[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      utf8[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
      n = 4;
    }
    for (int k = 0; k < n; k++) p = encode_byte(p, utf8[k]);
  }
  out.commit(p - start);
  return 1;
}

bool quote_utf8_into(ByteBuffer& out, const char* data, Py_ssize_t size) noexcept {
  if (size > PY_SSIZE_T_MAX / 3) {
    PyErr_NoMemory();
    return false;
  }
  char* p = out.claim(size * 3);
  if (p == nullptr) return false;
  char* start = p;
  for (Py_ssize_t i = 0; i < size; i++) p = encode_byte(p, static_cast<unsigned char>(data[i]));
  out.commit(p - start);
  return true;
}

PyObject* ascii_text(const char* data, Py_ssize_t length) noexcept {
  // The interpreter's own decoder shares its one-character singletons.
  if (length <= 1) return PyUnicode_DecodeASCII(data, length, "strict");
  PyObject* text = PyUnicode_New(length, 127);
  if (text != nullptr) std::memcpy(PyUnicode_DATA(text), data, static_cast<size_t>(length));
  return text;
}

PyObject* unquote_ascii(const char* data, Py_ssize_t length) noexcept {
  const char* end = data + length;
  const char* percent =
      static_cast<const char*>(std::memchr(data, '%', static_cast<size_t>(length)));
  if (percent == nullptr) return ascii_text(data, length);
  ByteBuffer decoded;
  char* const out = decoded.claim(length);
  if (out == nullptr) return nullptr;
  char* o = out;
  const char* p = data;
  bool high_bytes = false;
  while (percent != nullptr) {
    std::memcpy(o, p, static_cast<size_t>(percent - p));
    o += percent - p;
    int high = percent + 2 < end ? kHexValues[static_cast<unsigned char>(percent[1])] : -1;
    int low = high >= 0 ? kHexValues[static_cast<unsigned char>(percent[2])] : -1;
    if (low >= 0) {
      const int byte = (high << 4) | low;
      high_bytes = high_bytes || byte >= 0x80;
      *o++ = static_cast<char>(byte);
      p = percent + 3;
    } else {
      *o++ = '%';
      p = percent + 1;
    }
    percent = static_cast<const char*>(std::memchr(p, '%', static_cast<size_t>(end - p)));
  }
  std::memcpy(o, p, static_cast<size_t>(end - p));
  o += end - p;
  decoded.commit(o - out);
  if (!high_bytes) return ascii_text(decoded.data(), decoded.size());
  // Invalid UTF-8 after decoding becomes U+FFFD, as unquote's default asks.
  return PyUnicode_DecodeUTF8(decoded.data(), decoded.size(), "replace");
}

bool is_ascii(const char* data, Py_ssize_t length) noexcept {
  Py_ssize_t i = 0;
  for (; i + 8 <= length; i += 8) {
    uint64_t word;
    std::memcpy(&word, data + i, 8);
    if (word & 0x8080808080808080ULL) return false;
  }
  for (; i < length; i++) {
    if (static_cast<unsigned char>(data[i]) >= 0x80) return false;
  }
  return true;
}

}  // namespace gco
