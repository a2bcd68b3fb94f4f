// Eviction, as Chromium's CookieMonster::GarbageCollect and
// GarbageCollectPartitionedCookies keep their limits after each cookie is
// set.  Chromium's figures are for the default limits (180 cookies per
// site purged to 150 with priority quotas of 30, 50 and 70; 3300 in all
// purged to 3000); other limits scale them.
#include <algorithm>
#include <functional>

#include "operations.hpp"

namespace gco::jar {

namespace {

constexpr Instant kDay = 86400 * kSecond;
// Chromium spares cookies used in the last 30 days from the purge over all
// sites (kSafeFromGlobalPurgeDays).
constexpr Instant kSafeFromGlobalPurge = 30 * kDay;
// The limits of one partition's cookies of one site (kPerPartitionDomain-
// MaxCookies and kPerPartitionDomainMaxCookieBytes: names and values).
constexpr size_t kPartitionMaxCookies = 180;
constexpr size_t kPartitionMaxBytes = 10240;

// Least recently used first; of two used at the same time, the older first
// (Chromium's LRACookieSorter).
bool used_earlier(const Cookie* a, const Cookie* b) {
  return a->last_access != b->last_access ? a->last_access < b->last_access
                                          : a->creation < b->creation;
}

// Whether c is one of the doomed cookies (sorted by address).
bool is_doomed(const Vector<Cookie*>& doomed, const Cookie* c) {
  return std::binary_search(doomed.begin(), doomed.end(), c, std::less<const Cookie*>());
}

// Removes the doomed cookies of a site in one pass.
bool remove_doomed(Store& store, Site* site, Vector<Cookie*>& doomed, Changes* changes) {
  if (doomed.empty()) return true;
  std::sort(doomed.begin(), doomed.end(), std::less<const Cookie*>());
  return remove_where(store, site, [&](const Cookie* c) { return is_doomed(doomed, c); }, changes);
}

// One round of the purge of a site (Chromium's PurgeLeastRecentMatches): of
// the cookies of one priority, least recently used first, delete up to
// purge_goal, sparing quota of them; with protect_secure, delete only
// non-secure ones and spare at least as many as there are secure ones.
// The ones deleted leave lru (nullptr in their place) for doomed.
size_t purge_round(Vector<Cookie*>& lru, Vector<Cookie*>& doomed, Priority priority, size_t quota,
                   size_t purge_goal, bool protect_secure) {
  size_t at_priority = 0, secure = 0;
  for (const Cookie* c : lru) {
    if (c != nullptr && c->effective_priority() == priority) {
      at_priority++;
      secure += c->secure();
    }
  }
  if (at_priority <= quota) return 0;
  size_t deletable = at_priority - (protect_secure ? std::max(secure, quota) : quota);
  size_t removed = 0;
  for (size_t i = 0; removed < purge_goal && i < lru.size() && deletable > 0; i++) {
    Cookie* c = lru[i];
    if (c != nullptr && c->effective_priority() == priority && !(protect_secure && c->secure())) {
      (void)doomed.push_back(c);  // reserved
      lru[i] = nullptr;
      removed++;
      deletable--;
    }
  }
  return removed;
}

// A site over its limit is purged to five sixths of it (180 to 150), in six
// rounds: low-priority non-secure cookies, low-priority secure, medium
// non-secure, high non-secure, medium secure, high secure; each round keeps
// its priority's quota (of the 150: 30 low, 50 medium, 70 high, that is a
// sixth, five eighteenths and the rest of the limit).
bool purge_site(Store& store, Site* site, Changes* changes) {
  const size_t limit = store.limits.max_cookies_per_site;
  const size_t target = limit - limit / 6;
  Vector<Cookie*> lru, doomed;
  if (!lru.reserve(site->unpartitioned) || !doomed.reserve(site->unpartitioned)) return false;
  site->each([&](Cookie* c) {
    if (!c->partitioned()) (void)lru.push_back(c);  // reserved
  });
  std::sort(lru.begin(), lru.end(), used_earlier);
  size_t purge_goal = lru.size() - target;
  const size_t low = limit / 6, medium = limit * 5 / 18, high = target - low - medium;
  static constexpr struct {
    Priority priority;
    bool protect_secure;
  } kRounds[] = {
      {Priority::kLow, true},  {Priority::kLow, false},    {Priority::kMedium, true},
      {Priority::kHigh, true}, {Priority::kMedium, false}, {Priority::kHigh, false},
  };
  for (const auto& round : kRounds) {
    if (purge_goal == 0) break;
    size_t quota = round.priority == Priority::kLow      ? low
                   : round.priority == Priority::kMedium ? medium
                                                         : high;
    purge_goal -= purge_round(lru, doomed, round.priority, quota, purge_goal, round.protect_secure);
  }
  return remove_doomed(store, site, doomed, changes);
}

struct Located {
  Site* site;
  Cookie* cookie;
};

// Of cookies sorted least recently used first, deletes the first goal of
// them that were last used before safe (Chromium's
// GarbageCollectLeastRecentlyAccessed); *earliest becomes the last use of
// the first cookie kept, when there is one.  Chromium sorts only the first
// goal of them, so the cookie it reads there is any of the others; the
// least recently used of them is taken here.
size_t purge_unused(Store& store, Vector<Located>& cookies, size_t goal, Instant safe,
                    Instant* earliest, Changes* changes, bool& ok) {
  std::sort(cookies.begin(), cookies.end(),
            [](const Located& a, const Located& b) { return used_earlier(a.cookie, b.cookie); });
  size_t deleted = 0;
  while (deleted < goal && cookies[deleted].cookie->last_access < safe) deleted++;
  if (deleted < cookies.size()) *earliest = cookies[deleted].cookie->last_access;
  // Site by site, each in one pass.
  std::sort(cookies.begin(), cookies.begin() + deleted, [](const Located& a, const Located& b) {
    return std::less<const Site*>()(a.site, b.site);
  });
  Vector<Cookie*> doomed;
  for (size_t i = 0; i < deleted;) {
    Site* site = cookies[i].site;
    doomed.clear();
    for (; i < deleted && cookies[i].site == site; i++) {
      if (!doomed.push_back(cookies[i].cookie)) return ok = false, 0;
    }
    ok = remove_doomed(store, site, doomed, changes) && ok;
  }
  return deleted;
}

// Over the limit of all sites (and only when some cookie may be old enough
// to go), the jar is purged to ten elevenths of it (3300 to 3000), least
// recently used first, non-secure cookies before secure ones, sparing every
// cookie used in the last 30 days.  Chromium remembers the earliest last
// use it saw, and runs the purge again only when that is older than 30 days
// (so a fresh profile keeps more than 3300 cookies for a month).
bool purge_all(Store& store, Site* current, Instant now, Changes* changes) {
  const size_t limit = store.limits.max_cookies;
  const Instant safe = now - kSafeFromGlobalPurge;
  if (store.unpartitioned <= limit || store.earliest_access >= safe) return true;
  bool ok = true;
  store.sites.each([&](Site* site) {
    ok = remove_where(
             store, site, [&](const Cookie* c) { return !c->partitioned() && c->expired_at(now); },
             changes) &&
         ok;
  });
  if (store.unpartitioned > limit) {
    size_t purge_goal = store.unpartitioned - (limit - limit / 11);
    Vector<Located> secure, insecure;
    if (!secure.reserve(store.unpartitioned) || !insecure.reserve(store.unpartitioned)) {
      return false;
    }
    store.sites.each([&](Site* site) {
      site->each([&](Cookie* c) {
        if (!c->partitioned()) (void)(c->secure() ? secure : insecure).push_back(Located{site, c});
      });
    });
    Instant earliest_insecure = kNullTime, earliest_secure = kNullTime;
    size_t insecure_goal = std::min(purge_goal, insecure.size());
    size_t deleted =
        purge_unused(store, insecure, insecure_goal, safe, &earliest_insecure, changes, ok);
    if (secure.empty()) {
      store.earliest_access = earliest_insecure;
    } else if (deleted < purge_goal) {
      size_t secure_goal = std::min(purge_goal - deleted, secure.size());
      purge_unused(store, secure, secure_goal, safe, &earliest_secure, changes, ok);
      store.earliest_access = earliest_insecure != kNullTime && earliest_insecure < earliest_secure
                                  ? earliest_insecure
                                  : earliest_secure;
    }
  }
  Vector<Site*> emptied;
  store.sites.each([&](Site* site) {
    if (site != current && site->empty()) ok = emptied.push_back(site) && ok;
  });
  for (Site* site : emptied) store.drop_if_empty(site);
  return ok;
}

// A partition's cookies of one site over 180 or over 10,240 bytes of names
// and values lose their expired ones, then the least recently used until
// both limits hold.
bool purge_partition(Store& store, Site* site, const CookieFields& set, Instant now,
                     Changes* changes) {
  auto in_partition = [&](const Cookie* c) {
    return c->partitioned() && c->partition() == set.partition &&
           c->cross_site_ancestor() == set.cross_site_ancestor;
  };
  size_t count = 0, bytes = 0;
  site->each([&](const Cookie* c) {
    if (in_partition(c)) {
      count++;
      bytes += c->name_value_size();
    }
  });
  if (count <= kPartitionMaxCookies && bytes <= kPartitionMaxBytes) return true;
  bool ok = remove_where(
      store, site, [&](const Cookie* c) { return in_partition(c) && c->expired_at(now); }, changes);
  Vector<Cookie*> lru, doomed;
  bytes = 0;
  const bool listed = site->each_while([&](Cookie* c) {
    if (!in_partition(c)) return true;
    bytes += c->name_value_size();
    return lru.push_back(c);
  });
  if (!listed) return false;
  std::sort(lru.begin(), lru.end(), used_earlier);
  for (size_t i = 0; bytes > kPartitionMaxBytes || lru.size() - i > kPartitionMaxCookies; i++) {
    bytes -= lru[i]->name_value_size();
    if (!doomed.push_back(lru[i])) return false;
  }
  return remove_doomed(store, site, doomed, changes) && ok;
}

}  // namespace

bool remove_expired(Store& store, Site* site, Instant now, Changes* changes) noexcept {
  if (now < site->earliest_expiry) return true;  // nothing can have expired
  Instant earliest = kNoExpiry;
  const bool ok = remove_where(
      store, site,
      [&](const Cookie* c) {
        if (c->expired_at(now)) return true;
        if (c->expiry < earliest) earliest = c->expiry;
        return false;
      },
      changes);
  site->earliest_expiry = earliest;  // exact again
  return ok;
}

bool collect_garbage(Store& store, Site* site, const CookieFields& set, Instant now,
                     Changes* changes) noexcept {
  const size_t per_site = store.limits.max_cookies_per_site;
  if (set.partitioned) {
    // Partitioned cookies have limits of their own, kept unless the jar
    // keeps none per site; they count toward no other limit.
    return per_site == 0 || purge_partition(store, site, set, now, changes);
  }
  bool ok = true;
  if (per_site != 0 && site->unpartitioned > per_site) {
    ok = remove_where(
        store, site, [&](const Cookie* c) { return !c->partitioned() && c->expired_at(now); },
        changes);
    if (site->unpartitioned > per_site) ok = purge_site(store, site, changes) && ok;
  }
  if (store.limits.max_cookies != 0) ok = purge_all(store, site, now, changes) && ok;
  return ok;
}

}  // namespace gco::jar
