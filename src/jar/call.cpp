// Reading a call's arguments into native values (call.hpp).
#include "call.hpp"

#include "arguments.hpp"
#include "browser_record.hpp"
#include "frame.hpp"
#include "records.hpp"
#include "rows.hpp"

namespace gco::jar {

bool read_flag(PyObject* value, bool* out) noexcept {
  int t = value == nullptr ? 0 : truth(value);
  if (t < 0) return false;
  *out = t;
  return true;
}

bool read_call(JarObject* jar, PyObject* url, PyObject* now, PyObject* site_for_cookies,
               PyObject* navigation, PyObject* from_script, Call& call) noexcept {
  if (!call.url_holder.read(url, "url") || !read_now(now, &call.now)) return false;
  call.url = call.url_holder.get();
  call.has_top = site_for_cookies != nullptr && site_for_cookies != Py_None;
  if (call.has_top) {
    if (!call.top_holder.read(site_for_cookies, "site_for_cookies")) return false;
    call.top = call.top_holder.get();
  }
  if (!read_flag(navigation, &call.navigation) || !read_flag(from_script, &call.from_script)) {
    return false;
  }
  call.navigation = call.navigation && !call.from_script;  // script does not navigate
  call.key = site_key(*call.url, jar->use_list);
  site_of(*call.url, call.key, call.url_site);
  if (call.has_top) site_of(*call.top, site_key(*call.top, jar->use_list), call.top_site);
  // The partition key (CookiePartitionKey::FromNetworkIsolationKey): the
  // top-level site, the url's own on a top-level navigation or without a
  // page around it; and whether the frame is cross-site with it, never on
  // a top-level navigation.
  const bool own = call.navigation || !call.has_top;
  call.partition_cross_site = !own && !(call.top_site == call.url_site);
  call.partition = own ? &call.url_site : &call.top_site;
  return true;
}

namespace {

// Whether the method is safe (GET, HEAD, OPTIONS, TRACE, in any letter case).
bool read_method(PyObject* method, bool* safe) {
  *safe = true;
  if (method == nullptr) return true;
  if (!PyUnicode_Check(method)) {
    PyErr_Format(PyExc_TypeError, "method must be a str, not %.200s", Py_TYPE(method)->tp_name);
    return false;
  }
  Span s{};
  if (PyUnicode_IS_ASCII(method)) {
    s = Span{static_cast<const char*>(PyUnicode_DATA(method)), PyUnicode_GET_LENGTH(method)};
  }
  *safe = s.is("get") || s.is("head") || s.is("options") || s.is("trace");
  return true;
}

// A text compared by the text rule: its code points.
bool read_text(PyObject* value, TextKey& out) {
  out.is_text = true;
  Py_ssize_t n = PyUnicode_GET_LENGTH(value);
  if (!out.text.resize(static_cast<size_t>(n))) return no_memory();
  for (Py_ssize_t i = 0; i < n; i++) out.text[i] = PyUnicode_READ_CHAR(value, i);
  return true;
}

bool read_text_key(PyObject* value, const char* param, bool domain, TextKey& out,
                   const TextKey** chosen, String& lowered) {
  *chosen = nullptr;
  if (value == nullptr || value == Py_None) return true;
  std::string_view bytes;
  if (PyBytes_Check(value)) {
    bytes = {PyBytes_AS_STRING(value), static_cast<size_t>(PyBytes_GET_SIZE(value))};
  } else if (PyUnicode_Check(value) && PyUnicode_IS_ASCII(value)) {
    bytes = {static_cast<const char*>(PyUnicode_DATA(value)),
             static_cast<size_t>(PyUnicode_GET_LENGTH(value))};
  } else if (PyUnicode_Check(value)) {
    if (!read_text(value, out)) return false;
    *chosen = &out;
    return true;
  } else {
    PyErr_Format(PyExc_TypeError, "%s must be a str, bytes or None, not %.200s", param,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  if (domain) {
    if (bytes.starts_with('.')) bytes.remove_prefix(1);
    if (!lowered.reserve(bytes.size())) return no_memory();
    for (char c : bytes) {
      (void)lowered.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    bytes = lowered.view();
  }
  out.bytes = bytes;
  *chosen = &out;
  return true;
}

}  // namespace

bool read_request(JarObject* jar, PyObject* const* args, Call& call, Request& request) noexcept {
  // url, now, site_for_cookies, navigation, method, from_script
  bool safe;
  if (!read_call(jar, args[0], args[1], args[2], args[3], args[5], call) ||
      !read_method(args[4], &safe)) {
    return false;
  }
  request.url = call.url;
  request.key = call.key;
  request.context = request_context(call.url_site, call.top_site_or_null(), call.navigation, safe);
  request.partition = call.partition;
  request.cross_site_ancestor = call.partition_cross_site;
  request.from_script = call.from_script;
  request.now = call.now;
  return true;
}

bool read_selection(JarObject* jar, PyObject* domain, PyObject* path, PyObject* name,
                    SelectionArgs& s) noexcept {
  if (!read_text_key(domain, "domain", true, s.domain, &s.selection.domain, s.lowered) ||
      !read_text_key(path, "path", false, s.path, &s.selection.path, s.lowered) ||
      !read_text_key(name, "name", false, s.name, &s.selection.name, s.lowered)) {
    return false;
  }
  if (s.selection.domain != nullptr && !s.domain.is_text) {
    s.key = site_key(s.domain.bytes, jar->use_list);
    s.selection.key = &s.key;
  }
  return true;
}

bool read_removal(PyObject* cookie, CookieFields& key, TextKey& path_text, bool* by_text,
                  Ref& holder) noexcept {
  *by_text = false;
  PyObject* record = cookie;
  PyObject* details = nullptr;
  if (PyTuple_CheckExact(cookie) && PyTuple_GET_SIZE(cookie) == 2) {
    record = PyTuple_GET_ITEM(cookie, 0);
    details = PyTuple_GET_ITEM(cookie, 1);
  }
  if (!PyObject_TypeCheck(record, record_type())) {
    PyObject* reason;
    switch (read_key(cookie, key, &reason)) {
      case RowRead::kOk:
        holder = incref(cookie);
        return true;
      case RowRead::kError:
        return false;
      case RowRead::kRefused:
        break;
    }
    Ref why = steal(reason);
    if (PyTuple_CheckExact(cookie) && PyTuple_GET_SIZE(cookie) == kKeyFieldCount) {
      PyErr_Format(PyExc_ValueError, "not a cookie's key: %U", why.get());
    } else {
      PyErr_Format(PyExc_TypeError,
                   "remove() takes a BrowserCookie, a (BrowserCookie, CookieDetails) pair or a "
                   "cookie's key, not %.200s",
                   Py_TYPE(cookie)->tp_name);
    }
    return false;
  }
  holder = incref(cookie);  // the record's fields live as long as it does
  BrowserRecord* r = reinterpret_cast<BrowserRecord*>(record);
  if (!PyBytes_Check(r->raw_name) || !PyUnicode_Check(r->domain) || !PyUnicode_Check(r->path) ||
      !PyUnicode_IS_ASCII(r->domain)) {
    PyErr_SetString(PyExc_ValueError, "the record names no stored cookie (no domain or path)");
    return false;
  }
  key.name = {PyBytes_AS_STRING(r->raw_name), static_cast<size_t>(PyBytes_GET_SIZE(r->raw_name))};
  key.domain = {static_cast<const char*>(PyUnicode_DATA(r->domain)),
                static_cast<size_t>(PyUnicode_GET_LENGTH(r->domain))};
  key.host_only = r->host_only;
  key.partitioned = r->partitioned;
  key.partition = {};
  key.cross_site_ancestor = false;
  if (key.partitioned) {
    // The record does not say which partition: the details do.
    PyObject* partition = nullptr;
    if (details != nullptr && PyTuple_Check(details) && PyTuple_GET_SIZE(details) == 5) {
      partition = PyTuple_GET_ITEM(details, 2);
    }
    if (partition == nullptr || !PyTuple_CheckExact(partition) ||
        PyTuple_GET_SIZE(partition) != 2 || !PyUnicode_Check(PyTuple_GET_ITEM(partition, 0)) ||
        !PyUnicode_IS_ASCII(PyTuple_GET_ITEM(partition, 0)) ||
        !PyBool_Check(PyTuple_GET_ITEM(partition, 1))) {
      PyErr_SetString(PyExc_ValueError,
                      "a partitioned cookie is named with its partition: pass the "
                      "(BrowserCookie, CookieDetails) pair of cookies(details=True), or its key");
      return false;
    }
    PyObject* site = PyTuple_GET_ITEM(partition, 0);
    key.partition = {static_cast<const char*>(PyUnicode_DATA(site)),
                     static_cast<size_t>(PyUnicode_GET_LENGTH(site))};
    key.cross_site_ancestor = PyTuple_GET_ITEM(partition, 1) == Py_True;
  }
  *by_text = true;
  return read_text(r->path, path_text);
}

}  // namespace gco::jar
