// Copy, comparison and display of cookies.
#include "parts.hpp"

namespace gco {

namespace {

GCO_STR(str_name, "name");
GCO_STR(str_value, "value");
GCO_STR(str_clone, "clone");
GCO_STR(str_decode, "decode");
GCO_STR(str_empty, "");
GCO_STR(str_repr_open, "<Cookie ");
GCO_STR(str_repr_middle, ": ");
GCO_STR(str_repr_close, "...>");

// Whether an attribute found as cookie.clone is this module's own method.
bool is_own_clone(PyObject* found, PyObject* self) {
  if (is_function_with_body(found, py_cookie_clone)) return true;
  return PyMethod_Check(found) && PyMethod_GET_SELF(found) == self &&
         is_function_with_body(PyMethod_GET_FUNCTION(found), py_cookie_clone);
}

PyObject* clone(GcoCookie* cookie, int skip_dispatch) {
  PyObject* self = reinterpret_cast<PyObject*>(cookie);
  PyTypeObject* type = Py_TYPE(self);
  if (!skip_dispatch && (type->tp_dictoffset != 0 ||
                         (type->tp_flags & (Py_TPFLAGS_IS_ABSTRACT | Py_TPFLAGS_HEAPTYPE)) != 0)) {
    Ref found = steal(PyObject_GetAttr(self, str_clone.get()));
    if (!found) return nullptr;
    if (!is_own_clone(found.get(), self)) {
      Ref result = steal(PyObject_CallNoArgs(found.get()));
      if (!result || !check_convertible(result.get(), &CookieType)) return nullptr;
      return result.transfer();
    }
  }
  Ref name = steal(PyObject_GetAttr(self, str_name.get()));
  if (!name) return nullptr;
  Ref value = steal(PyObject_GetAttr(self, str_value.get()));
  if (!value) return nullptr;
  // The other seven are read from the record together, before the SameSite
  // conversion, whose lookup of CookieSameSiteMode may run code that changes
  // the cookie; the copy gets what was read, held by references of its own.
  Ref expires = incref(cookie->expires);
  Ref domain = incref(cookie->domain);
  Ref path = incref(cookie->path);
  PyObject* const http_only = cookie->http_only ? Py_True : Py_False;
  PyObject* const secure = cookie->secure ? Py_True : Py_False;
  const uint32_t mode = cookie->same_site;
  Ref max_age = steal(PyLong_FromLongLong(cookie->max_age));
  if (!max_age) return nullptr;
  Ref same_site = steal(same_site_to_member(mode));
  if (!same_site) return nullptr;
  PyObject* args[] = {nullptr,    name.get(), value.get(), expires.get(), domain.get(),
                      path.get(), http_only,  secure,      max_age.get(), same_site.get()};
  return PyObject_Vectorcall(reinterpret_cast<PyObject*>(&CookieType), args + 1,
                             9 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// The text of a name or value part of the display form.
PyObject* display_text(PyObject* obj) {
  if (PyUnicode_CheckExact(obj)) return Py_NewRef(obj);
  return PyObject_Format(obj, str_empty.get());
}

// value[:3]; only an exact str takes the fast path, so that a subclass's
// __getitem__ is honoured.
PyObject* first_three(PyObject* value) {
  if (PyUnicode_CheckExact(value)) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(value);
    return PyUnicode_Substring(value, 0, length < 3 ? length : 3);
  }
  PyMappingMethods* mapping = Py_TYPE(value)->tp_as_mapping;
  if (mapping == nullptr || mapping->mp_subscript == nullptr) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(value)->tp_name);
    return nullptr;
  }
  Ref stop = steal(PyLong_FromLong(3));
  if (!stop) return nullptr;
  Ref slice = steal(PySlice_New(nullptr, stop.get(), nullptr));
  if (!slice) return nullptr;
  return mapping->mp_subscript(value, slice.get());
}

PyObject* repr(PyObject* self) {
  Ref name = steal(PyObject_GetAttr(self, str_name.get()));
  if (!name) return nullptr;
  Ref name_text = steal(display_text(name.get()));
  if (!name_text) return nullptr;
  Ref value = steal(PyObject_GetAttr(self, str_value.get()));
  if (!value) return nullptr;
  Ref cut = steal(first_three(value.get()));
  if (!cut) return nullptr;
  Ref value_text = steal(display_text(cut.get()));
  if (!value_text) return nullptr;
  PyObject* parts[] = {str_repr_open.get(), name_text.get(), str_repr_middle.get(),
                       value_text.get(), str_repr_close.get()};
  Ref list = steal(PyList_New(5));
  if (!list) return nullptr;
  for (Py_ssize_t i = 0; i < 5; i++) PyList_SET_ITEM(list.get(), i, Py_NewRef(parts[i]));
  return PyUnicode_Join(str_empty.get(), list.get());
}

// Equality: a text or byte string compares with the value; another cookie
// compares by name, then value.  Attributes are read by ordinary lookup so
// that subclasses are honoured.
PyObject* equals(PyObject* self, PyObject* other) {
  if (PyUnicode_Check(other)) {
    Ref value = steal(PyObject_GetAttr(self, str_value.get()));
    if (!value) return nullptr;
    return PyObject_RichCompare(other, value.get(), Py_EQ);
  }
  if (PyBytes_Check(other)) {
    Ref decoded =
        steal(PyBytes_CheckExact(other) ? PyUnicode_DecodeUTF8(PyBytes_AS_STRING(other),
                                                               PyBytes_GET_SIZE(other), "strict")
                                        : PyObject_CallMethodNoArgs(other, str_decode.get()));
    if (!decoded) return nullptr;
    Ref value = steal(PyObject_GetAttr(self, str_value.get()));
    if (!value) return nullptr;
    return PyObject_RichCompare(decoded.get(), value.get(), Py_EQ);
  }
  if (!is_cookie(other)) return Py_NewRef(imported.builtin_not_implemented);
  Ref other_name = steal(PyObject_GetAttr(other, str_name.get()));
  if (!other_name) return nullptr;
  Ref self_name = steal(PyObject_GetAttr(self, str_name.get()));
  if (!self_name) return nullptr;
  Ref names_equal = steal(PyObject_RichCompare(other_name.get(), self_name.get(), Py_EQ));
  if (!names_equal) return nullptr;
  int is_true = truth(names_equal.get());
  if (is_true < 0) return nullptr;
  if (!is_true) return names_equal.transfer();
  Ref other_value = steal(PyObject_GetAttr(other, str_value.get()));
  if (!other_value) return nullptr;
  Ref self_value = steal(PyObject_GetAttr(self, str_value.get()));
  if (!self_value) return nullptr;
  return PyObject_RichCompare(other_value.get(), self_value.get(), Py_EQ);
}

}  // namespace

PyObject* cookie_clone(GcoCookie* self, int skip_dispatch) noexcept {
  PyObject* result = clone(self, skip_dispatch);
  if (result == nullptr) GCO_TRACEBACK("Cookie.clone");
  return result;
}

PyObject* py_cookie_clone(PyObject* self, PyObject* const* /*args*/) {
  return clone(as_cookie(self), 1);
}

PyObject* cookie_repr(PyObject* self) {
  PyObject* result = repr(self);
  if (result == nullptr) GCO_TRACEBACK("Cookie.__repr__");
  return result;
}

PyObject* cookie_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) return Py_NewRef(Py_NotImplemented);
  Ref result = steal(equals(self, other));
  if (!result) {
    GCO_TRACEBACK("Cookie.__eq__");
    return nullptr;
  }
  if (op == Py_EQ || result.get() == Py_NotImplemented) return result.transfer();
  int is_true = truth(result.get());
  if (is_true < 0) {
    GCO_TRACEBACK("Cookie.__ne__");
    return nullptr;
  }
  return Py_NewRef(is_true ? Py_False : Py_True);
}

}  // namespace gco
