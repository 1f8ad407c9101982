#include "model/date_time.h"

#include <cwchar>
#include <limits>
#include <optional>
#include <tuple>

#include "base/local_time.h"
#include "base/logger.h"
#include "base/text.h"
#include "model/time_zone_map.h"

namespace calendar_mirrow_addin {

namespace {

DateTime FromFieldsOf(const SystemTime& t) {
  DateTime value;
  value.year = t.year;
  value.month = t.month;
  value.day_of_week = t.day_of_week;
  value.day = t.day;
  value.hour = t.hour;
  value.minute = t.minute;
  value.second = t.second;
  value.milliseconds = t.milliseconds;
  return value;
}

// Seconds scaled to 100-ns ticks; none when the product leaves the 64-bit range.
std::optional<int64_t> SecondsToTicks(int64_t seconds) {
  constexpr int64_t kLimit = std::numeric_limits<int64_t>::max() / kFileTimeTicksPerSecond;
  if (seconds > kLimit || seconds < -kLimit) return std::nullopt;
  return seconds * kFileTimeTicksPerSecond;
}

int64_t SaturatingMultiply(int64_t value, int64_t factor) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  if (value > kMax / factor) return kMax;
  if (value < -kMax / factor) return -kMax;
  return value * factor;
}

// None when the operand is not a valid time or the result leaves the file-time range.
std::optional<DateTime> TryAddSeconds(const DateTime& value, int64_t seconds) {
  const auto file_time = SystemTimeToFileTime(value.ToSystemTime());
  const auto ticks = SecondsToTicks(seconds);
  if (!file_time || !ticks) return std::nullopt;
  const auto sum = AddTicks(*file_time, *ticks);
  if (!sum) return std::nullopt;
  const auto fields = FileTimeToSystemTime(*sum);
  if (!fields || !IsValidSystemTime(*fields)) return std::nullopt;
  if (value.date_only) return DateTime::FromDate(fields->day, fields->month, fields->year);
  return FromFieldsOf(*fields);
}

std::unique_ptr<DateTime> IfValid(const DateTime& value) {
  if (!IsValidSystemTime(value.ToSystemTime())) return nullptr;
  return std::make_unique<DateTime>(value);
}

// Characters [pos, pos + length) read as a number; none when the text is too short or
// the characters are not all digits (iCalendar times are fixed-width digit runs).
std::optional<int> FixedNumber(std::wstring_view text, size_t pos, size_t length) {
  if (text.size() < pos + length) return std::nullopt;
  const std::wstring_view digits = text.substr(pos, length);
  for (wchar_t c : digits) {
    if (c < L'0' || c > L'9') return std::nullopt;
  }
  return ParseDecimal(digits);
}

auto FieldTuple(const DateTime& v) {
  return std::tie(v.year, v.month, v.day, v.hour, v.minute, v.second, v.milliseconds);
}

std::wstring Printf(const wchar_t* format, int a, int b, int c) {
  wchar_t text[64];
  std::swprintf(text, 64, format, a, b, c);
  return text;
}

}  // namespace

DateTime DateTime::FromDate(int day, int month, int year) {
  DateTime value;
  value.year = static_cast<uint16_t>(year);
  value.month = static_cast<uint16_t>(month);
  value.day = static_cast<uint16_t>(day);
  value.date_only = true;
  return value;
}

DateTime DateTime::FromFields(int day, int month, int year, int hour, int minute, int second,
                              int milliseconds) {
  DateTime value = FromDate(day, month, year);
  value.date_only = false;
  value.hour = static_cast<uint16_t>(hour);
  value.minute = static_cast<uint16_t>(minute);
  value.second = static_cast<uint16_t>(second);
  value.milliseconds = static_cast<uint16_t>(milliseconds);
  return value;
}

DateTime DateTime::FromSystemTime(const SystemTime& time) { return FromFieldsOf(time); }

DateTime DateTime::FromSystemTimeRounded(const SystemTime& time) {
  DateTime value = FromFieldsOf(time);
  const bool round_up = value.milliseconds >= 500;
  value.milliseconds = 0;
  return round_up ? AddSeconds(value, 1) : value;
}

std::unique_ptr<DateTime> DateTime::FromLocalSystemTime(const SystemTime& local, bool date_only) {
  if (date_only) return std::make_unique<DateTime>(FromDate(local.day, local.month, local.year));
  const auto utc = MachineLocalToUtc(local);
  if (!utc) return nullptr;
  return std::make_unique<DateTime>(FromFieldsOf(*utc));
}

std::unique_ptr<DateTime> DateTime::FromZoneLocalTime(const SystemTime& local,
                                                      const std::wstring& tzid, bool date_only) {
  if (date_only) return std::make_unique<DateTime>(FromDate(local.day, local.month, local.year));
  SystemTime utc;
  if (!TimeZoneMap::Instance().ZoneLocalToUtc(local, tzid, utc)) return nullptr;
  return std::make_unique<DateTime>(FromFieldsOf(utc));
}

// Taken from the UTC clock directly: going through the local wall clock would be an
// hour off during the repeated hour when clocks go back.
std::unique_ptr<DateTime> DateTime::Now() {
  return std::make_unique<DateTime>(FromFieldsOf(UtcNow()));
}

SystemTime DateTime::ToSystemTime() const {
  return SystemTime{year, month, day_of_week, day, hour, minute, second, milliseconds};
}

DateTime AddSeconds(const DateTime& value, int64_t seconds) {
  return TryAddSeconds(value, seconds).value_or(value);
}

DateTime AddMinutes(const DateTime& value, int64_t minutes) {
  return AddSeconds(value, SaturatingMultiply(minutes, 60));
}

DateTime AddHours(const DateTime& value, int64_t hours) {
  return AddMinutes(value, SaturatingMultiply(hours, 60));
}

DateTime AddDays(const DateTime& value, int64_t days) {
  return AddMinutes(value, SaturatingMultiply(days, 1440));
}

uint64_t SecondsBetween(const DateTime& a, const DateTime& b) {
  const auto ta = SystemTimeToFileTime(a.ToSystemTime());
  const auto tb = SystemTimeToFileTime(b.ToSystemTime());
  if (!ta || !tb || *ta < *tb) return 0;
  return (*ta - *tb) / kFileTimeTicksPerSecond;
}

bool operator==(const DateTime& a, const DateTime& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour &&
         a.minute == b.minute && a.second == b.second && a.date_only == b.date_only;
}

bool operator!=(const DateTime& a, const DateTime& b) { return !(a == b); }

// Field order is chronological order, so comparing the fields compares the instants
// (and stays a total order even for values no file time could hold).
bool operator<(const DateTime& a, const DateTime& b) { return FieldTuple(a) < FieldTuple(b); }

bool operator>(const DateTime& a, const DateTime& b) { return !(a == b) && !(a < b); }

bool OptionalEquals(const DateTime* a, const DateTime* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return *a == *b;
}

bool ToLocalSystemTime(const DateTime& value, SystemTime& local) {
  const auto converted = MachineUtcToLocal(value.ToSystemTime());
  if (!converted) return false;
  local = *converted;
  return true;
}

bool ToZoneLocalTime(const DateTime& value, const std::wstring& tzid, SystemTime& local) {
  if (tzid.empty()) {
    local = value.ToSystemTime();
    return true;
  }
  return TimeZoneMap::Instance().UtcToZoneLocal(value.ToSystemTime(), tzid, local);
}

std::wstring FormatIso(const DateTime& value) {
  std::wstring date = Printf(L"%04d-%02d-%02d", value.year, value.month, value.day);
  if (value.date_only) return date;
  wchar_t text[64];
  std::swprintf(text, 64, L"%lsT%02d:%02d:%02d.%03dZ", date.c_str(), value.hour, value.minute,
                value.second, value.milliseconds);
  return text;
}

std::wstring FormatICal(const DateTime& value, const std::wstring& tzid) {
  if (value.date_only) return Printf(L"%04d%02d%02d", value.year, value.month, value.day);
  SystemTime local;
  if (!ToZoneLocalTime(value, tzid, local)) {
    LogSevere(L"Unable to convert to to: " + tzid + L", using UTC values instead");
    local = value.ToSystemTime();
  }
  std::wstring text = Printf(L"%04d%02d%02d", local.year, local.month, local.day) +
                      Printf(L"T%02d%02d%02d", local.hour, local.minute, local.second);
  if (tzid.empty()) text += L"Z";
  return text;
}

std::unique_ptr<DateTime> ParseIso(std::wstring_view text) {
  const auto parts = SplitTokens(text, L"T");
  if (parts.size() != 2 && text.size() != 10) return nullptr;
  if (parts.empty()) return nullptr;
  const auto date = SplitTokens(parts[0], L"-");
  if (date.size() != 3) return nullptr;
  const int year = ParseDecimal(date[0]);
  const int month = ParseDecimal(date[1]);
  const int day = ParseDecimal(date[2]);
  // The fields are 16 bits wide: a value beyond must not wrap into a valid other date.
  const auto fits = [](int value) { return value >= 0 && value <= 0xFFFF; };
  if (!fits(year) || !fits(month) || !fits(day)) return nullptr;
  if (text.size() == 10) return IfValid(DateTime::FromDate(day, month, year));
  if (parts.size() != 2) return nullptr;

  std::wstring_view time_part = parts[1];
  int sign = 0;
  std::vector<std::wstring_view> pieces{time_part};
  if (time_part.find(L'-') != std::wstring_view::npos) {
    sign = -1;
    pieces = SplitTokens(time_part, L"-");
  } else if (time_part.find(L'+') != std::wstring_view::npos) {
    sign = 1;
    pieces = SplitTokens(time_part, L"+");
  }
  if (sign != 0 && pieces.size() != 2) return nullptr;

  const auto hms = SplitTokens(pieces[0], L":");
  if (hms.size() != 3) return nullptr;
  const auto seconds = SplitTokens(hms[2], L".");
  if (seconds.size() != 2) return nullptr;
  const int hour = ParseDecimal(hms[0]), minute = ParseDecimal(hms[1]);
  const int second = ParseDecimal(seconds[0]), millisecond = ParseDecimal(seconds[1]);
  if (!fits(hour) || !fits(minute) || !fits(second) || !fits(millisecond)) return nullptr;
  const DateTime fields = DateTime::FromFields(day, month, year, hour, minute, second, millisecond);
  if (!IsValidSystemTime(fields.ToSystemTime())) return nullptr;
  if (sign == 0) return std::make_unique<DateTime>(fields);

  const auto offset = SplitTokens(pieces[1], L":");
  if (offset.size() != 2) return nullptr;
  const int64_t minutes = int64_t{ParseDecimal(offset[0])} * 60 + ParseDecimal(offset[1]);
  // East of Greenwich the local time is ahead of UTC, so the offset is taken off.
  const auto utc = TryAddSeconds(fields, -sign * minutes * 60);
  if (!utc) return nullptr;
  return std::make_unique<DateTime>(*utc);
}

std::unique_ptr<DateTime> ParseICal(std::wstring_view text, const std::wstring& tzid) {
  if (text.empty()) return nullptr;
  const bool utc = text.back() == L'Z';
  if (utc) text.remove_suffix(1);
  const auto parts = SplitTokens(text, L"T");
  if (parts.empty() || parts.size() > 2) return nullptr;
  const auto year = FixedNumber(parts[0], 0, 4);
  const auto month = FixedNumber(parts[0], 4, 2);
  const auto day = FixedNumber(parts[0], 6, 2);
  if (!year || !month || !day) return nullptr;
  if (parts.size() == 1) return IfValid(DateTime::FromDate(*day, *month, *year));

  const auto hour = FixedNumber(parts[1], 0, 2);
  const auto minute = FixedNumber(parts[1], 2, 2);
  const auto second = FixedNumber(parts[1], 4, 2);
  if (!hour || !minute || !second) return nullptr;
  const DateTime fields = DateTime::FromFields(*day, *month, *year, *hour, *minute, *second, 0);
  if (!IsValidSystemTime(fields.ToSystemTime())) return nullptr;
  if (utc || tzid.empty()) return std::make_unique<DateTime>(fields);
  return DateTime::FromZoneLocalTime(fields.ToSystemTime(), tzid, false);
}

}  // namespace calendar_mirrow_addin
