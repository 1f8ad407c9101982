#include "model/zone_rule.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cwctype>
#include <string>

namespace calendar_mirrow_addin {
namespace {

SystemTime At(int year, int month, int day, int hour, int minute = 0, int second = 0) {
  SystemTime time;
  time.year = static_cast<uint16_t>(year);
  time.month = static_cast<uint16_t>(month);
  time.day = static_cast<uint16_t>(day);
  time.hour = static_cast<uint16_t>(hour);
  time.minute = static_cast<uint16_t>(minute);
  time.second = static_cast<uint16_t>(second);
  return time;
}

// A yearly transition: the week-th (5 = last) given weekday of the month at hour:00.
SystemTime Yearly(int month, int day_of_week, int week, int hour) {
  SystemTime date;
  date.month = static_cast<uint16_t>(month);
  date.day_of_week = static_cast<uint16_t>(day_of_week);
  date.day = static_cast<uint16_t>(week);
  date.hour = static_cast<uint16_t>(hour);
  return date;
}

ZoneRule Rule(int bias, SystemTime standard_date, SystemTime daylight_date) {
  ZoneRule rule;
  rule.bias = bias;
  rule.daylight_bias = -60;
  rule.standard_date = standard_date;
  rule.daylight_date = daylight_date;
  return rule;
}

// US Eastern: back to standard time on the first Sunday of November at 02:00 daylight
// time, daylight time from the second Sunday of March at 02:00 standard time.
ZoneRule Eastern() { return Rule(300, Yearly(11, 0, 1, 2), Yearly(3, 0, 2, 2)); }
// Central Europe: the last Sundays of October (03:00) and March (02:00).
ZoneRule CentralEurope() { return Rule(-60, Yearly(10, 0, 5, 3), Yearly(3, 0, 5, 2)); }
// Eastern Australia: daylight time from October to April.
ZoneRule EasternAustralia() { return Rule(-600, Yearly(4, 0, 1, 3), Yearly(10, 0, 1, 2)); }

std::string Show(const SystemTime& t) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

std::string ToLocal(const ZoneRule& rule, const SystemTime& utc) {
  SystemTime local;
  return RuleUtcToLocal(rule, utc, &local) ? Show(local) : "failed";
}

std::string ToUtc(const ZoneRule& rule, const SystemTime& local) {
  SystemTime utc;
  return RuleLocalToUtc(rule, local, &utc) ? Show(utc) : "failed";
}

void ExpectSameRule(const ZoneRule& a, const ZoneRule& b) {
  EXPECT_EQ(a.bias, b.bias);
  EXPECT_EQ(a.standard_bias, b.standard_bias);
  EXPECT_EQ(a.daylight_bias, b.daylight_bias);
  for (auto date : {&ZoneRule::standard_date, &ZoneRule::daylight_date}) {
    const SystemTime& x = a.*date;
    const SystemTime& y = b.*date;
    EXPECT_EQ(x.year, y.year);
    EXPECT_EQ(x.month, y.month);
    EXPECT_EQ(x.day_of_week, y.day_of_week);
    EXPECT_EQ(x.day, y.day);
    EXPECT_EQ(x.hour, y.hour);
    EXPECT_EQ(x.minute, y.minute);
    EXPECT_EQ(x.second, y.second);
    EXPECT_EQ(x.milliseconds, y.milliseconds);
  }
}

constexpr char kEasternTzi[] =
    "2C01000000000000C4FFFFFF00000B0000000100020000000000000000000300000002000200000000000000";
constexpr wchar_t kEasternHex[] =
    L"2C01000000000000C4FFFFFF"
    L"0000"
    L"00000B00000001000200000000000000"
    L"0000"
    L"00000300000002000200000000000000";

TEST(ZoneRuleHexTest, WritesTheFieldsLittleEndianAtTheirOffsets) {
  EXPECT_EQ(ZoneRuleToHex(Eastern()), kEasternHex);

  // Every field of a transition date lands in its own slot, negative biases as two's
  // complement.
  ZoneRule rule;
  rule.bias = -330;
  rule.standard_bias = 1;
  rule.daylight_bias = -2;
  rule.standard_date = {0x0102, 3, 4, 5, 6, 7, 8, 0x0309};
  rule.daylight_date = {0, 0x0A0B, 0, 0, 0, 0, 0, 0xFFFF};
  EXPECT_EQ(ZoneRuleToHex(rule),
            L"B6FEFFFF01000000FEFFFFFF"
            L"0000"
            L"02010300040005000600070008000903"
            L"0000"
            L"00000B0A00000000000000000000FFFF");
}

TEST(ZoneRuleHexTest, ReadsBackWhatItWritesInEitherLetterCase) {
  ZoneRule rule = EasternAustralia();
  rule.standard_bias = -15;
  rule.standard_date.minute = 59;
  rule.standard_date.second = 58;
  rule.standard_date.milliseconds = 999;
  rule.daylight_date.year = 2026;
  const std::wstring hex = ZoneRuleToHex(rule);

  ZoneRule upper;
  ASSERT_TRUE(ZoneRuleFromHex(hex, &upper));
  ExpectSameRule(upper, rule);

  std::wstring lower = hex;
  for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(c));
  ASSERT_NE(lower, hex);
  ZoneRule from_lower;
  ASSERT_TRUE(ZoneRuleFromHex(lower, &from_lower));
  ExpectSameRule(from_lower, rule);
}

TEST(ZoneRuleHexTest, RejectsAnythingButNinetySixHexDigits) {
  const std::wstring good = kEasternHex;
  ZoneRule rule = CentralEurope();
  const std::wstring before = ZoneRuleToHex(rule);
  for (const std::wstring& bad :
       {std::wstring(), good.substr(1), good + L"0", good.substr(0, 95) + L"G",
        L" " + good.substr(1), L"0x" + good.substr(2), good.substr(0, 48) + L"-" + good.substr(49),
        good.substr(0, 88)}) {
    EXPECT_FALSE(ZoneRuleFromHex(bad, &rule)) << std::string(bad.begin(), bad.end());
  }
  EXPECT_EQ(ZoneRuleToHex(rule), before) << "a rejected text must leave the rule alone";
}

TEST(ZoneRuleHexTest, ReadsTheRegistryTziLayout) {
  ZoneRule rule;
  ASSERT_TRUE(ZoneRuleFromTziHex(kEasternTzi, &rule));
  ExpectSameRule(rule, Eastern());

  std::string lower = kEasternTzi;
  for (char& c : lower) c = static_cast<char>(tolower(c));
  ZoneRule from_lower;
  ASSERT_TRUE(ZoneRuleFromTziHex(lower, &from_lower));
  ExpectSameRule(from_lower, Eastern());

  const std::string tzi = kEasternTzi;
  EXPECT_FALSE(ZoneRuleFromTziHex(tzi.substr(2), &rule));
  EXPECT_FALSE(ZoneRuleFromTziHex(tzi + "0000", &rule));
  EXPECT_FALSE(ZoneRuleFromTziHex(tzi.substr(0, 87) + "Z", &rule));
}

TEST(ZoneRuleFuzzyKeyTest, IgnoresTheTransitionHoursOnly) {
  ZoneRule other_hours = Eastern();
  other_hours.standard_date.hour = 1;
  other_hours.daylight_date.hour = 3;
  EXPECT_NE(ZoneRuleToHex(other_hours), ZoneRuleToHex(Eastern()));
  EXPECT_EQ(ZoneRuleFuzzyKey(other_hours), ZoneRuleFuzzyKey(Eastern()));
  EXPECT_EQ(ZoneRuleFuzzyKey(Eastern()),
            L"2C01000000000000C4FFFFFF"
            L"0000"
            L"00000B00000001000000000000000000"
            L"0000"
            L"00000300000002000000000000000000");

  ZoneRule other_minute = Eastern();
  other_minute.daylight_date.minute = 30;
  EXPECT_NE(ZoneRuleFuzzyKey(other_minute), ZoneRuleFuzzyKey(Eastern()));
  ZoneRule other_week = Eastern();
  other_week.daylight_date.day = 1;
  EXPECT_NE(ZoneRuleFuzzyKey(other_week), ZoneRuleFuzzyKey(Eastern()));
}

TEST(ZoneRuleConversionTest, FindsTheNthAndTheLastWeekdayOfTheMonth) {
  // March 2026 starts on a Sunday: the second Sunday is the 8th.
  EXPECT_EQ(ToLocal(Eastern(), At(2026, 3, 8, 6, 59)), "2026-03-08 01:59:00");
  EXPECT_EQ(ToLocal(Eastern(), At(2026, 3, 8, 7, 0)), "2026-03-08 03:00:00");
  // November 2026 also starts on a Sunday: the first Sunday is the 1st.
  EXPECT_EQ(ToLocal(Eastern(), At(2026, 11, 1, 5, 59)), "2026-11-01 01:59:00");
  EXPECT_EQ(ToLocal(Eastern(), At(2026, 11, 1, 6, 0)), "2026-11-01 01:00:00");

  // Week 5 is the last Sunday: March 2026 has five (the 29th), October 2026 four (25th).
  EXPECT_EQ(ToLocal(CentralEurope(), At(2026, 3, 29, 0, 59)), "2026-03-29 01:59:00");
  EXPECT_EQ(ToLocal(CentralEurope(), At(2026, 3, 29, 1, 0)), "2026-03-29 03:00:00");
  EXPECT_EQ(ToLocal(CentralEurope(), At(2026, 10, 25, 0, 59)), "2026-10-25 02:59:00");
  EXPECT_EQ(ToLocal(CentralEurope(), At(2026, 10, 25, 1, 0)), "2026-10-25 02:00:00");
  // Week 4 stays the fourth even when a fifth exists.
  ZoneRule fourth = CentralEurope();
  fourth.daylight_date.day = 4;
  EXPECT_EQ(ToLocal(fourth, At(2026, 3, 22, 1, 0)), "2026-03-22 03:00:00");
  EXPECT_EQ(ToLocal(fourth, At(2026, 3, 22, 0, 59)), "2026-03-22 01:59:00");

  SystemTime local;
  ASSERT_TRUE(RuleUtcToLocal(Eastern(), At(2026, 3, 8, 7, 0), &local));
  EXPECT_EQ(local.day_of_week, 0) << "the result carries its weekday";
}

TEST(ZoneRuleConversionTest, SouthernDaylightTimeSpansTheNewYear) {
  const ZoneRule rule = EasternAustralia();
  EXPECT_EQ(ToLocal(rule, At(2025, 12, 31, 13, 0)), "2026-01-01 00:00:00");
  EXPECT_EQ(ToLocal(rule, At(2026, 6, 30, 12, 0)), "2026-06-30 22:00:00");
  EXPECT_EQ(ToUtc(rule, At(2026, 1, 1, 0, 30)), "2025-12-31 13:30:00");
  EXPECT_EQ(ToUtc(rule, At(2026, 12, 31, 23, 0)), "2026-12-31 12:00:00");
  EXPECT_EQ(ToUtc(rule, At(2026, 7, 1, 0, 0)), "2026-06-30 14:00:00");
  // Daylight time ends on the first Sunday of April (the 5th) at 03:00 daylight time and
  // starts on the first Sunday of October (the 4th) at 02:00 standard time.
  EXPECT_EQ(ToLocal(rule, At(2026, 4, 4, 15, 59)), "2026-04-05 02:59:00");
  EXPECT_EQ(ToLocal(rule, At(2026, 4, 4, 16, 0)), "2026-04-05 02:00:00");
  EXPECT_EQ(ToLocal(rule, At(2026, 10, 3, 15, 59)), "2026-10-04 01:59:00");
  EXPECT_EQ(ToLocal(rule, At(2026, 10, 3, 16, 0)), "2026-10-04 03:00:00");
}

TEST(ZoneRuleConversionTest, DaylightBiasNeedNotBeAnHour) {
  // Half an hour of daylight saving, UTC+10:30 / UTC+11, both transitions at 02:00.
  ZoneRule rule = Rule(-630, Yearly(4, 0, 1, 2), Yearly(10, 0, 1, 2));
  rule.daylight_bias = -30;
  EXPECT_EQ(ToLocal(rule, At(2026, 1, 15, 0, 0)), "2026-01-15 11:00:00");
  EXPECT_EQ(ToLocal(rule, At(2026, 7, 15, 0, 0)), "2026-07-15 10:30:00");
  EXPECT_EQ(ToLocal(rule, At(2026, 4, 4, 14, 59)), "2026-04-05 01:59:00");
  EXPECT_EQ(ToLocal(rule, At(2026, 4, 4, 15, 0)), "2026-04-05 01:30:00");
  EXPECT_EQ(ToUtc(rule, At(2026, 4, 5, 1, 45)), "2026-04-04 14:45:00");
  EXPECT_EQ(ToUtc(rule, At(2026, 4, 5, 2, 0)), "2026-04-04 15:30:00");
  EXPECT_EQ(ToLocal(rule, At(2026, 10, 3, 15, 30)), "2026-10-04 02:30:00");
  EXPECT_EQ(ToUtc(rule, At(2026, 10, 4, 2, 15)), "2026-10-03 15:15:00");
}

TEST(ZoneRuleConversionTest, ReadsTheSkippedAndTheRepeatedHourAsDaylightTime) {
  // Spring forward: 02:00-03:00 on 2026-03-08 does not exist; it is read as daylight time.
  EXPECT_EQ(ToUtc(Eastern(), At(2026, 3, 8, 1, 59)), "2026-03-08 06:59:00");
  EXPECT_EQ(ToUtc(Eastern(), At(2026, 3, 8, 2, 0)), "2026-03-08 06:00:00");
  EXPECT_EQ(ToUtc(Eastern(), At(2026, 3, 8, 2, 30)), "2026-03-08 06:30:00");
  EXPECT_EQ(ToUtc(Eastern(), At(2026, 3, 8, 3, 0)), "2026-03-08 07:00:00");
  // Fall back: 01:00-02:00 on 2026-11-01 happens twice; the first (daylight) one is meant.
  EXPECT_EQ(ToUtc(Eastern(), At(2026, 11, 1, 1, 30)), "2026-11-01 05:30:00");
  EXPECT_EQ(ToUtc(Eastern(), At(2026, 11, 1, 1, 59, 59)), "2026-11-01 05:59:59");
  EXPECT_EQ(ToUtc(Eastern(), At(2026, 11, 1, 2, 0)), "2026-11-01 07:00:00");
  // The same in the south, where the repeated hour is in April.
  EXPECT_EQ(ToUtc(EasternAustralia(), At(2026, 4, 5, 2, 30)), "2026-04-04 15:30:00");
  EXPECT_EQ(ToUtc(EasternAustralia(), At(2026, 4, 5, 3, 0)), "2026-04-04 17:00:00");
  EXPECT_EQ(ToUtc(EasternAustralia(), At(2026, 10, 4, 2, 30)), "2026-10-03 15:30:00");
}

TEST(ZoneRuleConversionTest, ZoneWithoutDaylightTimeUsesTheStandardBiasOnly) {
  ZoneRule india;
  india.bias = -330;
  india.daylight_bias = -60;  // as the registry has it; meaningless without transitions
  for (int month : {1, 7}) {
    EXPECT_EQ(ToLocal(india, At(2026, month, 15, 0, 0)), Show(At(2026, month, 15, 5, 30)));
    EXPECT_EQ(ToUtc(india, At(2026, month, 15, 5, 30)), Show(At(2026, month, 15, 0, 0)));
  }
  ZoneRule with_standard_bias = india;
  with_standard_bias.bias = -300;
  with_standard_bias.standard_bias = -30;
  EXPECT_EQ(ToLocal(with_standard_bias, At(2026, 7, 15, 0, 0)), "2026-07-15 05:30:00");
  EXPECT_EQ(ToUtc(with_standard_bias, At(2026, 7, 15, 5, 30)), "2026-07-15 00:00:00");
}

TEST(ZoneRuleConversionTest, AbsoluteTransitionDatesHoldForTheirOwnYearOnly) {
  ZoneRule rule = Rule(0, At(2026, 9, 1, 2), At(2026, 4, 1, 1));
  EXPECT_EQ(ToLocal(rule, At(2026, 5, 1, 12, 0)), "2026-05-01 13:00:00");
  EXPECT_EQ(ToLocal(rule, At(2026, 4, 1, 0, 59)), "2026-04-01 00:59:00");
  EXPECT_EQ(ToLocal(rule, At(2026, 4, 1, 1, 0)), "2026-04-01 02:00:00");
  EXPECT_EQ(ToUtc(rule, At(2026, 8, 31, 23, 0)), "2026-08-31 22:00:00");
  EXPECT_EQ(ToLocal(rule, At(2027, 5, 1, 12, 0)), "2027-05-01 12:00:00");
}

TEST(ZoneRuleConversionTest, RejectsInvalidTimesAndMalformedRules) {
  for (const SystemTime& invalid :
       {At(2026, 13, 1, 0), At(2026, 2, 29, 0), At(2026, 4, 31, 0), At(2026, 1, 1, 24),
        At(2026, 1, 1, 0, 60), At(1600, 12, 31, 0), SystemTime{}}) {
    EXPECT_EQ(ToLocal(Eastern(), invalid), "failed") << Show(invalid);
    EXPECT_EQ(ToUtc(Eastern(), invalid), "failed") << Show(invalid);
  }

  ZoneRule bad_month = Eastern();
  bad_month.daylight_date.month = 13;
  ZoneRule week_zero = Eastern();
  week_zero.standard_date.day = 0;
  ZoneRule week_six = Eastern();
  week_six.daylight_date.day = 6;
  ZoneRule bad_weekday = Eastern();
  bad_weekday.standard_date.day_of_week = 7;
  ZoneRule bad_hour = Eastern();
  bad_hour.daylight_date.hour = 24;
  ZoneRule one_month_only = Eastern();
  one_month_only.standard_date.month = 0;
  ZoneRule bad_absolute_date = Rule(0, At(2026, 9, 31, 2), At(2026, 4, 1, 1));
  for (const ZoneRule& rule :
       {bad_month, week_zero, week_six, bad_weekday, bad_hour, one_month_only, bad_absolute_date}) {
    EXPECT_EQ(ToLocal(rule, At(2026, 6, 1, 12)), "failed")
        << std::string(ZoneRuleToHex(rule).begin(), ZoneRuleToHex(rule).end());
    EXPECT_EQ(ToUtc(rule, At(2026, 6, 1, 12)), "failed");
  }

  // Without daylight time the transition fields are not looked at.
  ZoneRule no_daylight;
  no_daylight.bias = -60;
  no_daylight.standard_date.day = 9;
  no_daylight.daylight_date.day_of_week = 9;
  EXPECT_EQ(ToLocal(no_daylight, At(2026, 6, 1, 12)), "2026-06-01 13:00:00");
}

TEST(ZoneRuleConversionTest, FailsWhenTheResultLeavesTheCalendarRange) {
  ZoneRule west;
  west.bias = 300;
  EXPECT_EQ(ToLocal(west, At(1601, 1, 1, 4, 59)), "failed");
  EXPECT_EQ(ToLocal(west, At(1601, 1, 1, 5, 0)), "1601-01-01 00:00:00");
  ZoneRule east;
  east.bias = -300;
  EXPECT_EQ(ToUtc(east, At(1601, 1, 1, 4, 59)), "failed");
  EXPECT_EQ(ToUtc(east, At(1601, 1, 1, 5, 0)), "1601-01-01 00:00:00");
}

}  // namespace
}  // namespace calendar_mirrow_addin
