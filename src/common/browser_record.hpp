// The C layout of glimmering_copper_otter.browser.BrowserCookie, the record
// of what a browser stores for one cookie.  The browser module defines the
// type; a sibling that hands out the same records (the jar) takes the type
// object from the browser module at exec, checks that its size is this
// layout's, and fills the fields of instances it allocates itself.
#pragma once

#include <Python.h>

namespace gco {

struct BrowserRecord {
  PyObject_HEAD PyObject* name;  // str
  PyObject* value;               // str
  PyObject* raw_name;            // bytes, as received
  PyObject* raw_value;           // bytes, as received
  PyObject* domain;              // str or None
  PyObject* path;                // str or None
  PyObject* expires;             // an aware UTC datetime, or None
  PyObject* same_site;           // a CookieSameSiteMode member
  PyObject* priority;            // "low", "medium", "high" or None
  char host_only;
  char secure;
  char http_only;
  char partitioned;
  char expired;
};

// The object fields, name to priority, are contiguous.
inline constexpr int kBrowserRecordObjects = 9;
inline PyObject** object_fields(BrowserRecord* r) noexcept { return &r->name; }

}  // namespace gco
