/* C and C++ declarations of glimmering_copper_otter.writer for sibling
 * compiled modules: the function of its __pyx_capi__.  The Cookie record
 * comes from cookies.h, which this header includes.
 */
#ifndef GLIMMERING_COPPER_OTTER_WRITER_H
#define GLIMMERING_COPPER_OTTER_WRITER_H

#include "cookies.h"

#ifdef __cplusplus
extern "C" {
#endif

/* write_set_cookie(cookie, partitioned, priority): the cookie as the bytes of
 * one Set-Cookie header value, as write_cookie_for_response of the cookies
 * module writes it, with Partitioned (and the Secure it needs) when
 * partitioned is nonzero and Priority=Low, Medium or High when priority is
 * one of the texts "low", "medium" or "high" in any letter case.  priority
 * None (or NULL) adds nothing; a cookie of partitioned 0 and priority None
 * is written byte for byte as write_cookie_for_response writes it.  The
 * arguments are borrowed; the result is a new reference, or NULL with an
 * exception set: TypeError for a cookie that is not a Cookie record (None
 * included) or a priority that is not a str or None, ValueError for another
 * priority text, and whatever writing the cookie raises. */
typedef PyObject* (*GcoWriteSetCookieFn)(GcoCookie* cookie, int partitioned, PyObject* priority);

/* The capsule name of the entry: its signature text. */
#define GCO_SIG_WRITE_SET_COOKIE \
  "PyObject *(struct __pyx_obj_23glimmering_copper_otter_7cookies_Cookie *, int, PyObject *)"

/* ------------------------------------------------------------------------
 * Importing the interface, once, usually from the exec step:
 *
 *     GcoWriterAPI writer;
 *     if (GcoWriter_Import(&writer) < 0) return -1;
 *     PyObject *header = writer.write_set_cookie(record, 1, priority);
 *
 * Importing the writer imports the cookies module; a client that also reads
 * Cookie records imports that interface with GcoCookies_Import.
 */

#define GCO_WRITER_MODULE "glimmering_copper_otter.writer"

typedef struct GcoWriterAPI {
  GcoWriteSetCookieFn write_set_cookie;
} GcoWriterAPI;

/* Gco_ImportFunction (cookies.h) of the writer module. */
static inline void* GcoWriter_ImportFunction(const char* name, const char* signature) {
  return Gco_ImportFunction(GCO_WRITER_MODULE, name, signature);
}

/* Fills *api with the entries of the writer's __pyx_capi__, each checked
 * against its signature text.  0, or -1 with an exception set and *api left
 * empty. */
static inline int GcoWriter_Import(GcoWriterAPI* api) {
  void* pointer;
  memset(api, 0, sizeof(*api));
  pointer = GcoWriter_ImportFunction("write_set_cookie", GCO_SIG_WRITE_SET_COOKIE);
  if (pointer == NULL) return -1;
  /* A function pointer taken as an object pointer out of a capsule. */
  memcpy(&api->write_set_cookie, &pointer, sizeof(api->write_set_cookie));
  return 0;
}

#ifdef __cplusplus
}
#endif

#endif /* GLIMMERING_COPPER_OTTER_WRITER_H */
