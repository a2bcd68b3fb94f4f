// The Python objects a jar hands out for its cookies: BrowserCookie records
// (the browser module's type) and CookieDetails.  Everything here holds the
// interpreter.
#pragma once

#include <Python.h>

#include <string_view>

#include "cookie.hpp"
#include "memory.hpp"

namespace gco::jar {

// What a record shows, from an applied header or from a stored cookie.
struct RecordParts {
  std::string_view name, value, domain, path;
  Instant expiry = kNoExpiry;
  SameSite same_site = SameSite::kUnspecified;
  Priority priority = Priority::kUnset;
  bool host_only = true, secure = false, http_only = false, partitioned = false, expired = false;
};

RecordParts parts_of(const Cookie& c) noexcept;

// A new BrowserCookie, or nullptr with an exception set.
PyObject* make_record(const RecordParts& parts) noexcept;

// The records of the cookies; with details, (record, CookieDetails) pairs.
PyObject* list_of(const Vector<CookieCopy>& cookies, bool details = false) noexcept;

// The record type (glimmering_copper_otter.browser.BrowserCookie).
PyTypeObject* record_type() noexcept;

// Takes the record type from the browser module, makes CookieDetails and
// adds both to the module (exec).  False with an exception set.
bool prepare_records(PyObject* module) noexcept;

}  // namespace gco::jar
