#include "model/zone_rule.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cwctype>
#include <string>
#include <tuple>
#include <vector>

#include "base/text.h"
#include "tests/support/system_time_builders.h"

namespace calendar_mirrow_addin {
namespace {

using testing::At;

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

TEST(ZoneRuleHexTest, WritesEachFieldAtItsOffsetAndReadsBothLayoutsBackStrictly) {
  // Every field differs, so each must land in its own slot (the dates at bytes 14 and 32);
  // negative biases are two's complement.
  const ZoneRule rule{
      -330, 1, -2, {0x0102, 3, 4, 5, 6, 7, 8, 0x0309}, {0x0A0B, 12, 13, 14, 15, 16, 17, 0xFFFF}};
  const std::wstring hex = ZoneRuleToHex(rule);
  EXPECT_EQ(hex,
            L"B6FEFFFF01000000FEFFFFFF000002010300040005000600070008000903"
            L"00000B0A0C000D000E000F0010001100FFFF");
  std::wstring lower = hex;
  for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(c));
  ZoneRule read;
  ASSERT_TRUE(ZoneRuleFromHex(lower, &read));
  EXPECT_EQ(ZoneRuleToHex(read), hex);
  // The registry's TZI layout packs the dates closer.
  const std::string tzi =
      "2C01000000000000C4FFFFFF00000B0000000100020000000000000000000300000002000200000000000000";
  ASSERT_TRUE(ZoneRuleFromTziHex(tzi, &read));
  EXPECT_EQ(ZoneRuleToHex(read), ZoneRuleToHex(Eastern()));
  for (const std::wstring& bad : {std::wstring(), hex.substr(1), hex + L"0", L"G" + hex.substr(1),
                                  std::wstring(tzi.begin(), tzi.end())}) {
    EXPECT_FALSE(ZoneRuleFromHex(bad, &read)) << WideToUtf8(bad);
  }
  for (const std::string& bad : {tzi.substr(2), tzi + "0000", tzi.substr(0, 87) + "z"}) {
    EXPECT_FALSE(ZoneRuleFromTziHex(bad, &read)) << bad;
  }
  EXPECT_EQ(ZoneRuleToHex(read), ZoneRuleToHex(Eastern())) << "a refused text leaves the rule";
}

constexpr double kFails = 99;

// The offset (hours east of UTC, or kFails) a conversion of "YYYY-MM-DD[ hh:mm]" applies,
// from UTC or from local time; the result must carry its weekday.
double OffsetOf(const ZoneRule& rule, bool from_utc, const char* text) {
  int f[5] = {};
  std::sscanf(text, "%d-%d-%d %d:%d", &f[0], &f[1], &f[2], &f[3], &f[4]);
  const SystemTime in = At(f[0], f[1], f[2], f[3], f[4]);
  SystemTime out;
  if (!(from_utc ? RuleUtcToLocal(rule, in, &out) : RuleLocalToUtc(rule, in, &out))) return kFails;
  if (out.day_of_week != DayOfWeek(out.year, out.month, out.day)) return -kFails;
  const auto ticks = static_cast<int64_t>(*SystemTimeToFileTime(out) - *SystemTimeToFileTime(in));
  return (from_utc ? ticks : -ticks) / (3600.0 * kFileTimeTicksPerSecond);
}

TEST(ZoneRuleConversionTest, FollowsTheWindowsRuleSemantics) {
  // UTC+10:30 with half an hour of daylight time from the first Sunday of October (the 4th
  // in 2026) at 02:00 to the first Sunday of April (the 5th) at 02:00: it spans the new year.
  const ZoneRule southern{-630, 0, -30, Yearly(4, 0, 1, 2), Yearly(10, 0, 1, 2)};
  // Without a daylight date there is no daylight time, whatever the standard date holds:
  // transition fields that would be invalid, and a standard date alone, as Outlook hands
  // over for zones that dropped daylight time.
  const ZoneRule india = Rule(-330, Yearly(0, 0, 9, 0), Yearly(0, 9, 1, 0));
  const ZoneRule split_bias{-300, -30, -60, india.standard_date, india.daylight_date};
  const ZoneRule standard_only = Rule(-120, Yearly(10, 0, 5, 3), {});
  // Dates with a year of their own hold for that year only.
  const ZoneRule absolute = Rule(0, At(2026, 9, 1, 2), At(2026, 4, 1, 1));
  // Results before 1601 do not exist.
  const ZoneRule west = Rule(300, {}, {}), east = Rule(-300, {}, {});
  const std::tuple<const ZoneRule&, bool, const char*, double> kCases[] = {
      // clang-format off
      {southern, true, "2026-04-04 14:59", 11},     {southern, true, "2026-04-04 15:00", 10.5},
      {southern, true, "2026-10-03 15:29", 10.5},   {southern, true, "2026-10-03 15:30", 11},
      {southern, false, "2026-04-05 01:45", 11},    {southern, false, "2026-04-05 02:00", 10.5},
      {southern, false, "2026-10-04 02:15", 11},
      {india, true, "2026-01-15", 5.5},             {india, false, "2026-07-15 05:30", 5.5},
      {split_bias, true, "2026-07-15", 5.5},        {split_bias, false, "2026-01-15", 5.5},
      {standard_only, true, "2026-01-15", 2},       {standard_only, true, "2026-07-15", 2},
      {standard_only, false, "2026-10-25 02:30", 2},
      {absolute, true, "2026-04-01 00:59", 0},      {absolute, true, "2026-04-01 01:00", 1},
      {absolute, true, "2026-09-01 00:59", 1},      {absolute, true, "2026-09-01 01:00", 0},
      {absolute, true, "2027-05-01 12:00", 0},      {absolute, false, "2026-08-31 23:00", 1},
      {west, true, "1601-01-01 04:59", kFails},     {west, true, "1601-01-01 05:00", -5},
      {east, false, "1601-01-01 04:59", kFails},    {Eastern(), true, "2026-02-29", kFails},
      // clang-format on
  };
  for (const auto& [rule, from_utc, time, hours] : kCases) {
    EXPECT_EQ(OffsetOf(rule, from_utc, time), hours)
        << (from_utc ? "from UTC " : "from local ") << time << ", bias " << rule.bias;
  }
}

TEST(ZoneRuleConversionTest, RejectsMalformedRules) {
  std::vector<ZoneRule> malformed(7, Eastern());
  malformed[0] = Rule(0, At(2026, 9, 31, 2), At(2026, 4, 1, 1));  // 31 September.
  malformed[1].daylight_date.month = 13;
  malformed[2].standard_date.month = 0;  // A start without an end.
  malformed[3].standard_date.day = 0;    // Week 0.
  malformed[4].daylight_date.day = 6;
  malformed[5].standard_date.day_of_week = 7;
  malformed[6].daylight_date.hour = 24;
  for (size_t i = 0; i < malformed.size(); ++i) {
    EXPECT_EQ(OffsetOf(malformed[i], true, "2026-06-01 12:00"), kFails) << i;
    EXPECT_EQ(OffsetOf(malformed[i], false, "2026-06-01 12:00"), kFails) << i;
  }
}

}  // namespace
}  // namespace calendar_mirrow_addin
