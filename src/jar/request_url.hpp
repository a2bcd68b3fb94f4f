// The one place where the jar reads a request's url (through the kit's url
// reader): the parts that cookie rules need.  Everything else in the jar
// works on a RequestUrl.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "url.hpp"

namespace gco::jar {

struct RequestUrl {
  url::Url parsed;           // the canonical url
  bool https = false;        // https or wss: a cryptographic scheme
  bool trustworthy = false;  // https, or a loopback host over http (localhost, 127/8, [::1])
  bool ip = false;           // the host is an IPv4 or IPv6 address
  uint16_t port = 0;         // the port, or the scheme's default one
  // Where the host's site key (site.hpp) begins in it, for each reading of
  // the suffix list (without, with), once worked out: a url read once serves
  // many calls (SharedUrl), and the key costs a suffix-list lookup.
  mutable uint32_t key_begin[2] = {kNoKeyYet, kNoKeyYet};
  static constexpr uint32_t kNoKeyYet = UINT32_MAX;

  // Lower case, internationalised labels as A-labels, IPv6 in brackets.
  std::string_view host() const noexcept { return parsed.host(); }
  // The path as sent, percent-encoded, its dot segments resolved.
  std::string_view path() const noexcept { return parsed.path(); }
};

// Reads an absolute http, https, ws or wss url (ws and wss count as http and
// https) as Chromium reads it.  url must be a str; a subclass is read as its
// plain value, so none of its code runs.  False with TypeError (not a str)
// or ValueError (not such a url) set, naming param.  A host outside ASCII
// may need the interpreter: call it before the jar's lock is taken.
bool read_url(PyObject* url, const char* param, RequestUrl& out) noexcept;

// A read url shared by the calls that read the same text: the last ones
// read stay cached (callers pass the same urls again and again), and a call
// holds the one it uses, so that a call made meanwhile may replace the cache
// freely.  Used with the interpreter held.
class SharedUrl {
 public:
  SharedUrl() noexcept = default;
  SharedUrl(const SharedUrl&) = delete;
  SharedUrl& operator=(const SharedUrl&) = delete;
  ~SharedUrl();

  // read_url, through the cache.
  bool read(PyObject* url, const char* param) noexcept;
  const RequestUrl* get() const noexcept;

  struct Entry;

 private:
  Entry* entry_ = nullptr;
};

// The default path of a request path for a cookie without a Path: up to,
// not including, its last "/"; "/" when that is the first character.
std::string_view default_path(std::string_view path) noexcept;

}  // namespace gco::jar
