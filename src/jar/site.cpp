#include "site.hpp"

#include <cstdint>
#include <cstring>

#include "evaluate.hpp"  // temporary: the suffix list, until it moves to the kit

namespace gco::jar {

namespace {

// 1 when the domain is a public suffix, 0 when not, -1 with an exception set.
int is_public_suffix(std::string_view domain, bool use_list) noexcept {
  browser::use_public_suffix_list = use_list;
  return browser::is_public_suffix(domain);
}

// The registrable domain of the last hosts seen, as the offset where it
// starts in the host (-1: none): requests name the same hosts again and
// again.  Used with the interpreter held, before any jar is locked.
struct CacheEntry {
  uint64_t hash;
  int32_t offset;
  uint8_t size;
  bool use_list;
  char host[50];
};
CacheEntry cache[256];

uint64_t hash_of(std::string_view host) {
  uint64_t h = 14695981039346656037ULL;
  for (unsigned char c : host) h = (h ^ c) * 1099511628211ULL;
  return h;
}

int find_registrable(std::string_view host, bool use_list, std::string_view* out) noexcept;

}  // namespace

int registrable_domain(std::string_view host, bool ip, bool use_list,
                       std::string_view* out) noexcept {
  *out = {};
  if (ip || host.empty()) return 0;
  if (host.size() > sizeof cache[0].host) return find_registrable(host, use_list, out);
  uint64_t hash = hash_of(host);
  CacheEntry& entry = cache[(hash ^ (hash >> 32)) & 255];
  if (entry.hash == hash && entry.size == host.size() && entry.use_list == use_list &&
      std::memcmp(entry.host, host.data(), host.size()) == 0) {
    if (entry.offset < 0) return 0;
    *out = host.substr(static_cast<size_t>(entry.offset));
    return 1;
  }
  int found = find_registrable(host, use_list, out);
  if (found >= 0) {
    entry.hash = hash;
    entry.size = static_cast<uint8_t>(host.size());
    entry.use_list = use_list;
    entry.offset = found ? static_cast<int32_t>(out->data() - host.data()) : -1;
    std::memcpy(entry.host, host.data(), host.size());
  }
  return found;
}

namespace {

int find_registrable(std::string_view host, bool use_list, std::string_view* out) noexcept {
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

}  // namespace

bool site_key(std::string_view domain, bool ip, bool use_list, std::string_view* out) noexcept {
  int found = registrable_domain(domain, ip, use_list, out);
  if (found < 0) return false;
  if (found == 0) *out = domain;
  return true;
}

bool site_of(const RequestUrl& url, std::string_view key, SchemefulSite& out) noexcept {
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
