#pragma once

// Day arithmetic shared by the recurrence sources; not for other callers. A "day" is a
// count of days since 1601-01-01.

#include <cstdint>
#include <optional>

#include "sim/outlook/recurrence.h"

namespace calendar_mirrow_addin::sim {

// Remainder in [0, b) and the matching floor quotient, for b > 0.
int64_t Mod(int64_t a, int64_t b);
int64_t FloorDiv(int64_t a, int64_t b);

// The last day any series is expanded to (the never-ending end date).
int64_t LastExpandedDay();

int DayOfWeekOf(LocalMinutes minutes);  // 0 Sunday .. 6 Saturday

// Valid, and of a form and calendar whose dates can be computed here.
bool IsExpandable(const RecurrencePatternData& pattern);

// The first day on or after `from`, and not after `last`, that the pattern selects,
// ignoring its start date, end and exceptions. For an expandable pattern.
std::optional<int64_t> NextPatternDay(const RecurrencePatternData& pattern, int64_t from,
                                      int64_t last);

// The days of a series' occurrences in order, from its start date to its end (count, date,
// or the last expanded day), deleted and modified ones included. For an expandable pattern,
// which must outlive the cursor.
class InstanceCursor {
 public:
  explicit InstanceCursor(const RecurrencePatternData& pattern);
  std::optional<int64_t> Next();
  int64_t last() const { return last_; }

 private:
  const RecurrencePatternData& pattern_;
  int64_t next_;
  int64_t last_;
  uint64_t taken_ = 0;
};

}  // namespace calendar_mirrow_addin::sim
