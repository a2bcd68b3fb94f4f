// Shared machinery of the module frame: constants, argument binding, type
// checks, integer conversion, names looked up at each use, imports and
// traceback entries.
#include "frame.hpp"

#include <frameobject.h>

#include <cstring>

#include "compat.hpp"

namespace gco {

ModuleState state;

namespace {
int64_t first_interpreter_id = -1;
}  // namespace

bool claim_interpreter() noexcept {
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return false;
  if (first_interpreter_id == -1) first_interpreter_id = id;
  if (first_interpreter_id == id) return true;
  PyErr_SetString(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one "
                  "interpreter per process.");
  return false;
}

// ---------------------------------------------------------------------------
// Constants

namespace {
Constant* constants_head = nullptr;
bool constants_made = false;
}  // namespace

Constant::Constant(Kind kind, const char* text, Py_ssize_t length) noexcept
    : kind_(kind), text_(text), length_(length), next_(constants_head) {
  constants_head = this;
}

Constant::Constant(long long value) noexcept
    : kind_(Kind::kInt), text_(""), length_(0), value_(value), next_(constants_head) {
  constants_head = this;
}

bool Constant::make_all() noexcept {
  for (Constant* c = constants_head; c != nullptr; c = c->next_) {
    if (c->object_ != nullptr) continue;
    switch (c->kind_) {
      case Kind::kStr:
        c->object_ = PyUnicode_DecodeUTF8(c->text_, c->length_, "strict");
        if (c->object_ != nullptr) PyUnicode_InternInPlace(&c->object_);
        break;
      case Kind::kBytes:
        c->object_ = PyBytes_FromStringAndSize(c->text_, c->length_);
        break;
      case Kind::kInt:
        c->object_ = PyLong_FromLongLong(c->value_);
        break;
    }
    if (c->object_ == nullptr) return false;
  }
  constants_made = true;
  return true;
}

bool Constant::all_made() noexcept { return constants_made; }

// ---------------------------------------------------------------------------
// Argument binding

namespace {
Signature* signatures_head = nullptr;

// Keyword arguments of a vectorcall: names in a tuple, values after the
// positional arguments.
struct FastKeywords {
  PyObject* const* values;
  PyObject* names;

  Py_ssize_t count() const noexcept { return names ? PyTuple_GET_SIZE(names) : 0; }
  PyObject* find(PyObject* name) const noexcept {
    Py_ssize_t n = count();
    for (Py_ssize_t i = 0; i < n; i++) {
      if (PyTuple_GET_ITEM(names, i) == name) return values[i];
    }
    for (Py_ssize_t i = 0; i < n; i++) {
      PyObject* key = PyTuple_GET_ITEM(names, i);
      if (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0) return values[i];
    }
    return nullptr;
  }
  template <class F>
  bool each_key(F f) const noexcept {
    Py_ssize_t n = count();
    for (Py_ssize_t i = 0; i < n; i++) {
      if (!f(PyTuple_GET_ITEM(names, i))) return false;
    }
    return true;
  }
};

// Keyword arguments of a tp_init call: a dict (or nullptr).
struct DictKeywords {
  PyObject* dict;

  Py_ssize_t count() const noexcept { return dict ? PyDict_GET_SIZE(dict) : 0; }
  PyObject* find(PyObject* name) const noexcept {
    // Keys of a keyword dict are texts; a lookup by an interned text cannot
    // fail in a way that matters here, so an error is treated as absent.
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (value == nullptr) PyErr_Clear();
    return value;
  }
  template <class F>
  bool each_key(F f) const noexcept {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
      if (!f(key)) return false;
    }
    return true;
  }
};
}  // namespace

Signature::Signature(const char* function_name, ParamList params) noexcept
    : function_name_(function_name), next_(signatures_head) {
  bool keyword_only = false;
  for (int i = 0; i < params.count; i++) {
    const char* spec = params.specs[i];
    if (spec[0] == '*' && spec[1] == '\0') {
      keyword_only = true;
      continue;
    }
    const char* equals = std::strchr(spec, '=');
    specs_[count_] = spec;
    name_lengths_[count_] = static_cast<int>(equals ? equals - spec : std::strlen(spec));
    if (equals == nullptr && required_ == count_) required_++;
    count_++;
    if (!keyword_only) positional_ = count_;
  }
  signatures_head = this;
}

bool Signature::make_all() noexcept {
  for (Signature* s = signatures_head; s != nullptr; s = s->next_) {
    for (int i = 0; i < s->count_; i++) {
      if (s->names_[i] != nullptr) continue;
      s->names_[i] = PyUnicode_FromStringAndSize(s->specs_[i], s->name_lengths_[i]);
      if (s->names_[i] != nullptr) PyUnicode_InternInPlace(&s->names_[i]);
      if (s->names_[i] == nullptr) return false;
    }
  }
  return true;
}

PyObject* Signature::text_signature(bool method) const noexcept {
  Ref text = steal(PyUnicode_FromString(method ? "($self" : "("));
  for (int i = 0; text && i < count_; i++) {
    const bool first = i == 0 && !method;
    const char* separator = first ? "" : ", ";
    if (i == positional_) separator = first ? "*, " : ", *, ";
    text = steal(PyUnicode_FromFormat("%U%s%s", text.get(), separator, specs_[i]));
  }
  if (text) text = steal(PyUnicode_FromFormat("%U)", text.get()));
  return text.transfer();
}

bool Signature::raise_count(Py_ssize_t given, bool too_many) const noexcept {
  const bool exact = required_ == positional_;
  const Py_ssize_t expected = too_many ? positional_ : required_;
  const char* how = exact ? "exactly" : (too_many ? "at most" : "at least");
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               function_name_, how, expected, expected == 1 ? "" : "s", given);
  return false;
}

// The usual call: each keyword is one of the interned parameter names
// itself (the interpreter interns the keywords of a call), none names a
// parameter given by position, and no required one is missing.  Pointer
// comparisons only; false sends the call to the general binding, which
// also says what is wrong.
bool Signature::bind_identical(PyObject* const* kwvalues, PyObject* kwnames, Py_ssize_t nargs,
                               PyObject** values) const noexcept {
  const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
  // A call site calls again with the same keywords: the places found last.
  if (kwnames == last_kwnames_ && nargs == last_nargs_) {
    for (Py_ssize_t k = 0; k < n; k++) values[last_slots_[k]] = kwvalues[k];
    return true;
  }
  signed char slots[kMaxParams];
  for (Py_ssize_t k = 0; k < n; k++) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    int i = static_cast<int>(nargs);
    while (i < count_ && names_[i] != key) i++;
    if (i == count_ || values[i] != nullptr) return false;
    values[i] = kwvalues[k];
    slots[k] = static_cast<signed char>(i);
  }
  for (int i = static_cast<int>(nargs); i < required_; i++) {
    if (values[i] == nullptr) return false;
  }
  // Each keyword filled another parameter, so there are at most count_.
  std::memcpy(last_slots_, slots, static_cast<size_t>(n));
  last_nargs_ = nargs;
  // Freeing the tuple replaced (of texts) runs no interpreted code.
  Py_XSETREF(last_kwnames_, Py_NewRef(kwnames));
  return true;
}

template <class Keywords>
bool Signature::bind_keywords(const Keywords& keywords, Py_ssize_t nargs,
                              PyObject** values) const noexcept {
  Py_ssize_t left = keywords.count();
  if (!state.count_errors_first && !check_keyword_names(keywords, nargs)) return false;
  // Parameters not filled by position are looked up by name, in order; the
  // first required one that is missing is reported as a count error.
  for (int i = static_cast<int>(nargs); i < count_; i++) {
    if (i >= required_ && left == 0) break;
    PyObject* value = keywords.find(names_[i]);
    if (value != nullptr) {
      values[i] = value;
      left--;
    } else if (i < required_) {
      return raise_count(i, false);
    }
  }
  if (left == 0) return true;
  // Some keywords matched no parameter filled above: say which one is wrong.
  return check_keyword_names(keywords, nargs);
}

template <class Keywords>
bool Signature::check_keyword_names(const Keywords& keywords, Py_ssize_t nargs) const noexcept {
  return keywords.each_key([&](PyObject* key) {
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function_name_);
      return false;
    }
    for (int i = 0; i < count_; i++) {
      if (names_[i] == key || PyUnicode_Compare(key, names_[i]) == 0) {
        if (i < nargs) {
          PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                       function_name_, key);
          return false;
        }
        return true;
      }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_name_,
                 key);
    return false;
  });
}

bool Signature::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** values) const noexcept {
  if (nargs > positional_) return raise_count(nargs, true);
  for (int i = 0; i < count_; i++) values[i] = i < nargs ? args[i] : nullptr;
  if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) {
    if (nargs < required_) return raise_count(nargs, false);
    return true;
  }
  if (bind_identical(args + nargs, kwnames, nargs, values)) return true;
  for (int i = static_cast<int>(nargs); i < count_; i++) values[i] = nullptr;
  return bind_keywords(FastKeywords{args + nargs, kwnames}, nargs, values);
}

bool Signature::bind(PyObject* args, PyObject* kwargs, PyObject** values) const noexcept {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > positional_) return raise_count(nargs, true);
  for (int i = 0; i < count_; i++) values[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
  if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
    if (nargs < required_) return raise_count(nargs, false);
    return true;
  }
  return bind_keywords(DictKeywords{kwargs}, nargs, values);
}

// ---------------------------------------------------------------------------
// Type checks

bool check_exact_argument(PyObject* value, PyTypeObject* type, const char* param) noexcept {
  if (Py_IS_TYPE(value, type) || value == Py_None) return true;
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
               type->tp_name, Py_TYPE(value)->tp_name);
  return false;
}

bool check_instance_argument(PyObject* value, PyTypeObject* type, const char* param) noexcept {
  if (value == Py_None || PyObject_TypeCheck(value, type)) return true;
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
               type->tp_name, Py_TYPE(value)->tp_name);
  return false;
}

bool check_exact_value(PyObject* value, PyTypeObject* type, const char* expected) noexcept {
  if (Py_IS_TYPE(value, type) || value == Py_None) return true;
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(value)->tp_name);
  return false;
}

bool check_convertible(PyObject* value, PyTypeObject* type) noexcept {
  if (value == Py_None || PyObject_TypeCheck(value, type)) return true;
  PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(value)->tp_name,
               type->tp_name);
  return false;
}

// ---------------------------------------------------------------------------
// Integer conversion

PyObject* to_exact_int(PyObject* value) noexcept {
  PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
  if (number == nullptr || number->nb_int == nullptr) {
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return nullptr;
  }
  Ref result = steal(number->nb_int(value));
  if (!result) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
    return nullptr;
  }
  if (PyLong_CheckExact(result.get())) return result.transfer();
  if (PyLong_Check(result.get())) {
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an "
                         "instance of a strict subclass of int is deprecated, and may be "
                         "removed in a future version of Python.",
                         Py_TYPE(result.get())->tp_name) < 0) {
      return nullptr;
    }
    return result.transfer();
  }
  PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
               Py_TYPE(result.get())->tp_name);
  return nullptr;
}

bool to_int64(PyObject* value, long long* out) noexcept {
  if (PyLong_Check(value)) {
    long long v = PyLong_AsLongLong(value);
    if (v == -1 && PyErr_Occurred()) return false;
    *out = v;
    return true;
  }
  Ref number = steal(to_exact_int(value));
  if (!number) return false;
  long long v = PyLong_AsLongLong(number.get());
  if (v == -1 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

// ---------------------------------------------------------------------------
// Late-bound names

PyObject* lookup_global(const Constant& name) noexcept {
  if (state.dict != nullptr) {
    PyObject* found = nullptr;
    int rc = PyDict_GetItemRef(state.dict, name.get(), &found);
    if (rc < 0) return nullptr;
    if (rc > 0) return found;
  }
  if (state.builtins != nullptr) {
    PyObject* found = nullptr;
    int rc = PyObject_GetOptionalAttr(state.builtins, name.get(), &found);
    if (rc < 0) return nullptr;
    if (rc > 0) return found;
  }
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
  return nullptr;
}

bool set_type_dict_item(PyTypeObject* type, PyObject* key, PyObject* value) noexcept {
  Ref dict = steal(PyType_GetDict(type));
  if (!dict) return false;
  int rc = value ? PyDict_SetItem(dict.get(), key, value) : PyDict_DelItem(dict.get(), key);
  PyType_Modified(type);
  return rc == 0;
}

// ---------------------------------------------------------------------------
// Traceback entries

void add_traceback(PyObject** code_cache, const char* function_name, int line,
                   const char* file) noexcept {
  if (state.dict == nullptr) return;
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return;
  if (*code_cache == nullptr) {
    *code_cache = reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, function_name, line));
  }
  PyFrameObject* frame = nullptr;
  if (*code_cache != nullptr) {
    frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(*code_cache),
                        state.dict, nullptr);
  }
  if (frame == nullptr) {
    // The entry is a courtesy; the original exception matters more.
    PyErr_Clear();
    PyErr_SetRaisedException(raised);
    return;
  }
  PyErr_SetRaisedException(raised);
  PyTraceBack_Here(frame);
  Py_DECREF(frame);
}

}  // namespace gco

namespace gco {

// ---------------------------------------------------------------------------
// Imports

PyObject* import_for_names(const Constant& module_name,
                           std::initializer_list<const Constant*> names) noexcept {
  Ref fromlist = steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!fromlist) return nullptr;
  Py_ssize_t i = 0;
  for (const Constant* name : names) PyList_SET_ITEM(fromlist.get(), i++, Py_NewRef(name->get()));
  return PyImport_ImportModuleLevelObject(module_name.get(), state.dict, nullptr, fromlist.get(),
                                          0);
}

PyObject* import_name_from(PyObject* module, const Constant& name) noexcept {
  PyObject* value = PyObject_GetAttr(module, name.get());
  if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    const char* module_name = PyModule_GetName(module);
    if (module_name != nullptr) {
      Ref full_name = steal(PyUnicode_FromFormat("%s.%U", module_name, name.get()));
      if (full_name) value = PyImport_GetModule(full_name.get());
    }
  }
  if (value == nullptr) {
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name.get());
  }
  return value;
}

}  // namespace gco
