// The jar object, its locks, and a call's time with the row store behind
// it (backing.cpp).
#pragma once

#include <Python.h>

#include <atomic>

#include "compat.hpp"
#include "operations.hpp"

namespace gco::jar {

struct JarObject {
  PyObject_HEAD PyMutex mutex;
  Store* store;  // the cookies (raw allocated); guarded by mutex
  bool use_list;
  bool closed;
  PyObject* weakrefs;
  // The row store the jar is kept in (a RowStore of
  // glimmering_copper_otter.stores), or null.
  PyObject* backing;
  // The changes of the call under way, not yet in the backing store, in
  // order; guarded by mutex.
  Changes pending;
  // Held for the whole of a call on a jar with a backing store (Turn
  // below), and the thread that holds it.
  PyMutex turn;
  std::atomic<unsigned long> turn_owner;
  // What the backing store said of itself: it keeps session cookies too;
  // it takes no change.
  bool keeps_sessions;
  bool read_only;
  // It has begin(): a change is applied under the jar's lock, inside the
  // store's transaction (a store shared by workers on several machines).
  bool serializes;
  // The jar may differ from its store (memory ran out while it was being
  // brought up to date, or while a refused change was undone): the next
  // call reads the store whole.
  bool stale;
};

inline JarObject* as_jar(PyObject* self) { return reinterpret_cast<JarObject*>(self); }

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

// A call's time with the jar.  Calls on a jar with a backing store take
// turns, each for its whole length: the store is read, the jar changed and
// the changes written with no other call in between, so a call never
// adopts a store that lacks changes another call has made but not yet
// written, and a change the store refuses can be undone.  A call made on
// the same thread inside another (a signal handler, a finaliser the
// collector runs) joins that one's turn: it neither reads nor writes the
// store, and the outer call writes its changes with its own.
//
// begin() refuses a closed jar and brings the jar up to date with its store;
// finish(result) writes the call's changes and returns result, or, when the
// store refuses them, undoes them and returns null with the store's error.
// A call that modifies says so: the changes of one that only reads (last
// access times, expired cookies dropped) are written if the store takes
// them, and never the reason the call fails.  A turn left without finish
// (a call that failed) undoes what the call changed.
class Turn {
 public:
  Turn(JarObject* jar, bool modifies) noexcept;
  ~Turn();
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;

  [[nodiscard]] bool begin() noexcept;
  PyObject* finish(PyObject* result) noexcept;

  // The list that records this call's changes: the jar's pending ones with
  // a backing store, none without.
  Changes* changes() const noexcept { return changes_; }
  // Whether this call reads and writes the store (not one joined inside
  // another).
  bool outermost() const noexcept { return owner_; }

 private:
  JarObject* jar_;
  Changes* changes_ = nullptr;
  size_t start_ = 0;  // where this call's changes begin in the pending ones
  bool modifies_;
  bool owner_ = false;
  bool finished_ = false;
  bool began_ = false;  // the store's transaction is open
};

// Raises ValueError for a closed jar; false then.
bool check_open(JarObject* jar) noexcept;

// Puts rows into the jar (read and checked first; expired ones passed
// over).  With replace the jar is emptied first.  Changes are recorded in
// changes (null: none).  *loaded and *expired count the rows that went in
// and those passed over; refused gets an (index, reason) pair for each row
// the contract refuses.  False with an exception set.
bool put_rows(JarObject* jar, PyObject* rows, bool replace, Changes* changes, Py_ssize_t* loaded,
              Py_ssize_t* expired, PyObject* refused) noexcept;

// Attaches a backing store to the jar and fills the jar with its cookies,
// replacing what the jar held.  The store's own code runs before the jar's
// turn is taken, so that a call it makes on the jar is a call of its own.
// False with an exception set: the jar is left as it was, unless memory
// ran out while it was being filled (then it reads the store whole at its
// next call).
bool attach(JarObject* jar, PyObject* backing) noexcept;

// Closes the jar, and its backing store.
bool close(JarObject* jar) noexcept;

}  // namespace gco::jar
