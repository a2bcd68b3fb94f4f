// The jar's methods: each reads its arguments into native values (running
// whatever code a subclass or an iterable brings, and the Set-Cookie
// steps), applies them under the jar's lock within the call's turn with
// the backing store, then builds the Python results once the lock is
// released.
#include "methods.hpp"

#include <algorithm>
#include <cstring>

#include "arguments.hpp"
#include "compat.hpp"
#include "call.hpp"
#include "cookie_rules.hpp"
#include "records.hpp"
#include "rows.hpp"

namespace gco::jar {

namespace {

using rules::Outcome;
using rules::Refusal;

// One Set-Cookie value on its way into the jar.
struct Pending {
  Ref holder;  // keeps the header's bytes
  Span raw;
  Outcome out;
  String partition;  // the partition key's site, written out
  bool refused = false;
  SetRequest request;
  SetOutcome result = SetOutcome::kRefused;
};

// The Set-Cookie steps for one value (before the lock): refused, or the
// request that applies it.
bool prepare(JarObject* jar, const Call& call, Pending& p) {
  rules::Origin origin;
  origin.secure = call.url->trustworthy;
  origin.ip = call.url->ip;
  if (!origin.host.assign(call.url->host())) return no_memory();
  if (!rules::evaluate(p.raw, &origin, call.now, p.out, nullptr, jar->use_list)) return false;
  const Outcome& out = p.out;
  if (out.refusal != Refusal::kNone) {
    p.refused = true;
    return true;
  }
  // Chromium's IsSetPermittedInContext: no HttpOnly cookie from script; a
  // Strict, Lax or unspecified cookie only in a Lax context.
  const Context context = response_context(call.url_site, call.top_site_or_null(), call.navigation);
  if ((call.from_script && out.http_only) ||
      (out.same_site != static_cast<uint32_t>(SameSite::kNone) && context < Context::kLax)) {
    p.refused = true;
    return true;
  }
  CookieFields& f = p.request.fields;
  f.name = {out.name.data, static_cast<size_t>(out.name.size)};
  f.value = {out.value.data, static_cast<size_t>(out.value.size)};
  f.domain = out.domain_is_host ? call.url->host() : out.domain.view();
  f.path = out.path_is_default
               ? default_path(call.url->path())
               : std::string_view(out.path.data, static_cast<size_t>(out.path.size));
  f.expiry = out.has_expiry ? out.expiry : kNoExpiry;
  f.secure = out.secure;
  f.http_only = out.http_only;
  f.host_only = out.host_only;
  f.partitioned = out.partitioned;
  if (out.partitioned) {
    if (!call.partition->serialize(p.partition)) return no_memory();
    f.partition = p.partition.view();
    f.cross_site_ancestor = call.partition_cross_site;
  }
  // Chromium's source scheme and port (CanonicalCookie::Create): a Secure
  // cookie from a loopback host over http counts as set from a secure
  // scheme, and from port 443 when the url's port is http's default.
  f.source_secure = call.url->https || out.secure;
  f.source_port = out.secure && !call.url->https && call.url->port == 80 ? 443 : call.url->port;
  f.same_site = static_cast<SameSite>(out.same_site);
  f.priority = static_cast<Priority>(out.priority);
  p.request.expired = out.expired;
  p.request.secure_origin = call.url->trustworthy;
  p.request.from_script = call.from_script;
  // A host-only cookie's key is the url's, worked out already.
  p.request.key = out.domain_is_host ? call.key : site_key(f.domain, jar->use_list);
  return true;
}

PyObject* result_of(const Pending& p) {
  if (p.refused || p.result == SetOutcome::kRefused) Py_RETURN_NONE;
  const CookieFields& f = p.request.fields;
  RecordParts r;
  r.name = f.name;
  r.value = f.value;
  r.domain = f.domain;
  r.path = f.path;
  r.expiry = f.expiry;
  r.same_site = f.same_site;
  r.priority = f.priority;
  r.host_only = f.host_only;
  r.secure = f.secure;
  r.http_only = f.http_only;
  r.partitioned = f.partitioned;
  r.expired = p.request.expired;
  return make_record(r);
}

// Applies the prepared values in order under one lock, all or none: false
// (MemoryError raised) when memory ran out, with what was applied undone
// (the turn undoes what its changes recorded; a jar without a store keeps a
// log of its own for several values).
bool apply_all(JarObject* jar, const Turn& turn, const Call& call, Pending* pending, size_t count) {
  Changes own;
  Changes* changes = turn.changes() != nullptr ? turn.changes() : count > 1 ? &own : nullptr;
  bool ok = true;
  {
    Locked lock(jar);
    for (size_t i = 0; i < count && ok; i++) {
      if (pending[i].refused) continue;
      pending[i].result = apply_set(*jar->store, pending[i].request, call.now, changes);
      ok = pending[i].result != SetOutcome::kNoMemory;
    }
    if (!ok && changes == &own) (void)revert(*jar->store, own, jar->use_list);
  }
  return ok || no_memory();
}

// Whether a header name is Set-Cookie, in any letter case.
bool is_set_cookie(PyObject* name, bool* out) {
  Ref holder;
  Span s;
  if (!header_bytes(name, "a header name", holder, s)) return false;
  *out = s.is("set-cookie");
  return true;
}

// The Set-Cookie values of values: bytes or str items, or (name, value)
// pairs of which those named Set-Cookie count.  The whole iterable is read
// before anything else happens.
bool read_values(PyObject* values, Vector<Pending>& out) {
  if (PyBytes_Check(values) || PyUnicode_Check(values)) {
    PyErr_SetString(PyExc_TypeError,
                    "values must be an iterable of Set-Cookie values or of (name, value) "
                    "headers, not a single bytes or str");
    return false;
  }
  Ref iterator = steal(PyObject_GetIter(values));
  if (!iterator) return false;
  while (Ref item = steal(PyIter_Next(iterator.get()))) {
    Ref value = incref(item.get());
    if (PyTuple_Check(item.get()) || PyList_Check(item.get())) {
      Ref pair = steal(PySequence_Tuple(item.get()));
      if (!pair) return false;
      if (PyTuple_GET_SIZE(pair.get()) != 2) {
        PyErr_SetString(PyExc_ValueError, "a header must be a (name, value) pair");
        return false;
      }
      bool wanted;
      if (!is_set_cookie(PyTuple_GET_ITEM(pair.get(), 0), &wanted)) return false;
      if (!wanted) continue;
      value = incref(PyTuple_GET_ITEM(pair.get(), 1));
    }
    if (!out.emplace_back()) return no_memory();
    Pending& p = out.back();
    if (!header_bytes(value.get(), "a Set-Cookie value", p.holder, p.raw)) return false;
    if (!p.holder) p.holder = std::move(value);
  }
  return !PyErr_Occurred();
}

bool copy_cookie(const Cookie& c, void* data) {
  CookieCopy copy(c.clone());
  return copy && static_cast<Vector<CookieCopy>*>(data)->push_back(std::move(copy));
}

// Every live cookie, copied out in Chromium's order for its full list.
bool live_cookies(JarObject* jar, const Turn& turn, Instant now, Vector<CookieCopy>& found) {
  Locked lock(jar);
  return snapshot(*jar->store, now, found, turn.changes());
}

PyObject* removed(JarObject* jar, const Selection& selection) {
  Turn turn(jar, true);
  if (!turn.begin()) return nullptr;
  Py_ssize_t count;
  {
    Locked lock(jar);
    count = remove_selected(*jar->store, selection, turn.changes());
  }
  if (count < 0) return PyErr_NoMemory();
  return turn.finish(PyLong_FromSsize_t(count));
}

// One cookie of a batch: a Set-Cookie value as received from its url in
// its frame, and the row a document gave for it (what the value cannot
// say is put back from it), or why it is refused.
struct Setting {
  Call call;
  Pending p;
  Ref row;     // the document's row, or null
  Ref reason;  // "<code word>: <why>" for a value refused before the lock
};

// Settings made in place and never moved: a request points into its call.
class Settings {
 public:
  Settings() noexcept = default;
  Settings(const Settings&) = delete;
  Settings& operator=(const Settings&) = delete;
  ~Settings() {
    for (size_t i = 0; i < size_; i++) items_[i].~Setting();
    raw_free(items_);
  }
  [[nodiscard]] bool reserve(size_t count) noexcept {
    items_ = static_cast<Setting*>(raw_allocate(count == 0 ? 1 : count, sizeof(Setting)));
    return items_ != nullptr;
  }
  Setting& add() noexcept { return *new (items_ + size_++) Setting(); }
  size_t size() const noexcept { return size_; }
  Setting& operator[](size_t i) noexcept { return items_[i]; }

 private:
  Setting* items_ = nullptr;
  size_t size_ = 0;
};

// "<word>: <sentence>", a new str.
PyObject* reason_text(const char* word, std::string_view sentence) {
  String line;
  if (!line.append(word) || !line.append(": ") || !line.append(sentence)) return PyErr_NoMemory();
  return rules::decode_text(line.data(), static_cast<Py_ssize_t>(line.size()));
}

// Why the Set-Cookie steps refuse a value from url, in check's words (the
// steps run again to write their finding out); out is their first outcome.
PyObject* rules_refusal(Span raw, const RequestUrl& url, Instant now, bool use_list,
                        const Outcome& out) {
  rules::Origin origin;
  origin.secure = url.trustworthy;
  origin.ip = url.ip;
  if (!origin.host.assign(url.host())) return PyErr_NoMemory();
  rules::Findings findings;
  Outcome again;
  if (!rules::evaluate(raw, &origin, now, again, &findings, use_list)) return nullptr;
  const char* word = rules::refusal_word(out.refusal);
  findings.move_to_front(word);
  if (findings.size() == 0 || std::strcmp(findings[0].word, word) != 0) {
    return reason_text(word, "a browser refuses the cookie");
  }
  return reason_text(word, findings[0].sentence.view());
}

// Why the Set-Cookie steps or the frame's context refuse a prepared value.
PyObject* refusal_of(JarObject* jar, const Setting& s) {
  const Outcome& out = s.p.out;
  if (out.refusal == Refusal::kNone) {
    static const char* const kContextWords[] = {"SameSiteUnspecifiedTreatedAsLax", "SameSiteLax",
                                                "SameSiteStrict"};
    return reason_text(kContextWords[out.same_site < 3 ? out.same_site : 0],
                       "the cookie is set by a cross-site frame, which a browser lets set "
                       "SameSite=None cookies only");
  }
  return rules_refusal(s.p.raw, *s.call.url, s.call.now, jar->use_list, out);
}

// Reads a row's int item (None: *none set).
bool row_int(PyObject* row, int field, long long* value, bool* none) {
  PyObject* item = PyTuple_GET_ITEM(row, field);
  *none = item == Py_None;
  if (*none) return true;
  if (!PyLong_CheckExact(item)) {
    PyErr_Format(PyExc_TypeError, "a row's %s is an int", kRowFields[field]);
    return false;
  }
  *value = PyLong_AsLongLong(item);
  return !(*value == -1 && PyErr_Occurred());
}

// Puts back into a prepared value what its row says and a Set-Cookie value
// cannot: the expiry to the microsecond (unless the jar capped it below),
// the partition's cross-site-ancestor half, an unknown source port.
bool refine(Setting& s) {
  PyObject* row = s.row.get();
  if (!PyTuple_CheckExact(row) || PyTuple_GET_SIZE(row) != kRowFieldCount) {
    PyErr_Format(PyExc_TypeError, "a setting's row is a tuple of %d items",
                 static_cast<int>(kRowFieldCount));
    return false;
  }
  CookieFields& f = s.p.request.fields;
  long long want = 0, port = 0;
  bool none, no_port;
  if (!row_int(row, kRowExpires, &want, &none) || !row_int(row, kRowSourcePort, &port, &no_port)) {
    return false;
  }
  if (!none && f.expiry != kNoExpiry && want < f.expiry && f.expiry < want + rules::kSecond) {
    f.expiry = want;
  }
  if (!no_port && port == -1) f.source_port = 0;
  PyObject* key = PyTuple_GET_ITEM(row, kRowPartitionKey);
  if (f.partitioned && PyTuple_GET_ITEM(row, kRowPartitioned) == Py_True && PyUnicode_Check(key) &&
      PyUnicode_IS_ASCII(key) &&
      std::string_view(static_cast<const char*>(PyUnicode_DATA(key)),
                       static_cast<size_t>(PyUnicode_GET_LENGTH(key))) == f.partition) {
    f.cross_site_ancestor = PyTuple_GET_ITEM(row, kRowCrossSiteAncestor) == Py_True;
  }
  return true;
}

// Reads one setting, a (header, url, site_for_cookies, navigation, row)
// sequence, and runs the Set-Cookie steps; a url that does not read is an
// Unreadable refusal.
bool read_setting(JarObject* jar, PyObject* item, Setting& s) {
  Ref fields = steal(PySequence_Tuple(item));
  if (!fields) return false;
  if (PyTuple_GET_SIZE(fields.get()) != 5) {
    PyErr_SetString(PyExc_ValueError,
                    "a setting is (header, url, site_for_cookies, navigation, row)");
    return false;
  }
  PyObject* const* a = &PyTuple_GET_ITEM(fields.get(), 0);
  if (!header_bytes(a[0], "a Set-Cookie value", s.p.holder, s.p.raw)) return false;
  if (!s.p.holder) s.p.holder = incref(a[0]);
  if (!read_call(jar, a[1], nullptr, a[2], a[3], nullptr, s.call)) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
    Ref error = steal(PyErr_GetRaisedException());
    Ref text = steal(PyObject_Str(error.get()));
    if (!text) return false;
    s.reason = steal(PyUnicode_FromFormat("Unreadable: %U", text.get()));
    s.p.refused = true;
    return static_cast<bool>(s.reason);
  }
  if (!prepare(jar, s.call, s.p)) return false;
  if (s.p.refused) {
    s.reason = steal(refusal_of(jar, s));
    return static_cast<bool>(s.reason);
  }
  if (a[4] != Py_None) {
    s.row = incref(a[4]);
    return refine(s);
  }
  return true;
}

}  // namespace

PyObject* set_cookie(PyObject* self, PyObject* const* args) noexcept {
  JarObject* jar = as_jar(self);
  Pending p;
  if (!header_bytes(args[0], "raw", p.holder, p.raw)) return nullptr;
  Call call;
  if (!read_call(jar, args[1], args[2], args[3], args[4], args[5], call) ||
      !prepare(jar, call, p)) {
    return nullptr;
  }
  Turn turn(jar, true);
  if (!turn.begin() || !apply_all(jar, turn, call, &p, 1)) return nullptr;
  return turn.finish(result_of(p));
}

PyObject* set_cookies(PyObject* self, PyObject* const* args) noexcept {
  JarObject* jar = as_jar(self);
  Vector<Pending> pending;
  if (!read_values(args[0], pending)) return nullptr;
  Call call;
  if (!read_call(jar, args[1], args[2], args[3], args[4], args[5], call)) return nullptr;
  for (Pending& p : pending) {
    if (!prepare(jar, call, p)) return nullptr;
  }
  Turn turn(jar, true);
  if (!turn.begin() || !apply_all(jar, turn, call, pending.data(), pending.size())) {
    return nullptr;
  }
  Ref list = steal(PyList_New(static_cast<Py_ssize_t>(pending.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < pending.size(); i++) {
    PyObject* record = result_of(pending[i]);
    if (record == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), record);
  }
  return turn.finish(list.transfer());
}

PyObject* apply_settings(PyObject* self, PyObject* const* args) noexcept {
  JarObject* jar = as_jar(self);
  Ref items = steal(PySequence_Tuple(args[0]));
  if (!items) return nullptr;
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  // Each setting stays where it is made: its request points into its call.
  Settings settings;
  if (!settings.reserve(static_cast<size_t>(n))) return PyErr_NoMemory();
  for (Py_ssize_t i = 0; i < n; i++) {
    if (!read_setting(jar, PyTuple_GET_ITEM(items.get(), i), settings.add())) return nullptr;
  }
  Turn turn(jar, true);
  if (!turn.begin()) return nullptr;
  bool ok = true;
  {
    Changes own;
    Changes* changes = turn.changes() != nullptr ? turn.changes() : &own;
    Locked lock(jar);
    for (size_t i = 0; i < settings.size() && ok; i++) {
      Pending& p = settings[i].p;
      if (p.refused) continue;
      p.result = apply_set(*jar->store, p.request, settings[i].call.now, changes);
      ok = p.result != SetOutcome::kNoMemory;
    }
    if (!ok && changes == &own) (void)revert(*jar->store, own, jar->use_list);
  }
  if (!ok) return PyErr_NoMemory();
  Ref list = steal(PyList_New(static_cast<Py_ssize_t>(settings.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < settings.size(); i++) {
    Setting& s = settings[i];
    if (!s.p.refused && s.p.result == SetOutcome::kRefused) {
      s.reason = steal(PyUnicode_FromString(
          "SecureOnly: it would overwrite or shadow a Secure cookie of the jar"));
    }
    PyObject* result = s.reason ? s.reason.get() : result_of(s.p);
    if (result == nullptr) return nullptr;
    if (s.reason) Py_INCREF(result);
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), result);
  }
  return turn.finish(list.transfer());
}

PyObject* value_refusal(PyObject* /*module*/, PyObject* const* args) noexcept {
  Ref holder;
  Span raw;
  SharedUrl url;
  Instant now;
  if (!header_bytes(args[0], "value", holder, raw) || !url.read(args[1], "url") ||
      !read_now(nullptr, &now)) {
    return nullptr;
  }
  rules::Origin origin;
  origin.secure = url.get()->trustworthy;
  origin.ip = url.get()->ip;
  if (!origin.host.assign(url.get()->host())) return PyErr_NoMemory();
  Outcome out;
  if (!rules::evaluate(raw, &origin, now, out, nullptr)) return nullptr;
  if (out.refusal == Refusal::kNone) Py_RETURN_NONE;
  return rules_refusal(raw, *url.get(), now, true, out);
}

PyObject* cookie_header_method(PyObject* self, PyObject* const* args) noexcept {
  JarObject* jar = as_jar(self);
  Call call;
  Request request;
  if (!read_request(jar, args, call, request)) return nullptr;
  Turn turn(jar, false);
  if (!turn.begin()) return nullptr;
  String header;
  bool ok;
  {
    Locked lock(jar);
    ok = cookie_header(*jar->store, request, header, turn.changes());
  }
  if (!ok) return PyErr_NoMemory();
  const Py_ssize_t size = static_cast<Py_ssize_t>(header.size());
  if (request.from_script) {
    // document.cookie is text: a line that is not UTF-8 shows as ""
    Ref text = steal(PyUnicode_DecodeUTF8(header.data(), size, "strict"));
    if (!text) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return nullptr;
      PyErr_Clear();
      return turn.finish(PyBytes_FromStringAndSize("", 0));
    }
  }
  return turn.finish(PyBytes_FromStringAndSize(header.data(), size));
}

PyObject* cookies_method(PyObject* self, PyObject* const* args) noexcept {
  JarObject* jar = as_jar(self);
  Vector<CookieCopy> found;
  bool ok, details;
  if (!read_flag(args[2], &details)) return nullptr;
  const bool every = args[0] == nullptr || args[0] == Py_None;
  Instant now;
  Call call;
  Request request;
  if (every) {
    if (!read_now(args[1], &now)) return nullptr;
  } else {
    if (!read_call(jar, args[0], args[1], nullptr, nullptr, nullptr, call)) return nullptr;
    request.url = call.url;
    request.key = call.key;
    request.partition = call.partition;
    request.update_access = false;
    request.now = call.now;
  }
  Turn turn(jar, false);
  if (!turn.begin()) return nullptr;
  if (every) {
    ok = live_cookies(jar, turn, now, found);
  } else {
    Locked lock(jar);
    ok = each_sent(*jar->store, request, turn.changes(), copy_cookie, &found);
  }
  if (!ok) return PyErr_NoMemory();
  return turn.finish(list_of(found, details));
}

PyObject* get_method(PyObject* self, PyObject* const* args) noexcept {
  JarObject* jar = as_jar(self);
  if (args[0] == Py_None) {
    PyErr_SetString(PyExc_TypeError, "name must be a str or bytes, not None");
    return nullptr;
  }
  SelectionArgs s;
  if (!read_selection(jar, args[1], args[2], args[0], s) || !read_now(args[3], &s.selection.now)) {
    return nullptr;
  }
  Turn turn(jar, false);
  if (!turn.begin()) return nullptr;
  CookieCopy found;
  bool ok;
  {
    Locked lock(jar);
    ok = find_one(*jar->store, s.selection, found);
  }
  if (!ok) return PyErr_NoMemory();
  if (!found) return turn.finish(Py_NewRef(Py_None));
  return turn.finish(make_record(parts_of(*found.get())));
}

PyObject* clear_method(PyObject* self, PyObject* const* args) noexcept {
  JarObject* jar = as_jar(self);
  SelectionArgs s;
  if (!read_selection(jar, args[0], args[1], args[2], s)) return nullptr;
  return removed(jar, s.selection);
}

PyObject* clear_session_cookies(PyObject* self, PyObject* const* /*args*/) noexcept {
  Selection selection;
  selection.session_only = true;
  return removed(as_jar(self), selection);
}

PyObject* clear_expired(PyObject* self, PyObject* const* args) noexcept {
  Selection selection;
  selection.expired_only = true;
  if (!read_now(args[0], &selection.now)) return nullptr;
  return removed(as_jar(self), selection);
}

PyObject* remove_method(PyObject* self, PyObject* const* args) noexcept {
  JarObject* jar = as_jar(self);
  CookieFields key;
  TextKey path;
  bool by_text;
  Ref holder;
  if (!read_removal(args[0], key, path, &by_text, holder)) return nullptr;
  const std::string_view site = site_key(key.domain, jar->use_list);
  Turn turn(jar, true);
  if (!turn.begin()) return nullptr;
  int found;
  {
    Locked lock(jar);
    found = remove_exact(*jar->store, key, by_text ? &path : nullptr, site, turn.changes());
  }
  if (found < 0) return PyErr_NoMemory();
  return turn.finish(PyBool_FromLong(found));
}

int jar_contains(PyObject* self, PyObject* item) noexcept {
  JarObject* jar = as_jar(self);
  Instant now;
  (void)read_now(nullptr, &now);
  if (PyUnicode_Check(item) || PyBytes_Check(item)) {
    SelectionArgs s;
    s.selection.now = now;
    if (!read_selection(jar, nullptr, nullptr, item, s)) return -1;
    Turn turn(jar, false);
    if (!turn.begin()) return -1;
    CookieCopy found;
    bool ok;
    {
      Locked lock(jar);
      ok = find_one(*jar->store, s.selection, found);
    }
    if (!ok) {
      (void)no_memory();
      return -1;
    }
    Ref done = steal(turn.finish(Py_NewRef(Py_None)));
    return done ? static_cast<bool>(found) : -1;
  }
  CookieFields key;
  TextKey path;
  bool by_text;
  Ref holder;
  if (!read_removal(item, key, path, &by_text, holder)) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Format(PyExc_TypeError,
                     "a cookie jar holds cookies found by name (str or bytes), by their "
                     "BrowserCookie (or its pair with its CookieDetails) or by their key, not "
                     "%.200s",
                     Py_TYPE(item)->tp_name);
      }
      return -1;
    }
    PyErr_Clear();  // not a cookie a jar holds
    return 0;
  }
  const std::string_view site = site_key(key.domain, jar->use_list);
  Turn turn(jar, false);
  if (!turn.begin()) return -1;
  int found;
  {
    Locked lock(jar);
    found = remove_exact(*jar->store, key, by_text ? &path : nullptr, site, nullptr, true, now);
  }
  Ref done = steal(turn.finish(Py_NewRef(Py_None)));
  return done ? found : -1;
}

PyObject* rows_method(PyObject* self, PyObject* const* /*args*/) noexcept {
  JarObject* jar = as_jar(self);
  Instant now;
  (void)read_now(nullptr, &now);
  Turn turn(jar, false);
  if (!turn.begin()) return nullptr;
  Vector<CookieCopy> found;
  if (!live_cookies(jar, turn, now, found)) return PyErr_NoMemory();
  std::sort(found.begin(), found.end(),
            [](const CookieCopy& a, const CookieCopy& b) { return a->creation < b->creation; });
  Ref list = steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < found.size(); i++) {
    PyObject* row = row_of(*found[i].get());
    if (row == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row);
  }
  return turn.finish(list.transfer());
}

PyObject* load_rows_method(PyObject* self, PyObject* const* args) noexcept {
  JarObject* jar = as_jar(self);
  bool replace;
  if (!read_flag(args[1], &replace)) return nullptr;
  // The rows are read (running whatever code an iterable brings) inside the
  // call's turn: they are checked and applied together.
  Ref refused = steal(PyList_New(0));
  if (!refused) return nullptr;
  Turn turn(jar, true);
  if (!turn.begin()) return nullptr;
  Py_ssize_t loaded, expired;
  if (!put_rows(jar, args[0], replace, turn.changes(), &loaded, &expired, refused.get())) {
    return nullptr;
  }
  return turn.finish(Py_BuildValue("(nnO)", loaded, expired, refused.get()));
}

PyObject* close_method(PyObject* self, PyObject* const* /*args*/) noexcept {
  if (!close(as_jar(self))) return nullptr;
  Py_RETURN_NONE;
}

Py_ssize_t jar_length(PyObject* self) noexcept {
  JarObject* jar = as_jar(self);
  Instant now;
  (void)read_now(nullptr, &now);
  Turn turn(jar, false);
  if (!turn.begin()) return -1;
  size_t count;
  {
    Locked lock(jar);
    count = live_count(*jar->store, now, turn.changes());
  }
  Ref done = steal(turn.finish(Py_NewRef(Py_None)));
  return done ? static_cast<Py_ssize_t>(count) : -1;
}

PyObject* jar_iter(PyObject* self) noexcept {
  JarObject* jar = as_jar(self);
  Instant now;
  (void)read_now(nullptr, &now);
  Vector<CookieCopy> found;
  Turn turn(jar, false);
  if (!turn.begin()) return nullptr;
  if (!live_cookies(jar, turn, now, found)) return PyErr_NoMemory();
  Ref list = steal(turn.finish(list_of(found)));
  return list ? PyObject_GetIter(list.get()) : nullptr;
}

PyObject* jar_repr(PyObject* self) noexcept {
  Ref name = steal(PyType_GetFullyQualifiedName(Py_TYPE(self)));
  if (!name) return nullptr;
  if (as_jar(self)->closed) return PyUnicode_FromFormat("<%U (closed)>", name.get());
  Py_ssize_t n = jar_length(self);
  if (n < 0) return nullptr;
  return PyUnicode_FromFormat("<%U with %zd cookie%s>", name.get(), n, n == 1 ? "" : "s");
}

}  // namespace gco::jar
