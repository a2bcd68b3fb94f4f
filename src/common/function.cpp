// Function objects made from the rows of a module's function table.
#include <cstring>

#include "compat.hpp"
#include "function.hpp"

namespace gco {

namespace {

struct Function {
  PyObject_HEAD vectorcallfunc vectorcall;
  FunctionRow* row;  // lives as long as the module's code
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
};

// The traceback entry of a failed call: the module's name and the row's
// qualified name.
void add_row_traceback(FunctionRow& row) {
  char name[300];
  PyOS_snprintf(name, sizeof name, "%s.%s", state.name, row.qualname);
  add_traceback(&row.traceback_code, name, 0, "<function>");
}

PyObject* call_row(FunctionRow& row, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
  PyObject* values[kMaxParams];
  PyObject* result =
      row.signature.bind(args, nargs, kwnames, values) ? row.body(self, values) : nullptr;
  if (result == nullptr) add_row_traceback(row);
  return result;
}

Function* as_function(PyObject* obj) { return reinterpret_cast<Function*>(obj); }

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  Function* f = as_function(callable);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  PyTypeObject* owner = f->row->owner;
  if (owner == nullptr) return call_row(*f->row, nullptr, args, nargs, kwnames);
  // A method reached through its type: its first argument is self, and the
  // body may only ever see an instance of the owner type.
  if (nargs < 1) {
    PyErr_Format(PyExc_TypeError, "unbound method %U() needs an argument", f->qualname);
    return nullptr;
  }
  if (!PyObject_TypeCheck(args[0], owner)) {
    PyErr_Format(PyExc_TypeError,
                 "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object", f->name,
                 owner->tp_name, Py_TYPE(args[0])->tp_name);
    return nullptr;
  }
  return call_row(*f->row, args[0], args + 1, nargs - 1, kwnames);
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

PyObject* function_get_doc(PyObject* self, void* /*closure*/) {
  const char* doc = as_function(self)->row->doc;
  if (doc == nullptr) Py_RETURN_NONE;
  return PyUnicode_FromString(doc);
}

// inspect.signature reads the parameters here, as it does for built-in
// functions: the names that the function binds its arguments to.
PyObject* function_get_text_signature(PyObject* self, void* /*closure*/) {
  const FunctionRow* row = as_function(self)->row;
  return row->signature.text_signature(row->owner != nullptr);
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

// Named at first use after the module that makes the functions.
char function_type_name[200] = "function";

PyTypeObject FunctionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = function_type_name,
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

const char* plain_name(const char* qualname) {
  const char* dot = std::strrchr(qualname, '.');
  return dot ? dot + 1 : qualname;
}

}  // namespace

FunctionRow::FunctionRow(const char* qualname_, ParamList params, FunctionBody body_,
                         PyTypeObject* owner_, const char* doc_) noexcept
    : qualname(qualname_),
      signature(plain_name(qualname_), params),
      body(body_),
      owner(owner_),
      doc(doc_) {}

PyObject* make_function(FunctionRow& row) noexcept {
  if (!(FunctionType.tp_flags & Py_TPFLAGS_READY)) {
    PyOS_snprintf(function_type_name, sizeof function_type_name, "%s.function", state.name);
    if (PyType_Ready(&FunctionType) < 0) return nullptr;
  }
  Ref name = steal(PyUnicode_InternFromString(plain_name(row.qualname)));
  Ref qual = steal(PyUnicode_InternFromString(row.qualname));
  Ref module = steal(PyUnicode_InternFromString(state.name));
  if (!name || !qual || !module) return nullptr;
  Function* f = PyObject_New(Function, &FunctionType);
  if (f == nullptr) return nullptr;
  f->vectorcall = function_vectorcall;
  f->row = &row;
  f->name = name.transfer();
  f->qualname = qual.transfer();
  f->module = module.transfer();
  return reinterpret_cast<PyObject*>(f);
}

bool bind_functions(PyObject* module, FunctionRow* rows, size_t count) noexcept {
  for (size_t i = 0; i < count; i++) {
    FunctionRow& row = rows[i];
    Ref function = steal(make_function(row));
    if (!function) return false;
    PyObject* name = as_function(function.get())->name;
    bool bound = row.owner ? set_type_dict_item(row.owner, name, function.get())
                           : PyObject_SetAttr(module, name, function.get()) == 0;
    if (!bound) return false;
  }
  return true;
}

bool start_exec(const char* module_name) noexcept {
  if (!claim_interpreter()) return false;
  state.name = module_name;
  state.count_errors_first = false;
  return Constant::make_all() && Signature::make_all();
}

bool finish_exec(PyObject* module, FunctionRow* rows, size_t count) noexcept {
  PyObject* dict = PyModule_GetDict(module);
  if (dict == nullptr || !bind_functions(module, rows, count)) return false;
  Py_XSETREF(state.module, Py_NewRef(module));
  Py_XSETREF(state.dict, Py_NewRef(dict));
  return true;
}

bool publish_c_entry(PyObject* module, const char* name, void* function,
                     const char* signature) noexcept {
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttrString(module, "__pyx_capi__", &found) < 0) return false;
  Ref table = steal(found);
  if (!table) {
    table = steal(PyDict_New());
    if (!table || PyObject_SetAttrString(module, "__pyx_capi__", table.get()) < 0) return false;
  }
  Ref capsule = steal(PyCapsule_New(function, signature, nullptr));
  return capsule && PyDict_SetItemString(table.get(), name, capsule.get()) == 0;
}

bool is_function_with_body(PyObject* obj, FunctionBody body) noexcept {
  return Py_IS_TYPE(obj, &FunctionType) && as_function(obj)->row->body == body;
}

}  // namespace gco
