#include "model/zone_rule.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cwctype>
#include <span>
#include <string>

#include "tests/support/system_time_builders.h"

namespace calendar_mirrow_addin {
namespace {

using testing::At;
using testing::Show;

// A yearly transition: the week-th (5 = last) given weekday of the month at hour:00.
SystemTime Yearly(int month, int day_of_week, int week, int hour) {
  SystemTime date = At(0, month, week, hour);
  date.day_of_week = static_cast<uint16_t>(day_of_week);
  return date;
}

ZoneRule Rule(int bias, SystemTime standard_date, SystemTime daylight_date) {
  return {bias, 0, -60, standard_date, daylight_date};
}

// US Eastern: standard time from the first Sunday of November at 02:00 daylight time,
// daylight time from the second Sunday of March at 02:00 standard time.
ZoneRule Eastern() { return Rule(300, Yearly(11, 0, 1, 2), Yearly(3, 0, 2, 2)); }
// Central Europe: the last Sundays of October (03:00) and March (02:00).
ZoneRule CentralEurope() { return Rule(-60, Yearly(10, 0, 5, 3), Yearly(3, 0, 5, 2)); }
// Eastern Australia: daylight time from October to April.
ZoneRule EasternAustralia() { return Rule(-600, Yearly(4, 0, 1, 3), Yearly(10, 0, 1, 2)); }

enum Direction { kFromUtc, kFromLocal };
constexpr double kFails = 99;

// A time as "YYYY-MM-DD[ hh:mm[:ss]]" and the offset its conversion must apply: hours east
// of UTC (local time minus UTC), or kFails.
struct Offset {
  Direction direction;
  const char* time;
  double hours;
};

void ExpectOffsets(const ZoneRule& rule, std::span<const Offset> cases) {
  for (const auto& [direction, text, hours] : cases) {
    int f[6] = {};
    std::sscanf(text, "%d-%d-%d %d:%d:%d", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5]);
    const SystemTime in = At(f[0], f[1], f[2], f[3], f[4], f[5]);
    SystemTime out;
    double offset = kFails;
    if (direction == kFromUtc ? RuleUtcToLocal(rule, in, &out) : RuleLocalToUtc(rule, in, &out)) {
      const auto ticks =
          static_cast<int64_t>(*SystemTimeToFileTime(out) - *SystemTimeToFileTime(in));
      offset = (direction == kFromUtc ? ticks : -ticks) / (3600.0 * kFileTimeTicksPerSecond);
    }
    EXPECT_EQ(offset, hours) << (direction == kFromUtc ? "from UTC " : "from local ") << text;
  }
}

constexpr wchar_t kEasternHex[] =
    L"2C01000000000000C4FFFFFF0000"
    L"00000B00000001000200000000000000"
    L"0000"
    L"00000300000002000200000000000000";
constexpr char kEasternTzi[] =
    "2C01000000000000C4FFFFFF00000B0000000100020000000000000000000300000002000200000000000000";

TEST(ZoneRuleHexTest, WritesEachFieldAtItsOffsetAndReadsBothLayoutsBackStrictly) {
  EXPECT_EQ(ZoneRuleToHex(Eastern()), kEasternHex);

  // Every field differs, so each must land in its own slot; negative biases are two's
  // complement.
  const ZoneRule rule{
      -330, 1, -2, {0x0102, 3, 4, 5, 6, 7, 8, 0x0309}, {0x0A0B, 12, 13, 14, 15, 16, 17, 0xFFFF}};
  const std::wstring hex = ZoneRuleToHex(rule);
  EXPECT_EQ(hex,
            L"B6FEFFFF01000000FEFFFFFF0000"
            L"02010300040005000600070008000903"
            L"0000"
            L"0B0A0C000D000E000F0010001100FFFF");
  std::wstring lower = hex;
  for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(c));
  ZoneRule read;
  for (const std::wstring& text : {hex, lower}) {
    ASSERT_TRUE(ZoneRuleFromHex(text, &read));
    EXPECT_EQ(ZoneRuleToHex(read), hex);
  }
  // The registry's TZI layout packs the dates closer.
  const std::string tzi = kEasternTzi;
  ASSERT_TRUE(ZoneRuleFromTziHex(tzi, &read));
  EXPECT_EQ(ZoneRuleToHex(read), kEasternHex);

  const std::wstring good = kEasternHex;
  for (const std::wstring& bad :
       {std::wstring(), good.substr(1), good + L"0", good.substr(0, 95) + L"G",
        L" " + good.substr(1), L"0x" + good.substr(2), good.substr(0, 48) + L"-" + good.substr(49),
        good.substr(0, 88)}) {
    EXPECT_FALSE(ZoneRuleFromHex(bad, &read)) << std::string(bad.begin(), bad.end());
  }
  for (const std::string& bad : {tzi.substr(2), tzi + "0000", tzi.substr(0, 87) + "z"}) {
    EXPECT_FALSE(ZoneRuleFromTziHex(bad, &read)) << bad;
  }
  EXPECT_EQ(ZoneRuleToHex(read), kEasternHex) << "a rejected text must leave the rule alone";
}

TEST(ZoneRuleConversionTest, WeekFiveIsTheLastWeekdayOfTheMonth) {
  // March 2026 has five Sundays (the last is the 29th), October 2026 four (the 25th).
  const Offset kLastSunday[] = {
      {kFromUtc, "2026-03-22 01:00", 1}, {kFromUtc, "2026-03-29 00:59", 1},
      {kFromUtc, "2026-03-29 01:00", 2}, {kFromUtc, "2026-10-25 00:59", 2},
      {kFromUtc, "2026-10-25 01:00", 1},
  };
  ExpectOffsets(CentralEurope(), kLastSunday);
  ZoneRule fourth = CentralEurope();
  fourth.daylight_date.day = 4;
  const Offset kFourthSunday[] = {{kFromUtc, "2026-03-22 00:59", 1},
                                  {kFromUtc, "2026-03-22 01:00", 2}};
  ExpectOffsets(fourth, kFourthSunday);

  SystemTime local;
  ASSERT_TRUE(RuleUtcToLocal(CentralEurope(), At(2026, 3, 29, 1), &local));
  EXPECT_EQ(local.day_of_week, 0) << "the result carries its weekday";
}

TEST(ZoneRuleConversionTest, ReadsTheSkippedAndTheRepeatedHourAsDaylightTime) {
  // 02:00-03:00 on 2026-03-08 does not exist; 01:00-02:00 on 2026-11-01 happens twice.
  const Offset kCases[] = {
      {kFromLocal, "2026-03-08 01:59", -5},    {kFromLocal, "2026-03-08 02:00", -4},
      {kFromLocal, "2026-03-08 02:30", -4},    {kFromLocal, "2026-03-08 03:00", -4},
      {kFromLocal, "2026-11-01 00:59", -4},    {kFromLocal, "2026-11-01 01:30", -4},
      {kFromLocal, "2026-11-01 01:59:59", -4}, {kFromLocal, "2026-11-01 02:00", -5},
  };
  ExpectOffsets(Eastern(), kCases);
}

TEST(ZoneRuleConversionTest, SouthernDaylightTimeSpansTheNewYear) {
  // Daylight time ends on the first Sunday of April (the 5th) at 03:00 daylight time and
  // starts on the first Sunday of October (the 4th) at 02:00 standard time.
  const Offset kCases[] = {
      {kFromUtc, "2025-12-31 13:00", 11},   {kFromUtc, "2026-06-30 12:00", 10},
      {kFromUtc, "2026-04-04 15:59", 11},   {kFromUtc, "2026-04-04 16:00", 10},
      {kFromUtc, "2026-10-03 15:59", 10},   {kFromUtc, "2026-10-03 16:00", 11},
      {kFromLocal, "2026-01-01 00:30", 11}, {kFromLocal, "2026-12-31 23:00", 11},
      {kFromLocal, "2026-07-01", 10},
  };
  ExpectOffsets(EasternAustralia(), kCases);
}

TEST(ZoneRuleConversionTest, DaylightBiasNeedNotBeAnHour) {
  // UTC+10:30 with half an hour of daylight saving, both transitions at 02:00.
  ZoneRule rule = Rule(-630, Yearly(4, 0, 1, 2), Yearly(10, 0, 1, 2));
  rule.daylight_bias = -30;
  const Offset kCases[] = {
      {kFromUtc, "2026-01-15", 11},         {kFromUtc, "2026-07-15", 10.5},
      {kFromUtc, "2026-04-04 14:59", 11},   {kFromUtc, "2026-04-04 15:00", 10.5},
      {kFromUtc, "2026-10-03 15:29", 10.5}, {kFromUtc, "2026-10-03 15:30", 11},
      {kFromLocal, "2026-04-05 01:45", 11}, {kFromLocal, "2026-04-05 02:00", 10.5},
      {kFromLocal, "2026-10-04 02:15", 11},
  };
  ExpectOffsets(rule, kCases);
}

TEST(ZoneRuleConversionTest, ZoneWithoutDaylightTimeUsesTheStandardBiasOnly) {
  // The daylight bias as the registry has it, and transition fields that would be invalid:
  // without transition months neither is looked at.
  ZoneRule india = Rule(-330, Yearly(0, 0, 9, 0), Yearly(0, 9, 1, 0));
  const Offset kCases[] = {
      {kFromUtc, "2026-01-15", 5.5},
      {kFromUtc, "2026-07-15", 5.5},
      {kFromLocal, "2026-01-15 05:30", 5.5},
      {kFromLocal, "2026-07-15 05:30", 5.5},
  };
  ExpectOffsets(india, kCases);
  india.bias = -300;
  india.standard_bias = -30;
  ExpectOffsets(india, kCases);
}

TEST(ZoneRuleConversionTest, AbsoluteTransitionDatesHoldForTheirOwnYearOnly) {
  const Offset kCases[] = {
      {kFromUtc, "2026-04-01 00:59", 0}, {kFromUtc, "2026-04-01 01:00", 1},
      {kFromUtc, "2026-09-01 00:59", 1}, {kFromUtc, "2026-09-01 01:00", 0},
      {kFromUtc, "2027-05-01 12:00", 0}, {kFromLocal, "2026-08-31 23:00", 1},
  };
  ExpectOffsets(Rule(0, At(2026, 9, 1, 2), At(2026, 4, 1, 1)), kCases);
}

TEST(ZoneRuleConversionTest, RejectsInvalidInputMalformedRulesAndResultsOutOfRange) {
  for (const char* invalid : {"2026-13-01", "2026-02-29", "2026-04-31", "2026-01-01 24:00",
                              "2026-01-01 00:60", "1600-12-31", "0000-00-00"}) {
    const Offset kCases[] = {{kFromUtc, invalid, kFails}, {kFromLocal, invalid, kFails}};
    ExpectOffsets(Eastern(), kCases);
  }

  const Offset kFailing[] = {{kFromUtc, "2026-06-01 12:00", kFails},
                             {kFromLocal, "2026-06-01 12:00", kFails}};
  ExpectOffsets(Rule(0, At(2026, 9, 31, 2), At(2026, 4, 1, 1)), kFailing);
  struct Breakage {
    SystemTime ZoneRule::*date;
    uint16_t SystemTime::*field;
    uint16_t value;
  };
  const Breakage kBreakages[] = {
      {&ZoneRule::daylight_date, &SystemTime::month, 13},
      {&ZoneRule::standard_date, &SystemTime::month, 0},  // One transition only.
      {&ZoneRule::standard_date, &SystemTime::day, 0},    // Week 0.
      {&ZoneRule::daylight_date, &SystemTime::day, 6},
      {&ZoneRule::standard_date, &SystemTime::day_of_week, 7},
      {&ZoneRule::daylight_date, &SystemTime::hour, 24},
  };
  for (const auto& [date, field, value] : kBreakages) {
    ZoneRule rule = Eastern();
    (rule.*date).*field = value;
    ExpectOffsets(rule, kFailing);
  }

  // Results before 1601 do not exist.
  const Offset kWest[] = {{kFromUtc, "1601-01-01 04:59", kFails},
                          {kFromUtc, "1601-01-01 05:00", -5}};
  ExpectOffsets(Rule(300, {}, {}), kWest);
  const Offset kEast[] = {{kFromLocal, "1601-01-01 04:59", kFails},
                          {kFromLocal, "1601-01-01 05:00", 5}};
  ExpectOffsets(Rule(-300, {}, {}), kEast);
}

}  // namespace
}  // namespace calendar_mirrow_addin
