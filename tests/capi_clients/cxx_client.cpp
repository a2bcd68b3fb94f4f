// A sibling module written in C++ against cookies.h: it imports the cookies
// module's C-level interface once, at exec, and calls every entry of it from
// compiled code.
#include "compat.hpp"  // <Python.h>, and the 3.13 names on older interpreters

#include "cookies.h"
#include "writer.h"
#include "cookie_header.h"

namespace {

GcoCookiesAPI api;  // filled by exec; the module is imported once per test run

GcoWriterAPI writer_api;  // the writer module's entries, filled by exec as well

int client_exec(PyObject* /*module*/) {
  if (GcoCookies_Import(&api) < 0) return -1;
  return GcoWriter_Import(&writer_api);
}

// The argument as a Cookie record, or nullptr with TypeError.
GcoCookie* as_cookie(PyObject* obj) {
  if (!GcoCookie_Check(&api, obj)) {
    PyErr_Format(PyExc_TypeError, "expected a Cookie, got %.200s", Py_TYPE(obj)->tp_name);
    return nullptr;
  }
  return reinterpret_cast<GcoCookie*>(obj);
}

// parse_cookie, then write_cookie_for_response on the record.
PyObject* round_trip(PyObject* /*module*/, PyObject* raw) {
  PyObject* cookie = api.parse_cookie(raw, 0);
  if (cookie == nullptr) return nullptr;
  PyObject* written = nullptr;
  if (GcoCookie* record = as_cookie(cookie)) written = api.write_cookie_for_response(record);
  Py_DECREF(cookie);
  return written;
}

PyObject* write(PyObject* /*module*/, PyObject* cookie) {
  GcoCookie* record = as_cookie(cookie);
  return record != nullptr ? api.write_cookie_for_response(record) : nullptr;
}

PyObject* split(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "split(raw, separator)");
    return nullptr;
  }
  return api.split_value(args[0], args[1]);
}

// The mode as a number; a failure, which returns 0 like UNDEFINED, is told
// apart by the exception pending after the call.
PyObject* mode(PyObject* /*module*/, PyObject* raw) {
  GcoCookieSameSiteMode found = api.same_site_mode_from_bytes(raw);
  if (PyErr_Occurred()) return nullptr;
  return PyLong_FromUnsignedLong(found);
}

// (number, exception): what same_site_mode_from_bytes returned, and the
// exception pending after the call, or None.
PyObject* mode_and_error(PyObject* /*module*/, PyObject* raw) {
  GcoCookieSameSiteMode found = api.same_site_mode_from_bytes(raw);
  PyObject* error = PyErr_Occurred() ? PyErr_GetRaisedException() : Py_NewRef(Py_None);
  return Py_BuildValue("(kN)", static_cast<unsigned long>(found), error);
}

PyObject* to_cookie_format(PyObject* /*module*/, PyObject* value) {
  return api.datetime_to_cookie_format(value, 0);
}

PyObject* from_cookie_format(PyObject* /*module*/, PyObject* value) {
  return api.datetime_from_cookie_format(value, 0);
}

// The nine fields, read in place, the numbers as stored.
PyObject* fields(PyObject* /*module*/, PyObject* cookie) {
  GcoCookie* c = as_cookie(cookie);
  if (c == nullptr) return nullptr;
  return Py_BuildValue("(OOOOOiiLk)", c->_name, c->_value, c->expires, c->domain, c->path,
                       c->http_only, c->secure, static_cast<long long>(c->max_age),
                       static_cast<unsigned long>(c->same_site));
}

// Whether the record points at the method table published by Cookie.
PyObject* has_published_method_table(PyObject* /*module*/, PyObject* cookie) {
  GcoCookie* c = as_cookie(cookie);
  if (c == nullptr) return nullptr;
  return PyBool_FromLong(c->vtab == api.cookie_vtable);
}

// The clone slot of the method table with the given skip-dispatch flag.
PyObject* clone(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "clone(cookie, skip_dispatch)");
    return nullptr;
  }
  GcoCookie* c = as_cookie(args[0]);
  int skip_dispatch = PyObject_IsTrue(args[1]);
  if (c == nullptr || skip_dispatch < 0) return nullptr;
  return api.cookie_vtable->clone(c, skip_dispatch);
}

// GcoCookies_ImportFunction(name, signature): True, or the import error.
PyObject* import_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  const char* name = nullptr;
  const char* signature = nullptr;
  if (nargs != 2 || (name = PyUnicode_AsUTF8(args[0])) == nullptr ||
      (signature = PyUnicode_AsUTF8(args[1])) == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "import_entry(name, signature)");
    return nullptr;
  }
  if (GcoCookies_ImportFunction(name, signature) == nullptr) return nullptr;
  Py_RETURN_TRUE;
}

// write_set_cookie(cookie, partitioned, priority), the cookie passed as it
// is: the entry itself refuses what is not a Cookie record.
PyObject* write_set(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_SetString(PyExc_TypeError, "write_set(cookie, partitioned, priority)");
    return nullptr;
  }
  int partitioned = PyObject_IsTrue(args[1]);
  if (partitioned < 0) return nullptr;
  return writer_api.write_set_cookie(reinterpret_cast<GcoCookie*>(args[0]), partitioned, args[2]);
}

// GcoWriter_ImportFunction(name, signature): True, or the import error.
PyObject* import_writer_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  const char* name = nullptr;
  const char* signature = nullptr;
  if (nargs != 2 || (name = PyUnicode_AsUTF8(args[0])) == nullptr ||
      (signature = PyUnicode_AsUTF8(args[1])) == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "import_writer_entry(name, signature)");
    return nullptr;
  }
  if (GcoWriter_ImportFunction(name, signature) == nullptr) return nullptr;
  Py_RETURN_TRUE;
}

// The request-header module's entries, imported by a second exec step.
GcoCookieHeaderAPI header_api;

int header_exec(PyObject* /*module*/) { return GcoCookieHeader_Import(&header_api); }

PyObject* header_dict(PyObject* /*module*/, PyObject* raw) {
  return header_api.parse_cookie_header(raw);
}

PyObject* header_pairs(PyObject* /*module*/, PyObject* raw) {
  return header_api.parse_cookie_header_pairs(raw);
}

PyObject* header_write(PyObject* /*module*/, PyObject* cookies) {
  return header_api.write_cookie_header(cookies);
}

PyMethodDef client_methods[] = {
    {"header_dict", header_dict, METH_O, nullptr},
    {"header_pairs", header_pairs, METH_O, nullptr},
    {"header_write", header_write, METH_O, nullptr},
    {"round_trip", round_trip, METH_O, nullptr},
    {"write", write, METH_O, nullptr},
    {"split", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(split)), METH_FASTCALL,
     nullptr},
    {"mode", mode, METH_O, nullptr},
    {"mode_and_error", mode_and_error, METH_O, nullptr},
    {"to_cookie_format", to_cookie_format, METH_O, nullptr},
    {"from_cookie_format", from_cookie_format, METH_O, nullptr},
    {"fields", fields, METH_O, nullptr},
    {"has_published_method_table", has_published_method_table, METH_O, nullptr},
    {"clone", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(clone)), METH_FASTCALL,
     nullptr},
    {"import_entry", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(import_entry)),
     METH_FASTCALL, nullptr},
    {"write_set", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_set)),
     METH_FASTCALL, nullptr},
    {"import_writer_entry",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(import_writer_entry)),
     METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot client_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(client_exec)},
    {Py_mod_exec, reinterpret_cast<void*>(header_exec)},
    {0, nullptr},
};

PyModuleDef client_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "cxx_client",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = client_methods,
    .m_slots = client_slots,
};

}  // namespace

PyMODINIT_FUNC PyInit_cxx_client() { return PyModuleDef_Init(&client_module); }
