#include "store.hpp"

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

// Whether a comes before b in a Cookie header: the longer path first, then
// the older one.
bool sent_before(const Cookie* a, const Cookie* b) noexcept {
  size_t pa = a->path().size(), pb = b->path().size();
  return pa != pb ? pa > pb : a->creation < b->creation;
}

}  // namespace

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
    for (Cookie* c : site->cookies) Cookie::destroy(c);
    site->cookies.clear();
    site->unpartitioned = 0;
  });
  sites.~SiteTable();
  new (&sites) SiteTable();
  count = 0;
  unpartitioned = 0;
  earliest_expiry = kNoExpiry;
}

bool Store::insert(Site* site, Cookie* cookie) noexcept {
  // The first cookie that comes after the new one (a tie, at the last
  // instant of year 9999 or between loaded rows, keeps the order of
  // insertion).
  size_t low = 0, high = site->cookies.size();
  while (low < high) {
    size_t mid = low + (high - low) / 2;
    if (!sent_before(cookie, site->cookies[mid])) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  if (!site->cookies.insert(low, std::move(cookie))) return false;
  count++;
  if (!cookie->partitioned()) {
    unpartitioned++;
    site->unpartitioned++;
  }
  if (cookie->expiry < earliest_expiry) earliest_expiry = cookie->expiry;
  return true;
}

void Store::erase(Site* site, size_t index) noexcept {
  Cookie* cookie = site->cookies[index];
  site->cookies.erase(index);
  count--;
  if (!cookie->partitioned()) {
    unpartitioned--;
    site->unpartitioned--;
  }
  Cookie::destroy(cookie);
}

}  // namespace gco::jar
