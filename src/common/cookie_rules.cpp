// The steps a browser runs on a Set-Cookie header value (RFC 6265bis: the
// set-cookie-string algorithm, the cookie-date algorithm and the storage
// model), over the header's bytes in place.  Where browsers do otherwise
// than the draft, the code does what they do and says so.
#include "cookie_rules.hpp"

#include "url.hpp"

#include "frame.hpp"
#include "public_suffix.hpp"

#include <cstdio>
#include <cstring>

namespace gco::rules {

const char* const kAttributeNames[kAttributeCount] = {"Expires",  "Max-Age",     "Domain",
                                                      "Path",     "Secure",      "HttpOnly",
                                                      "SameSite", "Partitioned", "Priority"};

const char* refusal_word(Refusal refusal) noexcept {
  switch (refusal) {
    case Refusal::kNone:
      return "";
    case Refusal::kDisallowedCharacter:
      return "DisallowedCharacter";
    case Refusal::kNoCookieContent:
      return "NoCookieContent";
    case Refusal::kNameValuePairExceedsMaxSize:
      return "NameValuePairExceedsMaxSize";
    case Refusal::kAmbiguousNameValue:
      return "AmbiguousNameValue";
    case Refusal::kInvalidDomain:
      return "InvalidDomain";
    case Refusal::kInvalidPrefix:
      return "InvalidPrefix";
    case Refusal::kSecureOnly:
      return "SecureOnly";
    case Refusal::kSameSiteNoneInsecure:
      return "SameSiteNoneInsecure";
    case Refusal::kPartitionedNotSecure:
      return "PartitionedNotSecure";
  }
  return "";
}

namespace {

inline unsigned char byte_at(const char* p) { return static_cast<unsigned char>(*p); }
inline bool is_wsp(char c) { return c == ' ' || c == '\t'; }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

Span trim(const char* begin, const char* end) {
  while (begin < end && is_wsp(*begin)) begin++;
  while (end > begin && is_wsp(end[-1])) end--;
  return Span{begin, end - begin};
}

bool has_tab(Span s) { return s.find('\t') != nullptr; }

bool starts_with_lowered(Span s, std::string_view word) {
  if (s.size < static_cast<Py_ssize_t>(word.size())) return false;
  for (size_t i = 0; i < word.size(); i++) {
    if (lower(s.data[i]) != word[i]) return false;
  }
  return true;
}

// -- findings -------------------------------------------------------------

bool append_shown(String& out, Span s) {
  Py_ssize_t limit = s.size > 40 ? 32 : s.size;
  for (Py_ssize_t i = 0; i < limit; i++) {
    unsigned char c = byte_at(s.data + i);
    if (c >= 0x20 && c < 0x7F) {
      if (!out.push_back(static_cast<char>(c))) return false;
    } else {
      static const char kHex[] = "0123456789abcdef";
      const char escape[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
      if (!out.append({escape, 4})) return false;
    }
  }
  return limit == s.size || out.append("...");
}

// Notes a finding when findings are wanted; false with MemoryError set.
bool note(Findings* findings, const char* word, std::initializer_list<Piece> pieces) {
  return findings == nullptr || findings->note(word, pieces);
}

}  // namespace

bool Findings::note(const char* word, std::initializer_list<Piece> pieces) noexcept {
  size_t i = 0;
  while (i < words_ && std::strcmp(counts_[i].word, word) != 0) i++;
  if (i == words_ && words_ < sizeof counts_ / sizeof counts_[0]) counts_[words_++] = {word, 0};
  if (i < words_ && ++counts_[i].count > kShownPerWord) return true;
  String sentence;
  for (const Piece& piece : pieces) {
    bool done = piece.kind == Piece::Kind::kText     ? sentence.append(piece.text)
                : piece.kind == Piece::Kind::kNumber ? sentence.append_decimal(piece.number)
                                                     : append_shown(sentence, piece.bytes);
    if (!done) return no_memory();
  }
  return items_.push_back(Finding{word, std::move(sentence)}) || no_memory();
}

void Findings::move_to_front(const char* word) noexcept {
  for (size_t i = 0; i < items_.size(); i++) {
    if (std::strcmp(items_[i].word, word) == 0) {
      Finding found = std::move(items_[i]);
      for (size_t j = i; j > 0; j--) items_[j] = std::move(items_[j - 1]);
      items_[0] = std::move(found);
      return;
    }
  }
}

namespace {

// -- the cookie-date algorithm ---------------------------------------------

// The delimiters of the cookie-date grammar: TAB, 0x20-0x2F, 0x3B-0x40,
// 0x5B-0x60, 0x7B-0x7E.
bool is_date_delimiter(unsigned char c) {
  return c == 0x09 || (c >= 0x20 && c <= 0x2F) || (c >= 0x3B && c <= 0x40) ||
         (c >= 0x5B && c <= 0x60) || (c >= 0x7B && c <= 0x7E);
}

// Digits as a number, saturating at a value past every bound checked.
int64_t digits_value(const char* p, const char* end) {
  int64_t v = 0;
  for (; p < end; p++) {
    v = v * 10 + (*p - '0');
    if (v > 1000000000) v = 1000000000;
  }
  return v;
}

bool all_digits(const char* p, const char* end) {
  if (p == end) return false;
  for (; p < end; p++) {
    if (!is_digit(*p)) return false;
  }
  return true;
}

// A time token: exactly three colon-separated runs of digits, each of any
// length.
bool read_time(const char* p, const char* end, int64_t fields[3]) {
  for (int i = 0; i < 3; i++) {
    const char* start = p;
    while (p < end && is_digit(*p)) p++;
    if (p == start) return false;
    fields[i] = digits_value(start, p);
    if (i < 2) {
      if (p == end || *p != ':') return false;
      p++;
    }
  }
  return p == end;
}

const char kMonths[] = "janfebmaraprmayjunjulaugsepoctnovdec";

int read_month(const char* p, const char* end) {
  if (end - p < 3) return 0;
  char a = lower(p[0]), b = lower(p[1]), c = lower(p[2]);
  for (int m = 0; m < 12; m++) {
    if (kMonths[3 * m] == a && kMonths[3 * m + 1] == b && kMonths[3 * m + 2] == c) return m + 1;
  }
  return 0;
}

bool is_leap(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned days_in_month(int64_t year, unsigned month) {
  static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

}  // namespace

// Browsers differ from the draft's grammar: a day or year token is digits
// only (no "21st", no "2099AD"), a time token is exactly three colon-separated
// runs of digits of any length (no "07:28:00Z"), a token of one or two digits
// is the day when no day was found yet and otherwise the year, and a token of
// three to five digits is the year (so "10000" is a year).  A longer run of
// digits, leading zeros included, is no year at all: Chromium skips it, so a
// year that does not fit ("9999999999") leaves no date (a session cookie)
// unless a later token gives one.
bool parse_cookie_date(Span text, int64_t* instant) noexcept {
  bool have_time = false, have_day = false, have_month = false, have_year = false;
  int64_t time[3] = {0, 0, 0};
  int64_t day = 0, year = 0;
  int month = 0;
  const char* p = text.data;
  const char* end = text.end();
  while (p < end) {
    while (p < end && is_date_delimiter(byte_at(p))) p++;
    const char* start = p;
    while (p < end && !is_date_delimiter(byte_at(p))) p++;
    if (start == p) break;
    bool colon = false;
    for (const char* q = start; q < p && !colon; q++) colon = *q == ':';
    if (colon) {
      if (!have_time) have_time = read_time(start, p, time);
    } else if (all_digits(start, p)) {
      if (!have_day && p - start <= 2) {
        day = digits_value(start, p);
        have_day = true;
      } else if (!have_year && p - start <= 5) {
        year = digits_value(start, p);
        have_year = true;
      }
    } else if (!have_month) {
      month = read_month(start, p);
      have_month = month != 0;
    }
  }
  if (!(have_time && have_day && have_month && have_year)) return false;
  if (year >= 70 && year <= 99) {
    year += 1900;
  } else if (year <= 69) {
    year += 2000;
  }
  if (day < 1 || day > 31 || time[0] > 23 || time[1] > 59 || time[2] > 59) return false;
  if (static_cast<unsigned>(day) > days_in_month(year, static_cast<unsigned>(month))) return false;
  // Browsers keep a date before 1601 (it is in the past: a deletion) and one
  // after 9999 (beyond any expiry cap) instead of failing on them.
  if (year > 9999) {
    *instant = kLatest;
    return true;
  }
  int64_t days = days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  *instant = ((days * 24 + time[0]) * 60 + time[1]) * 60 * kSecond + time[2] * kSecond;
  return true;
}

// -- the set-cookie-string algorithm and the storage model -----------------

namespace {

int attribute_of(Span key) {
  switch (key.size) {
    case 4:
      return key.is("path") ? kPath : -1;
    case 6:
      return key.is("secure") ? kSecure : key.is("domain") ? kDomain : -1;
    case 7:
      return key.is("expires") ? kExpires : key.is("max-age") ? kMaxAge : -1;
    case 8:
      return key.is("httponly")   ? kHttpOnly
             : key.is("samesite") ? kSameSite
             : key.is("priority") ? kPriority
                                  : -1;
    case 11:
      return key.is("partitioned") ? kPartitioned : -1;
    default:
      return -1;
  }
}

// A Max-Age value: an optional sign and digits (browsers also take a leading
// "+", which the draft ignores), saturating beyond the 400-day cap.
bool read_max_age(Span v, int64_t* seconds) {
  const char* p = v.data;
  const char* end = v.end();
  bool negative = false;
  if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
  if (!all_digits(p, end)) return false;
  int64_t n = digits_value(p, end);
  *seconds = negative ? -n : n;
  return true;
}

// A method name made once: a name made from a C string at each call can be
// lost by the interpreter when one of its allocations fails.

// The Domain attribute as a host name: lower case, one leading dot dropped,
// internationalised labels as A-labels.  1 done, 0 invalid, -1 error set.
int canonical_domain(Span value, String& out) {
  if (value.size > 0 && value.data[0] == '.') {
    value.data++;
    value.size--;
    // browsers refuse a lone "." (the draft reads it as no Domain)
    if (value.size == 0) return 0;
  }
  // Browsers refuse a Domain with a percent-escape, and read any other as
  // they read a url's host: lower case, a Unicode name as its A-labels
  // (UTS #46: full-width letters, say, are mapped), an IPv4 address in any
  // of its forms as its dotted quad; what no host can be refuses the cookie.
  if (value.find('%') != nullptr) return 0;
  url::HostKind kind;
  switch (url::read_host({value.data, static_cast<size_t>(value.size)}, out, &kind)) {
    case url::Status::kOk:
      return 1;
    case url::Status::kNotAUrl:
      return 0;
    case url::Status::kNoMemory:
      no_memory();
      return -1;
    case url::Status::kError:
      return -1;
  }
  return -1;
}

bool domain_match(std::string_view host, std::string_view domain) {
  if (host == domain) return true;
  return host.size() > domain.size() && gco::ends_with(host, domain) &&
         host[host.size() - domain.size() - 1] == '.';
}

// A refusal, with its finding; false with MemoryError set.
bool refuse(Outcome& out, Findings* findings, Refusal refusal,
            std::initializer_list<Piece> sentence) {
  out.refusal = refusal;
  return note(findings, refusal_word(refusal), sentence);
}

// The header read into its parts: the name-value pair and the last value of
// each attribute (one over 1024 bytes is ignored).
struct Header {
  Span name, value;
  Span last[kAttributeCount];
  bool present[kAttributeCount] = {};
  int seen[kAttributeCount] = {};
  bool tab = false;  // a tab inside the name, the value or an attribute
};

// A control character (a tab aside) refuses the header; *any_tab says
// whether it holds a tab.
bool control_characters(Span raw, bool* any_tab, Outcome& out, Findings* findings) {
  const char* const end = raw.end();
  const char* scan = raw.data;
  // Eight bytes at a time while none is a control character (a tab
  // included), which are looked at one by one below.
  for (; end - scan >= 8; scan += 8) {
    constexpr uint64_t kOnes = 0x0101010101010101u, kHighs = 0x8080808080808080u;
    uint64_t word;
    std::memcpy(&word, scan, sizeof word);
    const uint64_t del = word ^ (0x7F * kOnes);
    if ((((word - 0x20 * kOnes) & ~word) | ((del - kOnes) & ~del)) & kHighs) break;
  }
  for (; scan < end; scan++) {
    unsigned char c = byte_at(scan);
    *any_tab = *any_tab || c == 0x09;
    if ((c < 0x20 && c != 0x09) || c == 0x7F) {
      static const char kHex[] = "0123456789abcdef";
      const char code[4] = {'0', 'x', kHex[c >> 4], kHex[c & 15]};
      return refuse(out, findings, Refusal::kDisallowedCharacter,
                    {"the header holds the control character ", std::string_view(code, 4),
                     c == 0 ? ", which makes a browser refuse the whole response"
                            : ": a browser refuses the cookie"});
    }
  }
  return true;
}

// One attribute, key=val (eq: its "=", if any), into h: the last of each
// name counts.
bool read_attribute(Header& h, Span key, Span val, const char* eq, Findings* findings) {
  int which = attribute_of(key);
  if (val.size > kMaxAttributeValue) {
    return note(
        findings, "AttributeValueTooLong",
        {which >= 0 ? kAttributeNames[which] : "the attribute ",
         Piece::shown(which >= 0 ? Span{} : key), " has a value of ", Piece::decimal(val.size),
         " bytes, over the 1024-byte limit: a browser ignores the attribute"});
  }
  if (which < 0) {
    if (key.size == 0 && eq == nullptr) return true;
    return note(findings, "UnknownAttribute",
                {"\"", Piece::shown(key), "\" is not a cookie attribute: a browser ignores it"});
  }
  h.last[which] = val;
  h.present[which] = true;
  if (++h.seen[which] == 2 &&
      !note(findings, "DuplicateAttribute",
            {kAttributeNames[which], " is given more than once: a browser keeps the last one"})) {
    return false;
  }
  if ((which == kSecure || which == kHttpOnly || which == kPartitioned) && eq != nullptr) {
    return note(findings, "FlagWithValue",
                {kAttributeNames[which], "=", Piece::shown(val), " still sets ",
                 kAttributeNames[which], ": a browser ignores a flag's value"});
  }
  return true;
}

// Splits the header into its name-value pair and attributes.
bool read_header(Span raw, Header& h, Outcome& out, Findings* findings) {
  bool any_tab = false;
  if (!control_characters(raw, &any_tab, out, findings)) return false;
  if (out.refusal != Refusal::kNone) return true;
  const char* const end = raw.end();
  // The name-value pair ends at the first ";".
  const char* semicolon = raw.find(';');
  const char* pair_end = semicolon ? semicolon : end;
  const char* equals = Span{raw.data, pair_end - raw.data}.find('=');
  if (equals != nullptr) {
    h.name = trim(raw.data, equals);
    h.value = trim(equals + 1, pair_end);
  } else {
    h.value = trim(raw.data, pair_end);
  }
  h.tab = any_tab && (has_tab(h.name) || has_tab(h.value));
  if (semicolon == nullptr || semicolon + 1 >= end) return true;
  for (const char* p = semicolon + 1;;) {
    // The attribute's end, and its first "=".
    const char* stop = Span{p, end - p}.find(';');
    const char* av_end = stop ? stop : end;
    const char* eq = Span{p, av_end - p}.find('=');
    Span key = trim(p, eq ? eq : av_end);
    Span val = eq ? trim(eq + 1, av_end) : Span{av_end, 0};
    h.tab = h.tab || (any_tab && (has_tab(key) || has_tab(val)));
    if (!read_attribute(h, key, val, eq, findings)) return false;
    if (stop == nullptr) return true;
    p = stop + 1;
  }
}

// The name-value pair's rules.
bool name_value_rules(const Header& h, Outcome& out, Findings* findings) {
  if (h.name.empty() && h.value.empty()) {
    return refuse(out, findings, Refusal::kNoCookieContent,
                  {"the header has neither a name nor a value: a browser refuses it"});
  }
  // browsers refuse a tab left inside a name, value or attribute after
  // trimming (the draft allows it)
  if (h.tab) {
    return refuse(out, findings, Refusal::kDisallowedCharacter,
                  {"a tab inside the name, the value or an attribute: a browser refuses the "
                   "cookie"});
  }
  if (h.name.size + h.value.size > kMaxNameValue) {
    return refuse(out, findings, Refusal::kNameValuePairExceedsMaxSize,
                  {"the name and value are ", Piece::decimal(h.name.size + h.value.size),
                   " bytes, over the 4096-byte limit: a browser refuses the cookie"});
  }
  // browsers refuse an empty name whose value holds "=": sent back, it would
  // read as another name (no reason is reported for it)
  if (h.name.empty() && h.value.find('=') != nullptr) {
    return refuse(out, findings, Refusal::kAmbiguousNameValue,
                  {"the name is empty and the value holds \"=\": a browser refuses the cookie, "
                   "since it would come back as another name"});
  }
  out.name = h.name;
  out.value = h.value;
  out.secure = h.present[kSecure];
  out.http_only = h.present[kHttpOnly];
  out.partitioned = h.present[kPartitioned];
  return true;
}

// Expiry: Max-Age wins over Expires; both are capped at 400 days.
// Browsers parse only the last attribute of each: an invalid last one is
// ignored rather than an earlier valid one taken (the draft takes the last
// valid one).
bool expiry_rules(const Header& h, int64_t now, Outcome& out, Findings* findings) {
  const int64_t limit =
      now > kLatest - kMaxAgeLimit * kSecond ? kLatest : now + kMaxAgeLimit * kSecond;
  int64_t max_age = 0, expires = 0;
  const Span& max_age_text = h.last[kMaxAge];
  bool has_max_age = h.present[kMaxAge] && read_max_age(max_age_text, &max_age);
  // (Expires matters only without a valid Max-Age.)
  bool has_expires =
      !has_max_age && h.present[kExpires] && parse_cookie_date(h.last[kExpires], &expires);
  if (h.present[kMaxAge] && !has_max_age &&
      !note(findings, "InvalidMaxAge",
            {"Max-Age=", Piece::shown(max_age_text),
             " is not a whole number of seconds: a browser ignores it"})) {
    return false;
  }
  if (h.present[kExpires] && !has_expires && !has_max_age &&
      !note(findings, "InvalidExpires",
            {"Expires=", Piece::shown(h.last[kExpires]),
             " is not a date a browser reads: it ignores it"})) {
    return false;
  }
  bool noted = true;
  if (has_max_age) {
    out.has_expiry = true;
    if (max_age <= 0) {
      out.expiry = kEarliest;
    } else {
      if (max_age > kMaxAgeLimit) {
        max_age = kMaxAgeLimit;
        noted = note(findings, "ExpiryCapped",
                     {"Max-Age is more than 400 days: a browser caps the expiry at 400 days from "
                      "now"});
      }
      out.expiry = now > kLatest - max_age * kSecond ? kLatest : now + max_age * kSecond;
    }
  } else if (has_expires) {
    out.has_expiry = true;
    out.expiry = expires;
    if (expires > limit) {
      out.expiry = limit;
      noted = note(findings, "ExpiryCapped",
                   {"Expires is more than 400 days away: a browser caps the expiry at 400 days "
                    "from now"});
    }
  }
  if (!noted) return false;
  out.expired = out.has_expiry && out.expiry <= now;
  if (!out.expired) return true;
  const char* kDeletes =
      "a browser deletes a stored cookie of this name, domain and path and stores nothing";
  return has_max_age ? note(findings, "Deletion",
                            {"Max-Age=", Piece::shown(max_age_text),
                             " expires the cookie at once: ", kDeletes})
                     : note(findings, "Deletion", {"Expires is not after now: ", kDeletes});
}

// An IP-address host takes only a Domain written exactly as it (one leading
// dot aside, letters in any case), and the cookie is then host-only (as
// browsers do): 127.1 does not name 127.0.0.1 here.
bool ip_domain_rule(Span written, const Origin& origin, Outcome& out, Findings* findings) {
  const Span domain_value = written;
  if (written.data[0] == '.') written = Span{written.data + 1, written.size - 1};
  if (!equals_lowered(written.data, written.size, origin.host.data(),
                      static_cast<Py_ssize_t>(origin.host.size()))) {
    return refuse(out, findings, Refusal::kInvalidDomain,
                  {"Domain=", Piece::shown(domain_value),
                   " does not equal the IP-address host: a browser refuses the cookie"});
  }
  out.has_domain = false;
  return note(findings, "DomainIgnored",
              {"Domain=", Piece::shown(domain_value),
               " names the IP-address host: a browser keeps a host-only cookie"});
}

// The Domain attribute against the origin's host.
bool domain_rules(const Header& h, const Origin* origin, bool use_list, Outcome& out,
                  Findings* findings) {
  Span domain_value = h.present[kDomain] ? h.last[kDomain] : Span{};
  if (!domain_value.empty()) {
    int done = canonical_domain(domain_value, out.domain);
    if (done < 0) return false;
    if (done == 0) {
      return refuse(out, findings, Refusal::kInvalidDomain,
                    {"Domain=", Piece::shown(domain_value),
                     " is no host name: a browser refuses the cookie"});
    }
    out.has_domain = true;
    out.host_only = false;
  }
  if (origin == nullptr) return true;
  if (out.has_domain && is_public_suffix(out.domain, use_list)) {
    if (out.domain != origin->host.view()) {
      return refuse(out, findings, Refusal::kInvalidDomain,
                    {"Domain=", Piece::shown(domain_value),
                     " is a public suffix: a browser refuses the cookie"});
    }
    out.has_domain = false;
    if (!note(findings, "DomainIgnored",
              {"Domain=", Piece::shown(domain_value),
               " is a public suffix equal to the host: a browser keeps a host-only "
               "cookie"})) {
      return false;
    }
  }
  if (out.has_domain && origin->ip) {
    if (!ip_domain_rule(domain_value, *origin, out, findings)) return false;
    if (out.refusal != Refusal::kNone) return true;
  }
  if (out.has_domain) {
    if (!domain_match(origin->host, out.domain)) {
      return refuse(out, findings, Refusal::kInvalidDomain,
                    {"Domain=", Piece::shown(domain_value), " does not domain-match the host ",
                     origin->host.view(), ": a browser refuses the cookie"});
    }
    out.host_only = false;
  } else {
    out.domain.clear();
    out.has_domain = true;
    out.domain_is_host = true;
    out.host_only = true;
  }
  return true;
}

// Path: an attribute not starting with "/" gives the default path.
bool path_rules(const Header& h, const Origin* origin, Outcome& out, Findings* findings) {
  const Span& path = h.last[kPath];
  if (h.present[kPath] && !path.empty() && path.data[0] == '/') {
    out.path = path;
    out.has_path = true;
    return true;
  }
  if (h.present[kPath] &&
      !note(findings, "PathDefaulted",
            {"Path=", Piece::shown(path),
             " does not start with \"/\": a browser uses the default path of the "
             "request's URL instead"})) {
    return false;
  }
  if (origin != nullptr) out.has_path = out.path_is_default = true;
  return true;
}

// The name prefixes.  Browsers check them before the Secure attribute's
// origin, and count a Secure cookie from an insecure origin as a prefix
// failure.
bool prefix_rules(const Header& h, const Origin* origin, Outcome& out, Findings* findings) {
  static const char* const kFailures[] = {
      nullptr,
      "a __Secure- name needs Secure from a secure origin",
      "a __Host- name needs Secure from a secure origin, no Domain and Path=/",
      "an __Http- name needs Secure from a secure origin and HttpOnly",
      "a __Host-Http- name needs HttpOnly besides the __Host- rules",
      "a cookie without a name may not have a value that starts like a prefixed name",
  };
  const Span& path = h.last[kPath];
  const PrefixFailure failure =
      prefix_failure({h.name.data, static_cast<size_t>(h.name.size)},
                     {h.value.data, static_cast<size_t>(h.value.size)},
                     out.secure && (origin == nullptr || origin->secure), out.host_only,
                     h.present[kPath] && path.size == 1 && path.data[0] == '/', out.http_only);
  if (failure == PrefixFailure::kNone) return true;
  return refuse(out, findings, Refusal::kInvalidPrefix,
                {kFailures[static_cast<int>(failure)], ": a browser refuses the cookie"});
}

// Secure only from a secure origin.
bool secure_rule(const Origin* origin, Outcome& out, Findings* findings) {
  if (origin == nullptr || !out.secure || origin->secure) return true;
  return refuse(out, findings, Refusal::kSecureOnly,
                {"Secure from an insecure origin: a browser refuses the cookie"});
}

bool same_site_rules(const Header& h, Outcome& out, Findings* findings) {
  if (h.present[kSameSite]) {
    const Span& s = h.last[kSameSite];
    if (s.is("lax")) {
      out.same_site = 1;
    } else if (s.is("strict")) {
      out.same_site = 2;
    } else if (s.is("none")) {
      out.same_site = 3;
    } else if (!note(findings, "UnknownSameSite",
                     {"SameSite=", Piece::shown(s),
                      " is not Strict, Lax or None: a browser ignores it and applies its "
                      "default"})) {
      return false;
    }
  }
  if (out.same_site == 3 && !out.secure) {
    return refuse(out, findings, Refusal::kSameSiteNoneInsecure,
                  {"SameSite=None without Secure: a browser refuses the cookie"});
  }
  return true;
}

// Partitioned comes from browsers, not the draft: it needs Secure (no
// reason is reported for it)
bool partitioned_rule(Outcome& out, Findings* findings) {
  if (!out.partitioned || out.secure) return true;
  return refuse(out, findings, Refusal::kPartitionedNotSecure,
                {"Partitioned without Secure: a browser refuses the cookie"});
}

bool priority_rule(const Header& h, Outcome& out, Findings* findings) {
  if (!h.present[kPriority]) return true;
  const Span& s = h.last[kPriority];
  if (s.is("low")) {
    out.priority = Priority::kLow;
  } else if (s.is("medium")) {
    out.priority = Priority::kMedium;
  } else if (s.is("high")) {
    out.priority = Priority::kHigh;
  } else {
    return note(
        findings, "UnknownPriority",
        {"Priority=", Piece::shown(s), " is not Low, Medium or High: a browser ignores it"});
  }
  return true;
}

// Whether a step refused the cookie (the steps end there).
inline bool refused(const Outcome& out) { return out.refusal != Refusal::kNone; }

}  // namespace

PrefixFailure prefix_failure(std::string_view name, std::string_view value, bool secure,
                             bool host_only, bool path_is_root, bool http_only) noexcept {
  // In any letter case; browsers add "__Http-" (Secure and HttpOnly) and
  // "__Host-Http-" (the "__Host-" rules and HttpOnly).  (No character outside
  // ASCII lowers to one of the prefixes' letters, so the bytes are compared.)
  auto starts = [](std::string_view s, std::string_view word) {
    return starts_with_lowered(Span{s.data(), static_cast<Py_ssize_t>(s.size())}, word);
  };
  if (starts(name, "__secure-") && !secure) return PrefixFailure::kSecure;
  if (starts(name, "__host-") && !(secure && host_only && path_is_root)) {
    return PrefixFailure::kHost;
  }
  if (starts(name, "__http-") && !(secure && http_only)) return PrefixFailure::kHttp;
  if (starts(name, "__host-http-") && !http_only) return PrefixFailure::kHostHttp;
  if (name.empty() && (starts(value, "__secure-") || starts(value, "__host-"))) {
    return PrefixFailure::kNameless;
  }
  return PrefixFailure::kNone;
}

// The steps in their order; each ends them with a refusal, or with false
// when memory runs out.
bool evaluate(Span raw, const Origin* origin, int64_t now, Outcome& out, Findings* findings,
              bool use_list) {
  Header h;
  if (!read_header(raw, h, out, findings)) return false;
  if (refused(out)) return true;
  if (!name_value_rules(h, out, findings)) return false;
  if (refused(out)) return true;
  if (!expiry_rules(h, now, out, findings)) return false;
  if (!domain_rules(h, origin, use_list, out, findings)) return false;
  if (refused(out)) return true;
  if (!path_rules(h, origin, out, findings)) return false;
  if (!prefix_rules(h, origin, out, findings)) return false;
  if (refused(out)) return true;
  if (!secure_rule(origin, out, findings)) return false;
  if (refused(out)) return true;
  if (!same_site_rules(h, out, findings)) return false;
  if (refused(out)) return true;
  if (!partitioned_rule(out, findings)) return false;
  if (refused(out)) return true;
  return priority_rule(h, out, findings);
}

}  // namespace gco::rules
