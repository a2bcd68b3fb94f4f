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
#include "compat.hpp"  // <Python.h>, and what older interpreters lack

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "buffer.hpp"
#include "cookie_header.h"
#include "frame.hpp"
#include "function.hpp"
#include "percent.hpp"
#include "ref.hpp"
#include "span.hpp"

namespace gco {

namespace {

// ---------------------------------------------------------------------------
// Byte spans.

// Space or tab: one bit test of a 64-bit mask.
inline bool is_blank(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u <= ' ' && ((1ull << u) & ((1ull << ' ') | (1ull << '\t'))) != 0;
}

// ---------------------------------------------------------------------------
// Splitting.  Calls on_pair(name, value) for every cookie of the header, in
// order: pieces between ";" (a ";" inside double quotes splits too, as in
// browsers), without spaces and tabs around them, cut at the first "=" (a
// piece without one is a nameless cookie: an empty name, the piece the
// value), empty pieces and empty pairs left out.  Stops at the first false.
//
// One pass finds every byte that matters, sixteen at a time; on the way it
// notes which parts hold a "%", a "\" or a byte above 0x7F, so that the
// common plain part becomes its text with a single copy.

// What the scan saw in a part, as bits.
constexpr unsigned kSawPercent = 1;
constexpr unsigned kSawBackslash = 2;
constexpr unsigned kSawHigh = 4;  // a byte above 0x7F
// Not a scan result: the part is read without percent-decoding, and
// kSawPercent is left out of its bits.
constexpr unsigned kKeepPercent = 8;

// A name or a value as found in the header.
struct Field {
  Span s;
  unsigned seen = 0;
};

// What each byte that the scan stops at, other than ";" and "=", adds to
// the part it lies in.
constexpr auto kSeenOf = [] {
  struct Table {
    unsigned char values[256];
  } table{};
  for (int c = 0x80; c < 256; c++) table.values[c] = kSawHigh;
  table.values[static_cast<unsigned char>('%')] = kSawPercent;
  table.values[static_cast<unsigned char>('\\')] = kSawBackslash;
  return table;
}();

// One bit for each of the 16 bytes at p that is ";", "=", "%", "\" or
// above 0x7F.
inline uint32_t special_bytes(const char* p) {
#if defined(__SSE2__)
  const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8(';')),
                                                 _mm_cmpeq_epi8(block, _mm_set1_epi8('='))),
                                    _mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('%')),
                                                 _mm_cmpeq_epi8(block, _mm_set1_epi8('\\'))));
  // A byte above 0x7F has its top bit set already.
  return static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(hits, block)));
#else
  uint32_t bits = 0;
  for (int i = 0; i < 16; i++) {
    const unsigned char c = static_cast<unsigned char>(p[i]);
    if (c == ';' || c == '=' || kSeenOf.values[c] != 0) bits |= 1u << i;
  }
  return bits;
#endif
}

// The number of ";" in the header: one less than the number of its pieces.
Py_ssize_t count_semicolons(Span header) {
  Py_ssize_t count = 0;
  const char* p = header.data;
  const char* const end = header.end();
#if defined(__SSE2__)
  const __m128i semicolon = _mm_set1_epi8(';');
  while (end - p >= 16) {
    // Each byte of sums counts the ";" of its column, for at most 255 blocks.
    __m128i sums = _mm_setzero_si128();
    for (int blocks = 0; blocks < 255 && end - p >= 16; blocks++, p += 16) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      sums = _mm_sub_epi8(sums, _mm_cmpeq_epi8(block, semicolon));
    }
    const __m128i totals = _mm_sad_epu8(sums, _mm_setzero_si128());
    count += _mm_cvtsi128_si32(totals) + _mm_extract_epi16(totals, 4);
  }
#endif
  for (; p < end; p++) count += *p == ';';
  return count;
}

template <class OnPair>
bool for_each_pair(Span header, OnPair&& on_pair) {
  const char* const end = header.end();
  const char* piece = header.data;
  const char* equals = nullptr;
  unsigned before = 0;  // seen in the piece before its first "=" (all of it without one)
  unsigned after = 0;   // seen after its first "="

  auto finish = [&](const char* stop) {
    const char* first = piece;
    const char* last = stop;
    while (first < last && is_blank(*first)) first++;
    while (last > first && is_blank(last[-1])) last--;
    if (first == last) return true;
    if (equals == nullptr)
      return on_pair(Field{{first, 0}, 0}, Field{{first, last - first}, before});
    // The "=" is not blank, so it lies inside the trimmed piece.
    const char* name_end = equals;
    const char* value_start = equals + 1;
    while (name_end > first && is_blank(name_end[-1])) name_end--;
    while (value_start < last && is_blank(*value_start)) value_start++;
    if (name_end == first && value_start == last) return true;
    return on_pair(Field{{first, name_end - first}, before},
                   Field{{value_start, last - value_start}, after});
  };

  char tail[16];
  for (const char* block = header.data; block < end; block += 16) {
    uint32_t bits;
    if (end - block >= 16) {
      bits = special_bytes(block);
    } else {
      // NUL bytes are not special: the copy's padding adds no bits.
      std::memset(tail, 0, sizeof tail);
      std::memcpy(tail, block, static_cast<size_t>(end - block));
      bits = special_bytes(tail);
    }
    while (bits != 0) {
      const char* p = block + std::countr_zero(bits);
      bits &= bits - 1;
      const char c = *p;
      if (c == ';') {
        if (!finish(p)) return false;
        piece = p + 1;
        equals = nullptr;
        before = after = 0;
      } else if (c == '=') {
        if (equals == nullptr) equals = p;
      } else if (equals == nullptr) {
        before |= kSeenOf.values[static_cast<unsigned char>(c)];
      } else {
        after |= kSeenOf.values[static_cast<unsigned char>(c)];
      }
    }
  }
  return finish(end);
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

// Bytes as text, the general way: runs of ASCII bytes are unquoted (unless
// unquote is false), and elsewhere a valid UTF-8 sequence is its character
// and any other byte the Latin-1 character of its value.  A multi-byte
// sequence holds no ASCII byte, so the ASCII runs of the bytes are the ASCII
// runs of the text that unquote() would see.
PyObject* text_general(Span s, bool unquote) {
  if ((!unquote || s.find('%') == nullptr) && is_valid_utf8(s)) {
    return PyUnicode_DecodeUTF8(s.data, s.size, "strict");
  }
  if (s.size > PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(Py_UCS4) + 1)) {
    return PyErr_NoMemory();
  }
  // One allocation: the code points, then room for a run's decoded bytes.
  char* memory =
      static_cast<char*>(PyMem_Malloc(static_cast<size_t>(s.size) * (sizeof(Py_UCS4) + 1) + 1));
  if (memory == nullptr) return PyErr_NoMemory();
  CodePoints out(reinterpret_cast<Py_UCS4*>(memory));
  char* const scratch = memory + static_cast<size_t>(s.size) * sizeof(Py_UCS4);
  const auto* p = reinterpret_cast<const unsigned char*>(s.data);
  const auto* const end = p + s.size;
  while (p < end) {
    if (*p < 0x80) {
      const auto* run_end = p;
      while (run_end < end && *run_end < 0x80) run_end++;
      if (unquote) {
        add_unquoted_ascii_run(out, {reinterpret_cast<const char*>(p), run_end - p}, scratch);
      } else {
        for (const auto* q = p; q < run_end; q++) out.add(*q);
      }
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

// A str of ASCII bytes, copied in here: the common case, kept inline.
[[gnu::always_inline]] inline PyObject* plain_text(Span s) {
  if (s.size <= 1) return ascii_text(s.data, s.size);
  PyObject* text = PyUnicode_New(s.size, 127);
  if (text != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(text), s.data, static_cast<size_t>(s.size));
  return text;
}

// unquote() of ASCII bytes that hold a "%".  A short part is decoded in
// one pass into a buffer on the stack, then copied into a str of its length
// when every escape stood for an ASCII byte; otherwise (a long part, or an
// escape above 0x7F) the general decoder takes it.
PyObject* unquote_plain(Span s) {
  constexpr Py_ssize_t kShort = 256;
  if (s.size > kShort) return unquote_ascii(s.data, s.size);
  char decoded[kShort];
  char* o = decoded;
  int escaped = 0;  // the bytes of the escapes decoded, or-ed together
  const char* const end = s.end();
  for (const char* p = s.data; p < end;) {
    const char c = *p;
    if (c == '%' && end - p >= 3) {
      const int high = kHexValues[p[1]];
      const int low = kHexValues[p[2]];
      // Either is -1, and the or negative, unless both are digits.
      if ((high | low) >= 0) {
        const int byte = (high << 4) | low;
        escaped |= byte;
        *o++ = static_cast<char>(byte);
        p += 3;
        continue;
      }
    }
    *o++ = c;
    p++;
  }
  if (escaped >= 0x80) return unquote_ascii(s.data, s.size);
  return plain_text({decoded, o - decoded});
}

// The text of a name or value: the text rule, then unquote() (unless
// kKeepPercent).  A plain ASCII part (the common one) is copied into its str
// at once.
[[gnu::always_inline]] inline PyObject* text_of(const Field& f) {
  if ((f.seen & (kSawHigh | kSawPercent)) == 0) return plain_text(f.s);
  if (f.seen & kSawHigh) return text_general(f.s, (f.seen & kKeepPercent) == 0);
  return unquote_plain(f.s);
}

// A quoted value whose inside holds a backslash: the inside unescaped,
// then read as text.  keep: kKeepPercent or 0.
PyObject* unescaped_text(Span inner, unsigned keep) {
  ByteBuffer buffer;
  if (!unescape_into(buffer, inner)) return nullptr;
  // An escape may have made a "%" or a byte above 0x7F.
  Span unescaped{buffer.data(), buffer.size()};
  unsigned seen = keep != 0 ? keep : unescaped.find('%') != nullptr ? kSawPercent : 0;
  if (!is_ascii(buffer.data(), buffer.size())) seen |= kSawHigh;
  return text_of({unescaped, seen});
}

// The text of a value, first without its quotes and escapes.
[[gnu::always_inline]] inline PyObject* value_text(const Field& value) {
  if (!is_quoted(value.s)) return text_of(value);
  // The quotes are not special: what was seen in the value is in the inside.
  Field inner{{value.s.data + 1, value.s.size - 2}, value.seen};
  if (!(value.seen & kSawBackslash)) return text_of(inner);
  return unescaped_text(inner.s, value.seen & kKeepPercent);
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
// Names.  A site sends the same few cookie names on every request, so the
// str of a short plain name is kept in a small table, one per slot, and
// handed out again: that saves making it and hashing it for the dict.  A
// name in another slot's place replaces it.  Only texts are kept, never a
// header's result.

class NameTable {
 public:
  // The text of a name of ASCII bytes without "%", a new reference.
  [[gnu::always_inline]] PyObject* text(Span s) {
    if (s.size < 2 || s.size > kMaxLength) return plain_text(s);
    const Key key = key_of(s);
    Slot& slot = slots_[slot_of(key)];
    if (slot.text != nullptr && slot.key.first == key.first && slot.key.last == key.last &&
        slot.key.size == key.size &&
        (s.size <= 16 || std::memcmp(static_cast<const char*>(PyUnicode_DATA(slot.text)) + 8,
                                     s.data + 8, static_cast<size_t>(s.size - 16)) == 0)) {
      return Py_NewRef(slot.text);
    }
    PyObject* text = plain_text(s);
    if (text == nullptr) return nullptr;
    // Freeing the text replaced runs no interpreted code.
    Py_XSETREF(slot.text, Py_NewRef(text));
    slot.key = key;
    return text;
  }

  void clear() {
    for (Slot& slot : slots_) Py_CLEAR(slot.text);
  }

 private:
  static constexpr int kSlotBits = 8;
  static constexpr Py_ssize_t kMaxLength = 64;

  // A name's length and its first and last bytes, eight of each at most
  // (overlapping for a short name): all of its bytes up to sixteen.
  struct Key {
    uint64_t first;
    uint64_t last;
    Py_ssize_t size;
  };

  struct Slot {
    PyObject* text;
    Key key;
  };

  static Key key_of(Span s) {
    Key key{0, 0, s.size};
    if (s.size >= 8) {
      std::memcpy(&key.first, s.data, 8);
      std::memcpy(&key.last, s.data + s.size - 8, 8);
    } else if (s.size >= 4) {
      uint32_t first;
      uint32_t last;
      std::memcpy(&first, s.data, 4);
      std::memcpy(&last, s.data + s.size - 4, 4);
      key.first = first;
      key.last = last;
    } else {
      uint16_t first;
      uint16_t last;
      std::memcpy(&first, s.data, 2);
      std::memcpy(&last, s.data + s.size - 2, 2);
      key.first = first;
      key.last = last;
    }
    return key;
  }

  static size_t slot_of(const Key& key) {
    uint64_t mixed = (key.first * 0x9E3779B97F4A7C15ull) ^ (key.last * 0xC2B2AE3D27D4EB4Full) ^
                     static_cast<uint64_t>(key.size);
    return static_cast<size_t>((mixed * 0xFF51AFD7ED558CCDull) >> (64 - kSlotBits));
  }

  Slot slots_[1 << kSlotBits] = {};
};

// One table for the process: the module is loaded into one interpreter.
NameTable names;

// Only the first names of a header are looked up in the table: a header of
// thousands of cookies would only push a site's usual names out of it.
constexpr Py_ssize_t kInternedPerHeader = 64;

[[gnu::always_inline]] inline PyObject* name_text(const Field& name, Py_ssize_t index) {
  if (name.seen & (kSawHigh | kSawPercent)) return text_of(name);
  if (index >= kInternedPerHeader) return plain_text(name.s);
  return names.text(name.s);
}

// ---------------------------------------------------------------------------
// Reading a header into a dict or a list.

// A part read without percent-decoding: its "%" is an ordinary byte.
inline Field kept(const Field& f, bool decode) {
  return decode ? f : Field{f.s, (f.seen & ~kSawPercent) | kKeepPercent};
}

// The pairs of one header, found before any object is made, so that the
// result is made at its size at once.
class PairFields {
 public:
  struct Pair {
    Field name;
    Field value;
  };

  PairFields() = default;
  PairFields(const PairFields&) = delete;
  PairFields& operator=(const PairFields&) = delete;
  ~PairFields() {
    if (pairs_ != inline_) PyMem_Free(pairs_);
  }

  bool add(const Field& name, const Field& value) {
    if (size_ == capacity_) {
      if (capacity_ > PY_SSIZE_T_MAX / 2 / static_cast<Py_ssize_t>(sizeof(Pair))) {
        PyErr_NoMemory();
        return false;
      }
      auto* grown =
          static_cast<Pair*>(PyMem_Malloc(sizeof(Pair) * 2 * static_cast<size_t>(capacity_)));
      if (grown == nullptr) {
        PyErr_NoMemory();
        return false;
      }
      std::memcpy(grown, pairs_, sizeof(Pair) * static_cast<size_t>(size_));
      if (pairs_ != inline_) PyMem_Free(pairs_);
      pairs_ = grown;
      capacity_ *= 2;
    }
    pairs_[size_].name = name;
    pairs_[size_].value = value;
    size_++;
    return true;
  }

  Py_ssize_t size() const { return size_; }
  const Pair& operator[](Py_ssize_t i) const { return pairs_[i]; }

 private:
  static constexpr Py_ssize_t kInline = 24;
  // Left uninitialized: only the pairs added are read.
  alignas(Pair) unsigned char inline_storage_[kInline * sizeof(Pair)];
  Pair* const inline_ = reinterpret_cast<Pair*>(inline_storage_);
  Pair* pairs_ = inline_;
  Py_ssize_t size_ = 0;
  Py_ssize_t capacity_ = kInline;
};

// The dict of names to values: the first occurrence of a name stays.  Its
// pairs are added as the splitter finds them, into a dict made at once for
// as many pairs as the first header value has pieces (up to a bound, so that
// a header of empty pieces cannot make a large empty dict).
class DictBuilder {
 public:
  explicit DictBuilder(bool decode) : decode_(decode) {}
  bool read(Span header) {
    if (!result_) {
      const Py_ssize_t pieces = count_semicolons(header) + 1;
      presized_ = pieces < kMaxPresized ? pieces : kMaxPresized;
      result_ = steal(_PyDict_NewPresized(presized_));
      if (!result_) return false;
    }
    return for_each_pair(
        header, [this](const Field& name, const Field& value) { return add(name, value); });
  }
  PyObject* finish() { return result_ ? result_.transfer() : PyDict_New(); }

 private:
  static constexpr Py_ssize_t kMaxPresized = 1024;

  bool add(const Field& name, const Field& value) {
    Ref key = steal(name_text(kept(name, decode_), count_++));
    if (!key) return false;
    Ref text = steal(value_text(kept(value, decode_)));
    if (!text) return false;
    // The interpreter's PyDict_SetDefaultRef (3.13.0) counts an entry that a
    // failed resize did not add, and the dict then reads past its table: it
    // is used only while the dict has the room made for it in advance.
    if (PyDict_GET_SIZE(result_.get()) < presized_) {
      return PyDict_SetDefaultRef(result_.get(), key.get(), text.get(), nullptr) >= 0;
    }
    int found = PyDict_Contains(result_.get(), key.get());
    return found > 0 || (found == 0 && PyDict_SetItem(result_.get(), key.get(), text.get()) == 0);
  }

  Ref result_;
  Py_ssize_t presized_ = 0;
  Py_ssize_t count_ = 0;
  bool decode_;
};

// The list of (name, value) tuples.  The first header value's pairs fill a
// list made at their number; those of later values are appended.
class ListBuilder {
 public:
  explicit ListBuilder(bool decode) : decode_(decode) {}
  // The pairs of one header value are found first, so that the first
  // value's list is made at their number.
  bool read(Span header) {
    PairFields pairs;
    if (!for_each_pair(header, [&pairs](const Field& name, const Field& value) {
          return pairs.add(name, value);
        })) {
      return false;
    }
    if (!reserve(pairs.size())) return false;
    for (Py_ssize_t i = 0; i < pairs.size(); i++) {
      if (!add(pairs[i].name, pairs[i].value, i)) return false;
    }
    return true;
  }
  PyObject* finish() { return result_ ? result_.transfer() : PyList_New(0); }

 private:
  bool reserve(Py_ssize_t count) {
    if (result_) return true;
    result_ = steal(PyList_New(count));
    reserved_ = count;
    return static_cast<bool>(result_);
  }
  bool add(const Field& name, const Field& value, Py_ssize_t index) {
    Ref key = steal(name_text(kept(name, decode_), index));
    if (!key) return false;
    Ref text = steal(value_text(kept(value, decode_)));
    if (!text) return false;
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) return false;
    PyTuple_SET_ITEM(pair, 0, key.transfer());
    PyTuple_SET_ITEM(pair, 1, text.transfer());
    if (filled_ < reserved_) {
      PyList_SET_ITEM(result_.get(), filled_++, pair);
      return true;
    }
    Ref held = steal(pair);
    return PyList_Append(result_.get(), pair) == 0;
  }

  Ref result_;
  Py_ssize_t reserved_ = 0;
  Py_ssize_t filled_ = 0;
  bool decode_;
};

// Adds the pairs of one header value (bytes or str, or a subclass of either,
// read in place); 0 when the object is neither bytes nor str, -1 on failure.
template <class Builder>
int read_value(Builder& builder, PyObject* value) {
  if (PyBytes_Check(value)) {
    return builder.read({PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value)}) ? 1 : -1;
  }
  if (!PyUnicode_Check(value)) return 0;
  if (PyUnicode_KIND(value) == PyUnicode_1BYTE_KIND) {
    Span latin1{static_cast<const char*>(PyUnicode_DATA(value)), PyUnicode_GET_LENGTH(value)};
    return builder.read(latin1) ? 1 : -1;
  }
  ByteBuffer encoded;
  if (!append_wide_text(encoded, value)) return -1;
  return builder.read({encoded.data(), encoded.size()}) ? 1 : -1;
}

// The result of reading raw: a header value, or a list or tuple of them
// read as if joined by "; ".  decode: whether names and values are
// percent-decoded.
template <class Builder>
PyObject* read_header(PyObject* raw, bool decode) {
  Builder builder(decode);
  int done = read_value(builder, raw);
  if (done != 0) return done > 0 ? builder.finish() : nullptr;
  if (!PyList_Check(raw) && !PyTuple_Check(raw)) {
    PyErr_Format(PyExc_TypeError, "Expected bytes, str, or a list or tuple of them, got %.200s",
                 Py_TYPE(raw)->tp_name);
    return nullptr;
  }
  // Pieces never run across the "; " between two values, so reading the
  // values one after the other reads their join.  Nothing read here runs
  // interpreted code, so the items stay where they are.
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(raw);
  PyObject** items = PySequence_Fast_ITEMS(raw);
  for (Py_ssize_t i = 0; i < count; i++) {
    done = read_value(builder, items[i]);
    if (done < 0) return nullptr;
    if (done == 0) {
      PyErr_Format(PyExc_TypeError, "Expected bytes or str in the %.200s, got %.200s",
                   Py_TYPE(raw)->tp_name, Py_TYPE(items[i])->tp_name);
      return nullptr;
    }
  }
  return builder.finish();
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
                  ? incref(text)
                  : steal(PyUnicode_FromKindAndData(PyUnicode_KIND(text), PyUnicode_DATA(text),
                                                    PyUnicode_GET_LENGTH(text)));
  if (!plain) return false;
  int done = quote_into(out, plain.get());
  if (done != 0) return done > 0;
  // Only a lone surrogate is left unquoted: the encoder raises what quote()
  // raises for it.
  Ref encoded = steal(PyUnicode_AsUTF8String(plain.get()));
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
  Ref keys = steal(PyObject_CallNoArgs(keys_method));
  if (!keys) return false;
  Ref iterator = steal(PyObject_GetIter(keys.get()));
  if (!iterator) return false;
  for (;;) {
    Ref name = steal(PyIter_Next(iterator.get()));
    if (!name) return PyErr_Occurred() == nullptr;
    Ref value = steal(PyObject_GetItem(mapping, name.get()));
    if (!value || !writer.add(name.get(), value.get())) return false;
  }
}

// An iterable of (name, value) pairs, each a tuple or a list of two items.
bool write_pairs(HeaderWriter& writer, PyObject* pairs) {
  Ref iterator = steal(PyObject_GetIter(pairs));
  if (!iterator) return false;
  for (;;) {
    Ref pair = steal(PyIter_Next(iterator.get()));
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

GCO_STR(str_keys, "keys");

PyObject* write_header(PyObject* cookies) {
  HeaderWriter writer;
  if (PyDict_CheckExact(cookies)) {
    if (!write_dict(writer, cookies)) return nullptr;
    return writer.to_bytes();
  }
  // A mapping is whatever has keys, as for dict.update.
  PyObject* keys_method = nullptr;
  if (PyObject_GetOptionalAttr(cookies, str_keys.get(), &keys_method) < 0) return nullptr;
  if (keys_method != nullptr) {
    Ref held = steal(keys_method);
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
// The entries of __pyx_capi__ (cookie_header.h, cookie_header.pxd), also the
// bodies of the module functions.  Arguments are borrowed; each checks its
// argument as the interpreted function does.

PyObject* parse_cookie_header(PyObject* raw) noexcept {
  PyObject* result = nullptr;
  if (raw == nullptr) {
    PyErr_SetString(PyExc_TypeError, "Expected bytes, str, or a list or tuple of them, got NULL");
  } else {
    result = read_header<DictBuilder>(raw, true);
  }
  if (result == nullptr) GCO_TRACEBACK("parse_cookie_header");
  return result;
}

PyObject* parse_cookie_header_pairs(PyObject* raw) noexcept {
  PyObject* result = nullptr;
  if (raw == nullptr) {
    PyErr_SetString(PyExc_TypeError, "Expected bytes, str, or a list or tuple of them, got NULL");
  } else {
    result = read_header<ListBuilder>(raw, true);
  }
  if (result == nullptr) GCO_TRACEBACK("parse_cookie_header_pairs");
  return result;
}

PyObject* write_cookie_header(PyObject* cookies) noexcept {
  PyObject* result = nullptr;
  if (cookies == nullptr) {
    PyErr_SetString(PyExc_TypeError,
                    "Expected a mapping or an iterable of (name, value) pairs, got NULL");
  } else {
    result = write_header(cookies);
  }
  if (result == nullptr) GCO_TRACEBACK("write_cookie_header");
  return result;
}

namespace {

// ---------------------------------------------------------------------------
// The module.  The function objects add their own traceback entries, so the
// bodies call the algorithm, not the C entries.

// percent_decode: any object's truth value (its code may run before the
// header is read).
template <class Builder>
PyObject* read_with_keyword(PyObject* const* args) {
  const int decode = args[1] == nullptr ? 1 : truth(args[1]);
  if (decode < 0) return nullptr;
  return read_header<Builder>(args[0], decode != 0);
}

PyObject* py_parse_cookie_header(PyObject* /*module*/, PyObject* const* args) {
  return read_with_keyword<DictBuilder>(args);
}

PyObject* py_parse_cookie_header_pairs(PyObject* /*module*/, PyObject* const* args) {
  return read_with_keyword<ListBuilder>(args);
}

PyObject* py_write_cookie_header(PyObject* /*module*/, PyObject* const* args) {
  return write_header(args[0]);
}

FunctionRow functions[] = {
    {"parse_cookie_header", params("raw", "*", "percent_decode=True"), py_parse_cookie_header,
     nullptr,
     "The cookies of a Cookie request header as a dict of names to values.\n"
     "\n"
     "raw is the header value as bytes, or as str: a str whose characters are\n"
     "all below U+0100 stands for the bytes it was decoded from as Latin-1\n"
     "(as WSGI servers give it), any other str is text and read as its UTF-8.\n"
     "A list or tuple of such values is read as if joined by \"; \" (HTTP/2 may\n"
     "split the header).  Subclasses are read as their plain value.  Anything\n"
     "else raises TypeError; no header content raises.\n"
     "\n"
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
     "as U+FFFD while a raw byte E9 reads as \"\\u00e9\".\n"
     "\n"
     "percent_decode=False skips only the percent-decoding (quotes and their\n"
     "escapes are still removed), for cookies set by a writer that does not\n"
     "percent-encode, as most frameworks' readers do.\n"
     "\n"
     "The first occurrence of a name is kept (browsers send the cookie with\n"
     "the longest path first).\n"
     "\n"
     "    >>> parse_cookie_header(b'sid=a%20b; theme=\"dark\"; sid=old')\n"
     "    {'sid': 'a b', 'theme': 'dark'}"},
    {"parse_cookie_header_pairs", params("raw", "*", "percent_decode=True"),
     py_parse_cookie_header_pairs, nullptr,
     "Every (name, value) pair of a Cookie request header, in header order.\n"
     "\n"
     "raw, percent_decode and the reading are as for parse_cookie_header,\n"
     "which keeps only the first pair of each name.\n"
     "\n"
     "    >>> parse_cookie_header_pairs([b'a=1; token', 'a=2'])\n"
     "    [('a', '1'), ('', 'token'), ('a', '2')]"},
    {"write_cookie_header", params("cookies"), py_write_cookie_header, nullptr,
     "The bytes of a Cookie request header holding the given cookies.\n"
     "\n"
     "cookies is a mapping (anything with keys(), as for dict.update) or an\n"
     "iterable of (name, value) tuples or lists; names and values are str\n"
     "(subclasses are read as their plain value).  Each name and value is\n"
     "percent-encoded exactly as urllib.parse.quote encodes with its defaults,\n"
     "and the pairs are joined by \"; \".  A pair with an empty name is written\n"
     "as its value alone, and one with an empty name and an empty value is\n"
     "left out.  parse_cookie_header reads the result back as the same dict.\n"
     "\n"
     "A name or value that is not a str raises TypeError, a pair that is not\n"
     "of two items ValueError, and a lone surrogate UnicodeEncodeError.\n"
     "\n"
     "    >>> write_cookie_header({'sid': 'a b', '': 'token'})\n"
     "    b'sid=a%20b; token'"},
};

// A module object made again (after it was removed from sys.modules) gets
// new function objects; the process-wide state describes the latest one.
int module_exec(PyObject* module) {
  const char* signature = GCO_SIG_COOKIE_HEADER_FUNCTION;
  bool ok = start_exec(kModuleName) && finish_exec(module, functions) &&
            publish_c_entry(module, "parse_cookie_header",
                            reinterpret_cast<void*>(parse_cookie_header), signature) &&
            publish_c_entry(module, "parse_cookie_header_pairs",
                            reinterpret_cast<void*>(parse_cookie_header_pairs), signature) &&
            publish_c_entry(module, "write_cookie_header",
                            reinterpret_cast<void*>(write_cookie_header), signature);
  return ok ? 0 : -1;
}

void module_free(void* /*module*/) { names.clear(); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    // The name table holds objects of the one interpreter that loads it.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "cookie_header",
    .m_doc = PyDoc_STR("The Cookie request header: reading it into names and values, and "
                       "writing it from them."),
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_free = module_free,
};

}  // namespace

}  // namespace gco

PyMODINIT_FUNC PyInit_cookie_header() { return PyModuleDef_Init(&gco::module_def); }
