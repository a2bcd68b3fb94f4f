/* C and C++ declarations of glimmering_copper_otter.cookie_header for
 * sibling compiled modules: the three functions of its __pyx_capi__.
 */
#ifndef GLIMMERING_COPPER_OTTER_COOKIE_HEADER_H
#define GLIMMERING_COPPER_OTTER_COOKIE_HEADER_H

#include <Python.h>
#include <string.h>

#include "cookies.h" /* Gco_ImportFunction */

#ifdef __cplusplus
extern "C" {
#endif

/* The functions of __pyx_capi__.  The argument is borrowed and checked as
 * the interpreted function checks it (TypeError naming its type); the
 * result is a new reference, or NULL with an exception set.
 *   parse_cookie_header        a dict of names to values (first occurrence)
 *   parse_cookie_header_pairs  a list of (name, value) tuples
 *   write_cookie_header        bytes */
typedef PyObject* (*GcoParseCookieHeaderFn)(PyObject* raw);
typedef PyObject* (*GcoParseCookieHeaderPairsFn)(PyObject* raw);
typedef PyObject* (*GcoWriteCookieHeaderFn)(PyObject* cookies);

/* The capsule name of each entry: the signature text. */
#define GCO_SIG_COOKIE_HEADER_FUNCTION "PyObject *(PyObject *)"

/* ------------------------------------------------------------------------
 * Importing the interface, once, usually from the module's exec step:
 *
 *     GcoCookieHeaderAPI api;
 *     if (GcoCookieHeader_Import(&api) < 0) return -1;
 *     PyObject *cookies = api.parse_cookie_header(raw);
 *
 * Compile with the directory of glimmering_copper_otter.get_include() on the
 * include path, against the Python the installed modules are built for
 * (CPython 3.10 to 3.13).  A fault that Cython's own import code also
 * detects gets Cython's message.
 */

#define GCO_COOKIE_HEADER_MODULE "glimmering_copper_otter.cookie_header"

typedef struct GcoCookieHeaderAPI {
  GcoParseCookieHeaderFn parse_cookie_header;
  GcoParseCookieHeaderPairsFn parse_cookie_header_pairs;
  GcoWriteCookieHeaderFn write_cookie_header;
} GcoCookieHeaderAPI;

/* The pointer of the entry `name` of the module's __pyx_capi__, asked for by
 * its signature text, or NULL with an exception set:
 *   ImportError  the module or its __pyx_capi__ is missing, or the table has
 *                no such entry;
 *   TypeError    the entry is not a capsule, or it carries another signature. */
static inline void* GcoCookieHeader_ImportFunction(const char* name, const char* signature) {
  return Gco_ImportFunction(GCO_COOKIE_HEADER_MODULE, name, signature);
}

#define GCO_COOKIE_HEADER_IMPORT_(api, field)                                                    \
  do {                                                                                           \
    void* gco_pointer_ = GcoCookieHeader_ImportFunction(#field, GCO_SIG_COOKIE_HEADER_FUNCTION); \
    if (gco_pointer_ == NULL) goto fail;                                                         \
    memcpy(&(api)->field, &gco_pointer_, sizeof((api)->field));                                  \
  } while (0)

/* Fills *api with the three entries, each checked against its signature
 * text.  0, or -1 with an exception set and *api left empty.  The module
 * stays imported (in sys.modules) for as long as the process runs. */
static inline int GcoCookieHeader_Import(GcoCookieHeaderAPI* api) {
  memset(api, 0, sizeof(*api));
  GCO_COOKIE_HEADER_IMPORT_(api, parse_cookie_header);
  GCO_COOKIE_HEADER_IMPORT_(api, parse_cookie_header_pairs);
  GCO_COOKIE_HEADER_IMPORT_(api, write_cookie_header);
  return 0;
fail:
  memset(api, 0, sizeof(*api));
  return -1;
}

#undef GCO_COOKIE_HEADER_IMPORT_

#ifdef __cplusplus
}
#endif

#endif /* GLIMMERING_COPPER_OTTER_COOKIE_HEADER_H */
