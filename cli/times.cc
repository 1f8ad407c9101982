#include "cli/times.h"

#include <cstdio>

#include "base/text.h"
#include "model/time_zone_map.h"
#include "outlook/automation.h"
#include "outlook/dispatch_values.h"

namespace calendar_mirrow_addin::cli {

namespace {

// Exactly `count` decimal digits at `pos`.
std::optional<int> Digits(std::string_view text, size_t pos, size_t count) {
  if (pos + count > text.size()) return std::nullopt;
  int value = 0;
  for (size_t i = pos; i < pos + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

}  // namespace

std::optional<TypedTime> ParseTypedTime(std::string_view text) {
  TypedTime typed;
  if (!text.empty() && (text.back() == 'Z' || text.back() == 'z')) {
    typed.utc = true;
    text.remove_suffix(1);
  }
  const auto year = Digits(text, 0, 4), month = Digits(text, 5, 2), day = Digits(text, 8, 2);
  if (!year || !month || !day || text[4] != '-' || text[7] != '-') return std::nullopt;
  typed.fields.year = static_cast<uint16_t>(*year);
  typed.fields.month = static_cast<uint16_t>(*month);
  typed.fields.day = static_cast<uint16_t>(*day);
  if (text.size() == 10) {
    typed.date_only = true;
    if (typed.utc) return std::nullopt;  // a date has no zone
  } else {
    const auto hour = Digits(text, 11, 2), minute = Digits(text, 14, 2);
    if ((text[10] != 'T' && text[10] != 't') || !hour || !minute || text[13] != ':') {
      return std::nullopt;
    }
    typed.fields.hour = static_cast<uint16_t>(*hour);
    typed.fields.minute = static_cast<uint16_t>(*minute);
    if (text.size() == 19) {
      const auto second = Digits(text, 17, 2);
      if (!second || text[16] != ':') return std::nullopt;
      typed.fields.second = static_cast<uint16_t>(*second);
    } else if (text.size() != 16) {
      return std::nullopt;
    }
  }
  if (*year < 1601 || !IsValidSystemTime(typed.fields)) return std::nullopt;
  typed.fields.day_of_week = static_cast<uint16_t>(DayOfWeek(*year, *month, *day));
  return typed;
}

std::unique_ptr<DateTime> TypedTimeToUtc(const TypedTime& time, const std::wstring& zone,
                                         std::string* error) {
  const SystemTime& f = time.fields;
  if (!zone.empty()) {
    ZoneRule rule;
    if (!TimeZoneMap::Instance().GetZoneRule(zone, rule)) {
      *error = "unknown time zone " + WideToUtf8(zone);
      return nullptr;
    }
  }
  if (time.date_only) return std::make_unique<DateTime>(DateTime::FromDate(f.day, f.month, f.year));
  if (time.utc) {
    return std::make_unique<DateTime>(
        DateTime::FromFields(f.day, f.month, f.year, f.hour, f.minute, f.second, 0));
  }
  auto utc = zone.empty() ? DateTime::FromLocalSystemTime(f, false)
                          : DateTime::FromZoneLocalTime(f, zone, false);
  if (!utc) *error = "the time cannot be placed in the time zone";
  return utc;
}

std::unique_ptr<DateTime> ParseTimeArgument(const std::string& text, const std::wstring& zone,
                                            std::string* error) {
  const auto typed = ParseTypedTime(text);
  if (!typed) {
    *error = "not a time: \"" + text + "\" (use 2026-12-08T09:00, 2026-12-08T08:00Z or 2026-12-08)";
    return nullptr;
  }
  return TypedTimeToUtc(*typed, zone, error);
}

std::string FormatAutomationDate(DATE date, bool date_only) {
  SYSTEMTIME local{};
  if (!VariantTimeToSystemTime(date, &local)) return "(none)";
  char text[32];
  if (date_only) {
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", local.wYear, local.wMonth, local.wDay);
  } else {
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u", local.wYear, local.wMonth,
                  local.wDay, local.wHour, local.wMinute);
  }
  return text;
}

std::optional<DATE> AutomationDateOf(const DateTime& utc) {
  Variant value;
  if (!DateTimeToVariant(utc, L"local-tz-id", value.value) || value.value.vt != VT_DATE) {
    return std::nullopt;
  }
  return value.value.date;
}

}  // namespace calendar_mirrow_addin::cli
