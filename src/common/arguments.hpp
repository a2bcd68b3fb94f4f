// Arguments that the cookie modules read alike: the bytes of a header given
// as bytes or str, and "now" as an instant (microseconds since 1970-01-01
// UTC), and an instant made back into a datetime.
#pragma once

#include <Python.h>

#include <cstdint>

#include "ref.hpp"
#include "span.hpp"

namespace gco {

// Takes the datetime module's C interface for the functions below (module
// exec).  False with an exception set.
bool prepare_arguments() noexcept;

// A header's bytes: bytes as they are, a str of characters below U+0100 as
// its Latin-1 bytes, another str as its UTF-8 (lone surrogates kept).
// Subclasses are read as their plain value.  holder keeps a made copy.
// TypeError "<param> must be bytes or str, not <type>" for anything else.
bool header_bytes(PyObject* raw, const char* param, Ref& holder, Span& out) noexcept;

// now as an instant; the current time for None (or nullptr).  An aware
// datetime whose time in UTC falls outside years 1 to 9999 (possible with an
// offset) is read as the nearest instant inside them, so that every instant
// computed from it stays representable.  TypeError for another type,
// ValueError for a naive datetime and for a utcoffset() (a subclass's own
// may return anything) not strictly within a day.  now.utcoffset() may run
// interpreted code; the datetime's fields are read before it.
bool read_now(PyObject* now, int64_t* out) noexcept;

// An instant within years 1 to 9999 as an aware UTC datetime.  New reference.
PyObject* datetime_of_instant(int64_t instant) noexcept;

}  // namespace gco
