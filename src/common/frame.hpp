// The module frame shared by every compiled module of the package: the
// module's process-wide state, constants, argument binding, the type checks
// and conversions that every function shares, names looked up at each use,
// imports made by exec, and traceback entries.
//
// This is a static library linked into each module: every module has its own
// copy of the state below.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>

#include "ref.hpp"

namespace gco {

// ---------------------------------------------------------------------------
// Process-wide state of the module, written only by module create and exec.

struct ModuleState {
  const char* name = nullptr;  // the module's full name, e.g. "glimmering_copper_otter.cookies"
  PyObject* module = nullptr;  // the bound module object (owned)
  PyObject* dict = nullptr;    // its namespace (owned)
  PyObject* builtins = nullptr;
  // Which argument error a call that omits a required argument and passes
  // an unknown keyword gets: the count error first, as generated code
  // reports it (the cookies module), or the keyword error first.
  bool count_errors_first = true;
};

extern ModuleState state;

// The module's state (the state above, its constants, the objects it
// imports and caches) belongs to the first interpreter that loads it, for
// the life of the process: every other interpreter, of any configuration, is
// refused.  Called first when a module is made; false with ImportError set
// in an interpreter that is not the first.
bool claim_interpreter() noexcept;

// Traceback entries name the module, so each module's own sources are built
// with GCO_MODULE_NAME defined as its full name.
#ifdef GCO_MODULE_NAME
inline constexpr const char kModuleName[] = GCO_MODULE_NAME;
#endif

// ---------------------------------------------------------------------------
// Constants: every literal text and byte string a module uses as an object.
// Each one is declared where it is used and made once, at module exec; it
// lives for the rest of the process, so get() may be held across anything.

class Constant {
 public:
  enum class Kind { kStr, kBytes, kInt };

  Constant(Kind kind, const char* text, Py_ssize_t length) noexcept;
  explicit Constant(long long value) noexcept;  // an int constant
  Constant(const Constant&) = delete;
  Constant& operator=(const Constant&) = delete;

  // Valid once module exec has made the constants; never released.
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
// Argument binding.  A parameter list is written as params("a", "b=None",
// "*", "c=False"): a name alone is required, "name=default" is optional (the
// default is what __text_signature__ shows; the function applies it itself),
// and the parameters after "*" are keyword-only.  More than kMaxParams
// entries do not compile.

inline constexpr int kMaxParams = 16;

struct ParamList {
  const char* specs[kMaxParams];
  int count;
};

template <class... Specs>
constexpr ParamList params(Specs... specs) {
  static_assert(sizeof...(Specs) <= kMaxParams, "a signature holds at most kMaxParams entries");
  return ParamList{{specs...}, static_cast<int>(sizeof...(Specs))};
}

// bind() fills one pointer per parameter, in order (nullptr for an omitted
// optional one), or raises the argument TypeError with the module's messages.
// The values are the caller's arguments: borrowed, alive for the call.
class Signature {
 public:
  Signature(const char* function_name, ParamList params) noexcept;
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

  // The parameter list as inspect reads it from __text_signature__, for
  // example "($self, __pyx_state)".  A new reference, or nullptr with an
  // exception set.
  PyObject* text_signature(bool method) const noexcept;

  // Interns the parameter names of every signature (module exec).
  static bool make_all() noexcept;

 private:
  template <class Keywords>
  bool bind_keywords(const Keywords& keywords, Py_ssize_t nargs, PyObject** values) const noexcept;
  bool bind_identical(PyObject* const* kwvalues, PyObject* kwnames, Py_ssize_t nargs,
                      PyObject** values) const noexcept;
  template <class Keywords>
  bool check_keyword_names(const Keywords& keywords, Py_ssize_t nargs) const noexcept;
  bool raise_count(Py_ssize_t given, bool too_many) const noexcept;

  const char* function_name_;
  const char* specs_[kMaxParams];  // per parameter: "name" or "name=default"
  int name_lengths_[kMaxParams];
  PyObject* names_[kMaxParams] = {};
  int count_ = 0;       // parameters
  int required_ = 0;    // leading parameters without a default
  int positional_ = 0;  // parameters that may be given by position
  Signature* next_ = nullptr;
  // The keywords of the last call bound by identity (a strong reference to
  // the call site's tuple), the number of positional arguments before them,
  // and the parameter that each keyword filled.
  mutable PyObject* last_kwnames_ = nullptr;
  mutable Py_ssize_t last_nargs_ = -1;
  mutable signed char last_slots_[kMaxParams] = {};
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
// Conversions.

// An object to a 64-bit signed integer: int (or subclass) directly, anything
// else through __int__.  False with an exception set.
bool to_int64(PyObject* value, long long* out) noexcept;
// The __int__ step alone: a new reference to an exact int, or nullptr.
PyObject* to_exact_int(PyObject* value) noexcept;
// The truth value of any object; -1 with an exception set.  Anything but
// True, False, None and an exact str may run the object's own __bool__ or
// __len__.
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
// Imports made by exec: an absolute import with the module namespace as its
// globals, and the from-import of one name out of the imported module (a
// submodule of that name in the module registry also counts).  New
// references.
PyObject* import_for_names(const Constant& module_name,
                           std::initializer_list<const Constant*> names) noexcept;
PyObject* import_name_from(PyObject* module, const Constant& name) noexcept;

// Sets one entry of a type dict (nullptr deletes it) and invalidates the
// type's attribute cache (exec only).
bool set_type_dict_item(PyTypeObject* type, PyObject* key, PyObject* value) noexcept;

// ---------------------------------------------------------------------------
// Traceback entries: one per operation that raises or passes an exception on,
// named after the module and the operation's qualified name.

void add_traceback(PyObject** code_cache, const char* function_name, int line,
                   const char* file) noexcept;

#define GCO_TRACEBACK_NAMED(full_name)                                              \
  do {                                                                              \
    static PyObject* gco_traceback_code_ = nullptr;                                 \
    ::gco::add_traceback(&gco_traceback_code_, full_name, __LINE__, __FILE_NAME__); \
  } while (0)
#define GCO_TRACEBACK(qualname) GCO_TRACEBACK_NAMED(GCO_MODULE_NAME "." qualname)

}  // namespace gco
