// Civil dates and the span of times the modules keep: instants are
// microseconds since 1970-01-01 00:00 UTC, within years 1 to 9999 (the span
// of datetime).
#pragma once

#include <cstdint>

namespace gco::civil {

inline constexpr int64_t kSecond = 1000000;
inline constexpr int64_t kLatestSecond = 253402300799LL;              // 9999-12-31 23:59:59
inline constexpr int64_t kEarliest = -62135596800LL * kSecond;        // 0001-01-01
inline constexpr int64_t kLatest = kLatestSecond * kSecond + 999999;  // its last microsecond

// Days since 1970-01-01 of a proleptic Gregorian date.
constexpr int64_t days_from_civil(int64_t y, unsigned m, unsigned d) noexcept {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// The date of a number of days since 1970-01-01.
constexpr void civil_from_days(int64_t z, int64_t* year, unsigned* month, unsigned* day) noexcept {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *day = doy - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int64_t>(yoe) + era * 400 + (*month <= 2);
}

static_assert(days_from_civil(1970, 1, 1) == 0);
static_assert(days_from_civil(1, 1, 1) * 86400 * kSecond == kEarliest);
static_assert((days_from_civil(9999, 12, 31) + 1) * 86400 - 1 == kLatestSecond);

}  // namespace gco::civil
