// The Cookie record: storage, allocation, garbage collection, the checked
// attribute accessors and the constructor.
#include "parts.hpp"

namespace gco {

namespace {

GCO_STR(str_name, "name");
GCO_STR(str_value, "value");
GCO_STR(str_encode, "encode");
GCO_STR(str_name_required, "A cookie name is required");

constexpr Py_ssize_t kMaxValueBytes = 4096;

Signature sig_cookie_init("__init__",
                          params("name", "value", "expires=None", "domain=None", "path=None",
                                 "http_only=False", "secure=False", "max_age=-1",
                                 "same_site=CookieSameSiteMode.UNDEFINED"));

// Raises an instance of an exception type made with one argument (or none).
void raise_instance(PyObject* type, PyObject* argument) {
  PyObject* instance = argument ? PyObject_CallOneArg(type, argument) : PyObject_CallNoArgs(type);
  if (instance == nullptr) return;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance)), instance);
  Py_DECREF(instance);
}

bool refuse_deletion() {
  PyErr_SetString(PyExc_NotImplementedError, "__del__");
  return false;
}

// The UTF-8 length of a str without encoding it; false when the text holds
// a surrogate, which only encode() can report properly.
bool utf8_length(PyObject* text, Py_ssize_t* out) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  if (PyUnicode_IS_ASCII(text)) {
    *out = length;
    return true;
  }
  Py_ssize_t total = length;
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: {
      const Py_UCS1* data = PyUnicode_1BYTE_DATA(text);
      for (Py_ssize_t i = 0; i < length; i++) total += data[i] >> 7;
      break;
    }
    case PyUnicode_2BYTE_KIND: {
      const Py_UCS2* data = PyUnicode_2BYTE_DATA(text);
      for (Py_ssize_t i = 0; i < length; i++) {
        const Py_UCS2 c = data[i];
        if (c >= 0xD800 && c <= 0xDFFF) return false;
        total += (c >= 0x80) + (c >= 0x800);
      }
      break;
    }
    default: {
      const Py_UCS4* data = PyUnicode_4BYTE_DATA(text);
      for (Py_ssize_t i = 0; i < length; i++) {
        const Py_UCS4 c = data[i];
        if (c >= 0xD800 && c <= 0xDFFF) return false;
        total += (c >= 0x80) + (c >= 0x800) + (c >= 0x10000);
      }
      break;
    }
  }
  *out = total;
  return true;
}

// --- Rule N and rule V --------------------------------------------------------

int set_name(PyObject* self, PyObject* value, void* /*closure*/) {
  if (value == nullptr) {
    refuse_deletion();
  } else {
    int is_true = truth(value);
    if (is_true == 0) {
      raise_instance(imported.builtin_value_error, str_name_required.get());
    } else if (is_true > 0 && check_exact_value(value, &PyUnicode_Type, "str")) {
      store_field(&as_cookie(self)->_name, value);
      return 0;
    }
  }
  GCO_TRACEBACK("Cookie.name.__set__");
  return -1;
}

int set_value(PyObject* self, PyObject* value, void* /*closure*/) {
  if (value == nullptr) {
    refuse_deletion();
  } else if (cookie_value_fits(value) && check_exact_value(value, &PyUnicode_Type, "str")) {
    store_field(&as_cookie(self)->_value, value);
    return 0;
  }
  GCO_TRACEBACK("Cookie.value.__set__");
  return -1;
}

// --- Getters and setters of the stored attributes ------------------------------

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_cookie(self)->_name); }
PyObject* get_value(PyObject* self, void*) { return Py_NewRef(as_cookie(self)->_value); }
PyObject* get_expires(PyObject* self, void*) { return Py_NewRef(as_cookie(self)->expires); }
PyObject* get_domain(PyObject* self, void*) { return Py_NewRef(as_cookie(self)->domain); }
PyObject* get_path(PyObject* self, void*) { return Py_NewRef(as_cookie(self)->path); }
PyObject* get_http_only(PyObject* self, void*) {
  return PyBool_FromLong(as_cookie(self)->http_only);
}
PyObject* get_secure(PyObject* self, void*) { return PyBool_FromLong(as_cookie(self)->secure); }
PyObject* get_max_age(PyObject* self, void*) {
  return PyLong_FromLongLong(as_cookie(self)->max_age);
}
PyObject* get_same_site(PyObject* self, void*) {
  PyObject* member = same_site_to_member(as_cookie(self)->same_site);
  if (member == nullptr) GCO_TRACEBACK("Cookie.same_site.__get__");
  return member;
}

int set_expires(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) value = Py_None;
  if (!check_convertible(value, imported.datetime_type)) {
    GCO_TRACEBACK("Cookie.expires.__set__");
    return -1;
  }
  store_field(&as_cookie(self)->expires, value);
  return 0;
}

int set_domain(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) value = Py_None;
  if (!check_exact_value(value, &PyUnicode_Type, "str")) {
    GCO_TRACEBACK("Cookie.domain.__set__");
    return -1;
  }
  store_field(&as_cookie(self)->domain, value);
  return 0;
}

int set_path(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) value = Py_None;
  if (!check_exact_value(value, &PyUnicode_Type, "str")) {
    GCO_TRACEBACK("Cookie.path.__set__");
    return -1;
  }
  store_field(&as_cookie(self)->path, value);
  return 0;
}

int set_http_only(PyObject* self, PyObject* value, void*) {
  int flag = value ? truth(value) : (refuse_deletion(), -1);
  if (flag < 0) {
    GCO_TRACEBACK("Cookie.http_only.__set__");
    return -1;
  }
  as_cookie(self)->http_only = flag;
  return 0;
}

int set_secure(PyObject* self, PyObject* value, void*) {
  int flag = value ? truth(value) : (refuse_deletion(), -1);
  if (flag < 0) {
    GCO_TRACEBACK("Cookie.secure.__set__");
    return -1;
  }
  as_cookie(self)->secure = flag;
  return 0;
}

int set_max_age(PyObject* self, PyObject* value, void*) {
  long long max_age = 0;
  if (value == nullptr) {
    refuse_deletion();
  } else if (to_int64(value, &max_age)) {
    as_cookie(self)->max_age = max_age;
    return 0;
  }
  GCO_TRACEBACK("Cookie.max_age.__set__");
  return -1;
}

int set_same_site(PyObject* self, PyObject* value, void*) {
  uint32_t mode = 0;
  if (value == nullptr) {
    refuse_deletion();
  } else if (same_site_from_object(value, &mode)) {
    as_cookie(self)->same_site = mode;
    return 0;
  }
  GCO_TRACEBACK("Cookie.same_site.__set__");
  return -1;
}

PyGetSetDef cookie_getset[] = {
    {"name", get_name, set_name, nullptr, nullptr},
    {"value", get_value, set_value, nullptr, nullptr},
    {"expires", get_expires, set_expires, nullptr, nullptr},
    {"domain", get_domain, set_domain, nullptr, nullptr},
    {"path", get_path, set_path, nullptr, nullptr},
    {"http_only", get_http_only, set_http_only, nullptr, nullptr},
    {"secure", get_secure, set_secure, nullptr, nullptr},
    {"max_age", get_max_age, set_max_age, nullptr, nullptr},
    {"same_site", get_same_site, set_same_site, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- Allocation and garbage collection ------------------------------------------

PyObject* cookie_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  GcoCookie* cookie = as_cookie(self);
  cookie->vtab = &cookie_vtable;
  cookie->_name = Py_NewRef(Py_None);
  cookie->_value = Py_NewRef(Py_None);
  cookie->expires = Py_NewRef(Py_None);
  cookie->domain = Py_NewRef(Py_None);
  cookie->path = Py_NewRef(Py_None);
  return self;
}

// Only expires can lead back to other objects: the four text fields hold
// exact str or None, which cannot be part of a cycle.
int cookie_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_cookie(self)->expires);
  return 0;
}

int cookie_clear(PyObject* self) {
  store_field(&as_cookie(self)->expires, Py_None);
  return 0;
}

void cookie_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (type->tp_finalize != nullptr && type->tp_dealloc == cookie_dealloc &&
      !PyObject_GC_IsFinalized(self)) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
  }
  PyObject_GC_UnTrack(self);
  GcoCookie* cookie = as_cookie(self);
  Py_CLEAR(cookie->_name);
  Py_CLEAR(cookie->_value);
  Py_CLEAR(cookie->expires);
  Py_CLEAR(cookie->domain);
  Py_CLEAR(cookie->path);
  type->tp_free(self);
}

// --- Constructor -------------------------------------------------------------------

// Steps after the conversions: the type checks, the name and the value
// through their setters, then the remaining fields stored directly.
int init_fields(PyObject* self, PyObject* name, PyObject* value, PyObject* expires,
                PyObject* domain, PyObject* path, int http_only, int secure, long long max_age,
                uint32_t same_site) {
  if (!check_exact_argument(name, &PyUnicode_Type, "name") ||
      !check_exact_argument(value, &PyUnicode_Type, "value") ||
      !check_instance_argument(expires, imported.datetime_type, "expires") ||
      !check_exact_argument(domain, &PyUnicode_Type, "domain") ||
      !check_exact_argument(path, &PyUnicode_Type, "path")) {
    return -1;
  }
  // The Cookie type cannot be changed, so for its own instances the setters
  // are called directly; a subclass may redefine name or value.
  if (Py_IS_TYPE(self, &CookieType)) {
    if (set_name(self, name, nullptr) < 0 || set_value(self, value, nullptr) < 0) return -1;
  } else {
    if (PyObject_SetAttr(self, str_name.get(), name) < 0 ||
        PyObject_SetAttr(self, str_value.get(), value) < 0) {
      return -1;
    }
  }
  GcoCookie* cookie = as_cookie(self);
  store_field(&cookie->expires, expires);
  store_field(&cookie->domain, domain);
  store_field(&cookie->path, path);
  cookie->http_only = http_only;
  cookie->secure = secure;
  cookie->max_age = max_age;
  cookie->same_site = same_site;
  return 0;
}

int cookie_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* v[9];
  int http_only = 0;
  int secure = 0;
  long long max_age = -1;
  uint32_t same_site = kSameSiteUndefined;
  bool ok = sig_cookie_init.bind(args, kwargs, v) &&
            (v[5] == nullptr || (http_only = truth(v[5])) >= 0) &&
            (v[6] == nullptr || (secure = truth(v[6])) >= 0) &&
            (v[7] == nullptr || to_int64(v[7], &max_age)) &&
            (v[8] == nullptr || same_site_from_object(v[8], &same_site)) &&
            init_fields(self, v[0], v[1], v[2] ? v[2] : Py_None, v[3] ? v[3] : Py_None,
                        v[4] ? v[4] : Py_None, http_only, secure, max_age, same_site) == 0;
  if (!ok) {
    GCO_TRACEBACK("Cookie.__init__");
    return -1;
  }
  return 0;
}

}  // namespace

bool cookie_value_fits(PyObject* value) noexcept {
  int is_true = truth(value);
  if (is_true <= 0) return is_true == 0;
  Py_ssize_t size;
  if (!PyUnicode_CheckExact(value) || !utf8_length(value, &size)) {
    Ref encoded = steal(PyObject_CallMethodNoArgs(value, str_encode.get()));
    if (!encoded) return false;
    size = PyObject_Length(encoded.get());
    if (size < 0) return false;
  }
  if (size > kMaxValueBytes) {
    raise_instance(reinterpret_cast<PyObject*>(&CookieValueExceedsMaximumLengthType), nullptr);
    return false;
  }
  return true;
}

PyObject* cookie_from_parts(PyObject* name, PyObject* value, PyObject* expires, PyObject* domain,
                            PyObject* path, int http_only, int secure, long long max_age,
                            uint32_t same_site) noexcept {
  Ref cookie = steal(cookie_new(&CookieType, nullptr, nullptr));
  if (!cookie) return nullptr;
  if (init_fields(cookie.get(), name, value, expires, domain, path, http_only, secure, max_age,
                  same_site) < 0) {
    GCO_TRACEBACK("Cookie.__init__");
    return nullptr;
  }
  return cookie.transfer();
}

GcoCookieVTable cookie_vtable = {cookie_clone};

PyObject* cookie_richcompare(PyObject* self, PyObject* other, int op);
PyObject* cookie_repr(PyObject* self);

PyTypeObject CookieType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "glimmering_copper_otter.cookies.Cookie",
    .tp_basicsize = sizeof(GcoCookie),
    .tp_itemsize = 0,
    .tp_dealloc = cookie_dealloc,
    .tp_repr = cookie_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = cookie_traverse,
    .tp_clear = cookie_clear,
    .tp_richcompare = cookie_richcompare,
    .tp_getset = cookie_getset,
    .tp_init = cookie_init,
    .tp_new = cookie_new,
};

}  // namespace gco
