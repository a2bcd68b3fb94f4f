// What a jar does under its lock: the storage model (storage.cpp), eviction
// (eviction.cpp) and the request side (request.cpp).  Each operation gets
// native values only, read from the arguments beforehand, and records what
// it changed in changes when a store is attached (changes is null
// otherwise).  False means memory ran out: nothing is raised (the thread
// state is detached); the caller raises MemoryError once it holds the
// interpreter again.
#pragma once

#include <string_view>

#include "cookie.hpp"
#include "site.hpp"
#include "store.hpp"

namespace gco::jar {

// -- storage.cpp -----------------------------------------------------------

// One Set-Cookie value, as the Set-Cookie steps read it and the context
// allows it.
struct SetRequest {
  CookieFields fields;   // creation and last access are filled in under the lock
  std::string_view key;  // the site key of the cookie's domain
  bool expired = false;  // a deletion: the cookie expires at once
  // The origin may overwrite or shadow Secure cookies (a secure scheme, or
  // a loopback host).
  bool secure_origin = false;
  bool from_script = false;  // HttpOnly cookies can be neither set nor overwritten
};

enum class SetOutcome { kStored, kDeleted, kRefused, kNoMemory };

// Applies one Set-Cookie value, then keeps the limits.  now is the time of
// the call.
SetOutcome apply_set(Store& store, const SetRequest& request, Instant now,
                     Changes* changes) noexcept;

// Puts a cookie as it is (a row of a file or of another jar, with its own
// creation and last-access times): it replaces the one of the same key,
// then, with keep_limits, the limits are kept.  A row of the jar's own
// store is taken as it is: the jar mirrors its store, and the limits are
// kept by the next cookie set, as when Chromium loads its own.  Later
// creation times come after its own.  False when memory runs out.
bool apply_load(Store& store, const CookieFields& fields, std::string_view key, Instant now,
                Changes* changes, bool keep_limits) noexcept;

// Undoes changes, newest first: an inserted cookie is taken out, a deleted
// one put back as it was (last-access times stay as they are: only a later
// write of them was lost).  Empties changes.  False when memory ran out
// putting a cookie back: the jar then differs from what it was.
bool revert(Store& store, Changes& changes, bool use_list) noexcept;

// Records a change (a copy of the cookie); false when memory runs out.  A
// change is recorded before it is made, and not made when that fails: what
// was recorded is then exactly what was done, for revert() to undo.
bool record(Changes* changes, Change::Kind kind, const Cookie* cookie) noexcept;

// Removes, in one pass, the cookies of the site that pred picks, recording
// the deletions; false when memory ran out for a record (the cookies not
// recorded are kept).
template <class F>
bool remove_where(Store& store, Site* site, F pred, Changes* changes) noexcept {
  bool ok = true;
  store.erase_if(site, [&](const Cookie* c) {
    if (!pred(c)) return false;
    if (record(changes, Change::Kind::kDelete, c)) return true;
    ok = false;
    return false;
  });
  return ok;
}

// A name, domain or path that a caller gives: bytes compare exactly with
// the stored bytes, a text with the stored bytes read by the text rule
// (UTF-8, a byte outside a valid sequence standing for its Latin-1
// character).
struct TextKey {
  bool is_text = false;
  std::string_view bytes;  // when not is_text
  Vector<uint32_t> text;   // the code points, when is_text
  bool matches(std::string_view stored) const noexcept;
};

// Which cookies clear() and get() pick: each given field must be equal (the
// domain as stored, without a leading dot).
struct Selection {
  const std::string_view* key = nullptr;  // the site key of domain, when given
  const TextKey* domain = nullptr;
  const TextKey* path = nullptr;
  const TextKey* name = nullptr;
  bool session_only = false;     // only cookies without an expiry
  bool persistent_only = false;  // only cookies with an expiry
  bool expired_only = false;     // only cookies expired at now
  Instant now = 0;
};
// Removes the selected cookies; their number, or -1 when memory runs out.
Py_ssize_t remove_selected(Store& store, const Selection& selection, Changes* changes) noexcept;

// Removes the one cookie of key's key (its key fields; path, when given,
// compares the path by the text rule instead); 1 when it was there, 0 when
// not, -1 when memory ran out for the record of the change.  With keep, it
// only says whether a cookie of that key, unexpired at now, is there.
int remove_exact(Store& store, const CookieFields& key, const TextKey* path,
                 std::string_view site_key, Changes* changes, bool keep = false,
                 Instant now = 0) noexcept;

// Copies of every cookie not expired at now (expired ones are removed), in
// Chromium's order for its full list: the longer path first, then the
// older.
bool snapshot(Store& store, Instant now, Vector<CookieCopy>& out, Changes* changes) noexcept;

// The number of cookies not expired at now (expired ones are removed).
size_t live_count(Store& store, Instant now, Changes* changes) noexcept;

// The cookie that get() answers: the selected one (name, domain and path
// as far as given) not expired at selection.now; of several, a host-only one before a domain
// one, then the longest domain, the longest path, the newest.
bool find_one(Store& store, const Selection& selection, CookieCopy& out) noexcept;

// -- eviction.cpp ----------------------------------------------------------

// Keeps the limits after a cookie (set) of the site was set at now: the
// site's and the global limit for an unpartitioned one, those of its
// partition for a partitioned one.  Never removes the site itself.
bool collect_garbage(Store& store, Site* site, const CookieFields& set, Instant now,
                     Changes* changes) noexcept;

// Removes the expired cookies of a site; false when memory runs out.
bool remove_expired(Store& store, Site* site, Instant now, Changes* changes) noexcept;

// -- request.cpp -----------------------------------------------------------

struct Request {
  const RequestUrl* url = nullptr;
  std::string_view key;  // the site key of the url's host
  Context context = Context::kStrict;
  const SchemefulSite* partition = nullptr;  // the request's top-level site
  bool cross_site_ancestor = false;          // and the second half of its partition key
  bool from_script = false;                  // HttpOnly cookies left out
  bool update_access = true;                 // the request uses the cookies (a listing does not)
  Instant now = 0;
};

// The cookies that the request carries, in Cookie header order: handed to
// each(const Cookie&) under the lock.  Expired cookies of the site are
// removed on the way.
bool each_sent(Store& store, const Request& request, Changes* changes,
               bool (*each)(const Cookie&, void*), void* data) noexcept;

// The value of the request's Cookie header into out ("" when none).
bool cookie_header(Store& store, const Request& request, String& out, Changes* changes) noexcept;

// Whether the cookie's path matches a request path.
bool path_matches(std::string_view cookie_path, std::string_view url_path) noexcept;
// Whether the cookie goes to the host by its domain.
bool domain_matches(const Cookie& cookie, std::string_view host) noexcept;

}  // namespace gco::jar
