#include "site.hpp"

#include "public_suffix.hpp"

namespace gco::jar {

std::string_view site_key(std::string_view domain, bool use_list) noexcept {
  std::string_view found = rules::registrable_domain(domain, use_list);
  return found.empty() ? domain : found;
}

std::string_view site_key(const RequestUrl& url, bool use_list) noexcept {
  const std::string_view host = url.host();
  uint32_t& begin = url.key_begin[use_list];
  // The key is the host or a suffix of it.
  if (begin == RequestUrl::kNoKeyYet) {
    begin = static_cast<uint32_t>(site_key(host, use_list).data() - host.data());
  }
  return {host.data() + begin, host.size() - begin};
}

void site_of(const RequestUrl& url, std::string_view key, SchemefulSite& out) noexcept {
  out.https = url.https;
  out.host = key;
}

// Chromium's rules for a request (its ComputeSameSiteContextForRequest):
// strictly same-site when the request's url, its initiator and the
// top-level site are all one site (schemefully: http and https are two
// sites); a cross-site top-level navigation is laxly same-site with a safe
// method and "lax, unsafe method" with another; any other cross-site
// request is cross-site.  The initiator of a request is taken to be the
// top-level page.
Context request_context(const SchemefulSite& url_site, const SchemefulSite* top, bool navigation,
                        bool safe_method) noexcept {
  if (top == nullptr || *top == url_site) return Context::kStrict;
  if (navigation) return safe_method ? Context::kLax : Context::kLaxMethodUnsafe;
  return Context::kCrossSite;
}

// For a response (ComputeSameSiteContextForResponse): the response to a
// top-level navigation may set any cookie; another response may set Strict
// and Lax ones only when its url is same-site with the top-level site.
// Setting needs no more than Lax, so a strict context counts as Lax.
Context response_context(const SchemefulSite& url_site, const SchemefulSite* top,
                         bool navigation) noexcept {
  if (navigation || top == nullptr || *top == url_site) return Context::kLax;
  return Context::kCrossSite;
}

}  // namespace gco::jar
