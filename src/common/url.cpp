// The url reader (url.hpp).  One pass over the input for the common url:
// the scheme, the authority, the host, the port, the path, the query and
// the fragment are each written to the canonical href as they are read.
#include "url.hpp"

#include "idna.hpp"
#include "percent.hpp"
#include "text.hpp"

namespace gco::url {

namespace {

// The percent-encode sets, as bits of one table.
enum : uint8_t { kPathSet = 1, kQuerySet = 2, kFragmentSet = 4, kUserinfoSet = 8 };

constexpr struct EncodeSets {
  uint8_t bits[256];
} kEncodeSets = [] {
  EncodeSets t{};
  for (int c = 0; c < 256; c++) {
    uint8_t bits = 0;
    // The C0 control set (with DEL and every byte of a non-ASCII character)
    // and what every set adds to it.
    if (c < 0x20 || c >= 0x7F || c == ' ' || c == '"' || c == '<' || c == '>') {
      bits = kPathSet | kQuerySet | kFragmentSet | kUserinfoSet;
    }
    if (c == '#') bits |= kPathSet | kQuerySet | kUserinfoSet;
    if (c == '\'') bits |= kQuerySet;  // the special-query set
    if (c == '`') bits |= kPathSet | kFragmentSet | kUserinfoSet;
    if (c == '?' || c == '{' || c == '}' || c == '^') bits |= kPathSet | kUserinfoSet;
    // Chromium also escapes "|" in a path, which the standard leaves.
    if (c == '|') bits |= kPathSet | kUserinfoSet;
    if (c == '/' || c == ':' || c == ';' || c == '=' || c == '@' || c == '[' || c == '\\' ||
        c == ']') {
      bits |= kUserinfoSet;
    }
    t.bits[c] = bits;
  }
  return t;
}();

constexpr char kHexUpper[] = "0123456789ABCDEF";

bool append_escaped(String& out, unsigned char c) noexcept {
  const char escaped[3] = {'%', kHexUpper[c >> 4], kHexUpper[c & 15]};
  return out.append(std::string_view(escaped, 3));
}

// Appends text with the bytes of the set percent-encoded.
bool append_encoded(String& out, std::string_view text, uint8_t set) noexcept {
  size_t run = 0;  // start of the bytes not written yet
  for (size_t i = 0; i < text.size(); i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (kEncodeSets.bits[c] & set) {
      if (!out.append(gco::sub(text, run, i - run)) || !append_escaped(out, c)) return false;
      run = i + 1;
    }
  }
  return out.append(gco::sub(text, run));
}

// Chromium's reading of one ASCII host character: the character to write
// (an upper-case letter lowered), 0 for one that fails the host, or 1 for
// "*" and the space, which Chromium writes percent-encoded (the standard
// keeps "*" as it is and refuses the space).
constexpr struct HostChars {
  char out[128];
} kHostChars = [] {
  HostChars t{};
  for (int c = 0x21; c < 0x7F; c++) t.out[c] = static_cast<char>(c);
  for (int c = 'A'; c <= 'Z'; c++) t.out[c] = static_cast<char>(c - 'A' + 'a');
  for (char c : {'#', '%', '/', '<', '>', '?', '@', '\\', '^', '|'}) t.out[static_cast<int>(c)] = 0;
  t.out[static_cast<int>('*')] = 1;
  t.out[static_cast<int>(' ')] = 1;
  return t;
}();

// The characters of a plain host name (letters, digits, "-", ".", "_" and
// the other characters kept as they are), lower-cased; 0 for those that
// need the full reading: "%", "*", a space, "[", "]", ":", and those refused.
constexpr struct PlainHostChars {
  char out[128];
} kPlainHostChars = [] {
  PlainHostChars t{};
  for (int c = 0; c < 128; c++) t.out[c] = kHostChars.out[c] == 1 ? 0 : kHostChars.out[c];
  for (char c : {'[', ']', ':'}) t.out[static_cast<int>(c)] = 0;
  return t;
}();

bool is_alpha(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
bool is_hex(char c) noexcept { return kHexValues[c] >= 0; }

// --- IPv4 ---------------------------------------------------------------

// One part: 1 a number, 0 not numeric, -1 numeric but unusable (above
// 32 bits, or an octal part with an 8 or a 9).
int ipv4_number(std::string_view part, uint32_t* value) noexcept {
  if (part.empty()) return 0;
  unsigned base = 10;
  size_t at = 0;
  if (part[0] == '0' && part.size() > 1) {
    if (part[1] == 'x' || part[1] == 'X') {
      base = 16;
      at = 2;
    } else {
      base = 8;
      at = 1;
    }
  }
  uint64_t number = 0;
  bool broken = false;
  for (; at < part.size(); at++) {
    char c = part[at];
    int digit = kHexValues[c];
    if (digit < 0 || (base == 10 && digit > 9) || (base == 8 && digit > 7)) {
      if (base == 8 && is_digit(c)) {
        broken = true;
        continue;
      }
      return 0;
    }
    number = number * base + static_cast<unsigned>(digit);
    if (number > 0xFFFFFFFFu) {
      broken = true;
      number = 0;
    }
  }
  if (broken) return -1;
  *value = static_cast<uint32_t>(number);
  return 1;
}

// A host as IPv4 (the "ends in a number" reading): 1 an address, 0 not
// one (a domain), -1 a failure.  *parts gets the number of parts.
int parse_ipv4(std::string_view host, uint8_t address[4], int* parts) noexcept {
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);
  if (host.empty()) return 0;
  uint32_t values[4];  // values[0] is the last part
  int count = 0;
  size_t end = host.size();
  for (;;) {
    size_t begin = end;
    while (begin > 0 && host[begin - 1] != '.') begin--;
    int kind = ipv4_number(gco::sub(host, begin, end - begin), &values[count]);
    if (kind == 0 && count == 0) return 0;
    if (kind != 1) return -1;
    count++;
    if (begin == 0) break;
    if (count == 4) return -1;
    end = begin - 1;
  }
  for (int i = count - 1; i > 0; i--) {
    if (values[i] > 255) return -1;
    address[count - 1 - i] = static_cast<uint8_t>(values[i]);
  }
  uint64_t last = values[0];
  for (int i = 3; i >= count - 1; i--) {
    address[i] = static_cast<uint8_t>(last & 255);
    last >>= 8;
  }
  if (last != 0) return -1;
  *parts = count;
  return 1;
}

bool append_decimal(String& out, unsigned value) noexcept {
  char digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) {
    if (!out.push_back(digits[--n])) return false;
  }
  return true;
}

// --- IPv6 ---------------------------------------------------------------

// The text between the brackets.  As in Chromium, an embedded IPv4 address
// is read by the IPv4 reading above (hex and octal parts allowed), in
// exactly four parts without a trailing dot.
bool parse_ipv6(std::string_view s, uint8_t address[16]) noexcept {
  if (s.empty()) return false;
  size_t pieces[8][2];  // begin, length
  int count = 0, contraction = -1;
  size_t part_begin = 0, ipv4_begin = std::string_view::npos;
  const size_t n = s.size();
  for (size_t i = 0;; i++) {
    bool colon = i < n && s[i] == ':';
    bool double_colon = colon && i + 1 < n && s[i + 1] == ':';
    if (colon || i == n) {
      size_t length = i - part_begin;
      if (length > 4) return false;
      if (length == 0 && !((double_colon && i == 0) || (i == n && contraction == count))) {
        return false;
      }
      if (length > 0) {
        if (count == 8) return false;
        pieces[count][0] = part_begin;
        pieces[count][1] = length;
        count++;
      }
    }
    if (i == n) break;
    if (double_colon) {
      if (contraction != -1) return false;
      contraction = count;
      i++;
    }
    if (colon) {
      part_begin = i + 1;
    } else if (!is_hex(s[i])) {
      if (s[i] != '.' && s[i] != 'x' && s[i] != 'X') return false;
      ipv4_begin = part_begin;
      break;
    }
  }
  int bytes = count * 2 + (ipv4_begin != std::string_view::npos ? 4 : 0);
  int zeros = 0;
  if (contraction != -1) zeros = 16 - bytes < 2 ? 2 : 16 - bytes;
  if (bytes + zeros != 16) return false;
  int at = 0;
  for (int i = 0; i <= count; i++) {
    if (i == contraction) {
      for (int z = 0; z < zeros; z++) address[at++] = 0;
    }
    if (i == count) break;
    unsigned value = 0;
    for (size_t k = 0; k < pieces[i][1]; k++) {
      value = value * 16 + static_cast<unsigned>(kHexValues[s[pieces[i][0] + k]]);
    }
    address[at++] = static_cast<uint8_t>(value >> 8);
    address[at++] = static_cast<uint8_t>(value & 255);
  }
  if (ipv4_begin != std::string_view::npos) {
    std::string_view v4 = gco::sub(s, ipv4_begin);
    int parts = 0;
    if (v4.back() == '.' || parse_ipv4(v4, address + at, &parts) != 1 || parts != 4) return false;
  }
  return true;
}

bool append_ipv6(String& out, const uint8_t address[16]) noexcept {
  // The first longest run of two or more zero pieces becomes "::".
  int best = -1, best_length = 1;
  for (int i = 0; i < 8;) {
    int j = i;
    while (j < 8 && address[2 * j] == 0 && address[2 * j + 1] == 0) j++;
    if (j - i > best_length) {
      best = i;
      best_length = j - i;
    }
    i = j == i ? i + 1 : j;
  }
  if (!out.push_back('[')) return false;
  for (int i = 0; i < 8; i++) {
    if (i == best) {
      if (!out.append(i == 0 ? "::" : ":")) return false;
      i += best_length - 1;
      continue;
    }
    unsigned piece = static_cast<unsigned>(address[2 * i]) << 8 | address[2 * i + 1];
    char digits[4];
    int nd = 0;
    do {
      digits[nd++] = "0123456789abcdef"[piece & 15];
      piece >>= 4;
    } while (piece != 0);
    while (nd > 0) {
      if (!out.push_back(digits[--nd])) return false;
    }
    if (i < 7 && !out.push_back(':')) return false;
  }
  return out.push_back(']');
}

// --- The host -----------------------------------------------------------

// Appends ASCII host characters as Chromium checks them.  With
// decode_escapes (the text came out of the UTS #46 processing), Chromium
// decodes a percent-escape once more.
Status append_host_chars(String& out, std::string_view text, bool decode_escapes) noexcept {
  // Nearly every character maps to one: room for them all at once.
  if (!out.reserve(out.size() + text.size())) return Status::kNoMemory;
  for (size_t i = 0; i < text.size(); i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '%' && decode_escapes) {
      if (i + 2 >= text.size() || !is_hex(text[i + 1]) || !is_hex(text[i + 2])) {
        return Status::kNotAUrl;
      }
      c = static_cast<unsigned char>(kHexValues[text[i + 1]] * 16 + kHexValues[text[i + 2]]);
      i += 2;
    }
    if (c >= 0x80) return Status::kNotAUrl;
    char mapped = kHostChars.out[c];
    if (mapped == 0) return Status::kNotAUrl;
    if (!(mapped == 1 ? append_escaped(out, c) : out.push_back(mapped))) return Status::kNoMemory;
  }
  return Status::kOk;
}

// Appends the host in to out; an IP host's address goes to address, its
// kind to *kind (left alone for a domain).
Status append_host(std::string_view in, String& out, uint8_t address[16], HostKind* kind) noexcept {
  const size_t begin = out.size();
  {
    // The usual host, plain ASCII: written in one pass, byte for byte.
    char* plain = out.extend(in.size());
    if (plain == nullptr) return Status::kNoMemory;
    size_t i = 0;
    for (; i < in.size(); i++) {
      const unsigned char c = static_cast<unsigned char>(in[i]);
      const char mapped = c < 0x80 ? kPlainHostChars.out[c] : 0;
      if (mapped == 0) break;
      plain[i] = mapped;
    }
    if (i == in.size() && i != 0) {
      // An IPv4 address ends in a number, which starts with a digit (or is
      // empty, a trailing dot): anything else is a domain.
      size_t last = in.size() - (in.back() == '.');
      while (last > 0 && in[last - 1] != '.') last--;
      const char first = last < in.size() ? in[last] : '.';
      if (!is_digit(first) && first != '.') return Status::kOk;
    }
    out.truncate(begin);  // the full reading below
  }
  bool ascii = true, escaped = false;
  for (char c : in) {
    ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    escaped = escaped || c == '%';
  }
  Status status;
  if (ascii && !escaped) {
    status = append_host_chars(out, in, false);
  } else {
    String decoded;
    if (!decoded.reserve(in.size())) return Status::kNoMemory;
    bool decoded_ascii = true;
    for (size_t i = 0; i < in.size(); i++) {
      char c = in[i];
      if (c == '%') {
        if (i + 2 >= in.size() || !is_hex(in[i + 1]) || !is_hex(in[i + 2])) {
          return Status::kNotAUrl;
        }
        c = static_cast<char>(kHexValues[in[i + 1]] * 16 + kHexValues[in[i + 2]]);
        i += 2;
      }
      decoded_ascii = decoded_ascii && static_cast<unsigned char>(c) < 0x80;
      (void)decoded.push_back(c);  // reserved
    }
    if (decoded_ascii) {
      // Chromium: a host that is ASCII (after percent-decoding) is only
      // lowered and checked, not put through UTS #46, so "xn--" labels are
      // not checked either.
      status = append_host_chars(out, decoded.view(), false);
    } else {
      // Chromium gives up on a host of more than 1265 UTF-16 code units
      // (five times the longest DNS name) before its UTS #46 processing.
      size_t units = 0;
      for (char c : decoded.view()) {
        unsigned char b = static_cast<unsigned char>(c);
        units += (b & 0xC0) != 0x80 ? 1 + (b >= 0xF0) : 0;
        if (b < 0x80 && kHostChars.out[b] <= 1) units += 2;  // written as %XX
      }
      if (units > 1265) return Status::kNotAUrl;
      String ascii_host;
      int done = idna::to_ascii(decoded.view(), ascii_host);
      if (done < 0) return Status::kError;
      if (done == 0) return Status::kNotAUrl;
      status = append_host_chars(out, ascii_host.view(), true);
    }
  }
  if (status != Status::kOk) return status;
  std::string_view host = gco::sub(out.view(), begin);
  if (host.empty()) return Status::kNotAUrl;
  if (host[0] == '[') {
    if (host.back() != ']' || !parse_ipv6(gco::sub(host, 1, host.size() - 2), address)) {
      return Status::kNotAUrl;
    }
    *kind = HostKind::kIPv6;
    out.truncate(begin);
    return append_ipv6(out, address) ? Status::kOk : Status::kNoMemory;
  }
  for (char c : host) {
    if (c == '[' || c == ']' || c == ':') return Status::kNotAUrl;
  }
  int parts = 0;
  int ipv4 = parse_ipv4(host, address, &parts);
  if (ipv4 < 0) return Status::kNotAUrl;
  if (ipv4 == 0) return Status::kOk;
  *kind = HostKind::kIPv4;
  out.truncate(begin);
  for (int i = 0; i < 4; i++) {
    if ((i > 0 && !out.push_back('.')) || !append_decimal(out, address[i])) {
      return Status::kNoMemory;
    }
  }
  return Status::kOk;
}

// --- The path -----------------------------------------------------------

bool is_dot(std::string_view s) noexcept {
  return s == "." || (s.size() == 3 && s[0] == '%' && s[1] == '2' && (s[2] == 'e' || s[2] == 'E'));
}

bool is_double_dot(std::string_view s) noexcept {
  if (s == "..") return true;
  if (s.size() == 4)
    return (is_dot(gco::sub(s, 0, 1)) && is_dot(gco::sub(s, 1))) ||
           (is_dot(gco::sub(s, 0, 3)) && is_dot(gco::sub(s, 3)));
  return s.size() == 6 && is_dot(gco::sub(s, 0, 3)) && is_dot(gco::sub(s, 3));
}

bool append_path(String& out, std::string_view path, size_t path_begin) noexcept {
  size_t at = 0;
  if (!path.empty() && (path[0] == '/' || path[0] == '\\')) at = 1;
  for (;;) {
    size_t end = at;
    while (end < path.size() && path[end] != '/' && path[end] != '\\') end++;
    std::string_view segment = gco::sub(path, at, end - at);
    const bool last = end == path.size();
    if (is_double_dot(segment)) {
      // Drop the last segment; a ".." that ends the path leaves a "/".
      size_t size = out.size();
      while (size > path_begin && out[size - 1] != '/') size--;
      if (size > path_begin) out.truncate(size - 1);
      if (last && !out.push_back('/')) return false;
    } else if (is_dot(segment)) {
      if (last && !out.push_back('/')) return false;
    } else if (!out.push_back('/') || !append_encoded(out, segment, kPathSet)) {
      return false;
    }
    if (last) return true;
    at = end + 1;
  }
}

Status parse(std::string_view s, Url& url) noexcept {
  const size_t n = s.size();
  size_t i = 0;
  if (n == 0 || !is_alpha(s[0])) return Status::kNotAUrl;
  while (i < n && (is_alpha(s[i]) || is_digit(s[i]) || s[i] == '+' || s[i] == '-' || s[i] == '.')) {
    i++;
  }
  if (i == n || s[i] != ':') return Status::kNotAUrl;
  char scheme[6] = {};
  if (i > 5) return Status::kNotAUrl;
  for (size_t k = 0; k < i; k++) scheme[k] = static_cast<char>(s[k] | 0x20);
  std::string_view name(scheme, i);
  uint16_t default_port;
  if (name == "http") {
    url.scheme = Scheme::kHttp;
    default_port = 80;
  } else if (name == "https") {
    url.scheme = Scheme::kHttps;
    default_port = 443;
  } else if (name == "ws") {
    url.scheme = Scheme::kWs;
    default_port = 80;
  } else if (name == "wss") {
    url.scheme = Scheme::kWss;
    default_port = 443;
  } else {
    return Status::kNotAUrl;
  }
  String& out = url.href;
  out.clear();
  if (!out.reserve(n + 8) || !out.append(name) || !out.append("://")) return Status::kNoMemory;
  i++;
  while (i < n && (s[i] == '/' || s[i] == '\\')) i++;
  const size_t authority = i;
  while (i < n && s[i] != '/' && s[i] != '\\' && s[i] != '?' && s[i] != '#') i++;
  const size_t authority_end = i;
  // Credentials: up to the last "@"; the others are encoded as %40.
  size_t host_begin = authority;
  for (size_t k = authority; k < authority_end; k++) {
    if (s[k] == '@') host_begin = k + 1;
  }
  // Chromium: the port follows the last ":" when that comes after the last
  // "]" (a host that starts with "[" ends at its "]"); the standard takes
  // the first ":" outside brackets.  They differ only where a host that
  // Chromium reads differently is refused by both, or when a "[" is
  // percent-encoded ("%5B::1]", which Chromium reads as [::1]).
  size_t host_end = authority_end;
  size_t terminator = host_begin < authority_end && s[host_begin] == '[' ? authority_end : 0;
  size_t colon = 0;
  for (size_t k = host_begin; k < authority_end; k++) {
    if (s[k] == ']') terminator = k + 1;
    if (s[k] == ':') colon = k + 1;
  }
  if (colon > terminator) host_end = colon - 1;
  if (host_end == host_begin) return Status::kNotAUrl;
  if (host_begin > authority) {
    std::string_view userinfo = gco::sub(s, authority, host_begin - 1 - authority);
    size_t colon = userinfo.find(':');
    std::string_view user = gco::sub(userinfo, 0, colon);
    std::string_view password =
        colon == std::string_view::npos ? std::string_view() : gco::sub(userinfo, colon + 1);
    if (!user.empty() || !password.empty()) {
      if (!append_encoded(out, user, kUserinfoSet) ||
          (!password.empty() &&
           (!out.push_back(':') || !append_encoded(out, password, kUserinfoSet))) ||
          !out.push_back('@')) {
        return Status::kNoMemory;
      }
    }
  }
  url.host_kind = HostKind::kDomain;
  url.host_begin = static_cast<uint32_t>(out.size());
  Status status =
      append_host(gco::sub(s, host_begin, host_end - host_begin), out, url.address, &url.host_kind);
  if (status != Status::kOk) return status;
  url.host_end = static_cast<uint32_t>(out.size());
  uint32_t port = default_port;
  if (host_end < authority_end && host_end + 1 < authority_end) {
    port = 0;
    for (size_t k = host_end + 1; k < authority_end; k++) {
      if (!is_digit(s[k])) return Status::kNotAUrl;
      port = port * 10 + static_cast<uint32_t>(s[k] - '0');
      if (port > 65535) return Status::kNotAUrl;
    }
  }
  url.port = static_cast<uint16_t>(port);
  if (port != default_port && (!out.push_back(':') || !append_decimal(out, port))) {
    return Status::kNoMemory;
  }
  size_t query = authority_end;
  while (query < n && s[query] != '?' && s[query] != '#') query++;
  url.path_begin = static_cast<uint32_t>(out.size());
  if (!append_path(out, gco::sub(s, authority_end, query - authority_end), url.path_begin)) {
    return Status::kNoMemory;
  }
  url.path_end = static_cast<uint32_t>(out.size());
  size_t fragment = query;
  url.has_query = query < n && s[query] == '?';
  if (url.has_query) {
    fragment = query + 1;
    while (fragment < n && s[fragment] != '#') fragment++;
    if (!out.push_back('?') ||
        !append_encoded(out, gco::sub(s, query + 1, fragment - query - 1), kQuerySet)) {
      return Status::kNoMemory;
    }
  }
  url.query_end = static_cast<uint32_t>(out.size());
  url.has_fragment = fragment < n;
  if (url.has_fragment &&
      (!out.push_back('#') || !append_encoded(out, gco::sub(s, fragment + 1), kFragmentSet))) {
    return Status::kNoMemory;
  }
  // Chromium's limit applies to the url as written out, too.
  return out.size() > kMaxLength ? Status::kNotAUrl : Status::kOk;
}

// Appends the UTF-8 of one code point.
bool append_utf8(String& out, char32_t c) noexcept {
  char bytes[4];
  int n;
  if (c < 0x80) {
    bytes[0] = static_cast<char>(c);
    n = 1;
  } else if (c < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | c >> 6);
    bytes[1] = static_cast<char>(0x80 | (c & 0x3F));
    n = 2;
  } else if (c < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | c >> 12);
    bytes[1] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (c & 0x3F));
    n = 3;
  } else {
    bytes[0] = static_cast<char>(0xF0 | c >> 18);
    bytes[1] = static_cast<char>(0x80 | (c >> 12 & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
    bytes[3] = static_cast<char>(0x80 | (c & 0x3F));
    n = 4;
  }
  return out.append(std::string_view(bytes, static_cast<size_t>(n)));
}

// The length of a valid UTF-8 sequence at p, or 0.
size_t utf8_sequence(const unsigned char* p, const unsigned char* end) noexcept {
  uint32_t code;
  return static_cast<size_t>(text::utf8_sequence(p, end, &code));
}

}  // namespace

Status read_host(std::string_view host, String& out, HostKind* kind) noexcept {
  // Straight into out: a Domain attribute is read on every Set-Cookie value
  // that has one.
  uint8_t address[16];
  *kind = HostKind::kDomain;
  out.clear();
  const Status status = append_host(host, out, address, kind);
  if (status != Status::kOk) out.clear();
  return status;
}

std::string_view Url::scheme_name() const noexcept {
  switch (scheme) {
    case Scheme::kHttp:
      return "http";
    case Scheme::kHttps:
      return "https";
    case Scheme::kWs:
      return "ws";
    case Scheme::kWss:
      return "wss";
  }
  return "";
}

bool Url::loopback_host() const noexcept {
  if (host_kind == HostKind::kIPv4) return address[0] == 127;
  if (host_kind == HostKind::kIPv6) {
    for (int i = 0; i < 15; i++) {
      if (address[i] != 0) return false;
    }
    return address[15] == 1;
  }
  std::string_view h = host();
  if (!h.empty() && h.back() == '.') h.remove_suffix(1);  // as Chromium: "localhost." too
  return h == "localhost" || gco::ends_with(h, ".localhost");
}

Status read(std::string_view input, Url& out) noexcept {
  // Leading and trailing C0 controls and spaces go.
  size_t begin = 0, end = input.size();
  while (begin < end && static_cast<unsigned char>(input[begin]) <= 0x20) begin++;
  while (end > begin && static_cast<unsigned char>(input[end - 1]) <= 0x20) end--;
  std::string_view s = gco::sub(input, begin, end - begin);
  bool clean = true;
  for (char c : s) {
    clean = clean && c != '\t' && c != '\n' && c != '\r' && static_cast<unsigned char>(c) < 0x80;
  }
  if (clean) return parse(s, out);
  // Tabs and newlines are removed anywhere; invalid UTF-8 reads as U+FFFD.
  String copy;
  if (!copy.reserve(s.size())) return Status::kNoMemory;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* stop = p + s.size();
  while (p < stop) {
    if (*p == '\t' || *p == '\n' || *p == '\r') {
      p++;
      continue;
    }
    size_t length = utf8_sequence(p, stop);
    bool done = length ? copy.append(std::string_view(reinterpret_cast<const char*>(p), length))
                       : append_utf8(copy, 0xFFFD);
    if (!done) return Status::kNoMemory;
    p += length ? length : 1;
  }
  return parse(copy.view(), out);
}

Status read(PyObject* text, Url& out) noexcept {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  if (PyUnicode_IS_ASCII(text)) {
    return read(std::string_view(static_cast<const char*>(PyUnicode_DATA(text)),
                                 static_cast<size_t>(length)),
                out);
  }
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  String utf8;
  if (!utf8.reserve(static_cast<size_t>(length) * 2)) return Status::kNoMemory;
  for (Py_ssize_t i = 0; i < length; i++) {
    char32_t c = PyUnicode_READ(kind, data, i);
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    if (!append_utf8(utf8, c)) return Status::kNoMemory;
  }
  return read(utf8.view(), out);
}

bool canonical_path(std::string_view path, String& out) noexcept {
  return append_path(out, path, out.size());
}

}  // namespace gco::url
