// The cookie date: "%a, %d %b %Y %H:%M:%S GMT", written from a datetime and
// read back into a naive datetime.
#include <Python.h>
#include <datetime.h>

#include <cstring>

#include "parts.hpp"
#include "late_binding.hpp"

namespace gco {

namespace {

GCO_STR(str_cookie_date_format, "%a, %d %b %Y %H:%M:%S GMT");
GCO_STR(str_strftime, "strftime");
GCO_STR(str_timetuple, "timetuple");
GCO_STR(str_utcoffset, "utcoffset");
GCO_STR(str_replace, "replace");
GCO_STR(str_tzinfo, "tzinfo");
GCO_STR(str_encode, "encode");
GCO_STR(str_decode, "decode");
GCO_STR(str_year_format, "%Y");

// What the native date code needs from the datetime module, captured at exec.
struct DateSupport {
  PyMethodDef* standard_strftime = nullptr;   // datetime.strftime's own C method
  PyMethodDef* standard_timetuple = nullptr;  // datetime.timetuple, which it reads
  PyObject* replace_kwnames = nullptr;        // ("tzinfo",)
  bool pad_year = false;                      // whether strftime pads %Y to 4 digits
};
DateSupport dates;

constexpr char kDayNames[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr char kMonthNames[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Days since 1970-01-01 of a proleptic Gregorian date.
long days_from_civil(long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long>(doe) - 719468;
}

char* put_two_digits(char* p, int n) {
  p[0] = static_cast<char>('0' + n / 10);
  p[1] = static_cast<char>('0' + n % 10);
  return p + 2;
}

// Writes the cookie date of a datetime's wall-clock fields, with English
// names whatever the process locale is; at most kCookieDateMaxSize bytes.
char* write_fields(char* p, int year, int month, int day, int hour, int minute, int second) {
  long days = days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  int weekday = static_cast<int>(((days % 7) + 7 + 4) % 7);  // 1970-01-01 was a Thursday
  std::memcpy(p, kDayNames[weekday], 3);
  p += 3;
  *p++ = ',';
  *p++ = ' ';
  p = put_two_digits(p, day);
  *p++ = ' ';
  std::memcpy(p, kMonthNames[month - 1], 3);
  p += 3;
  *p++ = ' ';
  char digits[8];
  int n = 0;
  for (int y = year; y > 0 || n == 0; y /= 10) digits[n++] = static_cast<char>('0' + y % 10);
  if (dates.pad_year) {
    while (n < 4) digits[n++] = '0';
  }
  while (n > 0) *p++ = digits[--n];
  *p++ = ' ';
  p = put_two_digits(p, hour);
  *p++ = ':';
  p = put_two_digits(p, minute);
  *p++ = ':';
  p = put_two_digits(p, second);
  std::memcpy(p, " GMT", 4);
  return p + 4;
}

char* write_datetime(char* p, PyObject* v) {
  return write_fields(p, PyDateTime_GET_YEAR(v), PyDateTime_GET_MONTH(v), PyDateTime_GET_DAY(v),
                      PyDateTime_DATE_GET_HOUR(v), PyDateTime_DATE_GET_MINUTE(v),
                      PyDateTime_DATE_GET_SECOND(v));
}

// Whether obj.<name> is the datetime type's own C method bound to obj.
// -1 with an exception set; the bound method is left in *method_out.
int is_standard_method(PyObject* obj, const Constant& name, PyMethodDef* standard,
                       PyObject** method_out) {
  PyObject* method = PyObject_GetAttr(obj, name.get());
  *method_out = method;
  if (method == nullptr) return -1;
  return PyCFunction_Check(method) && PyCFunction_GET_SELF(method) == obj &&
         reinterpret_cast<PyCFunctionObject*>(method)->m_ml == standard;
}

// True when value is a datetime whose strftime is the standard one, so that
// the native formatting gives exactly what strftime would.
bool has_standard_strftime(PyObject* value, PyObject** method_out) {
  *method_out = nullptr;
  if (PyDateTimeAPI == nullptr || !PyObject_TypeCheck(value, PyDateTimeAPI->DateTimeType))
    return false;
  if (Py_IS_TYPE(value, PyDateTimeAPI->DateTimeType)) return true;
  // A subclass: its own strftime, or one in the instance dict, wins; so does
  // its own timetuple, from which the standard strftime takes the fields.
  PyObject* method = nullptr;
  int standard = is_standard_method(value, str_strftime, dates.standard_strftime, &method);
  if (standard <= 0) {
    *method_out = method;
    return false;
  }
  PyObject* timetuple = nullptr;
  standard = is_standard_method(value, str_timetuple, dates.standard_timetuple, &timetuple);
  Py_XDECREF(timetuple);
  if (standard < 0) {
    Py_DECREF(method);
    return false;
  }
  if (standard == 0) {
    *method_out = method;
    return false;
  }
  Py_DECREF(method);
  return true;
}

// An aware datetime shifted to UTC wall-clock time; anything else unchanged.
// A naive datetime is taken to be in UTC already.
PyObject* to_utc_wall_clock(PyObject* value) {
  if (!PyObject_TypeCheck(value, imported.datetime_type)) return Py_NewRef(value);
  if (PyDateTimeAPI != nullptr && PyObject_TypeCheck(value, PyDateTimeAPI->DateTimeType) &&
      PyDateTime_DATE_GET_TZINFO(value) == Py_None) {
    return Py_NewRef(value);
  }
  Ref offset = steal(PyObject_CallMethodNoArgs(value, str_utcoffset.get()));
  if (!offset) return nullptr;
  if (offset.get() == Py_None) return Py_NewRef(value);
  if (PyDateTimeAPI != nullptr && PyDelta_Check(offset.get()) &&
      PyDateTime_DELTA_GET_DAYS(offset.get()) == 0 &&
      PyDateTime_DELTA_GET_SECONDS(offset.get()) == 0 &&
      PyDateTime_DELTA_GET_MICROSECONDS(offset.get()) == 0) {
    return Py_NewRef(value);
  }
  Ref shifted = steal(PyNumber_Subtract(value, offset.get()));
  if (!shifted) return nullptr;
  PyObject* args[] = {shifted.get(), Py_None};
  return PyObject_VectorcallMethod(str_replace.get(), args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   dates.replace_kwnames);
}

PyObject* to_cookie_format(PyObject* original) {
  Ref value = steal(to_utc_wall_clock(original));
  if (!value) return nullptr;
  PyObject* method_found = nullptr;
  if (has_standard_strftime(value.get(), &method_found)) {
    char buffer[kCookieDateMaxSize];
    char* end = write_datetime(buffer, value.get());
    return PyBytes_FromStringAndSize(buffer, end - buffer);
  }
  Ref method = steal(method_found);
  if (!method) {
    if (PyErr_Occurred()) return nullptr;
    method = steal(PyObject_GetAttr(value.get(), str_strftime.get()));
    if (!method) return nullptr;
  }
  Ref text = steal(PyObject_CallOneArg(method.get(), str_cookie_date_format.get()));
  if (!text) return nullptr;
  if (PyUnicode_CheckExact(text.get())) return PyUnicode_AsUTF8String(text.get());
  return PyObject_CallMethodNoArgs(text.get(), str_encode.get());
}

int two_digits(const char* p) {
  if (p[0] < '0' || p[0] > '9' || p[1] < '0' || p[1] > '9') return -1;
  return (p[0] - '0') * 10 + (p[1] - '0');
}

int month_number(const char* p) {
  for (int i = 0; i < 12; i++) {
    if (std::memcmp(p, kMonthNames[i], 3) == 0) return i + 1;
  }
  return 0;
}

int days_in_month(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month != 2) return kDays[month - 1];
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return leap ? 29 : 28;
}

// The naive datetime that parsedate_to_datetime(text).replace(tzinfo=None)
// gives for the date form servers send, "Wdy, DD Mon YYYY HH:MM:SS GMT"
// (also with "-" between day, month and year), read natively.  nullptr
// without an exception for anything else, which the library then reads:
// unusual forms, two-digit or early years and out-of-range fields keep the
// library's own result and errors.
PyObject* read_common_date(const char* p, Py_ssize_t size) {
  if (PyDateTimeAPI == nullptr || size != 29) return nullptr;
  bool day_name = false;
  for (const char* name : kDayNames) day_name = day_name || std::memcmp(p, name, 3) == 0;
  if (!day_name || p[3] != ',' || p[4] != ' ') return nullptr;
  const char separator = p[7];
  if ((separator != ' ' && separator != '-') || p[11] != separator || p[16] != ' ' ||
      p[19] != ':' || p[22] != ':' || std::memcmp(p + 25, " GMT", 4) != 0) {
    return nullptr;
  }
  const int day = two_digits(p + 5);
  const int month = month_number(p + 8);
  const int century = two_digits(p + 12);
  const int year_in_century = two_digits(p + 14);
  const int hour = two_digits(p + 17);
  const int minute = two_digits(p + 20);
  const int second = two_digits(p + 23);
  if (day < 0 || month == 0 || century < 10 || year_in_century < 0 || hour < 0 || minute < 0 ||
      second < 0) {
    return nullptr;
  }
  const int year = century * 100 + year_in_century;
  if (day < 1 || day > days_in_month(year, month) || hour > 23 || minute > 59 || second > 59) {
    return nullptr;
  }
  return PyDateTimeAPI->DateTime_FromDateAndTime(year, month, day, hour, minute, second, 0, Py_None,
                                                 PyDateTimeAPI->DateTimeType);
}

PyObject* from_cookie_format(PyObject* value) {
  if (is_original(LateBound::kParsedateToDatetime) && PyBytes_CheckExact(value)) {
    PyObject* date = read_common_date(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value));
    if (date != nullptr || PyErr_Occurred()) return date;
  }
  Ref parse = steal(lookup_late_bound(LateBound::kParsedateToDatetime));
  if (!parse) return nullptr;
  if (value == Py_None) {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "decode");
    return nullptr;
  }
  Ref text =
      steal(PyBytes_CheckExact(value)
                ? PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value), "strict")
                : PyObject_CallMethodNoArgs(value, str_decode.get()));
  if (!text) return nullptr;
  Ref parsed = steal(PyObject_CallOneArg(parse.get(), text.get()));
  if (!parsed) return nullptr;
  PyObject* args[] = {parsed.get(), Py_None};
  Ref naive = steal(PyObject_VectorcallMethod(
      str_replace.get(), args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, dates.replace_kwnames));
  if (!naive) return nullptr;
  if (!check_convertible(naive.get(), imported.datetime_type)) return nullptr;
  return naive.transfer();
}

}  // namespace

const DatetimeStructSizes datetime_struct_sizes = {
    sizeof(PyDateTime_Date),  sizeof(PyDateTime_Time),   sizeof(PyDateTime_DateTime),
    sizeof(PyDateTime_Delta), sizeof(PyDateTime_TZInfo),
};

bool dates_ready() noexcept {
  if (dates.replace_kwnames == nullptr) {
    dates.replace_kwnames = PyTuple_Pack(1, str_tzinfo.get());
    if (dates.replace_kwnames == nullptr) return false;
  }
  // The native formatting needs the datetime C interface (PyDateTimeAPI,
  // nullptr until imported); without it every date goes through strftime.
  PyDateTimeAPI = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
  if (PyDateTimeAPI == nullptr) {
    PyErr_Clear();
    return true;
  }
  PyObject* descriptor = _PyType_Lookup(PyDateTimeAPI->DateTimeType, str_strftime.get());
  if (descriptor == nullptr || !Py_IS_TYPE(descriptor, &PyMethodDescr_Type)) {
    PyDateTimeAPI = nullptr;
    return true;
  }
  dates.standard_strftime = reinterpret_cast<PyMethodDescrObject*>(descriptor)->d_method;
  descriptor = _PyType_Lookup(PyDateTimeAPI->DateTimeType, str_timetuple.get());
  if (descriptor == nullptr || !Py_IS_TYPE(descriptor, &PyMethodDescr_Type)) {
    PyDateTimeAPI = nullptr;
    return true;
  }
  dates.standard_timetuple = reinterpret_cast<PyMethodDescrObject*>(descriptor)->d_method;
  // Years below 1000 are written as this interpreter's strftime writes them.
  Ref first = steal(PyDateTimeAPI->DateTime_FromDateAndTime(1, 1, 1, 0, 0, 0, 0, Py_None,
                                                            PyDateTimeAPI->DateTimeType));
  if (!first) return false;
  Ref year =
      steal(PyObject_CallMethodOneArg(first.get(), str_strftime.get(), str_year_format.get()));
  if (!year) return false;
  dates.pad_year = PyUnicode_Check(year.get()) && PyUnicode_GET_LENGTH(year.get()) == 4;
  return true;
}

char* write_naive_cookie_date(char* out, PyObject* value) noexcept {
  if (PyDateTimeAPI == nullptr || !Py_IS_TYPE(value, PyDateTimeAPI->DateTimeType) ||
      PyDateTime_DATE_GET_TZINFO(value) != Py_None) {
    return nullptr;
  }
  return write_datetime(out, value);
}

PyObject* datetime_to_cookie_format(PyObject* value, int /*skip_dispatch*/) noexcept {
  PyObject* result = to_cookie_format(value);
  if (result == nullptr) GCO_TRACEBACK("datetime_to_cookie_format");
  return result;
}

PyObject* datetime_from_cookie_bytes(const char* data, Py_ssize_t size) noexcept {
  if (is_original(LateBound::kParsedateToDatetime)) {
    PyObject* date = read_common_date(data, size);
    if (date != nullptr) return date;
    if (PyErr_Occurred()) {
      GCO_TRACEBACK("datetime_from_cookie_format");
      return nullptr;
    }
  }
  Ref raw = steal(PyBytes_FromStringAndSize(data, size));
  if (!raw) return nullptr;
  return datetime_from_cookie_format(raw.get(), 0);
}

PyObject* datetime_from_cookie_format(PyObject* value, int /*skip_dispatch*/) noexcept {
  PyObject* result = from_cookie_format(value);
  if (result == nullptr) GCO_TRACEBACK("datetime_from_cookie_format");
  return result;
}

PyObject* py_datetime_to_cookie_format(PyObject* /*self*/, PyObject* const* args) {
  if (!check_instance_argument(args[0], imported.datetime_type, "value")) return nullptr;
  return to_cookie_format(args[0]);
}

PyObject* py_datetime_from_cookie_format(PyObject* /*self*/, PyObject* const* args) {
  if (!check_exact_argument(args[0], &PyBytes_Type, "value")) return nullptr;
  return from_cookie_format(args[0]);
}

}  // namespace gco
