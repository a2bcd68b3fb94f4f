// write_cookie_for_response: one Cookie to the bytes of one Set-Cookie
// header value, its pieces in a fixed order joined by "; ".
#include "buffer.hpp"
#include "parts.hpp"
#include "late_binding.hpp"
#include "percent.hpp"

namespace gco {

namespace {

GCO_STR(str_name, "name");
GCO_STR(str_value, "value");
GCO_STR(str_encode, "encode");
GCO_STR(str_empty, "");

bool require_bytes(PyObject* obj) {
  if (PyBytes_Check(obj)) return true;
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytes", Py_TYPE(obj)->tp_name);
  return false;
}

// text.encode() for the result of a replaced quote or strftime.
PyObject* encode_text(PyObject* text) {
  PyObject* encoded = PyUnicode_CheckExact(text)
                          ? PyUnicode_AsUTF8String(text)
                          : PyObject_CallMethodNoArgs(text, str_encode.get());
  if (encoded != nullptr && !require_bytes(encoded)) Py_CLEAR(encoded);
  return encoded;
}

// quote(cookie.<attribute>).encode(), appended.  quote is looked up afresh
// for each of the two calls, before the attribute is read.  The text is held
// by a reference of its own until it is written: quote, a subclass property
// or encode may drop the cookie's reference to it.
bool append_quoted(ByteBuffer& out, PyObject* cookie, const Constant& attribute,
                   PyObject* const* field) {
  const bool original = is_original(LateBound::kQuote);
  Ref quote = original ? Ref() : steal(lookup_late_bound(LateBound::kQuote));
  if (!original && !quote) return false;
  // The Cookie type cannot be changed, so for its own instances reading the
  // property is reading the field; a subclass may redefine it.
  Ref text = Py_IS_TYPE(cookie, &CookieType) ? incref(*field)
                                             : steal(PyObject_GetAttr(cookie, attribute.get()));
  if (!text) return false;
  if (original) {
    int done = quote_into(out, text.get());
    if (done != 0) return done > 0;
    quote = steal(lookup_late_bound(LateBound::kQuote));
    if (!quote) return false;
  }
  Ref quoted = steal(PyObject_CallOneArg(quote.get(), text.get()));
  if (!quoted) return false;
  Ref encoded = steal(encode_text(quoted.get()));
  return encoded && out.append_bytes(encoded.get());
}

// ';' ends an attribute and control characters end the header line; a
// domain or path holding one would let its bytes escape.  In UTF-8 these
// are single bytes that never occur inside a multi-byte sequence.
bool check_attribute_bytes(const char* attribute, const char* data, Py_ssize_t size) {
  for (Py_ssize_t i = 0; i < size; i++) {
    unsigned char c = static_cast<unsigned char>(data[i]);
    if (c == ';' || c < 0x20 || c == 0x7F) {
      Ref character = steal(PyUnicode_FromOrdinal(c));
      if (!character) return false;
      PyErr_Format(PyExc_ValueError,
                   "The cookie %s contains %R, which cannot be written in a Set-Cookie header "
                   "(';' and control characters are not allowed)",
                   attribute, character.get());
      return false;
    }
  }
  return true;
}

// "Domain=" or "Path=" and the text's UTF-8, when the text is neither None
// nor empty.  The field is read once, into a reference of its own: the
// comparison and encode() of a text that is not an exact str run its code.
template <size_t N>
bool append_text_attribute(ByteBuffer& out, const char (&prefix)[N], const char* attribute,
                           PyObject* field) {
  Ref held = incref(field);
  PyObject* text = held.get();
  if (text == Py_None) return true;
  if (PyUnicode_CheckExact(text)) {
    if (PyUnicode_GET_LENGTH(text) == 0) return true;
    if (PyUnicode_IS_ASCII(text)) {
      const char* data = static_cast<const char*>(PyUnicode_DATA(text));
      Py_ssize_t size = PyUnicode_GET_LENGTH(text);
      return check_attribute_bytes(attribute, data, size) && out.append_literal("; ") &&
             out.append_literal(prefix) && out.append(data, size);
    }
  } else {
    int empty = PyObject_RichCompareBool(text, str_empty.get(), Py_EQ);
    if (empty != 0) return empty > 0;
  }
  Ref encoded = steal(encode_text(text));
  return encoded &&
         check_attribute_bytes(attribute, PyBytes_AS_STRING(encoded.get()),
                               PyBytes_GET_SIZE(encoded.get())) &&
         out.append_literal("; ") && out.append_literal(prefix) && out.append_bytes(encoded.get());
}

PyObject* write(GcoCookie* cookie) {
  PyObject* self = reinterpret_cast<PyObject*>(cookie);
  ByteBuffer out;
  if (!append_quoted(out, self, str_name, &cookie->_name) || !out.append_literal("=") ||
      !append_quoted(out, self, str_value, &cookie->_value)) {
    return nullptr;
  }

  // The date written is the one whose truth was tested, held by a reference
  // of its own: its __bool__, utcoffset() or strftime() may rebind or delete
  // the cookie's expires and drop the last other reference to it.
  Ref held_expires = incref(cookie->expires);
  PyObject* expires = held_expires.get();
  int has_expiry = expires == Py_None ? 0 : truth(expires);
  if (has_expiry < 0) return nullptr;
  if (has_expiry) {
    char* start = out.claim(10 + kCookieDateMaxSize);
    if (start == nullptr) return nullptr;
    char* end = write_naive_cookie_date(start + 10, expires);
    if (end != nullptr) {
      std::memcpy(start, "; Expires=", 10);
      out.commit(end - start);
    }
    has_expiry = end == nullptr;
  }
  if (has_expiry) {
    Ref date = steal(datetime_to_cookie_format(expires, 0));
    if (!date || !require_bytes(date.get()) || !out.append_literal("; Expires=") ||
        !out.append_bytes(date.get())) {
      return nullptr;
    }
  }

  if (cookie->max_age >= 0) {
    char digits[20];
    char* first = digits + sizeof digits;
    for (uint64_t v = static_cast<uint64_t>(cookie->max_age); first == digits + sizeof digits || v;
         v /= 10) {
      *--first = static_cast<char>('0' + v % 10);
    }
    if (!out.append_literal("; Max-Age=") || !out.append(first, digits + sizeof digits - first)) {
      return nullptr;
    }
  }

  if (!append_text_attribute(out, "Domain=", "domain", cookie->domain) ||
      !append_text_attribute(out, "Path=", "path", cookie->path)) {
    return nullptr;
  }

  const uint32_t same_site = cookie->same_site;
  if (cookie->http_only && !out.append_literal("; HttpOnly")) return nullptr;
  // Browsers refuse SameSite=None without Secure, and Strict implies it.
  if ((cookie->secure || same_site == kSameSiteStrict || same_site == kSameSiteNone) &&
      !out.append_literal("; Secure")) {
    return nullptr;
  }
  bool ok = true;
  if (same_site == kSameSiteStrict) ok = out.append_literal("; SameSite=Strict");
  if (same_site == kSameSiteLax) ok = out.append_literal("; SameSite=Lax");
  if (same_site == kSameSiteNone) ok = out.append_literal("; SameSite=None");
  if (!ok) return nullptr;
  return out.to_bytes();
}

}  // namespace

PyObject* write_cookie_for_response(GcoCookie* cookie) noexcept {
  // Callers pass a Cookie; anything else is refused rather than read.
  PyObject* self = reinterpret_cast<PyObject*>(cookie);
  PyObject* result = nullptr;
  if (self == nullptr || !is_cookie(self)) {
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s",
                 self ? Py_TYPE(self)->tp_name : "NULL", CookieType.tp_name);
  } else {
    result = write(cookie);
  }
  if (result == nullptr) GCO_TRACEBACK("write_cookie_for_response");
  return result;
}

}  // namespace gco
