// Function objects, each described once by a row of a module's function
// table: its qualified name, its parameters, its body, where exec binds it and
// its docstring.
//
// The objects behave like Python functions where it matters to callers: they
// carry __name__, __qualname__, __module__, __doc__ and __text_signature__
// (so inspect.signature works), bind to an instance when found on a type, and
// pickle by reference through their qualified name.  Calling one binds the
// arguments with the row's signature, checks that a method's self is an
// instance of its owner type, and runs the body; when the binding or the body
// fails, the object adds the traceback entry named after the module and the
// row's qualified name, so bodies add none of their own.
#pragma once

#include <Python.h>

#include <cstddef>

#include "frame.hpp"

namespace gco {

// A body gets self (nullptr for a module function) and one pointer per
// parameter, nullptr for an omitted optional one: the caller's arguments,
// borrowed.
using FunctionBody = PyObject* (*)(PyObject* self, PyObject* const* args);

struct FunctionRow {
  // owner: the type whose dict gets the function under its plain name;
  // nullptr binds it as a module attribute.  doc: nullptr leaves __doc__ None.
  FunctionRow(const char* qualname, ParamList params, FunctionBody body,
              PyTypeObject* owner = nullptr, const char* doc = nullptr) noexcept;
  FunctionRow(const FunctionRow&) = delete;
  FunctionRow& operator=(const FunctionRow&) = delete;

  const char* qualname;
  Signature signature;
  FunctionBody body;
  PyTypeObject* owner;
  const char* doc;
  PyObject* traceback_code = nullptr;  // made at the first failure
};

// A new function object for a row.
PyObject* make_function(FunctionRow& row) noexcept;
// Makes and binds the function of every row, in order (exec only).
bool bind_functions(PyObject* module, FunctionRow* rows, size_t count) noexcept;
template <size_t N>
bool bind_functions(PyObject* module, FunctionRow (&rows)[N]) noexcept {
  return bind_functions(module, rows, N);
}
// The steps around a sibling module's own exec steps.  start_exec refuses an
// interpreter other than the first (claim_interpreter), names the process
// state after the module, has an unknown keyword reported before a
// missing argument, and makes the constants and signatures; finish_exec
// binds the functions of the rows and records the module as the one the
// state describes (a module made again, after it left sys.modules, gets new
// function objects).  False with an exception set.
bool start_exec(const char* module_name) noexcept;
bool finish_exec(PyObject* module, FunctionRow* rows, size_t count) noexcept;
template <size_t N>
bool finish_exec(PyObject* module, FunctionRow (&rows)[N]) noexcept {
  return finish_exec(module, rows, N);
}

// Adds a C entry to the module's __pyx_capi__ (made when the module has
// none yet): a capsule of the function, named by its signature text.
bool publish_c_entry(PyObject* module, const char* name, void* function,
                     const char* signature) noexcept;

// True when obj is a function object of this module running body.
bool is_function_with_body(PyObject* obj, FunctionBody body) noexcept;

}  // namespace gco
