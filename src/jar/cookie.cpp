#include "cookie.hpp"

#include <new>

namespace gco::jar {

// A jar of a million small cookies costs little more than their bytes: the
// fixed part stays at 56 bytes (the store's slot took padding).
static_assert(sizeof(void*) != 8 || sizeof(Cookie) == 56);

Cookie* Cookie::make(const CookieFields& f) noexcept {
  constexpr size_t kLimit = UINT32_MAX;
  if (f.name.size() > kLimit || f.value.size() > kLimit || f.domain.size() > kLimit ||
      f.path.size() > kLimit || f.partition.size() > kLimit) {
    return nullptr;
  }
  size_t bytes =
      f.name.size() + f.value.size() + f.domain.size() + f.path.size() + f.partition.size();
  if (bytes > PY_SSIZE_T_MAX - sizeof(Cookie)) return nullptr;
  void* memory = raw_allocate(1, sizeof(Cookie) + bytes);
  if (memory == nullptr) return nullptr;
  Cookie* c = new (memory) Cookie();
  c->creation = f.creation;
  c->last_access = f.last_access;
  c->expiry = f.expiry;
  c->name_size_ = static_cast<uint32_t>(f.name.size());
  c->value_size_ = static_cast<uint32_t>(f.value.size());
  c->domain_size_ = static_cast<uint32_t>(f.domain.size());
  c->path_size_ = static_cast<uint32_t>(f.path.size());
  c->partition_size_ = static_cast<uint32_t>(f.partition.size());
  c->source_port_ = f.source_port;
  c->flags_ = static_cast<uint8_t>(
      (f.secure ? kSecureFlag : 0) | (f.http_only ? kHttpOnlyFlag : 0) |
      (f.host_only ? kHostOnlyFlag : 0) | (f.partitioned ? kPartitionedFlag : 0) |
      (f.source_secure ? kSourceSecureFlag : 0) | (f.cross_site_ancestor ? kCrossSiteFlag : 0) |
      (f.from_store ? kFromStoreFlag : 0));
  c->same_site_ = f.same_site;
  c->priority_ = f.priority;
  char* p = c->bytes();
  for (std::string_view part : {f.name, f.value, f.domain, f.path, f.partition}) {
    if (!part.empty()) std::memcpy(p, part.data(), part.size());
    p += part.size();
  }
  return c;
}

Cookie* Cookie::clone() const noexcept {
  size_t size = sizeof(Cookie) + byte_count();
  void* memory = raw_allocate(1, size);
  if (memory != nullptr) std::memcpy(memory, this, size);
  return static_cast<Cookie*>(memory);
}

}  // namespace gco::jar
