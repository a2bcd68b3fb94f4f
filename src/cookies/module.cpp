// The module's life: the entry point, create and exec.  Exec reads top to
// bottom in the order in which the module's namespace comes to be.
#include "late_binding.hpp"
#include "parts.hpp"

namespace gco {

Imported imported;

namespace {

// The module's function objects that are not part of a type's pickling, in
// the order exec binds them.
FunctionRow date_functions[] = {
    {"datetime_to_cookie_format", params("value"), py_datetime_to_cookie_format},
    {"datetime_from_cookie_format", params("value"), py_datetime_from_cookie_format},
};
FunctionRow clone_method[] = {
    {"Cookie.clone", params(), py_cookie_clone, &CookieType},
};
FunctionRow parser_functions[] = {
    {"parse_cookie", params("raw_value"), py_parse_cookie},
};

constexpr int kBuiltForMajor = PY_MAJOR_VERSION;
constexpr int kBuiltForMinor = PY_MINOR_VERSION;

GCO_STR(str_module_name, "glimmering_copper_otter.cookies");
GCO_STR(str_builtins_name, "builtins");
GCO_STR(str_vtable, "__pyx_vtable__");
GCO_STR(str_test, "__test__");
GCO_STR(name_super, "super");
GCO_STR(name_value_error, "ValueError");
GCO_STR(name_not_implemented, "NotImplemented");
GCO_STR(name_datetime_module, "datetime");
GCO_STR(name_type, "type");
GCO_STR(name_date, "date");
GCO_STR(name_time, "time");
GCO_STR(name_datetime, "datetime");
GCO_STR(name_timedelta, "timedelta");
GCO_STR(name_tzinfo, "tzinfo");
GCO_STR(name_urllib_parse, "urllib.parse");
GCO_STR(name_quote, "quote");
GCO_STR(name_unquote, "unquote");
GCO_STR(name_email_utils, "email.utils");
GCO_STR(name_parsedate_to_datetime, "parsedate_to_datetime");

bool copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to,
                         bool none_allowed) {
  PyObject* value = nullptr;
  int found = PyObject_GetOptionalAttrString(spec, from, &value);
  if (found < 0) return false;
  if (found == 0) return true;
  Ref owned = steal(value);
  if (!none_allowed && value == Py_None) return true;
  return PyDict_SetItemString(dict, to, value) == 0;
}

PyObject* module_create(PyObject* spec, PyModuleDef* /*def*/) {
  if (!claim_interpreter()) return nullptr;
  if (state.module != nullptr) return Py_NewRef(state.module);

  Ref name = steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject* dict = PyModule_GetDict(module.get());
  if (dict == nullptr || !copy_spec_attribute(spec, dict, "loader", "__loader__", true) ||
      !copy_spec_attribute(spec, dict, "origin", "__file__", true) ||
      !copy_spec_attribute(spec, dict, "parent", "__package__", true) ||
      !copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false)) {
    return nullptr;
  }
  return module.transfer();
}

bool warn_on_version_mismatch() {
  const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
  const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
  if (major == kBuiltForMajor && minor == kBuiltForMinor) return true;
  char message[200];
  PyOS_snprintf(message, sizeof message,
                "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                kBuiltForMajor, kBuiltForMinor, kModuleName, "does not match", major, minor);
  return PyErr_WarnEx(nullptr, message, 1) == 0;
}

bool add_to_module_registry(PyObject* module) {
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* found = PyDict_GetItemWithError(modules, str_module_name.get());
  if (found != nullptr) return true;
  if (PyErr_Occurred()) return false;
  return PyDict_SetItem(modules, str_module_name.get(), module) == 0;
}

PyObject* builtin(const Constant& name) {
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttr(state.builtins, name.get(), &found) == 0) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
  }
  return found;
}

bool publish_capi(PyObject* module) {
  return publish_c_entry(module, "parse_cookie", reinterpret_cast<void*>(parse_cookie),
                         GCO_SIG_PARSE_COOKIE) &&
         publish_c_entry(module, "datetime_to_cookie_format",
                         reinterpret_cast<void*>(datetime_to_cookie_format),
                         GCO_SIG_DATETIME_TO_COOKIE_FORMAT) &&
         publish_c_entry(module, "datetime_from_cookie_format",
                         reinterpret_cast<void*>(datetime_from_cookie_format),
                         GCO_SIG_DATETIME_FROM_COOKIE_FORMAT) &&
         publish_c_entry(module, "write_cookie_for_response",
                         reinterpret_cast<void*>(write_cookie_for_response),
                         GCO_SIG_WRITE_COOKIE_FOR_RESPONSE) &&
         publish_c_entry(module, "split_value", reinterpret_cast<void*>(split_value),
                         GCO_SIG_SPLIT_VALUE) &&
         publish_c_entry(module, "same_site_mode_from_bytes",
                         reinterpret_cast<void*>(same_site_mode_from_bytes),
                         GCO_SIG_SAME_SITE_MODE_FROM_BYTES);
}

bool cookie_type_ready(PyObject* module) {
  cookie_vtable.clone = cookie_clone;
  if (PyType_Ready(&CookieType) < 0) return false;
  Ref capsule = steal(PyCapsule_New(&cookie_vtable, nullptr, nullptr));
  if (!capsule || !set_type_dict_item(&CookieType, str_vtable.get(), capsule.get())) return false;
  if (PyModule_AddObjectRef(module, "Cookie", reinterpret_cast<PyObject*>(&CookieType)) < 0) {
    return false;
  }
  return install_pickling(&CookieType);
}

// A type taken from a module, whose instances must be at least as large as
// the structure this module was compiled against.
bool import_type(PyObject* module, const char* module_name, const Constant& name,
                 size_t expected_size, PyTypeObject** out) {
  Ref found = steal(PyObject_GetAttr(module, name.get()));
  if (!found) return false;
  if (!PyType_Check(found.get())) {
    PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, name.text());
    return false;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(found.get());
  Py_ssize_t size = type->tp_basicsize;
  if (static_cast<size_t>(size) < expected_size) {
    PyErr_Format(PyExc_ValueError,
                 "%.200s.%.200s size changed, may indicate binary incompatibility. Expected "
                 "%zd from C header, got %zd from PyObject",
                 module_name, name.text(), static_cast<Py_ssize_t>(expected_size), size);
    return false;
  }
  if (static_cast<size_t>(size) > expected_size) {
    char message[300];
    PyOS_snprintf(message, sizeof message,
                  "%.200s.%.200s size changed, may indicate binary incompatibility. Expected "
                  "%zd from C header, got %zd from PyObject",
                  module_name, name.text(), static_cast<Py_ssize_t>(expected_size), size);
    if (PyErr_WarnEx(nullptr, message, 0) < 0) return false;
  }
  Py_XSETREF(*out, reinterpret_cast<PyTypeObject*>(found.transfer()));
  return true;
}

bool import_types() {
  Ref builtins = steal(PyImport_Import(str_builtins_name.get()));
  if (!builtins || !import_type(builtins.get(), "builtins", name_type, sizeof(PyHeapTypeObject),
                                &imported.type_type)) {
    return false;
  }
  Ref datetime = steal(PyImport_Import(name_datetime_module.get()));
  return datetime &&
         import_type(datetime.get(), "datetime", name_date, datetime_struct_sizes.date,
                     &imported.date_type) &&
         import_type(datetime.get(), "datetime", name_time, datetime_struct_sizes.time,
                     &imported.time_type) &&
         import_type(datetime.get(), "datetime", name_datetime, datetime_struct_sizes.datetime,
                     &imported.datetime_type) &&
         import_type(datetime.get(), "datetime", name_timedelta, datetime_struct_sizes.timedelta,
                     &imported.timedelta_type) &&
         import_type(datetime.get(), "datetime", name_tzinfo, datetime_struct_sizes.tzinfo,
                     &imported.tzinfo_type);
}

// from <module> import <names...>, each bound under its own name.
bool bind_imported(PyObject* module, const Constant& module_name,
                   std::initializer_list<const Constant*> names) {
  Ref imported = steal(import_for_names(module_name, names));
  if (!imported) return false;
  for (const Constant* name : names) {
    Ref value = steal(import_name_from(imported.get(), *name));
    if (!value || PyObject_SetAttr(module, name->get(), value.get()) < 0) return false;
  }
  return true;
}

bool exec_steps(PyObject* module) {
  if (!warn_on_version_mismatch()) return false;
  if (!Constant::make_all() || !Signature::make_all()) return false;
  if (!add_to_module_registry(module)) return false;

  Ref super_function = steal(builtin(name_super));
  Ref value_error = steal(builtin(name_value_error));
  Ref not_implemented = steal(builtin(name_not_implemented));
  if (!super_function || !value_error || !not_implemented) return false;
  Py_XSETREF(imported.builtin_super, super_function.transfer());
  Py_XSETREF(imported.builtin_value_error, value_error.transfer());
  Py_XSETREF(imported.builtin_not_implemented, not_implemented.transfer());

  if (!publish_capi(module)) return false;
  if (!cookie_type_ready(module)) return false;
  if (!errors_ready(module)) return false;
  if (!import_types() || !dates_ready()) return false;
  if (!same_site_make_class(module)) return false;
  if (!bind_imported(module, name_urllib_parse, {&name_quote, &name_unquote})) return false;
  if (!bind_imported(module, name_email_utils, {&name_parsedate_to_datetime})) return false;
  late_binding_ready();
  if (!bind_functions(module, date_functions)) return false;
  if (!bind_pickling_methods(&CookieErrorType) ||
      !bind_pickling_methods(&CookieValueExceedsMaximumLengthType)) {
    return false;
  }
  if (!bind_functions(module, clone_method) || !bind_pickling_methods(&CookieType)) return false;
  if (!bind_functions(module, parser_functions)) return false;
  if (!bind_rebuild_functions(module)) return false;
  Ref test = steal(PyDict_New());
  return test && PyObject_SetAttr(module, str_test.get(), test.get()) == 0;
}

int module_exec(PyObject* module) {
  if (state.module != nullptr) {
    if (state.module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'cookies' has already been imported. Re-initialisation is not "
                    "supported.");
    return -1;
  }
  PyObject* dict = PyModule_GetDict(module);
  if (dict == nullptr) return -1;
  state.name = kModuleName;
  state.module = Py_NewRef(module);
  state.dict = Py_NewRef(dict);
  if (state.builtins == nullptr) {
    state.builtins = PyImport_ImportModule("builtins");
  }
  bool ok = state.builtins != nullptr &&
            PyObject_SetAttrString(module, "__builtins__", state.builtins) == 0 &&
            exec_steps(module);
  if (ok) return 0;
  if (Constant::all_made()) GCO_TRACEBACK_NAMED("init glimmering_copper_otter.cookies");
  // The next import starts over with a new module object.
  Py_CLEAR(state.module);
  Py_CLEAR(state.dict);
  return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "cookies",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace gco

PyMODINIT_FUNC PyInit_cookies(void) { return PyModuleDef_Init(&gco::module_def); }
