#include "model/zone_rule.h"

#include <array>
#include <cstddef>
#include <optional>

namespace calendar_mirrow_addin {

namespace {

// Byte layouts: our 48-byte form keeps the transition dates two bytes apart from the
// biases (as TIME_ZONE_INFORMATION without its names does); the registry's 44-byte TZI
// value packs them.
constexpr size_t kRuleBytes = 48;
constexpr size_t kRuleStandardDateAt = 14;
constexpr size_t kRuleDaylightDateAt = 32;
constexpr size_t kTziBytes = 44;
constexpr size_t kTziStandardDateAt = 12;
constexpr size_t kTziDaylightDateAt = 28;

constexpr int64_t kTicksPerMinute = 60 * kFileTimeTicksPerSecond;

void PutUint16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value & 0xFF);
  at[1] = static_cast<uint8_t>(value >> 8);
}

void PutInt32(uint8_t* at, int32_t value) {
  const uint32_t bits = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(bits >> (8 * i));
}

uint16_t GetUint16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }

int32_t GetInt32(const uint8_t* at) {
  uint32_t bits = 0;
  for (int i = 0; i < 4; ++i) bits |= static_cast<uint32_t>(at[i]) << (8 * i);
  return static_cast<int32_t>(bits);
}

std::array<uint16_t SystemTime::*, 8> SystemTimeFields() {
  return {&SystemTime::year,   &SystemTime::month,       &SystemTime::day_of_week,
          &SystemTime::day,    &SystemTime::hour,        &SystemTime::minute,
          &SystemTime::second, &SystemTime::milliseconds};
}

void PutSystemTime(uint8_t* at, const SystemTime& time) {
  for (auto field : SystemTimeFields()) {
    PutUint16(at, time.*field);
    at += 2;
  }
}

SystemTime GetSystemTime(const uint8_t* at) {
  SystemTime time;
  for (auto field : SystemTimeFields()) {
    time.*field = GetUint16(at);
    at += 2;
  }
  return time;
}

ZoneRule ReadLayout(const uint8_t* bytes, size_t standard_at, size_t daylight_at) {
  ZoneRule rule;
  rule.bias = GetInt32(bytes);
  rule.standard_bias = GetInt32(bytes + 4);
  rule.daylight_bias = GetInt32(bytes + 8);
  rule.standard_date = GetSystemTime(bytes + standard_at);
  rule.daylight_date = GetSystemTime(bytes + daylight_at);
  return rule;
}

int HexDigitValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  return -1;
}

// Decodes exactly `size` bytes from 2 * size hex digits of either case.
template <typename Char>
bool DecodeHex(std::basic_string_view<Char> hex, size_t size, uint8_t* out) {
  if (hex.size() != 2 * size) return false;
  for (size_t i = 0; i < size; ++i) {
    const int high = HexDigitValue(static_cast<wchar_t>(hex[2 * i]));
    const int low = HexDigitValue(static_cast<wchar_t>(hex[2 * i + 1]));
    if (high < 0 || low < 0) return false;
    out[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return true;
}

// Without a daylight date the zone has no daylight time, whatever the standard date holds:
// Windows reads it so, and Outlook hands over such rules for zones that dropped daylight
// time. A daylight date without a standard date stays malformed.
bool HasDaylightTime(const ZoneRule& rule) { return rule.daylight_date.month != 0; }

// A transition needs a month; a yearly one also a week 1-5 and a day of week 0-6. The
// time of day (and an absolute date) is checked when the transition is placed in a year.
bool IsWellFormedTransition(const SystemTime& date) {
  if (date.month < 1 || date.month > 12) return false;
  if (date.year != 0) return true;
  return date.day >= 1 && date.day <= 5 && date.day_of_week <= 6;
}

bool IsWellFormed(const ZoneRule& rule) {
  if (!HasDaylightTime(rule)) return true;
  return IsWellFormedTransition(rule.standard_date) && IsWellFormedTransition(rule.daylight_date);
}

// The wall-clock time of a transition in `year`. A yearly rule names the week-th given
// weekday of the month, week 5 meaning the last one. A date with a year of its own is that
// exact date whatever `year` is: such a rule describes a single year only.
std::optional<FileTime> TransitionWallTime(const SystemTime& date, int year) {
  SystemTime at = date;
  if (date.year == 0) {
    const int first_weekday = DayOfWeek(year, date.month, 1);
    int day = 1 + (date.day_of_week - first_weekday + 7) % 7 + 7 * (date.day - 1);
    while (day > DaysInMonth(year, date.month)) day -= 7;
    at.year = static_cast<uint16_t>(year);
    at.day = static_cast<uint16_t>(day);
  }
  return SystemTimeToFileTime(at);
}

// Whether `time` falls in daylight time, all three on one clock. When daylight time starts
// later in the year than it ends (southern hemisphere), it spans the new year.
bool InDaylightPeriod(FileTime time, FileTime start, FileTime end) {
  if (start <= end) return time >= start && time < end;
  return time >= start || time < end;
}

int64_t StandardOffsetTicks(const ZoneRule& rule) {
  return (int64_t{rule.bias} + rule.standard_bias) * kTicksPerMinute;
}

int64_t DaylightOffsetTicks(const ZoneRule& rule) {
  return (int64_t{rule.bias} + rule.daylight_bias) * kTicksPerMinute;
}

// Daylight time at a UTC instant. The transitions are taken in the year of the local
// standard time; the start is given in standard and the end in daylight wall-clock time.
std::optional<bool> IsDaylightAtUtc(const ZoneRule& rule, FileTime utc) {
  const int64_t standard_offset = StandardOffsetTicks(rule);
  const int64_t daylight_offset = DaylightOffsetTicks(rule);
  const auto standard_wall = AddTicks(utc, -standard_offset);
  const auto standard_time = standard_wall ? FileTimeToSystemTime(*standard_wall) : std::nullopt;
  if (!standard_time) return std::nullopt;
  const auto start_wall = TransitionWallTime(rule.daylight_date, standard_time->year);
  const auto end_wall = TransitionWallTime(rule.standard_date, standard_time->year);
  if (!start_wall || !end_wall) return std::nullopt;
  const auto start = AddTicks(*start_wall, standard_offset);
  const auto end = AddTicks(*end_wall, daylight_offset);
  if (!start || !end) return std::nullopt;
  return InDaylightPeriod(utc, *start, *end);
}

// Daylight time at a local wall-clock time: from the start (standard wall time) up to the
// end (daylight wall time). The skipped hour and the repeated hour both lie inside.
std::optional<bool> IsDaylightAtLocal(const ZoneRule& rule, FileTime local, int year) {
  const auto start = TransitionWallTime(rule.daylight_date, year);
  const auto end = TransitionWallTime(rule.standard_date, year);
  if (!start || !end) return std::nullopt;
  return InDaylightPeriod(local, *start, *end);
}

bool ToSystemTime(std::optional<FileTime> time, SystemTime* out) {
  const auto fields = time ? FileTimeToSystemTime(*time) : std::nullopt;
  if (!fields) return false;
  *out = *fields;
  return true;
}

}  // namespace

std::wstring ZoneRuleToHex(const ZoneRule& rule) {
  std::array<uint8_t, kRuleBytes> bytes{};
  PutInt32(&bytes[0], rule.bias);
  PutInt32(&bytes[4], rule.standard_bias);
  PutInt32(&bytes[8], rule.daylight_bias);
  PutSystemTime(&bytes[kRuleStandardDateAt], rule.standard_date);
  PutSystemTime(&bytes[kRuleDaylightDateAt], rule.daylight_date);
  static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring hex;
  hex.reserve(2 * kRuleBytes);
  for (uint8_t byte : bytes) {
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 0x0F]);
  }
  return hex;
}

std::wstring ZoneRuleFuzzyKey(const ZoneRule& rule) {
  ZoneRule copy = rule;
  copy.standard_date.hour = 0;
  copy.daylight_date.hour = 0;
  return ZoneRuleToHex(copy);
}

// The padding bytes carry nothing; they are not required to be zero.
bool ZoneRuleFromHex(std::wstring_view hex, ZoneRule* rule) {
  std::array<uint8_t, kRuleBytes> bytes{};
  if (!DecodeHex(hex, kRuleBytes, bytes.data())) return false;
  *rule = ReadLayout(bytes.data(), kRuleStandardDateAt, kRuleDaylightDateAt);
  return true;
}

bool ZoneRuleFromTziHex(std::string_view hex, ZoneRule* rule) {
  std::array<uint8_t, kTziBytes> bytes{};
  if (!DecodeHex(hex, kTziBytes, bytes.data())) return false;
  *rule = ReadLayout(bytes.data(), kTziStandardDateAt, kTziDaylightDateAt);
  return true;
}

bool RuleUtcToLocal(const ZoneRule& rule, const SystemTime& utc, SystemTime* local) {
  const auto time = SystemTimeToFileTime(utc);
  if (!time || !IsWellFormed(rule)) return false;
  int64_t offset = StandardOffsetTicks(rule);
  if (HasDaylightTime(rule)) {
    const auto daylight = IsDaylightAtUtc(rule, *time);
    if (!daylight) return false;
    if (*daylight) offset = DaylightOffsetTicks(rule);
  }
  return ToSystemTime(AddTicks(*time, -offset), local);
}

bool RuleLocalToUtc(const ZoneRule& rule, const SystemTime& local, SystemTime* utc) {
  const auto time = SystemTimeToFileTime(local);
  if (!time || !IsWellFormed(rule)) return false;
  int64_t offset = StandardOffsetTicks(rule);
  if (HasDaylightTime(rule)) {
    const auto daylight = IsDaylightAtLocal(rule, *time, local.year);
    if (!daylight) return false;
    if (*daylight) offset = DaylightOffsetTicks(rule);
  }
  return ToSystemTime(AddTicks(*time, offset), utc);
}

}  // namespace calendar_mirrow_addin
