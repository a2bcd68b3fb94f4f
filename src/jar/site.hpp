// Sites: the registrable domain of a host, the key a jar files cookies
// under, schemeful sites and the same-site context of a request or a
// response, as Chromium computes them.
#pragma once

#include <Python.h>

#include <string_view>

#include "memory.hpp"
#include "request_url.hpp"

namespace gco::jar {

// The key that a cookie of this domain (or a request to this host) is kept
// under: its registrable domain (eTLD+1) by the Public Suffix List (or, with
// use_list false, by its default rule alone), or the domain itself when it
// has none: an IP address, localhost, a public suffix (as Chromium's cookie
// store keys its cookies, CookieMonster::GetKey).  A view into domain.
std::string_view site_key(std::string_view domain, bool use_list) noexcept;
// The same for a url's host, worked out once per url read (used with the
// interpreter held, as SharedUrl is).  A view into the url's host.
std::string_view site_key(const RequestUrl& url, bool use_list) noexcept;

// A schemeful site: the scheme (ws and wss read as http and https) and the
// registrable domain, or the host when it has none.
struct SchemefulSite {
  bool https = false;
  std::string_view host;  // a view into the url's host
  bool operator==(const SchemefulSite& other) const noexcept {
    return https == other.https && host == other.host;
  }
  // Whether text is the site written out, "https://example.com": the key
  // of a cookie partition.
  bool is(std::string_view text) const noexcept {
    std::string_view scheme = https ? "https://" : "http://";
    return text.size() == scheme.size() + host.size() && gco::starts_with(text, scheme) &&
           gco::ends_with(text, host);
  }
  bool serialize(String& out) const noexcept {
    out.clear();
    return out.append(https ? "https://" : "http://") && out.append(host);
  }
};

// The site of a url whose host has that site key (a view into the host).
void site_of(const RequestUrl& url, std::string_view key, SchemefulSite& out) noexcept;

// Chromium's same-site contexts, weakest first: which SameSite cookies a
// request may carry or a response may set.
enum class Context { kCrossSite = 0, kLaxMethodUnsafe = 1, kLax = 2, kStrict = 3 };

// The context of a request to url made from a page of site top (nullptr: a
// page of url's own site, as for a plain HTTP client).  navigation: a
// top-level navigation, which carries Lax cookies across sites with a safe
// method (safe_method) and, with another method, those younger than two
// minutes that have no SameSite.
Context request_context(const SchemefulSite& url_site, const SchemefulSite* top, bool navigation,
                        bool safe_method) noexcept;
// The context of a response from url in a page of site top (nullptr: its
// own site): a Strict or Lax cookie may be set only in a Lax context.
Context response_context(const SchemefulSite& url_site, const SchemefulSite* top,
                         bool navigation) noexcept;

}  // namespace gco::jar
