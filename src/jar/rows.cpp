// Rows: a stored cookie as a tuple of exact builtin types, and back, and the
// contract every row meets (rows.hpp).
#include "rows.hpp"

#include <string_view>

#include "civil.hpp"
#include "cookie_rules.hpp"
#include "public_suffix.hpp"
#include "ref.hpp"
#include "url.hpp"

namespace gco::jar {

const char* const kRowFields[kRowFieldCount] = {
    "raw_name",      "raw_value",   "domain",
    "host_only",     "path",        "expires",
    "creation",      "last_access", "secure",
    "http_only",     "same_site",   "partitioned",
    "partition_key", "priority",    "source_scheme",
    "source_port",   "persistent",  "cross_site_ancestor"};

const RowField kKeyFields[kKeyFieldCount] = {
    kRowName,        kRowDomain,       kRowHostOnly,         kRowPath,
    kRowPartitioned, kRowPartitionKey, kRowCrossSiteAncestor};

namespace {

// Years 1 to 9999, the times a jar keeps.
constexpr long long kEarliestTime = civil::kEarliest;
constexpr long long kLatestTime = civil::kLatest;
// Chromium's limit on a cookie's name and value (ParsedCookie); a path and a
// domain have none once stored (a default path and a host come from a url).
constexpr size_t kMaxNameValue = 4096;

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

// Reading the items of a row or a key: each of an exact type, in range.  A
// refusal sets *reason (or an exception, when even that fails) and returns
// false.
struct Reader {
  PyObject* items;  // a tuple
  PyObject** reason;

  PyObject* item(Py_ssize_t i) const { return PyTuple_GET_ITEM(items, i); }

  bool refuse(const char* word, const char* format, ...) const {
    va_list args;
    va_start(args, format);
    Ref why = steal(PyUnicode_FromFormatV(format, args));
    va_end(args);
    if (why) *reason = PyUnicode_FromFormat("%s: %U", word, why.get());
    return false;
  }
  bool wrong_type(Py_ssize_t i, int field, const char* expected) const {
    return refuse("Unreadable", "field %s must be %s, not %.200s", kRowFields[field], expected,
                  Py_TYPE(item(i))->tp_name);
  }
  bool bytes(Py_ssize_t i, int field, std::string_view& out) const {
    PyObject* o = item(i);
    if (!PyBytes_CheckExact(o)) return wrong_type(i, field, "bytes");
    out = {PyBytes_AS_STRING(o), static_cast<size_t>(PyBytes_GET_SIZE(o))};
    return true;
  }
  bool ascii(Py_ssize_t i, int field, std::string_view& out) const {
    PyObject* o = item(i);
    if (!PyUnicode_CheckExact(o)) return wrong_type(i, field, "str");
    if (!PyUnicode_IS_ASCII(o)) {
      return refuse(field == kRowDomain ? "InvalidDomain" : "Unreadable",
                    "field %s must be ASCII (a host's labels as A-labels)", kRowFields[field]);
    }
    out = {static_cast<const char*>(PyUnicode_DATA(o)),
           static_cast<size_t>(PyUnicode_GET_LENGTH(o))};
    return true;
  }
  bool boolean(Py_ssize_t i, int field, bool& out) const {
    PyObject* o = item(i);
    if (o != Py_True && o != Py_False) return wrong_type(i, field, "bool");
    out = o == Py_True;
    return true;
  }
  bool integer(Py_ssize_t i, int field, long long low, long long high, long long& out) const {
    PyObject* o = item(i);
    if (!PyLong_CheckExact(o)) return wrong_type(i, field, "int");
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (out == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || out < low || out > high) {
      return refuse("Unreadable", "field %s must be from %lld to %lld", kRowFields[field], low,
                    high);
    }
    return true;
  }
};

// The first byte a part of a cookie may not hold, or -1: control characters
// (a tab too: browsers refuse one inside a name, value or attribute),
// ";" (but in a path: a default path comes from a url), and "=" in a name.
int bad_byte(std::string_view s, bool name, bool path) {
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F || (c == ';' && !path) || (name && c == '=')) return c;
  }
  return -1;
}

// Whether a host of lower-case letters, digits, "-", "_" and "." is one the
// url reader writes as it is, without asking it: no empty label, and a last
// label that cannot read as a number (it holds a letter past "f" other than
// "x", or "-" or "_"), so that the host is no IPv4 address.
bool plainly_canonical(std::string_view text) {
  if (text.front() == '.' || text.back() == '.') return false;
  bool number_like = true;  // the label so far could read as a number
  char previous = '.';
  for (char c : text) {
    if (c == '.') {
      if (previous == '.') return false;
      number_like = true;
    } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_') {
      number_like = number_like && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == 'x');
    } else {
      return false;
    }
    previous = c;
  }
  return !number_like;
}

// Whether text is a canonical host, as the url reader writes one; its kind.
// False with no exception for another text; an exception only when memory
// runs out.
bool canonical_host(std::string_view text, url::HostKind* kind, bool* failed) {
  *failed = false;
  if (text.empty()) return false;
  if (plainly_canonical(text)) {
    *kind = url::HostKind::kDomain;
    return true;
  }
  String canonical;
  switch (url::read_host(text, canonical, kind)) {
    case url::Status::kOk:
      return canonical.view() == text;
    case url::Status::kNoMemory:
      (void)no_memory();
      *failed = true;
      return false;
    case url::Status::kError:  // only for a host outside ASCII
      *failed = true;
      return false;
    case url::Status::kNotAUrl:
      break;
  }
  return false;
}

// The key's own checks, on fields already read: the domain and the
// partition key.
bool check_key(const Reader& r, const CookieFields& f) {
  url::HostKind kind;
  bool failed;
  if (!canonical_host(f.domain, &kind, &failed)) {
    if (failed) return false;
    return r.refuse("InvalidDomain", "the domain is not a host as a url writes it");
  }
  if (kind != url::HostKind::kDomain && !f.host_only) {
    return r.refuse("InvalidDomain", "a cookie on an IP address is host-only");
  }
  if (!f.path.starts_with('/')) return r.refuse("Unreadable", "the path does not begin with /");
  if (int c = bad_byte(f.path, false, true); c >= 0) {
    return r.refuse("DisallowedCharacter", "the path holds the control character 0x%02x", c);
  }
  if (int c = bad_byte(f.name, true, false); c >= 0) {
    return r.refuse("DisallowedCharacter", "the name holds the byte 0x%02x", c);
  }
  if (f.partitioned != !f.partition.empty() || (f.cross_site_ancestor && !f.partitioned)) {
    return r.refuse("Unreadable",
                    "the partition key and cross_site_ancestor are for a partitioned cookie only, "
                    "which has a partition key");
  }
  if (f.partitioned) {
    std::string_view site = f.partition;
    if (gco::starts_with(site, "https://")) {
      site.remove_prefix(8);
    } else if (gco::starts_with(site, "http://")) {
      site.remove_prefix(7);
    } else {
      site = {};
    }
    if (!canonical_host(site, &kind, &failed)) {
      if (failed) return false;
      return r.refuse("Unreadable",
                      "the partition key is not a site written out (\"https://example.com\")");
    }
  }
  return true;
}

bool is_space(char c) { return c == ' '; }

// The rest of the contract: what Chromium requires of any cookie it loads.
bool check_cookie(const Reader& r, const CookieFields& f) {
  if (int c = bad_byte(f.value, false, false); c >= 0) {
    return r.refuse("DisallowedCharacter", "the value holds the byte 0x%02x", c);
  }
  if ((!f.name.empty() && (is_space(f.name.front()) || is_space(f.name.back()))) ||
      (!f.value.empty() && (is_space(f.value.front()) || is_space(f.value.back())))) {
    return r.refuse("DisallowedCharacter",
                    "the name or the value begins or ends with a space, which a browser trims");
  }
  if (f.name.empty() && f.value.empty()) {
    return r.refuse("NoCookieContent", "the cookie has neither a name nor a value");
  }
  if (f.name.size() + f.value.size() > kMaxNameValue) {
    return r.refuse("NameValuePairExceedsMaxSize",
                    "the name and value are %zu bytes, over the 4096-byte limit",
                    f.name.size() + f.value.size());
  }
  if (f.name.empty() && f.value.find('=') != std::string_view::npos) {
    return r.refuse("AmbiguousNameValue",
                    "the name is empty and the value holds \"=\": it would come back as "
                    "another name");
  }
  static const char* const kPrefixFailures[] = {
      nullptr,
      "a __Secure- name needs Secure",
      "a __Host- name needs Secure, no Domain and the path /",
      "an __Http- name needs Secure and HttpOnly",
      "a __Host-Http- name needs HttpOnly besides the __Host- rules",
      "a cookie without a name may not have a value that starts like a prefixed name",
  };
  const char* prefix = kPrefixFailures[static_cast<int>(
      rules::prefix_failure(f.name, f.value, f.secure, f.host_only, f.path == "/", f.http_only))];
  if (prefix != nullptr) return r.refuse("InvalidPrefix", "%s", prefix);
  if (f.same_site == SameSite::kNone && !f.secure) {
    return r.refuse("SameSiteNoneInsecure", "SameSite=None without Secure");
  }
  if (f.partitioned && !f.secure) {
    return r.refuse("PartitionedNotSecure", "Partitioned without Secure");
  }
  return true;
}

RowRead outcome(bool ok, PyObject** reason) {
  if (ok) return RowRead::kOk;
  return *reason != nullptr ? RowRead::kRefused : RowRead::kError;
}

}  // namespace

RowRead check_site(const CookieFields& f, bool use_list, PyObject** reason) noexcept {
  *reason = nullptr;
  if (f.host_only || !rules::registrable_domain(f.domain, use_list).empty()) return RowRead::kOk;
  Ref domain = steal(text_object(f.domain));
  if (!domain) return RowRead::kError;
  *reason =
      PyUnicode_FromFormat("InvalidDomain: a domain cookie of the public suffix %R", domain.get());
  return *reason != nullptr ? RowRead::kRefused : RowRead::kError;
}

PyObject* row_of(const Cookie& c) noexcept {
  PyObject* items[kRowFieldCount] = {
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
  PyObject* row = tuple_of(items, kRowFieldCount);
  // Its items are bytes, str, int, bool and None: it can be in no cycle, and
  // the collector need not look at the many a listing makes (CPython
  // untracks such tuples itself, at its first look).
  if (row != nullptr) PyObject_GC_UnTrack(row);
  return row;
}

PyObject* key_of(const Cookie& c) noexcept {
  PyObject* items[kKeyFieldCount] = {
      bytes_object(c.name()),
      text_object(c.domain()),
      flag(c.host_only()),
      bytes_object(c.path()),
      flag(c.partitioned()),
      text_object(c.partitioned() ? c.partition() : std::string_view()),
      flag(c.cross_site_ancestor()),
  };
  return tuple_of(items, kKeyFieldCount);
}

RowRead read_key(PyObject* key, CookieFields& f, PyObject** reason) noexcept {
  *reason = nullptr;
  const Reader r{key, reason};
  if (!PyTuple_CheckExact(key) || PyTuple_GET_SIZE(key) != kKeyFieldCount) {
    return outcome(r.refuse("Unreadable", "a key is a tuple of %d items", kKeyFieldCount), reason);
  }
  const bool ok = r.bytes(0, kRowName, f.name) && r.ascii(1, kRowDomain, f.domain) &&
                  r.boolean(2, kRowHostOnly, f.host_only) && r.bytes(3, kRowPath, f.path) &&
                  r.boolean(4, kRowPartitioned, f.partitioned) &&
                  r.ascii(5, kRowPartitionKey, f.partition) &&
                  r.boolean(6, kRowCrossSiteAncestor, f.cross_site_ancestor) && check_key(r, f);
  return outcome(ok, reason);
}

RowRead read_row(PyObject* row, CookieFields& f, PyObject** reason) noexcept {
  *reason = nullptr;
  const Reader r{row, reason};
  if (!PyTuple_CheckExact(row)) {
    return outcome(r.refuse("Unreadable", "a row is a tuple, not %.200s", Py_TYPE(row)->tp_name),
                   reason);
  }
  if (PyTuple_GET_SIZE(row) != kRowFieldCount) {
    return outcome(r.refuse("Unreadable", "a row has %d fields, not %zd", kRowFieldCount,
                            PyTuple_GET_SIZE(row)),
                   reason);
  }
  long long expires = 0, creation = 0, last_access = 0, same_site = 0, priority = 0, scheme = 0,
            port = 0;
  bool persistent = false;
  bool ok = r.bytes(kRowName, kRowName, f.name) && r.bytes(kRowValue, kRowValue, f.value) &&
            r.ascii(kRowDomain, kRowDomain, f.domain) &&
            r.boolean(kRowHostOnly, kRowHostOnly, f.host_only) &&
            r.bytes(kRowPath, kRowPath, f.path) &&
            (r.item(kRowExpires) == Py_None ||
             r.integer(kRowExpires, kRowExpires, kEarliestTime, kLatestTime, expires)) &&
            r.integer(kRowCreation, kRowCreation, kEarliestTime, kLatestTime, creation) &&
            r.integer(kRowLastAccess, kRowLastAccess, kEarliestTime, kLatestTime, last_access) &&
            r.boolean(kRowSecure, kRowSecure, f.secure) &&
            r.boolean(kRowHttpOnly, kRowHttpOnly, f.http_only) &&
            r.integer(kRowSameSite, kRowSameSite, 0, 3, same_site) &&
            r.boolean(kRowPartitioned, kRowPartitioned, f.partitioned) &&
            r.ascii(kRowPartitionKey, kRowPartitionKey, f.partition) &&
            r.integer(kRowPriority, kRowPriority, -1, 2, priority) &&
            r.integer(kRowSourceScheme, kRowSourceScheme, 0, 2, scheme) &&
            r.integer(kRowSourcePort, kRowSourcePort, -1, 65535, port) &&
            r.boolean(kRowPersistent, kRowPersistent, persistent) &&
            r.boolean(kRowCrossSiteAncestor, kRowCrossSiteAncestor, f.cross_site_ancestor);
  if (!ok) return outcome(false, reason);
  const bool has_expiry = r.item(kRowExpires) != Py_None;
  if (persistent != has_expiry) {
    return outcome(r.refuse("Unreadable", "field persistent must say whether expires is given"),
                   reason);
  }
  f.expiry = has_expiry ? expires : kNoExpiry;
  f.creation = creation;
  f.last_access = last_access;
  f.same_site = static_cast<SameSite>(same_site);
  f.priority = static_cast<Priority>(priority + 1);
  f.source_secure = scheme == 2;
  f.source_port = static_cast<uint16_t>(port < 0 ? 0 : port);
  return outcome(check_key(r, f) && check_cookie(r, f), reason);
}

bool add_row_names(PyObject* module) noexcept {
  Ref fields = steal(PyTuple_New(kRowFieldCount));
  Ref key = steal(PyTuple_New(kKeyFieldCount));
  if (!fields || !key) return false;
  for (int i = 0; i < kRowFieldCount; i++) {
    PyObject* name = PyUnicode_InternFromString(kRowFields[i]);
    if (name == nullptr) return false;
    PyTuple_SET_ITEM(fields.get(), i, name);
  }
  for (int i = 0; i < kKeyFieldCount; i++) {
    PyTuple_SET_ITEM(key.get(), i, Py_NewRef(PyTuple_GET_ITEM(fields.get(), kKeyFields[i])));
  }
  return PyModule_AddObjectRef(module, "ROW_FIELDS", fields.get()) == 0 &&
         PyModule_AddObjectRef(module, "KEY_FIELDS", key.get()) == 0;
}

PyObject* check_rows(PyObject* /*self*/, PyObject* const* args) noexcept {
  Ref rows = steal(PySequence_List(args[0]));
  if (!rows) return nullptr;
  Ref refused = steal(PyList_New(0));
  if (!refused) return nullptr;
  const Py_ssize_t n = PyList_GET_SIZE(rows.get());
  for (Py_ssize_t i = 0; i < n; i++) {
    CookieFields fields;
    PyObject* why;
    switch (read_row(PyList_GET_ITEM(rows.get(), i), fields, &why)) {
      case RowRead::kOk:
        continue;
      case RowRead::kError:
        return nullptr;
      case RowRead::kRefused:
        break;
    }
    Ref reason = steal(why);
    Ref pair = steal(Py_BuildValue("(nO)", i, reason.get()));
    if (!pair || PyList_Append(refused.get(), pair.get()) < 0) return nullptr;
  }
  return refused.transfer();
}

PyObject* rows_of_columns(PyObject* /*self*/, PyObject* const* args) noexcept {
  Ref records = steal(PySequence_List(args[0]));
  if (!records) return nullptr;
  const Py_ssize_t n = PyList_GET_SIZE(records.get());
  Ref rows = steal(PyList_New(n));
  if (!rows) return nullptr;
  for (Py_ssize_t i = 0; i < n; i++) {
    PyObject* record = PyList_GET_ITEM(records.get(), i);
    if (!PyTuple_Check(record) || PyTuple_GET_SIZE(record) != kRowFieldCount - 1) {
      PyErr_Format(PyExc_TypeError, "record %zd is not a tuple of the %d columns", i,
                   kRowFieldCount - 1);
      return nullptr;
    }
    PyObject* row = PyTuple_New(kRowFieldCount);
    if (row == nullptr) return nullptr;
    PyList_SET_ITEM(rows.get(), i, row);
    for (int field = 0, column = 0; field < kRowFieldCount; field++) {
      PyObject* item;
      if (field == kRowPersistent) {
        item = PyTuple_GET_ITEM(record, kRowExpires) != Py_None ? Py_True : Py_False;
      } else {
        item = PyTuple_GET_ITEM(record, column++);
        const bool flag = field == kRowHostOnly || field == kRowSecure || field == kRowHttpOnly ||
                          field == kRowPartitioned || field == kRowCrossSiteAncestor;
        if (flag && PyLong_CheckExact(item)) {
          // 0 and 1 are the flags; another number stays, for read_row to refuse.
          int overflow = 0;
          const long value = PyLong_AsLongAndOverflow(item, &overflow);
          if (overflow == 0 && (value == 0 || value == 1)) item = value ? Py_True : Py_False;
        }
      }
      PyTuple_SET_ITEM(row, field, Py_NewRef(item));
    }
  }
  return rows.transfer();
}

}  // namespace gco::jar
