// Names that the codec looks up at each use (module namespace, then the
// builtins), and whether each is still bound to the object bound at import,
// the only case in which native code may stand in for calling it.
#pragma once

#include <Python.h>

namespace gco {

enum class LateBound { kQuote = 0, kUnquote, kParsedateToDatetime, kCookieSameSiteMode, kCount };

// Records what each name is bound to at the end of exec as its original.
void late_binding_ready() noexcept;

// Whether the module namespace still binds the name to its original object.
bool is_original(LateBound which) noexcept;

// What the name is bound to now, as a new reference; nullptr with NameError
// "name '%U' is not defined" when it is bound nowhere.
PyObject* lookup_late_bound(LateBound which) noexcept;

}  // namespace gco
