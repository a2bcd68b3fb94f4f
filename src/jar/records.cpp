// BrowserCookie records and CookieDetails for a jar's cookies.
#include "records.hpp"

#include <cstring>

#include "arguments.hpp"
#include "browser_record.hpp"
#include "cookie_rules.hpp"
#include "frame.hpp"
#include "ref.hpp"

namespace gco::jar {

namespace {

PyTypeObject* records = nullptr;  // glimmering_copper_otter.browser.BrowserCookie
PyObject* same_site_members[4];   // CookieSameSiteMode.UNDEFINED, LAX, STRICT, NONE

GCO_STR(str_low, "low");
GCO_STR(str_medium, "medium");
GCO_STR(str_high, "high");

// A stored time shown as a datetime: within its years 1 to 9999.
Instant clamp(Instant t) {
  return t < rules::kEarliest ? rules::kEarliest : t > rules::kLatest ? rules::kLatest : t;
}

PyObject* text_of(std::string_view bytes) {
  return rules::decode_text(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* bytes_of(std::string_view bytes) {
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

// The last ASCII text made for one field of the records (a name, a domain,
// a path): records of one site repeat them, and a str is immutable, so the
// same object serves again.  Used with the interpreter held; never freed.
struct LastText {
  PyObject* text = nullptr;

  PyObject* get(std::string_view bytes) {
    if (text != nullptr && static_cast<size_t>(PyUnicode_GET_LENGTH(text)) == bytes.size() &&
        (bytes.empty() || std::memcmp(PyUnicode_DATA(text), bytes.data(), bytes.size()) == 0)) {
      return Py_NewRef(text);
    }
    PyObject* made = text_of(bytes);
    if (made != nullptr && PyUnicode_IS_ASCII(made)) Py_XSETREF(text, Py_NewRef(made));
    return made;
  }
};
LastText last_name, last_domain, last_path;

// What the jar knows of a cookie beyond its record.
PyStructSequence_Field details_fields[] = {
    {"creation", "When the cookie was stored (kept by a replacement with the same value)."},
    {"last_access", "When a request last carried it (updated at most once a minute)."},
    {"partition_key",
     "A partitioned cookie's partition: (top-level site, whether the frame that set it had a "
     "cross-site ancestor), as (\"https://example.com\", True); None for another cookie."},
    {"source_scheme",
     "\"Secure\" for a cookie set from https (or Secure from a loopback host over http), "
     "else \"NonSecure\"."},
    {"source_port", "The port of the url that set it."},
    {nullptr, nullptr},
};
PyStructSequence_Desc details_desc = {
    "glimmering_copper_otter.jar.CookieDetails",
    "What a jar knows of a stored cookie beyond its BrowserCookie record.", details_fields, 5};
PyTypeObject* details_type = nullptr;

PyObject* details_of(const Cookie& c) {
  Ref details = steal(PyStructSequence_New(details_type));
  if (!details) return nullptr;
  PyObject* fields[5] = {
      datetime_of_instant(clamp(c.creation)), datetime_of_instant(clamp(c.last_access)),
      c.partitioned() ? Py_BuildValue("(s#O)", c.partition().data(),
                                      static_cast<Py_ssize_t>(c.partition().size()),
                                      c.cross_site_ancestor() ? Py_True : Py_False)
                      : Py_NewRef(Py_None),
      PyUnicode_FromString(c.source_secure() ? "Secure" : "NonSecure"),
      PyLong_FromLong(c.source_port())};
  bool ok = true;
  for (int i = 0; i < 5; i++) {
    ok = ok && fields[i] != nullptr;
    PyStructSequence_SetItem(details.get(), i, fields[i] ? fields[i] : Py_NewRef(Py_None));
  }
  return ok ? details.transfer() : nullptr;
}

}  // namespace

RecordParts parts_of(const Cookie& c) noexcept {
  RecordParts p;
  p.name = c.name();
  p.value = c.value();
  p.domain = c.domain();
  p.path = c.path();
  p.expiry = c.expiry;
  p.same_site = c.same_site();
  p.priority = c.priority();
  p.host_only = c.host_only();
  p.secure = c.secure();
  p.http_only = c.http_only();
  p.partitioned = c.partitioned();
  return p;
}

PyObject* make_record(const RecordParts& p) noexcept {
  Ref record = steal(PyType_GenericAlloc(records, 0));
  if (!record) return nullptr;
  BrowserRecord* r = reinterpret_cast<BrowserRecord*>(record.get());
  if ((r->name = last_name.get(p.name)) == nullptr || (r->value = text_of(p.value)) == nullptr ||
      (r->raw_name = bytes_of(p.name)) == nullptr ||
      (r->raw_value = bytes_of(p.value)) == nullptr ||
      (r->domain = last_domain.get(p.domain)) == nullptr ||
      (r->path = last_path.get(p.path)) == nullptr ||
      (r->expires = p.expiry == kNoExpiry ? Py_NewRef(Py_None) : datetime_of_instant(p.expiry)) ==
          nullptr) {
    return nullptr;
  }
  r->same_site = Py_NewRef(same_site_members[static_cast<int>(p.same_site)]);
  static const Constant* const kPriorities[] = {nullptr, &str_low, &str_medium, &str_high};
  const Constant* priority = kPriorities[static_cast<int>(p.priority)];
  r->priority = Py_NewRef(priority ? priority->get() : Py_None);
  r->host_only = p.host_only;
  r->secure = p.secure;
  r->http_only = p.http_only;
  r->partitioned = p.partitioned;
  r->expired = p.expired;
  return record.transfer();
}

PyObject* list_of(const Vector<CookieCopy>& cookies, bool details) noexcept {
  Ref list = steal(PyList_New(static_cast<Py_ssize_t>(cookies.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < cookies.size(); i++) {
    PyObject* item = make_record(parts_of(*cookies[i].get()));
    if (item != nullptr && details) {
      Ref record = steal(item);
      Ref more = steal(details_of(*cookies[i].get()));
      item = more ? PyTuple_Pack(2, record.get(), more.get()) : nullptr;
    }
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.transfer();
}

PyTypeObject* record_type() noexcept { return records; }

bool prepare_records(PyObject* module) noexcept {
  if (records == nullptr) {
    Ref browser = steal(PyImport_ImportModule("glimmering_copper_otter.browser"));
    if (!browser) return false;
    Ref type = steal(PyObject_GetAttrString(browser.get(), "BrowserCookie"));
    if (!type) return false;
    if (!PyType_Check(type.get()) || reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize !=
                                         static_cast<Py_ssize_t>(sizeof(BrowserRecord))) {
      PyErr_SetString(PyExc_ImportError,
                      "glimmering_copper_otter.browser.BrowserCookie has another layout than "
                      "this module was built for");
      return false;
    }
    Ref cookies = steal(PyImport_ImportModule("glimmering_copper_otter.cookies"));
    Ref mode = cookies ? steal(PyObject_GetAttrString(cookies.get(), "CookieSameSiteMode")) : Ref();
    if (!mode) return false;
    static const char* const kMembers[4] = {"UNDEFINED", "LAX", "STRICT", "NONE"};
    for (int i = 0; i < 4; i++) {
      PyObject* member = PyObject_GetAttrString(mode.get(), kMembers[i]);
      if (member == nullptr) return false;
      Py_XSETREF(same_site_members[i], member);
    }
    records = reinterpret_cast<PyTypeObject*>(type.transfer());
  }
  if (details_type == nullptr) {
    details_type = PyStructSequence_NewType(&details_desc);
    if (details_type == nullptr) return false;
  }
  return PyModule_AddObjectRef(module, "CookieDetails",
                               reinterpret_cast<PyObject*>(details_type)) == 0 &&
         PyModule_AddObjectRef(module, "BrowserCookie", reinterpret_cast<PyObject*>(records)) == 0;
}

}  // namespace gco::jar
