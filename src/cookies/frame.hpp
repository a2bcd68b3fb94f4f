// The module frame: process-wide state, constants, the calling conventions
// that every function of the module shares, and its traceback entries.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>

#include "ref.hpp"

namespace gco {

inline constexpr const char kModuleName[] = "glimmering_copper_otter.cookies";

// ---------------------------------------------------------------------------
// Process-wide state, written only by module create and exec.

struct ModuleState {
  PyObject* module = nullptr;  // the bound module object (owned)
  PyObject* dict = nullptr;    // its namespace (owned)
  PyObject* builtins = nullptr;
  PyObject* builtin_super = nullptr;
  PyObject* builtin_value_error = nullptr;
  PyObject* builtin_not_implemented = nullptr;
  PyTypeObject* type_type = nullptr;
  PyTypeObject* date_type = nullptr;
  PyTypeObject* time_type = nullptr;
  PyTypeObject* datetime_type = nullptr;
  PyTypeObject* timedelta_type = nullptr;
  PyTypeObject* tzinfo_type = nullptr;
};

extern ModuleState state;

// ---------------------------------------------------------------------------
// Constants: every literal text and byte string the module uses as an object.
// Each one is declared where it is used and made once, at module exec.

class Constant {
 public:
  enum class Kind { kStr, kBytes, kInt };

  Constant(Kind kind, const char* text, Py_ssize_t length) noexcept;
  Constant(long long value) noexcept;  // an int constant
  Constant(const Constant&) = delete;
  Constant& operator=(const Constant&) = delete;

  // Borrowed; valid once module exec has made the constants.
  PyObject* get() const noexcept { return object_; }
  const char* text() const noexcept { return text_; }
  Py_ssize_t length() const noexcept { return length_; }

  // Makes every constant not made yet; false with an exception set.
  static bool make_all() noexcept;
  static bool all_made() noexcept;

 private:
  Kind kind_;
  const char* text_;
  Py_ssize_t length_;
  long long value_ = 0;
  PyObject* object_ = nullptr;
  Constant* next_ = nullptr;
};

#define GCO_STR(ident, literal) \
  ::gco::Constant ident(::gco::Constant::Kind::kStr, literal, sizeof(literal) - 1)
#define GCO_BYTES(ident, literal) \
  ::gco::Constant ident(::gco::Constant::Kind::kBytes, literal, sizeof(literal) - 1)

// ---------------------------------------------------------------------------
// Argument binding.  One Signature per function; bind() fills one borrowed
// pointer per parameter (nullptr for an omitted optional one) or raises the
// argument TypeError with the module's messages.

class Signature {
 public:
  static constexpr int kMaxParams = 9;

  Signature(const char* function_name, std::initializer_list<const char*> params,
            int required) noexcept;
  Signature(const Signature&) = delete;
  Signature& operator=(const Signature&) = delete;

  // Vectorcall form: the positional arguments, then the keyword values named
  // by kwnames (a tuple of texts or nullptr).
  bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
            PyObject** values) const noexcept;
  // Tuple and dict form, for tp_init.
  bool bind(PyObject* args, PyObject* kwargs, PyObject** values) const noexcept;

  const char* function_name() const noexcept { return function_name_; }
  int size() const noexcept { return count_; }

  // The signature of the function object named function_name, or nullptr.
  // Each function object has a plain name of its own, so the name finds it.
  static const Signature* find(const char* function_name) noexcept;
  // The parameter list as inspect reads it from __text_signature__, for
  // example "($self, __pyx_state)"; None when a parameter is optional, since
  // its default is not recorded here.  nullptr with an exception set.
  PyObject* text_signature(bool method) const noexcept;

  static bool make_all() noexcept;

 private:
  template <class Keywords>
  bool bind_keywords(const Keywords& keywords, Py_ssize_t nargs,
                     PyObject** values) const noexcept;
  bool raise_count(Py_ssize_t given, bool too_many) const noexcept;

  const char* function_name_;
  const char* params_[kMaxParams];
  PyObject* names_[kMaxParams] = {};
  int count_;
  int required_;
  Signature* next_ = nullptr;
};

// Parameter type checks.  None passes each of them.
// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)".
bool check_exact_argument(PyObject* value, PyTypeObject* type, const char* param) noexcept;
bool check_instance_argument(PyObject* value, PyTypeObject* type, const char* param) noexcept;
// "Expected %s, got %.200s": an exact type (or None) where a value is stored.
bool check_exact_value(PyObject* value, PyTypeObject* type, const char* expected) noexcept;
// "Cannot convert %.200s to %.200s": an instance of the type (or None).
bool check_convertible(PyObject* value, PyTypeObject* type) noexcept;

// ---------------------------------------------------------------------------
// Bytes equal to a lower-case ASCII word once their ASCII letters are lowered,
// as bytes.lower() would lower them.
inline bool equals_lowered(const char* data, Py_ssize_t size, const char* word,
                           Py_ssize_t word_size) noexcept {
  if (size != word_size) return false;
  for (Py_ssize_t i = 0; i < size; i++) {
    char c = data[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Conversions.

// An object to a 64-bit signed integer: int (or subclass) directly, anything
// else through __int__.  False with an exception set.
bool to_int64(PyObject* value, long long* out) noexcept;
// The __int__ step alone: a new reference to an exact int, or nullptr.
PyObject* to_exact_int(PyObject* value) noexcept;
// The truth value of any object; -1 with an exception set.
inline int truth(PyObject* value) noexcept {
  if (value == Py_True) return 1;
  if (value == Py_False || value == Py_None) return 0;
  if (PyUnicode_CheckExact(value)) return PyUnicode_GET_LENGTH(value) != 0;
  return PyObject_IsTrue(value);
}

// ---------------------------------------------------------------------------
// Names looked up at each use: the module namespace, then the builtins.
// A new reference, or nullptr with NameError "name '%U' is not defined".
PyObject* lookup_global(const Constant& name) noexcept;

// ---------------------------------------------------------------------------
// Traceback entries: one per operation that raises or passes an exception on,
// named "glimmering_copper_otter.cookies." plus the operation's qualified name.

void add_traceback(PyObject** code_cache, const char* function_name, int line,
                   const char* file) noexcept;

#define GCO_TRACEBACK_NAMED(full_name)                                      \
  do {                                                                      \
    static PyObject* gco_traceback_code_ = nullptr;                         \
    ::gco::add_traceback(&gco_traceback_code_, full_name, __LINE__, __FILE_NAME__); \
  } while (0)
#define GCO_TRACEBACK(qualname) GCO_TRACEBACK_NAMED("glimmering_copper_otter.cookies." qualname)

// ---------------------------------------------------------------------------
// Function objects.  Each carries __name__, __qualname__ and __module__, binds
// to an instance like a Python function when found on a type, and pickles by
// reference.  A method checks that its self is an instance of its owner type
// before its body runs.

using FunctionBody = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);

extern PyTypeObject FunctionType;

// A new function object; owner is the type of a method, nullptr for a module
// function.
PyObject* make_function(FunctionBody body, const char* qualname, PyTypeObject* owner) noexcept;
// True when obj is a function object of this module running body.
bool is_function_with_body(PyObject* obj, FunctionBody body) noexcept;

// Puts a new function object into a type dict (exec only).
bool add_method(PyTypeObject* type, const char* key, FunctionBody body,
                const char* qualname) noexcept;
// Binds a new function object as a module attribute (exec only).
bool add_module_function(PyObject* module, FunctionBody body, const char* qualname) noexcept;
// Sets one entry of a type dict and invalidates the type's attribute cache.
bool set_type_dict_item(PyTypeObject* type, PyObject* key, PyObject* value) noexcept;

}  // namespace gco

namespace gco {

// ---------------------------------------------------------------------------
// Imports made by exec: an absolute import with the module namespace as its
// globals, and the from-import of one name out of the imported module (a
// submodule of that name in the module registry also counts).
PyObject* import_for_names(const Constant& module_name,
                           std::initializer_list<const Constant*> names) noexcept;
PyObject* import_name_from(PyObject* module, const Constant& name) noexcept;

}  // namespace gco
