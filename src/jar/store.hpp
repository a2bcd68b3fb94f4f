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

// A site's cookies of one path length, the oldest first.  A cookie taken out
// on its own leaves a hole (nullptr) that a later pass closes, so that
// replacing one cookie of a big site moves none of the others.
struct PathGroup {
  uint32_t path_length = 0;
  uint32_t holes = 0;
  Vector<Cookie*> cookies;  // never ends in a hole
  // Two of its cookies may share a creation time (the end of year 9999,
  // loaded rows): only then does a replacement in place look for a tie.
  bool tied = false;

  size_t live() const noexcept { return cookies.size() - holes; }
};

struct Site {
  String key;
  uint64_t hash = 0;
  // The groups in the order a Cookie header lists their cookies: the longer
  // path first; within a group the older first (creation times are unique
  // within a jar, but for ties at the end of year 9999 and between loaded
  // rows, which keep their order of insertion).
  Vector<PathGroup> groups;
  size_t count = 0;          // its cookies
  size_t unpartitioned = 0;  // how many of them are not partitioned
  // No cookie of the site expires before this instant (a bound, lowered as
  // cookies come in, made exact by a pass that removes the expired ones):
  // a request skips that pass while nothing can have expired.
  Instant earliest_expiry = kNoExpiry;
  // The cookies by name, open addressing over a power-of-two table at most
  // half full, kept only while the site is big (kIndexFrom): replacing a
  // cookie then looks at those of its name alone.
  Vector<Cookie*> names;

  bool empty() const noexcept { return count == 0; }
  // f(Cookie*) for each cookie, in Cookie header order.
  template <class F>
  void each(F f) const noexcept {
    for (const PathGroup& g : groups) {
      for (Cookie* c : g.cookies) {
        if (c != nullptr) f(c);
      }
    }
  }
  // The same, until f returns false; false then.
  template <class F>
  bool each_while(F f) const noexcept {
    for (const PathGroup& g : groups) {
      for (Cookie* c : g.cookies) {
        if (c != nullptr && !f(c)) return false;
      }
    }
    return true;
  }
  // f(Cookie*) for each cookie named name (and perhaps others: f checks).
  template <class F>
  void each_named(std::string_view name, F f) const noexcept {
    if (names.empty()) return each(f);
    const size_t mask = names.size() - 1;
    for (size_t i = name_hash(name) & mask; names[i] != nullptr; i = (i + 1) & mask) {
      if (names[i]->name() == name) f(names[i]);
    }
  }

  // A site with more cookies than this keeps the index by name.
  static constexpr size_t kIndexFrom = 32;
  static uint64_t name_hash(std::string_view name) noexcept;
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
  // Room for one more cookie of that path length in the site, so that the
  // insert() that follows cannot fail; false when memory runs out (the
  // site may then hold an empty group, which is harmless).
  bool reserve_one(Site* site, size_t path_length) noexcept;
  // Puts the cookie (owned by the store from now on) into its place in the
  // site; reserve_one() made room for it.
  void insert(Site* site, Cookie* cookie) noexcept;
  // Puts fresh, of the same path and creation time as old, in old's place
  // and frees old, when that is where insert() would put it (no tie with
  // the next cookie); false, changing nothing, otherwise.
  bool replace(Site* site, Cookie* old, Cookie* fresh) noexcept;
  // Takes the cookie out of the site and frees it.
  void erase(Site* site, Cookie* cookie) noexcept;
  // Takes out and frees, in one pass, every cookie of the site for which
  // doomed(cookie) is true (it runs before the cookie is freed); the
  // site's holes are closed on the way.
  template <class F>
  void erase_if(Site* site, F doomed) noexcept {
    size_t emptied = 0;
    for (PathGroup& g : site->groups) {
      size_t kept = 0;
      const size_t size = g.cookies.size();
      for (size_t i = 0; i < size; i++) {
        Cookie* c = g.cookies[i];
        if (c == nullptr) continue;
        if (!doomed(c)) {
          c->slot = static_cast<uint32_t>(kept);
          g.cookies[kept++] = c;
          continue;
        }
        forget(site, c);
        Cookie::destroy(c);
      }
      (void)g.cookies.resize(kept);  // shrinks: no allocation
      g.holes = 0;
      emptied += kept == 0;
    }
    if (emptied != 0) drop_empty_groups(site);
    if (site->count < Site::kIndexFrom / 2) site->names = Vector<Cookie*>();
  }
  // Removes the site when it holds no cookie any more.
  void drop_if_empty(Site* site) noexcept {
    if (site->empty()) sites.remove(site);
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

 private:
  // Takes a cookie out of the counts and the index (not out of its group).
  void forget(Site* site, Cookie* cookie) noexcept;
  void drop_empty_groups(Site* site) noexcept;
};

}  // namespace gco::jar
