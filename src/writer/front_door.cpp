// set_cookie_header and delete_cookie_header: one Set-Cookie header value
// made from what web frameworks pass (a lifetime as an int or a timedelta,
// an expiry as a datetime or a POSIX timestamp, SameSite as text), written
// in one pass and then run through a browser's steps, so that what is
// returned is what a browser keeps.
#include <Python.h>
#include <datetime.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>

#include "browser_rules.hpp"
#include "buffer.hpp"
#include "frame.hpp"
#include "memory.hpp"
#include "percent.hpp"
#include "url.hpp"
#include "writer.hpp"

namespace gco {

namespace {

// CookieSameSiteMode, taken from the cookies module at exec (a strong
// reference, held for the life of the process).
PyObject* same_site_type = nullptr;

GCO_STR(str_utcoffset, "utcoffset");

// Expiry bounds in seconds since 1970: 1601-01-01 00:00:00 (the cookie-date
// epoch) and 9999-12-31 23:59:59 UTC.
constexpr int64_t kFirstSecond = -11644473600LL;
constexpr int64_t kLastSecond = civil::kLatestSecond;
constexpr int64_t kDay = 86400;

enum class Encoding { kAuto, kPercent, kRaw };

// Everything a header is written from, read and checked first.
struct Parts {
  const char* name = nullptr;
  Py_ssize_t name_size = 0;
  PyObject* name_object = nullptr;  // for the raw encoding's messages
  const char* value = "";
  Py_ssize_t value_size = 0;
  PyObject* value_object = nullptr;
  bool has_expiry = false;
  int64_t expiry = 0;    // seconds since 1970, UTC
  int64_t max_age = -1;  // seconds; negative: none
  const char* domain = nullptr;
  Py_ssize_t domain_size = 0;
  const char* path = nullptr;
  Py_ssize_t path_size = 0;
  bool secure = false, http_only = false, partitioned = false;
  uint32_t same_site = 0;  // the CookieSameSiteMode number
  Priority priority;
  Encoding encoding = Encoding::kAuto;
};

bool wrong_type(const char* param, const char* accepted, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "%s must be %s, not %.200s", param, accepted,
               Py_TYPE(got)->tp_name);
  return false;
}

// A str, or a subclass read as its plain text, as UTF-8 held by the object.
bool read_text(PyObject* obj, const char* param, const char* accepted, const char** data,
               Py_ssize_t* size) {
  if (!PyUnicode_Check(obj)) return wrong_type(param, accepted, obj);
  *data = PyUnicode_AsUTF8AndSize(obj, size);
  return *data != nullptr;
}

// None (or omitted) is no text; the default is kept.
bool read_optional_text(PyObject* obj, const char* param, const char** data, Py_ssize_t* size) {
  if (obj == nullptr) return true;
  if (obj == Py_None) {
    *data = nullptr;
    *size = 0;
    return true;
  }
  return read_text(obj, param, "a str or None", data, size);
}

bool read_flag(PyObject* obj, bool* out) {
  const int value = obj == nullptr ? 0 : truth(obj);
  *out = value > 0;
  return value >= 0;
}

bool read_max_age(PyObject* obj, int64_t* seconds) {
  if (obj == nullptr || obj == Py_None) return true;
  if (PyLong_Check(obj) && !PyBool_Check(obj)) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow > 0) {
      PyErr_SetString(PyExc_ValueError, "max_age is too large: at most 2**63 - 1 seconds");
      return false;
    }
    if (overflow < 0 || value < 0) {
      PyErr_Format(PyExc_ValueError, "max_age must be zero or more seconds, not %lld",
                   overflow < 0 ? static_cast<long long>(INT64_MIN) : value);
      return false;
    }
    *seconds = value;
    return true;
  }
  if (PyDelta_Check(obj)) {
    const int days = PyDateTime_DELTA_GET_DAYS(obj);
    if (days < 0) {
      PyErr_SetString(PyExc_ValueError,
                      "max_age must be zero or more seconds, not a negative "
                      "timedelta");
      return false;
    }
    // Whole seconds, the fraction dropped.
    *seconds = days * kDay + PyDateTime_DELTA_GET_SECONDS(obj);
    return true;
  }
  return wrong_type("max_age", "an int, a timedelta or None", obj);
}

bool expiry_out_of_range() {
  PyErr_SetString(PyExc_ValueError,
                  "expires must fall between the years 1601 and 9999 (UTC), the dates a "
                  "Set-Cookie header can carry");
  return false;
}

int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

// A datetime's fields, less its UTC offset, in microseconds since 1970.
// A naive datetime is read as UTC.
bool datetime_instant(PyObject* when, int64_t* microseconds) {
  const int64_t days = days_from_civil(PyDateTime_GET_YEAR(when), PyDateTime_GET_MONTH(when),
                                       PyDateTime_GET_DAY(when));
  int64_t local = days * kDay * 1000000;
  if (PyDateTime_Check(when)) {
    local += ((PyDateTime_DATE_GET_HOUR(when) * 60LL + PyDateTime_DATE_GET_MINUTE(when)) * 60 +
              PyDateTime_DATE_GET_SECOND(when)) *
                 1000000 +
             PyDateTime_DATE_GET_MICROSECOND(when);
    PyObject* tz = PyDateTime_DATE_GET_TZINFO(when);
    if (tz != Py_None && tz != PyDateTime_TimeZone_UTC) {
      // The zone's own utcoffset(), as datetime.utcoffset() asks it; its
      // code may run, and the datetime (held by the caller) keeps the zone.
      Ref zone = incref(tz);
      Ref offset = steal(PyObject_CallMethodOneArg(zone.get(), str_utcoffset.get(), when));
      if (!offset) return false;
      if (offset.get() != Py_None) {
        if (!PyDelta_Check(offset.get())) {
          return wrong_type("expires.utcoffset()", "a timedelta or None", offset.get());
        }
        const int64_t offset_us = (PyDateTime_DELTA_GET_DAYS(offset.get()) * kDay +
                                   PyDateTime_DELTA_GET_SECONDS(offset.get())) *
                                      1000000 +
                                  PyDateTime_DELTA_GET_MICROSECONDS(offset.get());
        if (offset_us <= -kDay * 1000000 || offset_us >= kDay * 1000000) {
          PyErr_SetString(PyExc_ValueError,
                          "expires.utcoffset() must be strictly between -24 and 24 hours");
          return false;
        }
        local -= offset_us;
      }
    }
  }
  *microseconds = local;
  return true;
}

bool read_expires(PyObject* obj, Parts& parts) {
  if (obj == nullptr || obj == Py_None) return true;
  int64_t seconds = 0;
  if (PyLong_Check(obj) && !PyBool_Check(obj)) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0) return expiry_out_of_range();
    seconds = value;
  } else if (PyFloat_Check(obj)) {
    const double value = PyFloat_AS_DOUBLE(obj);
    if (!std::isfinite(value)) {
      PyErr_SetString(PyExc_ValueError, "expires must be a finite timestamp");
      return false;
    }
    const double whole = std::floor(value);
    if (whole < static_cast<double>(kFirstSecond) || whole > static_cast<double>(kLastSecond)) {
      return expiry_out_of_range();
    }
    seconds = static_cast<int64_t>(whole);
  } else if (Py_IS_TYPE(obj, PyDateTimeAPI->DateTimeType) || PyDate_Check(obj)) {
    int64_t microseconds = 0;
    if (!datetime_instant(obj, &microseconds)) return false;
    seconds = floor_div(microseconds, 1000000);
  } else {
    return wrong_type("expires", "a datetime, a date, an int or float POSIX timestamp, or None",
                      obj);
  }
  if (seconds < kFirstSecond || seconds > kLastSecond) return expiry_out_of_range();
  parts.has_expiry = true;
  parts.expiry = seconds;
  return true;
}

// Equal to a lower-case ASCII word in any letter case.
bool is_word(const char* data, Py_ssize_t size, const char* word) {
  const Py_ssize_t length = static_cast<Py_ssize_t>(std::strlen(word));
  if (size != length) return false;
  for (Py_ssize_t i = 0; i < size; i++) {
    char c = data[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

bool read_same_site(PyObject* obj, uint32_t* mode) {
  if (obj == nullptr || obj == Py_None) return true;
  if (!PyUnicode_Check(obj) &&
      PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(same_site_type))) {
    const long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || value > 3) {
      PyErr_Format(PyExc_ValueError, "same_site must be one CookieSameSiteMode, not %ld", value);
      return false;
    }
    *mode = static_cast<uint32_t>(value);
    return true;
  }
  if (!PyUnicode_Check(obj)) {
    return wrong_type("same_site", "'lax', 'strict', 'none', a CookieSameSiteMode or None", obj);
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  static const char* const kModes[] = {"lax", "strict", "none"};
  for (uint32_t i = 0; i < 3; i++) {
    if (is_word(data, size, kModes[i])) {
      *mode = i + 1;
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError,
               "same_site must be 'lax', 'strict' or 'none' (in any letter case), a "
               "CookieSameSiteMode or None, not '%.200s'",
               data);
  return false;
}

bool read_encoding(PyObject* obj, Encoding* encoding) {
  if (obj == nullptr) return true;
  const char* data = nullptr;
  Py_ssize_t size = 0;
  if (!read_text(obj, "encoding", "'auto', 'percent' or 'raw'", &data, &size)) return false;
  static const char* const kNames[] = {"auto", "percent", "raw"};
  for (int i = 0; i < 3; i++) {
    if (std::strlen(kNames[i]) == static_cast<size_t>(size) &&
        std::memcmp(data, kNames[i], size) == 0) {
      *encoding = static_cast<Encoding>(i);
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "encoding must be 'auto', 'percent' or 'raw', not '%.200s'", data);
  return false;
}

// -- writing ------------------------------------------------------------------

// An HTTP token character (RFC 9110 section 5.6.2).
constexpr bool is_token_byte(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  for (char s : std::string_view("!#$%&'*+-.^_`|~")) {
    if (c == static_cast<unsigned char>(s)) return true;
  }
  return false;
}

// A cookie-octet (RFC 6265 section 4.1.1): printable ASCII but for space,
// DQUOTE, comma, semicolon and backslash.
constexpr bool is_cookie_octet(unsigned char c) {
  return c >= 0x21 && c <= 0x7E && c != '"' && c != ',' && c != ';' && c != '\\';
}

constexpr auto kTokenBytes = [] {
  struct Table {
    bool token[256];
    bool octet[256];
  } table{};
  for (int c = 0; c < 256; c++) {
    table.token[c] = is_token_byte(static_cast<unsigned char>(c));
    table.octet[c] = is_cookie_octet(static_cast<unsigned char>(c));
  }
  return table;
}();

// The index of the first byte outside the set (or '%'), or -1.
Py_ssize_t first_outside(const char* data, Py_ssize_t size, const bool (&set)[256]) {
  for (Py_ssize_t i = 0; i < size; i++) {
    const unsigned char c = static_cast<unsigned char>(data[i]);
    if (!set[c] || c == '%') return i;
  }
  return -1;
}

// encoding='raw' refused this part: the offending character and where it is.
void refuse_raw(PyObject* text, const char* data, Py_ssize_t byte_index, const char* part,
                const char* rule) {
  // The character index: the UTF-8 sequences that start before the byte.
  Py_ssize_t index = 0;
  for (Py_ssize_t i = 0; i < byte_index; i++) index += (data[i] & 0xC0) != 0x80;
  const Py_UCS4 c = PyUnicode_READ_CHAR(text, index);
  Ref shown = steal(PyUnicode_FromOrdinal(c));
  if (!shown) return;
  // PyErr_Format reads %X from 3.12 on.
  char code[16];
  PyOS_snprintf(code, sizeof code, "%04X", static_cast<unsigned>(c));
  PyErr_Format(PyExc_ValueError,
               "encoding='raw' writes the %s unchanged, and %s: %R (U+%s) at position %zd "
               "is not; use encoding='auto' or 'percent'",
               part, rule, shown.get(), code, index);
}

void refuse_semicolon(const char* attribute) {
  PyErr_Format(PyExc_ValueError,
               "WriterRefuses: the %s holds ';', which would end the attribute in a "
               "Set-Cookie header",
               attribute);
}

template <size_t N>
bool append(ByteBuffer& out, const char (&literal)[N]) {
  return out.append_literal(literal);
}

// The path as browsers send request paths (a cookie's Path is matched
// against those as written): read as a url's path is read.  One that does
// not start with "/" or holds a control character is written as given, for
// the browser rules to refuse.
bool append_path(ByteBuffer& out, const char* data, Py_ssize_t size) {
  const std::string_view path(data, static_cast<size_t>(size));
  const bool control = std::any_of(path.begin(), path.end(),
                                   [](char c) { return c == 0x7F || (c >= 0 && c < 0x20); });
  if (path.empty() || path[0] != '/' || control) return out.append(data, size);
  String canonical;
  if (!url::canonical_path(path, canonical)) return no_memory();
  return out.append(canonical.data(), static_cast<Py_ssize_t>(canonical.size()));
}

// "Wdy, DD Mon YYYY HH:MM:SS GMT" for a second within the years 1601-9999.
constexpr Py_ssize_t kDateSize = 29;
void write_date_text(char* out, int64_t seconds) {
  static constexpr char kWeekdays[] = "ThuFriSatSunMonTueWed";  // from 1970-01-01
  static constexpr char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  const int64_t days = floor_div(seconds, kDay);
  const int64_t second_of_day = seconds - days * kDay;
  int64_t year = 0;
  unsigned month = 0, day = 0;
  civil_from_days(days, &year, &month, &day);
  const int64_t weekday = ((days % 7) + 7) % 7;
  auto two = [](char* p, int64_t v) {
    p[0] = static_cast<char>('0' + v / 10);
    p[1] = static_cast<char>('0' + v % 10);
  };
  std::memcpy(out, kWeekdays + 3 * weekday, 3);
  out[3] = ',';
  out[4] = ' ';
  two(out + 5, day);
  out[7] = ' ';
  std::memcpy(out + 8, kMonths + 3 * (month - 1), 3);
  out[11] = ' ';
  two(out + 12, year / 100);
  two(out + 14, year % 100);
  out[16] = ' ';
  two(out + 17, second_of_day / 3600);
  out[19] = ':';
  two(out + 20, second_of_day / 60 % 60);
  out[22] = ':';
  two(out + 23, second_of_day % 60);
  std::memcpy(out + 25, " GMT", 4);
}

// A server writes the same expiry many times within a second: the last
// date written is kept.
void write_date(char* out, int64_t seconds) {
  static int64_t last_seconds = INT64_MIN;
  static char last_text[kDateSize];
  if (seconds != last_seconds) {
    write_date_text(last_text, seconds);
    last_seconds = seconds;
  }
  std::memcpy(out, last_text, kDateSize);
}

bool append_number(ByteBuffer& out, int64_t value) {
  char digits[20];
  char* first = digits + sizeof digits;
  uint64_t v = static_cast<uint64_t>(value);
  do {
    *--first = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  return out.append(first, digits + sizeof digits - first);
}

// A written name that starts with a prefix browsers tie to Secure.
bool has_secure_prefix(const char* name, Py_ssize_t size) {
  if (size < 7 || name[0] != '_' || name[1] != '_') return false;
  for (const char* prefix : {"__secure-", "__host-", "__http-"}) {
    const Py_ssize_t length = static_cast<Py_ssize_t>(std::strlen(prefix));
    if (size >= length && is_word(name, length, prefix)) return true;
  }
  return false;
}

PyObject* write_header(const Parts& p, bool deletion) {
  ByteBuffer out;
  // name=value, each unchanged or percent-encoded.  In auto mode the name
  // and the value are judged apart: a token name is written as it is
  // whatever the value, so that the deletion header (an empty value) names
  // the very cookie that was set.
  bool plain_name = p.encoding == Encoding::kRaw;
  bool plain_value = plain_name;
  if (p.encoding != Encoding::kPercent) {
    const Py_ssize_t bad_name = first_outside(p.name, p.name_size, kTokenBytes.token);
    const Py_ssize_t bad_value = first_outside(p.value, p.value_size, kTokenBytes.octet);
    if (plain_name && bad_name >= 0) {
      refuse_raw(p.name_object, p.name, bad_name, "name",
                 "a name must be an HTTP token without '%'");
      return nullptr;
    }
    if (plain_value && bad_value >= 0) {
      refuse_raw(p.value_object, p.value, bad_value, "value",
                 "a value may hold only the cookie-octets of RFC 6265 section 4.1.1, "
                 "without '%'");
      return nullptr;
    }
    plain_name = bad_name < 0;
    plain_value = bad_value < 0;
  }
  if (plain_name ? !out.append(p.name, p.name_size) : !quote_utf8_into(out, p.name, p.name_size)) {
    return nullptr;
  }
  if (!append(out, "=")) return nullptr;
  const Py_ssize_t value_begin = out.size();
  if (plain_value ? !out.append(p.value, p.value_size)
                  : !quote_utf8_into(out, p.value, p.value_size)) {
    return nullptr;
  }
  const Py_ssize_t value_end = out.size();
  const bool secure =
      p.secure || p.partitioned || p.same_site == 3 || has_secure_prefix(out.data(), out.size());

  if (deletion) {
    if (!append(out, "; Expires=Thu, 01 Jan 1970 00:00:00 GMT; Max-Age=0")) return nullptr;
  } else {
    if (p.has_expiry) {
      char* at = out.claim(10 + kDateSize);
      if (at == nullptr) return nullptr;
      std::memcpy(at, "; Expires=", 10);
      write_date(at + 10, p.expiry);
      out.commit(10 + kDateSize);
    }
    if (p.max_age >= 0 && (!append(out, "; Max-Age=") || !append_number(out, p.max_age))) {
      return nullptr;
    }
  }
  if (p.domain_size > 0) {
    if (std::memchr(p.domain, ';', static_cast<size_t>(p.domain_size))) {
      refuse_semicolon("domain");
      return nullptr;
    }
    if (!append(out, "; Domain=") || !out.append(p.domain, p.domain_size)) return nullptr;
  }
  if (p.path_size > 0) {
    if (std::memchr(p.path, ';', static_cast<size_t>(p.path_size))) {
      refuse_semicolon("path");
      return nullptr;
    }
    if (!append(out, "; Path=") || !append_path(out, p.path, p.path_size)) return nullptr;
  }
  bool ok = (!p.http_only || append(out, "; HttpOnly")) && (!secure || append(out, "; Secure"));
  if (ok && p.same_site == 1) ok = append(out, "; SameSite=Lax");
  if (ok && p.same_site == 2) ok = append(out, "; SameSite=Strict");
  if (ok && p.same_site == 3) ok = append(out, "; SameSite=None");
  if (ok && p.partitioned) ok = append(out, "; Partitioned");
  if (ok && p.priority.text != nullptr) {
    ok = append(out, "; Priority=") && out.append(p.priority.text, p.priority.size);
  }
  if (!ok || !check_browser_keeps(out.data(), out.size(), value_begin, value_end)) return nullptr;
  return out.to_bytes();
}

// The arguments the two functions share, from name on: name, then the
// keywords path, domain, secure, http_only, same_site, partitioned and
// encoding at the given places.
struct Shared {
  int path, domain, secure, http_only, same_site, partitioned, encoding;
};

bool read_shared(PyObject* const* args, const Shared& at, Parts& p) {
  p.name_object = args[0];
  if (!read_text(args[0], "name", "a str", &p.name, &p.name_size)) return false;
  if (p.name_size == 0) {
    PyErr_SetString(PyExc_ValueError, "name must not be empty");
    return false;
  }
  p.path = "/";
  p.path_size = 1;
  return read_optional_text(args[at.path], "path", &p.path, &p.path_size) &&
         read_optional_text(args[at.domain], "domain", &p.domain, &p.domain_size) &&
         read_flag(args[at.secure], &p.secure) && read_flag(args[at.http_only], &p.http_only) &&
         read_same_site(args[at.same_site], &p.same_site) &&
         read_flag(args[at.partitioned], &p.partitioned) &&
         read_encoding(args[at.encoding], &p.encoding);
}

}  // namespace

// set_cookie_header(name, value="", *, max_age=None, expires=None, path="/",
//     domain=None, secure=False, http_only=False, same_site=None,
//     partitioned=False, priority=None, encoding="auto")
PyObject* set_cookie_header(PyObject* /*module*/, PyObject* const* args) {
  Parts p;
  if (!read_shared(args, {4, 5, 6, 7, 8, 9, 11}, p)) return nullptr;
  if (args[1] != nullptr) {
    p.value_object = args[1];
    if (!read_text(args[1], "value", "a str", &p.value, &p.value_size)) return nullptr;
  }
  if (!read_max_age(args[2], &p.max_age) || !read_expires(args[3], p) ||
      !priority_from_object(args[10], &p.priority)) {
    return nullptr;
  }
  return write_header(p, false);
}

// delete_cookie_header(name, *, path="/", domain=None, secure=False,
//     http_only=False, same_site=None, partitioned=False, encoding="auto")
PyObject* delete_cookie_header(PyObject* /*module*/, PyObject* const* args) {
  Parts p;
  if (!read_shared(args, {1, 2, 3, 4, 5, 6, 7}, p)) return nullptr;
  return write_header(p, true);
}

bool front_door_exec(PyObject* /*module*/) {
  if (same_site_type != nullptr) return true;
  PyDateTime_IMPORT;
  if (PyDateTimeAPI == nullptr) return false;
  Ref cookies = steal(PyImport_ImportModule("glimmering_copper_otter.cookies"));
  if (!cookies) return false;
  same_site_type = PyObject_GetAttrString(cookies.get(), "CookieSameSiteMode");
  if (same_site_type != nullptr && !PyType_Check(same_site_type)) {
    Py_CLEAR(same_site_type);
    PyErr_SetString(PyExc_TypeError, "CookieSameSiteMode is not a type");
  }
  return same_site_type != nullptr;
}

}  // namespace gco
