// glimmering_copper_otter.jar: a cookie jar that keeps and sends cookies as
// Chromium does.  This file is the Python type: it reads every argument
// into native values (running whatever code a subclass or an iterable
// brings, and the Set-Cookie steps), applies them under the jar's lock,
// then builds the Python results once the lock is released.
#include <Python.h>
#include <datetime.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "arguments.hpp"
#include "idna.hpp"
#include "browser_record.hpp"
#include "cookie_rules.hpp"
#include "frame.hpp"
#include "function.hpp"
#include "operations.hpp"
#include "rows.hpp"

namespace gco::jar {

namespace {

PyTypeObject* record_type = nullptr;  // glimmering_copper_otter.browser.BrowserCookie
PyObject* same_site_members[4];       // CookieSameSiteMode.UNDEFINED, LAX, STRICT, NONE

GCO_STR(str_low, "low");
GCO_STR(str_medium, "medium");
GCO_STR(str_high, "high");

using rules::Outcome;
using rules::Refusal;

// ---------------------------------------------------------------------------
// Times.

// A stored time shown as a datetime: within its years 1 to 9999.
Instant clamp(Instant t) {
  return t < rules::kEarliest ? rules::kEarliest : t > rules::kLatest ? rules::kLatest : t;
}

// ---------------------------------------------------------------------------
// Records.

// What a record shows, from an applied header or from a stored cookie.
struct RecordParts {
  std::string_view name, value, domain, path;
  Instant expiry = kNoExpiry;
  SameSite same_site = SameSite::kUnspecified;
  Priority priority = Priority::kUnset;
  bool host_only = true, secure = false, http_only = false, partitioned = false, expired = false;
};

RecordParts parts_of(const Cookie& c) {
  RecordParts p;
  p.name = c.name();
  p.value = c.value();
  p.domain = c.domain();
  p.path = c.path();
  p.expiry = c.expiry;
  p.same_site = c.same_site();
  p.priority = c.priority();
  p.host_only = c.host_only();
  p.secure = c.secure();
  p.http_only = c.http_only();
  p.partitioned = c.partitioned();
  return p;
}

PyObject* text_of(std::string_view bytes) {
  return rules::decode_text(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* bytes_of(std::string_view bytes) {
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

// The last ASCII text made for one field of the records (a name, a domain,
// a path): records of one site repeat them, and a str is immutable, so the
// same object serves again.  Used with the interpreter held; never freed.
struct LastText {
  PyObject* text = nullptr;

  PyObject* get(std::string_view bytes) {
    if (text != nullptr && static_cast<size_t>(PyUnicode_GET_LENGTH(text)) == bytes.size() &&
        (bytes.empty() || std::memcmp(PyUnicode_DATA(text), bytes.data(), bytes.size()) == 0)) {
      return Py_NewRef(text);
    }
    PyObject* made = text_of(bytes);
    if (made != nullptr && PyUnicode_IS_ASCII(made)) Py_XSETREF(text, Py_NewRef(made));
    return made;
  }
};
LastText last_name, last_domain, last_path;

// A new BrowserCookie, or nullptr with an exception set.
PyObject* make_record(const RecordParts& p) {
  Ref record = steal(PyType_GenericAlloc(record_type, 0));
  if (!record) return nullptr;
  BrowserRecord* r = reinterpret_cast<BrowserRecord*>(record.get());
  if ((r->name = last_name.get(p.name)) == nullptr || (r->value = text_of(p.value)) == nullptr ||
      (r->raw_name = bytes_of(p.name)) == nullptr ||
      (r->raw_value = bytes_of(p.value)) == nullptr ||
      (r->domain = last_domain.get(p.domain)) == nullptr ||
      (r->path = last_path.get(p.path)) == nullptr ||
      (r->expires = p.expiry == kNoExpiry ? Py_NewRef(Py_None) : datetime_of_instant(p.expiry)) ==
          nullptr) {
    return nullptr;
  }
  r->same_site = Py_NewRef(same_site_members[static_cast<int>(p.same_site)]);
  static const Constant* const kPriorities[] = {nullptr, &str_low, &str_medium, &str_high};
  const Constant* priority = kPriorities[static_cast<int>(p.priority)];
  r->priority = Py_NewRef(priority ? priority->get() : Py_None);
  r->host_only = p.host_only;
  r->secure = p.secure;
  r->http_only = p.http_only;
  r->partitioned = p.partitioned;
  r->expired = p.expired;
  return record.transfer();
}

// What the jar knows of a cookie beyond its record.
PyStructSequence_Field details_fields[] = {
    {"creation", "When the cookie was stored (kept by a replacement with the same value)."},
    {"last_access", "When a request last carried it (updated at most once a minute)."},
    {"partition_key",
     "A partitioned cookie's partition: (top-level site, whether the frame that set it had a "
     "cross-site ancestor), as (\"https://example.com\", True); None for another cookie."},
    {"source_scheme",
     "\"Secure\" for a cookie set from https (or Secure from a loopback host over http), "
     "else \"NonSecure\"."},
    {"source_port", "The port of the url that set it."},
    {nullptr, nullptr},
};
PyStructSequence_Desc details_desc = {
    "glimmering_copper_otter.jar.CookieDetails",
    "What a jar knows of a stored cookie beyond its BrowserCookie record.", details_fields, 5};
PyTypeObject* details_type = nullptr;

PyObject* details_of(const Cookie& c) {
  Ref details = steal(PyStructSequence_New(details_type));
  if (!details) return nullptr;
  PyObject* fields[5] = {
      datetime_of_instant(clamp(c.creation)), datetime_of_instant(clamp(c.last_access)),
      c.partitioned() ? Py_BuildValue("(s#O)", c.partition().data(),
                                      static_cast<Py_ssize_t>(c.partition().size()),
                                      c.cross_site_ancestor() ? Py_True : Py_False)
                      : Py_NewRef(Py_None),
      PyUnicode_FromString(c.source_secure() ? "Secure" : "NonSecure"),
      PyLong_FromLong(c.source_port())};
  bool ok = true;
  for (int i = 0; i < 5; i++) {
    ok = ok && fields[i] != nullptr;
    PyStructSequence_SetItem(details.get(), i, fields[i] ? fields[i] : Py_NewRef(Py_None));
  }
  return ok ? details.transfer() : nullptr;
}

// The records of the cookies; with details, (record, CookieDetails) pairs.
PyObject* list_of(const Vector<CookieCopy>& cookies, bool details = false) {
  Ref list = steal(PyList_New(static_cast<Py_ssize_t>(cookies.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < cookies.size(); i++) {
    PyObject* item = make_record(parts_of(*cookies[i].get()));
    if (item != nullptr && details) {
      Ref record = steal(item);
      Ref more = steal(details_of(*cookies[i].get()));
      item = more ? PyTuple_Pack(2, record.get(), more.get()) : nullptr;
    }
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.transfer();
}

// ---------------------------------------------------------------------------
// The jar object.

struct JarObject {
  PyObject_HEAD PyMutex mutex;
  Store* store;  // raw allocated; guarded by mutex
  bool use_list;
  PyObject* weakrefs;
  // The file store (glimmering_copper_otter._store.SqliteStore), or null.
  PyObject* file;
  // The changes not yet written to the file, in order; guarded by mutex.
  Changes pending;
  // Held for the whole of a call on a jar with a file (FileTurn below), and
  // the thread that holds it: while it is held, no other call reads the
  // file or changes the jar.
  PyMutex file_order;
  std::atomic<unsigned long> file_owner;
  // The file keeps session cookies too (keep_session_cookies).
  bool file_keeps_sessions;
};

extern PyTypeObject JarType;

JarObject* as_jar(PyObject* self) { return reinterpret_cast<JarObject*>(self); }

// Holds the jar's lock for a scope.  PyMutex_Lock detaches the thread state
// while it waits, so a thread waiting for the jar never holds the
// interpreter; inside, nothing runs interpreted code or allocates objects.
class Locked {
 public:
  explicit Locked(JarObject* jar) noexcept : mutex_(&jar->mutex) { PyMutex_Lock(mutex_); }
  ~Locked() { PyMutex_Unlock(mutex_); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  PyMutex* mutex_;
};

// A call's turn at the file.  Calls on a jar with a file take turns, each
// for its whole length: the file is read, the jar changed and the changes
// written with no other call in between, so a call never adopts a file that
// lacks changes another call has made but not yet written.  A call made on
// the same thread inside another (a signal handler, a finaliser the
// collector runs) joins that one's turn: it neither reads nor writes the
// file, and the outer call writes its changes with its own.  PyMutex_Lock
// detaches the thread state while it waits.
class FileTurn {
 public:
  explicit FileTurn(JarObject* jar) noexcept : jar_(jar->file != nullptr ? jar : nullptr) {
    if (jar_ == nullptr) return;
    const unsigned long me = PyThread_get_thread_ident();
    if (jar_->file_owner.load(std::memory_order_relaxed) == me) {
      nested_ = true;
      return;
    }
    PyMutex_Lock(&jar_->file_order);
    jar_->file_owner.store(me, std::memory_order_relaxed);
  }
  ~FileTurn() {
    if (jar_ == nullptr || nested_) return;
    jar_->file_owner.store(0, std::memory_order_relaxed);
    PyMutex_Unlock(&jar_->file_order);
  }
  FileTurn(const FileTurn&) = delete;
  FileTurn& operator=(const FileTurn&) = delete;

  // Whether this call reads and writes the file (not one joined inside another).
  bool outermost() const noexcept { return jar_ != nullptr && !nested_ && jar_->file != nullptr; }

 private:
  JarObject* jar_;
  bool nested_ = false;
};

// The list that records changes for the file; none without a file.
Changes* changes_of(JarObject* jar) { return jar->file != nullptr ? &jar->pending : nullptr; }

Store* make_store(Limits limits) {
  void* memory = raw_allocate(1, sizeof(Store));
  return memory ? new (memory) Store(limits) : nullptr;
}

void free_store(Store* store) {
  if (store == nullptr) return;
  store->~Store();
  raw_free(store);
}

// ---------------------------------------------------------------------------
// The file: a glimmering_copper_otter._store.SqliteStore, driven with rows
// (rows.hpp).  Before a call the jar asks it whether another connection
// changed the file (refresh); after a call that changed something it hands
// it the changes, once the jar's lock is released (flush).

GCO_STR(str_load, "load");
GCO_STR(str_refresh, "refresh");
GCO_STR(str_apply, "apply");
GCO_STR(str_set, "set");
GCO_STR(str_delete, "delete");
GCO_STR(str_touch, "touch");

// Puts rows (any iterable of rows, read to its end first) into the jar as
// they are; expired ones are passed over.  With replace the jar is emptied
// first.  With adopt (the file's whole contents, after another connection
// changed it) the cookies the file keeps go first (the persistent ones, and
// the session ones when it keeps those), and nothing is recorded for the
// file.
// *stored: how many rows went in.
bool load_rows(JarObject* jar, PyObject* rows, bool replace, bool adopt, Py_ssize_t* stored) {
  // A list of its own, which no other code can change while the jar's lock
  // is held: the fields borrow the bytes of its rows.
  Ref list = steal(PySequence_List(rows));
  if (!list) return false;
  const size_t n = static_cast<size_t>(PyList_GET_SIZE(list.get()));
  Vector<CookieFields> fields;
  Vector<std::string_view> keys;
  if (!fields.resize(n) || !keys.resize(n)) return no_memory();
  for (size_t i = 0; i < n; i++) {
    const Py_ssize_t index = static_cast<Py_ssize_t>(i);
    if (!read_row(PyList_GET_ITEM(list.get(), index), index, fields[i])) return false;
    keys[i] = site_key(fields[i].domain, jar->use_list);
  }
  Instant now;
  (void)read_now(nullptr, &now);
  bool ok = true;
  Py_ssize_t count = 0;
  {
    Locked lock(jar);
    Changes* changes = adopt ? nullptr : changes_of(jar);
    if (replace || adopt) {
      Selection all;
      all.persistent_only = adopt && !jar->file_keeps_sessions;
      ok = remove_selected(*jar->store, all, changes) >= 0;
    }
    for (size_t i = 0; i < n && ok; i++) {
      if (fields[i].expiry != kNoExpiry && fields[i].expiry <= now) continue;
      ok = apply_load(*jar->store, fields[i], keys[i], now, changes);
      count++;
    }
  }
  *stored = count;
  return ok || no_memory();
}

// Before a call: the file's contents, when another connection changed it.
bool flush(JarObject* jar, const FileTurn& turn);

bool refresh(JarObject* jar, const FileTurn& turn) {
  if (!turn.outermost()) return true;
  // Changes that an earlier call could not write go first, so that what the
  // file holds afterwards, and the jar adopts, includes them.
  bool pending;
  {
    Locked lock(jar);
    pending = !jar->pending.empty();
  }
  if (pending && !flush(jar, turn)) return false;
  Ref file = incref(jar->file);
  Ref rows = steal(PyObject_CallMethodNoArgs(file.get(), str_refresh.get()));
  if (!rows) return false;
  if (rows.get() == Py_None) return true;
  Py_ssize_t stored;
  return load_rows(jar, rows.get(), false, true, &stored);
}

// A change as the file store takes it: ("set", row), ("delete", key) or
// ("touch", key, last_access).
PyObject* change_object(const Change& change) {
  const Cookie& c = *change.cookie.get();
  Ref item = steal(change.kind == Change::Kind::kInsert ? row_of(c) : key_of(c));
  if (!item) return nullptr;
  switch (change.kind) {
    case Change::Kind::kInsert:
      return PyTuple_Pack(2, str_set.get(), item.get());
    case Change::Kind::kDelete:
      return PyTuple_Pack(2, str_delete.get(), item.get());
    case Change::Kind::kAccess:
      break;
  }
  Ref when = steal(PyLong_FromLongLong(c.last_access));
  return when ? PyTuple_Pack(3, str_touch.get(), item.get(), when.get()) : nullptr;
}

// After a call: every pending change written to the file, in one
// transaction, in order, and again for changes that calls joined to this
// one made meanwhile.
bool flush(JarObject* jar, const FileTurn& turn) {
  if (!turn.outermost()) return true;  // the outer call writes them
  Ref file = incref(jar->file);
  for (;;) {
    Changes taken;
    {
      Locked lock(jar);
      taken = std::move(jar->pending);
    }
    if (taken.empty()) return true;
    Ref list = steal(PyList_New(static_cast<Py_ssize_t>(taken.size())));
    bool ok = static_cast<bool>(list);
    for (size_t i = 0; ok && i < taken.size(); i++) {
      PyObject* item = change_object(taken[i]);
      ok = item != nullptr;
      if (ok) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    if (ok) {
      ok = static_cast<bool>(
          steal(PyObject_CallMethodOneArg(file.get(), str_apply.get(), list.get())));
    }
    if (ok) continue;
    // A change the store refuses as such (TypeError, ValueError) would be
    // refused again: it is reported and not kept.  Otherwise nothing was
    // written (the transaction rolled back) and the changes go back ahead
    // of those made meanwhile, for the next call to write.  Should memory
    // for that run out, the file misses them until it is read again.
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) {
      Locked lock(jar);
      if (taken.reserve(taken.size() + jar->pending.size())) {
        for (Change& change : jar->pending) (void)taken.push_back(std::move(change));
        jar->pending = std::move(taken);
      }
    }
    return false;
  }
}

// A call's result, once its changes are in the file.  Without a result
// (an error) the changes stay pending and go with the next call.
PyObject* written(JarObject* jar, const FileTurn& turn, PyObject* result) {
  if (result == nullptr) return nullptr;
  if (!flush(jar, turn)) {
    Py_DECREF(result);
    return nullptr;
  }
  return result;
}

PyObject* jar_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
  Ref self = steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  JarObject* jar = as_jar(self.get());
  jar->mutex = PyMutex{};
  jar->use_list = true;
  jar->weakrefs = nullptr;
  jar->file = nullptr;
  new (&jar->pending) Changes();
  jar->file_order = PyMutex{};
  new (&jar->file_owner) std::atomic<unsigned long>(0);
  jar->file_keeps_sessions = false;
  jar->store = make_store(Limits{});
  if (jar->store == nullptr) return PyErr_NoMemory();
  return self.transfer();
}

void jar_dealloc(PyObject* self) {
  JarObject* jar = as_jar(self);
  if (jar->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  free_store(jar->store);
  jar->store = nullptr;
  jar->pending.~Changes();
  Py_CLEAR(jar->file);
  Py_TYPE(self)->tp_free(self);
}

// A limit: None (no limit) or a positive int.  0 stands for no limit.
bool read_limit(PyObject* value, const char* param, size_t default_value, size_t* out) {
  if (value == nullptr) {
    *out = default_value;
    return true;
  }
  if (value == Py_None) {
    *out = 0;
    return true;
  }
  if (!PyLong_Check(value) || PyBool_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be an int or None, not %.200s", param,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  int overflow = 0;
  long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (n == -1 && PyErr_Occurred()) return false;
  if (overflow != 0) n = overflow > 0 ? PY_SSIZE_T_MAX : 0;
  if (n > PY_SSIZE_T_MAX) n = PY_SSIZE_T_MAX;
  if (n < 1) {
    PyErr_Format(PyExc_ValueError, "%s must be at least 1, or None for no limit", param);
    return false;
  }
  *out = static_cast<size_t>(n);
  return true;
}

// Opens the file store at path and fills the jar with its cookies.
bool open_file(JarObject* jar, PyObject* path, PyObject* keep_session_cookies, PyObject* timeout) {
  Ref module = steal(PyImport_ImportModule("glimmering_copper_otter._store"));
  Ref type = module ? steal(PyObject_GetAttrString(module.get(), "SqliteStore")) : Ref();
  Ref args = steal(PyTuple_Pack(1, path));
  Ref kwargs = steal(PyDict_New());
  if (!type || !args || !kwargs ||
      (keep_session_cookies != nullptr &&
       PyDict_SetItemString(kwargs.get(), "keep_session_cookies", keep_session_cookies) < 0) ||
      (timeout != nullptr && PyDict_SetItemString(kwargs.get(), "timeout", timeout) < 0)) {
    return false;
  }
  Ref file = steal(PyObject_Call(type.get(), args.get(), kwargs.get()));
  Ref rows = file ? steal(PyObject_CallMethodNoArgs(file.get(), str_load.get())) : Ref();
  if (!rows) return false;
  Ref keeps = steal(PyObject_GetAttrString(file.get(), "keep_session_cookies"));
  const int keeps_sessions = keeps ? truth(keeps.get()) : -1;
  if (keeps_sessions < 0) return false;
  // No file while its rows come in: nothing is recorded for it (nor kept
  // for the file of an earlier __init__).
  Ref old = steal(jar->file);
  jar->file = nullptr;
  {
    Locked lock(jar);
    jar->pending.clear();
  }
  Py_ssize_t stored;
  if (!load_rows(jar, rows.get(), true, false, &stored)) return false;
  jar->file_keeps_sessions = keeps_sessions;
  jar->file = file.transfer();
  return true;
}

Signature init_signature("CookieJar", params("path=None", "*", "max_cookies=3300",
                                             "max_cookies_per_site=180", "public_suffix_list=True",
                                             "keep_session_cookies=False", "timeout=5.0"));

int jar_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* values[kMaxParams];
  if (!init_signature.bind(args, kwargs, values)) return -1;
  Limits limits;
  if (!read_limit(values[1], "max_cookies", 3300, &limits.max_cookies) ||
      !read_limit(values[2], "max_cookies_per_site", 180, &limits.max_cookies_per_site)) {
    return -1;
  }
  int use_list = values[3] == nullptr ? 1 : truth(values[3]);
  if (use_list < 0) return -1;
  JarObject* jar = as_jar(self);
  FileTurn turn(jar);
  {
    Locked lock(jar);
    // The cookies are kept under sites by the list: they stay reachable
    // only while it does not change.
    if (jar->use_list != static_cast<bool>(use_list) && jar->store->count > 0) {
      use_list = -1;
    } else {
      jar->store->limits = limits;
      jar->use_list = use_list;
    }
  }
  if (use_list < 0) {
    PyErr_SetString(PyExc_ValueError,
                    "public_suffix_list cannot change while the jar holds cookies: clear it "
                    "first");
    return -1;
  }
  if (values[0] == nullptr || values[0] == Py_None) return 0;
  return open_file(jar, values[0], values[4], values[5]) ? 0 : -1;
}

// ---------------------------------------------------------------------------
// Arguments.

bool read_flag(PyObject* value, bool* out) {
  int t = value == nullptr ? 0 : truth(value);
  if (t < 0) return false;
  *out = t;
  return true;
}

// The context of one call: the url, the time and the page it happens in.
struct Call {
  SharedUrl url_holder, top_holder;
  const RequestUrl* url = nullptr;
  Instant now = 0;
  bool has_top = false;
  const RequestUrl* top = nullptr;
  bool navigation = false;
  bool from_script = false;
  SchemefulSite url_site, top_site;
  std::string_view key;  // the site key of the url's host
  // The partition key: the top-level site and whether the frame has a
  // cross-site ancestor.
  const SchemefulSite* partition = nullptr;
  bool partition_cross_site = false;
};

// Reads url, now, site_for_cookies, navigation and from_script (each may be
// null), running whatever code they bring, and works out the sites.
bool read_call(JarObject* jar, PyObject* url, PyObject* now, PyObject* site_for_cookies,
               PyObject* navigation, PyObject* from_script, Call& call) {
  if (!call.url_holder.read(url, "url") || !read_now(now, &call.now)) return false;
  call.url = call.url_holder.get();
  call.has_top = site_for_cookies != nullptr && site_for_cookies != Py_None;
  if (call.has_top) {
    if (!call.top_holder.read(site_for_cookies, "site_for_cookies")) return false;
    call.top = call.top_holder.get();
  }
  if (!read_flag(navigation, &call.navigation) || !read_flag(from_script, &call.from_script)) {
    return false;
  }
  call.navigation = call.navigation && !call.from_script;  // script does not navigate
  call.key = site_key(*call.url, jar->use_list);
  site_of(*call.url, call.key, call.url_site);
  if (call.has_top) site_of(*call.top, site_key(*call.top, jar->use_list), call.top_site);
  // The partition key (CookiePartitionKey::FromNetworkIsolationKey): the
  // top-level site, the url's own on a top-level navigation or without a
  // page around it; and whether the frame is cross-site with it, never on
  // a top-level navigation.
  const bool own = call.navigation || !call.has_top;
  call.partition_cross_site = !own && !(call.top_site == call.url_site);
  call.partition = own ? &call.url_site : &call.top_site;
  return true;
}

const SchemefulSite* top_of(const Call& call) { return call.has_top ? &call.top_site : nullptr; }

// ---------------------------------------------------------------------------
// set_cookie and set_cookies.

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
  const Context context = response_context(call.url_site, top_of(call), call.navigation);
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

PyObject* result_of(const Call& call, const Pending& p) {
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
  (void)call;
  return make_record(r);
}

// Applies the prepared values in order under one lock; false (MemoryError
// raised) when memory ran out.
bool apply_all(JarObject* jar, const Call& call, Pending* pending, size_t count) {
  bool ok = true;
  {
    Locked lock(jar);
    Changes* changes = changes_of(jar);
    for (size_t i = 0; i < count && ok; i++) {
      if (pending[i].refused) continue;
      pending[i].result = apply_set(*jar->store, pending[i].request, call.now, changes);
      ok = pending[i].result != SetOutcome::kNoMemory;
    }
  }
  return ok || no_memory();
}

PyObject* set_cookie(PyObject* self, PyObject* const* args) {
  JarObject* jar = as_jar(self);
  Pending p;
  if (!header_bytes(args[0], "raw", p.holder, p.raw)) return nullptr;
  Call call;
  if (!read_call(jar, args[1], args[2], args[3], args[4], args[5], call) ||
      !prepare(jar, call, p)) {
    return nullptr;
  }
  FileTurn turn(jar);
  if (!refresh(jar, turn) || !apply_all(jar, call, &p, 1)) return nullptr;
  return written(jar, turn, result_of(call, p));
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

PyObject* set_cookies(PyObject* self, PyObject* const* args) {
  JarObject* jar = as_jar(self);
  Vector<Pending> pending;
  if (!read_values(args[0], pending)) return nullptr;
  Call call;
  if (!read_call(jar, args[1], args[2], args[3], args[4], args[5], call)) return nullptr;
  for (Pending& p : pending) {
    if (!prepare(jar, call, p)) return nullptr;
  }
  FileTurn turn(jar);
  if (!refresh(jar, turn) || !apply_all(jar, call, pending.data(), pending.size())) return nullptr;
  Ref list = steal(PyList_New(static_cast<Py_ssize_t>(pending.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < pending.size(); i++) {
    PyObject* record = result_of(call, pending[i]);
    if (record == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), record);
  }
  return written(jar, turn, list.transfer());
}

// ---------------------------------------------------------------------------
// Requests.

// Whether the method is safe (GET, HEAD, OPTIONS, TRACE, in any letter case).
bool read_method(PyObject* method, bool* safe) {
  *safe = true;
  if (method == nullptr) return true;
  if (!PyUnicode_Check(method)) {
    PyErr_Format(PyExc_TypeError, "method must be a str, not %.200s", Py_TYPE(method)->tp_name);
    return false;
  }
  Span s{};
  if (PyUnicode_IS_ASCII(method)) {
    s = Span{static_cast<const char*>(PyUnicode_DATA(method)), PyUnicode_GET_LENGTH(method)};
  }
  *safe = s.is("get") || s.is("head") || s.is("options") || s.is("trace");
  return true;
}

bool read_request(JarObject* jar, PyObject* const* args, Call& call, Request& request) {
  // url, now, site_for_cookies, navigation, method, from_script
  bool safe;
  if (!read_call(jar, args[0], args[1], args[2], args[3], args[5], call) ||
      !read_method(args[4], &safe)) {
    return false;
  }
  request.url = call.url;
  request.key = call.key;
  request.context = request_context(call.url_site, top_of(call), call.navigation, safe);
  request.partition = call.partition;
  request.cross_site_ancestor = call.partition_cross_site;
  request.from_script = call.from_script;
  request.now = call.now;
  return true;
}

PyObject* cookie_header_method(PyObject* self, PyObject* const* args) {
  JarObject* jar = as_jar(self);
  Call call;
  Request request;
  if (!read_request(jar, args, call, request)) return nullptr;
  FileTurn turn(jar);
  if (!refresh(jar, turn)) return nullptr;
  String header;
  bool ok;
  {
    Locked lock(jar);
    ok = cookie_header(*jar->store, request, header, changes_of(jar));
  }
  if (!ok) return PyErr_NoMemory();
  const Py_ssize_t size = static_cast<Py_ssize_t>(header.size());
  if (request.from_script) {
    // document.cookie is text: a line that is not UTF-8 shows as ""
    Ref text = steal(PyUnicode_DecodeUTF8(header.data(), size, "strict"));
    if (!text) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return nullptr;
      PyErr_Clear();
      return written(jar, turn, PyBytes_FromStringAndSize("", 0));
    }
  }
  return written(jar, turn, PyBytes_FromStringAndSize(header.data(), size));
}

bool copy_cookie(const Cookie& c, void* data) {
  CookieCopy copy(c.clone());
  return copy && static_cast<Vector<CookieCopy>*>(data)->push_back(std::move(copy));
}

PyObject* cookies_method(PyObject* self, PyObject* const* args) {
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
  FileTurn turn(jar);
  if (!refresh(jar, turn)) return nullptr;
  {
    Locked lock(jar);
    ok = every ? snapshot(*jar->store, now, found, changes_of(jar))
               : each_sent(*jar->store, request, changes_of(jar), copy_cookie, &found);
  }
  if (!ok) return PyErr_NoMemory();
  return written(jar, turn, list_of(found, details));
}

// ---------------------------------------------------------------------------
// get and clear.

// A name, domain or path argument: None (any), bytes (exact), or a str
// (compared by the text rule; a domain lower-cased without a leading dot).
bool read_text_key(PyObject* value, const char* param, bool domain, TextKey& out,
                   const TextKey** chosen, String& lowered) {
  *chosen = nullptr;
  if (value == nullptr || value == Py_None) return true;
  std::string_view bytes;
  if (PyBytes_Check(value)) {
    bytes = {PyBytes_AS_STRING(value), static_cast<size_t>(PyBytes_GET_SIZE(value))};
  } else if (PyUnicode_Check(value) && PyUnicode_IS_ASCII(value)) {
    bytes = {static_cast<const char*>(PyUnicode_DATA(value)),
             static_cast<size_t>(PyUnicode_GET_LENGTH(value))};
  } else if (PyUnicode_Check(value)) {
    out.is_text = true;
    Py_ssize_t n = PyUnicode_GET_LENGTH(value);
    if (!out.text.resize(static_cast<size_t>(n))) return no_memory();
    for (Py_ssize_t i = 0; i < n; i++) out.text[i] = PyUnicode_READ_CHAR(value, i);
    *chosen = &out;
    return true;
  } else {
    PyErr_Format(PyExc_TypeError, "%s must be a str, bytes or None, not %.200s", param,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  if (domain) {
    if (bytes.starts_with('.')) bytes.remove_prefix(1);
    if (!lowered.reserve(bytes.size())) return no_memory();
    for (char c : bytes) {
      (void)lowered.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    bytes = lowered.view();
  }
  out.bytes = bytes;
  *chosen = &out;
  return true;
}

struct SelectionArgs {
  TextKey domain, path, name;
  String lowered;
  std::string_view key;
  Selection selection;
};

bool read_selection(JarObject* jar, PyObject* domain, PyObject* path, PyObject* name,
                    SelectionArgs& s) {
  if (!read_text_key(domain, "domain", true, s.domain, &s.selection.domain, s.lowered) ||
      !read_text_key(path, "path", false, s.path, &s.selection.path, s.lowered) ||
      !read_text_key(name, "name", false, s.name, &s.selection.name, s.lowered)) {
    return false;
  }
  if (s.selection.domain != nullptr && !s.domain.is_text) {
    s.key = site_key(s.domain.bytes, jar->use_list);
    s.selection.key = &s.key;
  }
  return true;
}

PyObject* get_method(PyObject* self, PyObject* const* args) {
  JarObject* jar = as_jar(self);
  if (args[0] == Py_None) {
    PyErr_SetString(PyExc_TypeError, "name must be a str or bytes, not None");
    return nullptr;
  }
  SelectionArgs s;
  if (!read_selection(jar, args[1], args[2], args[0], s) || !read_now(args[3], &s.selection.now)) {
    return nullptr;
  }
  FileTurn turn(jar);
  if (!refresh(jar, turn)) return nullptr;
  CookieCopy found;
  bool ok;
  {
    Locked lock(jar);
    ok = find_one(*jar->store, s.selection, found);
  }
  if (!ok) return PyErr_NoMemory();
  if (!found) Py_RETURN_NONE;
  return make_record(parts_of(*found.get()));
}

PyObject* removed(JarObject* jar, const Selection& selection) {
  FileTurn turn(jar);
  if (!refresh(jar, turn)) return nullptr;
  Py_ssize_t count;
  {
    Locked lock(jar);
    count = remove_selected(*jar->store, selection, changes_of(jar));
  }
  if (count < 0) return PyErr_NoMemory();
  return written(jar, turn, PyLong_FromSsize_t(count));
}

PyObject* clear_method(PyObject* self, PyObject* const* args) {
  JarObject* jar = as_jar(self);
  SelectionArgs s;
  if (!read_selection(jar, args[0], args[1], args[2], s)) return nullptr;
  return removed(jar, s.selection);
}

PyObject* clear_session_cookies(PyObject* self, PyObject* const* /*args*/) {
  Selection selection;
  selection.session_only = true;
  return removed(as_jar(self), selection);
}

PyObject* clear_expired(PyObject* self, PyObject* const* args) {
  Selection selection;
  selection.expired_only = true;
  if (!read_now(args[0], &selection.now)) return nullptr;
  return removed(as_jar(self), selection);
}

// ---------------------------------------------------------------------------
// The protocols: len(), iteration, repr().

Py_ssize_t jar_length(PyObject* self) {
  JarObject* jar = as_jar(self);
  Instant now;
  (void)read_now(nullptr, &now);
  FileTurn turn(jar);
  if (!refresh(jar, turn)) return -1;
  size_t count;
  {
    Locked lock(jar);
    count = live_count(*jar->store, now, changes_of(jar));
  }
  return flush(jar, turn) ? static_cast<Py_ssize_t>(count) : -1;
}

PyObject* jar_iter(PyObject* self) {
  JarObject* jar = as_jar(self);
  Instant now;
  (void)read_now(nullptr, &now);
  Vector<CookieCopy> found;
  bool ok;
  FileTurn turn(jar);
  if (!refresh(jar, turn)) return nullptr;
  {
    Locked lock(jar);
    ok = snapshot(*jar->store, now, found, changes_of(jar));
  }
  if (!ok) return PyErr_NoMemory();
  Ref list = steal(written(jar, turn, list_of(found)));
  return list ? PyObject_GetIter(list.get()) : nullptr;
}

PyObject* jar_repr(PyObject* self) {
  Py_ssize_t n = jar_length(self);
  if (n < 0) return nullptr;
  return PyUnicode_FromFormat("<%s with %zd cookie%s>", Py_TYPE(self)->tp_name, n,
                              n == 1 ? "" : "s");
}

// ---------------------------------------------------------------------------
// Rows, and the interpreted helpers that work with them: the formats
// (_formats.py) and the client adapters (_clients.py).

PyObject* rows_method(PyObject* self, PyObject* const* /*args*/) {
  JarObject* jar = as_jar(self);
  Instant now;
  (void)read_now(nullptr, &now);
  FileTurn turn(jar);
  if (!refresh(jar, turn)) return nullptr;
  Vector<CookieCopy> found;
  bool ok;
  {
    Locked lock(jar);
    ok = snapshot(*jar->store, now, found, changes_of(jar));
  }
  if (!ok) return PyErr_NoMemory();
  std::sort(found.begin(), found.end(),
            [](const CookieCopy& a, const CookieCopy& b) { return a->creation < b->creation; });
  Ref list = steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < found.size(); i++) {
    PyObject* row = row_of(*found[i].get());
    if (row == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row);
  }
  return written(jar, turn, list.transfer());
}

PyObject* load_rows_method(PyObject* self, PyObject* const* args) {
  JarObject* jar = as_jar(self);
  bool replace;
  if (!read_flag(args[1], &replace)) return nullptr;
  FileTurn turn(jar);
  if (!refresh(jar, turn)) return nullptr;
  Py_ssize_t stored;
  if (!load_rows(jar, args[0], replace, false, &stored)) return nullptr;
  return written(jar, turn, PyLong_FromSsize_t(stored));
}

// glimmering_copper_otter.<module>.<name>(*positional, **keywords): the
// keywords are (name, value) pairs, those with a null value left out.
PyObject* call_helper(const char* module, const char* name, PyObject* const* positional,
                      size_t count, const char* const* keyword_names = nullptr,
                      PyObject* const* keyword_values = nullptr, size_t keyword_count = 0) {
  Ref helpers = steal(PyImport_ImportModule(module));
  Ref function = helpers ? steal(PyObject_GetAttrString(helpers.get(), name)) : Ref();
  if (!function) return nullptr;
  Ref keywords;
  if (keyword_count != 0) {
    keywords = steal(PyDict_New());
    if (!keywords) return nullptr;
    for (size_t i = 0; i < keyword_count; i++) {
      if (keyword_values[i] != nullptr &&
          PyDict_SetItemString(keywords.get(), keyword_names[i], keyword_values[i]) < 0) {
        return nullptr;
      }
    }
  }
  return PyObject_VectorcallDict(function.get(), positional, count, keywords.get());
}

constexpr const char* kFormats = "glimmering_copper_otter._formats";
constexpr const char* kClients = "glimmering_copper_otter._clients";

PyObject* load_cookies_txt(PyObject* self, PyObject* const* args) {
  PyObject* call[3] = {self, args[0], args[1] != nullptr ? args[1] : Py_False};
  return call_helper(kFormats, "load_cookies_txt", call, 3);
}
PyObject* save_cookies_txt(PyObject* self, PyObject* const* args) {
  PyObject* call[2] = {self, args[0]};
  return call_helper(kFormats, "save_cookies_txt", call, 2);
}
PyObject* to_json(PyObject* self, PyObject* const* /*args*/) {
  return call_helper(kFormats, "to_json", &self, 1);
}
PyObject* from_json(PyObject* type, PyObject* text) {
  PyObject* call[2] = {type, text};
  return call_helper(kFormats, "from_json", call, 2);
}
PyObject* for_urllib(PyObject* self, PyObject* const* /*args*/) {
  return call_helper(kClients, "for_urllib", &self, 1);
}
PyObject* for_aiohttp(PyObject* self, PyObject* const* /*args*/) {
  return call_helper(kClients, "for_aiohttp", &self, 1);
}
PyObject* install(PyObject* self, PyObject* const* args) {
  PyObject* call[2] = {self, args[0]};
  return call_helper(kClients, "install", call, 2);
}
const char* const kContextNames[4] = {"now", "site_for_cookies", "navigation", "from_script"};
PyObject* aset_cookie(PyObject* self, PyObject* const* args) {
  PyObject* call[3] = {self, args[0], args[1]};
  return call_helper(kClients, "aset_cookie", call, 3, kContextNames, args + 2, 4);
}
PyObject* aset_cookies(PyObject* self, PyObject* const* args) {
  PyObject* call[3] = {self, args[0], args[1]};
  return call_helper(kClients, "aset_cookies", call, 3, kContextNames, args + 2, 4);
}

PyMethodDef jar_methods[] = {
    {"from_json", from_json, METH_O | METH_CLASS,
     PyDoc_STR(
         "from_json($type, text, /)\n--\n\nA new jar (without a file) holding the cookies of a "
         "JSON document written by to_json(); ValueError names what does not read.")},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_limit(size_t limit) {
  if (limit == 0) Py_RETURN_NONE;
  return PyLong_FromSize_t(limit);
}

PyObject* get_max_cookies(PyObject* self, void*) {
  return get_limit(as_jar(self)->store->limits.max_cookies);
}
PyObject* get_max_cookies_per_site(PyObject* self, void*) {
  return get_limit(as_jar(self)->store->limits.max_cookies_per_site);
}
PyObject* get_public_suffix_list(PyObject* self, void*) {
  return PyBool_FromLong(as_jar(self)->use_list);
}

PyGetSetDef jar_getset[] = {
    {"max_cookies", get_max_cookies, nullptr,
     PyDoc_STR("The limit of cookies in all (not counting partitioned ones), or None."), nullptr},
    {"max_cookies_per_site", get_max_cookies_per_site, nullptr,
     PyDoc_STR("The limit of cookies per site (registrable domain), or None."), nullptr},
    {"public_suffix_list", get_public_suffix_list, nullptr,
     PyDoc_STR("Whether the jar reads sites with the Public Suffix List."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PySequenceMethods jar_sequence = {.sq_length = jar_length};

PyTypeObject JarType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "glimmering_copper_otter.jar.CookieJar",
    .tp_basicsize = sizeof(JarObject),
    .tp_dealloc = jar_dealloc,
    .tp_repr = jar_repr,
    .tp_as_sequence = &jar_sequence,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc =
        PyDoc_STR("CookieJar(path=None, *, max_cookies=3300, max_cookies_per_site=180, "
                  "public_suffix_list=True, keep_session_cookies=False, timeout=5.0)\n"
                  "--\n"
                  "\n"
                  "A cookie jar that keeps and sends cookies as Chromium does.\n"
                  "\n"
                  "It applies Set-Cookie values received from urls (set_cookie, set_cookies) and\n"
                  "gives the exact Cookie header a browser sends with a request (cookie_header):\n"
                  "host-only and domain cookies, paths, Secure (kept from and sent to secure\n"
                  "origins only; localhost and loopback addresses count as secure), HttpOnly,\n"
                  "SameSite in Chromium's same-site contexts, Partitioned cookies kept per\n"
                  "top-level site, the name prefixes, expiry capped at 400 days, and Chromium's\n"
                  "limits and eviction.  Cookies are kept natively, indexed by site (registrable\n"
                  "domain), so a request costs the same however many cookies other sites have.\n"
                  "\n"
                  "max_cookies limits the cookies in all (Chromium purges 3300 to 3000, least\n"
                  "recently used first, sparing cookies used in the last 30 days) and\n"
                  "max_cookies_per_site those of one registrable domain (Chromium purges 180 to\n"
                  "150 by priority, non-secure first, least recently used first); None is no\n"
                  "limit, as a crawler may want.  Partitioned cookies keep limits of their own\n"
                  "(180 cookies and 10,240 bytes of names and values per partition and site)\n"
                  "unless max_cookies_per_site is None.  public_suffix_list=False reads sites\n"
                  "with the list's default rule alone (the last label is the suffix).\n"
                  "\n"
                  "With path, the jar is also kept in an SQLite file (made, mode 0600, when\n"
                  "missing): every change is in the file when the call that made it returns\n"
                  "(a killed process loses nothing; a power loss may lose the last changes),\n"
                  "session cookies only with keep_session_cookies, and each call first takes\n"
                  "in what other processes changed in the file.  timeout bounds the wait, in\n"
                  "seconds, for a file another program holds locked; then OSError.\n"
                  "\n"
                  "One jar may be shared by threads: every call is atomic, and a thread waiting\n"
                  "for the jar does not hold the interpreter."),
    .tp_weaklistoffset = offsetof(JarObject, weakrefs),
    .tp_iter = jar_iter,
    .tp_methods = jar_methods,
    .tp_getset = jar_getset,
    .tp_init = jar_init,
    .tp_new = jar_new,
};

// ---------------------------------------------------------------------------
// The module.

#define CONTEXT_DOC                                                                   \
  "url is the absolute http(s) url of the request (ws and wss count as http and\n"    \
  "https); now an aware datetime (default: the current time).  site_for_cookies is\n" \
  "the url of the top-level page the request is made from (None: a page of url's\n"   \
  "own site, as for a plain HTTP client); navigation says the request is a\n"         \
  "top-level navigation; from_script that it is made by the page's script\n"          \
  "(document.cookie), which neither sees nor sets HttpOnly cookies.\n"

FunctionRow functions[] = {
    {"CookieJar.set_cookie",
     params("raw", "url", "*", "now=None", "site_for_cookies=None", "navigation=False",
            "from_script=False"),
     set_cookie, &JarType,
     "Applies one Set-Cookie value received from url; returns what was stored.\n"
     "\n"
     "raw is bytes, or a str (characters below U+0100 stand for their Latin-1 bytes).\n" CONTEXT_DOC
     "\n"
     "Returns a BrowserCookie (with expired true for a deletion: a cookie that\n"
     "expires at once removes the stored one of its name, domain and path), or None\n"
     "when a browser refuses or ignores the value: a malformed header, a Domain the\n"
     "url may not set, a Secure cookie from an insecure origin, one that would\n"
     "overwrite or shadow a Secure cookie from an insecure origin, an HttpOnly one\n"
     "from script, a Strict or Lax (or unspecified) cookie in a cross-site context.\n"
     "Never raises on the value; TypeError and ValueError for the arguments."},
    {"CookieJar.set_cookies",
     params("values", "url", "*", "now=None", "site_for_cookies=None", "navigation=False",
            "from_script=False"),
     set_cookies, &JarType,
     "Applies the Set-Cookie values of one response, in order.\n"
     "\n"
     "values is an iterable of Set-Cookie values (bytes or str), or of raw headers as\n"
     "(name, value) pairs (ASGI's), of which those named Set-Cookie in any letter\n"
     "case count.  It is read to its end before anything is applied.  The other\n"
     "arguments are as for set_cookie.  Returns the list of what set_cookie would\n"
     "return for each value."},
    {"CookieJar.cookie_header",
     params("url", "*", "now=None", "site_for_cookies=None", "navigation=False", "method='GET'",
            "from_script=False"),
     cookie_header_method, &JarType,
     "The value of the Cookie header a browser sends with the request (b\"\" for\n"
     "none).\n"
     "\n" CONTEXT_DOC
     "method matters for Lax cookies on a cross-site navigation: GET, HEAD, OPTIONS\n"
     "and TRACE (in any letter case) are safe.  With from_script the result is what\n"
     "document.cookie shows.\n"
     "\n"
     "The cookies are those of the url's site that match its host, path and\n"
     "scheme, are allowed by SameSite in the request's context (Strict only\n"
     "same-site; Lax also on a cross-site top-level navigation with a safe method;\n"
     "no SameSite counts as Lax, except that a cookie younger than two minutes also\n"
     "goes with an unsafe method; None everywhere), and partitioned ones only under\n"
     "their top-level site.  They come in Chromium's order (the longest path first,\n"
     "then the oldest), as the raw bytes received, \"name=value\" (a nameless cookie\n"
     "as its value) joined by \"; \"."},
    {"CookieJar.cookies", params("url=None", "*", "now=None", "details=False"), cookies_method,
     &JarType,
     "The cookies, as a list of BrowserCookie.\n"
     "\n"
     "Without url, every cookie of the jar (the longest path first, then the\n"
     "oldest); with url, those a same-site request to url carries (HttpOnly ones\n"
     "included), in header order.  Expired cookies are left out (and removed).\n"
     "With details, each item is a (BrowserCookie, CookieDetails) pair: the\n"
     "creation and last-access times, the partition key, the scheme and port that\n"
     "set the cookie."},
    {"CookieJar.get", params("name", "*", "domain=None", "path=None", "now=None"), get_method,
     &JarType,
     "The cookie of that name (and domain and path, when given) not expired at now, or None.\n"
     "\n"
     "name, domain and path are str (compared with the stored bytes read as\n"
     "UTF-8, a byte outside a valid sequence standing for its Latin-1 character)\n"
     "or bytes (compared exactly); the domain without a leading dot, in any letter\n"
     "case.  Of several: a host-only cookie before a domain cookie, then the longest\n"
     "domain, the longest path, the newest."},
    {"CookieJar.clear", params("domain=None", "path=None", "name=None"), clear_method, &JarType,
     "Removes the cookies of that domain, path and name (each when given; all of\n"
     "them without arguments); returns how many were removed.  The arguments are\n"
     "compared as for get()."},
    {"CookieJar.clear_session_cookies", params(), clear_session_cookies, &JarType,
     "Removes the cookies without an expiry, as a browser does when it closes;\n"
     "returns how many were removed."},
    {"CookieJar.clear_expired", params("now=None"), clear_expired, &JarType,
     "Removes the cookies expired at now (default: the current time); returns how\n"
     "many were removed."},
    {"CookieJar._rows", params(), rows_method, &JarType,
     "Every unexpired cookie as a row (a tuple of builtin values; see\n"
     "glimmering_copper_otter._rows), oldest first."},
    {"CookieJar._load_rows", params("rows", "*", "replace=False"), load_rows_method, &JarType,
     "Puts rows into the jar as they are (replacing cookies of the same key; the\n"
     "limits apply); with replace, the jar is emptied first.  Returns how many went\n"
     "in (expired rows do not).  TypeError or ValueError names a malformed row and\n"
     "its field; then nothing changes."},
    {"CookieJar.load_cookies_txt", params("path_or_file", "strict=False"), load_cookies_txt,
     &JarType,
     "Adds the cookies of a Netscape cookies.txt file (a path or a file opened for\n"
     "reading); returns a LoadReport (loaded, expired, skipped: [(line, reason)]).\n"
     "Lines that cannot be read are passed over and reported; with strict, the\n"
     "first one raises ValueError and nothing is loaded."},
    {"CookieJar.save_cookies_txt", params("path_or_file"), save_cookies_txt, &JarType,
     "Writes the cookies as a Netscape cookies.txt file (a path, replaced at once by\n"
     "a file of mode 0600, or a file opened for writing); session cookies with an\n"
     "expiry of 0.  The format keeps neither SameSite nor Priority; partitioned\n"
     "cookies are left out and reported in the returned SaveReport."},
    {"CookieJar.to_json", params(), to_json, &JarType,
     "The cookies as a JSON document (str) that keeps every field; from_json reads\n"
     "it back."},
    {"CookieJar.for_urllib", params(), for_urllib, &JarType,
     "A handler for urllib.request.build_opener that keeps and sends cookies\n"
     "through this jar."},
    {"CookieJar.install", params("target"), install, &JarType,
     "Makes a requests.Session, httpx.Client or httpx.AsyncClient keep and send its\n"
     "cookies through this jar (every request, redirect hops included, carries\n"
     "exactly cookie_header(url)); returns target."},
    {"CookieJar.for_aiohttp", params(), for_aiohttp, &JarType,
     "An aiohttp.abc.AbstractCookieJar over this jar, for\n"
     "aiohttp.ClientSession(cookie_jar=...)."},
    {"CookieJar.aset_cookie",
     params("raw", "url", "*", "now=None", "site_for_cookies=None", "navigation=False",
            "from_script=False"),
     aset_cookie, &JarType,
     "set_cookie in a worker thread (a coroutine): a jar's file is written off the\n"
     "event loop."},
    {"CookieJar.aset_cookies",
     params("values", "url", "*", "now=None", "site_for_cookies=None", "navigation=False",
            "from_script=False"),
     aset_cookies, &JarType,
     "set_cookies in a worker thread (a coroutine): a jar's file is written off the\n"
     "event loop."},
};

int jar_exec(PyObject* module) {
  if (!start_exec(kModuleName)) return -1;  // refuses a second interpreter
  // hosts and Domain attributes outside ASCII go through UTS #46
  if (!gco::idna::prepare()) return -1;
  PyDateTime_IMPORT;
  if (!prepare_arguments()) return -1;
  if (PyDateTimeAPI == nullptr) return -1;
  if (record_type == nullptr) {
    Ref browser = steal(PyImport_ImportModule("glimmering_copper_otter.browser"));
    if (!browser) return -1;
    Ref type = steal(PyObject_GetAttrString(browser.get(), "BrowserCookie"));
    if (!type) return -1;
    if (!PyType_Check(type.get()) || reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize !=
                                         static_cast<Py_ssize_t>(sizeof(BrowserRecord))) {
      PyErr_SetString(PyExc_ImportError,
                      "glimmering_copper_otter.browser.BrowserCookie has another layout than "
                      "this module was built for");
      return -1;
    }
    Ref cookies = steal(PyImport_ImportModule("glimmering_copper_otter.cookies"));
    Ref mode = cookies ? steal(PyObject_GetAttrString(cookies.get(), "CookieSameSiteMode")) : Ref();
    if (!mode) return -1;
    static const char* const kMembers[4] = {"UNDEFINED", "LAX", "STRICT", "NONE"};
    for (int i = 0; i < 4; i++) {
      PyObject* member = PyObject_GetAttrString(mode.get(), kMembers[i]);
      if (member == nullptr) return -1;
      Py_XSETREF(same_site_members[i], member);
    }
    record_type = reinterpret_cast<PyTypeObject*>(type.transfer());
  }
  if (details_type == nullptr) {
    details_type = PyStructSequence_NewType(&details_desc);
    if (details_type == nullptr) return -1;
  }
  if (PyType_Ready(&JarType) < 0 ||
      PyModule_AddObjectRef(module, "CookieDetails", reinterpret_cast<PyObject*>(details_type)) <
          0 ||
      PyModule_AddObjectRef(module, "CookieJar", reinterpret_cast<PyObject*>(&JarType)) < 0 ||
      PyModule_AddObjectRef(module, "BrowserCookie", reinterpret_cast<PyObject*>(record_type)) <
          0) {
    return -1;
  }
  return finish_exec(module, functions) ? 0 : -1;
}

PyModuleDef_Slot jar_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(jar_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef jar_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "jar",
    .m_doc = PyDoc_STR("A cookie jar that keeps and sends cookies exactly as Chromium does: "
                       "CookieJar."),
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = jar_slots,
};

}  // namespace

}  // namespace gco::jar

PyMODINIT_FUNC PyInit_jar() { return PyModuleDef_Init(&gco::jar::jar_module); }
