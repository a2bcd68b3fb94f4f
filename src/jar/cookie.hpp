// One stored cookie: a fixed header and its bytes (name, value, domain,
// path, partition key) in a single allocation from the raw allocator, so
// that a jar of a million small cookies costs little more than their bytes.
// Cookies never hold Python objects: the jar works on them with the thread
// state detached, under its own lock.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string_view>

#include "memory.hpp"

namespace gco::jar {

// Instants are microseconds since 1970-01-01 00:00 UTC.
using Instant = int64_t;
inline constexpr Instant kSecond = 1000000;
inline constexpr Instant kNoExpiry = INT64_MAX;  // a session cookie's expiry
inline constexpr Instant kNullTime = INT64_MIN;  // "never happened"

// The CookieSameSiteMode numbers.
enum class SameSite : uint8_t { kUnspecified = 0, kLax = 1, kStrict = 2, kNone = 3 };
// As the header gave it; kUnset counts as medium where priorities matter.
enum class Priority : uint8_t { kUnset = 0, kLow = 1, kMedium = 2, kHigh = 3 };

// What a cookie is made of, its texts borrowed from elsewhere.
struct CookieFields {
  std::string_view name, value, domain, path, partition;
  Instant creation = 0, last_access = 0, expiry = kNoExpiry;
  bool secure = false, http_only = false, host_only = true, partitioned = false;
  // The partition key's second half: the frame that set it had a cross-site
  // ancestor (its url is cross-site with the top-level site).
  bool cross_site_ancestor = false;
  // It came from the jar's row store (and may be in it, a session cookie
  // too): its removal is written there.
  bool from_store = false;
  // Chromium's source scheme: set from https (or wss), or Secure from a
  // loopback host over http.
  bool source_secure = false;
  uint16_t source_port = 0;
  SameSite same_site = SameSite::kUnspecified;
  Priority priority = Priority::kUnset;
};

class Cookie {
 public:
  // A new cookie (raw allocator), or nullptr when memory runs out.
  static Cookie* make(const CookieFields& fields) noexcept;
  Cookie* clone() const noexcept;
  static void destroy(Cookie* cookie) noexcept { raw_free(cookie); }

  std::string_view name() const noexcept { return {bytes(), name_size_}; }
  std::string_view value() const noexcept { return {bytes() + name_size_, value_size_}; }
  std::string_view domain() const noexcept {
    return {bytes() + name_size_ + value_size_, domain_size_};
  }
  std::string_view path() const noexcept {
    return {bytes() + name_size_ + value_size_ + domain_size_, path_size_};
  }
  // The top-level site of a partitioned cookie ("https://example.com"); with
  // cross_site_ancestor(), its partition key.
  std::string_view partition() const noexcept {
    return {bytes() + name_size_ + value_size_ + domain_size_ + path_size_, partition_size_};
  }

  bool secure() const noexcept { return flags_ & kSecureFlag; }
  bool http_only() const noexcept { return flags_ & kHttpOnlyFlag; }
  bool host_only() const noexcept { return flags_ & kHostOnlyFlag; }
  bool partitioned() const noexcept { return flags_ & kPartitionedFlag; }
  bool source_secure() const noexcept { return flags_ & kSourceSecureFlag; }
  bool cross_site_ancestor() const noexcept { return flags_ & kCrossSiteFlag; }
  bool from_store() const noexcept { return flags_ & kFromStoreFlag; }
  bool persistent() const noexcept { return expiry != kNoExpiry; }
  SameSite same_site() const noexcept { return same_site_; }
  Priority priority() const noexcept { return priority_; }
  // The priority as eviction reads it: an absent one is medium.
  Priority effective_priority() const noexcept {
    return priority_ == Priority::kUnset ? Priority::kMedium : priority_;
  }
  uint16_t source_port() const noexcept { return source_port_; }
  bool expired_at(Instant now) const noexcept { return expiry != kNoExpiry && now >= expiry; }
  // The bytes of name and value, which the partition limits count.
  size_t name_value_size() const noexcept { return size_t{name_size_} + value_size_; }

  Instant creation;
  Instant last_access;
  Instant expiry;
  // Where the store keeps it: its index in its site's path group (store.hpp),
  // so that one cookie is taken out without a search.  It fits in what
  // would otherwise be padding.
  uint32_t slot = 0;

 private:
  static constexpr uint8_t kSecureFlag = 1, kHttpOnlyFlag = 2, kHostOnlyFlag = 4,
                           kPartitionedFlag = 8, kSourceSecureFlag = 16, kCrossSiteFlag = 32,
                           kFromStoreFlag = 64;

  Cookie() noexcept = default;
  const char* bytes() const noexcept { return reinterpret_cast<const char*>(this + 1); }
  char* bytes() noexcept { return reinterpret_cast<char*>(this + 1); }
  size_t byte_count() const noexcept {
    return size_t{name_size_} + value_size_ + domain_size_ + path_size_ + partition_size_;
  }

  uint32_t name_size_ = 0, value_size_ = 0, domain_size_ = 0, path_size_ = 0;
  uint32_t partition_size_ = 0;
  uint16_t source_port_ = 0;
  uint8_t flags_ = 0;
  SameSite same_site_ = SameSite::kUnspecified;
  Priority priority_ = Priority::kUnset;
};

// Owns one cookie (a copy handed out of the lock, a change for a store).
class CookieCopy {
 public:
  CookieCopy() noexcept = default;
  explicit CookieCopy(Cookie* cookie) noexcept : cookie_(cookie) {}
  CookieCopy(CookieCopy&& other) noexcept : cookie_(other.cookie_) { other.cookie_ = nullptr; }
  CookieCopy& operator=(CookieCopy&& other) noexcept {
    if (this != &other) {
      Cookie::destroy(cookie_);
      cookie_ = other.cookie_;
      other.cookie_ = nullptr;
    }
    return *this;
  }
  CookieCopy(const CookieCopy&) = delete;
  CookieCopy& operator=(const CookieCopy&) = delete;
  ~CookieCopy() { Cookie::destroy(cookie_); }

  const Cookie* get() const noexcept { return cookie_; }
  const Cookie* operator->() const noexcept { return cookie_; }
  // Hands the cookie over (to a store that takes it back).
  Cookie* release() noexcept {
    Cookie* c = cookie_;
    cookie_ = nullptr;
    return c;
  }
  explicit operator bool() const noexcept { return cookie_ != nullptr; }

 private:
  Cookie* cookie_ = nullptr;
};

// A change that a backing store writes once the jar's lock is released, in
// order; undone, newest first, when the store refuses it.
struct Change {
  enum class Kind : uint8_t { kInsert, kDelete, kAccess };
  Kind kind;
  CookieCopy cookie;  // as inserted, as it was before deletion, or with its new access time
};
using Changes = Vector<Change>;

}  // namespace gco::jar
