// The lookups over the table that make_table.py generates from the list.
// They follow Chromium's reading of the list: the longest rule that is a
// suffix of the host (from a label's start) decides; a wildcard rule
// ("*.ck", kept as "ck") makes the label before it part of the registry and
// its own text a registry too (Chromium differs there from the list's own
// algorithm, which needs a label more); an exception ("!www.ck") makes its
// registry the text after its first label; no rule makes the last label the
// registry.
#include "public_suffix.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cookie_rules.hpp"

namespace gco::rules {

namespace {

#include "public_suffix_table.inc"

constexpr uint32_t kFnvBasis = 0x811C9DC5u;
constexpr uint32_t kFnvPrime = 0x01000193u;
constexpr uint32_t kMask = (1u << kSlotBits) - 1;
constexpr size_t kNone = static_cast<size_t>(-1);
enum Kind : unsigned { kRule = 0, kException = 1, kWildcard = 2 };

struct Match {
  size_t length = 0;  // 0: no rule
  unsigned kind = kRule;
};

// The longest rule that is a suffix of host starting at a label.  The suffix
// hashes are made in one pass from the host's end, and no rule is longer
// than kLongestRule, so the cost does not grow with a long host.
Match longest_rule(std::string_view host) {
  Match best;
  uint32_t h = kFnvBasis;
  const size_t size = host.size();
  for (size_t n = 1; n <= size && n <= kLongestRule; n++) {
    h = (h ^ static_cast<unsigned char>(host[size - n])) * kFnvPrime;
    if (n < size && host[size - n - 1] != '.') continue;
    for (uint32_t i = h & kMask;; i = (i + 1) & kMask) {
      const uint32_t slot = kSlots[i];
      if (slot == 0) break;
      if ((slot >> 9 & 31) != h >> 27 || (slot >> 2 & 127) != n) continue;
      if (std::memcmp(kRuleText + (slot >> 14), host.data() + size - n, n) == 0) {
        best = Match{n, slot & 3};
        break;
      }
    }
  }
  return best;
}

// The registry's length in a host without leading dots or a last dot; 0
// when the host is a registry itself or has none.
size_t trimmed_registry_length(std::string_view host, bool use_list) {
  const Match m = use_list ? longest_rule(host) : Match{};
  const size_t size = host.size();
  if (m.length == 0) {
    size_t dot = host.rfind('.');
    return dot == std::string_view::npos ? 0 : size - dot - 1;
  }
  if (m.kind == kWildcard) {
    if (m.length == size) return 0;
    size_t dot = host.rfind('.', size - m.length - 2);
    return dot == std::string_view::npos ? 0 : size - dot - 1;
  }
  if (m.kind == kException) {
    size_t dot = host.find('.', size - m.length);
    return dot == std::string_view::npos ? 0 : size - dot - 1;
  }
  return m.length == size ? 0 : m.length;
}

// The registry's length in a host (a last dot counted in it); 0 when there
// is none, kNone for an empty host.
size_t registry_length(std::string_view host, bool use_list) {
  if (host.empty()) return kNone;
  const size_t begin = host.find_first_not_of('.');
  if (begin == std::string_view::npos) return 0;
  const size_t end = host.back() == '.' ? host.size() - 1 : host.size();
  const size_t length = trimmed_registry_length({host.data() + begin, end - begin}, use_list);
  return length == 0 ? 0 : length + (host.size() - end);
}

// A canonical IPv4 host: four decimal parts, no leading zeros.
bool is_dotted_quad(std::string_view host) {
  int parts = 0;
  size_t i = 0;
  while (true) {
    size_t start = i;
    int value = 0;
    while (i < host.size() && host[i] >= '0' && host[i] <= '9' && i - start < 3) {
      value = value * 10 + (host[i++] - '0');
    }
    size_t length = i - start;
    if (length == 0 || value > 255 || (length > 1 && host[start] == '0')) return false;
    if (++parts == 4) return i == host.size();
    if (i == host.size() || host[i] != '.') return false;
    i++;
  }
}

bool is_ip_address(std::string_view host) {
  return is_dotted_quad(host) || host.find(':') != std::string_view::npos ||
         (!host.empty() && host[0] == '[');
}

}  // namespace

const char* const kPublicSuffixListVersion = kListVersion;

std::string_view registrable_domain(std::string_view host, bool use_list) noexcept {
  if (host.empty() || is_ip_address(host)) return {};
  const size_t length = registry_length(host, use_list);
  if (length == 0 || length == kNone || host.size() < 2 || length > host.size() - 2) return {};
  const size_t dot = host.rfind('.', host.size() - length - 2);
  return dot == std::string_view::npos
             ? host
             : std::string_view(host.data() + dot + 1, host.size() - dot - 1);
}

bool is_public_suffix(std::string_view domain, bool use_list) noexcept {
  return !domain.empty() && !is_ip_address(domain) && registry_length(domain, use_list) == 0;
}

}  // namespace gco::rules
