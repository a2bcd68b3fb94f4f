// What a browser does with one Set-Cookie header value: the steps of the
// set-cookie-string algorithm, the cookie-date algorithm and the storage
// model, run in place over the header's bytes.  The result describes the
// cookie by spans into those bytes and by the origin's own texts; the module
// builds the Python objects from it.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "civil.hpp"
#include "text.hpp"
#include "memory.hpp"
#include "ref.hpp"
#include "span.hpp"

namespace gco::rules {

// Instants are microseconds since 1970-01-01 00:00 UTC (civil.hpp).
using civil::kEarliest;
using civil::kLatest;
using civil::kSecond;
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

// A piece of a finding's sentence: a text, a number in decimal, or header
// bytes as shown to a reader (printable ASCII as it is, other bytes as \xNN,
// long ones cut).
struct Piece {
  enum class Kind { kText, kNumber, kShown };
  Kind kind;
  std::string_view text;
  long long number = 0;
  Span bytes;

  Piece(const char* t) noexcept : kind(Kind::kText), text(t) {}
  Piece(std::string_view t) noexcept : kind(Kind::kText), text(t) {}
  static Piece decimal(long long n) noexcept {
    Piece p{""};
    p.kind = Kind::kNumber;
    p.number = n;
    return p;
  }
  static Piece shown(Span s) noexcept {
    Piece p{""};
    p.kind = Kind::kShown;
    p.bytes = s;
    return p;
  }
};

// One finding of check(): a code word (a static text) and its sentence.
struct Finding {
  const char* word;
  String sentence;
};

// The findings of one check().  A header can repeat a fault a million times;
// a reader needs a few of each, so at most kShownPerWord findings of each
// code word are kept, and the others only counted (their sentences are not
// even written).
class Findings {
 public:
  static constexpr size_t kShownPerWord = 10;

  // Notes a finding whose sentence is the pieces put together.  False with
  // MemoryError set when memory runs out.
  [[nodiscard]] bool note(const char* word, std::initializer_list<Piece> pieces) noexcept;
  // Moves the first kept finding of this word to the front.
  void move_to_front(const char* word) noexcept;

  size_t size() const noexcept { return items_.size(); }
  const Finding& operator[](size_t i) const noexcept { return items_[i]; }
  // How many findings of the i-th word noted were not kept; its word.
  size_t words() const noexcept { return words_; }
  const char* word(size_t i) const noexcept { return counts_[i].word; }
  size_t left_out(size_t i) const noexcept {
    return counts_[i].count > kShownPerWord ? counts_[i].count - kShownPerWord : 0;
  }

 private:
  Vector<Finding> items_;
  struct Count {
    const char* word;
    size_t count;
  };
  Count counts_[32] = {};  // the code words in the order first noted
  size_t words_ = 0;
};

struct Outcome {
  Refusal refusal = Refusal::kNone;
  Span name, value;
  // The domain: the canonical Domain attribute (ASCII), or, when
  // domain_is_host, the origin's host; neither without a url and Domain.
  String domain;
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
// interpreter itself (memory).  origin may be null.  When findings is not
// null, every departure from what the header says is noted.  use_list false
// switches the Public Suffix List off (only its default rule applies).
bool evaluate(Span raw, const Origin* origin, int64_t now, Outcome& out, Findings* findings,
              bool use_list = true);

// The name prefixes' rule, shared by the Set-Cookie steps and the rows a
// jar loads: which prefix rule a cookie breaks.  secure: Secure (from a
// secure origin, for a header); path_is_root: the path is "/".
enum class PrefixFailure { kNone, kSecure, kHost, kHttp, kHostHttp, kNameless };
PrefixFailure prefix_failure(std::string_view name, std::string_view value, bool secure,
                             bool host_only, bool path_is_root, bool http_only) noexcept;

// The cookie-date algorithm; false when the text is no date.
bool parse_cookie_date(Span text, int64_t* instant) noexcept;

using civil::civil_from_days;
using civil::days_from_civil;

using text::decode_text;

}  // namespace gco::rules
