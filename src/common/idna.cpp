// UTS #46 ToASCII for the url reader: mapping, NFC, the label checks and
// Punycode (RFC 3492).
#include "idna.hpp"

#include <cstdint>

#include "ref.hpp"
#include "text.hpp"

namespace gco::idna {

namespace {

struct MapEntry {
  uint32_t start;
  uint32_t info;
};
struct PropEntry {
  uint32_t start;
  uint16_t value;
};

#include "idna_data.inc"

enum Bidi : uint8_t {
  kBidiL,
  kBidiR,
  kBidiAL,
  kBidiEN,
  kBidiES,
  kBidiET,
  kBidiAN,
  kBidiCS,
  kBidiNSM,
  kBidiBN,
  kBidiON,
  kBidiOther,
};
enum Joining : uint8_t { kJoinNone, kJoinL, kJoinD, kJoinT, kJoinR };

constexpr uint32_t bit(Bidi b) { return 1u << b; }

// The last entry whose start is at most cp.
template <class Entry, size_t N>
const Entry& find(const Entry (&table)[N], char32_t cp) noexcept {
  size_t low = 0, high = N;  // table[low].start <= cp < table[high].start
  while (high - low > 1) {
    size_t middle = (low + high) / 2;
    if (table[middle].start <= cp) {
      low = middle;
    } else {
      high = middle;
    }
  }
  return table[low];
}

unsigned props(char32_t cp) noexcept { return find(kProps, cp).value; }
Bidi bidi_of(char32_t cp) noexcept { return static_cast<Bidi>(props(cp) & 15); }
bool is_mark(char32_t cp) noexcept { return props(cp) & 16; }
bool is_virama(char32_t cp) noexcept { return props(cp) & 32; }
Joining joining_of(char32_t cp) noexcept { return static_cast<Joining>(props(cp) >> 6 & 7); }
unsigned status_of(char32_t cp) noexcept { return find(kMap, cp).info & 3; }

using Codes = Vector<char32_t>;

PyObject* normalize = nullptr;  // unicodedata.normalize, held for good
PyObject* nfc = nullptr;        // "NFC"

// Decodes UTF-8; false for an invalid sequence (or no memory: *memory set).
bool decode_utf8(std::string_view in, Codes& out, bool* memory) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(in.data());
  const auto* end = p + in.size();
  if (!out.reserve(in.size())) return !(*memory = true);
  while (p < end) {
    uint32_t c;
    const int length = text::utf8_sequence(p, end, &c);
    if (length == 0) return false;
    p += length;
    (void)out.push_back(c);  // reserved
  }
  return true;
}

// NFC in place.  1 done, -1 exception set.
int to_nfc(Codes& codes) noexcept {
  bool simple = true;
  for (char32_t c : codes) simple = simple && c < 0x300;
  if (simple) return 1;
  if (normalize == nullptr) {
    PyErr_SetString(PyExc_SystemError, "gco::idna::prepare() was not called");
    return -1;
  }
  Ref text = steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, codes.data(),
                                             static_cast<Py_ssize_t>(codes.size())));
  if (!text) return -1;
  Ref normal = steal(PyObject_CallFunctionObjArgs(normalize, nfc, text.get(), nullptr));
  if (!normal) return -1;
  if (!PyUnicode_Check(normal.get())) {
    PyErr_SetString(PyExc_TypeError, "unicodedata.normalize did not return a str");
    return -1;
  }
  Py_ssize_t n = PyUnicode_GET_LENGTH(normal.get());
  if (!codes.resize(static_cast<size_t>(n))) {
    no_memory();
    return -1;
  }
  for (Py_ssize_t i = 0; i < n; i++)
    codes[static_cast<size_t>(i)] = PyUnicode_READ_CHAR(normal.get(), i);
  return 1;
}

// Punycode (RFC 3492).
constexpr uint32_t kBase = 36, kTmin = 1, kTmax = 26, kSkew = 38, kDamp = 700;
constexpr uint32_t kInitialBias = 72, kInitialN = 128;

uint32_t adapt(uint32_t delta, uint32_t points, bool first) noexcept {
  delta = first ? delta / kDamp : delta / 2;
  delta += delta / points;
  uint32_t k = 0;
  while (delta > ((kBase - kTmin) * kTmax) / 2) {
    delta /= kBase - kTmin;
    k += kBase;
  }
  return k + (kBase - kTmin + 1) * delta / (delta + kSkew);
}

int digit_value(char32_t c) noexcept {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0' + 26);
  if (c >= 'a' && c <= 'z') return static_cast<int>(c - 'a');
  if (c >= 'A' && c <= 'Z') return static_cast<int>(c - 'A');
  return -1;
}

char digit_char(uint32_t d) noexcept { return static_cast<char>(d < 26 ? 'a' + d : '0' + d - 26); }

// Decodes the ASCII input; false when it is no valid Punycode (or no
// memory: *memory set).
bool punycode_decode(const char32_t* in, size_t size, Codes& out, bool* memory) noexcept {
  size_t basic = 0;
  for (size_t j = size; j > 0; j--) {
    if (in[j - 1] == '-') {
      basic = j - 1;
      break;
    }
  }
  if (!out.reserve(size)) return !(*memory = true);
  for (size_t j = 0; j < basic; j++) {
    if (in[j] >= 0x80) return false;
    (void)out.push_back(in[j]);
  }
  uint32_t n = kInitialN, bias = kInitialBias;
  uint64_t i = 0;
  for (size_t at = basic > 0 ? basic + 1 : 0; at < size;) {
    uint64_t old_i = i, w = 1;
    for (uint32_t k = kBase;; k += kBase) {
      if (at >= size) return false;
      int digit = digit_value(in[at++]);
      if (digit < 0) return false;
      i += static_cast<uint64_t>(digit) * w;
      if (i > 0x7FFFFFFF) return false;
      uint32_t t = k <= bias ? kTmin : k >= bias + kTmax ? kTmax : k - bias;
      if (static_cast<uint32_t>(digit) < t) break;
      w *= kBase - t;
      if (w > 0x7FFFFFFF) return false;
    }
    uint32_t points = static_cast<uint32_t>(out.size()) + 1;
    bias = adapt(static_cast<uint32_t>(i - old_i), points, old_i == 0);
    n += static_cast<uint32_t>(i / points);
    i %= points;
    if (n > 0x10FFFF || (n >= 0xD800 && n <= 0xDFFF)) return false;
    if (!out.insert(static_cast<size_t>(i), static_cast<char32_t>(n))) {
      return !(*memory = true);
    }
    i++;
  }
  return true;
}

bool punycode_encode(const char32_t* in, size_t size, String& out) noexcept {
  uint32_t basic = 0;
  for (size_t j = 0; j < size; j++) {
    if (in[j] < 0x80) {
      if (!out.push_back(static_cast<char>(in[j]))) return false;
      basic++;
    }
  }
  if (basic > 0 && !out.push_back('-')) return false;
  uint32_t n = kInitialN, bias = kInitialBias, handled = basic;
  uint64_t delta = 0;
  while (handled < size) {
    char32_t m = 0x10FFFF;
    for (size_t j = 0; j < size; j++) {
      if (in[j] >= n && in[j] < m) m = in[j];
    }
    delta += static_cast<uint64_t>(m - n) * (handled + 1);
    n = m;
    for (size_t j = 0; j < size; j++) {
      if (in[j] < n) delta++;
      if (in[j] == n) {
        uint64_t q = delta;
        for (uint32_t k = kBase;; k += kBase) {
          uint32_t t = k <= bias ? kTmin : k >= bias + kTmax ? kTmax : k - bias;
          if (q < t) break;
          if (!out.push_back(digit_char(static_cast<uint32_t>(t + (q - t) % (kBase - t))))) {
            return false;
          }
          q = (q - t) / (kBase - t);
        }
        if (!out.push_back(digit_char(static_cast<uint32_t>(q)))) return false;
        bias = adapt(static_cast<uint32_t>(delta), handled + 1, handled == basic);
        delta = 0;
        handled++;
      }
    }
    delta++;
    n++;
  }
  return true;
}

// The contextual rules of the two joiners (RFC 5892, appendix A.1 and A.2).
bool joiners_ok(const char32_t* label, size_t size) noexcept {
  for (size_t i = 0; i < size; i++) {
    if (label[i] != 0x200C && label[i] != 0x200D) continue;
    if (i == 0) return false;
    if (is_virama(label[i - 1])) continue;
    if (label[i] == 0x200D) return false;
    size_t j = i;
    Joining type = kJoinT;
    while (j > 0 && (type = joining_of(label[--j])) == kJoinT) {
    }
    if (type != kJoinL && type != kJoinD) return false;
    type = kJoinT;
    j = i + 1;
    while (j < size && (type = joining_of(label[j++])) == kJoinT) {
    }
    if (type != kJoinR && type != kJoinD) return false;
  }
  return true;
}

// The Bidi rule (RFC 5893, section 2) for one label; *rtl tells whether the
// label holds a right-to-left character (R, AL or AN).
bool bidi_ok(const char32_t* label, size_t size, bool* rtl) noexcept {
  uint32_t all = 0;
  for (size_t i = 0; i < size; i++) all |= bit(bidi_of(label[i]));
  *rtl = all & (bit(kBidiR) | bit(kBidiAL) | bit(kBidiAN));
  Bidi first = bidi_of(label[0]);
  size_t last_at = size;
  while (last_at > 1 && bidi_of(label[last_at - 1]) == kBidiNSM) last_at--;
  uint32_t last = bit(bidi_of(label[last_at - 1]));
  constexpr uint32_t kNeutral =
      bit(kBidiES) | bit(kBidiCS) | bit(kBidiET) | bit(kBidiON) | bit(kBidiBN) | bit(kBidiNSM);
  if (first == kBidiL) {
    return (last & (bit(kBidiL) | bit(kBidiEN))) &&
           !(all & ~(bit(kBidiL) | bit(kBidiEN) | kNeutral));
  }
  if (first != kBidiR && first != kBidiAL) return false;
  constexpr uint32_t kNumbers = bit(kBidiEN) | bit(kBidiAN);
  return (last & (bit(kBidiR) | bit(kBidiAL) | kNumbers)) &&
         !(all & ~(bit(kBidiR) | bit(kBidiAL) | kNumbers | kNeutral)) &&
         (all & kNumbers) != kNumbers;
}

bool starts_with_xn(const char32_t* label, size_t size) noexcept {
  return size >= 4 && label[0] == 'x' && label[1] == 'n' && label[2] == '-' && label[3] == '-';
}

}  // namespace

bool prepare() noexcept {
  if (normalize != nullptr) return true;
  Ref module = steal(PyImport_ImportModule("unicodedata"));
  if (!module) return false;
  Ref function = steal(PyObject_GetAttrString(module.get(), "normalize"));
  if (!function) return false;
  nfc = PyUnicode_InternFromString("NFC");
  if (nfc == nullptr) return false;
  normalize = function.transfer();
  return true;
}

const char* unicode_version() noexcept { return kUnicodeVersion; }

int to_ascii(std::string_view domain, String& out) noexcept {
  bool memory = false;
  Codes input;
  if (!decode_utf8(domain, input, &memory)) return memory ? (no_memory(), -1) : 0;
  // Mapping: a disallowed code point fails the domain.
  Codes codes;
  if (!codes.reserve(input.size())) return no_memory(), -1;
  for (char32_t c : input) {
    const MapEntry& entry = find(kMap, c);
    switch (entry.info & 3) {
      case 0:
        if (!codes.push_back(c)) return no_memory(), -1;
        break;
      case 1:
        for (uint32_t k = 0; k < (entry.info >> 2 & 31); k++) {
          if (!codes.push_back(kMapPool[(entry.info >> 7) + k])) return no_memory(), -1;
        }
        break;
      case 2:
        break;
      default:
        return 0;
    }
  }
  if (to_nfc(codes) < 0) return -1;
  const size_t start = out.size();
  bool bidi_domain = false, bidi_fine = true;
  Codes decoded;
  for (size_t begin = 0; begin <= codes.size();) {
    size_t end = begin;
    while (end < codes.size() && codes[end] != '.') end++;
    const char32_t* label = codes.data() + begin;
    size_t size = end - begin;
    if (begin > 0 && !out.push_back('.')) return no_memory(), -1;
    if (size > 0) {
      const char32_t* checked = label;
      size_t checked_size = size;
      bool ascii = true;
      for (size_t i = 0; i < size; i++) ascii = ascii && label[i] < 0x80;
      if (starts_with_xn(label, size)) {
        // An A-label: its decoded form must be a valid U-label, unchanged
        // by the mapping and NFC, that does not begin with "xn--" again.
        if (!ascii || size == 4 || (size > 5 && label[size - 1] == '-')) return 0;
        decoded.clear();
        if (!punycode_decode(label + 4, size - 4, decoded, &memory)) {
          return memory ? (no_memory(), -1) : 0;
        }
        if (decoded.empty() || starts_with_xn(decoded.data(), decoded.size())) return 0;
        Codes copy;
        if (!copy.reserve(decoded.size())) return no_memory(), -1;
        for (char32_t c : decoded) {
          if (c == '.' || status_of(c) != 0) return 0;
          (void)copy.push_back(c);
        }
        if (to_nfc(copy) < 0) return -1;
        if (copy.size() != decoded.size()) return 0;
        for (size_t i = 0; i < copy.size(); i++) {
          if (copy[i] != decoded[i]) return 0;
        }
        checked = decoded.data();
        checked_size = decoded.size();
      }
      if (is_mark(checked[0]) || !joiners_ok(checked, checked_size)) return 0;
      bool rtl = false;
      bidi_fine = bidi_ok(checked, checked_size, &rtl) && bidi_fine;
      bidi_domain = bidi_domain || rtl;
      if (ascii) {
        for (size_t i = 0; i < size; i++) {
          if (!out.push_back(static_cast<char>(label[i]))) return no_memory(), -1;
        }
      } else if (!out.append("xn--") || !punycode_encode(label, size, out)) {
        return no_memory(), -1;
      }
    }
    begin = end + 1;
  }
  if (bidi_domain && !bidi_fine) return 0;
  return out.size() > start ? 1 : 0;
}

}  // namespace gco::idna
