// glimmering_copper_otter.writer: write_cookie_for_response for interpreted
// code.  The cookies module offers that operation only through its C-level
// function table; this module takes the entry out of __pyx_capi__ the way
// any sibling compiled module does, and wraps it in one module function.
#include <Python.h>

#include "glimmering_copper_otter/cookies.h"

namespace {

constexpr const char kCookiesModule[] = "glimmering_copper_otter.cookies";
constexpr const char kFunctionName[] = "write_cookie_for_response";

// Per-module state, filled by exec.
struct WriterState {
  PyTypeObject* cookie_type;  // strong reference to cookies.Cookie
  GcoWriteCookieForResponseFn write_cookie_for_response;
};

WriterState* state_of(PyObject* module) {
  return static_cast<WriterState*>(PyModule_GetState(module));
}

// The entry "write_cookie_for_response" of the cookies module's __pyx_capi__,
// asked for by its signature text.  nullptr with an exception set.
GcoWriteCookieForResponseFn import_write_cookie_for_response(PyObject* cookies) {
  PyObject* table = PyObject_GetAttrString(cookies, "__pyx_capi__");
  if (table == nullptr) return nullptr;
  PyObject* capsule = nullptr;
  int found = PyMapping_GetOptionalItemString(table, kFunctionName, &capsule);
  Py_DECREF(table);
  if (found == 0) {
    PyErr_Format(PyExc_ImportError, "%s does not export expected C function %s",
                 kCookiesModule, kFunctionName);
  }
  if (found <= 0) return nullptr;
  void* pointer = nullptr;
  if (!PyCapsule_IsValid(capsule, GCO_SIG_WRITE_COOKIE_FOR_RESPONSE)) {
    const char* got = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : nullptr;
    PyErr_Format(PyExc_TypeError,
                 "C function %s.%s has wrong signature (expected %.500s, got %.500s)",
                 kCookiesModule, kFunctionName, GCO_SIG_WRITE_COOKIE_FOR_RESPONSE,
                 got != nullptr ? got : "(none)");
  } else {
    pointer = PyCapsule_GetPointer(capsule, GCO_SIG_WRITE_COOKIE_FOR_RESPONSE);
  }
  Py_DECREF(capsule);
  return reinterpret_cast<GcoWriteCookieForResponseFn>(pointer);
}

// cookies.Cookie, the type that every argument is checked against (a new
// reference), or nullptr with an exception set.
PyTypeObject* import_cookie_type(PyObject* cookies) {
  PyObject* type = PyObject_GetAttrString(cookies, "Cookie");
  if (type != nullptr && !PyType_Check(type)) {
    PyErr_Format(PyExc_TypeError, "%s.Cookie is not a type object", kCookiesModule);
    Py_CLEAR(type);
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

int writer_exec(PyObject* module) {
  PyObject* cookies = PyImport_ImportModule(kCookiesModule);
  if (cookies == nullptr) return -1;
  WriterState* st = state_of(module);
  st->cookie_type = import_cookie_type(cookies);
  if (st->cookie_type != nullptr) {
    st->write_cookie_for_response = import_write_cookie_for_response(cookies);
  }
  Py_DECREF(cookies);
  return st->write_cookie_for_response != nullptr ? 0 : -1;
}

// write_cookie_for_response(cookie): one parameter, by position or keyword.
PyObject* bind_cookie(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "%s() takes exactly 1 positional argument (%zd given)",
                 kFunctionName, nargs);
    return nullptr;
  }
  PyObject* cookie = nargs == 1 ? args[0] : nullptr;
  for (Py_ssize_t i = 0; i < nkw; i++) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, i);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", kFunctionName);
      return nullptr;
    }
    if (!PyUnicode_EqualToUTF8(key, "cookie")) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                   kFunctionName, key);
      return nullptr;
    }
    if (cookie != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                   kFunctionName, key);
      return nullptr;
    }
    cookie = args[nargs + i];
  }
  if (cookie == nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() takes exactly 1 positional argument (0 given)",
                 kFunctionName);
  }
  return cookie;
}

PyObject* write_cookie_for_response(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  PyObject* cookie = bind_cookie(args, nargs, kwnames);
  if (cookie == nullptr) return nullptr;
  WriterState* st = state_of(module);
  // The C entry takes a Cookie record and reads its fields in place, so
  // nothing else (None included) may reach it.
  if (!PyObject_TypeCheck(cookie, st->cookie_type)) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "cookie",
                 st->cookie_type->tp_name, Py_TYPE(cookie)->tp_name);
    return nullptr;
  }
  return st->write_cookie_for_response(reinterpret_cast<GcoCookie*>(cookie));
}

int writer_traverse(PyObject* module, visitproc visit, void* arg) {
  WriterState* st = state_of(module);
  if (st != nullptr) Py_VISIT(st->cookie_type);
  return 0;
}

int writer_clear(PyObject* module) {
  WriterState* st = state_of(module);
  if (st != nullptr) {
    Py_CLEAR(st->cookie_type);
    st->write_cookie_for_response = nullptr;
  }
  return 0;
}

void writer_free(void* module) { writer_clear(static_cast<PyObject*>(module)); }

PyMethodDef writer_methods[] = {
    {kFunctionName, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                        write_cookie_for_response)),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("write_cookie_for_response($module, /, cookie)\n--\n\n"
               "The cookie as the bytes of one Set-Cookie header value.")},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot writer_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(writer_exec)},
    {0, nullptr},
};

PyModuleDef writer_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "writer",
    .m_doc = PyDoc_STR("Cookies of glimmering_copper_otter.cookies written as Set-Cookie "
                       "header values."),
    .m_size = sizeof(WriterState),
    .m_methods = writer_methods,
    .m_slots = writer_slots,
    .m_traverse = writer_traverse,
    .m_clear = writer_clear,
    .m_free = writer_free,
};

}  // namespace

PyMODINIT_FUNC PyInit_writer() { return PyModuleDef_Init(&writer_module); }
