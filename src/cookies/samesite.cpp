// The SameSite mode: a 32-bit unsigned number inside the record and the
// IntFlag class CookieSameSiteMode outside it, with the conversions between.
#include <cstring>

#include "parts.hpp"
#include "span.hpp"

namespace gco {

namespace {

GCO_STR(name_same_site_class, "CookieSameSiteMode");
GCO_STR(name_enum, "enum");
GCO_STR(name_int_enum, "IntEnum");
GCO_STR(name_int_flag, "IntFlag");
GCO_STR(str_module_key, "__module__");
GCO_STR(str_module, "module");
GCO_STR(str_module_name, "glimmering_copper_otter.cookies");
GCO_STR(str_member_names, "_member_names_");
GCO_STR(str_members, "__members__");
GCO_STR(str_undefined, "UNDEFINED");
GCO_STR(str_lax, "LAX");
GCO_STR(str_strict, "STRICT");
GCO_STR(str_none, "NONE");

const Constant* const member_names[] = {&str_undefined, &str_lax, &str_strict, &str_none};

bool same_site_from_int(PyObject* number, uint32_t* out) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(number, &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && v < 0)) {
    PyErr_SetString(PyExc_OverflowError,
                    "can't convert negative value to enum "
                    "__pyx_t_23glimmering_copper_otter_7cookies_CookieSameSiteMode");
    return false;
  }
  if (overflow > 0) {
    // Beyond the signed range the interpreter's unsigned conversion speaks
    // for numbers from 2**64 up.
    unsigned long wide = PyLong_AsUnsignedLong(number);
    if (wide == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
    v = -1;
  }
  if (v < 0 || v > 0xFFFFFFFFLL) {
    PyErr_SetString(PyExc_OverflowError,
                    "value too large to convert to enum "
                    "__pyx_t_23glimmering_copper_otter_7cookies_CookieSameSiteMode");
    return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

bool same_site_from_object(PyObject* value, uint32_t* out) noexcept {
  if (PyLong_Check(value)) return same_site_from_int(value, out);
  Ref number = steal(to_exact_int(value));
  if (!number) return false;
  return same_site_from_int(number.get(), out);
}

PyObject* same_site_to_member(uint32_t mode) noexcept {
  Ref cls = steal(lookup_global(name_same_site_class));
  if (!cls) return nullptr;
  if (mode <= kSameSiteNone) return PyObject_GetAttr(cls.get(), member_names[mode]->get());
  Ref number = steal(PyLong_FromLong(static_cast<int32_t>(mode)));
  if (!number) return nullptr;
  return PyObject_CallOneArg(cls.get(), number.get());
}

uint32_t same_site_mode_from_bytes(PyObject* raw_value) noexcept {
  if (raw_value == Py_None) return kSameSiteUndefined;
  if (!PyBytes_Check(raw_value)) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytes", Py_TYPE(raw_value)->tp_name);
    GCO_TRACEBACK("same_site_mode_from_bytes");
    return kSameSiteUndefined;
  }
  return same_site_mode_from_span(PyBytes_AS_STRING(raw_value), PyBytes_GET_SIZE(raw_value));
}

uint32_t same_site_mode_from_span(const char* data, Py_ssize_t size) noexcept {
  if (equals_lowered(data, size, "strict", 6)) return kSameSiteStrict;
  if (equals_lowered(data, size, "lax", 3)) return kSameSiteLax;
  if (equals_lowered(data, size, "none", 4)) return kSameSiteNone;
  return kSameSiteUndefined;
}

bool same_site_make_class(PyObject* module) noexcept {
  // Both imports must succeed, though only IntFlag is used.
  Ref enum_module = steal(import_for_names(name_enum, {&name_int_enum}));
  if (!enum_module) return false;
  Ref int_enum = steal(import_name_from(enum_module.get(), name_int_enum));
  if (!int_enum) return false;
  enum_module = steal(import_for_names(name_enum, {&name_int_flag}));
  if (!enum_module) return false;
  Ref int_flag = steal(import_name_from(enum_module.get(), name_int_flag));
  if (!int_flag) return false;

  PyObject* found = nullptr;
  if (PyDict_GetItemRef(state.dict, str_module_key.get(), &found) < 0) return false;
  Ref module_name = found ? steal(found) : incref(str_module_name.get());
  Ref members = steal(PyList_New(4));
  if (!members) return false;
  for (long i = 0; i < 4; i++) {
    PyObject* pair = Py_BuildValue("(Ol)", member_names[i]->get(), i);
    if (pair == nullptr) return false;
    PyList_SET_ITEM(members.get(), i, pair);
  }
  Ref kwnames = steal(PyTuple_Pack(1, str_module.get()));
  if (!kwnames) return false;
  PyObject* args[] = {nullptr, name_same_site_class.get(), members.get(), module_name.get()};
  Ref cls = steal(PyObject_Vectorcall(int_flag.get(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                      kwnames.get()));
  if (!cls) return false;
  if (PyObject_SetAttr(module, name_same_site_class.get(), cls.get()) < 0) return false;
  // IntFlag leaves the zero member and multi-bit members out of iteration;
  // list all four, in order.
  Ref mapping = steal(PyObject_GetAttr(cls.get(), str_members.get()));
  if (!mapping) return false;
  Ref names = steal(PySequence_List(mapping.get()));
  if (!names) return false;
  return PyObject_SetAttr(cls.get(), str_member_names.get(), names.get()) == 0;
}

}  // namespace gco
