// The url reader: an absolute url of a special scheme with a host (http,
// https, ws, wss) read as browsers read it, by the WHATWG URL standard as
// Chromium applies it.  Where the two differ, Chromium's answer is the one
// kept (each such place in url.cpp says so).
//
// What it does: leading and trailing C0 controls and spaces trimmed, tabs
// and newlines removed anywhere, backslashes read as slashes, credentials
// split off at the last "@" of the authority, the host percent-decoded and
// put through UTS #46 (idna.hpp), IPv4 in all its forms (hex, octal, fewer
// parts, one number) and IPv6 (compressed, in brackets), the port (the
// default one dropped, above 65535 refused), the path percent-encoded with
// its "." and ".." segments (also written %2e) resolved, the query and the
// fragment percent-encoded.  A url longer than 2 MiB (kMaxLength) as written
// out is not a url, as for Chromium (whose limit is on the canonical url, not
// on the text given: a longer text that reads as a shorter url is a url).
// Time and memory are linear in the input.
//
// No relative reading: there is no base url.  The reader itself needs no
// interpreter, except for a host outside ASCII with a code point at or above
// U+0300 (see idna.hpp): call it with an attached thread state unless the
// url is known to be ASCII.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "memory.hpp"

namespace gco::url {

inline constexpr size_t kMaxLength = 2 * 1024 * 1024;

enum class Status {
  kOk,
  kNotAUrl,   // does not parse, or not one of the four schemes
  kNoMemory,  // no exception set: call no_memory() when holding the interpreter
  kError,     // an exception is set (the non-ASCII host path only)
};

enum class Scheme : uint8_t { kHttp, kHttps, kWs, kWss };
enum class HostKind : uint8_t { kDomain, kIPv4, kIPv6 };

struct Url {
  String href;  // the canonical url, ASCII
  Scheme scheme = Scheme::kHttp;
  HostKind host_kind = HostKind::kDomain;
  uint16_t port = 0;  // as given, or the scheme's default (80 or 443)
  bool has_query = false, has_fragment = false;
  // Offsets into href: the host as written ("[::1]" with its brackets),
  // the path (up to "?" or "#"), the query (after "?").
  uint32_t host_begin = 0, host_end = 0, path_begin = 0, path_end = 0, query_end = 0;
  // An IP host's address in network order: 4 bytes for IPv4, 16 for IPv6.
  uint8_t address[16] = {};

  std::string_view view(uint32_t begin, uint32_t end) const noexcept {
    return gco::sub(href.view(), begin, end - begin);
  }
  std::string_view host() const noexcept { return view(host_begin, host_end); }
  std::string_view path() const noexcept { return view(path_begin, path_end); }
  std::string_view query() const noexcept {  // empty without one
    return has_query ? view(path_end + 1, query_end) : std::string_view();
  }
  std::string_view fragment() const noexcept {
    return has_fragment ? gco::sub(href.view(), query_end + 1) : std::string_view();
  }
  bool cryptographic() const noexcept { return scheme == Scheme::kHttps || scheme == Scheme::kWss; }
  std::string_view scheme_name() const noexcept;
  // localhost, a name under .localhost (a trailing dot allowed), 127.0.0.0/8
  // or [::1]: a host that browsers count as a secure context over http.
  bool loopback_host() const noexcept;
};

// A host alone (UTF-8, no port, no brackets missing), read as the host of a
// url is read: percent-decoding, UTS #46, the IPv4 and IPv6 forms.  out gets
// the canonical host ("[::1]" with its brackets), kind its kind.  Browsers
// read a cookie's Domain attribute so.
Status read_host(std::string_view host, String& out, HostKind* kind) noexcept;

// Appends path (UTF-8, starting with "/") as a url's path is written out:
// "\\" read as "/", its "." and ".." segments (also written %2e) resolved,
// the path's percent-encode set escaped ("?" and "#" too, since here they
// end nothing).  What a browser sends as the request path for it.
[[nodiscard]] bool canonical_path(std::string_view path, String& out) noexcept;

// Reads input, UTF-8 (a byte outside a valid sequence read as U+FFFD).
// out is overwritten; on a failure its content is unspecified.
Status read(std::string_view input, Url& out) noexcept;

// Reads a str's own text (a subclass's text too: none of its methods is
// called); a lone surrogate is read as U+FFFD.
Status read(PyObject* text, Url& out) noexcept;

}  // namespace gco::url
