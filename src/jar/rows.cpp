// Rows: a stored cookie as a tuple of exact builtin types, and back.
#include "rows.hpp"

#include <string_view>

#include "ref.hpp"

namespace gco::jar {

namespace {

// Years 1 to 9999, the times a jar keeps.
constexpr long long kEarliestTime = -62135596800LL * kSecond;
constexpr long long kLatestTime = 253402300799LL * kSecond + 999999;
// Chromium's limits on what a cookie holds (ParsedCookie).
constexpr size_t kMaxNameValue = 4096;
constexpr size_t kMaxAttribute = 1024;

enum Field : int {
  kName,
  kValue,
  kDomain,
  kHostOnly,
  kPath,
  kExpires,
  kCreation,
  kLastAccess,
  kSecure,
  kHttpOnly,
  kSameSite,
  kPartitioned,
  kPartitionKey,
  kPriority,
  kSourceScheme,
  kSourcePort,
  kPersistent,
  kCrossSiteAncestor,
  kFieldCount
};

const char* const kFieldNames[kFieldCount] = {
    "raw_name",      "raw_value",   "domain",
    "host_only",     "path",        "expires",
    "creation",      "last_access", "secure",
    "http_only",     "same_site",   "partitioned",
    "partition_key", "priority",    "source_scheme",
    "source_port",   "persistent",  "cross_site_ancestor"};

PyObject* text_object(std::string_view s) {
  return PyUnicode_DecodeLatin1(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}

PyObject* bytes_object(std::string_view s) {
  return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* flag(bool b) { return Py_NewRef(b ? Py_True : Py_False); }

// A new tuple of count items, each a new reference or null (all released
// when one is null).
PyObject* tuple_of(PyObject** items, Py_ssize_t count) {
  bool ok = true;
  for (Py_ssize_t i = 0; i < count; i++) ok = ok && items[i] != nullptr;
  if (!ok) {
    for (Py_ssize_t i = 0; i < count; i++) Py_XDECREF(items[i]);
    return nullptr;
  }
  PyObject* tuple = PyTuple_New(count);
  if (tuple == nullptr) {
    for (Py_ssize_t i = 0; i < count; i++) Py_DECREF(items[i]);
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < count; i++) PyTuple_SET_ITEM(tuple, i, items[i]);
  return tuple;
}

// Reading a row: each item of an exact type, in range; errors name the
// row and the field.
struct Reader {
  PyObject* row;
  Py_ssize_t index;

  PyObject* item(int field) const { return PyTuple_GET_ITEM(row, field); }

  bool fail(PyObject* type, int field, const char* what) const {
    PyErr_Format(type, "row %zd: field %s %s", index, kFieldNames[field], what);
    return false;
  }
  bool wrong_type(int field, const char* expected) const {
    PyErr_Format(PyExc_TypeError, "row %zd: field %s must be %s, not %.200s", index,
                 kFieldNames[field], expected, Py_TYPE(item(field))->tp_name);
    return false;
  }

  bool bytes(int field, std::string_view& out) const {
    PyObject* o = item(field);
    if (!PyBytes_CheckExact(o)) return wrong_type(field, "bytes");
    out = {PyBytes_AS_STRING(o), static_cast<size_t>(PyBytes_GET_SIZE(o))};
    return true;
  }
  bool ascii(int field, std::string_view& out) const {
    PyObject* o = item(field);
    if (!PyUnicode_CheckExact(o)) return wrong_type(field, "str");
    if (!PyUnicode_IS_ASCII(o)) return fail(PyExc_ValueError, field, "must be ASCII");
    out = {static_cast<const char*>(PyUnicode_DATA(o)),
           static_cast<size_t>(PyUnicode_GET_LENGTH(o))};
    return true;
  }
  bool boolean(int field, bool& out) const {
    PyObject* o = item(field);
    if (o != Py_True && o != Py_False) return wrong_type(field, "bool");
    out = o == Py_True;
    return true;
  }
  bool integer(int field, long long low, long long high, long long& out) const {
    PyObject* o = item(field);
    if (!PyLong_CheckExact(o)) return wrong_type(field, "int");
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (out == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || out < low || out > high) {
      PyErr_Format(PyExc_ValueError, "row %zd: field %s must be from %lld to %lld", index,
                   kFieldNames[field], low, high);
      return false;
    }
    return true;
  }
};

// Bytes a cookie never holds, as Chromium reads them: control characters
// but a tab, and ";" (and "=" in a name); a path holds no tab either.
bool clean(std::string_view s, bool name, bool path) {
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    if ((c < 0x20 && (c != '\t' || path)) || c == 0x7F || c == ';' || (name && c == '=')) {
      return false;
    }
  }
  return true;
}

// A domain as a jar keeps it: lower-case ASCII labels of letters, digits,
// "-" and "_", or an IPv6 address in brackets.
bool good_domain(std::string_view d) {
  if (d.empty() || d.size() > kMaxAttribute) return false;
  if (d.front() == '[') {
    if (d.size() < 3 || d.back() != ']') return false;
    for (char c : gco::sub(d, 1, d.size() - 2)) {
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == ':' || c == '.')) {
        return false;
      }
    }
    return true;
  }
  for (char c : d) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.')) {
      return false;
    }
  }
  return true;
}

}  // namespace

PyObject* row_of(const Cookie& c) noexcept {
  PyObject* items[kFieldCount] = {
      bytes_object(c.name()),
      bytes_object(c.value()),
      text_object(c.domain()),
      flag(c.host_only()),
      bytes_object(c.path()),
      c.persistent() ? PyLong_FromLongLong(c.expiry) : Py_NewRef(Py_None),
      PyLong_FromLongLong(c.creation),
      PyLong_FromLongLong(c.last_access),
      flag(c.secure()),
      flag(c.http_only()),
      PyLong_FromLong(static_cast<long>(c.same_site())),
      flag(c.partitioned()),
      text_object(c.partitioned() ? c.partition() : std::string_view()),
      PyLong_FromLong(static_cast<long>(c.priority()) - 1),  // unset is -1
      PyLong_FromLong(c.source_secure() ? 2 : 1),
      PyLong_FromLong(c.source_port() == 0 ? -1 : c.source_port()),
      flag(c.persistent()),
      flag(c.cross_site_ancestor()),
  };
  return tuple_of(items, kFieldCount);
}

PyObject* key_of(const Cookie& c) noexcept {
  PyObject* items[7] = {
      bytes_object(c.name()),
      text_object(c.domain()),
      flag(c.host_only()),
      bytes_object(c.path()),
      flag(c.partitioned()),
      text_object(c.partitioned() ? c.partition() : std::string_view()),
      flag(c.cross_site_ancestor()),
  };
  return tuple_of(items, 7);
}

bool read_row(PyObject* row, Py_ssize_t index, CookieFields& f) noexcept {
  if (!PyTuple_CheckExact(row)) {
    PyErr_Format(PyExc_TypeError, "row %zd must be a tuple, not %.200s", index,
                 Py_TYPE(row)->tp_name);
    return false;
  }
  if (PyTuple_GET_SIZE(row) != kFieldCount) {
    PyErr_Format(PyExc_ValueError, "row %zd must have %d fields, not %zd", index, kFieldCount,
                 PyTuple_GET_SIZE(row));
    return false;
  }
  const Reader r{row, index};
  long long expires = 0, creation, last_access, same_site, priority, scheme, port;
  bool persistent;
  if (!r.bytes(kName, f.name) || !r.bytes(kValue, f.value) || !r.ascii(kDomain, f.domain) ||
      !r.boolean(kHostOnly, f.host_only) || !r.bytes(kPath, f.path) ||
      (r.item(kExpires) != Py_None && !r.integer(kExpires, kEarliestTime, kLatestTime, expires)) ||
      !r.integer(kCreation, kEarliestTime, kLatestTime, creation) ||
      !r.integer(kLastAccess, kEarliestTime, kLatestTime, last_access) ||
      !r.boolean(kSecure, f.secure) || !r.boolean(kHttpOnly, f.http_only) ||
      !r.integer(kSameSite, 0, 3, same_site) || !r.boolean(kPartitioned, f.partitioned) ||
      !r.ascii(kPartitionKey, f.partition) || !r.integer(kPriority, -1, 2, priority) ||
      !r.integer(kSourceScheme, 0, 2, scheme) || !r.integer(kSourcePort, -1, 65535, port) ||
      !r.boolean(kPersistent, persistent) ||
      !r.boolean(kCrossSiteAncestor, f.cross_site_ancestor)) {
    return false;
  }
  const bool has_expiry = r.item(kExpires) != Py_None;
  if (persistent != has_expiry) {
    return r.fail(PyExc_ValueError, kPersistent, "must be whether expires is not None");
  }
  if (f.name.empty() && f.value.empty()) {
    return r.fail(PyExc_ValueError, kName, "and raw_value are both empty");
  }
  if (f.name.size() + f.value.size() > kMaxNameValue) {
    return r.fail(PyExc_ValueError, kValue, "makes the name and value over 4096 bytes");
  }
  if (!clean(f.name, true, false)) {
    return r.fail(PyExc_ValueError, kName, "holds a control character, ';' or '='");
  }
  if (!clean(f.value, false, false)) {
    return r.fail(PyExc_ValueError, kValue, "holds a control character or ';'");
  }
  if (!f.path.starts_with('/') || f.path.size() > kMaxAttribute || !clean(f.path, false, true)) {
    return r.fail(PyExc_ValueError, kPath,
                  "must begin with '/', hold no control character nor ';', and be at most "
                  "1024 bytes");
  }
  if (!good_domain(f.domain)) {
    return r.fail(PyExc_ValueError, kDomain,
                  "must be lower-case ASCII letters, digits, '-', '_' and '.', or an IPv6 "
                  "address in brackets");
  }
  if (f.partitioned == f.partition.empty() || (f.cross_site_ancestor && !f.partitioned)) {
    return r.fail(PyExc_ValueError, kPartitionKey,
                  "must be given for a partitioned cookie only (and cross_site_ancestor "
                  "only with it)");
  }
  f.expiry = has_expiry ? expires : kNoExpiry;
  f.creation = creation;
  f.last_access = last_access;
  f.same_site = static_cast<SameSite>(same_site);
  f.priority = static_cast<Priority>(priority + 1);
  f.source_secure = scheme == 2;
  f.source_port = static_cast<uint16_t>(port < 0 ? 0 : port);
  return true;
}

}  // namespace gco::jar
