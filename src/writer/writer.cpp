// glimmering_copper_otter.writer: write_cookie_for_response for interpreted
// code.  The cookies module offers that operation only through its C-level
// function table; this module imports that table with cookies.h, the way
// any sibling compiled module does, and wraps the entry in one module
// function.
#include <Python.h>

#include "cookies.h"
#include "frame.hpp"
#include "function.hpp"

namespace gco {

namespace {

// What exec takes out of the cookies module: Cookie (a strong reference),
// its method table and the function table entries, each checked against
// cookies.h.  Held for the life of the process.
GcoCookiesAPI cookies_api;

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
  return cookies_api.write_cookie_for_response(reinterpret_cast<GcoCookie*>(cookie));
}

FunctionRow functions[] = {
    {"write_cookie_for_response", params("cookie"), write_cookie_for_response, nullptr,
     "The cookie as the bytes of one Set-Cookie header value."},
};

// A module object made again (after it was removed from sys.modules) gets
// new function objects; the process-wide state describes the latest one.
int writer_exec(PyObject* module) {
  state.name = kModuleName;
  state.count_errors_first = false;
  if (cookies_api.cookie_type == nullptr && GcoCookies_Import(&cookies_api) < 0) return -1;
  if (!Constant::make_all() || !Signature::make_all()) return -1;
  PyObject* dict = PyModule_GetDict(module);
  if (dict == nullptr || !bind_functions(module, functions)) return -1;
  Py_XSETREF(state.module, Py_NewRef(module));
  Py_XSETREF(state.dict, Py_NewRef(dict));
  return 0;
}

PyModuleDef_Slot writer_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(writer_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef writer_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "writer",
    .m_doc = PyDoc_STR("Cookies of glimmering_copper_otter.cookies written as Set-Cookie "
                       "header values."),
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = writer_slots,
};

}  // namespace

}  // namespace gco

PyMODINIT_FUNC PyInit_writer() { return PyModuleDef_Init(&gco::writer_module); }
