// An owned reference to a Python object.
//
// Every temporary of the module lives in a Ref, so that each path out of a
// function, the failing ones included, releases what it made.  There is no
// implicit conversion to PyObject*: get() lends the pointer, release() hands
// ownership back to the caller (usually as a function's result).
#pragma once

#include <Python.h>

namespace gco {

class Ref {
 public:
  Ref() noexcept = default;

  // Takes over a new reference (nullptr allowed: an empty handle).
  static Ref owning(PyObject* p) noexcept { return Ref(p); }
  // Takes a reference of its own to a borrowed pointer.
  static Ref borrowing(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = p_;
      p_ = other.p_;
      other.p_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  // Gives up ownership; the caller now owns the reference.
  [[nodiscard]] PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  // A new reference for the caller, the handle keeping its own.
  [[nodiscard]] PyObject* new_reference() const noexcept { return Py_XNewRef(p_); }
  void reset() noexcept { Py_CLEAR(p_); }

  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

inline Ref owning(PyObject* p) noexcept { return Ref::owning(p); }
inline Ref borrowing(PyObject* p) noexcept { return Ref::borrowing(p); }

}  // namespace gco
