// glimmering_copper_otter.browser: what a browser stores for a Set-Cookie
// header value (read_set_cookie), and what it will make of a cookie before
// it is sent (check).  The steps themselves are in the kit's
// cookie_rules.cpp; this file reads the arguments, builds the records and the
// findings, and binds the module.
#include <Python.h>
#include <datetime.h>

#include <cstring>
#include <ctime>

#include "browser_record.hpp"
#include "arguments.hpp"
#include "compat.hpp"
#include "cookies.h"
#include "writer.h"
#include "cookie_rules.hpp"
#include "public_suffix.hpp"
#include "frame.hpp"
#include "function.hpp"
#include "idna.hpp"
#include "percent.hpp"
#include "url.hpp"

namespace gco::browser {

using namespace gco::rules;

namespace {

GcoCookiesAPI cookies_api;
GcoWriterAPI writer_api;
PyObject* same_site_members[4];  // CookieSameSiteMode.UNDEFINED, LAX, STRICT, NONE

GCO_STR(str_low, "low");
GCO_STR(str_medium, "medium");
GCO_STR(str_high, "high");
GCO_STR(str_root, "/");

bool use_public_suffix_list = true;  // use_public_suffix_list(), for tests

// ---------------------------------------------------------------------------
// The record.

// Its layout is the kit's, which the jar fills too.
using BrowserCookie = BrowserRecord;
constexpr int kObjectFields = kBrowserRecordObjects;

void record_dealloc(PyObject* self) {
  BrowserCookie* c = reinterpret_cast<BrowserCookie*>(self);
  for (int i = 0; i < kObjectFields; i++) Py_CLEAR(object_fields(c)[i]);
  Py_TYPE(self)->tp_free(self);
}

PyObject* py_bool(char b) { return Py_NewRef(b ? Py_True : Py_False); }

PyObject* record_repr(PyObject* self) {
  BrowserCookie* c = reinterpret_cast<BrowserCookie*>(self);
  return PyUnicode_FromFormat(
      "BrowserCookie(name=%R, value=%R, raw_name=%R, raw_value=%R, domain=%R, host_only=%s, "
      "path=%R, expires=%R, secure=%s, http_only=%s, same_site=%R, partitioned=%s, "
      "priority=%R, expired=%s)",
      c->name, c->value, c->raw_name, c->raw_value, c->domain, c->host_only ? "True" : "False",
      c->path, c->expires, c->secure ? "True" : "False", c->http_only ? "True" : "False",
      c->same_site, c->partitioned ? "True" : "False", c->priority, c->expired ? "True" : "False");
}

// The fields in their order, as one tuple (for hashing).
PyObject* record_tuple(BrowserCookie* c) {
  return Py_BuildValue("(OOOOOOOOOOOOOO)", c->name, c->value, c->raw_name, c->raw_value, c->domain,
                       c->host_only ? Py_True : Py_False, c->path, c->expires,
                       c->secure ? Py_True : Py_False, c->http_only ? Py_True : Py_False,
                       c->same_site, c->partitioned ? Py_True : Py_False, c->priority,
                       c->expired ? Py_True : Py_False);
}

PyObject* record_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || !Py_IS_TYPE(other, Py_TYPE(self))) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  BrowserCookie* a = reinterpret_cast<BrowserCookie*>(self);
  BrowserCookie* b = reinterpret_cast<BrowserCookie*>(other);
  bool equal = a->host_only == b->host_only && a->secure == b->secure &&
               a->http_only == b->http_only && a->partitioned == b->partitioned &&
               a->expired == b->expired && a->same_site == b->same_site;
  for (int i = 0; equal && i < kObjectFields; i++) {
    // The fields hold str, bytes, datetime and None only: comparing them
    // runs no interpreted code, and the records keep them alive.
    int same = PyObject_RichCompareBool(object_fields(a)[i], object_fields(b)[i], Py_EQ);
    if (same < 0) return nullptr;
    equal = same;
  }
  return py_bool(equal == (op == Py_EQ));
}

Py_hash_t record_hash(PyObject* self) {
  Ref fields = steal(record_tuple(reinterpret_cast<BrowserCookie*>(self)));
  return fields ? PyObject_Hash(fields.get()) : -1;
}

PyMemberDef record_members[] = {
    {"name", Py_T_OBJECT_EX, offsetof(BrowserCookie, name), Py_READONLY,
     "The name, read from the header's bytes by the text rule."},
    {"value", Py_T_OBJECT_EX, offsetof(BrowserCookie, value), Py_READONLY,
     "The value as the browser keeps it: not percent-decoded, quotes kept."},
    {"raw_name", Py_T_OBJECT_EX, offsetof(BrowserCookie, raw_name), Py_READONLY,
     "The name's bytes as received: what a browser sends back in the Cookie header."},
    {"raw_value", Py_T_OBJECT_EX, offsetof(BrowserCookie, raw_value), Py_READONLY,
     "The value's bytes as received (quotes kept): what a browser sends back."},
    {"domain", Py_T_OBJECT_EX, offsetof(BrowserCookie, domain), Py_READONLY,
     "Lower case, no leading dot; the request host for a host-only cookie; None without a "
     "url and a Domain attribute."},
    {"host_only", Py_T_BOOL, offsetof(BrowserCookie, host_only), Py_READONLY,
     "True when the cookie goes back only to the host that set it."},
    {"path", Py_T_OBJECT_EX, offsetof(BrowserCookie, path), Py_READONLY,
     "The Path attribute, or the url's default path; None without either."},
    {"expires", Py_T_OBJECT_EX, offsetof(BrowserCookie, expires), Py_READONLY,
     "An aware UTC datetime, or None for a session cookie."},
    {"secure", Py_T_BOOL, offsetof(BrowserCookie, secure), Py_READONLY, nullptr},
    {"http_only", Py_T_BOOL, offsetof(BrowserCookie, http_only), Py_READONLY, nullptr},
    {"same_site", Py_T_OBJECT_EX, offsetof(BrowserCookie, same_site), Py_READONLY,
     "A CookieSameSiteMode member; UNDEFINED when absent or unrecognised."},
    {"partitioned", Py_T_BOOL, offsetof(BrowserCookie, partitioned), Py_READONLY, nullptr},
    {"priority", Py_T_OBJECT_EX, offsetof(BrowserCookie, priority), Py_READONLY,
     "\"low\", \"medium\" or \"high\"; None when absent or unrecognised."},
    {"expired", Py_T_BOOL, offsetof(BrowserCookie, expired), Py_READONLY,
     "True when the cookie expires at once: a browser applies it as a deletion."},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject BrowserCookieType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name =
        "glimmering_copper_otter.browser.BrowserCookie",
    .tp_basicsize = sizeof(BrowserCookie),
    .tp_dealloc = record_dealloc,
    .tp_repr = record_repr,
    .tp_hash = record_hash,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .tp_doc = PyDoc_STR(
        "What a browser stores for one Set-Cookie header value (immutable; made by\n"
        "read_set_cookie).\n"
        "\n"
        "Records are equal when every field is, the raw bytes included: a value received as\n"
        "Latin-1 b'\\xe9' and one received as UTF-8 b'\\xc3\\xa9' read as the same text but\n"
        "are different cookies, since a browser sends back the bytes it received."),
    .tp_richcompare = record_richcompare,
    .tp_members = record_members,
};

// ---------------------------------------------------------------------------
// Arguments.

PyObject* url_error(PyObject* url) {
  PyErr_Format(PyExc_ValueError, "url must be an absolute http(s) URL: %R", url);
  return nullptr;
}

// The url's origin: its host as the url reader writes it, whether that is
// an IP address, whether the origin is secure (https, or a loopback host:
// localhost, a name under .localhost, 127.0.0.0/8, [::1]), and the default
// path of its canonical path (up to the last "/", or "/" when that is the
// first).  ValueError for a url that is not an http(s) url.
bool read_origin(PyObject* url, Origin& origin) {
  gco::url::Url parsed;
  switch (gco::url::read(url, parsed)) {
    case gco::url::Status::kOk:
      break;
    case gco::url::Status::kNotAUrl:
      url_error(url);
      return false;
    case gco::url::Status::kNoMemory:
      return no_memory();
    case gco::url::Status::kError:
      return false;
  }
  // ws and wss read fine, but a response to a navigation comes over http(s)
  if (parsed.scheme != gco::url::Scheme::kHttp && parsed.scheme != gco::url::Scheme::kHttps) {
    url_error(url);
    return false;
  }
  origin.secure = parsed.cryptographic() || parsed.loopback_host();
  origin.ip = parsed.host_kind != gco::url::HostKind::kDomain;
  std::string_view host = parsed.host();
  if (!origin.host.assign(host)) return no_memory();
  origin.host_text = steal(ascii_text(host.data(), static_cast<Py_ssize_t>(host.size())));
  if (!origin.host_text) return false;
  std::string_view path = parsed.path();  // never empty: it starts with "/"
  size_t last = path.rfind('/');
  if (last == 0 || last == std::string_view::npos) {
    origin.default_path = incref(str_root.get());
  } else {
    origin.default_path = steal(ascii_text(path.data(), static_cast<Py_ssize_t>(last)));
  }
  return static_cast<bool>(origin.default_path);
}

// ---------------------------------------------------------------------------
// read_set_cookie.

PyObject* make_record(const Outcome& out, const Origin* origin) {
  Ref record = steal(PyType_GenericAlloc(&BrowserCookieType, 0));
  if (!record) return nullptr;
  BrowserCookie* c = reinterpret_cast<BrowserCookie*>(record.get());
  c->name = decode_text(out.name.data, out.name.size);
  if (c->name == nullptr) return nullptr;
  c->value = decode_text(out.value.data, out.value.size);
  if (c->value == nullptr) return nullptr;
  c->raw_name = PyBytes_FromStringAndSize(out.name.data, out.name.size);
  if (c->raw_name == nullptr) return nullptr;
  c->raw_value = PyBytes_FromStringAndSize(out.value.data, out.value.size);
  if (c->raw_value == nullptr) return nullptr;
  if (!out.has_domain) {
    c->domain = Py_NewRef(Py_None);
  } else if (out.domain_is_host) {
    c->domain = origin->host_text.share();
  } else {
    c->domain = ascii_text(out.domain.data(), static_cast<Py_ssize_t>(out.domain.size()));
    if (c->domain == nullptr) return nullptr;
  }
  if (!out.has_path) {
    c->path = Py_NewRef(Py_None);
  } else if (out.path_is_default) {
    c->path = origin->default_path.share();
  } else {
    c->path = decode_text(out.path.data, out.path.size);
    if (c->path == nullptr) return nullptr;
  }
  c->expires = out.has_expiry ? datetime_of_instant(out.expiry) : Py_NewRef(Py_None);
  if (c->expires == nullptr) return nullptr;
  c->same_site = Py_NewRef(same_site_members[out.same_site]);
  switch (out.priority) {
    case Priority::kNone:
      c->priority = Py_NewRef(Py_None);
      break;
    case Priority::kLow:
      c->priority = Py_NewRef(str_low.get());
      break;
    case Priority::kMedium:
      c->priority = Py_NewRef(str_medium.get());
      break;
    case Priority::kHigh:
      c->priority = Py_NewRef(str_high.get());
      break;
  }
  c->host_only = out.host_only;
  c->secure = out.secure;
  c->http_only = out.http_only;
  c->partitioned = out.partitioned;
  c->expired = out.expired;
  return record.transfer();
}

// The arguments every entry shares: url and now.  The url's origin is read
// last, so that nothing runs interpreted code after the header's bytes are
// taken (a str subclass's data stays put; bytes are immutable).
// An origin shared by the calls that read the same url: the last one read
// stays cached (callers pass the same url again and again), and a call keeps
// the one it uses alive, so a call made meanwhile (from the interpreted code
// some rare step runs) may replace the cache freely.  Kept in the raw
// allocator's memory; the cached one is never destroyed, since its
// references must not be dropped after the interpreter has finished.
struct SharedOrigin {
  Py_ssize_t users = 1;  // the calls using it, and the cache while it is cached
  Ref key;               // the url's text, a plain str
  Origin origin;
};

SharedOrigin* cached_origin = nullptr;

void release(SharedOrigin* shared) {
  if (--shared->users == 0) {
    shared->~SharedOrigin();
    raw_free(shared);
  }
}

struct Context {
  SharedOrigin* shared = nullptr;
  int64_t now = 0;
  Context() = default;
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  ~Context() {
    if (shared != nullptr) release(shared);
  }
  const Origin* origin() const { return shared != nullptr ? &shared->origin : nullptr; }
};

bool read_context(PyObject* url, PyObject* now, Context& context) {
  if (url != nullptr && url != Py_None && !PyUnicode_Check(url)) {
    PyErr_Format(PyExc_TypeError, "url must be a str, not %.200s", Py_TYPE(url)->tp_name);
    return false;
  }
  if (!read_now(now, &context.now)) return false;
  if (url == nullptr || url == Py_None) return true;
  // A str subclass is read as its plain text: the copy made here is what is
  // read and what the cache is keyed by (no method of it runs).
  Ref key = steal(PyUnicode_FromObject(url));
  if (!key) return false;
  SharedOrigin* cached = cached_origin;
  if (cached != nullptr &&
      (cached->key.get() == key.get() || PyUnicode_Compare(cached->key.get(), key.get()) == 0)) {
    cached->users++;
    context.shared = cached;
    return true;
  }
  void* memory = raw_allocate(1, sizeof(SharedOrigin));
  if (memory == nullptr) return no_memory();
  SharedOrigin* fresh = new (memory) SharedOrigin;
  context.shared = fresh;
  if (!read_origin(key.get(), fresh->origin)) return false;
  fresh->key = std::move(key);
  fresh->users++;
  SharedOrigin* previous = cached_origin;
  cached_origin = fresh;
  if (previous != nullptr) release(previous);
  return true;
}

PyObject* read_set_cookie(PyObject* /*module*/, PyObject* const* args) {
  Ref holder;
  Span raw;
  if (!header_bytes(args[0], "raw", holder, raw)) return nullptr;
  Context context;
  if (!read_context(args[1], args[2], context)) return nullptr;
  const Origin* origin = context.origin();
  Outcome out;
  if (!evaluate(raw, origin, context.now, out, nullptr, use_public_suffix_list)) return nullptr;
  if (out.refusal != Refusal::kNone) Py_RETURN_NONE;
  return make_record(out, origin);
}

// ---------------------------------------------------------------------------
// check.

// The priority keyword: None, or "low", "medium" or "high" in any letter case.
bool read_priority(PyObject* priority, Priority* out) {
  *out = Priority::kNone;
  if (priority == nullptr || priority == Py_None) return true;
  if (!PyUnicode_Check(priority)) {
    PyErr_Format(PyExc_TypeError, "priority must be a str or None, not %.200s",
                 Py_TYPE(priority)->tp_name);
    return false;
  }
  if (PyUnicode_IS_ASCII(priority)) {
    Span s{static_cast<const char*>(PyUnicode_DATA(priority)), PyUnicode_GET_LENGTH(priority)};
    if (s.is("low")) *out = Priority::kLow;
    if (s.is("medium")) *out = Priority::kMedium;
    if (s.is("high")) *out = Priority::kHigh;
  }
  if (*out == Priority::kNone) {
    PyErr_Format(PyExc_ValueError, "priority must be 'low', 'medium' or 'high', not %R", priority);
    return false;
  }
  return true;
}

bool printable_ascii(PyObject* text) {
  if (!PyUnicode_IS_ASCII(text)) return false;
  const char* data = static_cast<const char*>(PyUnicode_DATA(text));
  for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(text); i++) {
    if (data[i] <= ' ' || data[i] == 0x7F) return false;
  }
  return true;
}

// The header that the writer module writes for the cookie with the
// partitioned and priority keywords (its write_set_cookie entry).  Findings
// about the cookie itself go to findings.  A new bytes object; None (with a
// finding) when the writer refuses the cookie; nullptr with an exception set.
PyObject* cookie_header(PyObject* subject, bool partitioned, PyObject* priority_arg,
                        Findings& findings) {
  GcoCookie* cookie = reinterpret_cast<GcoCookie*>(subject);
  if (cookie->_name == Py_None) {
    if (!findings.note("NoName", {"the cookie has no name: the writer cannot write it"})) {
      return nullptr;
    }
    Py_RETURN_NONE;
  }
  Ref written = steal(
      writer_api.write_set_cookie(cookie, partitioned, priority_arg ? priority_arg : Py_None));
  if (!written) {
    // What the writer refuses (";" or a control character in the domain or
    // path, no value, text that cannot be encoded) is a finding; an error of
    // the caller's own code (a subclass property, say) goes on.
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) {
      return nullptr;
    }
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref t = steal(type), v = steal(value), tb = steal(traceback);
    Ref message = steal(v ? PyObject_Str(v.get()) : PyUnicode_FromString("ValueError"));
    if (!message) return nullptr;
    const char* text = PyUnicode_AsUTF8(message.get());
    if (text == nullptr) return nullptr;
    if (!findings.note("WriterRefuses", {"the writer refuses the cookie: ", text})) {
      return nullptr;
    }
    Py_RETURN_NONE;
  }
  // The fields as the writer read them: nothing ran after its last look.
  const uint32_t same_site = cookie->same_site;
  const bool writer_secure = cookie->secure || same_site == 2 || same_site == 3;
  bool noted = true;
  if (!cookie->secure && writer_secure) {
    noted =
        findings.note("SecureAdded", {same_site == 2 ? "the writer adds Secure for SameSite=Strict"
                                                     : "the writer adds Secure for SameSite=None"});
  }
  if (partitioned && !writer_secure) {
    noted = noted && findings.note("SecureAdded", {"the writer adds Secure for Partitioned"});
  }
  PyObject* expires = cookie->expires;
  if (expires != Py_None && PyDateTime_Check(expires) && PyDateTime_GET_YEAR(expires) < 1601) {
    noted = noted && findings.note("ExpiresBefore1601",
                                   {"expires is before the year 1601, which has no cookie-date "
                                    "form: clients read the written year as another one"});
  }
  if (cookie->domain != Py_None && PyUnicode_Check(cookie->domain) &&
      PyUnicode_GET_LENGTH(cookie->domain) > 0 && !printable_ascii(cookie->domain)) {
    noted = noted && findings.note("DomainNotAscii",
                                   {"the domain is not printable ASCII: browsers compare it with "
                                    "the request's host in A-label form"});
  }
  if (cookie->path != Py_None && PyUnicode_Check(cookie->path) &&
      PyUnicode_GET_LENGTH(cookie->path) > 0 && !printable_ascii(cookie->path)) {
    noted = noted &&
            findings.note("PathNotAscii", {"the path is not printable ASCII: request paths arrive "
                                           "percent-encoded, so the cookie is never sent back"});
  }
  return noted ? written.transfer() : nullptr;
}

// The findings as lines "CodeWord: sentence", then, for each code word with
// findings left out, one line that says how many.
PyObject* findings_list(const Findings& findings) {
  Ref list = steal(PyList_New(0));
  if (!list) return nullptr;
  String line;
  for (size_t i = 0; i < findings.size() + findings.words(); i++) {
    line.clear();
    bool written;
    if (i < findings.size()) {
      const Finding& f = findings[i];
      written = line.append(f.word) && line.append(": ") && line.append(f.sentence);
    } else {
      size_t w = i - findings.size();
      if (findings.left_out(w) == 0) continue;
      written = line.append(findings.word(w)) && line.append(": ") &&
                line.append_decimal(static_cast<long long>(findings.left_out(w))) &&
                line.append(" more findings of this kind are not listed");
    }
    if (!written) return PyErr_NoMemory();
    Ref text =
        steal(PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "replace"));
    if (!text || PyList_Append(list.get(), text.get()) < 0) return nullptr;
  }
  return list.transfer();
}

PyObject* check(PyObject* /*module*/, PyObject* const* args) {
  PyObject* subject = args[0];
  PyObject* partitioned_arg = args[3];
  PyObject* priority_arg = args[4];
  const bool is_cookie = GcoCookie_Check(&cookies_api, subject);
  if (!is_cookie && !PyBytes_Check(subject) && !PyUnicode_Check(subject)) {
    PyErr_Format(PyExc_TypeError, "subject must be bytes, str or a Cookie, not %.200s",
                 Py_TYPE(subject)->tp_name);
    return nullptr;
  }
  int partitioned = partitioned_arg == nullptr ? 0 : truth(partitioned_arg);
  if (partitioned < 0) return nullptr;
  Priority priority;
  if (!read_priority(priority_arg, &priority)) return nullptr;
  if (!is_cookie && (partitioned || priority != Priority::kNone)) {
    PyErr_SetString(PyExc_TypeError,
                    "partitioned and priority apply to a Cookie subject, not to a header");
    return nullptr;
  }
  Context context;
  if (!read_context(args[1], args[2], context)) return nullptr;

  Findings findings;
  Ref holder;
  Span raw;
  if (is_cookie) {
    Ref keep = incref(subject);
    holder = steal(cookie_header(subject, partitioned, priority_arg, findings));
    if (!holder) return nullptr;
    if (holder.get() == Py_None) return findings_list(findings);
    raw = Span{PyBytes_AS_STRING(holder.get()), PyBytes_GET_SIZE(holder.get())};
  } else if (!header_bytes(subject, "subject", holder, raw)) {
    return nullptr;
  }
  Outcome out;
  if (!evaluate(raw, context.origin(), context.now, out, &findings, use_public_suffix_list)) {
    return nullptr;
  }
  // The refusal first, then the cookie's own findings, then the header's.
  if (out.refusal != Refusal::kNone) findings.move_to_front(refusal_word(out.refusal));
  return findings_list(findings);
}

// ---------------------------------------------------------------------------
// The url reader, for the tests.

PyObject* view_text(std::string_view part, bool present) {
  if (!present) Py_RETURN_NONE;
  return ascii_text(part.data(), static_cast<Py_ssize_t>(part.size()));
}

PyObject* read_url(PyObject* /*module*/, PyObject* const* args) {
  if (!PyUnicode_Check(args[0])) {
    PyErr_Format(PyExc_TypeError, "url must be a str, not %.200s", Py_TYPE(args[0])->tp_name);
    return nullptr;
  }
  gco::url::Url url;
  switch (gco::url::read(args[0], url)) {
    case gco::url::Status::kOk:
      break;
    case gco::url::Status::kNotAUrl:
      Py_RETURN_NONE;
    case gco::url::Status::kNoMemory:
      return PyErr_NoMemory();
    case gco::url::Status::kError:
      return nullptr;
  }
  static const char* const kKinds[] = {"domain", "ipv4", "ipv6"};
  Ref fields[] = {
      steal(view_text(url.href.view(), true)),
      steal(view_text(url.scheme_name(), true)),
      steal(view_text(url.host(), true)),
      steal(PyUnicode_FromString(kKinds[static_cast<int>(url.host_kind)])),
      steal(PyLong_FromLong(url.port)),
      steal(view_text(url.path(), true)),
      steal(view_text(url.query(), url.has_query)),
      steal(view_text(url.fragment(), url.has_fragment)),
      incref(url.loopback_host() ? Py_True : Py_False),
  };
  static const char* const kNames[] = {"href", "scheme", "host",     "host_kind", "port",
                                       "path", "query",  "fragment", "loopback"};
  Ref result = steal(PyDict_New());
  if (!result) return nullptr;
  for (size_t i = 0; i < sizeof fields / sizeof fields[0]; i++) {
    if (!fields[i] || PyDict_SetItemString(result.get(), kNames[i], fields[i].get()) < 0) {
      return nullptr;
    }
  }
  return result.transfer();
}

// ---------------------------------------------------------------------------
// The list switch.

PyObject* set_public_suffix_list(PyObject* /*module*/, PyObject* const* args) {
  int enabled = truth(args[0]);
  if (enabled < 0) return nullptr;
  bool previous = use_public_suffix_list;
  use_public_suffix_list = enabled;
  return py_bool(previous);
}

PyObject* list_version(PyObject* /*module*/, PyObject* const* /*args*/) {
  return PyUnicode_FromString(kPublicSuffixListVersion);
}

// registrable_domain(host): the host as in a canonical URL; ASCII letters
// are lowered, other text is refused (internationalised labels come as
// A-labels).
PyObject* py_registrable_domain(PyObject* /*module*/, PyObject* const* args) {
  PyObject* host = args[0];
  if (!PyUnicode_Check(host)) {
    PyErr_Format(PyExc_TypeError, "host must be a str, not %.200s", Py_TYPE(host)->tp_name);
    return nullptr;
  }
  if (!PyUnicode_IS_ASCII(host)) {
    PyErr_Format(PyExc_ValueError, "host must be ASCII (A-labels for other text): %R", host);
    return nullptr;
  }
  String lowered;
  const char* data = static_cast<const char*>(PyUnicode_DATA(host));
  if (!lowered.assign({data, static_cast<size_t>(PyUnicode_GET_LENGTH(host))})) {
    return PyErr_NoMemory();
  }
  for (size_t i = 0; i < lowered.size(); i++) {
    char c = lowered[i];
    lowered[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  std::string_view found = registrable_domain(lowered, use_public_suffix_list);
  if (found.empty()) Py_RETURN_NONE;
  return ascii_text(found.data(), static_cast<Py_ssize_t>(found.size()));
}

FunctionRow functions[] = {
    {"read_set_cookie", params("raw", "url=None", "*", "now=None"), read_set_cookie, nullptr,
     "What a browser stores for one Set-Cookie header value, or None when it refuses it.\n"
     "\n"
     "raw is bytes, or a str (characters below U+0100 stand for their Latin-1 bytes; a str\n"
     "with any other character is read as its UTF-8).  Names, values and paths are read by\n"
     "the text rule: UTF-8, a byte outside a valid sequence standing for its Latin-1\n"
     "character; the record also keeps the name's and value's bytes as received\n"
     "(raw_name, raw_value).  url is the absolute http(s) URL of a top-level same-site\n"
     "navigation that received the header (None: the rules that need an origin are\n"
     "skipped, and a cookie without Domain or Path gets None for them); now is an aware\n"
     "datetime (default: the current time; a time outside years 1-9999 in UTC is read as\n"
     "the nearest instant inside them).  The cookie store is taken to be empty.\n"
     "\n"
     "Returns a BrowserCookie; one that expires at once (Max-Age of zero or less, or an\n"
     "Expires not after now) has expired true: a browser applies it as a deletion.  Never\n"
     "raises on the header's content; TypeError for an argument of the wrong type,\n"
     "ValueError for a url that is not an absolute http(s) URL, for a naive now and for a\n"
     "now whose utcoffset() is not strictly between -24 and 24 hours."},
    {"check", params("subject", "url=None", "*", "now=None", "partitioned=False", "priority=None"),
     check, nullptr,
     "What a browser will make of a cookie: a list of findings, empty when a browser stores\n"
     "exactly what the header says.\n"
     "\n"
     "subject is a Set-Cookie header value (bytes or str, read as by read_set_cookie) or a\n"
     "Cookie, checked as the header that the writer writes for it with the partitioned and\n"
     "priority keywords (which apply to a Cookie only).  url and now are as for\n"
     "read_set_cookie.  Each finding is one line, \"CodeWord: sentence\".  The code words:\n"
     "\n"
     "Refusals (the browser's own reason words where it reports one):\n"
     "  DisallowedCharacter, NoCookieContent, NameValuePairExceedsMaxSize, InvalidDomain,\n"
     "  InvalidPrefix, SecureOnly, SameSiteNoneInsecure; AmbiguousNameValue (an empty name\n"
     "  with \"=\" in the value) and PartitionedNotSecure, refused without a reason.\n"
     "Ignored attributes: AttributeValueTooLong (over 1024 bytes), UnknownAttribute,\n"
     "  DuplicateAttribute (the last one counts), FlagWithValue, InvalidExpires,\n"
     "  InvalidMaxAge, UnknownSameSite, UnknownPriority, DomainIgnored (a Domain equal to a\n"
     "  public-suffix or IP-address host: host-only).\n"
     "Changes: PathDefaulted, ExpiryCapped (400 days), Deletion (expires at once: not a\n"
     "  refusal), SecureAdded (by the writer, for SameSite Strict or None, or Partitioned).\n"
     "A Cookie's own: NoName and WriterRefuses (the writer cannot write it),\n"
     "  ExpiresBefore1601, DomainNotAscii, PathNotAscii.\n"
     "\n"
     "A refusal, when there is one, comes first.  At most ten findings of one code word are\n"
     "listed, then one line \"CodeWord: N more findings of this kind are not listed\"."},
    {"registrable_domain", params("host"), py_registrable_domain, nullptr,
     "The registrable domain of a host as Chromium computes it for cookies, or None.\n"
     "\n"
     "The registry (the public suffix, private registries included; an unknown top-level\n"
     "domain counts as one) with the label before it: 'example.co.uk' for\n"
     "'www.example.co.uk', 'example.test' for 'a.b.example.test'.  None for a public suffix,\n"
     "a single label and an IP address.  A Domain attribute is accepted only when it has the\n"
     "same registrable domain as the request's host.  host is as in a canonical URL (ASCII,\n"
     "internationalised labels as A-labels; letters are lowered); ValueError for other text."},
    {"public_suffix_list_version", params(), list_version, nullptr,
     "The date of the Public Suffix List built into the module, as 'YYYY-MM-DD'."},
    {"_read_url", params("url"), read_url, nullptr,
     "The url as the url reader reads it (for tests): a dict of its parts, or None when it\n"
     "is not an absolute http, https, ws or wss url."},
    {"use_public_suffix_list", params("enabled"), set_public_suffix_list, nullptr,
     "Switches the Public Suffix List on or off (for tests); returns the previous setting.\n"
     "\n"
     "The list is built into the module (public_suffix_list_version() gives its date).  Off,\n"
     "only the list's default rule \"*\" applies: the last label is a public suffix."},
};

int browser_exec(PyObject* module) {
  if (!start_exec(kModuleName)) return -1;
  if (cookies_api.cookie_type == nullptr && GcoCookies_Import(&cookies_api) < 0) return -1;
  if (writer_api.write_set_cookie == nullptr && GcoWriter_Import(&writer_api) < 0) return -1;
  PyDateTime_IMPORT;
  if (!prepare_arguments()) return -1;
  if (PyDateTimeAPI == nullptr) return -1;
  if (!gco::idna::prepare()) return -1;
  if (same_site_members[0] == nullptr) {
    Ref cookies = steal(PyImport_ImportModule("glimmering_copper_otter.cookies"));
    if (!cookies) return -1;
    Ref mode = steal(PyObject_GetAttrString(cookies.get(), "CookieSameSiteMode"));
    if (!mode) return -1;
    static const char* const kMembers[4] = {"UNDEFINED", "LAX", "STRICT", "NONE"};
    PyObject* members[4];
    for (int i = 0; i < 4; i++) {
      members[i] = PyObject_GetAttrString(mode.get(), kMembers[i]);
      if (members[i] == nullptr) {
        for (int j = 0; j < i; j++) Py_DECREF(members[j]);
        return -1;
      }
    }
    std::memcpy(same_site_members, members, sizeof members);
  }
  if (PyType_Ready(&BrowserCookieType) < 0) return -1;
  if (PyModule_AddObjectRef(module, "BrowserCookie",
                            reinterpret_cast<PyObject*>(&BrowserCookieType)) < 0) {
    return -1;
  }
  return finish_exec(module, functions) ? 0 : -1;
}

PyModuleDef_Slot browser_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(browser_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef browser_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "browser",
    .m_doc = PyDoc_STR("What a browser does with a Set-Cookie header value: read_set_cookie "
                       "(the cookie it stores) and check (what it makes of a cookie)."),
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = browser_slots,
};

}  // namespace

}  // namespace gco::browser

PyMODINIT_FUNC PyInit_browser() { return PyModuleDef_Init(&gco::browser::browser_module); }
