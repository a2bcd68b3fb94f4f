// The UTS #46 processing of a host name (ToASCII), with the options that
// browsers apply to urls: non-transitional (ß, ς, ZWJ and ZWNJ are kept),
// CheckBidi and CheckJoiners on, UseSTD3ASCIIRules off (the url reader
// checks the ASCII code points itself), and, as Chromium does, no hyphen or
// DNS length checks.  A domain whose result is empty is invalid.
//
// The character data is generated from Unicode's tables
// (tools/idna_table.py, idna_data.inc).  Normalisation to NFC is the
// interpreter's own unicodedata.normalize, taken once by prepare() and held:
// to_ascii needs the interpreter (an attached thread state) for a domain
// with a code point at or above U+0300, the first one that can take part in
// a composition, and for nothing else.
#pragma once

#include <Python.h>

#include <string_view>

#include "memory.hpp"

namespace gco::idna {

// Takes unicodedata.normalize (once per process; module exec calls it).
// False with an exception set.
bool prepare() noexcept;

// The Unicode version of the character data ("17.0.0").
const char* unicode_version() noexcept;

// Appends the ASCII form of domain (UTF-8 bytes, percent-decoding done) to
// out.  1: done; 0: not a valid domain (invalid UTF-8 included), out is
// left with whatever was appended; -1: an exception is set (MemoryError, or
// the normaliser failed).
int to_ascii(std::string_view domain, String& out) noexcept;

}  // namespace gco::idna
