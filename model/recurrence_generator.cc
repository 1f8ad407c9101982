#include "model/recurrence.h"

#include <array>
#include <string>
#include <string_view>
#include <utility>

#include "base/logger.h"
#include "base/text.h"

namespace calendar_mirrow_addin {

namespace {

constexpr std::wstring_view kLineBreak = L"\r\n";

// Indexed by Frequency.
constexpr std::array<std::wstring_view, 4> kFrequencyNames = {L"DAILY", L"MONTHLY", L"WEEKLY",
                                                              L"YEARLY"};

// In the order the days are written.
constexpr std::array<std::pair<int32_t, std::wstring_view>, 7> kDays = {{
    {kSunday, L"SU"},
    {kMonday, L"MO"},
    {kTuesday, L"TU"},
    {kWednesday, L"WE"},
    {kThursday, L"TH"},
    {kFriday, L"FR"},
    {kSaturday, L"SA"},
}};

// A zone no calendar here can convert is written as the empty zone, with the start in
// UTC and its "Z": local fields under that name would be read as another instant by a
// calendar that knows the zone, and refused by our own reader.
std::wstring StartZone(const Recurrence& recurrence) {
  SystemTime local;
  if (ToZoneLocalTime(*recurrence.start(), recurrence.tzid(), local)) return recurrence.tzid();
  LogInfo(L"GenerateICal -> unknown zone " + recurrence.tzid() + L", start written in UTC");
  return std::wstring();
}

// All-day series are written as a date range; timed ones as the local start in their zone
// and a length in seconds.
std::wstring StartLines(const Recurrence& recurrence) {
  const DateTime& start = *recurrence.start();
  std::wstring text;
  if (start.date_only) {
    const DateTime end = AddDays(start, recurrence.duration() / 86400);
    text += L"DTSTART;VALUE=DATE:" + FormatICal(start, recurrence.tzid());
    text += kLineBreak;
    text += L"DTEND;VALUE=DATE:" + FormatICal(end, recurrence.tzid());
  } else {
    const std::wstring zone = StartZone(recurrence);
    text += L"DTSTART;TZID=" + zone + L":" + FormatICal(start, zone);
    text += kLineBreak;
    text += L"DURATION:PT" + DecimalText(recurrence.duration()) + L"S";
  }
  text += kLineBreak;
  return text;
}

std::wstring LimitParts(const Recurrence& recurrence) {
  std::wstring text;
  if (recurrence.until() != nullptr) {
    text += L";UNTIL=" + FormatICal(*recurrence.until());
  } else if (recurrence.count() >= 0) {
    text += L";COUNT=" + DecimalText(recurrence.count());
  }
  if (recurrence.interval() > 1) text += L";INTERVAL=" + DecimalText(recurrence.interval());
  return text;
}

bool IsSingleDay(int32_t days_of_week) {
  for (const auto& [bit, name] : kDays) {
    if (days_of_week == bit) return true;
  }
  return false;
}

// A position goes in front of a single day (2TU); with several days it becomes BYSETPOS.
std::wstring DayParts(const Recurrence& recurrence) {
  const int32_t days_of_week = recurrence.days_of_week();
  const int32_t ordwk = recurrence.ordwk();
  int32_t position = ordwk == 5 ? -1 : (ordwk >= 1 && ordwk <= 4 ? ordwk : 0);
  std::wstring text;
  if (position != 0 && !IsSingleDay(days_of_week)) {
    text += L";BYSETPOS=" + DecimalText(position);
    position = 0;
  }
  if (days_of_week <= 0) return text;
  std::wstring_view separator = L";BYDAY=";
  for (const auto& [bit, name] : kDays) {
    if ((days_of_week & bit) == 0) continue;
    text += separator;
    if (position != 0) text += DecimalText(position);
    text += name;
    separator = L",";
  }
  return text;
}

std::wstring MonthParts(const Recurrence& recurrence) {
  std::wstring text;
  if (recurrence.month_day() > 0) text += L";BYMONTHDAY=" + DecimalText(recurrence.month_day());
  if (recurrence.month() > 0) text += L";BYMONTH=" + DecimalText(recurrence.month());
  return text;
}

}  // namespace

std::wstring GenerateICal(const Recurrence& recurrence) {
  const int32_t frequency = recurrence.frequency();
  if (frequency < 0 || frequency >= static_cast<int32_t>(kFrequencyNames.size())) {
    LogSevere(L"Unknown frequency" + DecimalText(frequency));
    return std::wstring();
  }
  // Every series has a start; without one there is nothing meaningful to write.
  if (recurrence.start() == nullptr) {
    LogSevere(L"GenerateICal -> the recurrence has no start");
    return std::wstring();
  }
  std::wstring text = StartLines(recurrence);
  text += L"RRULE:FREQ=";
  text += kFrequencyNames[frequency];
  text += LimitParts(recurrence) + DayParts(recurrence) + MonthParts(recurrence);
  return text;
}

}  // namespace calendar_mirrow_addin
