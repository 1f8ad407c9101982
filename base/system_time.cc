#include "base/system_time.h"

namespace calendar_mirrow_addin {

namespace {

constexpr int64_t kTicksPerDay = 86'400 * kFileTimeTicksPerSecond;
constexpr int kMinYear = 1601;
constexpr int kMaxYear = 30827;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's days_from_civil).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t* year, int* month, int* day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = yoe + era * 400 + (*month <= 2 ? 1 : 0);
}

// Days from 1601-01-01 to 1970-01-01.
const int64_t kEpochDays1601 = -DaysFromCivil(1601, 1, 1);

}  // namespace

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

int DayOfWeek(int year, int month, int day) {
  // 1970-01-01 was a Thursday (4).
  const int64_t days = DaysFromCivil(year, month, day);
  return static_cast<int>(((days % 7) + 7 + 4) % 7);
}

bool IsValidSystemTime(const SystemTime& t) {
  return t.year >= kMinYear && t.year <= kMaxYear && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
         t.day <= DaysInMonth(t.year, t.month) && t.hour < 24 && t.minute < 60 && t.second < 60 &&
         t.milliseconds < 1000;
}

std::optional<FileTime> SystemTimeToFileTime(const SystemTime& t) {
  if (!IsValidSystemTime(t)) return std::nullopt;
  const int64_t days = DaysFromCivil(t.year, t.month, t.day) + kEpochDays1601;
  const int64_t seconds = t.hour * 3600 + t.minute * 60 + t.second;
  return static_cast<FileTime>(days * kTicksPerDay + seconds * kFileTimeTicksPerSecond +
                               t.milliseconds * kFileTimeTicksPerMillisecond);
}

std::optional<SystemTime> FileTimeToSystemTime(FileTime file_time) {
  if (file_time >= (1ULL << 63)) return std::nullopt;
  const int64_t ticks = static_cast<int64_t>(file_time);
  const int64_t days = ticks / kTicksPerDay;
  const int64_t rest = ticks % kTicksPerDay;
  int64_t year = 0;
  int month = 0;
  int day = 0;
  CivilFromDays(days - kEpochDays1601, &year, &month, &day);
  SystemTime t;
  t.year = static_cast<uint16_t>(year);
  t.month = static_cast<uint16_t>(month);
  t.day = static_cast<uint16_t>(day);
  t.day_of_week = static_cast<uint16_t>((days + 1) % 7);  // 1601-01-01 was a Monday.
  t.hour = static_cast<uint16_t>(rest / (3600 * kFileTimeTicksPerSecond));
  t.minute = static_cast<uint16_t>(rest / (60 * kFileTimeTicksPerSecond) % 60);
  t.second = static_cast<uint16_t>(rest / kFileTimeTicksPerSecond % 60);
  t.milliseconds = static_cast<uint16_t>(rest / kFileTimeTicksPerMillisecond % 1000);
  return t;
}

std::optional<FileTime> AddTicks(FileTime file_time, int64_t ticks) {
  constexpr FileTime kLimit = 1ULL << 63;
  if (ticks >= 0) {
    const FileTime step = static_cast<FileTime>(ticks);
    if (file_time >= kLimit || step >= kLimit - file_time) return std::nullopt;
    return file_time + step;
  }
  // Negate without overflow: -(ticks + 1) is representable, then add the one back.
  const FileTime step = static_cast<FileTime>(-(ticks + 1)) + 1;
  if (step > file_time) return std::nullopt;
  return file_time - step;
}

}  // namespace calendar_mirrow_addin
