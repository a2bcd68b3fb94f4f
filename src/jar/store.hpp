// The cookies of a jar, indexed by site: the registrable domain of the
// cookie's domain (its eTLD+1), or the domain itself when it has none (an IP
// address, localhost, a public suffix).  A request only ever looks at the
// cookies of its own host's site, so its cost does not grow with the
// cookies of other sites.
//
// Everything here runs under the jar's lock with the thread state detached:
// no Python object is touched, and memory comes from the raw allocator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cookie.hpp"
#include "cookie_rules.hpp"
#include "memory.hpp"

namespace gco::jar {

struct Site {
  String key;
  uint64_t hash = 0;
  // In the order a Cookie header lists them: the longer path first, then
  // the older first (creation times are unique within a jar).
  Vector<Cookie*> cookies;
  size_t unpartitioned = 0;  // how many of them are not partitioned
};

// Sites by key: open addressing with linear probing over a power-of-two
// table, at most half full; removal shifts the following entries back, so
// the table needs no tombstones.
class SiteTable {
 public:
  SiteTable() noexcept = default;
  SiteTable(const SiteTable&) = delete;
  SiteTable& operator=(const SiteTable&) = delete;
  ~SiteTable();

  static uint64_t hash_of(std::string_view key) noexcept;
  Site* find(std::string_view key, uint64_t hash) const noexcept;
  // The site of the key, made (empty) when there is none; nullptr when
  // memory runs out.
  Site* find_or_add(std::string_view key, uint64_t hash) noexcept;
  // Removes and frees a site (its cookies are the caller's).
  void remove(Site* site) noexcept;
  size_t size() const noexcept { return count_; }

  template <class F>
  void each(F f) const noexcept {
    for (Site* site : slots_) {
      if (site != nullptr) f(site);
    }
  }

 private:
  bool grow() noexcept;
  size_t slot_of(std::string_view key, uint64_t hash) const noexcept;

  Vector<Site*> slots_;
  size_t count_ = 0;
};

// The limits a jar keeps to; 0 is no limit.
struct Limits {
  size_t max_cookies = 3300;
  size_t max_cookies_per_site = 180;
};

class Store {
 public:
  explicit Store(Limits limits) noexcept : limits(limits) {}
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
  ~Store();

  // A creation time for a cookie made now: now itself, or just after the
  // latest one handed out, so that creation times are unique and increase
  // (up to the last instant of year 9999, which may then repeat).
  Instant next_creation(Instant now) noexcept {
    last_creation = now > last_creation              ? now
                    : last_creation < rules::kLatest ? last_creation + 1
                                                     : last_creation;
    return last_creation;
  }

  Site* find(std::string_view key) const noexcept {
    return sites.find(key, SiteTable::hash_of(key));
  }
  // Puts the cookie (owned by the store from now on) into its place in the
  // site; false, with the cookie still the caller's, when memory runs out.
  bool insert(Site* site, Cookie* cookie) noexcept;
  // Takes the cookie at index out of the site and frees it.
  void erase(Site* site, size_t index) noexcept;
  // Takes out and frees, in one pass, every cookie of the site for which
  // doomed(cookie) is true (it runs before the cookie is freed).
  template <class F>
  void erase_if(Site* site, F doomed) noexcept {
    size_t kept = 0;
    const size_t size = site->cookies.size();
    for (size_t i = 0; i < size; i++) {
      Cookie* c = site->cookies[i];
      if (!doomed(c)) {
        site->cookies[kept++] = c;
        continue;
      }
      count--;
      if (!c->partitioned()) {
        unpartitioned--;
        site->unpartitioned--;
      }
      Cookie::destroy(c);
    }
    (void)site->cookies.resize(kept);  // shrinks: no allocation
  }
  // Removes the site when it holds no cookie any more.
  void drop_if_empty(Site* site) noexcept {
    if (site->cookies.empty()) sites.remove(site);
  }
  // Removes every cookie.
  void clear() noexcept;

  Limits limits;
  SiteTable sites;
  size_t count = 0;          // every cookie
  size_t unpartitioned = 0;  // the cookies that the limit over all sites counts
  Instant last_creation = kNullTime;
  // No cookie expires before this instant (a bound, lowered as cookies come
  // in, made exact by a full pass): cheap counts while nothing has expired.
  Instant earliest_expiry = kNoExpiry;
  // The earliest last-access time the limit over all sites knows of
  // (kNullTime until it first runs); it runs only when this is older than
  // its safe age.
  Instant earliest_access = kNullTime;
};

}  // namespace gco::jar
