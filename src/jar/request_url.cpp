#include "request_url.hpp"

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

std::string_view default_path(std::string_view path) noexcept {
  size_t last = path.rfind('/');
  if (path.empty() || path[0] != '/' || last == 0 || last == std::string_view::npos) return "/";
  return {path.data(), last};
}

}  // namespace gco::jar
