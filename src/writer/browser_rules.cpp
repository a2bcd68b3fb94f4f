// The writer module's way into the browser's Set-Cookie steps (see
// browser_rules.hpp).
#include "browser_rules.hpp"

#include <cstring>
#include <string_view>

#include "compat.hpp"
#include "cookie_rules.hpp"
#include "memory.hpp"
#include "public_suffix.hpp"

namespace gco {

namespace {

// Headers found acceptable, by their bytes without the value's and by the
// value's length; a server writes the same few cookies again and again.
// Replaced in turn.
struct Accepted {
  String bytes;  // the header before the value, then the header after it
  Py_ssize_t head = -1;
  Py_ssize_t value_size = 0;
};
constexpr int kRemembered = 8;
Accepted accepted[kRemembered];
int next_slot = 0;

bool remembered(std::string_view head, std::string_view tail, Py_ssize_t value_size) {
  for (const Accepted& a : accepted) {
    if (a.head == static_cast<Py_ssize_t>(head.size()) && a.value_size == value_size &&
        a.bytes.size() == head.size() + tail.size() &&
        std::memcmp(a.bytes.data(), head.data(), head.size()) == 0 &&
        std::memcmp(a.bytes.data() + head.size(), tail.data(), tail.size()) == 0) {
      return true;
    }
  }
  return false;
}

void remember(std::string_view head, std::string_view tail, Py_ssize_t value_size) {
  Accepted& a = accepted[next_slot];
  next_slot = (next_slot + 1) % kRemembered;
  a.head = -1;  // unusable until complete: a failed allocation only forgets
  if (!a.bytes.assign(head) || !a.bytes.append(tail)) return;
  a.head = static_cast<Py_ssize_t>(head.size());
  a.value_size = value_size;
}

// The steps themselves; true when a browser keeps the header as written.
bool run_steps(const char* header, Py_ssize_t size) {
  PyTime_t nanoseconds = 0;
  if (PyTime_TimeRaw(&nanoseconds) < 0) return false;
  rules::Outcome out;
  rules::Findings findings;
  // No origin: the steps that need the page's url are skipped, and the
  // name prefixes are judged as from a secure origin.
  if (!rules::evaluate({header, size}, nullptr, nanoseconds / 1000, out, &findings)) {
    return false;
  }
  // The refusal first, then what a browser would change.
  const std::string_view refusal = rules::refusal_word(out.refusal);
  for (int pass = 0; pass < 2; pass++) {
    for (size_t i = 0; i < findings.size(); i++) {
      const rules::Finding& f = findings[i];
      const std::string_view word = f.word;
      const bool fatal = pass == 0 ? !refusal.empty() && word == refusal
                                   : word == "PathDefaulted" || word == "AttributeValueTooLong";
      if (fatal) {
        // As text of its own: PyErr_Format reads %.*s from 3.12 on.
        Ref sentence = steal(PyUnicode_DecodeUTF8(
            f.sentence.data(), static_cast<Py_ssize_t>(f.sentence.size()), "replace"));
        if (sentence) PyErr_Format(PyExc_ValueError, "%s: %U", f.word, sentence.get());
        return false;
      }
    }
  }
  // Without a url the domain is not compared with a host; a public suffix
  // is refused on every host but itself, where it is ignored.
  if (out.has_domain && rules::is_public_suffix(out.domain, true)) {
    Ref domain = steal(PyUnicode_DecodeUTF8(out.domain.data(),
                                            static_cast<Py_ssize_t>(out.domain.size()), "replace"));
    if (domain) {
      PyErr_Format(PyExc_ValueError,
                   "InvalidDomain: Domain=%U is a public suffix: a browser refuses the cookie "
                   "(on that very host it ignores the Domain); leave domain=None for a "
                   "host-only cookie",
                   domain.get());
    }
    return false;
  }
  return true;
}

}  // namespace

bool check_browser_keeps(const char* header, Py_ssize_t size, Py_ssize_t value_begin,
                         Py_ssize_t value_end) noexcept {
  const std::string_view head(header, static_cast<size_t>(value_begin));
  const std::string_view tail(header + value_end, static_cast<size_t>(size - value_end));
  const Py_ssize_t value_size = value_end - value_begin;
  if (remembered(head, tail, value_size)) return true;
  if (!run_steps(header, size)) return false;
  remember(head, tail, value_size);
  return true;
}

}  // namespace gco
