// Between the object model's view of a recurrence (RecurrencePattern) and its stored form.

#include "sim/outlook/recurrence.h"

#include "sim/outlook/recurrence_dates.h"

namespace calendar_mirrow_addin::sim {
namespace {

// The calendar's limits on the interval of each form, and on a counted series.
constexpr uint32_t kMaxDays = 999;
constexpr uint32_t kMaxWeeksOrMonths = 99;
constexpr uint32_t kMaxOccurrences = 999;

bool InRange(uint32_t value, uint32_t low, uint32_t high) { return value >= low && value <= high; }

}  // namespace

std::optional<RecurrencePatternData> PatternFromView(const RecurrenceView& v) {
  const int64_t first_day = FloorDiv(v.pattern_start_date, kMinutesPerDay);
  if (first_day < 0 || first_day > LastExpandedDay() || v.first_day_of_week > 6 ||
      v.start_time >= kMinutesPerDay || v.duration > 0xFFFFFFFFu - v.start_time) {
    return std::nullopt;
  }
  const LocalDate start = ToLocalDate(v.pattern_start_date);
  RecurrencePatternData p;
  p.first_day_of_week = v.first_day_of_week;
  p.start_time_offset = v.start_time;
  p.end_time_offset = v.start_time + v.duration;
  const uint32_t start_mask = 1u << DayOfWeekOf(v.pattern_start_date);
  const uint32_t month_of_year = v.month_of_year != 0 ? v.month_of_year : start.month;
  const bool yearly = v.type == OlRecurrenceType::kYearly || v.type == OlRecurrenceType::kYearNth;
  switch (v.type) {
    case OlRecurrenceType::kDaily:
      if (v.day_of_week_mask == kWeekdayMask) {
        // "Every weekday" is stored as a daily series of the week form.
        p.pattern_type = PatternType::kWeek;
        p.period = 1;
        p.day_of_week_mask = kWeekdayMask;
      } else if (v.day_of_week_mask == 0 && InRange(v.interval, 1, kMaxDays)) {
        p.period = v.interval * kMinutesPerDay;
      } else {
        return std::nullopt;
      }
      break;
    case OlRecurrenceType::kWeekly:
      p.frequency = RecurFrequency::kWeekly;
      p.pattern_type = PatternType::kWeek;
      p.period = v.interval;
      p.day_of_week_mask = v.day_of_week_mask != 0 ? v.day_of_week_mask : start_mask;
      break;
    case OlRecurrenceType::kMonthly:
    case OlRecurrenceType::kYearly:
      p.pattern_type = PatternType::kMonth;
      p.day_of_month = v.day_of_month != 0 ? v.day_of_month : start.day;
      break;
    case OlRecurrenceType::kMonthNth:
    case OlRecurrenceType::kYearNth:
      p.pattern_type = PatternType::kMonthNth;
      p.day_of_week_mask = v.day_of_week_mask;
      p.nth = v.instance;
      break;
    default:
      return std::nullopt;
  }
  if (p.pattern_type == PatternType::kMonth || p.pattern_type == PatternType::kMonthNth) {
    if (!InRange(v.interval, 1, kMaxWeeksOrMonths) || !InRange(month_of_year, 1, 12)) {
      return std::nullopt;
    }
    // A yearly series is a monthly one of twelve months a year.
    p.frequency = yearly ? RecurFrequency::kYearly : RecurFrequency::kMonthly;
    p.period = yearly ? 12 * v.interval : v.interval;
  }
  if (p.day_of_week_mask > 0x7F || !IsValidPattern(p)) return std::nullopt;

  // The series starts on the first day on or after the pattern's start date that the form
  // selects (in the month of the year for yearly series); its weeks or months count from
  // there.
  RecurrencePatternData probe = p;
  if (p.pattern_type == PatternType::kDay) {
    probe.period = kMinutesPerDay;
  } else if (yearly) {
    probe.period = 12;
    probe.first_date_time = *ToLocalMinutes({1601, static_cast<int>(month_of_year), 1});
  } else {
    probe.period = 1;
  }
  const auto first = NextPatternDay(probe, first_day, LastExpandedDay());
  if (!first) return std::nullopt;
  p.start_date = static_cast<uint32_t>(*first * kMinutesPerDay);
  p.first_date_time = ComputeFirstDateTime(p);

  // The end date is that of the last occurrence, and the count follows a dated end.
  switch (v.end) {
    case RecurrenceView::End::kNever:
      p.end_type = EndType::kNever;
      p.occurrence_count = kNeverEndOccurrenceCount;
      p.end_date = kNeverEndDate;
      return p;
    case RecurrenceView::End::kAfterOccurrences:
      if (!InRange(v.occurrences, 1, kMaxOccurrences)) return std::nullopt;
      p.end_type = EndType::kAfterCount;
      p.occurrence_count = v.occurrences;
      break;
    case RecurrenceView::End::kOnDate: {
      const int64_t end_day = FloorDiv(v.pattern_end_date, kMinutesPerDay);
      if (end_day < *first || end_day > LastExpandedDay()) return std::nullopt;
      p.end_type = EndType::kAfterDate;
      p.end_date = static_cast<uint32_t>(end_day * kMinutesPerDay);
      break;
    }
  }
  InstanceCursor cursor(p);
  uint32_t count = 0;
  int64_t last = *first;
  for (auto day = cursor.Next(); day; day = cursor.Next()) {
    last = *day;
    ++count;
  }
  // A counted series that would run past the calendar's last day cannot be stored.
  if (p.end_type == EndType::kAfterCount && count != p.occurrence_count) return std::nullopt;
  p.occurrence_count = count;
  p.end_date = static_cast<uint32_t>(last * kMinutesPerDay);
  return p;
}

RecurrenceView ViewFromPattern(const RecurrencePatternData& p) {
  RecurrenceView v;
  const bool yearly = p.frequency == RecurFrequency::kYearly;
  v.interval = p.period;
  switch (p.pattern_type) {
    case PatternType::kDay:
      v.interval = p.period / kMinutesPerDay;
      break;
    case PatternType::kWeek:
      v.type = p.frequency == RecurFrequency::kDaily ? OlRecurrenceType::kDaily
                                                     : OlRecurrenceType::kWeekly;
      v.day_of_week_mask = p.day_of_week_mask;
      break;
    case PatternType::kMonthNth:
    case PatternType::kHjMonthNth:
      v.type = yearly ? OlRecurrenceType::kYearNth : OlRecurrenceType::kMonthNth;
      v.day_of_week_mask = p.day_of_week_mask;
      v.instance = p.nth;
      break;
    case PatternType::kMonthEnd:
    case PatternType::kHjMonthEnd:
      v.type = yearly ? OlRecurrenceType::kYearly : OlRecurrenceType::kMonthly;
      v.day_of_month = 31;
      break;
    default:
      v.type = yearly ? OlRecurrenceType::kYearly : OlRecurrenceType::kMonthly;
      v.day_of_month = p.day_of_month;
  }
  if (yearly) {
    v.interval = p.period >= 12 ? p.period / 12 : 1;
    v.month_of_year = static_cast<uint32_t>(ToLocalDate(p.start_date).month);
  }
  v.first_day_of_week = p.first_day_of_week;
  v.pattern_start_date = p.start_date;
  v.end = p.end_type == EndType::kAfterDate    ? RecurrenceView::End::kOnDate
          : p.end_type == EndType::kAfterCount ? RecurrenceView::End::kAfterOccurrences
                                               : RecurrenceView::End::kNever;
  v.occurrences = p.occurrence_count;
  v.pattern_end_date = p.end_date;
  v.start_time = p.start_time_offset;
  v.duration =
      p.end_time_offset >= p.start_time_offset ? p.end_time_offset - p.start_time_offset : 0;
  return v;
}

}  // namespace calendar_mirrow_addin::sim
