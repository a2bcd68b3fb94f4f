// The request side: which cookies a request carries and the bytes of its
// Cookie header, as Chromium's CookieMonster::GetCookieListWithOptions and
// CookieBase::IncludeForRequestURL decide them.
#include <cstring>

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

// Copies n bytes, inline for the short names and values of most cookies
// (a call to memcpy costs more than copying them); two copies of a fixed
// size, which may overlap, cover 4 to 16 bytes.
void copy_bytes(char* to, const char* from, size_t n) {
  if (n > 16) {
    std::memcpy(to, from, n);
  } else if (n >= 8) {
    std::memcpy(to, from, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(to, from, 4);
    std::memcpy(to + n - 4, from + n - 4, 4);
  } else {
    for (size_t i = 0; i < n; i++) to[i] = from[i];
  }
}

// The cookies of the request's site, in header order (the site keeps them
// so), that pass each of Chromium's tests: the partition (a partitioned
// cookie only under its own top-level site), HttpOnly (not for script),
// Secure (only to a secure origin: https, or a loopback host over http),
// the domain, the path, and SameSite against the request's context, handed
// to each(const Cookie&) (false: memory ran out).  A cookie sent has its
// last access updated.
template <class F>
bool sent(Store& store, const Request& request, Changes* changes, F each) noexcept {
  Site* site = store.find(request.key);
  if (site == nullptr) return true;
  const Instant now = request.now;
  bool ok = remove_expired(store, site, now, changes);
  const std::string_view host = request.url->host();
  const std::string_view path = request.url->path();
  const bool trustworthy = request.url->trustworthy;
  site->each_while([&](Cookie* c) {
    if (c->partitioned() && (!request.partition->is(c->partition()) ||
                             c->cross_site_ancestor() != request.cross_site_ancestor)) {
      return true;
    }
    if (request.from_script && c->http_only()) return true;
    if (c->secure() && !trustworthy) return true;
    if (!domain_matches(*c, host) || !path_matches(c->path(), path)) return true;
    if (request.context < needed(*c, now)) return true;
    if (!each(*c)) return ok = false;
    if (request.update_access && now - c->last_access >= kAccessUpdateThreshold) {
      c->last_access = now;
      ok = record(changes, Change::Kind::kAccess, c) && ok;
    }
    return true;
  });
  store.drop_if_empty(site);
  return ok;
}

}  // namespace

bool path_matches(std::string_view cookie_path, std::string_view url_path) noexcept {
  // RFC 6265bis section 5.1.4: the cookie path is a prefix of the request
  // path, ending in "/" or followed by "/" there.
  const size_t n = cookie_path.size();
  if (n == 0 || url_path.size() < n || !equal_bytes(url_path.data(), cookie_path.data(), n)) {
    return false;
  }
  return n == url_path.size() || cookie_path.back() == '/' || url_path[n] == '/';
}

bool domain_matches(const Cookie& c, std::string_view host) noexcept {
  const std::string_view domain = c.domain();
  const size_t n = domain.size();
  if (host.size() == n) return equal_bytes(host.data(), domain.data(), n);
  return !c.host_only() && host.size() > n && host[host.size() - n - 1] == '.' &&
         equal_bytes(host.data() + host.size() - n, domain.data(), n);
}

bool each_sent(Store& store, const Request& request, Changes* changes,
               bool (*each)(const Cookie&, void*), void* data) noexcept {
  return sent(store, request, changes, [&](const Cookie& c) { return each(c, data); });
}

bool cookie_header(Store& store, const Request& request, String& out, Changes* changes) noexcept {
  out.clear();
  return sent(store, request, changes, [&](const Cookie& c) {
    // Room for a typical header at once, rather than growing by steps.
    if (out.capacity() == 0 && !out.reserve(512)) return false;
    // A cookie without a name is sent as its value alone (browsers keep such
    // cookies, and "=value" would read back as another name).
    const std::string_view name = c.name(), value = c.value();
    const bool first = out.empty();
    char* p = out.extend((first ? 0 : 2) + (name.empty() ? 0 : name.size() + 1) + value.size());
    if (p == nullptr) return false;
    if (!first) {
      *p++ = ';';
      *p++ = ' ';
    }
    if (!name.empty()) {
      copy_bytes(p, name.data(), name.size());
      p += name.size();
      *p++ = '=';
    }
    copy_bytes(p, value.data(), value.size());
    return true;
  });
}

}  // namespace gco::jar
