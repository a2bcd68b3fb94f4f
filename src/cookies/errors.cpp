// CookieError, the common base of the module's errors, and
// CookieValueExceedsMaximumLength, raised for a value over 4096 UTF-8 bytes.
//
// Both are static types built on Exception; allocation, traversal, clearing
// and deallocation are inherited from it when the types are readied.
#include "parts.hpp"

namespace gco {

namespace {

GCO_STR(str_init, "__init__");
GCO_STR(str_copyreg, "copyreg");
GCO_STR(str_newobj, "__newobj__");
GCO_STR(str_value_too_long,
        "The length of the cookie value exceeds the maximum length of 4096 bytes, and it would "
        "be ignored or truncated by clients. See: "
        "https://datatracker.ietf.org/doc/html/rfc6265#section-6.1");

Signature sig_error_init("__init__", params("message"));
Signature sig_value_too_long_init("__init__", params());

// super(type, self).__init__(message)
int init_base(PyTypeObject* type, PyObject* self, PyObject* message) {
  PyObject* super_args[] = {reinterpret_cast<PyObject*>(type), self};
  Ref base = steal(PyObject_Vectorcall(imported.builtin_super, super_args, 2, nullptr));
  if (!base) return -1;
  Ref init = steal(PyObject_GetAttr(base.get(), str_init.get()));
  if (!init) return -1;
  Ref result = steal(PyObject_CallOneArg(init.get(), message));
  return result ? 0 : -1;
}

int cookie_error_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* values[1];
  if (!sig_error_init.bind(args, kwargs, values) ||
      !check_exact_argument(values[0], &PyUnicode_Type, "message") ||
      init_base(&CookieErrorType, self, values[0]) < 0) {
    GCO_TRACEBACK("CookieError.__init__");
    return -1;
  }
  return 0;
}

int value_too_long_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* values[1];
  if (!sig_value_too_long_init.bind(args, kwargs, values) ||
      init_base(&CookieValueExceedsMaximumLengthType, self, str_value_too_long.get()) < 0) {
    GCO_TRACEBACK("CookieValueExceedsMaximumLength.__init__");
    return -1;
  }
  return 0;
}

// The interpreter's exception pickling calls type(*args), which this
// initialiser refuses; rebuild through __new__ instead, which restores args
// as they were without running __init__ (subclasses included).
PyObject* value_too_long_reduce(PyObject* self, PyObject* /*unused*/) {
  Ref copyreg = steal(PyImport_Import(str_copyreg.get()));
  if (!copyreg) return nullptr;
  Ref newobj = steal(PyObject_GetAttr(copyreg.get(), str_newobj.get()));
  if (!newobj) return nullptr;
  // args and the instance dict are read after the import, which may run
  // code, and held by references of their own.
  auto* exception = reinterpret_cast<PyBaseExceptionObject*>(self);
  Ref args = incref(exception->args ? exception->args : Py_None);
  Ref dict = incref(exception->dict);
  Ref type_and_args = steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(Py_TYPE(self))));
  if (!type_and_args) return nullptr;
  if (PyTuple_Check(args.get())) {
    type_and_args = steal(PySequence_Concat(type_and_args.get(), args.get()));
    if (!type_and_args) return nullptr;
  }
  if (dict) return PyTuple_Pack(3, newobj.get(), type_and_args.get(), dict.get());
  return PyTuple_Pack(2, newobj.get(), type_and_args.get());
}

PyMethodDef value_too_long_methods[] = {
    {"__reduce__", value_too_long_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject CookieErrorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name =
        "glimmering_copper_otter.cookies.CookieError",
    .tp_basicsize = sizeof(PyBaseExceptionObject),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_init = cookie_error_init,
};

PyTypeObject CookieValueExceedsMaximumLengthType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name =
        "glimmering_copper_otter.cookies.CookieValueExceedsMaximumLength",
    .tp_basicsize = sizeof(PyBaseExceptionObject),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_methods = value_too_long_methods,
    .tp_init = value_too_long_init,
};

bool errors_ready(PyObject* module) noexcept {
  struct Step {
    PyTypeObject* type;
    PyObject* base;
    const char* name;
  };
  const Step steps[] = {
      {&CookieErrorType, PyExc_Exception, "CookieError"},
      {&CookieValueExceedsMaximumLengthType, reinterpret_cast<PyObject*>(&CookieErrorType),
       "CookieValueExceedsMaximumLength"},
  };
  for (const Step& step : steps) {
    step.type->tp_base = reinterpret_cast<PyTypeObject*>(step.base);
    if (PyType_Ready(step.type) < 0) return false;
    if (PyModule_AddObjectRef(module, step.name, reinterpret_cast<PyObject*>(step.type)) < 0) {
      return false;
    }
    if (!install_pickling(step.type)) return false;
  }
  return true;
}

}  // namespace gco
