// Late binding of quote, unquote, parsedate_to_datetime and
// CookieSameSiteMode.
//
// Rebinding one of these module attributes must change what later calls use,
// so native stand-ins run only while the attribute is still the object bound
// at import.  Rather than look each name up on every call, a dict watcher on
// the module namespace keeps one flag per name up to date: any change to the
// namespace that could touch a name settles its flag again.  Without a
// watcher slot the flags are computed by a lookup at each use instead.
#include "late_binding.hpp"

#include "compat.hpp"
#include "frame.hpp"

namespace gco {

namespace {

constexpr int kCount = static_cast<int>(LateBound::kCount);

GCO_STR(name_quote, "quote");
GCO_STR(name_unquote, "unquote");
GCO_STR(name_parsedate_to_datetime, "parsedate_to_datetime");
GCO_STR(name_cookie_same_site_mode, "CookieSameSiteMode");

const Constant* const names[kCount] = {&name_quote, &name_unquote, &name_parsedate_to_datetime,
                                       &name_cookie_same_site_mode};

struct Originals {
  PyObject* objects[kCount] = {};  // owned: a freed replacement never shares their address
  bool bound[kCount] = {};         // namespace still binds the original (while watched)
  PyObject* watched = nullptr;     // the namespace the flags describe (borrowed)
  int watcher = -1;
};
Originals originals;

bool currently_original(int i) {
  if (state.dict == nullptr || originals.objects[i] == nullptr) return false;
  PyObject* bound = PyDict_GetItemWithError(state.dict, names[i]->get());
  if (bound == nullptr) PyErr_Clear();
  return bound == originals.objects[i];
}

int on_namespace_change(PyDict_WatchEvent event, PyObject* dict, PyObject* key,
                        PyObject* new_value) {
  if (dict != originals.watched) return 0;
  if (event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED ||
      event == PyDict_EVENT_DELETED) {
    if (!PyUnicode_Check(key)) return 0;
    for (int i = 0; i < kCount; i++) {
      if (key == names[i]->get() || PyUnicode_Compare(key, names[i]->get()) == 0) {
        originals.bound[i] = new_value != nullptr && new_value == originals.objects[i];
      }
    }
    return 0;
  }
  // Cleared, replaced wholesale or going away: assume nothing.
  for (bool& bound : originals.bound) bound = false;
  if (event == PyDict_EVENT_DEALLOCATED) originals.watched = nullptr;
  return 0;
}

}  // namespace

void late_binding_ready() noexcept {
  for (int i = 0; i < kCount; i++) {
    PyObject* bound = PyDict_GetItemWithError(state.dict, names[i]->get());
    if (bound == nullptr) PyErr_Clear();
    Py_XSETREF(originals.objects[i], Py_XNewRef(bound));
    originals.bound[i] = bound != nullptr;
  }
  if (originals.watcher < 0) {
    originals.watcher = PyDict_AddWatcher(on_namespace_change);
    if (originals.watcher < 0) PyErr_Clear();
  }
  originals.watched = nullptr;
  if (originals.watcher >= 0) {
    if (PyDict_Watch(originals.watcher, state.dict) == 0) {
      originals.watched = state.dict;
    } else {
      PyErr_Clear();
    }
  }
}

bool is_original(LateBound which) noexcept {
  const int i = static_cast<int>(which);
  if (originals.watched != nullptr && originals.watched == state.dict) return originals.bound[i];
  return currently_original(i);
}

PyObject* lookup_late_bound(LateBound which) noexcept {
  return lookup_global(*names[static_cast<int>(which)]);
}

}  // namespace gco
