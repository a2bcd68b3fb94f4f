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

/* The pointer of the entry `name` of the writer's __pyx_capi__, asked for by
 * its signature text, or NULL with an exception set (ImportError or
 * TypeError, in the words GcoCookies_ImportFunction uses). */
static inline void* GcoWriter_ImportFunction(const char* name, const char* signature) {
  void* pointer = NULL;
  PyObject* module = PyImport_ImportModule(GCO_WRITER_MODULE);
  PyObject* table = NULL;
  PyObject* capsule = NULL;
  int found;
  if (module == NULL) return NULL;
  found = PyObject_GetOptionalAttrString(module, "__pyx_capi__", &table);
  Py_DECREF(module);
  if (found == 0) {
    PyErr_SetString(PyExc_ImportError, GCO_WRITER_MODULE " has no C function table __pyx_capi__");
  }
  if (found <= 0) return NULL;
  found = PyMapping_GetOptionalItemString(table, name, &capsule);
  Py_DECREF(table);
  if (found == 0) {
    PyErr_Format(PyExc_ImportError, GCO_WRITER_MODULE " does not export expected C function %.200s",
                 name);
  }
  if (found <= 0) return NULL;
  if (!PyCapsule_CheckExact(capsule)) {
    PyErr_Format(PyExc_TypeError,
                 "C function " GCO_WRITER_MODULE ".%.200s is not a capsule (got %.200s)", name,
                 Py_TYPE(capsule)->tp_name);
  } else if (!PyCapsule_IsValid(capsule, signature)) {
    const char* got = PyCapsule_GetName(capsule);
    PyErr_Format(PyExc_TypeError,
                 "C function " GCO_WRITER_MODULE
                 ".%.200s has wrong signature (expected %.500s, got %.500s)",
                 name, signature, got != NULL ? got : "(no name)");
  } else {
    pointer = PyCapsule_GetPointer(capsule, signature);
  }
  Py_DECREF(capsule);
  return pointer;
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
