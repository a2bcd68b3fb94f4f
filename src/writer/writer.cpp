// glimmering_copper_otter.writer: write_cookie_for_response for interpreted
// code.  The cookies module offers that operation only through its C-level
// function table; this module imports that table with cookies.h, the way
// any sibling compiled module does, and wraps the entry in one module
// function.
#include <Python.h>

#include "cookies.h"

namespace {

constexpr const char kFunctionName[] = "write_cookie_for_response";

// Per-module state, filled by exec.
struct WriterState {
  GcoCookiesAPI cookies;  // holds a strong reference to cookies.Cookie
};

WriterState* state_of(PyObject* module) {
  return static_cast<WriterState*>(PyModule_GetState(module));
}

// Takes Cookie, its method table and the function table entries out of the
// cookies module (importing it first), each checked against cookies.h.
int writer_exec(PyObject* module) { return GcoCookies_Import(&state_of(module)->cookies); }

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
  if (!GcoCookie_Check(&st->cookies, cookie)) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "cookie",
                 st->cookies.cookie_type->tp_name, Py_TYPE(cookie)->tp_name);
    return nullptr;
  }
  return st->cookies.write_cookie_for_response(reinterpret_cast<GcoCookie*>(cookie));
}

int writer_traverse(PyObject* module, visitproc visit, void* arg) {
  WriterState* st = state_of(module);
  if (st != nullptr) Py_VISIT(st->cookies.cookie_type);
  return 0;
}

int writer_clear(PyObject* module) {
  WriterState* st = state_of(module);
  if (st != nullptr) {
    Py_CLEAR(st->cookies.cookie_type);
    st->cookies = GcoCookiesAPI{};
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
