// The Public Suffix List, read once from the file that the publicsuffixlist
// package ships (never fetched) into a sorted table of its rules: plain rules,
// wildcards ("*.kawasaki.jp") and exceptions ("!city.kawasaki.jp"), each
// rule with its internationalised labels as A-labels.  Without the package,
// or with the list switched off, only the list's default rule "*" applies:
// a single label is a public suffix.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cookie_rules.hpp"

namespace gco::rules {

bool use_public_suffix_list = true;

namespace {

// Sorted once the list is read, and searched by binary search.
std::vector<std::string> rules;

bool has_rule(std::string_view rule) {
  auto found = std::lower_bound(rules.begin(), rules.end(), rule,
                                [](const std::string& a, std::string_view b) { return a < b; });
  return found != rules.end() && *found == rule;
}
size_t max_labels = 0;
enum class ListState { kUnloaded, kLoaded, kAbsent } list_state = ListState::kUnloaded;

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1C && c <= 0x1F); }

void add_rule(std::string_view rule) {
  size_t labels = 1;
  for (char c : rule) labels += c == '.';
  if (labels > max_labels) max_labels = labels;
  rules.emplace_back(rule);
}

// One line of the file, read as the package reads it: the text before the
// first space, white space stripped at its end, lower case; comments and
// empty lines skipped.  Rules with characters outside ASCII are added by
// their A-label form (the domains asked about are always ASCII).
bool add_line(const char* data, size_t size) {
  if (size >= 2 && data[0] == '/' && data[1] == '/') return true;
  bool ascii = true;
  for (size_t i = 0; i < size; i++) ascii = ascii && static_cast<unsigned char>(data[i]) < 0x80;
  if (ascii) {
    std::string rule(data, size);
    size_t space = rule.find(' ');
    if (space != std::string::npos) rule.resize(space);
    while (!rule.empty() && is_space(rule.back())) rule.pop_back();
    for (char& c : rule) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    if (!rule.empty() && !rule.starts_with("//")) add_rule(rule);
    return true;
  }
  Ref text = steal(PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), "surrogateescape"));
  if (!text) return false;
  Ref lowered = steal(PyObject_CallMethod(text.get(), "lower", nullptr));
  if (!lowered) return false;
  Ref space = steal(PyUnicode_FromOrdinal(' '));
  if (!space) return false;
  Ref parts = steal(PyUnicode_Split(lowered.get(), space.get(), 1));
  if (!parts) return false;
  Ref rule = steal(PyObject_CallMethod(PyList_GET_ITEM(parts.get(), 0), "rstrip", nullptr));
  if (!rule) return false;
  Py_ssize_t length = PyUnicode_GET_LENGTH(rule.get());
  if (length == 0 || PyUnicode_READ_CHAR(rule.get(), 0) == '/') {
    return true;  // empty, or a comment
  }
  bool exception = PyUnicode_READ_CHAR(rule.get(), 0) == '!';
  Ref bare = steal(PyUnicode_Substring(rule.get(), exception ? 1 : 0, length));
  if (!bare) return false;
  Ref encoded = steal(PyUnicode_AsEncodedString(bare.get(), "idna", nullptr));
  if (!encoded) return false;
  std::string form = exception ? "!" : "";
  form.append(PyBytes_AS_STRING(encoded.get()),
              static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
  add_rule(form);
  return true;
}

// The list file's path inside the installed package, found without
// importing the package; None when it is not installed.
PyObject* list_path() {
  Ref util = steal(PyImport_ImportModule("importlib.util"));
  if (!util) return nullptr;
  Ref spec = steal(PyObject_CallMethod(util.get(), "find_spec", "s", "publicsuffixlist"));
  if (!spec) return nullptr;
  if (spec.get() == Py_None) return spec.transfer();
  Ref locations = steal(PyObject_GetAttrString(spec.get(), "submodule_search_locations"));
  if (!locations) return nullptr;
  if (locations.get() == Py_None) Py_RETURN_NONE;
  Ref first = steal(PySequence_GetItem(locations.get(), 0));
  if (!first) return nullptr;
  return PyUnicode_FromFormat("%U/public_suffix_list.dat", first.get());
}

bool load() {
  Ref path = steal(list_path());
  if (!path) return false;
  if (path.get() == Py_None) {
    list_state = ListState::kAbsent;
    return true;
  }
  Ref encoded = steal(PyUnicode_EncodeFSDefault(path.get()));
  if (!encoded) return false;
  std::FILE* file = std::fopen(PyBytes_AS_STRING(encoded.get()), "rb");
  if (file == nullptr) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.get());
    return false;
  }
  std::string content;
  char chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, got);
  std::fclose(file);
  rules.clear();
  max_labels = 0;
  size_t start = 0;
  while (start < content.size()) {
    size_t stop = content.find('\n', start);
    if (stop == std::string::npos) stop = content.size();
    if (!add_line(content.data() + start, stop - start)) {
      rules.clear();
      return false;
    }
    start = stop + 1;
  }
  std::sort(rules.begin(), rules.end());
  rules.erase(std::unique(rules.begin(), rules.end()), rules.end());
  list_state = ListState::kLoaded;
  return true;
}

// Whether prefix + suffix is a rule; the key is put together on the stack.
bool contains(std::string_view prefix, std::string_view suffix) {
  char local[256];
  std::string heap;
  size_t size = prefix.size() + suffix.size();
  char* key = local;
  if (size > sizeof local) {
    heap.resize(size);
    key = heap.data();
  }
  std::memcpy(key, prefix.data(), prefix.size());
  std::memcpy(key + prefix.size(), suffix.data(), suffix.size());
  return has_rule(std::string_view(key, size));
}

// The last domain asked about and the answer, since one server names the
// same Domain again and again.
std::string last_domain;
bool last_answer = false;
bool last_listed = false;
bool last_valid = false;

}  // namespace

int is_public_suffix(std::string_view domain) noexcept {
  if (use_public_suffix_list && list_state == ListState::kUnloaded && !load()) return -1;
  const bool listed = use_public_suffix_list && list_state == ListState::kLoaded;
  if (last_valid && last_listed == listed && domain == last_domain) return last_answer;
  std::string_view asked = domain;
  if (domain.ends_with('.')) domain.remove_suffix(1);
  // Labels, counted; an empty label is no domain.
  size_t count = 0;
  for (size_t position = 0;;) {
    size_t dot = domain.find('.', position);
    size_t stop = dot == std::string_view::npos ? domain.size() : dot;
    if (stop == position) return 0;
    count++;
    if (dot == std::string_view::npos) break;
    position = dot + 1;
  }
  size_t public_labels = 1;
  if (listed && count > 1) {
    size_t first = count > max_labels + 1 ? count - (max_labels + 1) : 0;
    // The start of label first, then of each following one.
    size_t start = 0;
    for (size_t i = 0; i < first; i++) start = domain.find('.', start) + 1;
    for (size_t i = first; i < count; i++) {
      size_t depth = count - i;
      std::string_view s = domain.substr(start);
      if (contains("!", s)) {
        public_labels = depth - 1;
        break;
      }
      if (contains("*.", s)) {
        public_labels = i > 0 ? depth + 1 : depth;
        break;
      }
      if (has_rule(s)) {
        public_labels = depth;
        break;
      }
      start = domain.find('.', start) + 1;
    }
  }
  bool answer = public_labels != 0 && public_labels == count;
  last_domain.assign(asked);
  last_answer = answer;
  last_listed = listed;
  last_valid = true;
  return answer;
}

}  // namespace gco::rules
