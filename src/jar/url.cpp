// Reading a request url.  A plain ASCII url is read here in one pass; any
// other (white space, brackets, backslashes, characters outside ASCII) goes
// through the interpreter's urllib.parse.urlsplit and its idna codec.
#include "url.hpp"

#include "ref.hpp"

namespace gco::jar {

namespace {

PyObject* urlsplit = nullptr;  // urllib.parse.urlsplit, imported at first need

// s.substr(pos, n) without the checked member (whose throw helper is C++
// runtime): pos is at most s.size().
std::string_view part(std::string_view s, size_t pos, size_t n = std::string_view::npos) {
  return {s.data() + pos, n < s.size() - pos ? n : s.size() - pos};
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool url_error(PyObject* url, const char* param) {
  PyErr_Format(PyExc_ValueError, "%s must be an absolute http(s) or ws(s) URL: %R", param, url);
  return false;
}

// A dotted-quad IPv4 address of four decimal parts.
bool is_ipv4(std::string_view host, bool* loopback) {
  int parts = 0, first = 0;
  size_t i = 0;
  while (true) {
    size_t start = i;
    int value = 0;
    while (i < host.size() && host[i] >= '0' && host[i] <= '9' && i - start < 3) {
      value = value * 10 + (host[i++] - '0');
    }
    if (i == start || value > 255 || (i - start > 1 && host[start] == '0')) return false;
    if (parts++ == 0) first = value;
    if (i == host.size()) break;
    if (host[i] != '.' || parts == 4) return false;
    i++;
  }
  *loopback = first == 127;
  return parts == 4;
}

// Sets the flags that follow from the scheme and the host.
void finish(RequestUrl& out, bool ipv6_loopback) {
  std::string_view host = out.host.view();
  bool loopback = ipv6_loopback;
  if (!out.ip) out.ip = is_ipv4(host, &loopback);
  // browsers treat localhost, its subdomains and loopback addresses as
  // secure origins even over http
  out.trustworthy = out.https || host == "localhost" || host.ends_with(".localhost") || loopback;
}

// scheme is http, https, ws or wss (in any letter case): sets https.
bool read_scheme(std::string_view scheme, bool* https) {
  char s[6] = {};
  if (scheme.size() < 2 || scheme.size() > 5) return false;
  for (size_t i = 0; i < scheme.size(); i++) s[i] = lower(scheme[i]);
  std::string_view v(s, scheme.size());
  *https = v == "https" || v == "wss";
  return *https || v == "http" || v == "ws";
}

bool read_general(PyObject* url, const char* param, RequestUrl& out) {
  if (urlsplit == nullptr) {
    Ref module = steal(PyImport_ImportModule("urllib.parse"));
    if (!module) return false;
    urlsplit = PyObject_GetAttrString(module.get(), "urlsplit");
    if (urlsplit == nullptr) return false;
  }
  Ref parts = steal(PyObject_CallOneArg(urlsplit, url));
  if (!parts) return false;
  Ref scheme = steal(PyObject_GetAttrString(parts.get(), "scheme"));
  Ref hostname = scheme ? steal(PyObject_GetAttrString(parts.get(), "hostname")) : Ref();
  Ref path = hostname ? steal(PyObject_GetAttrString(parts.get(), "path")) : Ref();
  if (!path) return false;
  Ref port = steal(PyObject_GetAttrString(parts.get(), "port"));
  if (!port) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
    PyErr_Clear();
    return url_error(url, param);
  }
  Py_ssize_t size = 0;
  const char* text =
      PyUnicode_Check(scheme.get()) ? PyUnicode_AsUTF8AndSize(scheme.get(), &size) : nullptr;
  if (text == nullptr) PyErr_Clear();
  if (text == nullptr || !read_scheme({text, static_cast<size_t>(size)}, &out.https) ||
      !PyUnicode_Check(hostname.get()) || PyUnicode_GET_LENGTH(hostname.get()) == 0 ||
      !PyUnicode_Check(path.get())) {
    return url_error(url, param);
  }
  Ref lowered = steal(PyObject_CallMethod(hostname.get(), "lower", nullptr));
  if (!lowered) return false;
  bool ipv6 = PyUnicode_FindChar(lowered.get(), ':', 0, PY_SSIZE_T_MAX, 1) >= 0;
  bool ipv6_loopback = false;
  if (ipv6) {
    Ref module = steal(PyImport_ImportModule("ipaddress"));
    Ref address = module
                      ? steal(PyObject_CallMethod(module.get(), "IPv6Address", "O", lowered.get()))
                      : Ref();
    if (!address) {
      if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
      PyErr_Clear();
      return url_error(url, param);
    }
    Ref compressed = steal(PyObject_GetAttrString(address.get(), "compressed"));
    Ref is_loopback =
        compressed ? steal(PyObject_GetAttrString(address.get(), "is_loopback")) : Ref();
    if (!is_loopback) return false;
    ipv6_loopback = is_loopback.get() == Py_True;
    lowered = std::move(compressed);
    out.ip = true;
  }
  Ref ascii;
  if (PyUnicode_IS_ASCII(lowered.get())) {
    ascii = Ref::incref(lowered.get());
  } else {
    Ref encoded = steal(PyUnicode_AsEncodedString(lowered.get(), "idna", nullptr));
    if (!encoded) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) return false;
      PyErr_Clear();
      return url_error(url, param);
    }
    ascii = steal(PyUnicode_FromEncodedObject(encoded.get(), "ascii", nullptr));
    if (!ascii) return false;
  }
  std::string_view host{static_cast<const char*>(PyUnicode_DATA(ascii.get())),
                        static_cast<size_t>(PyUnicode_GET_LENGTH(ascii.get()))};
  out.host.clear();
  if ((ipv6 && !out.host.push_back('[')) || !out.host.append(host) ||
      (ipv6 && !out.host.push_back(']'))) {
    return no_memory();
  }
  long number = port.get() == Py_None ? (out.https ? 443 : 80) : PyLong_AsLong(port.get());
  if (number < 0 || number > 65535) return PyErr_Occurred() ? false : url_error(url, param);
  out.port = static_cast<uint16_t>(number);
  // The path as sent: characters outside ASCII percent-encoded as UTF-8.
  Ref encoded = steal(PyUnicode_AsEncodedString(path.get(), "utf-8", "surrogatepass"));
  if (!encoded) return false;
  out.path.clear();
  const char* p = PyBytes_AS_STRING(encoded.get());
  Py_ssize_t n = PyBytes_GET_SIZE(encoded.get());
  if (n == 0 && !out.path.push_back('/')) return no_memory();
  static const char kHex[] = "0123456789ABCDEF";
  for (Py_ssize_t i = 0; i < n; i++) {
    unsigned char c = static_cast<unsigned char>(p[i]);
    bool ok = c > 0x20 && c < 0x7F && c != '"' && c != '<' && c != '>' && c != '`'
                  ? out.path.push_back(static_cast<char>(c))
                  : out.path.push_back('%') && out.path.push_back(kHex[c >> 4]) &&
                        out.path.push_back(kHex[c & 15]);
    if (!ok) return no_memory();
  }
  finish(out, ipv6_loopback);
  return true;
}

}  // namespace

bool read_url(PyObject* url, const char* param, RequestUrl& out) noexcept {
  if (!PyUnicode_Check(url)) {
    PyErr_Format(PyExc_TypeError, "%s must be a str, not %.200s", param, Py_TYPE(url)->tp_name);
    return false;
  }
  out.https = out.trustworthy = out.ip = false;
  if (!PyUnicode_IS_ASCII(url)) {
    Ref plain = steal(PyUnicode_FromObject(url));  // a subclass's plain value
    return plain && read_general(plain.get(), param, out);
  }
  const char* data = static_cast<const char*>(PyUnicode_DATA(url));
  const size_t size = static_cast<size_t>(PyUnicode_GET_LENGTH(url));
  std::string_view text(data, size);
  for (char c : text) {
    if (c <= ' ' || c == 0x7F || c == '[' || c == ']' || c == '\\') {
      Ref plain = steal(PyUnicode_FromObject(url));
      return plain && read_general(plain.get(), param, out);
    }
  }
  size_t colon = text.find(':');
  if (colon == std::string_view::npos || !read_scheme(part(text, 0, colon), &out.https) ||
      part(text, colon + 1, 2) != "//") {
    return url_error(url, param);
  }
  size_t netloc = colon + 3;
  size_t netloc_end = text.find_first_of("/?#", netloc);
  if (netloc_end == std::string_view::npos) netloc_end = size;
  size_t path_end = text.find_first_of("?#", netloc_end);
  if (path_end == std::string_view::npos) path_end = size;
  // The host: after the last "@", up to a ":" and the port.
  std::string_view authority = part(text, netloc, netloc_end - netloc);
  size_t at = authority.rfind('@');
  std::string_view host = at == std::string_view::npos ? authority : part(authority, at + 1);
  size_t port_colon = host.find(':');
  std::string_view port =
      port_colon == std::string_view::npos ? std::string_view() : part(host, port_colon + 1);
  host = part(host, 0, port_colon);
  if (host.empty()) return url_error(url, param);
  long number = out.https ? 443 : 80;
  if (!port.empty()) {
    number = 0;
    for (char c : port) {
      if (c < '0' || c > '9' || number > 65535) return url_error(url, param);
      number = number * 10 + (c - '0');
    }
    if (number > 65535) return url_error(url, param);
  }
  out.port = static_cast<uint16_t>(number);
  out.host.clear();
  if (!out.host.reserve(host.size())) return no_memory();
  for (char c : host) (void)out.host.push_back(lower(c));
  std::string_view path = part(text, netloc_end, path_end - netloc_end);
  if (!out.path.assign(path.empty() ? std::string_view("/") : path)) return no_memory();
  finish(out, false);
  return true;
}

std::string_view default_path(std::string_view path) noexcept {
  size_t last = path.rfind('/');
  if (path.empty() || path[0] != '/' || last == 0 || last == std::string_view::npos) return "/";
  return part(path, 0, last);
}

}  // namespace gco::jar
