#pragma once

#include <cstdint>
#include <optional>

namespace calendar_mirrow_addin {

// The field layout of the Win32 SYSTEMTIME record, so that values convert by copying.
struct SystemTime {
  uint16_t year = 0;
  uint16_t month = 0;
  uint16_t day_of_week = 0;  // 0 = Sunday
  uint16_t day = 0;
  uint16_t hour = 0;
  uint16_t minute = 0;
  uint16_t second = 0;
  uint16_t milliseconds = 0;
};
static_assert(sizeof(SystemTime) == 16, "SystemTime must keep the SYSTEMTIME layout");

// File time: 100-nanosecond intervals since 1601-01-01T00:00:00.
using FileTime = uint64_t;

inline constexpr int64_t kFileTimeTicksPerSecond = 10'000'000;
inline constexpr int64_t kFileTimeTicksPerMillisecond = 10'000;
// File time of 1970-01-01T00:00:00, the Unix epoch.
inline constexpr FileTime kUnixEpochFileTime = 116'444'736'000'000'000ULL;

// As SystemTimeToFileTime: none when a field is out of range (month 1-12, day within the
// month, hour < 24, minute < 60, second < 60, milliseconds < 1000, year 1601-30827).
// day_of_week is ignored.
std::optional<FileTime> SystemTimeToFileTime(const SystemTime& time);

// As FileTimeToSystemTime, with day_of_week filled; none for values of 2^63 or more.
std::optional<SystemTime> FileTimeToSystemTime(FileTime file_time);

// True when the fields form a valid date (and time).
bool IsValidSystemTime(const SystemTime& time);

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);
// 0 = Sunday .. 6 = Saturday, for a valid proleptic Gregorian date.
int DayOfWeek(int year, int month, int day);

// Adds a signed number of 100-ns ticks; none when the result leaves the file-time range.
std::optional<FileTime> AddTicks(FileTime file_time, int64_t ticks);

}  // namespace calendar_mirrow_addin
