#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "model/date_time.h"
#include "model/event.h"

namespace calendar_mirrow_addin {

// Note the order: MONTHLY is 1 and WEEKLY is 2.
enum Frequency : int32_t {
  kFrequencyDaily = 0,
  kFrequencyMonthly = 1,
  kFrequencyWeekly = 2,
  kFrequencyYearly = 3,
};

// Bits of Recurrence::days_of_week.
enum DayOfWeekBit : int32_t {
  kSunday = 1,
  kMonday = 2,
  kTuesday = 4,
  kWednesday = 8,
  kThursday = 16,
  kFriday = 32,
  kSaturday = 64,
};

// The neutral form of a repeating event: series start, length of one occurrence, the
// rule, where it ends, and the exception events (moved, changed or cancelled
// occurrences), which the record owns.
class Recurrence {
 public:
  Recurrence();
  virtual ~Recurrence();
  Recurrence(const Recurrence&) = delete;
  Recurrence& operator=(const Recurrence&) = delete;

  const std::wstring& text() const { return text_; }
  void set_text(std::wstring value) { text_ = std::move(value); }
  const DateTime* start() const { return start_.get(); }
  void set_start(std::unique_ptr<DateTime> value) { start_ = std::move(value); }
  int32_t duration() const { return duration_; }
  void set_duration(int32_t value) { duration_ = value; }
  Frequency frequency() const { return frequency_; }
  void set_frequency(Frequency value) { frequency_ = value; }
  const DateTime* until() const { return until_.get(); }
  void set_until(std::unique_ptr<DateTime> value) { until_ = std::move(value); }
  const std::wstring& tzid() const { return tzid_; }
  void set_tzid(std::wstring value) { tzid_ = std::move(value); }
  int32_t interval() const { return interval_; }
  void set_interval(int32_t value) { interval_ = value; }
  int32_t ordwk() const { return ordwk_; }
  void set_ordwk(int32_t value) { ordwk_ = value; }
  int32_t days_of_week() const { return days_of_week_; }
  void set_days_of_week(int32_t value) { days_of_week_ = value; }
  int32_t month_day() const { return month_day_; }
  void set_month_day(int32_t value) { month_day_ = value; }
  int32_t month() const { return month_; }
  void set_month(int32_t value) { month_ = value; }
  int32_t count() const { return count_; }
  void set_count(int32_t value) { count_ = value; }

  // A deep copy, exception events included.
  std::unique_ptr<Recurrence> Clone() const;

  const std::vector<std::unique_ptr<Event>>& exceptions() const { return exceptions_; }
  // The record takes ownership of the exception event.
  void AddException(std::unique_ptr<Event> exception);
  void ClearExceptions();
  // A copy of the list of (borrowed) exception pointers, for iteration while changing it.
  std::vector<Event*> ExceptionList() const;

 private:
  std::wstring text_ = L"Empty";
  std::unique_ptr<DateTime> start_;
  int32_t duration_ = 0;
  Frequency frequency_ = kFrequencyDaily;
  std::unique_ptr<DateTime> until_;
  std::vector<std::unique_ptr<Event>> exceptions_;
  std::wstring tzid_;
  int32_t interval_ = 1;
  int32_t ordwk_ = 0;
  int32_t days_of_week_ = -1;
  int32_t month_day_ = -1;
  int32_t month_ = -1;
  int32_t count_ = -1;
};

// Reads the supported iCalendar subset; none (after logging why) for anything else.
std::unique_ptr<Recurrence> ParseRecurrence(std::wstring_view text);
// The iCalendar text of a record; empty when the frequency is out of range.
std::wstring GenerateICal(const Recurrence& recurrence);
// Equal rules, times and exceptions; `text` and `tzid` are not compared. Null pointers
// are equal only to each other.
bool RecurrenceEquals(const Recurrence* a, const Recurrence* b);

// Parser pieces, exposed for their own tests.
std::wstring UnfoldICal(std::wstring_view text);
bool ParseByDay(std::wstring_view value, Recurrence& recurrence);
bool ParseDuration(std::wstring_view text, int32_t* seconds);
std::map<std::wstring, std::wstring> ParseRRuleParameters(std::wstring_view value);

}  // namespace calendar_mirrow_addin
