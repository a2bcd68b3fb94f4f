// glimmering_copper_otter.cookie_header: the Cookie request header, read
// into names and values and written from them.
//
// The first part of the file is the algorithm, plain functions over byte
// spans: splitting the header into pairs, removing quotes and their
// backslash escapes, reading bytes as text (UTF-8, any byte outside a valid
// sequence standing for its Latin-1 character), percent-decoding as
// urllib.parse.unquote does, and percent-encoding as urllib.parse.quote
// does.  Every step is one pass over its input.  The binding to interpreted
// and compiled callers comes last.
#include <Python.h>

#include <cstdint>
#include <cstring>

#include "buffer.hpp"
#include "cookie_header.h"
#include "percent.hpp"
#include "ref.hpp"

namespace gco {

namespace {

// ---------------------------------------------------------------------------
// Byte spans.

struct Span {
  const char* data;
  Py_ssize_t size;
};

inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The span without the spaces and tabs around it.
inline Span trim(Span s) {
  const char* first = s.data;
  const char* last = s.data + s.size;
  while (first < last && is_blank(*first)) first++;
  while (last > first && is_blank(last[-1])) last--;
  return {first, last - first};
}

inline const char* find(Span s, char c) {
  return static_cast<const char*>(std::memchr(s.data, c, static_cast<size_t>(s.size)));
}

// ---------------------------------------------------------------------------
// Splitting.  Calls on_pair(name, value) for every cookie of the header, in
// order: pieces between ";" (a ";" inside double quotes splits too, as in
// browsers), without spaces and tabs around them, cut at the first "=" (a
// piece without one is a nameless cookie: an empty name, the piece the
// value), empty pieces and empty pairs left out.  Stops at the first false.

template <class OnPair>
bool for_each_pair(Span header, OnPair&& on_pair) {
  const char* p = header.data;
  const char* const end = header.data + header.size;
  for (;;) {
    const char* semicolon =
        static_cast<const char*>(std::memchr(p, ';', static_cast<size_t>(end - p)));
    const char* piece_end = semicolon != nullptr ? semicolon : end;
    Span piece = trim({p, piece_end - p});
    if (piece.size != 0) {
      Span name{piece.data, 0};
      Span value = piece;
      if (const char* equals = find(piece, '=')) {
        name = trim({piece.data, equals - piece.data});
        value = trim({equals + 1, piece.data + piece.size - equals - 1});
      }
      if ((name.size != 0 || value.size != 0) && !on_pair(name, value)) return false;
    }
    if (semicolon == nullptr) return true;
    p = semicolon + 1;
  }
}

// ---------------------------------------------------------------------------
// Quoted values.  A value wrapped in one pair of double quotes loses them,
// and the backslash escapes inside are decoded as the Python peers write
// them: a backslash and three octal digits, the first 0 to 3, is that byte;
// a backslash before any other byte is that byte; a backslash at the very
// end stays.

inline bool is_quoted(Span value) {
  return value.size >= 2 && value.data[0] == '"' && value.data[value.size - 1] == '"';
}

inline bool is_octal(char c) { return c >= '0' && c <= '7'; }

// The inner bytes with their escapes decoded, appended to out.
bool unescape_into(ByteBuffer& out, Span inner) {
  char* const start = out.claim(inner.size);
  if (start == nullptr) return false;
  char* o = start;
  const char* p = inner.data;
  const char* const end = inner.data + inner.size;
  while (p < end) {
    const char* backslash =
        static_cast<const char*>(std::memchr(p, '\\', static_cast<size_t>(end - p)));
    const char* stop = backslash != nullptr ? backslash : end;
    std::memcpy(o, p, static_cast<size_t>(stop - p));
    o += stop - p;
    p = stop;
    if (backslash == nullptr || backslash + 1 == end) {
      if (backslash != nullptr) *o++ = *p++;
      continue;
    }
    if (end - backslash >= 4 && backslash[1] >= '0' && backslash[1] <= '3' &&
        is_octal(backslash[2]) && is_octal(backslash[3])) {
      *o++ = static_cast<char>(((backslash[1] - '0') << 6) | ((backslash[2] - '0') << 3) |
                               (backslash[3] - '0'));
      p = backslash + 4;
    } else {
      *o++ = backslash[1];
      p = backslash + 2;
    }
  }
  out.commit(o - start);
  return true;
}

// ---------------------------------------------------------------------------
// UTF-8.  The sequence at p as its code point and length, or, when the
// bytes there are not a valid sequence, the negated length of its longest
// valid beginning (at least 1): the part that the interpreter's own decoder
// reports as one error, so that U+FFFD replaces exactly what it replaces.

inline bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

int utf8_sequence(const unsigned char* p, const unsigned char* end, Py_UCS4* code_point) {
  const unsigned char lead = p[0];
  if (lead < 0x80) {
    *code_point = lead;
    return 1;
  }
  if (lead < 0xC2 || lead > 0xF4) return -1;
  if (lead < 0xE0) {
    if (end - p < 2 || !is_continuation(p[1])) return -1;
    *code_point = (static_cast<Py_UCS4>(lead & 0x1F) << 6) | (p[1] & 0x3F);
    return 2;
  }
  // The second byte's range excludes overlong forms, surrogates and code
  // points above U+10FFFF.
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead == 0xE0) low = 0xA0;
  if (lead == 0xED) high = 0x9F;
  if (lead == 0xF0) low = 0x90;
  if (lead == 0xF4) high = 0x8F;
  if (end - p < 2 || p[1] < low || p[1] > high) return -1;
  if (end - p < 3 || !is_continuation(p[2])) return -2;
  if (lead < 0xF0) {
    *code_point = (static_cast<Py_UCS4>(lead & 0x0F) << 12) |
                  (static_cast<Py_UCS4>(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
    return 3;
  }
  if (end - p < 4 || !is_continuation(p[3])) return -3;
  *code_point = (static_cast<Py_UCS4>(lead & 0x07) << 18) |
                (static_cast<Py_UCS4>(p[1] & 0x3F) << 12) |
                (static_cast<Py_UCS4>(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
  return 4;
}

bool is_valid_utf8(Span s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data);
  const auto* end = p + s.size;
  while (p < end) {
    if (*p < 0x80) {
      p++;
      continue;
    }
    Py_UCS4 ignored;
    int length = utf8_sequence(p, end, &ignored);
    if (length < 0) return false;
    p += length;
  }
  return true;
}

// Code points collected for one text; never more than the bytes read.
class CodePoints {
 public:
  explicit CodePoints(Py_UCS4* data) : data_(data) {}
  void add(Py_UCS4 c) {
    data_[size_++] = c;
    if (c > max_) max_ = c;
  }
  PyObject* to_text() const {
    return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, data_, size_);
  }

 private:
  Py_UCS4* data_;
  Py_ssize_t size_ = 0;
  Py_UCS4 max_ = 0;
};

constexpr auto kHexValues = [] {
  struct Table {
    signed char values[256];
    constexpr int operator[](char c) const { return values[static_cast<unsigned char>(c)]; }
  } table{};
  for (int c = 0; c < 256; c++) {
    table.values[c] = static_cast<signed char>(c >= '0' && c <= '9'   ? c - '0'
                                               : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                                      : -1);
  }
  return table;
}();

// A run of ASCII bytes, percent-decoded, its bytes then read as UTF-8 with
// each invalid part replaced by U+FFFD: unquote() of an ASCII run.
void add_unquoted_ascii_run(CodePoints& out, Span run, char* scratch) {
  char* o = scratch;
  const char* p = run.data;
  const char* const end = run.data + run.size;
  while (p < end) {
    int high = *p == '%' && end - p >= 3 ? kHexValues[p[1]] : -1;
    int low = high >= 0 ? kHexValues[p[2]] : -1;
    if (low >= 0) {
      *o++ = static_cast<char>((high << 4) | low);
      p += 3;
    } else {
      *o++ = *p++;
    }
  }
  const auto* b = reinterpret_cast<const unsigned char*>(scratch);
  const auto* b_end = reinterpret_cast<const unsigned char*>(o);
  while (b < b_end) {
    Py_UCS4 c;
    int length = utf8_sequence(b, b_end, &c);
    if (length > 0) {
      out.add(c);
      b += length;
    } else {
      out.add(0xFFFD);
      b -= length;
    }
  }
}

// Bytes as text, the general way: runs of ASCII bytes are unquoted, and
// elsewhere a valid UTF-8 sequence is its character and any other byte the
// Latin-1 character of its value.  A multi-byte sequence holds no ASCII
// byte, so the ASCII runs of the bytes are the ASCII runs of the text that
// unquote() would see.
PyObject* text_general(Span s) {
  if (find(s, '%') == nullptr && is_valid_utf8(s)) {
    return PyUnicode_DecodeUTF8(s.data, s.size, "strict");
  }
  if (s.size > PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(Py_UCS4) + 1)) {
    return PyErr_NoMemory();
  }
  // One allocation: the code points, then room for a run's decoded bytes.
  char* memory = static_cast<char*>(
      PyMem_Malloc(static_cast<size_t>(s.size) * (sizeof(Py_UCS4) + 1) + 1));
  if (memory == nullptr) return PyErr_NoMemory();
  CodePoints out(reinterpret_cast<Py_UCS4*>(memory));
  char* const scratch = memory + static_cast<size_t>(s.size) * sizeof(Py_UCS4);
  const auto* p = reinterpret_cast<const unsigned char*>(s.data);
  const auto* const end = p + s.size;
  while (p < end) {
    if (*p < 0x80) {
      const auto* run_end = p;
      while (run_end < end && *run_end < 0x80) run_end++;
      add_unquoted_ascii_run(out, {reinterpret_cast<const char*>(p), run_end - p}, scratch);
      p = run_end;
      continue;
    }
    Py_UCS4 c;
    int length = utf8_sequence(p, end, &c);
    if (length > 0) {
      out.add(c);
      p += length;
    } else {
      out.add(*p++);
    }
  }
  PyObject* text = out.to_text();
  PyMem_Free(memory);
  return text;
}

// The text of a name or value: the text rule, then unquote().
PyObject* text_of(Span s, bool ascii) {
  if (ascii || is_ascii(s.data, s.size)) {
    return find(s, '%') != nullptr ? unquote_ascii(s.data, s.size) : ascii_text(s.data, s.size);
  }
  return text_general(s);
}

// The text of a value, first without its quotes and escapes.
PyObject* value_text(Span value, bool ascii) {
  if (!is_quoted(value)) return text_of(value, ascii);
  Span inner{value.data + 1, value.size - 2};
  if (find(inner, '\\') == nullptr) return text_of(inner, ascii);
  ByteBuffer unescaped;
  if (!unescape_into(unescaped, inner)) return nullptr;
  // An octal escape may have made a byte above 0x7F.
  return text_of({unescaped.data(), unescaped.size()}, false);
}

// ---------------------------------------------------------------------------
// What a header value stands for, as bytes.  A str below U+0100 throughout
// stands for the bytes it was decoded from as Latin-1, which are its own
// one-byte characters; a str with a wider character is text, encoded as
// UTF-8 with lone surrogates passed through.

// Appends the UTF-8 of a text with two- or four-byte characters.
bool append_wide_text(ByteBuffer& out, PyObject* text) {
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  if (length > PY_SSIZE_T_MAX / 4) {
    PyErr_NoMemory();
    return false;
  }
  char* const start = out.claim(length * 4);
  if (start == nullptr) return false;
  auto* o = reinterpret_cast<unsigned char*>(start);
  for (Py_ssize_t i = 0; i < length; i++) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c < 0x80) {
      *o++ = static_cast<unsigned char>(c);
    } else if (c < 0x800) {
      *o++ = static_cast<unsigned char>(0xC0 | (c >> 6));
      *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *o++ = static_cast<unsigned char>(0xE0 | (c >> 12));
      *o++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else {
      *o++ = static_cast<unsigned char>(0xF0 | (c >> 18));
      *o++ = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
      *o++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    }
  }
  out.commit(reinterpret_cast<char*>(o) - start);
  return true;
}

// ---------------------------------------------------------------------------
// Reading a header into a dict or a list.

// Adds each pair of one header's bytes to the result.
struct DictSink {
  PyObject* dict;
  bool ascii;
  bool operator()(Span name, Span value) const {
    Ref key = owning(text_of(name, ascii));
    if (!key) return false;
    Ref text = owning(value_text(value, ascii));
    // The first occurrence of a name stays.
    return text && PyDict_SetDefaultRef(dict, key.get(), text.get(), nullptr) >= 0;
  }
};

struct ListSink {
  PyObject* list;
  bool ascii;
  bool operator()(Span name, Span value) const {
    Ref key = owning(text_of(name, ascii));
    if (!key) return false;
    Ref text = owning(value_text(value, ascii));
    if (!text) return false;
    Ref pair = owning(PyTuple_Pack(2, key.get(), text.get()));
    return pair && PyList_Append(list, pair.get()) == 0;
  }
};

// The bytes that one header value (bytes or str, or a subclass of either,
// read in place) stands for, passed to read(span, ascii); 0 when the object
// is neither bytes nor str, -1 when read fails.
template <class Read>
int with_header_bytes(PyObject* value, Read&& read) {
  if (PyBytes_Check(value)) {
    Span s{PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value)};
    return read(s, is_ascii(s.data, s.size)) ? 1 : -1;
  }
  if (!PyUnicode_Check(value)) return 0;
  if (PyUnicode_KIND(value) == PyUnicode_1BYTE_KIND) {
    Span s{static_cast<const char*>(PyUnicode_DATA(value)), PyUnicode_GET_LENGTH(value)};
    return read(s, PyUnicode_IS_ASCII(value)) ? 1 : -1;
  }
  ByteBuffer encoded;
  if (!append_wide_text(encoded, value)) return -1;
  return read(Span{encoded.data(), encoded.size()}, false) ? 1 : -1;
}

// Reads raw (a header value, or a list or tuple of them read as if joined
// by "; ") into result with a DictSink or a ListSink.
template <class Sink>
bool read_header(PyObject* raw, PyObject* result) {
  auto read = [result](Span s, bool ascii) { return for_each_pair(s, Sink{result, ascii}); };
  int done = with_header_bytes(raw, read);
  if (done != 0) return done > 0;
  if (!PyList_Check(raw) && !PyTuple_Check(raw)) {
    PyErr_Format(PyExc_TypeError, "Expected bytes, str, or a list or tuple of them, got %.200s",
                 Py_TYPE(raw)->tp_name);
    return false;
  }
  // Pieces never run across the "; " between two values, so reading the
  // values one after the other reads their join.  Nothing read here runs
  // interpreted code, so the items stay where they are.
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(raw);
  PyObject** items = PySequence_Fast_ITEMS(raw);
  for (Py_ssize_t i = 0; i < count; i++) {
    done = with_header_bytes(items[i], read);
    if (done < 0) return false;
    if (done == 0) {
      PyErr_Format(PyExc_TypeError, "Expected bytes or str in the %.200s, got %.200s",
                   Py_TYPE(raw)->tp_name, Py_TYPE(items[i])->tp_name);
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Writing: name=value pairs joined by "; ", each name and value as quote()
// writes it; a nameless value alone; an empty pair left out.

bool raise_expected_str(PyObject* obj) {
  PyErr_Format(PyExc_TypeError, "Expected str, got %.200s", Py_TYPE(obj)->tp_name);
  return false;
}

// quote(text) appended, for a str or a subclass read as its plain value.
bool append_quoted(ByteBuffer& out, PyObject* text) {
  Ref plain = PyUnicode_CheckExact(text)
                  ? borrowing(text)
                  : owning(PyUnicode_FromKindAndData(PyUnicode_KIND(text), PyUnicode_DATA(text),
                                                     PyUnicode_GET_LENGTH(text)));
  if (!plain) return false;
  int done = quote_into(out, plain.get());
  if (done != 0) return done > 0;
  // Only a lone surrogate is left unquoted: the encoder raises what quote()
  // raises for it.
  Ref encoded = owning(PyUnicode_AsUTF8String(plain.get()));
  if (encoded) PyErr_SetString(PyExc_SystemError, "text could not be quoted");
  return false;
}

class HeaderWriter {
 public:
  // Borrowed name and value; no interpreted code runs here.
  bool add(PyObject* name, PyObject* value) {
    if (!PyUnicode_Check(name)) return raise_expected_str(name);
    if (!PyUnicode_Check(value)) return raise_expected_str(value);
    const bool named = PyUnicode_GET_LENGTH(name) != 0;
    if (!named && PyUnicode_GET_LENGTH(value) == 0) return true;
    // Every pair written adds at least one byte, so an empty buffer means
    // that no pair came before.
    if (out_.size() != 0 && !out_.append_literal("; ")) return false;
    if (named && (!append_quoted(out_, name) || !out_.append_literal("="))) return false;
    return append_quoted(out_, value);
  }
  PyObject* to_bytes() const { return out_.to_bytes(); }

 private:
  ByteBuffer out_;
};


// An exact dict is read in place: nothing done with its items runs
// interpreted code, so they stay where they are.
bool write_dict(HeaderWriter& writer, PyObject* dict) {
  Py_ssize_t position = 0;
  PyObject* name;
  PyObject* value;
  while (PyDict_Next(dict, &position, &name, &value)) {
    if (!writer.add(name, value)) return false;
  }
  return true;
}

// Any other mapping: its keys(), and mapping[key] for each.  Both are the
// caller's code, which may change or drop anything, so every object read
// is held until it has been written.
bool write_mapping(HeaderWriter& writer, PyObject* mapping, PyObject* keys_method) {
  Ref keys = owning(PyObject_CallNoArgs(keys_method));
  if (!keys) return false;
  Ref iterator = owning(PyObject_GetIter(keys.get()));
  if (!iterator) return false;
  for (;;) {
    Ref name = owning(PyIter_Next(iterator.get()));
    if (!name) return PyErr_Occurred() == nullptr;
    Ref value = owning(PyObject_GetItem(mapping, name.get()));
    if (!value || !writer.add(name.get(), value.get())) return false;
  }
}

// An iterable of (name, value) pairs, each a tuple or a list of two items.
bool write_pairs(HeaderWriter& writer, PyObject* pairs) {
  Ref iterator = owning(PyObject_GetIter(pairs));
  if (!iterator) return false;
  for (;;) {
    Ref pair = owning(PyIter_Next(iterator.get()));
    if (!pair) return PyErr_Occurred() == nullptr;
    if (!PyTuple_Check(pair.get()) && !PyList_Check(pair.get())) {
      PyErr_Format(PyExc_TypeError, "Expected a (name, value) pair, got %.200s",
                   Py_TYPE(pair.get())->tp_name);
      return false;
    }
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(pair.get());
    if (size != 2) {
      PyErr_Format(PyExc_ValueError, "Expected a (name, value) pair, got a %.200s of length %zd",
                   Py_TYPE(pair.get())->tp_name, size);
      return false;
    }
    PyObject** items = PySequence_Fast_ITEMS(pair.get());
    if (!writer.add(items[0], items[1])) return false;
  }
}

PyObject* write_header(PyObject* cookies) {
  HeaderWriter writer;
  if (PyDict_CheckExact(cookies)) {
    if (!write_dict(writer, cookies)) return nullptr;
    return writer.to_bytes();
  }
  // A mapping is whatever has keys, as for dict.update.
  PyObject* keys_method = nullptr;
  if (PyObject_GetOptionalAttrString(cookies, "keys", &keys_method) < 0) return nullptr;
  if (keys_method != nullptr) {
    Ref held = owning(keys_method);
    if (!write_mapping(writer, cookies, keys_method)) return nullptr;
    return writer.to_bytes();
  }
  if (Py_TYPE(cookies)->tp_iter == nullptr && !PySequence_Check(cookies)) {
    PyErr_Format(PyExc_TypeError,
                 "Expected a mapping or an iterable of (name, value) pairs, got %.200s",
                 Py_TYPE(cookies)->tp_name);
    return nullptr;
  }
  if (!write_pairs(writer, cookies)) return nullptr;
  return writer.to_bytes();
}

}  // namespace

// ---------------------------------------------------------------------------
// The entries of __pyx_capi__, also the bodies of the module functions.
// Arguments are borrowed; each checks its argument as the interpreted
// function does.

PyObject* parse_cookie_header(PyObject* raw) noexcept {
  if (raw == nullptr) {
    PyErr_SetString(PyExc_TypeError, "Expected bytes, str, or a list or tuple of them, got NULL");
    return nullptr;
  }
  Ref result = owning(PyDict_New());
  if (!result || !read_header<DictSink>(raw, result.get())) return nullptr;
  return result.release();
}

PyObject* parse_cookie_header_pairs(PyObject* raw) noexcept {
  if (raw == nullptr) {
    PyErr_SetString(PyExc_TypeError, "Expected bytes, str, or a list or tuple of them, got NULL");
    return nullptr;
  }
  Ref result = owning(PyList_New(0));
  if (!result || !read_header<ListSink>(raw, result.get())) return nullptr;
  return result.release();
}

PyObject* write_cookie_header(PyObject* cookies) noexcept {
  if (cookies == nullptr) {
    PyErr_SetString(PyExc_TypeError,
                    "Expected a mapping or an iterable of (name, value) pairs, got NULL");
    return nullptr;
  }
  return write_header(cookies);
}

namespace {

// ---------------------------------------------------------------------------
// The module.  Each function takes one argument, by position or keyword.

PyObject* bind_one(const char* function_name, const char* param, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames) {
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "%s() takes exactly 1 positional argument (%zd given)",
                 function_name, nargs);
    return nullptr;
  }
  PyObject* value = nargs == 1 ? args[0] : nullptr;
  for (Py_ssize_t i = 0; i < nkw; i++) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, i);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", function_name);
      return nullptr;
    }
    if (!PyUnicode_EqualToUTF8(key, param)) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                   function_name, key);
      return nullptr;
    }
    if (value != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                   function_name, key);
      return nullptr;
    }
    value = args[nargs + i];
  }
  if (value == nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() takes exactly 1 positional argument (0 given)",
                 function_name);
  }
  return value;
}

PyObject* py_parse_cookie_header(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  PyObject* raw = bind_one("parse_cookie_header", "raw", args, nargs, kwnames);
  return raw != nullptr ? parse_cookie_header(raw) : nullptr;
}

PyObject* py_parse_cookie_header_pairs(PyObject* /*module*/, PyObject* const* args,
                                       Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* raw = bind_one("parse_cookie_header_pairs", "raw", args, nargs, kwnames);
  return raw != nullptr ? parse_cookie_header_pairs(raw) : nullptr;
}

PyObject* py_write_cookie_header(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  PyObject* cookies = bind_one("write_cookie_header", "cookies", args, nargs, kwnames);
  return cookies != nullptr ? write_cookie_header(cookies) : nullptr;
}

bool export_function(PyObject* table, const char* name, void* function) {
  Ref capsule = owning(PyCapsule_New(function, GCO_SIG_COOKIE_HEADER_FUNCTION, nullptr));
  return capsule && PyDict_SetItemString(table, name, capsule.get()) == 0;
}

int module_exec(PyObject* module) {
  Ref table = owning(PyDict_New());
  bool ok = table &&
            export_function(table.get(), "parse_cookie_header",
                            reinterpret_cast<void*>(parse_cookie_header)) &&
            export_function(table.get(), "parse_cookie_header_pairs",
                            reinterpret_cast<void*>(parse_cookie_header_pairs)) &&
            export_function(table.get(), "write_cookie_header",
                            reinterpret_cast<void*>(write_cookie_header)) &&
            PyModule_AddObjectRef(module, "__pyx_capi__", table.get()) == 0;
  return ok ? 0 : -1;
}

#define GCO_FASTCALL(function) \
  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function))

PyMethodDef module_methods[] = {
    {"parse_cookie_header", GCO_FASTCALL(py_parse_cookie_header), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR(
         "parse_cookie_header($module, /, raw)\n--\n\n"
         "The cookies of a Cookie request header as a dict of names to values.\n\n"
         "raw is the header value as bytes, or as str: a str whose characters are\n"
         "all below U+0100 stands for the bytes it was decoded from as Latin-1\n"
         "(as WSGI servers give it), any other str is text and read as its UTF-8.\n"
         "A list or tuple of such values is read as if joined by \"; \" (HTTP/2 may\n"
         "split the header).  Subclasses are read as their plain value.  Anything\n"
         "else raises TypeError; no header content raises.\n\n"
         "The header is split at every \";\" (inside double quotes too, as browsers\n"
         "do); each piece is cut at its first \"=\", spaces and tabs around the\n"
         "parts removed; a piece without \"=\" is a cookie with an empty name.  A\n"
         "value in double quotes loses them and its backslash escapes are decoded\n"
         "(\\\", \\\\, and three octal digits for one byte).  Bytes are read as UTF-8,\n"
         "and a byte outside a valid sequence as its Latin-1 character.  Names and\n"
         "values are then percent-decoded as urllib.parse.unquote decodes, so a\n"
         "cookie written by write_cookie_for_response reads back as written.  In\n"
         "consequence a value that another library set with a literal \"%\" and two\n"
         "hex digits reads back decoded, and an escape of invalid UTF-8 (%E9) reads\n"
         "as U+FFFD while a raw byte E9 reads as \"\\u00e9\".\n\n"
         "The first occurrence of a name is kept (browsers send the cookie with\n"
         "the longest path first).")},
    {"parse_cookie_header_pairs", GCO_FASTCALL(py_parse_cookie_header_pairs),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("parse_cookie_header_pairs($module, /, raw)\n--\n\n"
               "Every (name, value) pair of a Cookie request header, in header order.\n\n"
               "raw and the reading are as for parse_cookie_header, which keeps only\n"
               "the first pair of each name.")},
    {"write_cookie_header", GCO_FASTCALL(py_write_cookie_header), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR(
         "write_cookie_header($module, /, cookies)\n--\n\n"
         "The bytes of a Cookie request header holding the given cookies.\n\n"
         "cookies is a mapping (anything with keys(), as for dict.update) or an\n"
         "iterable of (name, value) tuples or lists; names and values are str\n"
         "(subclasses are read as their plain value).  Each name and value is\n"
         "percent-encoded exactly as urllib.parse.quote encodes with its defaults,\n"
         "and the pairs are joined by \"; \".  A pair with an empty name is written\n"
         "as its value alone, and one with an empty name and an empty value is\n"
         "left out.  parse_cookie_header reads the result back as the same dict.\n\n"
         "A name or value that is not a str raises TypeError, a pair that is not\n"
         "of two items ValueError, and a lone surrogate UnicodeEncodeError.")},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "cookie_header",
    .m_doc = PyDoc_STR("The Cookie request header: reading it into names and values, and "
                       "writing it from them."),
    .m_size = 0,
    .m_methods = module_methods,
    .m_slots = module_slots,
};

}  // namespace

}  // namespace gco

PyMODINIT_FUNC PyInit_cookie_header() { return PyModuleDef_Init(&gco::module_def); }
