// The writer module's way into the browser's Set-Cookie steps (see
// browser_rules.hpp).
#include "browser_rules.hpp"

#include <string_view>

#include "evaluate.hpp"

namespace gco {

bool check_browser_keeps(const char* header, Py_ssize_t size) noexcept {
  PyTime_t nanoseconds = 0;
  if (PyTime_TimeRaw(&nanoseconds) < 0) return false;
  browser::Outcome out;
  browser::Findings findings;
  // No origin: the steps that need the page's url are skipped, and the
  // name prefixes are judged as from a secure origin.
  if (!browser::evaluate({header, size}, nullptr, nanoseconds / 1000, out, &findings)) {
    return false;
  }
  // The refusal first, then what a browser would change.
  const std::string_view refusal = browser::refusal_word(out.refusal);
  for (int pass = 0; pass < 2; pass++) {
    for (const browser::Finding& f : findings) {
      const bool fatal = pass == 0 ? !refusal.empty() && f.word == refusal
                                   : f.word == "PathDefaulted" || f.word == "AttributeValueTooLong";
      if (fatal) {
        PyErr_Format(PyExc_ValueError, "%s: %s", f.word.c_str(), f.sentence.c_str());
        return false;
      }
    }
  }
  if (out.has_domain) {
    // Without a url the domain is not compared with a host; a public suffix
    // is refused on every host but itself, where it is ignored.
    int is_public = browser::is_public_suffix(out.domain);
    if (is_public < 0) return false;
    if (is_public) {
      PyErr_Format(PyExc_ValueError,
                   "InvalidDomain: Domain=%s is a public suffix: a browser refuses the cookie "
                   "(on that very host it ignores the Domain); leave domain=None for a "
                   "host-only cookie",
                   out.domain.c_str());
      return false;
    }
  }
  return true;
}

int64_t days_from_civil(int64_t year, unsigned month, unsigned day) noexcept {
  return browser::days_from_civil(year, month, day);
}

void civil_from_days(int64_t days, int64_t* year, unsigned* month, unsigned* day) noexcept {
  browser::civil_from_days(days, year, month, day);
}

}  // namespace gco
