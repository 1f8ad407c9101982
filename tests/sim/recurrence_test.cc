// The recurrence of a series: its binary form, its occurrences, and the object model's view.

#include "sim/outlook/recurrence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace calendar_mirrow_addin::sim {
namespace {

// Published sample values of the property. Every Monday, Thursday and Friday from
// 2007-03-26, 10:00-10:30, 12 times:
constexpr std::string_view kWeekly =
    "043004300B2001000000C0210000010000000000000032000000222000000C000000000000000000000000000000"
    "8020BC0C20ADBC0C0630000009300000580200007602000000000000000000000000";
// The same, with 2007-04-16 moved to 11:00-11:30 under a new subject and location:
constexpr std::string_view kWeeklyModified =
    "043004300B2001000000C0210000010000000000000032000000222000000C0000000000000001000000A096BC0C"
    "01000000A096BC0C8020BC0C20ADBC0C0630000009300000580200007602000001003499BC0C5299BC0CF898BC0C"
    "11002200210053696D706C6520526563757272656E6365207769746820657863657074696F6E73080007003334"
    "2F34313431000000000400000000000000000000003499BC0C5299BC0CF898BC0C2100530069006D0070006C00"
    "6500200052006500630075007200720065006E006300650020007700690074006800200065007800630065007000"
    "740069006F006E0073000700330034002F0034003100340031000000000000000000";
// Every 3 days from 2011-04-07 to 2011-05-04, 08:00-08:30, without 04-19 and 04-22:
constexpr std::string_view kDailyDeleted =
    "043004300A2000000000A0050000E010000000000000212000000A0000000000000002000000A0C1DC0C80D2DC0C"
    "00000000207EDC0C0016DD0C0630000009300000E0010000FE01000000000000000000000000";
// Yearly in the Hebrew calendar, never ending, one occurrence tentative with a reminder:
constexpr std::string_view kHebrewYearly =
    "043004300D200200080080750A000C0000000000000003000000232000000A000000000000000100000020"
    "7EDC0C01000000207EDC0C6074C40CDF80E95A0630000009300000E0010000FE01000001000080DC0C1E80DC0C"
    "0080DC0C24023C000000010000000000000004000000000000000000000000000000";

Bytes Hex(std::string_view hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

LocalMinutes At(int year, int month, int day, int minute = 0) {
  return *ToLocalMinutes({year, month, day}, minute);
}

RecurrencePatternData Decoded(std::string_view hex) {
  const auto pattern = DecodeAppointmentRecur(Hex(hex));
  EXPECT_TRUE(pattern.has_value());
  return pattern.value_or(RecurrencePatternData{});
}

TEST(RecurrenceBlobTest, PublishedSamplesDecodeAndEncodeAgain) {
  struct Case {
    std::string_view hex;
    RecurFrequency frequency;
    PatternType type;
    uint32_t period;
    EndType end;
    uint32_t count;
    LocalMinutes start_date;
    size_t deleted;
    size_t exceptions;
  };
  const Case cases[] = {
      {kWeekly, RecurFrequency::kWeekly, PatternType::kWeek, 1, EndType::kAfterCount, 12,
       At(2007, 3, 26), 0, 0},
      {kWeeklyModified, RecurFrequency::kWeekly, PatternType::kWeek, 1, EndType::kAfterCount, 12,
       At(2007, 3, 26), 1, 1},
      {kDailyDeleted, RecurFrequency::kDaily, PatternType::kDay, 3 * 1440, EndType::kAfterDate, 10,
       At(2011, 4, 7), 2, 0},
      {kHebrewYearly, RecurFrequency::kYearly, PatternType::kMonth, 12, EndType::kNever, 10,
       At(2008, 4, 8), 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hex.substr(0, 40));
    const RecurrencePatternData p = Decoded(c.hex);
    EXPECT_EQ(p.frequency, c.frequency);
    EXPECT_EQ(p.pattern_type, c.type);
    EXPECT_EQ(p.period, c.period);
    EXPECT_EQ(p.end_type, c.end);
    EXPECT_EQ(p.occurrence_count, c.count);
    EXPECT_EQ(p.start_date, c.start_date);
    EXPECT_EQ(p.deleted_instance_dates.size(), c.deleted);
    EXPECT_EQ(p.exceptions.size(), c.exceptions);
    EXPECT_EQ(p.writer_version2, 0x3009u);
    Bytes written = Hex(c.hex);
    if (c.hex == kHebrewYearly) written.resize(written.size() + 4);  // its missing last size
    EXPECT_EQ(EncodeAppointmentRecur(p), written);
  }
  const RecurrenceException moved = Decoded(kWeeklyModified).exceptions.at(0);
  EXPECT_EQ(moved.start, At(2007, 4, 16, 660));
  EXPECT_EQ(moved.original_start, At(2007, 4, 16, 600));
  EXPECT_EQ(moved.subject, "Simple Recurrence with exceptions");
  EXPECT_EQ(moved.location, "34/4141");
  EXPECT_EQ(moved.wide_subject, L"Simple Recurrence with exceptions");
  EXPECT_EQ(moved.wide_location, L"34/4141");
  const RecurrenceException tentative = Decoded(kHebrewYearly).exceptions.at(0);
  EXPECT_EQ(tentative.override_flags,
            kOverrideReminderDelta | kOverrideBusyStatus | kOverrideExceptionalBody);
  EXPECT_EQ(tentative.reminder_delta, 60u);
  EXPECT_EQ(tentative.busy_status, 1u);
}

TEST(RecurrenceBlobTest, HostileInputIsRefused) {
  for (std::string_view hex : {kWeekly, kWeeklyModified, kDailyDeleted, kHebrewYearly}) {
    // Every cut is refused but the one before the last reserved size, which may be missing.
    const Bytes whole = Hex(hex);
    const auto decoded = DecodeAppointmentRecur(whole);
    for (size_t length = 0; length < whole.size(); ++length) {
      const auto cut = DecodeAppointmentRecur(std::span(whole.data(), length));
      if (length + 4 == whole.size() && hex != kHebrewYearly) {
        EXPECT_EQ(cut, decoded);
      } else {
        EXPECT_FALSE(cut) << length;
      }
    }
    Bytes longer = whole;
    longer.push_back(0);
    EXPECT_FALSE(DecodeAppointmentRecur(longer));
  }
  struct Patch {
    std::string_view hex;
    size_t offset;
    Bytes bytes;
  };
  const Patch patches[] = {
      {kWeekly, 38, {0x00, 0x00, 0x00, 0x40}},          // a billion deleted dates
      {kWeeklyModified, 46, {0xFF, 0xFF, 0xFF, 0xFF}},  // modified dates past the end
      {kWeeklyModified, 78, {0x02, 0x00}},              // exceptions unlike modified dates
      {kWeeklyModified, 94, {0xFF, 0xFF, 0xFE, 0xFF}},  // a subject past the end
      {kWeeklyModified, 94, {0x22, 0x00, 0x22, 0x00}},  // inconsistent subject lengths
      {kWeekly, 4, {0x0E, 0x20}},                       // unknown frequency
      {kWeekly, 6, {0x05, 0x00}},                       // unknown pattern type
      {kWeekly, 26, {0x24, 0x20}},                      // unknown end type
      {kWeekly, 22, {0x00, 0x00, 0x00, 0x00}},          // no day of the week
      {kDailyDeleted, 14, {0x00, 0x00, 0x00, 0x00}},    // period 0
  };
  for (const Patch& patch : patches) {
    Bytes data = Hex(patch.hex);
    std::copy(patch.bytes.begin(), patch.bytes.end(), data.begin() + patch.offset);
    EXPECT_FALSE(DecodeAppointmentRecur(data)) << patch.offset;
  }
  // Text too long for its length field is not written.
  RecurrencePatternData p = Decoded(kWeeklyModified);
  p.exceptions[0].subject.assign(70000, 'x');
  EXPECT_TRUE(EncodeAppointmentRecur(p).empty());
}

std::vector<LocalDate> Dates(const std::vector<Occurrence>& occurrences) {
  std::vector<LocalDate> dates;
  for (const Occurrence& o : occurrences) dates.push_back(ToLocalDate(o.start));
  return dates;
}

TEST(RecurrenceDatesTest, CornersFollowTheCalendar) {
  using T = OlRecurrenceType;
  struct Case {
    const char* name;
    RecurrenceView view;
    std::vector<LocalDate> expected;
  };
  const auto view = [](T type, LocalMinutes start, uint32_t interval, uint32_t mask, uint32_t day,
                       uint32_t month, uint32_t instance, uint32_t first_dow = 0) {
    RecurrenceView v;
    v.type = type;
    v.pattern_start_date = start;
    v.interval = interval;
    v.day_of_week_mask = mask;
    v.day_of_month = day;
    v.month_of_year = month;
    v.instance = instance;
    v.first_day_of_week = first_dow;
    return v;
  };
  const Case cases[] = {
      {"day 31 on the last day of shorter months",
       view(T::kMonthly, At(2024, 1, 31), 1, 0, 31, 0, 0),
       {{2024, 1, 31}, {2024, 2, 29}, {2024, 3, 31}, {2024, 4, 30}, {2024, 5, 31}}},
      {"instance 5 is the last Friday",
       view(T::kMonthNth, At(2024, 1, 1), 1, 0x20, 0, 0, 5),
       {{2024, 1, 26}, {2024, 2, 23}, {2024, 3, 29}, {2024, 4, 26}, {2024, 5, 31}}},
      {"last weekday",
       view(T::kMonthNth, At(2024, 3, 1), 1, kWeekdayMask, 0, 0, 5),
       {{2024, 3, 29}, {2024, 4, 30}, {2024, 5, 31}, {2024, 6, 28}}},
      {"second Tuesday every 2 months, counted from the first one",
       view(T::kMonthNth, At(2024, 1, 20), 2, 0x04, 0, 0, 2),
       {{2024, 2, 13}, {2024, 4, 9}, {2024, 6, 11}}},
      {"29 February",
       view(T::kYearly, At(2024, 2, 29), 1, 0, 29, 2, 0),
       {{2024, 2, 29}, {2025, 2, 28}, {2026, 2, 28}, {2027, 2, 28}, {2028, 2, 29}}},
      {"yearly, its month already past",
       view(T::kYearly, At(2024, 6, 1), 1, 0, 15, 3, 0),
       {{2025, 3, 15}, {2026, 3, 15}}},
      {"fourth Thursday of November",
       view(T::kYearNth, At(2024, 1, 1), 1, 0x10, 0, 11, 4),
       {{2024, 11, 28}, {2025, 11, 27}, {2026, 11, 26}}},
      {"every 2 weeks, weeks from Sunday",
       view(T::kWeekly, At(2024, 1, 1), 2, 0x03, 0, 0, 0, 0),
       {{2024, 1, 1}, {2024, 1, 14}, {2024, 1, 15}, {2024, 1, 28}, {2024, 1, 29}}},
      {"every 2 weeks, weeks from Monday",
       view(T::kWeekly, At(2024, 1, 1), 2, 0x03, 0, 0, 0, 1),
       {{2024, 1, 1}, {2024, 1, 7}, {2024, 1, 15}, {2024, 1, 21}, {2024, 1, 29}}},
      {"every weekday, over the weekend",
       view(T::kDaily, At(2024, 1, 5), 1, kWeekdayMask, 0, 0, 0),
       {{2024, 1, 5}, {2024, 1, 8}, {2024, 1, 9}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto pattern = PatternFromView(c.view);
    ASSERT_TRUE(pattern.has_value());
    EXPECT_EQ(Dates(*Occurrences(*pattern, c.expected.size())), c.expected);
    EXPECT_EQ(PatternFromView(ViewFromPattern(*pattern)), pattern);
  }
}

TEST(RecurrenceDatesTest, EndsDeletionsAndMoves) {
  const RecurrencePatternData counted = Decoded(kWeeklyModified);
  const auto all = *Occurrences(counted, 100);
  ASSERT_EQ(all.size(), 12u);
  EXPECT_EQ(all.back().start, At(2007, 4, 20, 600));
  EXPECT_EQ(all[9],
            (Occurrence{At(2007, 4, 16, 600), At(2007, 4, 16, 660), At(2007, 4, 16, 690), 0}));

  const auto dated = *Occurrences(Decoded(kDailyDeleted), 100);
  std::vector<int> days;  // month * 100 + day
  for (const LocalDate& date : Dates(dated)) days.push_back(date.month * 100 + date.day);
  EXPECT_EQ(days, (std::vector<int>{407, 410, 413, 416, 425, 428, 501, 504}));
  EXPECT_EQ(dated[0].end, At(2011, 4, 7, 510));

  RecurrencePatternData never = counted;
  for (EndType end : {EndType::kNever, EndType::kNeverOld}) {
    never.end_type = end;
    EXPECT_EQ(Occurrences(never, 500)->size(), 500u);
  }
  Bytes old_never = Hex(kWeekly);
  std::fill_n(old_never.begin() + 26, 4, 0xFF);
  EXPECT_EQ(DecodeAppointmentRecur(old_never)->end_type, EndType::kNeverOld);
  EXPECT_FALSE(Occurrences(Decoded(kHebrewYearly), 5));  // lunar months are not expanded

  struct Probe {
    LocalMinutes start;
    bool expected;
  };
  const Probe probes[] = {
      {At(2007, 3, 26, 600), true},  {At(2007, 3, 27, 600), false}, {At(2007, 3, 26, 630), false},
      {At(2007, 4, 16, 600), false}, {At(2007, 4, 16, 660), true},  {At(2007, 4, 20, 600), true},
      {At(2007, 4, 23, 600), false}, {At(2007, 3, 19, 600), false},
  };
  for (const Probe& probe : probes) {
    EXPECT_EQ(IsOccurrence(counted, probe.start), probe.expected) << ToLocalDate(probe.start).day;
  }
  const RecurrencePatternData daily = Decoded(kDailyDeleted);
  EXPECT_FALSE(IsOccurrence(daily, At(2011, 4, 19, 480)));
  EXPECT_TRUE(IsOccurrence(daily, At(2011, 5, 4, 480)));
  EXPECT_FALSE(IsOccurrence(daily, At(2011, 5, 7, 480)));
}

TEST(RecurrenceViewTest, BuildsWhatTheCalendarStores) {
  RecurrenceView weekly;
  weekly.type = OlRecurrenceType::kWeekly;
  weekly.day_of_week_mask = 0x32;
  weekly.pattern_start_date = At(2007, 3, 26);
  weekly.end = RecurrenceView::End::kAfterOccurrences;
  weekly.occurrences = 12;
  weekly.start_time = 600;
  weekly.duration = 30;
  EXPECT_EQ(EncodeAppointmentRecur(*PatternFromView(weekly)), Hex(kWeekly));

  RecurrenceView daily;
  daily.interval = 3;
  daily.pattern_start_date = At(2011, 4, 7);
  daily.end = RecurrenceView::End::kOnDate;
  daily.pattern_end_date = At(2011, 5, 5);  // not itself an occurrence
  daily.start_time = 480;
  daily.duration = 30;
  auto pattern = PatternFromView(daily);
  ASSERT_TRUE(pattern);
  pattern->deleted_instance_dates = {static_cast<uint32_t>(At(2011, 4, 19)),
                                     static_cast<uint32_t>(At(2011, 4, 22))};
  EXPECT_EQ(EncodeAppointmentRecur(*pattern), Hex(kDailyDeleted));

  RecurrenceView never = weekly;
  never.end = RecurrenceView::End::kNever;
  EXPECT_EQ(PatternFromView(never)->end_date, kNeverEndDate);

  RecurrenceView bad[6] = {weekly, weekly, weekly, daily, daily, weekly};
  bad[0].occurrences = 0;
  bad[1].interval = 100;
  bad[2].first_day_of_week = 7;
  bad[3].day_of_week_mask = 0x02;  // a daily series is every N days or every weekday
  bad[4].pattern_end_date = At(2011, 4, 6);
  bad[5].start_time = 1440;
  for (const RecurrenceView& v : bad) EXPECT_FALSE(PatternFromView(v));
}

}  // namespace
}  // namespace calendar_mirrow_addin::sim
