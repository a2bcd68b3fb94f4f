// Compiled loops for the benchmarks: each calls one C-level entry of
// glimmering_copper_otter.cookies a given number of times, so that the time
// measured is the entry's own cost and not that of a Python call.
#include <Python.h>

#include "cookies.h"

namespace {

GcoCookiesAPI api;

Py_ssize_t loop_count(PyObject* number) {
  Py_ssize_t n = PyLong_AsSsize_t(number);
  if (n < 0 && !PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "negative loop count");
  return n;
}

// write_loop(cookie, n): write the cookie n times.
PyObject* write_loop(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) return PyErr_Format(PyExc_TypeError, "write_loop(cookie, n)");
  Py_ssize_t n = loop_count(args[1]);
  if (n < 0) return nullptr;
  auto* cookie = reinterpret_cast<GcoCookie*>(args[0]);
  for (Py_ssize_t i = 0; i < n; i++) {
    PyObject* header = api.write_cookie_for_response(cookie);
    if (header == nullptr) return nullptr;
    Py_DECREF(header);
  }
  Py_RETURN_NONE;
}

// parse_loop(raw, n): parse the header n times.
PyObject* parse_loop(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) return PyErr_Format(PyExc_TypeError, "parse_loop(raw, n)");
  Py_ssize_t n = loop_count(args[1]);
  if (n < 0) return nullptr;
  for (Py_ssize_t i = 0; i < n; i++) {
    PyObject* cookie = api.parse_cookie(args[0], 0);
    if (cookie == nullptr) return nullptr;
    Py_DECREF(cookie);
  }
  Py_RETURN_NONE;
}

int exec_module(PyObject*) { return GcoCookies_Import(&api); }

PyMethodDef methods[] = {
    {"write_loop", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_loop)),
     METH_FASTCALL, nullptr},
    {"parse_loop", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_loop)),
     METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, {0, nullptr}};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "cookie_loops", nullptr, 0, methods, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_cookie_loops(void) { return PyModuleDef_Init(&definition); }
