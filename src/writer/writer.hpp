// What the writer module's sources share: the Priority attribute and the
// front door's functions (front_door.cpp).
#pragma once

#include <Python.h>

namespace gco {

// The Priority attribute: its text after "; Priority=", or none.
struct Priority {
  const char* text = nullptr;
  Py_ssize_t size = 0;
};

// priority: None (or nullptr) or "low", "medium", "high" in any letter
// case.  Reads the text in place, so a str subclass runs none of its code.
bool priority_from_object(PyObject* priority, Priority* out);

// The front door's exec step (the datetime interface, CookieSameSiteMode)
// and its two functions, bodies of the module's function rows.
bool front_door_exec(PyObject* cookies_module);
PyObject* set_cookie_header(PyObject* module, PyObject* const* args);
PyObject* delete_cookie_header(PyObject* module, PyObject* const* args);

}  // namespace gco
