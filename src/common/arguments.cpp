// Arguments the cookie modules read alike (arguments.hpp).
#include "arguments.hpp"

#include <datetime.h>

#include <ctime>

#include "cookie_rules.hpp"
#include "frame.hpp"

namespace gco {

namespace {

GCO_STR(str_utcoffset, "utcoffset");

constexpr int64_t kDay = 86400;

}  // namespace

bool prepare_arguments() noexcept {
  if (PyDateTimeAPI == nullptr) PyDateTime_IMPORT;
  return PyDateTimeAPI != nullptr;
}

bool header_bytes(PyObject* raw, const char* param, Ref& holder, Span& out) noexcept {
  if (PyBytes_Check(raw)) {
    out = Span{PyBytes_AS_STRING(raw), PyBytes_GET_SIZE(raw)};
    return true;
  }
  if (PyUnicode_Check(raw)) {
    if (PyUnicode_KIND(raw) == PyUnicode_1BYTE_KIND) {
      out = Span{static_cast<const char*>(PyUnicode_DATA(raw)), PyUnicode_GET_LENGTH(raw)};
      return true;
    }
    holder = steal(PyUnicode_AsEncodedString(raw, "utf-8", "surrogatepass"));
    if (!holder) return false;
    out = Span{PyBytes_AS_STRING(holder.get()), PyBytes_GET_SIZE(holder.get())};
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s must be bytes or str, not %.200s", param,
               Py_TYPE(raw)->tp_name);
  return false;
}

bool read_now(PyObject* now, int64_t* out) noexcept {
  using rules::kEarliest, rules::kLatest, rules::kSecond;
  if (now == nullptr || now == Py_None) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    const int64_t instant = static_cast<int64_t>(ts.tv_sec) * kSecond + ts.tv_nsec / 1000;
    *out = instant < kEarliest ? kEarliest : instant > kLatest ? kLatest : instant;
    return true;
  }
  if (!PyDateTime_Check(now)) {
    PyErr_Format(PyExc_TypeError, "now must be a datetime, not %.200s", Py_TYPE(now)->tp_name);
    return false;
  }
  // The fields first: utcoffset() below may run a time zone's code.
  const int64_t local =
      ((rules::days_from_civil(PyDateTime_GET_YEAR(now), PyDateTime_GET_MONTH(now),
                               PyDateTime_GET_DAY(now)) *
            24 +
        PyDateTime_DATE_GET_HOUR(now)) *
           60 +
       PyDateTime_DATE_GET_MINUTE(now)) *
          60 * kSecond +
      PyDateTime_DATE_GET_SECOND(now) * kSecond + PyDateTime_DATE_GET_MICROSECOND(now);
  PyObject* tz = PyDateTime_DATE_GET_TZINFO(now);
  int64_t offset = 0;
  if (tz != PyDateTime_TimeZone_UTC) {
    Ref delta = tz == Py_None ? incref(Py_None)
                              : steal(PyObject_CallMethodNoArgs(now, str_utcoffset.get()));
    if (!delta) return false;
    if (delta.get() == Py_None) {
      PyErr_SetString(PyExc_ValueError, "now must be an aware datetime");
      return false;
    }
    if (!PyDelta_Check(delta.get())) {
      PyErr_SetString(PyExc_TypeError, "now.utcoffset() must return a timedelta");
      return false;
    }
    // A time zone's offset is strictly within a day, but a datetime
    // subclass's own utcoffset() may return any timedelta (its days are
    // normalised: seconds and microseconds are never negative).
    const int days = PyDateTime_DELTA_GET_DAYS(delta.get());
    const int seconds = PyDateTime_DELTA_GET_SECONDS(delta.get());
    const int micro = PyDateTime_DELTA_GET_MICROSECONDS(delta.get());
    if (!(days == 0 || (days == -1 && (seconds > 0 || micro > 0)))) {
      PyErr_Format(PyExc_ValueError,
                   "now.utcoffset() must be strictly between -timedelta(hours=24) and "
                   "timedelta(hours=24), not %R",
                   delta.get());
      return false;
    }
    offset = (static_cast<int64_t>(days) * kDay + seconds) * kSecond + micro;
  }
  // Both within a few times 10^17 microseconds: no overflow.
  const int64_t instant = local - offset;
  *out = instant < kEarliest ? kEarliest : instant > kLatest ? kLatest : instant;
  return true;
}

PyObject* datetime_of_instant(int64_t instant) noexcept {
  using rules::kSecond;
  const int64_t day = kDay * kSecond;
  const int64_t days = instant >= 0 ? instant / day : -((-instant + day - 1) / day);
  const int64_t rest = instant - days * day;
  int64_t year;
  unsigned month, date;
  rules::civil_from_days(days, &year, &month, &date);
  const int64_t seconds = rest / kSecond;
  return PyDateTimeAPI->DateTime_FromDateAndTime(
      static_cast<int>(year), static_cast<int>(month), static_cast<int>(date),
      static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
      static_cast<int>(seconds % 60), static_cast<int>(rest % kSecond), PyDateTime_TimeZone_UTC,
      PyDateTimeAPI->DateTimeType);
}

}  // namespace gco
