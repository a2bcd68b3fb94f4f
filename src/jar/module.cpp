// glimmering_copper_otter._jar: the native core of
// glimmering_copper_otter.jar.CookieJar, a cookie jar that keeps and sends
// cookies as Chromium does.  This file is the type and the module: making
// and freeing a jar, its limits, the function table and exec.  The methods
// are in methods.cpp, the reading of their arguments in call.cpp, the row
// store behind a jar in backing.cpp, rows in rows.cpp, the records handed
// out in records.cpp.
#include <Python.h>
#include <datetime.h>

#include <atomic>
#include <new>

#include "arguments.hpp"
#include "compat.hpp"
#include "frame.hpp"
#include "function.hpp"
#include "idna.hpp"
#include "jar_object.hpp"
#include "methods.hpp"
#include "records.hpp"
#include "rows.hpp"

namespace gco::jar {

namespace {

extern PyTypeObject JarType;

Store* make_store(Limits limits) {
  void* memory = raw_allocate(1, sizeof(Store));
  return memory ? new (memory) Store(limits) : nullptr;
}

void free_store(Store* store) {
  if (store == nullptr) return;
  store->~Store();
  raw_free(store);
}

PyObject* jar_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
  Ref self = steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  JarObject* jar = as_jar(self.get());
  jar->mutex = PyMutex{};
  jar->use_list = true;
  jar->closed = false;
  jar->weakrefs = nullptr;
  jar->backing = nullptr;
  new (&jar->pending) Changes();
  jar->turn = PyMutex{};
  new (&jar->turn_owner) std::atomic<unsigned long>(0);
  jar->keeps_sessions = false;
  jar->read_only = false;
  jar->serializes = false;
  jar->stale = false;
  jar->store = make_store(Limits{});
  if (jar->store == nullptr) return PyErr_NoMemory();
  return self.transfer();
}

void jar_dealloc(PyObject* self) {
  JarObject* jar = as_jar(self);
  if (jar->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  free_store(jar->store);
  jar->store = nullptr;
  jar->pending.~Changes();
  Py_CLEAR(jar->backing);
  Py_TYPE(self)->tp_free(self);
}

// A limit: None (no limit) or a positive int.  0 stands for no limit.
bool read_limit(PyObject* value, const char* param, size_t default_value, size_t* out) {
  if (value == nullptr) {
    *out = default_value;
    return true;
  }
  if (value == Py_None) {
    *out = 0;
    return true;
  }
  if (!PyLong_Check(value) || PyBool_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be an int or None, not %.200s", param,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  int overflow = 0;
  long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (n == -1 && PyErr_Occurred()) return false;
  if (overflow != 0) n = overflow > 0 ? PY_SSIZE_T_MAX : 0;
  if (n > PY_SSIZE_T_MAX) n = PY_SSIZE_T_MAX;
  if (n < 1) {
    PyErr_Format(PyExc_ValueError, "%s must be at least 1, or None for no limit", param);
    return false;
  }
  *out = static_cast<size_t>(n);
  return true;
}

Signature init_signature("CookieJar",
                         params("store=None", "*", "max_cookies=3300", "max_cookies_per_site=180",
                                "public_suffix_list=True"));

int jar_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* values[kMaxParams];
  if (!init_signature.bind(args, kwargs, values)) return -1;
  Limits limits;
  if (!read_limit(values[1], "max_cookies", 3300, &limits.max_cookies) ||
      !read_limit(values[2], "max_cookies_per_site", 180, &limits.max_cookies_per_site)) {
    return -1;
  }
  int use_list = values[3] == nullptr ? 1 : truth(values[3]);
  if (use_list < 0) return -1;
  JarObject* jar = as_jar(self);
  {
    Turn turn(jar, true);
    Locked lock(jar);
    // The cookies are kept under sites by the list: they stay reachable
    // only while it does not change.
    if (jar->use_list != static_cast<bool>(use_list) && jar->store->count > 0) {
      use_list = -1;
    } else {
      jar->store->limits = limits;
      jar->use_list = use_list;
    }
  }
  if (use_list < 0) {
    PyErr_SetString(PyExc_ValueError,
                    "public_suffix_list cannot change while the jar holds cookies: clear it "
                    "first");
    return -1;
  }
  if (values[0] == nullptr || values[0] == Py_None) return 0;
  return attach(jar, values[0]) ? 0 : -1;
}

PyObject* get_limit(size_t limit) {
  if (limit == 0) Py_RETURN_NONE;
  return PyLong_FromSize_t(limit);
}

PyObject* get_max_cookies(PyObject* self, void*) {
  return get_limit(as_jar(self)->store->limits.max_cookies);
}
PyObject* get_max_cookies_per_site(PyObject* self, void*) {
  return get_limit(as_jar(self)->store->limits.max_cookies_per_site);
}
PyObject* get_public_suffix_list(PyObject* self, void*) {
  return PyBool_FromLong(as_jar(self)->use_list);
}
PyObject* get_closed(PyObject* self, void*) { return PyBool_FromLong(as_jar(self)->closed); }
PyObject* get_store(PyObject* self, void*) {
  PyObject* backing = as_jar(self)->backing;
  return Py_NewRef(backing != nullptr ? backing : Py_None);
}

PyGetSetDef jar_getset[] = {
    {"max_cookies", get_max_cookies, nullptr,
     PyDoc_STR("The limit of cookies in all (not counting partitioned ones), or None."), nullptr},
    {"max_cookies_per_site", get_max_cookies_per_site, nullptr,
     PyDoc_STR("The limit of cookies per site (registrable domain), or None."), nullptr},
    {"public_suffix_list", get_public_suffix_list, nullptr,
     PyDoc_STR("Whether the jar reads sites with the Public Suffix List."), nullptr},
    {"closed", get_closed, nullptr, PyDoc_STR("Whether close() was called."), nullptr},
    {"store", get_store, nullptr,
     PyDoc_STR("The row store the jar is kept in (glimmering_copper_otter.stores), or None."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PySequenceMethods jar_sequence = {.sq_length = jar_length, .sq_contains = jar_contains};

PyTypeObject JarType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "glimmering_copper_otter._jar.CookieJar",
    .tp_basicsize = sizeof(JarObject),
    .tp_dealloc = jar_dealloc,
    .tp_repr = jar_repr,
    .tp_as_sequence = &jar_sequence,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc =
        PyDoc_STR("CookieJar(store=None, *, max_cookies=3300, max_cookies_per_site=180, "
                  "public_suffix_list=True)\n"
                  "--\n"
                  "\n"
                  "The native core of glimmering_copper_otter.jar.CookieJar (use that class).\n"
                  "\n"
                  "store is a row store (glimmering_copper_otter.stores.RowStore) the jar is\n"
                  "kept in: the jar takes its cookies at once, asks it before each call whether\n"
                  "another connection changed it, and hands it each call's changes when the\n"
                  "call ends; a change the store refuses is undone and the call raises."),
    .tp_weaklistoffset = offsetof(JarObject, weakrefs),
    .tp_iter = jar_iter,
    .tp_getset = jar_getset,
    .tp_init = jar_init,
    .tp_new = jar_new,
};

#define CONTEXT_DOC                                                                   \
  "url is the absolute http(s) url of the request (ws and wss count as http and\n"    \
  "https); now an aware datetime (default: the current time).  site_for_cookies is\n" \
  "the url of the top-level page the request is made from (None: a page of url's\n"   \
  "own site, as for a plain HTTP client); navigation says the request is a\n"         \
  "top-level navigation; from_script that it is made by the page's script\n"          \
  "(document.cookie), which neither sees nor sets HttpOnly cookies.\n"

FunctionRow functions[] = {
    {"CookieJar.set_cookie",
     params("raw", "url", "*", "now=None", "site_for_cookies=None", "navigation=False",
            "from_script=False"),
     set_cookie, &JarType,
     "Applies one Set-Cookie value received from url; returns what was stored.\n"
     "\n"
     "raw is bytes, or a str (characters below U+0100 stand for their Latin-1 bytes).\n" CONTEXT_DOC
     "\n"
     "Returns a BrowserCookie (with expired true for a deletion: a cookie that\n"
     "expires at once removes the stored one of its name, domain and path), or None\n"
     "when a browser refuses or ignores the value: a malformed header, a Domain the\n"
     "url may not set, a Secure cookie from an insecure origin, one that would\n"
     "overwrite or shadow a Secure cookie from an insecure origin, an HttpOnly one\n"
     "from script, a Strict or Lax (or unspecified) cookie in a cross-site context.\n"
     "Never raises on the value; TypeError and ValueError for the arguments."},
    {"CookieJar.set_cookies",
     params("values", "url", "*", "now=None", "site_for_cookies=None", "navigation=False",
            "from_script=False"),
     set_cookies, &JarType,
     "Applies the Set-Cookie values of one response, in order.\n"
     "\n"
     "values is an iterable of Set-Cookie values (bytes or str), or of raw headers as\n"
     "(name, value) pairs (ASGI's), of which those named Set-Cookie in any letter\n"
     "case count.  It is read to its end before anything is applied.  The other\n"
     "arguments are as for set_cookie.  Returns the list of what set_cookie would\n"
     "return for each value."},
    {"CookieJar.cookie_header",
     params("url", "*", "now=None", "site_for_cookies=None", "navigation=False", "method='GET'",
            "from_script=False"),
     cookie_header_method, &JarType,
     "The value of the Cookie header a browser sends with the request (b\"\" for\n"
     "none).\n"
     "\n" CONTEXT_DOC
     "method matters for Lax cookies on a cross-site navigation: GET, HEAD, OPTIONS\n"
     "and TRACE (in any letter case) are safe.  With from_script the result is what\n"
     "document.cookie shows.\n"
     "\n"
     "The cookies are those of the url's site that match its host, path and\n"
     "scheme, are allowed by SameSite in the request's context (Strict only\n"
     "same-site; Lax also on a cross-site top-level navigation with a safe method;\n"
     "no SameSite counts as Lax, except that a cookie younger than two minutes also\n"
     "goes with an unsafe method; None everywhere), and partitioned ones only under\n"
     "their top-level site.  They come in Chromium's order (the longest path first,\n"
     "then the oldest), as the raw bytes received, \"name=value\" (a nameless cookie\n"
     "as its value) joined by \"; \"."},
    {"CookieJar.cookies", params("url=None", "*", "now=None", "details=False"), cookies_method,
     &JarType,
     "The cookies, as a list of BrowserCookie.\n"
     "\n"
     "Without url, every cookie of the jar (the longest path first, then the\n"
     "oldest); with url, those a same-site request to url carries (HttpOnly ones\n"
     "included), in header order.  Expired cookies are left out (and removed).\n"
     "With details, each item is a (BrowserCookie, CookieDetails) pair: the\n"
     "creation and last-access times, the partition key, the scheme and port that\n"
     "set the cookie."},
    {"CookieJar.get", params("name", "*", "domain=None", "path=None", "now=None"), get_method,
     &JarType,
     "The cookie of that name (and domain and path, when given) not expired at now, or None.\n"
     "\n"
     "name, domain and path are str (compared with the stored bytes read as\n"
     "UTF-8, a byte outside a valid sequence standing for its Latin-1 character)\n"
     "or bytes (compared exactly); the domain without a leading dot, in any letter\n"
     "case.  Of several: a host-only cookie before a domain cookie, then the longest\n"
     "domain, the longest path, the newest."},
    {"CookieJar.clear", params("domain=None", "path=None", "name=None"), clear_method, &JarType,
     "Removes the cookies of that domain, path and name (each when given; all of\n"
     "them without arguments); returns how many were removed.  The arguments are\n"
     "compared as for get()."},
    {"CookieJar.clear_session_cookies", params(), clear_session_cookies, &JarType,
     "Removes the cookies without an expiry, as a browser does when it closes;\n"
     "returns how many were removed."},
    {"CookieJar.clear_expired", params("now=None"), clear_expired, &JarType,
     "Removes the cookies expired at now (default: the current time); returns how\n"
     "many were removed."},
    {"CookieJar.remove", params("cookie"), remove_method, &JarType,
     "Removes exactly one cookie; returns whether it was held.\n"
     "\n"
     "cookie is a BrowserCookie this jar handed out, the (BrowserCookie,\n"
     "CookieDetails) pair of cookies(details=True) (needed for a partitioned\n"
     "cookie: the record does not say which partition), or the cookie's key: a\n"
     "tuple of (raw_name, domain, host_only, path, partitioned, partition_key,\n"
     "cross_site_ancestor), as bytes, str, bool, bytes, bool, str, bool."},
    {"CookieJar.close", params(), close_method, &JarType,
     "Closes the jar and its store; later calls raise ValueError.  Every change\n"
     "is already in the store: closing loses nothing."},
    {"CookieJar.rows", params(), rows_method, &JarType,
     "Every unexpired cookie as a row (a tuple of builtin values; see\n"
     "glimmering_copper_otter.rows), oldest first."},
    {"CookieJar.load_rows", params("rows", "*", "replace=False"), load_rows_method, &JarType,
     "Puts rows into the jar as they are (replacing cookies of the same key; the\n"
     "limits apply); with replace, the jar is emptied first.  Returns (loaded,\n"
     "expired, refused): how many went in, how many had expired, and an (index,\n"
     "reason) pair for each row the row contract refuses (passed over).  All or\n"
     "nothing: when the store refuses the change, nothing changes."},
    {"CookieJar._apply_settings", params("settings"), apply_settings, &JarType,
     "Applies Set-Cookie values each received from its own url, in one turn: an\n"
     "iterable of (header, url, site_for_cookies, navigation, row) settings, row\n"
     "the cookie a document describes (what a header cannot say is put back from\n"
     "it: an expiry to the microsecond, the partition's cross-site-ancestor half,\n"
     "an unknown source port) or None.  Returns, for each setting, what set_cookie\n"
     "returns for it (a BrowserCookie), or why a browser refuses it: a str in\n"
     "check's words (Unreadable for a url that does not read).  All or nothing."},
    {"value_refusal", params("value", "url"), value_refusal, nullptr,
     "Why a browser refuses the Set-Cookie value from url by the value alone,\n"
     "\"<code word>: <why>\" in check's words, or None."},
    {"rows_of_columns", params("records"), rows_of_columns, nullptr,
     "Rows from records of a row's columns as a store keeps them: the row's\n"
     "fields but persistent (whether expires is None), each flag the number 0\n"
     "or 1.  Nothing is checked (check_rows does that)."},
    {"check_rows", params("rows"), check_rows, nullptr,
     "The rows (an iterable of rows) that the row contract refuses, as (index,\n"
     "reason) pairs; reason begins with a code word (browser.check's, or\n"
     "Unreadable)."},
};

int jar_exec(PyObject* module) {
  if (!start_exec(kModuleName)) return -1;  // refuses a second interpreter
  // hosts and Domain attributes outside ASCII go through UTS #46
  if (!gco::idna::prepare()) return -1;
  PyDateTime_IMPORT;
  if (!prepare_arguments()) return -1;
  if (PyDateTimeAPI == nullptr) return -1;
  if (!prepare_records(module) || !add_row_names(module) || PyType_Ready(&JarType) < 0 ||
      PyModule_AddObjectRef(module, "CookieJar", reinterpret_cast<PyObject*>(&JarType)) < 0) {
    return -1;
  }
  return finish_exec(module, functions) ? 0 : -1;
}

PyModuleDef_Slot jar_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(jar_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef jar_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_jar",
    .m_doc = PyDoc_STR("The native core of glimmering_copper_otter.jar: CookieJar, its rows "
                       "and their contract."),
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = jar_slots,
};

}  // namespace

}  // namespace gco::jar

PyMODINIT_FUNC PyInit__jar() { return PyModuleDef_Init(&gco::jar::jar_module); }
