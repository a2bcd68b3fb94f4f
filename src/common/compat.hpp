// The C API of the newest interpreter the package builds for, on the older
// ones.  The modules are written against CPython 3.13; on 3.10, 3.11 and 3.12
// this header supplies, under the same names and with the same contracts,
// what each of them lacks, so that no module source tests the interpreter's
// version.  On 3.13 it adds nothing: the modules use the interpreter's own.
//
// Include it instead of <Python.h> (it includes that) wherever one of the
// names below is used.
#pragma once

// (The build defines PY_SSIZE_T_CLEAN for every source.)
#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#if PY_VERSION_HEX < 0x030D0000
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#endif

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

// ---------------------------------------------------------------------------
// 3.11

#if PY_VERSION_HEX < 0x030B0000
// The runtime's version in the form of PY_VERSION_HEX (3.11 exports it as a
// variable), read from Py_GetVersion(), which starts "3.10.13 ...".
namespace gco::compat {
inline unsigned long runtime_version() noexcept {
  const char* text = Py_GetVersion();
  unsigned long parts[3] = {0, 0, 0};
  for (int i = 0; i < 3 && *text >= '0' && *text <= '9'; i++) {
    while (*text >= '0' && *text <= '9') parts[i] = parts[i] * 10 + (*text++ - '0');
    if (*text == '.') text++;
  }
  return (parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8);
}
}  // namespace gco::compat
#define Py_Version (::gco::compat::runtime_version())
#endif

// ---------------------------------------------------------------------------
// 3.12

#if PY_VERSION_HEX < 0x030C0000
// The member types under the names 3.12 gave them.
#define Py_T_OBJECT_EX T_OBJECT_EX
#define Py_T_BOOL T_BOOL
#define Py_READONLY READONLY

// The exception being raised, normalized and carrying its traceback, as one
// object (a new reference, or nullptr when none is set); the indicator is
// cleared.
inline PyObject* PyErr_GetRaisedException(void) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_DECREF(type);
  Py_XDECREF(traceback);
  return value;
}

// Raises exc (stolen; nullptr clears the indicator).
inline void PyErr_SetRaisedException(PyObject* exc) {
  if (exc == nullptr) {
    PyErr_Restore(nullptr, nullptr, nullptr);
    return;
  }
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc,
                PyException_GetTraceback(exc));
}

// The type's namespace, a new reference.
inline PyObject* PyType_GetDict(PyTypeObject* type) { return Py_XNewRef(type->tp_dict); }

// Dict watchers came with 3.12: without them no slot is ever given, and
// callers fall back on looking the names up (as they do when the
// interpreter's slots are used up).
typedef enum {
  PyDict_EVENT_ADDED,
  PyDict_EVENT_MODIFIED,
  PyDict_EVENT_DELETED,
  PyDict_EVENT_CLONED,
  PyDict_EVENT_CLEARED,
  PyDict_EVENT_DEALLOCATED,
} PyDict_WatchEvent;
typedef int (*PyDict_WatchCallback)(PyDict_WatchEvent event, PyObject* dict, PyObject* key,
                                    PyObject* new_value);
inline int PyDict_AddWatcher(PyDict_WatchCallback) {
  PyErr_SetString(PyExc_RuntimeError, "no more dict watcher IDs available");
  return -1;
}
inline int PyDict_Watch(int, PyObject*) {
  PyErr_SetString(PyExc_ValueError, "Invalid dict watcher ID");
  return -1;
}

// Before 3.12 an interpreter checks no module for subinterpreter support: the
// slot becomes one more exec step that does nothing (the modules refuse a
// second interpreter in their own code).
namespace gco::compat {
inline int exec_nothing(PyObject*) { return 0; }
}  // namespace gco::compat
#define Py_mod_multiple_interpreters Py_mod_exec
#define Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED \
  (reinterpret_cast<void*>(&::gco::compat::exec_nothing))
#endif

// ---------------------------------------------------------------------------
// 3.13

#if PY_VERSION_HEX < 0x030D0000
// 1 and *result set to a new reference, 0 and *result nullptr when there is
// no such attribute, -1 with an exception set.
inline int PyObject_GetOptionalAttr(PyObject* obj, PyObject* name, PyObject** result) {
  return _PyObject_LookupAttr(obj, name, result);
}

inline int PyObject_GetOptionalAttrString(PyObject* obj, const char* name, PyObject** result) {
  PyObject* key = PyUnicode_FromString(name);
  if (key == nullptr) {
    *result = nullptr;
    return -1;
  }
  const int found = _PyObject_LookupAttr(obj, key, result);
  Py_DECREF(key);
  return found;
}

inline int PyObject_HasAttrWithError(PyObject* obj, PyObject* name) {
  PyObject* value = nullptr;
  const int found = _PyObject_LookupAttr(obj, name, &value);
  Py_XDECREF(value);
  return found;
}

inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result) {
  if (!PyDict_Check(dict)) {
    *result = nullptr;
    PyErr_BadInternalCall();
    return -1;
  }
  *result = Py_XNewRef(PyDict_GetItemWithError(dict, key));
  if (*result != nullptr) return 1;
  return PyErr_Occurred() ? -1 : 0;
}

// 0 when default_value was inserted, 1 when the key was there, -1 on error;
// *result (when given) is the value now under the key, a new reference.
inline int PyDict_SetDefaultRef(PyObject* dict, PyObject* key, PyObject* default_value,
                                PyObject** result) {
  const Py_ssize_t before = PyDict_Size(dict);
  PyObject* value = PyDict_SetDefault(dict, key, default_value);
  if (result != nullptr) *result = Py_XNewRef(value);
  if (value == nullptr) return -1;
  return PyDict_GET_SIZE(dict) > before ? 0 : 1;
}

// "module.qualname", or the qualified name alone for builtins and __main__.
inline PyObject* PyType_GetFullyQualifiedName(PyTypeObject* type) {
  PyObject* type_obj = reinterpret_cast<PyObject*>(type);
  PyObject* qualname = PyObject_GetAttrString(type_obj, "__qualname__");
  if (qualname == nullptr) return nullptr;
  if (!PyUnicode_Check(qualname)) {
    PyErr_Format(PyExc_TypeError, "%s.__qualname__ is not a string", type->tp_name);
    Py_DECREF(qualname);
    return nullptr;
  }
  PyObject* module = PyObject_GetAttrString(type_obj, "__module__");
  if (module == nullptr) {
    Py_DECREF(qualname);
    return nullptr;
  }
  PyObject* result = qualname;
  if (PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "builtins") != 0 &&
      PyUnicode_CompareWithASCIIString(module, "__main__") != 0) {
    result = PyUnicode_FromFormat("%U.%U", module, qualname);
    Py_DECREF(qualname);
  }
  Py_DECREF(module);
  return result;
}

// The system clock in nanoseconds since the epoch, without the interpreter;
// -1 (and 0) when the clock cannot be read.
typedef int64_t PyTime_t;
inline int PyTime_TimeRaw(PyTime_t* result) {
  struct timespec now;
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
    *result = 0;
    return -1;
  }
  *result = static_cast<PyTime_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  return 0;
}

// A lock of one word, as 3.13's: zero is unlocked, no allocation, and a
// thread that has to wait lets the interpreter run others meanwhile.  A futex
// (0 free, 1 held, 2 held with waiters).
struct PyMutex {
  uint32_t state;
};

namespace gco::compat {
inline void futex_wait(uint32_t* word, uint32_t expected) {
  syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

inline void mutex_wait(PyMutex* m) {
  PyThreadState* attached = PyGILState_Check() ? PyEval_SaveThread() : nullptr;
  while (__atomic_exchange_n(&m->state, 2u, __ATOMIC_ACQUIRE) != 0) futex_wait(&m->state, 2);
  if (attached != nullptr) PyEval_RestoreThread(attached);
}
}  // namespace gco::compat

inline void PyMutex_Lock(PyMutex* m) {
  uint32_t expected = 0;
  if (__atomic_compare_exchange_n(&m->state, &expected, 1u, false, __ATOMIC_ACQUIRE,
                                  __ATOMIC_RELAXED)) {
    return;
  }
  gco::compat::mutex_wait(m);
}

inline void PyMutex_Unlock(PyMutex* m) {
  if (__atomic_exchange_n(&m->state, 0u, __ATOMIC_RELEASE) == 2) {
    syscall(SYS_futex, &m->state, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
  }
}
#endif
