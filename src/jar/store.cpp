#include "store.hpp"

#include <cstdint>
#include <new>

namespace gco::jar {

namespace {

Site* make_site(std::string_view key, uint64_t hash) noexcept {
  void* memory = raw_allocate(1, sizeof(Site));
  if (memory == nullptr) return nullptr;
  Site* site = new (memory) Site();
  if (!site->key.assign(key)) {
    site->~Site();
    raw_free(memory);
    return nullptr;
  }
  site->hash = hash;
  return site;
}

void free_site(Site* site) noexcept {
  site->~Site();
  raw_free(site);
}

// The group of that path length, or the index where it would go.
size_t group_at(const Site* site, size_t path_length, bool* found) noexcept {
  // The first group whose path is not longer (longest first).
  size_t low = 0, high = site->groups.size();
  while (low < high) {
    size_t mid = low + (high - low) / 2;
    if (site->groups[mid].path_length > path_length) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  *found = low < site->groups.size() && site->groups[low].path_length == path_length;
  return low;
}

PathGroup& group_of(Site* site, const Cookie* cookie) noexcept {
  bool found;
  return site->groups[group_at(site, cookie->path().size(), &found)];
}

// Closes a group's holes, the cookies keeping their order.
void close_holes(PathGroup& g) noexcept {
  size_t kept = 0;
  bool tied = false;
  for (Cookie* c : g.cookies) {
    if (c == nullptr) continue;
    c->slot = static_cast<uint32_t>(kept);
    tied = tied || (kept > 0 && g.cookies[kept - 1]->creation == c->creation);
    g.cookies[kept++] = c;
  }
  (void)g.cookies.resize(kept);  // shrinks: no allocation
  g.holes = 0;
  g.tied = tied;
}

// The name index: the cookie's home slot, and the slot that holds it.
size_t home_of(const Vector<Cookie*>& names, const Cookie* c) noexcept {
  return Site::name_hash(c->name()) & (names.size() - 1);
}

void index_add(Vector<Cookie*>& names, Cookie* c) noexcept {
  const size_t mask = names.size() - 1;
  size_t i = home_of(names, c);
  while (names[i] != nullptr) i = (i + 1) & mask;
  names[i] = c;
}

size_t index_find(const Vector<Cookie*>& names, const Cookie* c) noexcept {
  const size_t mask = names.size() - 1;
  size_t i = home_of(names, c);
  while (names[i] != c) i = (i + 1) & mask;
  return i;
}

void index_remove(Vector<Cookie*>& names, const Cookie* c) noexcept {
  const size_t mask = names.size() - 1;
  size_t hole = index_find(names, c);
  names[hole] = nullptr;
  // Entries after the hole whose probe would now stop at it move back.
  for (size_t i = (hole + 1) & mask; names[i] != nullptr; i = (i + 1) & mask) {
    size_t home = home_of(names, names[i]);
    bool reachable = hole <= i ? (home <= hole || home > i) : (home <= hole && home > i);
    if (reachable) {
      names[hole] = names[i];
      names[i] = nullptr;
      hole = i;
    }
  }
}

// A table of size slots (a power of two) holding the site's cookies.
bool index_rebuild(Site* site, size_t size) noexcept {
  Vector<Cookie*> names;
  if (!names.resize(size)) return false;  // null pointers
  site->each([&](Cookie* c) { index_add(names, c); });
  site->names = std::move(names);
  return true;
}

}  // namespace

uint64_t Site::name_hash(std::string_view name) noexcept { return SiteTable::hash_of(name); }

SiteTable::~SiteTable() {
  for (Site* site : slots_) {
    if (site != nullptr) free_site(site);
  }
}

uint64_t SiteTable::hash_of(std::string_view key) noexcept {
  uint64_t h = 14695981039346656037ULL;  // FNV-1a
  for (unsigned char c : key) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  return h ^ (h >> 29);
}

size_t SiteTable::slot_of(std::string_view key, uint64_t hash) const noexcept {
  size_t mask = slots_.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    Site* site = slots_[i];
    if (site == nullptr || (site->hash == hash && site->key.view() == key)) return i;
  }
}

Site* SiteTable::find(std::string_view key, uint64_t hash) const noexcept {
  if (count_ == 0) return nullptr;
  return slots_[slot_of(key, hash)];
}

bool SiteTable::grow() noexcept {
  size_t size = slots_.size() < 16 ? 16 : slots_.size() * 2;
  Vector<Site*> slots;
  if (!slots.resize(size)) return false;
  for (Site*& s : slots) s = nullptr;
  Vector<Site*> old = std::move(slots_);
  slots_ = std::move(slots);
  for (Site* site : old) {
    if (site != nullptr) slots_[slot_of(site->key.view(), site->hash)] = site;
  }
  return true;
}

Site* SiteTable::find_or_add(std::string_view key, uint64_t hash) noexcept {
  if ((count_ + 1) * 2 > slots_.size() && !grow()) return nullptr;
  size_t i = slot_of(key, hash);
  if (slots_[i] != nullptr) return slots_[i];
  Site* site = make_site(key, hash);
  if (site == nullptr) return nullptr;
  slots_[i] = site;
  count_++;
  return site;
}

void SiteTable::remove(Site* site) noexcept {
  size_t mask = slots_.size() - 1;
  size_t hole = slot_of(site->key.view(), site->hash);
  slots_[hole] = nullptr;
  count_--;
  free_site(site);
  // Entries after the hole whose probe would now stop at it move back.
  for (size_t i = (hole + 1) & mask; slots_[i] != nullptr; i = (i + 1) & mask) {
    size_t home = slots_[i]->hash & mask;
    bool reachable = hole <= i ? (home <= hole || home > i) : (home <= hole && home > i);
    if (reachable) {
      slots_[hole] = slots_[i];
      slots_[i] = nullptr;
      hole = i;
    }
  }
}

Store::~Store() { clear(); }

void Store::clear() noexcept {
  sites.each([](Site* site) {
    site->each([](Cookie* c) { Cookie::destroy(c); });
    site->groups.clear();
    site->count = 0;
    site->unpartitioned = 0;
  });
  sites.~SiteTable();
  new (&sites) SiteTable();
  count = 0;
  unpartitioned = 0;
  earliest_expiry = kNoExpiry;
}

bool Store::reserve_one(Site* site, size_t path_length) noexcept {
  bool found;
  const size_t at = group_at(site, path_length, &found);
  if (!found) {
    // Most sites have one path: room for one group at first.
    if (site->groups.empty() && !site->groups.reserve(1)) return false;
    PathGroup group;
    group.path_length = static_cast<uint32_t>(path_length);
    if (!site->groups.insert(at, std::move(group))) return false;
  }
  // Growing by half: a copy per cookie only now and then, and a small site
  // (most have ten cookies or so) wastes little room.
  Vector<Cookie*>& v = site->groups[at].cookies;
  if (v.size() == v.capacity() && !v.reserve(v.size() + v.size() / 2 + 1)) return false;
  const size_t wanted = site->count + 1;
  if (site->names.empty() ? wanted > Site::kIndexFrom : wanted * 2 > site->names.size()) {
    size_t size = 16;
    while (size < wanted * 4) size *= 2;  // room to grow before the next rebuild
    if (!index_rebuild(site, size)) return false;
  }
  return true;
}

void Store::insert(Site* site, Cookie* cookie) noexcept {
  PathGroup& g = group_of(site, cookie);
  Vector<Cookie*>& v = g.cookies;
  if (v.empty() || cookie->creation >= v.back()->creation) {
    // The newest of its group, as every cookie set now is.
    g.tied = g.tied || (!v.empty() && cookie->creation == v.back()->creation);
    cookie->slot = static_cast<uint32_t>(v.size());
    (void)v.push_back(cookie);  // reserved
  } else {
    // Older than some (a loaded row): after the holes are closed, before
    // the first cookie that is younger (a tie keeps the order of
    // insertion).
    size_t renumber_from = SIZE_MAX;
    if (g.holes != 0) {
      close_holes(g);
      renumber_from = 0;
    }
    size_t low = 0, high = v.size();
    while (low < high) {
      size_t mid = low + (high - low) / 2;
      if (v[mid]->creation <= cookie->creation) {
        low = mid + 1;
      } else {
        high = mid;
      }
    }
    g.tied = g.tied || (low > 0 && v[low - 1]->creation == cookie->creation);
    (void)v.insert(low, std::move(cookie));  // reserved
    if (low < renumber_from) renumber_from = low;
    for (size_t i = renumber_from; i < v.size(); i++) v[i]->slot = static_cast<uint32_t>(i);
  }
  count++;
  site->count++;
  if (!cookie->partitioned()) {
    unpartitioned++;
    site->unpartitioned++;
  }
  if (cookie->expiry < earliest_expiry) earliest_expiry = cookie->expiry;
  if (cookie->expiry < site->earliest_expiry) site->earliest_expiry = cookie->expiry;
  if (!site->names.empty()) index_add(site->names, cookie);
}

bool Store::replace(Site* site, Cookie* old, Cookie* fresh) noexcept {
  if (fresh->creation != old->creation || fresh->path().size() != old->path().size()) return false;
  PathGroup& g = group_of(site, old);
  Vector<Cookie*>& v = g.cookies;
  for (size_t i = old->slot + 1; g.tied && i < v.size(); i++) {
    if (v[i] == nullptr) continue;
    if (v[i]->creation <= old->creation) return false;  // a tie: insert() goes after it
    break;
  }
  fresh->slot = old->slot;
  v[old->slot] = fresh;
  if (!site->names.empty()) site->names[index_find(site->names, old)] = fresh;
  if (fresh->expiry < earliest_expiry) earliest_expiry = fresh->expiry;
  if (fresh->expiry < site->earliest_expiry) site->earliest_expiry = fresh->expiry;
  Cookie::destroy(old);
  return true;
}

void Store::forget(Site* site, Cookie* cookie) noexcept {
  count--;
  site->count--;
  if (!cookie->partitioned()) {
    unpartitioned--;
    site->unpartitioned--;
  }
  if (!site->names.empty()) index_remove(site->names, cookie);
}

void Store::drop_empty_groups(Site* site) noexcept {
  size_t kept = 0;
  for (size_t i = 0; i < site->groups.size(); i++) {
    if (site->groups[i].live() == 0) continue;
    if (kept != i) site->groups[kept] = std::move(site->groups[i]);
    kept++;
  }
  while (site->groups.size() > kept) site->groups.pop_back();
}

void Store::erase(Site* site, Cookie* cookie) noexcept {
  PathGroup& g = group_of(site, cookie);
  Vector<Cookie*>& v = g.cookies;
  v[cookie->slot] = nullptr;
  g.holes++;
  while (!v.empty() && v.back() == nullptr) {
    v.pop_back();
    g.holes--;
  }
  forget(site, cookie);
  Cookie::destroy(cookie);
  if (g.live() == 0) {
    drop_empty_groups(site);
  } else if (g.holes > g.live()) {
    // More holes than cookies: closed now, at a cost that the removals
    // since the last closing have paid for.
    close_holes(g);
  }
  if (site->count < Site::kIndexFrom / 2) site->names = Vector<Cookie*>();
}

}  // namespace gco::jar
