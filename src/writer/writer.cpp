// glimmering_copper_otter.writer: write_cookie_for_response for interpreted
// code, with the Partitioned and Priority attributes that browsers read.
// The cookies module offers the writer only through its C-level function
// table; this module imports that table with cookies.h, the way any sibling
// compiled module does, wraps the entry in one module function, and
// publishes the extended writer in a C-level table of its own (writer.h,
// writer.pxd).
#include "compat.hpp"  // <Python.h>, and what older interpreters lack

#include <cstring>

#include "idna.hpp"
#include "cookies.h"
#include "frame.hpp"
#include "function.hpp"
#include "writer.h"
#include "writer.hpp"

namespace gco {

bool priority_from_object(PyObject* priority, Priority* out) {
  static constexpr struct {
    const char* lower;
    const char* written;
  } kLevels[] = {{"low", "Low"}, {"medium", "Medium"}, {"high", "High"}};
  *out = Priority{};
  if (priority == nullptr || priority == Py_None) return true;
  if (!PyUnicode_Check(priority)) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "priority",
                 "str or None", Py_TYPE(priority)->tp_name);
    return false;
  }
  if (PyUnicode_IS_ASCII(priority)) {
    const char* data = static_cast<const char*>(PyUnicode_DATA(priority));
    const Py_ssize_t size = PyUnicode_GET_LENGTH(priority);
    for (const auto& level : kLevels) {
      const Py_ssize_t length = static_cast<Py_ssize_t>(std::strlen(level.lower));
      if (size != length) continue;
      bool same = true;
      for (Py_ssize_t i = 0; same && i < size; i++) {
        char c = data[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        same = c == level.lower[i];
      }
      if (same) {
        *out = Priority{level.written, length};
        return true;
      }
    }
  }
  PyErr_Format(PyExc_ValueError,
               "Invalid cookie priority %R: expected 'low', 'medium' or 'high' (in any letter "
               "case) or None",
               priority);
  return false;
}

namespace {

// What exec takes out of the cookies module: Cookie (a strong reference),
// its method table and the function table entries, each checked against
// cookies.h.  Held for the life of the process.
GcoCookiesAPI cookies_api;

template <size_t N>
char* put(char* out, const char (&literal)[N]) {
  std::memcpy(out, literal, N - 1);
  return out + N - 1;
}

// The cookies module's bytes for the cookie, with Secure put where that
// writer puts it when Partitioned needs it, then Partitioned and Priority.
PyObject* write(GcoCookie* cookie, bool partitioned, Priority priority) {
  PyObject* written = cookies_api.write_cookie_for_response(cookie);
  if (written == nullptr || (!partitioned && priority.text == nullptr)) return written;
  Ref plain = steal(written);
  // No code of the caller's runs between the end of the write and here, so
  // these fields are the ones the writer just read.  The writer adds Secure
  // for a secure cookie and for SameSite Strict and None, after HttpOnly and
  // before the SameSite attribute; without Secure the only piece that can
  // follow that place is "; SameSite=Lax".
  static constexpr char kLax[] = "; SameSite=Lax";
  static constexpr Py_ssize_t kLaxSize = sizeof kLax - 1;
  const uint32_t same_site = cookie->same_site;
  const bool has_secure =
      cookie->secure || same_site == GCO_SAME_SITE_STRICT || same_site == GCO_SAME_SITE_NONE;
  const bool add_secure = partitioned && !has_secure;
  const char* data = PyBytes_AS_STRING(plain.get());
  const Py_ssize_t size = PyBytes_GET_SIZE(plain.get());
  const Py_ssize_t tail = same_site == GCO_SAME_SITE_LAX ? kLaxSize : 0;
  if (add_secure && (size < tail || std::memcmp(data + size - tail, kLax, tail) != 0)) {
    PyErr_SetString(PyExc_SystemError,
                    "write_cookie_for_response returned bytes that do not end as the cookie "
                    "says");
    return nullptr;
  }
  const Py_ssize_t extra = (add_secure ? 8 : 0) + (partitioned ? 13 : 0) +
                           (priority.text != nullptr ? 11 + priority.size : 0);
  Ref result = steal(PyBytes_FromStringAndSize(nullptr, size + extra));
  if (!result) return nullptr;
  char* out = PyBytes_AS_STRING(result.get());
  const Py_ssize_t head = add_secure ? size - tail : size;
  std::memcpy(out, data, static_cast<size_t>(head));
  out += head;
  if (add_secure) {
    out = put(out, "; Secure");
    std::memcpy(out, data + head, static_cast<size_t>(tail));
    out += tail;
  }
  if (partitioned) out = put(out, "; Partitioned");
  if (priority.text != nullptr) {
    out = put(out, "; Priority=");
    std::memcpy(out, priority.text, static_cast<size_t>(priority.size));
  }
  return result.transfer();
}

// The C entry of __pyx_capi__ (writer.h, writer.pxd).
PyObject* write_set_cookie(GcoCookie* cookie, int partitioned, PyObject* priority) noexcept {
  PyObject* self = reinterpret_cast<PyObject*>(cookie);
  PyObject* result = nullptr;
  Priority level;
  if (self == nullptr || !GcoCookie_Check(&cookies_api, self)) {
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s",
                 self ? Py_TYPE(self)->tp_name : "NULL", cookies_api.cookie_type->tp_name);
  } else if (priority_from_object(priority, &level)) {
    result = write(cookie, partitioned != 0, level);
  }
  if (result == nullptr) GCO_TRACEBACK("write_set_cookie");
  return result;
}

PyObject* write_cookie_for_response(PyObject* /*module*/, PyObject* const* args) {
  PyObject* cookie = args[0];
  // The C entry takes a Cookie record and reads its fields in place, so
  // nothing else (None included) may reach it.
  if (!GcoCookie_Check(&cookies_api, cookie)) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "cookie",
                 cookies_api.cookie_type->tp_name, Py_TYPE(cookie)->tp_name);
    return nullptr;
  }
  // Both keywords are read before the cookie is written: the truth test may
  // run the caller's code, the priority check runs none.
  const int partitioned = args[1] == nullptr ? 0 : truth(args[1]);
  if (partitioned < 0) return nullptr;
  Priority level;
  if (!priority_from_object(args[2], &level)) return nullptr;
  return write(reinterpret_cast<GcoCookie*>(cookie), partitioned != 0, level);
}

FunctionRow functions[] = {
    {"write_cookie_for_response", params("cookie", "*", "partitioned=False", "priority=None"),
     write_cookie_for_response, nullptr,
     "The cookie as the bytes of one Set-Cookie header value.\n"
     "\n"
     "Without the keywords the bytes are those of the cookies module's writer:\n"
     "name=value (percent-encoded), then Expires, Max-Age, Domain, Path,\n"
     "HttpOnly, Secure (also for SameSite Strict and None) and SameSite.\n"
     "\n"
     "partitioned: when true, \"Partitioned\" follows the last attribute (a\n"
     "partitioned cookie, CHIPS), and Secure, which browsers require for it, is\n"
     "added where the writer puts it when the cookie would not have it.\n"
     "priority: None, or \"low\", \"medium\" or \"high\" in any letter case, which\n"
     "appends \"Priority=Low\", \"Priority=Medium\" or \"Priority=High\" after\n"
     "everything else.  Another text raises ValueError, a value that is not a\n"
     "str or None TypeError.\n"
     "\n"
     "    >>> write_cookie_for_response(Cookie(\"a\", \"b\"), partitioned=True, "
     "priority=\"high\")\n"
     "    b'a=b; Secure; Partitioned; Priority=High'\n"
     "\n"
     "Compiled callers reach the same writer through this module's\n"
     "__pyx_capi__ entry write_set_cookie (writer.pxd, writer.h)."},
    {"set_cookie_header",
     params("name", "value=''", "*", "max_age=None", "expires=None", "path='/'", "domain=None",
            "secure=False", "http_only=False", "same_site=None", "partitioned=False",
            "priority=None", "encoding='auto'"),
     set_cookie_header, nullptr,
     "One Set-Cookie header value, from what web frameworks pass, as bytes.\n"
     "\n"
     "name and value are str (a subclass is read as its plain text).\n"
     "max_age: None, an int or a timedelta (whole seconds, the fraction dropped;\n"
     "negative raises ValueError); it writes Max-Age only.\n"
     "expires: None, a datetime (naive ones are read as UTC), a date (midnight\n"
     "UTC) or an int or float POSIX timestamp, within the years 1601 to 9999.\n"
     "path (default \"/\") and domain: str or None; the path is written as\n"
     "browsers send request paths (non-ASCII characters, space and \"#<>?^`{|}\n"
     "percent-encoded, \\ read as /, . and .. segments resolved).\n"
     "secure, http_only, partitioned: truth values.\n"
     "same_site: None, 'lax', 'strict' or 'none' in any letter case, or a\n"
     "CookieSameSiteMode.  priority: None, 'low', 'medium' or 'high'.\n"
     "encoding: 'auto' writes name and value unchanged when the name is an HTTP\n"
     "token, the value holds only cookie-octets (RFC 6265 section 4.1.1) and\n"
     "neither holds '%', and percent-encoded otherwise; 'percent' always\n"
     "percent-encodes (as write_cookie_for_response); 'raw' never does and\n"
     "raises ValueError for a name or value that would need it.\n"
     "\n"
     "Secure is added where browsers require it: SameSite=None, Partitioned,\n"
     "and names starting with __Secure-, __Host- or __Http-.  A header that a\n"
     "browser would refuse or change whatever the page (a refusal of\n"
     "browser.check that needs no url, a Domain that is a public suffix, a Path\n"
     "not starting with \"/\", an attribute value over 1024 bytes, a name and\n"
     "value over 4096 bytes as written) raises ValueError whose message starts\n"
     "with check's code word.  A wrong type raises TypeError.\n"
     "\n"
     "    >>> set_cookie_header(\"sid\", \"abc\", max_age=3600, http_only=True, "
     "same_site=\"lax\")\n"
     "    b'sid=abc; Max-Age=3600; Path=/; HttpOnly; SameSite=Lax'"},
    {"delete_cookie_header",
     params("name", "*", "path='/'", "domain=None", "secure=False", "http_only=False",
            "same_site=None", "partitioned=False", "encoding='auto'"),
     delete_cookie_header, nullptr,
     "A Set-Cookie header value that makes a browser remove a cookie, as bytes.\n"
     "\n"
     "The name is written as set_cookie_header writes it with an empty value\n"
     "and the same encoding, followed by Expires in 1970 and Max-Age=0.  path\n"
     "and domain must be those the cookie was set with; Secure is added as\n"
     "set_cookie_header adds it (a __Host-, __Secure-, SameSite=None or\n"
     "partitioned cookie is only removed by a Secure header).\n"
     "\n"
     "    >>> delete_cookie_header(\"sid\")\n"
     "    b'sid=; Expires=Thu, 01 Jan 1970 00:00:00 GMT; Max-Age=0; Path=/'"},
};

// A module object made again (after it was removed from sys.modules) gets
// new function objects; the process-wide state describes the latest one.
int writer_exec(PyObject* module) {
  if (!start_exec(kModuleName)) return -1;
  // hosts and Domain attributes outside ASCII go through UTS #46
  if (!gco::idna::prepare()) return -1;
  if (cookies_api.cookie_type == nullptr && GcoCookies_Import(&cookies_api) < 0) return -1;
  if (!front_door_exec(module)) return -1;
  bool ok = finish_exec(module, functions) &&
            publish_c_entry(module, "write_set_cookie", reinterpret_cast<void*>(write_set_cookie),
                            GCO_SIG_WRITE_SET_COOKIE);
  return ok ? 0 : -1;
}

PyModuleDef_Slot writer_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(writer_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef writer_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "writer",
    .m_doc = PyDoc_STR("Set-Cookie header values: cookies of glimmering_copper_otter.cookies "
                       "written with the Partitioned and Priority attributes, and headers "
                       "made from what web frameworks pass (set_cookie_header, "
                       "delete_cookie_header)."),
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = writer_slots,
};

}  // namespace

}  // namespace gco

PyMODINIT_FUNC PyInit_writer() { return PyModuleDef_Init(&gco::writer_module); }
