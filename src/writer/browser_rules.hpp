// The browser's Set-Cookie rules as the writer module uses them: the one
// place where it reaches the steps that browser.check runs.
#pragma once

#include <Python.h>

#include <cstdint>

#include "civil.hpp"

namespace gco {

// Runs a browser's steps over a header value the writer made, without a
// page url but as from a secure origin, and refuses what a browser would
// refuse or change whatever the page: a refusal, a Domain that is a public
// suffix, a Path that does not start with "/" (the default path would
// replace it) and an attribute value too long to be read.  True when a
// browser keeps the header as written; otherwise false with ValueError set,
// its message "CodeWord: sentence" in the words of browser.check.
//
// The value, header[value_begin, value_end), must hold only cookie-octets
// (RFC 6265 section 4.1.1), as the writer writes every value: the steps then
// depend on its length alone, so a header found acceptable is remembered
// with the value's bytes left out, and one of the same name, attributes and
// value length is not run through the steps again.
bool check_browser_keeps(const char* header, Py_ssize_t size, Py_ssize_t value_begin,
                         Py_ssize_t value_end) noexcept;

using civil::civil_from_days;
using civil::days_from_civil;

}  // namespace gco
