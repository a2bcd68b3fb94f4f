// parse_cookie: the bytes of one Set-Cookie header value to a Cookie, and
// split_value, which cuts a byte string once at a separator.
//
// The header is examined in place: fragments and attribute values are
// ranges of the input bytes, and objects are made only for what the cookie
// keeps.
#include <cstring>

#include "parts.hpp"
#include "late_binding.hpp"
#include "percent.hpp"
#include "span.hpp"

namespace gco {

namespace {

GCO_STR(str_empty, "");
GCO_STR(str_invalid_fragment, "Invalid name=value fragment: ");

// The fragments of a header: split at every "; ", or at every ";" when
// "; " occurs nowhere in it.
class Fragments {
 public:
  Fragments(const char* data, Py_ssize_t size) : data_(data), end_(data + size) {
    separator_size_ = 2;
    const bool has_long = find_separator() != nullptr;
    separator_size_ = has_long ? 2 : 1;
  }
  bool next(Span* out) {
    if (done_) return false;
    const char* found = find_separator();
    const char* stop = found ? found : end_;
    *out = Span{data_, stop - data_};
    if (found) {
      data_ = found + separator_size_;
    } else {
      done_ = true;
    }
    return true;
  }

 private:
  const char* find_separator() const {
    const char* p = data_;
    while (p < end_) {
      p = static_cast<const char*>(std::memchr(p, ';', static_cast<size_t>(end_ - p)));
      if (p == nullptr) return nullptr;
      if (separator_size_ == 1 || (p + 1 < end_ && p[1] == ' ')) return p;
      p++;
    }
    return nullptr;
  }

  const char* data_;
  const char* end_;
  int separator_size_;
  bool done_ = false;
};

// The first fragment has no "=": raise ValueError("Invalid name=value
// fragment: " + repr of the fragment) with the cutting's own ValueError as
// its context, as if raised while handling that one.
void raise_invalid_fragment(Span fragment) {
  PyErr_SetString(PyExc_ValueError, "subsection not found");
  GCO_TRACEBACK("split_value");
  Ref cause = steal(PyErr_GetRaisedException());
  Ref raw = steal(fragment.to_bytes());
  if (!raw) return;
  Ref shown = steal(PyObject_Format(raw.get(), str_empty.get()));
  if (!shown) return;
  Ref message = steal(PyUnicode_Concat(str_invalid_fragment.get(), shown.get()));
  if (!message) return;
  Ref error = steal(PyObject_CallOneArg(imported.builtin_value_error, message.get()));
  if (!error) return;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  PyObject* raised = PyErr_GetRaisedException();
  if (PyExceptionInstance_Check(raised)) PyException_SetContext(raised, cause.transfer());
  PyErr_SetRaisedException(raised);
}

// Max-Age as int() reads bytes, in the 64-bit signed range.  Plain digits
// with an optional minus sign are read here; every other form goes to int().
bool read_max_age(Span text, long long* out) {
  const char* p = text.data;
  Py_ssize_t n = text.size;
  bool negative = n > 0 && *p == '-';
  if (negative) {
    p++;
    n--;
  }
  if (n > 0 && n <= 18) {
    long long v = 0;
    Py_ssize_t i = 0;
    for (; i < n && p[i] >= '0' && p[i] <= '9'; i++) v = v * 10 + (p[i] - '0');
    if (i == n) {
      *out = negative ? -v : v;
      return true;
    }
  }
  Ref raw = steal(text.to_bytes());
  if (!raw) return false;
  Ref number = steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyLong_Type), raw.get()));
  if (!number) return false;
  long long v = PyLong_AsLongLong(number.get());
  if (v == -1 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

PyObject* decode_text(Span text) {
  if (is_ascii(text.data, text.size)) return ascii_text(text.data, text.size);
  return PyUnicode_DecodeUTF8(text.data, text.size, "strict");
}

// unquote(text.decode()), unquote looked up first as the call expression is.
PyObject* unquote_text(Span text) {
  const bool original = is_original(LateBound::kUnquote);
  if (original && is_ascii(text.data, text.size)) return unquote_ascii(text.data, text.size);
  Ref unquote = steal(lookup_late_bound(LateBound::kUnquote));
  if (!unquote) return nullptr;
  Ref decoded = steal(decode_text(text));
  if (!decoded) return nullptr;
  return PyObject_CallOneArg(unquote.get(), decoded.get());
}

// A non-empty range decoded as text; None for an empty one.
PyObject* optional_text(Span text) {
  if (text.empty()) return Py_NewRef(Py_None);
  return decode_text(text);
}

PyObject* parse(PyObject* raw_value) {
  if (!PyBytes_Check(raw_value)) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytes", Py_TYPE(raw_value)->tp_name);
    return nullptr;
  }
  // Held for the whole call: the ranges below point into it.
  Ref raw = incref(raw_value);
  Fragments fragments(PyBytes_AS_STRING(raw_value), PyBytes_GET_SIZE(raw_value));
  Span first;
  fragments.next(&first);
  const char* equals = first.find('=');
  if (equals == nullptr) {
    raise_invalid_fragment(first);
    return nullptr;
  }
  Span name{first.data, equals - first.data};
  Span value{equals + 1, first.size - (equals + 1 - first.data)};
  if (value.size > 0 && value.data[0] == '"' && value.find(' ') != nullptr) {
    while (value.size > 0 && value.data[0] == '"') {
      value.data++;
      value.size--;
    }
    while (value.size > 0 && value.data[value.size - 1] == '"') value.size--;
  }

  Span expires, domain, path, same_site;
  long long max_age = -1;
  bool http_only = false;
  bool secure = false;
  // Every fragment, the name=value one included, may be an attribute.
  Span fragment = first;
  do {
    const char* eq = fragment.find('=');
    if (eq != nullptr) {
      Span key{fragment.data, eq - fragment.data};
      Span attribute{eq + 1, fragment.size - (eq + 1 - fragment.data)};
      if (key.is("expires")) {
        expires = attribute;
      } else if (key.is("domain")) {
        domain = attribute;
      } else if (key.is("path")) {
        path = attribute;
      } else if (key.is("max-age")) {
        if (!read_max_age(attribute, &max_age)) return nullptr;
      } else if (key.is("samesite")) {
        same_site = attribute;
      }
    } else if (fragment.is("httponly")) {
      http_only = true;
    } else if (fragment.is("secure")) {
      secure = true;
    }
  } while (fragments.next(&fragment));

  Ref name_text = steal(unquote_text(name));
  if (!name_text) return nullptr;
  Ref value_text = steal(unquote_text(value));
  if (!value_text) return nullptr;
  Ref expiry;
  if (expires.empty()) {
    expiry = incref(Py_None);
  } else {
    expiry = steal(datetime_from_cookie_bytes(expires.data, expires.size));
    if (!expiry) return nullptr;
  }
  Ref domain_text = steal(optional_text(domain));
  if (!domain_text) return nullptr;
  Ref path_text = steal(optional_text(path));
  if (!path_text) return nullptr;
  const uint32_t mode = same_site_mode_from_span(same_site.data, same_site.size);

  // With CookieSameSiteMode as imported, its member converts back to the
  // very same number, so the cookie can be built straight from the values.
  if (is_original(LateBound::kCookieSameSiteMode)) {
    return cookie_from_parts(name_text.get(), value_text.get(), expiry.get(), domain_text.get(),
                             path_text.get(), http_only, secure, max_age, mode);
  }
  Ref member = steal(same_site_to_member(mode));
  if (!member) return nullptr;
  Ref max_age_number = steal(PyLong_FromLongLong(max_age));
  if (!max_age_number) return nullptr;
  PyObject* args[] = {nullptr,
                      name_text.get(),
                      value_text.get(),
                      expiry.get(),
                      domain_text.get(),
                      path_text.get(),
                      http_only ? Py_True : Py_False,
                      secure ? Py_True : Py_False,
                      max_age_number.get(),
                      member.get()};
  return PyObject_Vectorcall(reinterpret_cast<PyObject*>(&CookieType), args + 1,
                             9 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

}  // namespace

PyObject* parse_cookie(PyObject* raw_value, int /*skip_dispatch*/) noexcept {
  PyObject* result = parse(raw_value);
  if (result == nullptr) GCO_TRACEBACK("parse_cookie");
  return result;
}

PyObject* py_parse_cookie(PyObject* /*self*/, PyObject* const* args) {
  if (!check_exact_argument(args[0], &PyBytes_Type, "raw_value")) return nullptr;
  return parse(args[0]);
}

PyObject* split_value(PyObject* raw_value, PyObject* separator) noexcept {
  if (!PyBytes_Check(raw_value) || !PyBytes_Check(separator)) {
    PyObject* wrong = PyBytes_Check(raw_value) ? separator : raw_value;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytes", Py_TYPE(wrong)->tp_name);
    GCO_TRACEBACK("split_value");
    return nullptr;
  }
  const char* data = PyBytes_AS_STRING(raw_value);
  const Py_ssize_t size = PyBytes_GET_SIZE(raw_value);
  const Py_ssize_t separator_size = PyBytes_GET_SIZE(separator);
  const char* found = separator_size == 0
                          ? data
                          : static_cast<const char*>(memmem(data, static_cast<size_t>(size),
                                                            PyBytes_AS_STRING(separator),
                                                            static_cast<size_t>(separator_size)));
  if (found == nullptr) {
    PyErr_SetString(PyExc_ValueError, "subsection not found");
    GCO_TRACEBACK("split_value");
    return nullptr;
  }
  const Py_ssize_t position = found - data;
  if (position > 0x7FFFFFFF) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    GCO_TRACEBACK("split_value");
    return nullptr;
  }
  // The rest starts one byte past the separator's position, whatever the
  // separator's length; every caller passes a one-byte separator.
  const Py_ssize_t rest = position + 1 < size ? position + 1 : size;
  Ref before = steal(PyBytes_FromStringAndSize(data, position));
  Ref after = steal(PyBytes_FromStringAndSize(data + rest, size - rest));
  if (!before || !after) {
    GCO_TRACEBACK("split_value");
    return nullptr;
  }
  return PyTuple_Pack(2, before.get(), after.get());
}

}  // namespace gco
