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
  PyObject *(*clone)(struct GcoCookie *self, int skip_dispatch);
} GcoCookieVTable;

/* The instance record of Cookie.  The five object fields are never NULL:
 * each holds a str (or None); expires a datetime (or None). */
typedef struct GcoCookie {
  PyObject_HEAD
  GcoCookieVTable *vtab;
  PyObject *_name;    /* str, or None in a bare allocation */
  PyObject *_value;   /* str or None */
  PyObject *expires;  /* datetime.datetime (or subclass) or None */
  PyObject *domain;   /* str or None */
  PyObject *path;     /* str or None */
  int http_only;      /* 0 or 1 */
  int secure;         /* 0 or 1 */
  int64_t max_age;    /* seconds; negative: no Max-Age */
  GcoCookieSameSiteMode same_site;
} GcoCookie;

/* The functions of __pyx_capi__.  Arguments are borrowed; a result object is
 * a new reference, or NULL with an exception set.  same_site_mode_from_bytes
 * reports a failure as 0 with an exception set. */
typedef PyObject *(*GcoParseCookieFn)(PyObject *raw_value, int skip_dispatch);
typedef PyObject *(*GcoDatetimeToCookieFormatFn)(PyObject *value, int skip_dispatch);
typedef PyObject *(*GcoDatetimeFromCookieFormatFn)(PyObject *value, int skip_dispatch);
typedef PyObject *(*GcoWriteCookieForResponseFn)(GcoCookie *cookie);
typedef PyObject *(*GcoSplitValueFn)(PyObject *raw_value, PyObject *separator);
typedef GcoCookieSameSiteMode (*GcoSameSiteModeFromBytesFn)(PyObject *raw_value);

/* Capsule names of the entries: the signature texts. */
#define GCO_SIG_PARSE_COOKIE \
  "struct __pyx_obj_23glimmering_copper_otter_7cookies_Cookie *(PyObject *, int __pyx_skip_dispatch)"
#define GCO_SIG_DATETIME_TO_COOKIE_FORMAT \
  "PyObject *(PyDateTime_DateTime *, int __pyx_skip_dispatch)"
#define GCO_SIG_DATETIME_FROM_COOKIE_FORMAT \
  "PyDateTime_DateTime *(PyObject *, int __pyx_skip_dispatch)"
#define GCO_SIG_WRITE_COOKIE_FOR_RESPONSE \
  "PyObject *(struct __pyx_obj_23glimmering_copper_otter_7cookies_Cookie *)"
#define GCO_SIG_SPLIT_VALUE "PyObject *(PyObject *, PyObject *)"
#define GCO_SIG_SAME_SITE_MODE_FROM_BYTES \
  "enum __pyx_t_23glimmering_copper_otter_7cookies_CookieSameSiteMode (PyObject *)"

#ifdef __cplusplus
}
#endif

#endif /* GLIMMERING_COPPER_OTTER_COOKIES_H */
