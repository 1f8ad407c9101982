#pragma once

// The recurrence of an appointment series as the store keeps it: the pattern as a value,
// its binary form (the PidLidAppointmentRecur property) and the dates of its occurrences.
// Every date and time here is in the series' own local time, counted in minutes since
// 1601-01-01T00:00; converting to and from other zones is the caller's business.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace calendar_mirrow_addin::sim {

using Bytes = std::vector<uint8_t>;  // as in property.h
using LocalMinutes = int64_t;

inline constexpr LocalMinutes kMinutesPerDay = 1440;
inline constexpr LocalMinutes kMinutesPerWeek = 7 * kMinutesPerDay;

enum class RecurFrequency : uint16_t {
  kDaily = 0x200A,
  kWeekly = 0x200B,
  kMonthly = 0x200C,
  kYearly = 0x200D,
};

enum class PatternType : uint16_t {
  kDay = 0x0000,
  kWeek = 0x0001,  // also the "every weekday" form of a daily series
  kMonth = 0x0002,
  kMonthNth = 0x0003,
  kMonthEnd = 0x0004,
  kHjMonth = 0x000A,  // the Hijri forms are read and written, never expanded
  kHjMonthNth = 0x000B,
  kHjMonthEnd = 0x000C,
};

enum class EndType : uint32_t {
  kAfterDate = 0x2021,
  kAfterCount = 0x2022,
  kNever = 0x2023,
  kNeverOld = 0xFFFFFFFF,  // what early versions wrote for a series without end
};

// Days of the week as bits: 1 Sunday, 2 Monday .. 64 Saturday.
inline constexpr uint32_t kWeekdayMask = 0x3E;

// Which fields of an exception differ from the series.
enum OverrideFlag : uint16_t {
  kOverrideSubject = 0x0001,
  kOverrideMeetingType = 0x0002,
  kOverrideReminderDelta = 0x0004,
  kOverrideReminder = 0x0008,
  kOverrideLocation = 0x0010,
  kOverrideBusyStatus = 0x0020,
  kOverrideAttachment = 0x0040,
  kOverrideSubType = 0x0080,
  kOverrideAppointmentColor = 0x0100,
  kOverrideExceptionalBody = 0x0200,  // flag only: the body lives on the exception item
};

inline constexpr uint16_t kRecurReaderVersion = 0x3004;
inline constexpr uint16_t kRecurWriterVersion = 0x3004;
inline constexpr uint32_t kRecurReaderVersion2 = 0x3006;
inline constexpr uint32_t kRecurWriterVersion2 = 0x3009;  // the first to carry ChangeHighlight
// The end date stored for a series that never ends: 4500-12-31T23:59, the last moment the
// calendar knows; occurrences are never computed past it.
inline constexpr uint32_t kNeverEndDate = 0x5AE980DF;
// The occurrence count stored for a series that never ends.
inline constexpr uint32_t kNeverEndOccurrenceCount = 10;

// One changed occurrence. Fields whose flag is not set in `override_flags` are not stored
// and keep their default here.
struct RecurrenceException {
  uint32_t start = 0;  // new start and end, local minutes
  uint32_t end = 0;
  uint32_t original_start = 0;  // the start the occurrence had in the series
  uint16_t override_flags = 0;
  std::string subject;   // 8-bit copy
  std::string location;  // 8-bit copy
  uint32_t meeting_type = 0;
  uint32_t reminder_delta = 0;  // minutes
  uint32_t reminder_set = 0;
  uint32_t busy_status = 0;
  uint32_t attachment = 0;
  uint32_t sub_type = 0;
  uint32_t appointment_color = 0;
  // From the extended record: the change highlight (written from version 0x3009 on) and
  // the full copies of subject and location (stored when either of their flags is set).
  uint32_t change_highlight = 0;
  std::wstring wide_subject;
  std::wstring wide_location;

  bool operator==(const RecurrenceException&) const = default;
};

// The AppointmentRecurrencePattern record, field for field.
struct RecurrencePatternData {
  uint16_t reader_version = kRecurReaderVersion;
  uint16_t writer_version = kRecurWriterVersion;
  RecurFrequency frequency = RecurFrequency::kDaily;
  PatternType pattern_type = PatternType::kDay;
  uint16_t calendar_type = 0;     // 0 default (Gregorian)
  uint32_t first_date_time = 0;   // minutes; see ComputeFirstDateTime
  uint32_t period = 0;            // minutes (day), weeks (week) or months (month forms)
  uint32_t sliding_flag = 0;      // tasks only
  uint32_t day_of_week_mask = 0;  // week and month-nth forms
  uint32_t day_of_month = 0;      // month forms
  uint32_t nth = 0;               // month-nth: 1-4, 5 the last
  EndType end_type = EndType::kNever;
  uint32_t occurrence_count = kNeverEndOccurrenceCount;
  uint32_t first_day_of_week = 0;  // 0 Sunday .. 6 Saturday
  // Original dates (midnight) of deleted and of modified occurrences, earliest first.
  std::vector<uint32_t> deleted_instance_dates;
  // New dates (midnight) of the modified occurrences, earliest first.
  std::vector<uint32_t> modified_instance_dates;
  uint32_t start_date = 0;            // midnight of the first occurrence
  uint32_t end_date = kNeverEndDate;  // midnight of the last occurrence
  uint32_t reader_version2 = kRecurReaderVersion2;
  uint32_t writer_version2 = kRecurWriterVersion2;
  uint32_t start_time_offset = 0;  // minutes after midnight each occurrence starts
  uint32_t end_time_offset = 0;    // and ends (past 1440 for occurrences over midnight)
  std::vector<RecurrenceException> exceptions;  // one per modified date, in their order

  bool operator==(const RecurrencePatternData&) const = default;
};

// Whether a pattern is whole and consistent enough to be written or expanded: known
// versions, a period in range for its form, a day mask where one is needed, a day of
// month 1-31, nth 1-5, first day of week 0-6, one exception per modified date.
bool IsValidPattern(const RecurrencePatternData& pattern);

// The binary form, little-endian; empty when the pattern is not valid or a text is too
// long for its 16-bit length.
Bytes EncodeAppointmentRecur(const RecurrencePatternData& pattern);

// Reads the binary form. None for anything truncated, inconsistent or out of range, and
// for bytes left over at the end.
std::optional<RecurrencePatternData> DecodeAppointmentRecur(std::span<const uint8_t> data);

// The binary form with its end-type field replaced by `end_type` (any value); none when the
// data cannot be read.
std::optional<Bytes> WithEndType(std::span<const uint8_t> data, uint32_t end_type);

// One occurrence of a series: where the pattern puts it and where it actually is (they
// differ for a modified occurrence, which also names its exception record).
struct Occurrence {
  LocalMinutes original_start = 0;
  LocalMinutes start = 0;
  LocalMinutes end = 0;
  int exception = -1;  // index into the pattern's exceptions, -1 for a plain occurrence
  bool operator==(const Occurrence&) const = default;
};

// The occurrences in pattern order, deleted ones left out, at most `max_count` of them.
// None when the pattern is not valid or uses a calendar whose months are not Gregorian.
std::optional<std::vector<Occurrence>> Occurrences(const RecurrencePatternData& pattern,
                                                   size_t max_count);

// Whether an occurrence of the series starts at `local_start` (a modified one at its new
// start, never at its original one; a deleted one nowhere).
bool IsOccurrence(const RecurrencePatternData& pattern, LocalMinutes local_start);

// The FirstDateTime of a pattern from its form, period, first day of week and start date.
uint32_t ComputeFirstDateTime(const RecurrencePatternData& pattern);

// Local minutes of a calendar date and time, and back; none out of 1601-01-01..4500-12-31.
struct LocalDate {
  int year = 0;
  int month = 0;
  int day = 0;
  bool operator==(const LocalDate&) const = default;
};
std::optional<LocalMinutes> ToLocalMinutes(const LocalDate& date, int minute_of_day = 0);
LocalDate ToLocalDate(LocalMinutes minutes);  // for values in range

// The object model's view of a pattern (RecurrencePattern's properties).
enum class OlRecurrenceType {
  kDaily = 0,
  kWeekly = 1,
  kMonthly = 2,
  kMonthNth = 3,
  kYearly = 5,
  kYearNth = 6
};
struct RecurrenceView {
  OlRecurrenceType type = OlRecurrenceType::kDaily;
  uint32_t interval = 1;          // days, weeks, months or years
  uint32_t day_of_week_mask = 0;  // weekly, month-nth, year-nth; daily: 0 or every weekday
  uint32_t day_of_month = 0;      // monthly and yearly; 0 takes the start date's day
  uint32_t month_of_year = 0;     // yearly and year-nth; 0 takes the start date's month
  uint32_t instance = 0;          // month-nth and year-nth: 1-5
  uint32_t first_day_of_week = 0;
  LocalMinutes pattern_start_date = 0;  // a date; the time of day is ignored
  enum class End { kNever, kAfterOccurrences, kOnDate } end = End::kNever;
  uint32_t occurrences = 0;           // kAfterOccurrences (read back for every kind)
  LocalMinutes pattern_end_date = 0;  // kOnDate (read back for every kind)
  uint32_t start_time = 0;            // minutes after midnight
  uint32_t duration = 0;              // minutes
};

// Fills the stored form as the calendar does: yearly forms become monthly ones with a
// period of 12 months per year, the start date moves to the first occurrence, the end
// date to the last one (counted or on/before the end date) and the count follows. None
// for values out of range and for a series without any occurrence.
std::optional<RecurrencePatternData> PatternFromView(const RecurrenceView& view);

// The object model's view of a stored pattern.
RecurrenceView ViewFromPattern(const RecurrencePatternData& pattern);

}  // namespace calendar_mirrow_addin::sim
