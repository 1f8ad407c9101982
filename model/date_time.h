#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/system_time.h"

namespace calendar_mirrow_addin {

// One instant in UTC, or a floating calendar date (`date_only`). The first eight fields
// have the SYSTEMTIME layout. Optional values are held as owned pointers that may be null.
class DateTime {
 public:
  uint16_t year = 0;
  uint16_t month = 0;
  uint16_t day_of_week = 0;
  uint16_t day = 0;
  uint16_t hour = 0;
  uint16_t minute = 0;
  uint16_t second = 0;
  uint16_t milliseconds = 0;
  bool date_only = false;

  static DateTime FromDate(int day, int month, int year);
  static DateTime FromFields(int day, int month, int year, int hour, int minute, int second,
                             int milliseconds);
  static DateTime FromSystemTime(const SystemTime& time);
  // Milliseconds dropped, rounding up to the next second from 500 on.
  static DateTime FromSystemTimeRounded(const SystemTime& time);
  // The machine's local time turned into UTC (or, with date_only, the local date).
  static std::unique_ptr<DateTime> FromLocalSystemTime(const SystemTime& local, bool date_only);
  // Local time of the zone named by tzid turned into UTC; none when the zone is unknown.
  static std::unique_ptr<DateTime> FromZoneLocalTime(const SystemTime& local,
                                                     const std::wstring& tzid, bool date_only);
  static std::unique_ptr<DateTime> Now();

  SystemTime ToSystemTime() const;
};

// Arithmetic through 100-ns file-time units. A date stays a date. A result outside the
// representable range (1601-30827) leaves the value unchanged.
DateTime AddSeconds(const DateTime& value, int64_t seconds);
DateTime AddMinutes(const DateTime& value, int64_t minutes);
DateTime AddHours(const DateTime& value, int64_t hours);
DateTime AddDays(const DateTime& value, int64_t days);

// Whole seconds of a - b, truncated. 0 when a is earlier than b: the result is
// unsigned, and a negative span must not wrap into an enormous duration.
uint64_t SecondsBetween(const DateTime& a, const DateTime& b);

// Equal to the second: milliseconds and day_of_week are ignored, date_only counts.
bool operator==(const DateTime& a, const DateTime& b);
bool operator!=(const DateTime& a, const DateTime& b);
// Ordered as instants, milliseconds included, date_only ignored.
bool operator<(const DateTime& a, const DateTime& b);
bool operator>(const DateTime& a, const DateTime& b);
// Optional values: two nulls are equal, a null and a value are not.
bool OptionalEquals(const DateTime* a, const DateTime* b);

// UTC to the machine's local time; false when the conversion fails.
bool ToLocalSystemTime(const DateTime& value, SystemTime& local);
// UTC to the local time of the zone tzid; an empty tzid means UTC (fields copied).
bool ToZoneLocalTime(const DateTime& value, const std::wstring& tzid, SystemTime& local);

// 2008-03-07 for a date, 2008-03-07T09:05:00.000Z otherwise.
std::wstring FormatIso(const DateTime& value);
// 20080307 for a date; otherwise the wall-clock time in tzid, 20080307T090500, with a
// trailing "Z" when tzid is empty.
std::wstring FormatICal(const DateTime& value, const std::wstring& tzid = std::wstring());
// None for malformed text or impossible dates.
std::unique_ptr<DateTime> ParseIso(std::wstring_view text);
std::unique_ptr<DateTime> ParseICal(std::wstring_view text, const std::wstring& tzid);

}  // namespace calendar_mirrow_addin
