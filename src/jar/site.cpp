#include "site.hpp"

#include "evaluate.hpp"  // temporary: the suffix list, until it moves to the kit

namespace gco::jar {

namespace {

// 1 when the domain is a public suffix, 0 when not, -1 with an exception set.
int is_public_suffix(std::string_view domain, bool use_list) noexcept {
  browser::use_public_suffix_list = use_list;
  return browser::is_public_suffix(domain);
}

}  // namespace

int registrable_domain(std::string_view host, bool ip, bool use_list,
                       std::string_view* out) noexcept {
  *out = {};
  if (ip || host.empty()) return 0;
  // A trailing dot stays on the result but takes no part in the labels.
  std::string_view bare = host.ends_with('.') ? host.substr(0, host.size() - 1) : host;
  // The shortest suffix that is not a public suffix itself, from the last
  // label leftwards.
  size_t start = bare.size();
  while (true) {
    size_t dot = start == 0 ? std::string_view::npos : bare.rfind('.', start - 1);
    start = dot == std::string_view::npos ? 0 : dot + 1;
    std::string_view suffix = bare.substr(start);
    int answer = is_public_suffix(suffix, use_list);
    if (answer < 0) return -1;
    if (answer == 0) {
      if (suffix.empty() || suffix.starts_with('.')) return 0;
      *out = host.substr(start);
      return 1;
    }
    if (start == 0) return 0;
    start--;  // onto the dot before the suffix
  }
}

bool site_key(std::string_view domain, bool ip, bool use_list, std::string_view* out) noexcept {
  int found = registrable_domain(domain, ip, use_list, out);
  if (found < 0) return false;
  if (found == 0) *out = domain;
  return true;
}

bool site_of(const RequestUrl& url, bool use_list, SchemefulSite& out) noexcept {
  std::string_view key;
  if (!site_key(url.host.view(), url.ip, use_list, &key)) return false;
  out.https = url.https;
  if (!out.host.assign(key)) return no_memory();
  return true;
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
