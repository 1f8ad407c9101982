// The dates of a recurrence: which days the pattern selects, and the occurrences of a series
// with its deleted and modified ones applied.
//
// Days are counted from 1601-01-01 (a Monday). A pattern selects days by congruence with
// its FirstDateTime: every Period days (daily), every Period weeks beginning on the first
// day of the week (weekly), every Period months (monthly and yearly forms), starting from
// its StartDate.

#include "sim/outlook/recurrence_dates.h"

#include <algorithm>

namespace calendar_mirrow_addin::sim {
namespace {

// Days from 1970-01-01 of a proleptic Gregorian date.
constexpr int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

constexpr int64_t kDay1601 = DaysFromCivil(1601, 1, 1);
constexpr int64_t kLastDay = DaysFromCivil(4500, 12, 31) - kDay1601;

bool IsLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysIn(int64_t year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

LocalDate CivilFromDay(int64_t day) {
  const int64_t z = day + kDay1601 + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0)), m, d};
}

int64_t DayOf(int64_t year, int month, int day) {
  return DaysFromCivil(year, month, day) - kDay1601;
}

int DayOfWeek(int64_t day) { return static_cast<int>(Mod(day + 1, 7)); }  // 0 Sunday

// Months since January 1601.
int64_t MonthIndex(int64_t day) {
  const LocalDate date = CivilFromDay(day);
  return int64_t{date.year - 1601} * 12 + date.month - 1;
}

// The day a month form selects in the month `month` (counted from January 1601).
int64_t DayInMonth(const RecurrencePatternData& p, int64_t month) {
  const int64_t year = 1601 + month / 12;
  const int mon = static_cast<int>(month % 12) + 1;
  const int last = DaysIn(year, mon);
  switch (p.pattern_type) {
    case PatternType::kMonthEnd:
      return DayOf(year, mon, last);
    case PatternType::kMonthNth: {
      // The nth of the days the mask names, counting every such day of the month in turn;
      // 5 is the last of them even in a month that has five.
      const int64_t first = DayOf(year, mon, 1);
      int64_t found = first;
      uint32_t seen = 0;
      for (int64_t day = first; day < first + last; ++day) {
        if ((p.day_of_week_mask & (1u << DayOfWeek(day))) == 0) continue;
        found = day;
        if (++seen == p.nth && p.nth < 5) break;
      }
      return found;
    }
    default:
      // A day past the end of a shorter month falls on its last day (31 -> 30, 29 February
      // -> 28 February outside leap years).
      return DayOf(year, mon, std::min<int>(static_cast<int>(p.day_of_month), last));
  }
}

// Whether the months of this calendar are the Gregorian ones (era-based calendars count
// years differently but share the months); the lunar calendars are not expanded.
bool GregorianMonths(uint16_t calendar_type) {
  switch (calendar_type) {
    case 0:   // default
    case 1:   // Gregorian, localized
    case 2:   // Gregorian, U.S.
    case 3:   // Japanese era
    case 4:   // Taiwan
    case 5:   // Korean Tangun era
    case 7:   // Thai
    case 9:   // Gregorian Middle East French
    case 10:  // Gregorian Arabic
    case 11:  // Gregorian transliterated English
    case 12:  // Gregorian transliterated French
      return true;
    default:
      return false;
  }
}

}  // namespace

int64_t Mod(int64_t a, int64_t b) {
  const int64_t r = a % b;
  return r < 0 ? r + b : r;
}

int64_t FloorDiv(int64_t a, int64_t b) { return (a - Mod(a, b)) / b; }

int64_t LastExpandedDay() { return kNeverEndDate / kMinutesPerDay; }

bool IsExpandable(const RecurrencePatternData& p) {
  if (!IsValidPattern(p)) return false;
  switch (p.pattern_type) {
    case PatternType::kDay:
    case PatternType::kWeek:
      return true;
    case PatternType::kMonth:
    case PatternType::kMonthNth:
    case PatternType::kMonthEnd:
      return GregorianMonths(p.calendar_type);
    default:
      return false;
  }
}

std::optional<int64_t> NextPatternDay(const RecurrencePatternData& p, int64_t from, int64_t last) {
  const int64_t anchor = p.first_date_time / kMinutesPerDay;
  const int64_t period = p.period;
  switch (p.pattern_type) {
    case PatternType::kDay: {
      const int64_t day = from + Mod(anchor - from, period / kMinutesPerDay);
      if (day <= last) return day;
      return std::nullopt;
    }
    case PatternType::kWeek: {
      // Weeks begin on the first day of the week; every period-th one counted from the
      // anchor week is a week of the series.
      int64_t week = from - Mod(DayOfWeek(from) - static_cast<int>(p.first_day_of_week), 7);
      const int64_t behind = Mod(FloorDiv(week - anchor, 7), period);
      if (behind != 0) {
        week += (period - behind) * 7;
        from = week;
      }
      for (; week <= last; week += 7 * period) {
        for (int64_t day = std::max(week, from); day < week + 7 && day <= last; ++day) {
          if ((p.day_of_week_mask & (1u << DayOfWeek(day))) != 0) return day;
        }
      }
      return std::nullopt;
    }
    default: {
      int64_t month = MonthIndex(from);
      const int64_t behind = Mod(month - MonthIndex(anchor), period);
      if (behind != 0) month += period - behind;
      for (;; month += period) {
        const int64_t day = DayInMonth(p, month);
        if (day > last) return std::nullopt;
        if (day >= from) return day;
      }
    }
  }
}

InstanceCursor::InstanceCursor(const RecurrencePatternData& pattern)
    : pattern_(pattern), next_(pattern.start_date / kMinutesPerDay), last_(LastExpandedDay()) {
  if (pattern.end_type == EndType::kAfterDate) {
    last_ = std::min<int64_t>(last_, pattern.end_date / kMinutesPerDay);
  }
}

std::optional<int64_t> InstanceCursor::Next() {
  if (pattern_.end_type == EndType::kAfterCount && taken_ >= pattern_.occurrence_count) {
    return std::nullopt;
  }
  const auto day = NextPatternDay(pattern_, next_, last_);
  if (!day) {
    next_ = last_ + 1;
    return std::nullopt;
  }
  next_ = *day + 1;
  ++taken_;
  return day;
}

uint32_t ComputeFirstDateTime(const RecurrencePatternData& p) {
  const int64_t start_day = p.start_date / kMinutesPerDay;
  if (p.period == 0) return 0;
  switch (p.pattern_type) {
    case PatternType::kDay:
      return p.start_date % p.period;
    case PatternType::kWeek: {
      const int64_t week =
          start_day - Mod(DayOfWeek(start_day) - static_cast<int>(p.first_day_of_week), 7);
      return static_cast<uint32_t>(Mod(week * kMinutesPerDay, int64_t{p.period} * kMinutesPerWeek));
    }
    default: {
      const int64_t month = MonthIndex(start_day) % p.period;
      return static_cast<uint32_t>(DayOf(1601 + month / 12, static_cast<int>(month % 12) + 1, 1) *
                                   kMinutesPerDay);
    }
  }
}

std::optional<LocalMinutes> ToLocalMinutes(const LocalDate& date, int minute_of_day) {
  if (date.year < 1601 || date.year > 4500 || date.month < 1 || date.month > 12 || date.day < 1 ||
      date.day > DaysIn(date.year, date.month) || minute_of_day < 0 ||
      minute_of_day >= kMinutesPerDay) {
    return std::nullopt;
  }
  return DayOf(date.year, date.month, date.day) * kMinutesPerDay + minute_of_day;
}

LocalDate ToLocalDate(LocalMinutes minutes) {
  return CivilFromDay(std::clamp<int64_t>(FloorDiv(minutes, kMinutesPerDay), 0, kLastDay));
}

int DayOfWeekOf(LocalMinutes minutes) { return DayOfWeek(FloorDiv(minutes, kMinutesPerDay)); }

std::optional<std::vector<Occurrence>> Occurrences(const RecurrencePatternData& p,
                                                   size_t max_count) {
  if (!IsExpandable(p)) return std::nullopt;
  std::vector<int64_t> deleted;
  deleted.reserve(p.deleted_instance_dates.size());
  for (uint32_t date : p.deleted_instance_dates) deleted.push_back(date / kMinutesPerDay);
  std::sort(deleted.begin(), deleted.end());
  std::vector<std::pair<int64_t, int>> modified;  // original day, exception
  modified.reserve(p.exceptions.size());
  for (size_t i = 0; i < p.exceptions.size(); ++i) {
    modified.emplace_back(p.exceptions[i].original_start / kMinutesPerDay, static_cast<int>(i));
  }
  std::sort(modified.begin(), modified.end());

  std::vector<Occurrence> out;
  InstanceCursor cursor(p);
  while (out.size() < max_count) {
    const auto day = cursor.Next();
    if (!day) break;
    const LocalMinutes original = *day * kMinutesPerDay + p.start_time_offset;
    const auto x = std::lower_bound(modified.begin(), modified.end(), std::pair{*day, -1});
    if (x != modified.end() && x->first == *day) {
      const RecurrenceException& e = p.exceptions[x->second];
      out.push_back({original, e.start, e.end, x->second});
    } else if (!std::binary_search(deleted.begin(), deleted.end(), *day)) {
      out.push_back({original, original, *day * kMinutesPerDay + p.end_time_offset, -1});
    }
  }
  return out;
}

bool IsOccurrence(const RecurrencePatternData& p, LocalMinutes local_start) {
  if (!IsExpandable(p)) return false;
  const int64_t day = FloorDiv(local_start, kMinutesPerDay);
  for (const RecurrenceException& x : p.exceptions) {
    if (x.start == local_start) return true;
  }
  if (local_start - day * kMinutesPerDay != p.start_time_offset) return false;
  for (const RecurrenceException& x : p.exceptions) {
    if (x.original_start / kMinutesPerDay == day) return false;  // moved away
  }
  for (uint32_t date : p.deleted_instance_dates) {
    if (date / kMinutesPerDay == day) return false;
  }
  InstanceCursor cursor(p);
  if (day < p.start_date / kMinutesPerDay || day > cursor.last()) return false;
  if (p.end_type != EndType::kAfterCount) return NextPatternDay(p, day, cursor.last()) == day;
  // A counted series ends after its count: walk it up to the day asked about.
  for (auto next = cursor.Next(); next && *next <= day; next = cursor.Next()) {
    if (*next == day) return true;
  }
  return false;
}

}  // namespace calendar_mirrow_addin::sim
