// A call's arguments, read into native values before the jar's lock is
// taken: reading them may run interpreted code (a str subclass, a time
// zone, a truth test), which must never run under the lock.
#pragma once

#include <Python.h>

#include <string_view>

#include "jar_object.hpp"
#include "request_url.hpp"

namespace gco::jar {

// A flag argument (nullptr: false).
bool read_flag(PyObject* value, bool* out) noexcept;

// The context of one call: the url, the time and the page it happens in.
struct Call {
  SharedUrl url_holder, top_holder;
  const RequestUrl* url = nullptr;
  Instant now = 0;
  bool has_top = false;
  const RequestUrl* top = nullptr;
  bool navigation = false;
  bool from_script = false;
  SchemefulSite url_site, top_site;
  std::string_view key;  // the site key of the url's host
  // The partition key: the top-level site and whether the frame has a
  // cross-site ancestor.
  const SchemefulSite* partition = nullptr;
  bool partition_cross_site = false;

  const SchemefulSite* top_site_or_null() const noexcept { return has_top ? &top_site : nullptr; }
};

// Reads url, now, site_for_cookies, navigation and from_script (each may be
// null), running whatever code they bring, and works out the sites.
bool read_call(JarObject* jar, PyObject* url, PyObject* now, PyObject* site_for_cookies,
               PyObject* navigation, PyObject* from_script, Call& call) noexcept;

// A request's arguments: url, now, site_for_cookies, navigation, method,
// from_script.
bool read_request(JarObject* jar, PyObject* const* args, Call& call, Request& request) noexcept;

// The cookies clear() and get() pick: a name, domain or path argument each,
// None (any), bytes (exact) or a str (compared by the text rule; a domain
// lower-cased without a leading dot).
struct SelectionArgs {
  TextKey domain, path, name;
  String lowered;
  std::string_view key;
  Selection selection;
};

bool read_selection(JarObject* jar, PyObject* domain, PyObject* path, PyObject* name,
                    SelectionArgs& s) noexcept;

// A cookie to remove: its key (a tuple of a row's key fields), its
// BrowserCookie record (unpartitioned) or a (BrowserCookie, CookieDetails)
// pair.  path_text gets the record's path (a str) when the cookie is named
// by a record.
bool read_removal(PyObject* cookie, CookieFields& key, TextKey& path_text, bool* by_text,
                  Ref& holder) noexcept;

}  // namespace gco::jar
