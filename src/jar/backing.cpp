// The row store behind a jar (glimmering_copper_otter.stores.RowStore),
// driven with rows (rows.hpp): the jar knows nothing of files.  Before a
// call the jar asks the store whether another connection changed it
// (refresh); after a call that changed something it hands it the changes,
// once the jar's lock is released, and undoes them when the store refuses
// them, so that a call that raised leaves the jar and the store as they
// were.
#include <algorithm>
#include <new>

#include "arguments.hpp"
#include "compat.hpp"
#include "cookie_rules.hpp"
#include "frame.hpp"
#include "jar_object.hpp"
#include "ref.hpp"
#include "rows.hpp"

namespace gco::jar {

namespace {

GCO_STR(str_load, "load");
GCO_STR(str_refresh, "refresh");
GCO_STR(str_apply, "apply");
GCO_STR(str_close, "close");
GCO_STR(str_set, "set");
GCO_STR(str_delete, "delete");
GCO_STR(str_touch, "touch");
GCO_STR(str_keep_session_cookies, "keep_session_cookies");
GCO_STR(str_read_only, "read_only");
GCO_STR(str_begin, "begin");
GCO_STR(str_rollback, "rollback");
GCO_STR(str_apply_unless_changed, "apply_unless_changed");
GCO_STR(str_commit, "commit");

// kAttach: a store's whole contents for a jar made again with it; kAdopt:
// the store's whole contents after another connection changed it; kCatchUp:
// what changed in the store since the jar last looked.
enum class Put { kAdd, kReplace, kAttach, kAdopt, kCatchUp };

// Puts rows into the jar; see put_rows.  kAdopt first drops the cookies the
// store keeps (the persistent ones, and the session ones when it keeps
// those); kCatchUp first drops the cookies of the keys in removed.  Rows of
// the store are marked as such.
bool put(JarObject* jar, PyObject* rows, Put mode, Changes* changes, Py_ssize_t* loaded,
         Py_ssize_t* expired, PyObject* refused, PyObject* removed = nullptr) {
  // Lists of their own, which no other code can change while the jar's lock
  // is held: the fields borrow the bytes of their rows and keys.
  Ref list = steal(PySequence_List(rows));
  Ref gone = removed != nullptr ? steal(PySequence_List(removed)) : steal(PyList_New(0));
  if (!list || !gone) return false;
  const size_t n = static_cast<size_t>(PyList_GET_SIZE(list.get()));
  const size_t m = static_cast<size_t>(PyList_GET_SIZE(gone.get()));
  Vector<CookieFields> fields, gone_keys;
  Vector<std::string_view> keys, gone_sites;
  Vector<bool> good;
  if (!fields.resize(n) || !keys.resize(n) || !good.resize(n) || !gone_keys.resize(m) ||
      !gone_sites.resize(m)) {
    return no_memory();
  }
  for (size_t i = 0; i < m; i++) {
    PyObject* why;
    switch (read_key(PyList_GET_ITEM(gone.get(), static_cast<Py_ssize_t>(i)), gone_keys[i], &why)) {
      case RowRead::kError:
        return false;
      case RowRead::kRefused:
        Py_DECREF(why);
        gone_sites[i] = {};  // no cookie of the jar has it
        continue;
      case RowRead::kOk:
        gone_sites[i] = site_key(gone_keys[i].domain, jar->use_list);
        break;
    }
  }
  for (size_t i = 0; i < n; i++) {
    const Py_ssize_t index = static_cast<Py_ssize_t>(i);
    PyObject* why;
    RowRead read = read_row(PyList_GET_ITEM(list.get(), index), fields[i], &why);
    if (read == RowRead::kOk && (mode == Put::kAdd || mode == Put::kReplace)) {
      read = check_site(fields[i], jar->use_list, &why);
    }
    switch (read) {
      case RowRead::kError:
        return false;
      case RowRead::kRefused: {
        good[i] = false;
        Ref reason = steal(why);
        if (refused == nullptr) continue;
        Ref pair = steal(Py_BuildValue("(nO)", index, reason.get()));
        if (!pair || PyList_Append(refused, pair.get()) < 0) return false;
        continue;
      }
      case RowRead::kOk:
        good[i] = true;
        keys[i] = site_key(fields[i].domain, jar->use_list);
        fields[i].from_store = mode != Put::kAdd && mode != Put::kReplace;
        break;
    }
  }
  Instant now;
  (void)read_now(nullptr, &now);
  bool ok = true;
  Py_ssize_t count = 0, passed = 0;
  {
    Locked lock(jar);
    if (mode == Put::kReplace || mode == Put::kAttach || mode == Put::kAdopt) {
      Selection all;
      all.persistent_only = mode == Put::kAdopt && !jar->keeps_sessions;
      ok = remove_selected(*jar->store, all, changes) >= 0;
    }
    for (size_t i = 0; i < m; i++) {
      if (!gone_sites[i].empty()) {
        (void)remove_exact(*jar->store, gone_keys[i], nullptr, gone_sites[i], nullptr);
      }
    }
    for (size_t i = 0; i < n && ok; i++) {
      if (!good[i]) continue;
      if (fields[i].expiry != kNoExpiry && fields[i].expiry <= now) {
        passed++;
        continue;
      }
      ok = apply_load(*jar->store, fields[i], keys[i], now, changes,
                      mode == Put::kAdd || mode == Put::kReplace);
      count++;
    }
  }
  if (loaded != nullptr) *loaded = count;
  if (expired != nullptr) *expired = passed;
  return ok || no_memory();
}

// Brings the jar up to date with its store: the whole contents when the jar
// is stale, else what refresh() gives: None (nothing changed), or (rows,
// removed keys), removed None when rows are the whole contents.  With
// begin, what the store's begin() gives, once it has taken the jar's lock in
// a transaction that commit() ends: None, or (rows, removed keys, clock),
// the clock being the latest creation time any worker of the jar handed out
// (None before the first).
bool catch_up(JarObject* jar, bool begin = false) {
  Ref backing = incref(jar->backing);
  Ref rows, removed;
  Instant clock = kNullTime;
  if (jar->stale && !begin) {
    rows = steal(PyObject_CallMethodNoArgs(backing.get(), str_load.get()));
    if (!rows) return false;
  } else {
    Ref got = steal(begin ? PyObject_CallMethodOneArg(backing.get(), str_begin.get(),
                                                      jar->stale ? Py_True : Py_False)
                          : PyObject_CallMethodNoArgs(backing.get(), str_refresh.get()));
    if (!got) return false;
    if (got.get() == Py_None) return true;
    if (!PyTuple_Check(got.get()) || PyTuple_GET_SIZE(got.get()) != (begin ? 3 : 2)) {
      PyErr_Format(PyExc_TypeError,
                   begin ? "a store's begin() gives None or (rows, removed keys, clock), not %.200s"
                         : "a store's refresh() gives None or (rows, removed keys), not %.200s",
                   Py_TYPE(got.get())->tp_name);
      return false;
    }
    rows = incref(PyTuple_GET_ITEM(got.get(), 0));
    if (PyTuple_GET_ITEM(got.get(), 1) != Py_None) {
      removed = incref(PyTuple_GET_ITEM(got.get(), 1));
    }
    if (begin && PyTuple_GET_ITEM(got.get(), 2) != Py_None) {
      PyObject* given = PyTuple_GET_ITEM(got.get(), 2);
      int overflow = 0;
      const long long value =
          PyLong_Check(given) ? PyLong_AsLongLongAndOverflow(given, &overflow) : (overflow = 1, 0);
      if (value == -1 && PyErr_Occurred()) return false;
      if (overflow != 0 || value < rules::kEarliest || value > rules::kLatest) {
        PyErr_SetString(PyExc_TypeError,
                        "a store's clock is None or an int of microseconds in years 1 to 9999");
        return false;
      }
      clock = value;
    }
  }
  // A failure part way leaves the jar between two states: read whole again.
  jar->stale = true;
  if (!put(jar, rows.get(), removed ? Put::kCatchUp : Put::kAdopt, nullptr, nullptr, nullptr,
           nullptr, removed.get())) {
    return false;
  }
  jar->stale = false;
  Locked lock(jar);
  if (clock > jar->store->last_creation) jar->store->last_creation = clock;
  return true;
}

// A change as the store takes it: ("set", row), ("delete", key) or
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

// Whether the store takes the change: a session cookie the store does not
// keep is never written, and its removal writes nothing unless it came from
// the store.
bool for_store(const JarObject* jar, const Change& change) {
  const Cookie& c = *change.cookie.get();
  return jar->keeps_sessions || c.persistent() ||
         (change.kind != Change::Kind::kInsert && c.from_store());
}

// The changes the store takes, as a list.
PyObject* change_list(JarObject* jar, const Changes& changes) {
  Ref list = steal(PyList_New(0));
  if (!list) return nullptr;
  for (const Change& change : changes) {
    if (!for_store(jar, change)) continue;
    Ref item = steal(change_object(change));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.transfer();
}

// Undoes the changes from index start of the pending ones; a jar that could
// not be put back reads its store whole at its next call.
void revert_pending(JarObject* jar, size_t start) {
  Locked lock(jar);
  Changes undone;
  const size_t n = jar->pending.size();
  if (start >= n) return;
  if (!undone.reserve(n - start)) {
    jar->stale = true;
    while (jar->pending.size() > start) jar->pending.pop_back();
    return;
  }
  for (size_t i = start; i < n; i++) (void)undone.push_back(std::move(jar->pending[i]));
  while (jar->pending.size() > start) jar->pending.pop_back();
  if (!revert(*jar->store, undone, jar->use_list)) jar->stale = true;
}

}  // namespace

bool check_open(JarObject* jar) noexcept {
  if (!jar->closed) return true;
  PyErr_SetString(PyExc_ValueError, "the cookie jar is closed");
  return false;
}

Turn::Turn(JarObject* jar, bool modifies) noexcept : jar_(jar), modifies_(modifies) {
  if (jar->backing == nullptr) return;
  changes_ = &jar->pending;
  const unsigned long me = PyThread_get_thread_ident();
  if (jar->turn_owner.load(std::memory_order_relaxed) == me) {
    // Joins the call under way: its own changes start where the pending
    // ones end.
    Locked lock(jar);
    start_ = jar->pending.size();
    return;
  }
  PyMutex_Lock(&jar->turn);
  jar->turn_owner.store(me, std::memory_order_relaxed);
  owner_ = true;
}

Turn::~Turn() {
  if (began_ && jar_->backing != nullptr) {
    // The call failed after the store's transaction began: abandon it,
    // keeping the call's error.
    PyObject* error = PyErr_GetRaisedException();
    Ref done = steal(PyObject_CallMethodNoArgs(jar_->backing, str_rollback.get()));
    if (!done) PyErr_Clear();
    PyErr_SetRaisedException(error);
  }
  if (changes_ != nullptr && !finished_) {
    if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_MemoryError)) {
      // A change may have gone unrecorded: undoing what was recorded may
      // not be enough.
      jar_->stale = true;
    }
    revert_pending(jar_, start_);
  }
  if (owner_) {
    jar_->turn_owner.store(0, std::memory_order_relaxed);
    PyMutex_Unlock(&jar_->turn);
  }
}

bool Turn::begin() noexcept {
  if (!check_open(jar_)) return false;
  if (!owner_) return true;
  if (modifies_ && jar_->serializes) {
    // A store shared by workers applies a change under the jar's lock, to a
    // copy brought up to date inside the transaction that writes it.
    if (!catch_up(jar_, true)) return false;
    began_ = true;
    return true;
  }
  return catch_up(jar_);
}

PyObject* Turn::finish(PyObject* result) noexcept {
  if (result == nullptr) return nullptr;
  if (!owner_) {
    finished_ = true;  // the outer call writes this one's changes with its own
    return result;
  }
  Ref owned = steal(result);
  Ref backing = incref(jar_->backing);
  // Calls joined to this one while it writes add changes of their own:
  // they go in transactions after this call's.
  for (bool first = true;; first = false) {
    Changes taken;
    {
      Locked lock(jar_);
      taken = std::move(jar_->pending);
    }
    // The transaction begin() opened ends with this call's own changes, if
    // any: apply() commits it either way.
    const bool commit = first && began_;
    if (taken.empty() && !commit) break;
    if (!commit) {
      if (!modifies_ && jar_->read_only) continue;  // nothing of a read is worth an error
      if (std::none_of(taken.begin(), taken.end(),
                       [this](const Change& change) { return for_store(jar_, change); })) {
        continue;
      }
    }
    Ref list = steal(change_list(jar_, taken));
    bool ok = static_cast<bool>(list);
    if (ok && (commit || PyList_GET_SIZE(list.get()) > 0)) {
      if (commit) {
        // The changes and the jar's clock, which every worker's next
        // creation time comes after.
        Instant clock;
        {
          Locked lock(jar_);
          clock = jar_->store->last_creation;
        }
        Ref given = clock == kNullTime ? incref(Py_None) : steal(PyLong_FromLongLong(clock));
        ok = given && static_cast<bool>(steal(PyObject_CallMethodObjArgs(
                          backing.get(), str_commit.get(), list.get(), given.get(), nullptr)));
      } else {
        // What a read decided on its copy is written only if no other
        // worker changed the jar since.
        PyObject* method = first && !modifies_ && jar_->serializes ? str_apply_unless_changed.get()
                                                                   : str_apply.get();
        ok = static_cast<bool>(steal(PyObject_CallMethodOneArg(backing.get(), method, list.get())));
      }
      if (commit) began_ = false;  // the store's transaction ended, committed or not
    }
    if (ok) continue;
    if (!modifies_ && PyErr_ExceptionMatches(PyExc_Exception)) {
      // Last-access times and expired cookies are written when the store
      // takes them; the jar keeps them either way.
      PyErr_Clear();
      continue;
    }
    // Newest first: what calls joined to this one changed meanwhile, then
    // the changes the store refused.
    revert_pending(jar_, 0);
    {
      Locked lock(jar_);
      if (!revert(*jar_->store, taken, jar_->use_list)) jar_->stale = true;
    }
    if (first) {
      finished_ = true;
      return nullptr;
    }
    // The changes of a call joined to this one (a finaliser's): this call's
    // own are written, so the failure goes where a finaliser's do.
    PyErr_WriteUnraisable(backing.get());
  }
  finished_ = true;
  return owned.transfer();
}

bool put_rows(JarObject* jar, PyObject* rows, bool replace, Changes* changes, Py_ssize_t* loaded,
              Py_ssize_t* expired, PyObject* refused) noexcept {
  return put(jar, rows, replace ? Put::kReplace : Put::kAdd, changes, loaded, expired, refused);
}

bool attach(JarObject* jar, PyObject* backing) noexcept {
  // The store's code runs first, outside any turn: a call it makes on this
  // jar is a call of its own.
  int keeps, read_only;
  Ref keep_attr = steal(PyObject_GetAttr(backing, str_keep_session_cookies.get()));
  Ref read_only_attr = keep_attr ? steal(PyObject_GetAttr(backing, str_read_only.get())) : Ref();
  if (!read_only_attr || (keeps = truth(keep_attr.get())) < 0 ||
      (read_only = truth(read_only_attr.get())) < 0) {
    return false;
  }
  const int serializes = PyObject_HasAttrWithError(backing, str_begin.get());
  if (serializes < 0) return false;
  Ref loaded = steal(PyObject_CallMethodNoArgs(backing, str_load.get()));
  Ref rows = loaded ? steal(PySequence_List(loaded.get())) : Ref();
  if (!rows) return false;
  Turn turn(jar, true);
  if (jar->backing != nullptr && !turn.outermost()) {
    PyErr_SetString(PyExc_RuntimeError,
                    "a cookie jar cannot be given another store inside one of its own calls");
    return false;
  }
  Ref old = steal(jar->backing);  // released once the new one is in place
  jar->backing = nullptr;
  {
    Locked lock(jar);
    jar->pending.clear();
  }
  jar->closed = false;
  jar->keeps_sessions = keeps;
  jar->read_only = read_only;
  const bool ok = put(jar, rows.get(), Put::kAttach, nullptr, nullptr, nullptr, nullptr);
  jar->stale = !ok;
  jar->serializes = serializes;
  jar->backing = Py_NewRef(backing);
  return ok;
}

bool close(JarObject* jar) noexcept {
  if (jar->backing == nullptr) {
    Locked lock(jar);
    jar->closed = true;
    jar->store->clear();
    return true;
  }
  Turn turn(jar, true);
  if (!turn.outermost()) {
    PyErr_SetString(PyExc_RuntimeError,
                    "a cookie jar cannot be closed inside one of its own calls");
    return false;
  }
  Ref backing = steal(jar->backing);
  jar->backing = nullptr;
  {
    Locked lock(jar);
    jar->closed = true;
    jar->pending.clear();
    jar->store->clear();
  }
  return static_cast<bool>(steal(PyObject_CallMethodNoArgs(backing.get(), str_close.get())));
}

}  // namespace gco::jar
