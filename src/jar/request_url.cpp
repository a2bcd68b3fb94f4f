#include "request_url.hpp"

#include <new>

#include "ref.hpp"

namespace gco::jar {

bool read_url(PyObject* url, const char* param, RequestUrl& out) noexcept {
  if (!PyUnicode_Check(url)) {
    PyErr_Format(PyExc_TypeError, "%s must be a str, not %.200s", param, Py_TYPE(url)->tp_name);
    return false;
  }
  switch (url::read(url, out.parsed)) {
    case url::Status::kOk:
      break;
    case url::Status::kNotAUrl:
      PyErr_Format(PyExc_ValueError, "%s must be an absolute http(s) or ws(s) URL: %R", param, url);
      return false;
    case url::Status::kNoMemory:
      return no_memory();
    case url::Status::kError:
      return false;
  }
  out.https = out.parsed.cryptographic();
  // browsers treat localhost, its subdomains and loopback addresses as
  // secure origins even over http
  out.trustworthy = out.https || out.parsed.loopback_host();
  out.ip = out.parsed.host_kind != url::HostKind::kDomain;
  out.port = out.parsed.port;
  return true;
}

struct SharedUrl::Entry {
  Py_ssize_t users = 1;  // the calls using it, and the cache while it holds it
  Ref key;               // the url's text, a plain str
  RequestUrl url;
};

namespace {

// The entries cached, the newest first.  Never destroyed: their references
// must not be dropped after the interpreter has finished.
constexpr int kCached = 4;
SharedUrl::Entry* cached[kCached] = {};

}  // namespace

void release(SharedUrl::Entry* entry) {
  if (--entry->users == 0) {
    entry->~Entry();
    raw_free(entry);
  }
}

SharedUrl::~SharedUrl() {
  if (entry_ != nullptr) release(entry_);
}

const RequestUrl* SharedUrl::get() const noexcept { return &entry_->url; }

bool SharedUrl::read(PyObject* url, const char* param) noexcept {
  if (!PyUnicode_Check(url)) {
    PyErr_Format(PyExc_TypeError, "%s must be a str, not %.200s", param, Py_TYPE(url)->tp_name);
    return false;
  }
  // A str subclass is read as its plain text: the copy made here is what is
  // read and what the cache is keyed by (no method of it runs).
  Ref key = steal(PyUnicode_FromObject(url));
  if (!key) return false;
  for (int i = 0; i < kCached; i++) {
    Entry* e = cached[i];
    if (e != nullptr &&
        (e->key.get() == key.get() || PyUnicode_Compare(e->key.get(), key.get()) == 0)) {
      e->users++;
      entry_ = e;
      return true;
    }
  }
  void* memory = raw_allocate(1, sizeof(Entry));
  if (memory == nullptr) return no_memory();
  entry_ = new (memory) Entry;
  if (!read_url(key.get(), param, entry_->url)) return false;
  entry_->key = std::move(key);
  entry_->users++;
  Entry* last = cached[kCached - 1];
  for (int i = kCached - 1; i > 0; i--) cached[i] = cached[i - 1];
  cached[0] = entry_;
  if (last != nullptr) release(last);
  return true;
}

std::string_view default_path(std::string_view path) noexcept {
  size_t last = path.rfind('/');
  if (path.empty() || path[0] != '/' || last == 0 || last == std::string_view::npos) return "/";
  return {path.data(), last};
}

}  // namespace gco::jar
