// Who owns a Python object pointer, said by its type.
//
// Ref owns one reference: every temporary of the modules lives in a Ref, so
// that each path out of a function, the failing ones included, releases what
// it made.  Borrowed is a pointer that someone else keeps alive; a function
// that returns a borrowed pointer returns a Borrowed, so that the compiler
// keeps the two apart.  Neither converts to PyObject* implicitly.
//
// The verbs:
//   Ref::steal(p)      takes over p, a new reference the caller got (from a
//                      call that returns one); nullptr gives an empty handle
//   Ref::incref(p)     takes a reference of its own to p (borrowed or not)
//   ref.get()          lends the pointer; the handle keeps its reference
//   ref.transfer()     hands the handle's reference to the caller, usually
//                      as a function's result; the handle is left empty
//   ref.share()        a second, new reference for the caller; the handle
//                      keeps its own
//   ref.clear()        drops the reference now
//
// A Borrowed pointer must not be held across a call that can run
// interpreted code (a truth test, __int__, __eq__, an attribute lookup, a
// __del__ set off by a store): that code may drop the last reference.  Take
// Ref::incref of it for the span of such a call.
#pragma once

#include <Python.h>

namespace gco {

class Borrowed {
 public:
  constexpr Borrowed() noexcept = default;
  constexpr explicit Borrowed(PyObject* p) noexcept : p_(p) {}
  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

class Ref {
 public:
  Ref() noexcept = default;

  [[nodiscard]] static Ref steal(PyObject* new_reference) noexcept { return Ref(new_reference); }
  [[nodiscard]] static Ref incref(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  [[nodiscard]] static Ref incref(Borrowed p) noexcept { return incref(p.get()); }

  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  // The old object is released only after the new one is in place, so a
  // __del__ it sets off never sees a dangling handle.
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
  Borrowed borrow() const noexcept { return Borrowed(p_); }
  [[nodiscard]] PyObject* transfer() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  [[nodiscard]] PyObject* share() const noexcept { return Py_XNewRef(p_); }
  void clear() noexcept { Py_CLEAR(p_); }

  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

[[nodiscard]] inline Ref steal(PyObject* new_reference) noexcept {
  return Ref::steal(new_reference);
}
[[nodiscard]] inline Ref incref(PyObject* p) noexcept { return Ref::incref(p); }
[[nodiscard]] inline Ref incref(Borrowed p) noexcept { return Ref::incref(p); }

// Stores value into a field that owns its object: the new reference is in
// place before the old one is released.
inline void store_field(PyObject** field, PyObject* value) noexcept {
  PyObject* old = *field;
  *field = Py_NewRef(value);
  Py_XDECREF(old);
}

}  // namespace gco
