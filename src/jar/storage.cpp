// The storage model as Chromium applies it (RFC 6265bis section 5.7, its
// CookieMonster::SetCanonicalCookie): replacement by name, domain,
// host-only, path and partition; Secure cookies left alone by insecure
// origins; HttpOnly cookies kept from script; deletion by an expired
// cookie.  And the listings and removals a caller asks for.
#include <algorithm>

#include "operations.hpp"
#include "text.hpp"

namespace gco::jar {

namespace {

// Whether sub is super or one of its subdomains.
bool is_subdomain_of(std::string_view sub, std::string_view super) {
  return sub == super || (sub.size() > super.size() && gco::ends_with(sub, super) &&
                          sub[sub.size() - super.size() - 1] == '.');
}

// Whether a new cookie would shadow a Secure one in a Cookie header (Chromium's
// IsEquivalentForSecureCookieMatching, from the "Leave Secure Cookies
// Alone" draft): the same name and partition, domains that domain-match in
// one direction or the other, and the new path on the Secure cookie's path.
// The path test is one-way: a new cookie on /a/b would come before a Secure
// one on /a in the header, one on /a after a Secure one on /a/b.
bool shadows(const CookieFields& fresh, const Cookie& secure) {
  return fresh.partitioned == secure.partitioned() && fresh.partition == secure.partition() &&
         fresh.cross_site_ancestor == secure.cross_site_ancestor() && fresh.name == secure.name() &&
         (is_subdomain_of(fresh.domain, secure.domain()) ||
          is_subdomain_of(secure.domain(), fresh.domain)) &&
         path_matches(secure.path(), fresh.path);
}

// The key of a cookie, what replaces what (the fields rows.hpp lists in
// kKeyFields).
bool same_key(const CookieFields& fresh, const Cookie& c) {
  return fresh.host_only == c.host_only() && fresh.partitioned == c.partitioned() &&
         fresh.name == c.name() && fresh.domain == c.domain() && fresh.path == c.path() &&
         fresh.partition == c.partition() && fresh.cross_site_ancestor == c.cross_site_ancestor();
}

bool same_key(const Cookie& a, const Cookie& c) {
  return a.host_only() == c.host_only() && a.partitioned() == c.partitioned() &&
         a.name() == c.name() && a.domain() == c.domain() && a.path() == c.path() &&
         a.partition() == c.partition() && a.cross_site_ancestor() == c.cross_site_ancestor();
}

using text::next_code;

bool selected(const Selection& s, const Cookie& c) {
  return (s.domain == nullptr || s.domain->matches(c.domain())) &&
         (s.path == nullptr || s.path->matches(c.path())) &&
         (s.name == nullptr || s.name->matches(c.name())) && (!s.session_only || !c.persistent()) &&
         (!s.persistent_only || c.persistent()) && (!s.expired_only || c.expired_at(s.now));
}

// Each site the selection may concern: the site of its key, or all.
template <class F>
void each_site(Store& store, const Selection& s, F f) {
  if (s.key != nullptr) {
    if (Site* site = store.find(*s.key)) f(site);
    return;
  }
  store.sites.each(f);
}

}  // namespace

bool TextKey::matches(std::string_view stored) const noexcept {
  if (!is_text) return stored == bytes;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(stored.data());
  const unsigned char* end = p + stored.size();
  size_t i = 0;
  while (p < end) {
    if (i == text.size() || next_code(p, end) != text[i]) return false;
    i++;
  }
  return i == text.size();
}

bool record(Changes* changes, Change::Kind kind, const Cookie* cookie) noexcept {
  if (changes == nullptr) return true;
  CookieCopy copy(cookie->clone());
  return copy && changes->push_back(Change{kind, std::move(copy)});
}

bool revert(Store& store, Changes& changes, bool use_list) noexcept {
  bool ok = true;
  for (size_t i = changes.size(); i-- > 0;) {
    Change& change = changes[i];
    const Cookie& c = *change.cookie.get();
    const std::string_view key = site_key(c.domain(), use_list);
    if (change.kind == Change::Kind::kInsert) {
      if (Site* site = store.find(key)) {
        Cookie* found = nullptr;
        site->each_named(c.name(), [&](Cookie* held) {
          if (found == nullptr && same_key(c, *held)) found = held;
        });
        if (found != nullptr) store.erase(site, found);
        store.drop_if_empty(site);
      }
    } else if (change.kind == Change::Kind::kDelete) {
      Site* site = store.sites.find_or_add(key, SiteTable::hash_of(key));
      if (site == nullptr || !store.reserve_one(site, c.path().size())) {
        if (site != nullptr) store.drop_if_empty(site);
        ok = false;
        continue;
      }
      store.insert(site, change.cookie.release());
    }
  }
  changes.clear();
  return ok;
}

namespace {

// Puts fresh into the site in place of replaced (nullptr: none), both
// recorded first (a record that memory cannot hold changes nothing); the
// room was reserved.  fresh goes in before replaced comes out, so that
// their group never empties between the two (which would drop it and need
// memory again).
bool put(Store& store, Site* site, Cookie* replaced, Cookie* fresh, Changes* changes) noexcept {
  if (changes != nullptr) {
    const size_t before = changes->size();
    if ((replaced != nullptr && !record(changes, Change::Kind::kDelete, replaced)) ||
        !record(changes, Change::Kind::kInsert, fresh)) {
      while (changes->size() > before) changes->pop_back();
      Cookie::destroy(fresh);
      return false;
    }
  }
  if (replaced == nullptr || !store.replace(site, replaced, fresh)) {
    store.insert(site, fresh);
    if (replaced != nullptr) store.erase(site, replaced);
  }
  return true;
}

}  // namespace

// Chromium first checks the cookie against its context (done by the caller),
// then looks at every cookie of the site in the same partition: a Secure one
// that the new cookie would shadow refuses it when the origin is insecure,
// and the equivalent one (at most one) is replaced, unless it is HttpOnly and
// the cookie comes from script.  A replaced cookie with the same value hands
// its creation time on, so the cookie keeps its place in the header.  An
// expired cookie only deletes.  Then the limits are kept.  Both tests need
// the same name, so only the cookies of that name are looked at.
SetOutcome apply_set(Store& store, const SetRequest& request, Instant now,
                     Changes* changes) noexcept {
  const CookieFields& f = request.fields;
  const Instant creation = store.next_creation(now);
  Site* site = store.find(request.key);
  Cookie* replaced = nullptr;
  bool refused = false;
  if (site != nullptr) {
    site->each_named(f.name, [&](Cookie* c) {
      if (c->secure() && !request.secure_origin && shadows(f, *c)) refused = true;
      if (same_key(f, *c)) {
        if (request.from_script && c->http_only()) {
          refused = true;
        } else {
          replaced = c;
        }
      }
    });
  }
  if (refused) return SetOutcome::kRefused;

  Cookie* fresh = nullptr;
  if (!request.expired) {
    CookieFields fields = f;
    fields.creation = creation;
    fields.last_access = creation;
    if (replaced != nullptr && replaced->value() == f.value) fields.creation = replaced->creation;
    fresh = Cookie::make(fields);
    if (fresh == nullptr) return SetOutcome::kNoMemory;
    if (site == nullptr)
      site = store.sites.find_or_add(request.key, SiteTable::hash_of(request.key));
    // Room for it before the replaced one goes: a failure loses nothing.
    if (site == nullptr || !store.reserve_one(site, f.path.size())) {
      Cookie::destroy(fresh);
      if (site != nullptr) store.drop_if_empty(site);
      return SetOutcome::kNoMemory;
    }
  }
  bool ok = true;
  if (fresh != nullptr) {
    ok = put(store, site, replaced, fresh, changes);
  } else if (replaced != nullptr) {
    ok = record(changes, Change::Kind::kDelete, replaced);
    if (ok) store.erase(site, replaced);
  }
  if (site != nullptr) {
    ok = ok && collect_garbage(store, site, f, now, changes);
    store.drop_if_empty(site);
  }
  if (!ok) return SetOutcome::kNoMemory;
  return request.expired ? SetOutcome::kDeleted : SetOutcome::kStored;
}

bool apply_load(Store& store, const CookieFields& f, std::string_view key, Instant now,
                Changes* changes, bool keep_limits) noexcept {
  Site* site = store.find(key);
  Cookie* replaced = nullptr;
  if (site != nullptr) {
    site->each_named(f.name, [&](Cookie* c) {
      if (replaced == nullptr && same_key(f, *c)) replaced = c;
    });
  }
  Cookie* fresh = Cookie::make(f);
  if (fresh == nullptr) return false;
  if (site == nullptr) site = store.sites.find_or_add(key, SiteTable::hash_of(key));
  // Room for it before the replaced one goes: a failure loses nothing.
  if (site == nullptr || !store.reserve_one(site, f.path.size())) {
    Cookie::destroy(fresh);
    if (site != nullptr) store.drop_if_empty(site);
    return false;
  }
  if (!put(store, site, replaced, fresh, changes)) {
    store.drop_if_empty(site);
    return false;
  }
  if (f.creation > store.last_creation) store.last_creation = f.creation;
  const bool ok = !keep_limits || collect_garbage(store, site, f, now, changes);
  store.drop_if_empty(site);
  return ok;
}

Py_ssize_t remove_selected(Store& store, const Selection& selection, Changes* changes) noexcept {
  Py_ssize_t removed = 0;
  bool ok = true;
  Vector<Site*> emptied;
  each_site(store, selection, [&](Site* site) {
    const size_t before = site->count;
    ok = remove_where(
             store, site, [&](const Cookie* c) { return selected(selection, *c); }, changes) &&
         ok;
    removed += static_cast<Py_ssize_t>(before - site->count);
    if (site->empty() && !emptied.push_back(site)) ok = false;
  });
  for (Site* site : emptied) store.drop_if_empty(site);
  return ok ? removed : -1;
}

int remove_exact(Store& store, const CookieFields& key, const TextKey* path,
                 std::string_view site_key, Changes* changes, bool keep, Instant now) noexcept {
  Site* site = store.find(site_key);
  if (site == nullptr) return 0;
  Cookie* found = nullptr;
  site->each_named(key.name, [&](Cookie* c) {
    if (found != nullptr) return;
    CookieFields fields = key;
    if (path != nullptr) {
      if (!path->matches(c->path())) return;
      fields.path = c->path();
    }
    if (same_key(fields, *c)) found = c;
  });
  if (found == nullptr) return 0;
  if (keep) return found->expired_at(now) ? 0 : 1;
  if (!record(changes, Change::Kind::kDelete, found)) return -1;
  store.erase(site, found);
  store.drop_if_empty(site);
  return 1;
}

bool snapshot(Store& store, Instant now, Vector<CookieCopy>& out, Changes* changes) noexcept {
  Selection expired;
  expired.expired_only = true;
  expired.now = now;
  if (now >= store.earliest_expiry && remove_selected(store, expired, changes) < 0) return false;
  if (!out.reserve(store.count)) return false;
  bool ok = true;
  store.sites.each([&](Site* site) {
    site->each([&](const Cookie* c) {
      CookieCopy copy(c->clone());
      ok = ok && copy && out.push_back(std::move(copy));
    });
  });
  if (!ok) return false;
  std::sort(out.begin(), out.end(), [](const CookieCopy& a, const CookieCopy& b) {
    size_t pa = a->path().size(), pb = b->path().size();
    return pa != pb ? pa > pb : a->creation < b->creation;
  });
  return true;
}

size_t live_count(Store& store, Instant now, Changes* changes) noexcept {
  if (now < store.earliest_expiry) return store.count;
  Selection expired;
  expired.expired_only = true;
  expired.now = now;
  (void)remove_selected(store, expired, changes);
  // Exact again: the earliest expiry of what is left.
  Instant earliest = kNoExpiry;
  store.sites.each([&](Site* site) {
    site->each([&](const Cookie* c) { earliest = c->expiry < earliest ? c->expiry : earliest; });
  });
  store.earliest_expiry = earliest;
  return store.count;
}

bool find_one(Store& store, const Selection& selection, CookieCopy& out) noexcept {
  const Cookie* best = nullptr;
  // Host-only before a domain cookie, then the longest domain, the longest
  // path, the newest.
  auto better = [](const Cookie* a, const Cookie* b) {
    if (a->host_only() != b->host_only()) return a->host_only();
    if (a->domain().size() != b->domain().size()) return a->domain().size() > b->domain().size();
    if (a->path().size() != b->path().size()) return a->path().size() > b->path().size();
    return a->creation > b->creation;
  };
  each_site(store, selection, [&](Site* site) {
    site->each([&](const Cookie* c) {
      if (!c->expired_at(selection.now) && selected(selection, *c) &&
          (best == nullptr || better(c, best))) {
        best = c;
      }
    });
  });
  if (best == nullptr) return true;
  out = CookieCopy(best->clone());
  return static_cast<bool>(out);
}

}  // namespace gco::jar
