// Pickling of cookies and of the error types: reduce and set-state
// operations, the three rebuild functions and their layout checksums.
//
// Stored pickles name these functions and carry the checksums and state
// tuples below, so all of them are a stored format that must keep loading.
#include "parts.hpp"

namespace gco {

namespace {

GCO_STR(str_getstate, "__getstate__");
GCO_STR(str_reduce_ex, "__reduce_ex__");
GCO_STR(str_reduce, "__reduce__");
GCO_STR(str_setstate, "__setstate__");
GCO_STR(str_reduce_cython, "__reduce_cython__");
GCO_STR(str_setstate_cython, "__setstate_cython__");
GCO_STR(str_dunder_name, "__name__");
GCO_STR(str_dict, "__dict__");
GCO_STR(str_update, "update");
GCO_STR(name_pickle, "pickle");
GCO_STR(name_pickle_error, "PickleError");
GCO_STR(name_unpickle_cookie, "__pyx_unpickle_Cookie");
GCO_STR(name_unpickle_error, "__pyx_unpickle_CookieError");
GCO_STR(name_unpickle_value_too_long, "__pyx_unpickle_CookieValueExceedsMaximumLength");
GCO_STR(str_cookie_checksum_message,
        "Incompatible checksums (0x%x vs (0x2035a3d, 0xc44a7b0, 0xe7407db) = (_name, _value, "
        "domain, expires, http_only, max_age, path, same_site, secure))");
GCO_STR(str_error_checksum_message,
        "Incompatible checksums (0x%x vs (0xe3b0c44, 0xda39a3e, 0xd41d8cd) = ())");
Constant int_cookie_checksum(0x2035a3d);
Constant int_error_checksum(0xe3b0c44);

constexpr long long kCookieChecksums[] = {0x2035a3d, 0xc44a7b0, 0xe7407db};
constexpr long long kErrorChecksums[] = {0xe3b0c44, 0xda39a3e, 0xd41d8cd};

// --- Helpers ---------------------------------------------------------------------

bool has_name(PyObject* obj, const Constant& name) {
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttr(obj, str_dunder_name.get(), &found) <= 0) {
    PyErr_Clear();
    return false;
  }
  Ref held = steal(found);
  int equal = PyObject_RichCompareBool(held.get(), name.get(), Py_EQ);
  if (equal < 0) PyErr_Clear();
  return equal > 0;
}

// An item of a state tuple, borrowed from the tuple (which the caller keeps
// alive and nobody can change); raises for an index past its end rather than
// reading beyond the tuple.
Borrowed state_item(PyObject* tuple, Py_ssize_t index) {
  if (index < PyTuple_GET_SIZE(tuple)) return Borrowed(PyTuple_GET_ITEM(tuple, index));
  PyErr_SetString(PyExc_IndexError, "tuple index out of range");
  return Borrowed();
}

// getattr(obj, "__dict__", None) as a new reference; nullptr on another error.
PyObject* instance_dict_or_none(PyObject* obj) {
  PyObject* dict = nullptr;
  if (PyObject_GetOptionalAttr(obj, str_dict.get(), &dict) < 0) return nullptr;
  return dict ? dict : Py_NewRef(Py_None);
}

// obj.__dict__.update(item), when obj has a __dict__ at all.
bool update_instance_dict(PyObject* obj, PyObject* item) {
  PyObject* dict = nullptr;
  int found = PyObject_GetOptionalAttr(obj, str_dict.get(), &dict);
  if (found <= 0) return found == 0;
  Ref owned = steal(dict);
  Ref result = steal(PyObject_CallMethodOneArg(dict, str_update.get(), item));
  return static_cast<bool>(result);
}

bool set_text_field(PyObject** field, Borrowed item) {
  if (!item || !check_exact_value(item.get(), &PyUnicode_Type, "str")) return false;
  store_field(field, item.get());
  return true;
}

bool read_flag(Borrowed item, int* out) { return item && (*out = truth(item.get())) >= 0; }

// --- Cookie state ----------------------------------------------------------------------

// Writes the nine fields from a state tuple in index order, each as soon as
// its item is checked; the setters' checks do not run.  Each store puts the
// new object in place before it releases the old one, whose __del__ may run.
bool apply_cookie_state(PyObject* self, PyObject* state_tuple) {
  if (state_tuple == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
    return false;
  }
  GcoCookie* cookie = as_cookie(self);
  if (!set_text_field(&cookie->_name, state_item(state_tuple, 0)) ||
      !set_text_field(&cookie->_value, state_item(state_tuple, 1)) ||
      !set_text_field(&cookie->domain, state_item(state_tuple, 2))) {
    return false;
  }
  Borrowed expires = state_item(state_tuple, 3);
  if (!expires || !check_convertible(expires.get(), imported.datetime_type)) return false;
  store_field(&cookie->expires, expires.get());
  int flag;
  if (!read_flag(state_item(state_tuple, 4), &flag)) return false;
  cookie->http_only = flag;
  long long max_age;
  Borrowed item = state_item(state_tuple, 5);
  if (!item || !to_int64(item.get(), &max_age)) return false;
  cookie->max_age = max_age;
  if (!set_text_field(&cookie->path, state_item(state_tuple, 6))) return false;
  uint32_t mode;
  item = state_item(state_tuple, 7);
  if (!item || !same_site_from_object(item.get(), &mode)) return false;
  cookie->same_site = mode;
  if (!read_flag(state_item(state_tuple, 8), &flag)) return false;
  cookie->secure = flag;
  if (PyTuple_GET_SIZE(state_tuple) > 9) {
    return update_instance_dict(self, PyTuple_GET_ITEM(state_tuple, 9));
  }
  return true;
}

bool cookie_set_state(PyObject* self, PyObject* state_tuple) {
  if (apply_cookie_state(self, state_tuple)) return true;
  GCO_TRACEBACK("__pyx_unpickle_Cookie__set_state");
  return false;
}

PyObject* reduce_cookie(PyObject* self) {
  GcoCookie* cookie = as_cookie(self);
  // The nine items are read from the record first, each held by a reference
  // of its own: the SameSite conversion and the __dict__ lookup below may run
  // code that changes the cookie, and the state is what was read before.
  Ref state_tuple = steal(PyTuple_New(9));
  if (!state_tuple) return nullptr;
  PyObject* const items[] = {cookie->_name,
                             cookie->_value,
                             cookie->domain,
                             cookie->expires,
                             cookie->http_only ? Py_True : Py_False,
                             nullptr,  // max_age, made below
                             cookie->path,
                             nullptr,  // same_site, converted below
                             cookie->secure ? Py_True : Py_False};
  for (Py_ssize_t i = 0; i < 9; i++) {
    if (items[i] != nullptr) PyTuple_SET_ITEM(state_tuple.get(), i, Py_NewRef(items[i]));
  }
  PyObject* max_age = PyLong_FromLongLong(cookie->max_age);
  if (max_age == nullptr) return nullptr;
  PyTuple_SET_ITEM(state_tuple.get(), 5, max_age);
  PyObject* same_site = same_site_to_member(cookie->same_site);
  if (same_site == nullptr) return nullptr;
  PyTuple_SET_ITEM(state_tuple.get(), 7, same_site);

  Ref dict = steal(instance_dict_or_none(self));
  if (!dict) return nullptr;
  const bool with_dict = dict.get() != Py_None;
  bool use_setstate = with_dict;
  for (Py_ssize_t i : {0, 1, 2, 3, 6}) {
    use_setstate = use_setstate || PyTuple_GET_ITEM(state_tuple.get(), i) != Py_None;
  }
  if (with_dict) {
    Ref extended = steal(PyTuple_Pack(1, dict.get()));
    if (!extended) return nullptr;
    state_tuple = steal(PySequence_Concat(state_tuple.get(), extended.get()));
    if (!state_tuple) return nullptr;
  }
  Ref rebuild = steal(lookup_global(name_unpickle_cookie));
  if (!rebuild) return nullptr;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
  if (use_setstate) {
    return Py_BuildValue("(O(OOO)O)", rebuild.get(), type, int_cookie_checksum.get(), Py_None,
                         state_tuple.get());
  }
  return Py_BuildValue("(O(OOO))", rebuild.get(), type, int_cookie_checksum.get(),
                       state_tuple.get());
}

// --- Error state -----------------------------------------------------------------------

bool apply_error_state(PyObject* self, PyObject* state_tuple) {
  if (state_tuple == Py_None) {
    PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
    return false;
  }
  if (PyTuple_GET_SIZE(state_tuple) > 0) {
    return update_instance_dict(self, PyTuple_GET_ITEM(state_tuple, 0));
  }
  return true;
}

PyObject* reduce_error(PyObject* self, const Constant& rebuild_name) {
  Ref dict = steal(instance_dict_or_none(self));
  if (!dict) return nullptr;
  Ref rebuild = steal(lookup_global(rebuild_name));
  if (!rebuild) return nullptr;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
  if (dict.get() != Py_None) {
    return Py_BuildValue("(O(OOO)(O))", rebuild.get(), type, int_error_checksum.get(), Py_None,
                         dict.get());
  }
  return Py_BuildValue("(O(OO()))", rebuild.get(), type, int_error_checksum.get());
}

// --- Rebuild ----------------------------------------------------------------------------

struct Rebuild {
  PyTypeObject* type;
  const long long* checksums;
  const Constant& message;
  bool (*apply)(PyObject* self, PyObject* state_tuple);
};

bool raise_checksum_mismatch(const Rebuild& rebuild, long long checksum) {
  Ref pickle = steal(import_for_names(name_pickle, {&name_pickle_error}));
  if (!pickle) return false;
  Ref pickle_error = steal(import_name_from(pickle.get(), name_pickle_error));
  if (!pickle_error) return false;
  Ref number = steal(PyLong_FromLongLong(checksum));
  if (!number) return false;
  Ref message = steal(PyUnicode_Format(rebuild.message.get(), number.get()));
  if (!message) return false;
  PyErr_SetObject(pickle_error.get(), message.get());
  return false;
}

// type.__new__(subtype) for the rebuild's own type: no initialiser runs.
PyObject* new_instance(PyTypeObject* type, PyObject* subtype) {
  if (!PyType_Check(subtype)) {
    PyErr_Format(PyExc_TypeError, "%s.__new__(X): X is not a type object (%s)", type->tp_name,
                 Py_TYPE(subtype)->tp_name);
    return nullptr;
  }
  auto* sub = reinterpret_cast<PyTypeObject*>(subtype);
  if (!PyType_IsSubtype(sub, type)) {
    PyErr_Format(PyExc_TypeError, "%s.__new__(%s): %s is not a subtype of %s", type->tp_name,
                 sub->tp_name, sub->tp_name, type->tp_name);
    return nullptr;
  }
  Ref empty = steal(PyTuple_New(0));
  if (!empty) return nullptr;
  return type->tp_new(sub, empty.get(), nullptr);
}

// __pyx_unpickle_<Type>(__pyx_type, __pyx_checksum, __pyx_state)
PyObject* rebuild_instance(const Rebuild& rebuild, PyObject* const* v) {
  long long checksum;
  if (!to_int64(v[1], &checksum)) return nullptr;
  bool accepted = false;
  for (int i = 0; i < 3; i++) accepted = accepted || rebuild.checksums[i] == checksum;
  if (!accepted) return raise_checksum_mismatch(rebuild, checksum), nullptr;
  Ref result = steal(new_instance(rebuild.type, v[0]));
  if (!result) return nullptr;
  if (v[2] != Py_None) {
    if (!check_exact_value(v[2], &PyTuple_Type, "tuple") || !rebuild.apply(result.get(), v[2])) {
      return nullptr;
    }
  }
  return result.transfer();
}

bool error_set_state(PyObject* self, PyObject* state_tuple) {
  if (apply_error_state(self, state_tuple)) return true;
  GCO_TRACEBACK("__pyx_unpickle_CookieError__set_state");
  return false;
}

bool value_too_long_set_state(PyObject* self, PyObject* state_tuple) {
  if (apply_error_state(self, state_tuple)) return true;
  GCO_TRACEBACK("__pyx_unpickle_CookieValueExceedsMaximumLength__set_state");
  return false;
}

// __setstate_cython__(__pyx_state): a tuple, applied; None.
PyObject* set_state_method(PyObject* self, PyObject* state_tuple,
                           bool (*set_state)(PyObject*, PyObject*)) {
  if (!check_exact_value(state_tuple, &PyTuple_Type, "tuple") || !set_state(self, state_tuple)) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// --- Each type's pickling, in one place ----------------------------------------------------
//
// A type's reduce and set-state operations (bound as <Type>.__reduce_cython__
// and <Type>.__setstate_cython__, and for Cookie also installed as __reduce__
// and __setstate__) and its rebuild function __pyx_unpickle_<Type>.

PyObject* cookie_reduce(PyObject* self, PyObject* const*) { return reduce_cookie(self); }
PyObject* cookie_setstate(PyObject* self, PyObject* const* args) {
  return set_state_method(self, args[0], cookie_set_state);
}
PyObject* unpickle_cookie(PyObject*, PyObject* const* args) {
  static const Rebuild rebuild{&CookieType, kCookieChecksums, str_cookie_checksum_message,
                               cookie_set_state};
  return rebuild_instance(rebuild, args);
}

PyObject* error_reduce(PyObject* self, PyObject* const*) {
  return reduce_error(self, name_unpickle_error);
}
PyObject* error_setstate(PyObject* self, PyObject* const* args) {
  return set_state_method(self, args[0], error_set_state);
}
PyObject* unpickle_error(PyObject*, PyObject* const* args) {
  static const Rebuild rebuild{&CookieErrorType, kErrorChecksums, str_error_checksum_message,
                               error_set_state};
  return rebuild_instance(rebuild, args);
}

PyObject* value_too_long_reduce(PyObject* self, PyObject* const*) {
  return reduce_error(self, name_unpickle_value_too_long);
}
PyObject* value_too_long_setstate(PyObject* self, PyObject* const* args) {
  return set_state_method(self, args[0], value_too_long_set_state);
}
PyObject* unpickle_value_too_long(PyObject*, PyObject* const* args) {
  static const Rebuild rebuild{&CookieValueExceedsMaximumLengthType, kErrorChecksums,
                               str_error_checksum_message, value_too_long_set_state};
  return rebuild_instance(rebuild, args);
}

struct PickledType {
  PyTypeObject* type;
  FunctionRow reduce;
  FunctionRow setstate;
  FunctionRow rebuild;
};

PickledType pickled_types[] = {
    {&CookieType,
     {"Cookie.__reduce_cython__", params(), cookie_reduce, &CookieType},
     {"Cookie.__setstate_cython__", params("__pyx_state"), cookie_setstate, &CookieType},
     {"__pyx_unpickle_Cookie", params("__pyx_type", "__pyx_checksum", "__pyx_state"),
      unpickle_cookie}},
    {&CookieErrorType,
     {"CookieError.__reduce_cython__", params(), error_reduce, &CookieErrorType},
     {"CookieError.__setstate_cython__", params("__pyx_state"), error_setstate, &CookieErrorType},
     {"__pyx_unpickle_CookieError", params("__pyx_type", "__pyx_checksum", "__pyx_state"),
      unpickle_error}},
    {&CookieValueExceedsMaximumLengthType,
     {"CookieValueExceedsMaximumLength.__reduce_cython__", params(), value_too_long_reduce,
      &CookieValueExceedsMaximumLengthType},
     {"CookieValueExceedsMaximumLength.__setstate_cython__", params("__pyx_state"),
      value_too_long_setstate, &CookieValueExceedsMaximumLengthType},
     {"__pyx_unpickle_CookieValueExceedsMaximumLength",
      params("__pyx_type", "__pyx_checksum", "__pyx_state"), unpickle_value_too_long}},
};

PickledType& pickled(PyTypeObject* type) {
  for (PickledType& entry : pickled_types) {
    if (entry.type == type) return entry;
  }
  return pickled_types[0];  // every caller passes one of the three types
}

// The operation a type offers under name: its own entry when it has one
// (an earlier, failed import moved it there), else a new function object
// for the row.  A new reference, nullptr with an exception set or (found
// set to false) when the type has none under that name.
PyObject* own_operation(PyTypeObject* type, const Constant& name, FunctionRow& row) {
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttr(reinterpret_cast<PyObject*>(type), name.get(), &found) < 0) {
    return nullptr;
  }
  if (found != nullptr) return found;
  return make_function(row);
}

}  // namespace

// Installs a type's reduce and set-state operations as __reduce__ and
// __setstate__, unless the type already pickles some other way; each type's
// step of exec right after it is readied and bound.
bool install_pickling(PyTypeObject* type) noexcept {
  PyObject* type_obj = reinterpret_cast<PyObject*>(type);
  PyObject* object_type = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
  // object.__getstate__ came with 3.11: before it, a type pickles some
  // other way only if it has a __getstate__ of its own.
  PyObject* found_getstate = nullptr;
  if (PyObject_GetOptionalAttr(object_type, str_getstate.get(), &found_getstate) < 0) return false;
  Ref object_getstate = steal(found_getstate);
  Ref object_reduce_ex = steal(PyObject_GetAttr(object_type, str_reduce_ex.get()));
  if (!object_reduce_ex) return false;
  Ref object_reduce = steal(PyObject_GetAttr(object_type, str_reduce.get()));
  if (!object_reduce) return false;

  PyObject* getstate = nullptr;
  if (PyObject_GetOptionalAttr(type_obj, str_getstate.get(), &getstate) < 0) return false;
  Ref owned_getstate = steal(getstate);
  if (getstate != nullptr && getstate != object_getstate.get()) return true;

  Ref reduce_ex = steal(PyObject_GetAttr(type_obj, str_reduce_ex.get()));
  if (!reduce_ex) return false;
  if (reduce_ex.get() != object_reduce_ex.get()) return true;

  Ref reduce = steal(PyObject_GetAttr(type_obj, str_reduce.get()));
  if (!reduce) return false;
  if (reduce.get() != object_reduce.get() && !has_name(reduce.get(), str_reduce_cython)) {
    return true;
  }

  auto unable = [type]() {
    if (!PyErr_Occurred()) {
      PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", type->tp_name);
    }
    return false;
  };
  PickledType& entry = pickled(type);
  Ref reduce_cython = steal(own_operation(type, str_reduce_cython, entry.reduce));
  if (!reduce_cython || !set_type_dict_item(type, str_reduce.get(), reduce_cython.get())) {
    return unable();
  }
  if (PyDict_Contains(Ref::steal(PyType_GetDict(type)).get(), str_reduce_cython.get()) > 0 &&
      !set_type_dict_item(type, str_reduce_cython.get(), nullptr)) {
    return unable();
  }

  PyObject* setstate = nullptr;
  if (PyObject_GetOptionalAttr(type_obj, str_setstate.get(), &setstate) < 0) return false;
  Ref owned_setstate = steal(setstate);
  if (setstate == nullptr || has_name(setstate, str_setstate_cython)) {
    Ref setstate_cython = steal(own_operation(type, str_setstate_cython, entry.setstate));
    if (!setstate_cython || !set_type_dict_item(type, str_setstate.get(), setstate_cython.get())) {
      return unable();
    }
    if (PyDict_Contains(Ref::steal(PyType_GetDict(type)).get(), str_setstate_cython.get()) > 0 &&
        !set_type_dict_item(type, str_setstate_cython.get(), nullptr)) {
      return unable();
    }
  }
  PyType_Modified(type);
  return true;
}

// <Type>.__reduce_cython__ and <Type>.__setstate_cython__ into the type dict.
bool bind_pickling_methods(PyTypeObject* type) noexcept {
  PickledType& entry = pickled(type);
  return bind_functions(nullptr, &entry.reduce, 1) && bind_functions(nullptr, &entry.setstate, 1);
}

// The three rebuild functions as module attributes: the errors' first.
bool bind_rebuild_functions(PyObject* module) noexcept {
  return bind_functions(module, &pickled_types[1].rebuild, 1) &&
         bind_functions(module, &pickled_types[2].rebuild, 1) &&
         bind_functions(module, &pickled_types[0].rebuild, 1);
}

}  // namespace gco
