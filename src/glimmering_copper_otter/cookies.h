/* C and C++ declarations of glimmering_copper_otter.cookies for sibling
 * compiled modules: the Cookie record, the SameSite enumeration, the method
 * table and the functions of __pyx_capi__.
 *
 * The record is read in place: order, widths and signedness of its fields
 * are part of the module's binary interface and never change.
 */
#ifndef GLIMMERING_COPPER_OTTER_COOKIES_H
#define GLIMMERING_COPPER_OTTER_COOKIES_H

#include <Python.h>
#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

/* SameSite mode: stored as an unsigned 32-bit number.  Any number from 0 to
 * 4294967295 may be stored; these four are the named modes. */
typedef uint32_t GcoCookieSameSiteMode;
enum {
  GCO_SAME_SITE_UNDEFINED = 0,
  GCO_SAME_SITE_LAX = 1,
  GCO_SAME_SITE_STRICT = 2,
  GCO_SAME_SITE_NONE = 3
};

struct GcoCookie;

/* The method table of Cookie, published as Cookie.__pyx_vtable__.
 * clone: a new reference to a Cookie (or None when an interpreted override
 * returned None), or NULL with an exception set.  With skip_dispatch 0 an
 * override of clone in an interpreted subclass is called instead. */
typedef struct GcoCookieVTable {
  PyObject* (*clone)(struct GcoCookie* self, int skip_dispatch);
} GcoCookieVTable;

/* The instance record of Cookie.  The five object fields are never NULL:
 * each holds a str (or None); expires a datetime (or None). */
typedef struct GcoCookie {
  PyObject_HEAD GcoCookieVTable* vtab;
  PyObject* _name;   /* str, or None in a bare allocation */
  PyObject* _value;  /* str or None */
  PyObject* expires; /* datetime.datetime (or subclass) or None */
  PyObject* domain;  /* str or None */
  PyObject* path;    /* str or None */
  int http_only;     /* 0 or 1 */
  int secure;        /* 0 or 1 */
  int64_t max_age;   /* seconds; negative: no Max-Age */
  GcoCookieSameSiteMode same_site;
} GcoCookie;

/* The functions of __pyx_capi__.  Arguments are borrowed; a result object is
 * a new reference, or NULL with an exception set.  same_site_mode_from_bytes
 * reports a failure as 0 with an exception set. */
typedef PyObject* (*GcoParseCookieFn)(PyObject* raw_value, int skip_dispatch);
typedef PyObject* (*GcoDatetimeToCookieFormatFn)(PyObject* value, int skip_dispatch);
typedef PyObject* (*GcoDatetimeFromCookieFormatFn)(PyObject* value, int skip_dispatch);
typedef PyObject* (*GcoWriteCookieForResponseFn)(GcoCookie* cookie);
typedef PyObject* (*GcoSplitValueFn)(PyObject* raw_value, PyObject* separator);
typedef GcoCookieSameSiteMode (*GcoSameSiteModeFromBytesFn)(PyObject* raw_value);

/* Capsule names of the entries: the signature texts. */
#define GCO_SIG_PARSE_COOKIE                                                      \
  "struct __pyx_obj_23glimmering_copper_otter_7cookies_Cookie *(PyObject *, int " \
  "__pyx_skip_dispatch)"
#define GCO_SIG_DATETIME_TO_COOKIE_FORMAT \
  "PyObject *(PyDateTime_DateTime *, int __pyx_skip_dispatch)"
#define GCO_SIG_DATETIME_FROM_COOKIE_FORMAT \
  "PyDateTime_DateTime *(PyObject *, int __pyx_skip_dispatch)"
#define GCO_SIG_WRITE_COOKIE_FOR_RESPONSE \
  "PyObject *(struct __pyx_obj_23glimmering_copper_otter_7cookies_Cookie *)"
#define GCO_SIG_SPLIT_VALUE "PyObject *(PyObject *, PyObject *)"
#define GCO_SIG_SAME_SITE_MODE_FROM_BYTES \
  "enum __pyx_t_23glimmering_copper_otter_7cookies_CookieSameSiteMode (PyObject *)"

/* ------------------------------------------------------------------------
 * Importing the interface.
 *
 * A sibling module calls GcoCookies_Import once, usually from its exec step,
 * and keeps the filled GcoCookiesAPI in its module state:
 *
 *     GcoCookiesAPI api;
 *     if (GcoCookies_Import(&api) < 0) return -1;
 *     PyObject *cookie = api.parse_cookie(raw, 0);
 *
 * Compile with the directory of glimmering_copper_otter.get_include() on the
 * include path, against the Python the installed modules are built for
 * (CPython 3.10 to 3.13).
 * A fault that Cython's own import code also detects gets Cython's message,
 * so C, C++ and Cython siblings fail alike.
 */

#define GCO_COOKIES_MODULE "glimmering_copper_otter.cookies"

typedef struct GcoCookiesAPI {
  PyTypeObject* cookie_type;      /* Cookie, a strong reference */
  GcoCookieVTable* cookie_vtable; /* Cookie.__pyx_vtable__ */
  GcoParseCookieFn parse_cookie;
  GcoDatetimeToCookieFormatFn datetime_to_cookie_format;
  GcoDatetimeFromCookieFormatFn datetime_from_cookie_format;
  GcoWriteCookieForResponseFn write_cookie_for_response;
  GcoSplitValueFn split_value;
  GcoSameSiteModeFromBytesFn same_site_mode_from_bytes;
} GcoCookiesAPI;

/* The two lookups of the imports below: the interpreter's own from CPython
 * 3.13, the same contracts built from older calls before it.  1 and *result
 * a new reference; 0 and *result NULL when absent; -1 with an exception. */
#if PY_VERSION_HEX >= 0x030D0000
#define Gco__GetOptionalAttrString PyObject_GetOptionalAttrString
#define Gco__GetOptionalItemString PyMapping_GetOptionalItemString
#else
static inline int Gco__GetOptionalAttrString(PyObject* obj, const char* name, PyObject** result) {
  *result = PyObject_GetAttrString(obj, name);
  if (*result != NULL) return 1;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
}
static inline int Gco__GetOptionalItemString(PyObject* obj, const char* key, PyObject** result) {
  *result = PyMapping_GetItemString(obj, key);
  if (*result != NULL) return 1;
  if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
  PyErr_Clear();
  return 0;
}
#endif

/* The pointer of the entry `name` of the __pyx_capi__ of the module
 * `module_name` (a compiled module of the package: cookies, writer,
 * cookie_header), asked for by its signature text, or NULL with an
 * exception set:
 *   ImportError  the module or its __pyx_capi__ is missing, or the table has
 *                no such entry;
 *   TypeError    the entry is not a capsule, or it carries another signature
 *                ("C function MODULE.NAME has wrong signature (expected
 *                SIGNATURE, got ITS SIGNATURE)"). */
static inline void* Gco_ImportFunction(const char* module_name, const char* name,
                                       const char* signature) {
  void* pointer = NULL;
  PyObject* module = PyImport_ImportModule(module_name);
  PyObject* table = NULL;
  PyObject* capsule = NULL;
  int found;
  if (module == NULL) return NULL;
  found = Gco__GetOptionalAttrString(module, "__pyx_capi__", &table);
  Py_DECREF(module);
  if (found == 0) {
    PyErr_Format(PyExc_ImportError, "%s has no C function table __pyx_capi__", module_name);
  }
  if (found <= 0) return NULL;
  found = Gco__GetOptionalItemString(table, name, &capsule);
  Py_DECREF(table);
  if (found == 0) {
    PyErr_Format(PyExc_ImportError, "%s does not export expected C function %.200s", module_name,
                 name);
  }
  if (found <= 0) return NULL;
  if (!PyCapsule_CheckExact(capsule)) {
    PyErr_Format(PyExc_TypeError, "C function %s.%.200s is not a capsule (got %.200s)", module_name,
                 name, Py_TYPE(capsule)->tp_name);
  } else if (!PyCapsule_IsValid(capsule, signature)) {
    const char* got = PyCapsule_GetName(capsule);
    PyErr_Format(PyExc_TypeError,
                 "C function %s.%.200s has wrong signature (expected %.500s, got %.500s)",
                 module_name, name, signature, got != NULL ? got : "(no name)");
  } else {
    pointer = PyCapsule_GetPointer(capsule, signature);
  }
  Py_DECREF(capsule);
  return pointer;
}

/* Gco_ImportFunction of the cookies module. */
static inline void* GcoCookies_ImportFunction(const char* name, const char* signature) {
  return Gco_ImportFunction(GCO_COOKIES_MODULE, name, signature);
}

/* Cookie, checked to be a type whose records hold at least a GcoCookie, and
 * its method table (the unnamed capsule Cookie.__pyx_vtable__).  0, or -1
 * with an exception set. */
static inline int GcoCookies_ImportCookieType(PyTypeObject** type, GcoCookieVTable** vtable) {
  PyObject* module = PyImport_ImportModule(GCO_COOKIES_MODULE);
  PyObject* found = NULL;
  PyObject* capsule = NULL;
  if (module == NULL) return -1;
  found = PyObject_GetAttrString(module, "Cookie");
  Py_DECREF(module);
  if (found == NULL) return -1;
  if (!PyType_Check(found)) {
    PyErr_SetString(PyExc_TypeError, GCO_COOKIES_MODULE ".Cookie is not a type object");
    goto fail;
  }
  if ((size_t)((PyTypeObject*)found)->tp_basicsize < sizeof(GcoCookie)) {
    PyErr_Format(PyExc_ValueError,
                 GCO_COOKIES_MODULE
                 ".Cookie size changed, may indicate binary incompatibility. "
                 "Expected %zd from C header, got %zd from PyObject",
                 (Py_ssize_t)sizeof(GcoCookie), ((PyTypeObject*)found)->tp_basicsize);
    goto fail;
  }
  if (Gco__GetOptionalAttrString(found, "__pyx_vtable__", &capsule) <= 0) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_ImportError,
                      GCO_COOKIES_MODULE ".Cookie has no C method table __pyx_vtable__");
    }
    goto fail;
  }
  if (!PyCapsule_IsValid(capsule, NULL)) {
    PyErr_SetString(PyExc_TypeError,
                    GCO_COOKIES_MODULE ".Cookie.__pyx_vtable__ is not an unnamed capsule");
    Py_DECREF(capsule);
    goto fail;
  }
  *vtable = (GcoCookieVTable*)PyCapsule_GetPointer(capsule, NULL);
  Py_DECREF(capsule);
  *type = (PyTypeObject*)found;
  return 0;
fail:
  Py_DECREF(found);
  return -1;
}

/* Stores one function pointer taken as an object pointer out of a capsule
 * (the two have the same size on every platform the interpreter runs on). */
#define GCO_COOKIES_IMPORT_(api, field, signature)                     \
  do {                                                                 \
    void* gco_pointer_ = GcoCookies_ImportFunction(#field, signature); \
    if (gco_pointer_ == NULL) goto fail;                               \
    memcpy(&(api)->field, &gco_pointer_, sizeof((api)->field));        \
  } while (0)

/* Fills *api with Cookie, its method table and the six entries of
 * __pyx_capi__, each checked against its signature text.  0, or -1 with an
 * exception set and *api left empty.  Release api->cookie_type with
 * Py_CLEAR when the module that holds it is cleared. */
static inline int GcoCookies_Import(GcoCookiesAPI* api) {
  memset(api, 0, sizeof(*api));
  GCO_COOKIES_IMPORT_(api, parse_cookie, GCO_SIG_PARSE_COOKIE);
  GCO_COOKIES_IMPORT_(api, datetime_to_cookie_format, GCO_SIG_DATETIME_TO_COOKIE_FORMAT);
  GCO_COOKIES_IMPORT_(api, datetime_from_cookie_format, GCO_SIG_DATETIME_FROM_COOKIE_FORMAT);
  GCO_COOKIES_IMPORT_(api, write_cookie_for_response, GCO_SIG_WRITE_COOKIE_FOR_RESPONSE);
  GCO_COOKIES_IMPORT_(api, split_value, GCO_SIG_SPLIT_VALUE);
  GCO_COOKIES_IMPORT_(api, same_site_mode_from_bytes, GCO_SIG_SAME_SITE_MODE_FROM_BYTES);
  if (GcoCookies_ImportCookieType(&api->cookie_type, &api->cookie_vtable) < 0) goto fail;
  return 0;
fail:
  memset(api, 0, sizeof(*api));
  return -1;
}

#undef GCO_COOKIES_IMPORT_

/* Whether obj is a Cookie record (an instance of Cookie or of a subclass),
 * whose fields may then be read in place. */
static inline int GcoCookie_Check(const GcoCookiesAPI* api, PyObject* obj) {
  return PyObject_TypeCheck(obj, api->cookie_type);
}

#ifdef __cplusplus
}
#endif

#endif /* GLIMMERING_COPPER_OTTER_COOKIES_H */
