// What a browser does with one Set-Cookie header value: the steps of the
// set-cookie-string algorithm, the cookie-date algorithm and the storage
// model, run in place over the header's bytes.  The result describes the
// cookie by spans into those bytes and by the origin's own texts; the module
// builds the Python objects from it.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "memory.hpp"
#include "ref.hpp"
#include "span.hpp"

namespace gco::browser {

// Instants are microseconds since 1970-01-01 00:00 UTC, the span of datetime.
inline constexpr int64_t kEarliest = -62135596800LL * 1000000;         // 0001-01-01
inline constexpr int64_t kLatest = 253402300799LL * 1000000 + 999999;  // 9999-12-31 23:59:59.999999
inline constexpr int64_t kSecond = 1000000;
inline constexpr int64_t kMaxAgeLimit = 400LL * 24 * 3600;  // seconds
inline constexpr Py_ssize_t kMaxNameValue = 4096;
inline constexpr Py_ssize_t kMaxAttributeValue = 1024;

// The request's origin, as read from the url argument by the url reader.
struct Origin {
  bool secure = false;  // https, or a host that browsers treat as secure over http
  bool ip = false;      // an IPv4 or IPv6 address
  String host;          // as the url writes it: ASCII, "[::1]" with its brackets
  Ref host_text;        // the same host as a str
  Ref default_path;     // a str: the canonical path up to its last "/", or "/"
};

// Why a browser refuses a header.  The words are the browser's own reasons
// where it reports one.
enum class Refusal {
  kNone,
  kDisallowedCharacter,
  kNoCookieContent,
  kNameValuePairExceedsMaxSize,
  kAmbiguousNameValue,
  kInvalidDomain,
  kInvalidPrefix,
  kSecureOnly,
  kSameSiteNoneInsecure,
  kPartitionedNotSecure,
};
const char* refusal_word(Refusal refusal) noexcept;

enum Attribute {
  kExpires,
  kMaxAge,
  kDomain,
  kPath,
  kSecure,
  kHttpOnly,
  kSameSite,
  kPartitioned,
  kPriority,
  kAttributeCount,
};
extern const char* const kAttributeNames[kAttributeCount];  // as usually written

enum class Priority { kNone, kLow, kMedium, kHigh };

// One finding of check(): a code word and its sentence.
struct Finding {
  std::string word;
  std::string sentence;
};
using Findings = std::vector<Finding>;

struct Outcome {
  Refusal refusal = Refusal::kNone;
  Span name, value;
  // The domain: the canonical Domain attribute (ASCII), or, when
  // domain_is_host, the origin's host; neither without a url and Domain.
  std::string domain;
  bool has_domain = false;
  bool domain_is_host = false;
  bool host_only = true;
  // The path: the Path attribute's bytes, or the origin's default path when
  // path_is_default; neither without a url and a valid Path.
  Span path;
  bool has_path = false;
  bool path_is_default = false;
  bool has_expiry = false;
  int64_t expiry = 0;
  bool expired = false;
  bool secure = false, http_only = false, partitioned = false;
  uint32_t same_site = 0;  // the CookieSameSiteMode number
  Priority priority = Priority::kNone;
};

// Runs every step; false with an exception set only for a failure of the
// interpreter itself (memory, the list file).  origin may be null.  When
// findings is not null, every departure from what the header says is noted.
bool evaluate(Span raw, const Origin* origin, int64_t now, Outcome& out, Findings* findings);

// The cookie-date algorithm; false when the text is no date.
bool parse_cookie_date(Span text, int64_t* instant) noexcept;

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t days_from_civil(int64_t year, unsigned month, unsigned day) noexcept;
void civil_from_days(int64_t days, int64_t* year, unsigned* month, unsigned* day) noexcept;

// The text rule: UTF-8, a byte outside a valid sequence standing for its
// Latin-1 character.  A new str, or nullptr with an exception set.
PyObject* decode_text(const char* data, Py_ssize_t size) noexcept;

// The Public Suffix List (suffix.cpp).  is_public_suffix: 1, 0, or -1 with an
// exception set (loading the list the first time failed).
int is_public_suffix(std::string_view domain) noexcept;
extern bool use_public_suffix_list;

}  // namespace gco::browser
