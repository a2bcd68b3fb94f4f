// The module's function objects.
//
// They behave like Python functions where it matters to callers: they carry
// __name__, __qualname__ and __module__, bind to an instance when found on a
// type (the method-descriptor flag lets the interpreter call them without a
// bound-method object), and pickle by reference through their qualified name.
#include <structmember.h>

#include <cstring>

#include "frame.hpp"

namespace gco {

namespace {

struct Function {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  FunctionBody body;
  PyTypeObject* owner;  // the type of a method; nullptr for a module function
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
};

Function* as_function(PyObject* obj) { return reinterpret_cast<Function*>(obj); }

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  Function* f = as_function(callable);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (f->owner == nullptr) return f->body(nullptr, args, nargs, kwnames);
  // A method reached through its type: its first argument is self, and the
  // body may only ever see an instance of the owner type.
  if (nargs < 1) {
    PyErr_Format(PyExc_TypeError, "unbound method %U() needs an argument", f->qualname);
    return nullptr;
  }
  if (!PyObject_TypeCheck(args[0], f->owner)) {
    PyErr_Format(PyExc_TypeError,
                 "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object",
                 f->name, f->owner->tp_name, Py_TYPE(args[0])->tp_name);
    return nullptr;
  }
  return f->body(args[0], args + 1, nargs - 1, kwnames);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

void function_dealloc(PyObject* self) {
  Function* f = as_function(self);
  Py_XDECREF(f->name);
  Py_XDECREF(f->qualname);
  Py_XDECREF(f->module);
  PyObject_Free(self);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U.%U>", as_function(self)->module,
                              as_function(self)->qualname);
}

// Pickling by reference: the qualified name, found again in __module__.
PyObject* function_reduce(PyObject* self, PyObject* /*unused*/) {
  return Py_NewRef(as_function(self)->qualname);
}

PyObject* function_get_doc(PyObject* /*self*/, void* /*closure*/) { Py_RETURN_NONE; }

// inspect.signature reads the parameters here, as it does for built-in
// functions: the names that the function binds its arguments to.
PyObject* function_get_text_signature(PyObject* self, void* /*closure*/) {
  Function* f = as_function(self);
  const char* name = PyUnicode_AsUTF8(f->name);
  if (name == nullptr) return nullptr;
  const Signature* signature = Signature::find(name);
  if (signature == nullptr) Py_RETURN_NONE;
  return signature->text_signature(f->owner != nullptr);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(Function, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(Function, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(Function, module), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__doc__", function_get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", function_get_text_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject FunctionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "glimmering_copper_otter.cookies.function",
    .tp_basicsize = sizeof(Function),
    .tp_itemsize = 0,
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(Function, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
                Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .tp_methods = function_methods,
    .tp_members = function_members,
    .tp_getset = function_getset,
    .tp_descr_get = function_descr_get,
};

PyObject* make_function(FunctionBody body, const char* qualname, PyTypeObject* owner) noexcept {
  if (PyType_Ready(&FunctionType) < 0) return nullptr;
  const char* dot = std::strrchr(qualname, '.');
  Ref name = owning(PyUnicode_InternFromString(dot ? dot + 1 : qualname));
  Ref qual = owning(PyUnicode_InternFromString(qualname));
  Ref module = owning(PyUnicode_InternFromString(kModuleName));
  if (!name || !qual || !module) return nullptr;
  Function* f = PyObject_New(Function, &FunctionType);
  if (f == nullptr) return nullptr;
  f->vectorcall = function_vectorcall;
  f->body = body;
  f->owner = owner;
  f->name = name.release();
  f->qualname = qual.release();
  f->module = module.release();
  return reinterpret_cast<PyObject*>(f);
}

bool is_function_with_body(PyObject* obj, FunctionBody body) noexcept {
  return Py_IS_TYPE(obj, &FunctionType) && as_function(obj)->body == body;
}

bool set_type_dict_item(PyTypeObject* type, PyObject* key, PyObject* value) noexcept {
  Ref dict = owning(PyType_GetDict(type));
  if (!dict) return false;
  int rc = value ? PyDict_SetItem(dict.get(), key, value) : PyDict_DelItem(dict.get(), key);
  PyType_Modified(type);
  return rc == 0;
}

bool add_method(PyTypeObject* type, const char* key, FunctionBody body,
                const char* qualname) noexcept {
  Ref function = owning(make_function(body, qualname, type));
  Ref name = owning(PyUnicode_InternFromString(key));
  if (!function || !name) return false;
  return set_type_dict_item(type, name.get(), function.get());
}

bool add_module_function(PyObject* module, FunctionBody body, const char* qualname) noexcept {
  Ref function = owning(make_function(body, qualname, nullptr));
  if (!function) return false;
  return PyObject_SetAttr(module, as_function(function.get())->name, function.get()) == 0;
}

}  // namespace gco
