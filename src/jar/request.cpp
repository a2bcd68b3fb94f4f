// The request side: which cookies a request carries and the bytes of its
// Cookie header, as Chromium's CookieMonster::GetCookieListWithOptions and
// CookieBase::IncludeForRequestURL decide them.
#include "operations.hpp"

namespace gco::jar {

namespace {

// Chromium updates a cookie's last access at most once a minute
// (kDefaultAccessUpdateThresholdSeconds).
constexpr Instant kAccessUpdateThreshold = 60 * kSecond;
// A cookie without SameSite younger than this is sent on a cross-site
// top-level navigation with an unsafe method (Chromium's
// kLaxAllowUnsafeMaxAge, "Lax-allowing-unsafe").
constexpr Instant kLaxAllowUnsafeMaxAge = 120 * kSecond;

// The weakest context in which the cookie is sent at now.
Context needed(const Cookie& c, Instant now) {
  switch (c.same_site()) {
    case SameSite::kStrict:
      return Context::kStrict;
    case SameSite::kLax:
      return Context::kLax;
    case SameSite::kNone:
      return Context::kCrossSite;
    case SameSite::kUnspecified:
      break;
  }
  // No SameSite is read as Lax, except that a recent cookie also goes with
  // an unsafe method.
  return now - c.creation <= kLaxAllowUnsafeMaxAge ? Context::kLaxMethodUnsafe : Context::kLax;
}

bool append_to_header(const Cookie& c, void* data) {
  String& out = *static_cast<String*>(data);
  // A cookie without a name is sent as its value alone (browsers keep such
  // cookies, and "=value" would read back as another name).
  return (out.empty() || out.append("; ")) &&
         (c.name().empty() || (out.append(c.name()) && out.push_back('='))) &&
         out.append(c.value());
}

}  // namespace

bool path_matches(std::string_view cookie_path, std::string_view url_path) noexcept {
  // RFC 6265bis section 5.1.4: the cookie path is a prefix of the request
  // path, ending in "/" or followed by "/" there.
  if (cookie_path.empty() || !gco::starts_with(url_path, cookie_path)) return false;
  return cookie_path.size() == url_path.size() || cookie_path.back() == '/' ||
         url_path[cookie_path.size()] == '/';
}

bool domain_matches(const Cookie& c, std::string_view host) noexcept {
  std::string_view domain = c.domain();
  if (host == domain) return true;
  return !c.host_only() && host.size() > domain.size() && gco::ends_with(host, domain) &&
         host[host.size() - domain.size() - 1] == '.';
}

// The cookies of the request's site, in header order (the site keeps them
// so), that pass each of Chromium's tests: the partition (a partitioned
// cookie only under its own top-level site), HttpOnly (not for script),
// Secure (only to a secure origin: https, or a loopback host over http),
// the domain, the path, and SameSite against the request's context.  A
// cookie sent has its last access updated.
bool each_sent(Store& store, const Request& request, Changes* changes,
               bool (*each)(const Cookie&, void*), void* data) noexcept {
  Site* site = store.find(request.key);
  if (site == nullptr) return true;
  const Instant now = request.now;
  bool ok = remove_expired(store, site, now, changes);
  const std::string_view host = request.url->host();
  const std::string_view path = request.url->path();
  for (Cookie* c : site->cookies) {
    if (c->partitioned() && (!request.partition->is(c->partition()) ||
                             c->cross_site_ancestor() != request.cross_site_ancestor)) {
      continue;
    }
    if (request.from_script && c->http_only()) continue;
    if (c->secure() && !request.url->trustworthy) continue;
    if (!domain_matches(*c, host) || !path_matches(c->path(), path)) continue;
    if (request.context < needed(*c, now)) continue;
    if (!each(*c, data)) {
      ok = false;
      break;
    }
    if (request.update_access && now - c->last_access >= kAccessUpdateThreshold) {
      c->last_access = now;
      ok = record(changes, Change::Kind::kAccess, c) && ok;
    }
  }
  store.drop_if_empty(site);
  return ok;
}

bool cookie_header(Store& store, const Request& request, String& out, Changes* changes) noexcept {
  out.clear();
  // Room for a typical header at once, rather than growing byte by byte.
  return out.reserve(512) && each_sent(store, request, changes, append_to_header, &out);
}

}  // namespace gco::jar
