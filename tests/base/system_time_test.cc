#include "base/system_time.h"

#include <gtest/gtest.h>

#include "tests/support/system_time_builders.h"

namespace calendar_mirrow_addin {
namespace {

using testing::At;

constexpr int64_t kTicksPerDay = 864'000'000'000;

// Days since 1601-01-01 counted the slow, obvious way, as an independent reference.
int64_t NaiveDays(int year, int month, int day) {
  static const int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int64_t days = 0;
  for (int y = 1601; y < year; ++y) {
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    days += leap ? 366 : 365;
  }
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  for (int m = 1; m < month; ++m) days += kMonthDays[m - 1] + (m == 2 && leap ? 1 : 0);
  return days + day - 1;
}

// Zeller's congruence, 0 = Sunday.
int ZellerDayOfWeek(int year, int month, int day) {
  if (month < 3) month += 12, year -= 1;
  const int k = year % 100;
  const int j = year / 100;
  const int h = (day + 13 * (month + 1) / 5 + k + k / 4 + j / 4 + 5 * j) % 7;
  return (h + 6) % 7;
}

TEST(FileTimeTest, MatchesIndependentDayCountAcrossBoundaries) {
  struct Case {
    int year, month, day;
  } cases[] = {
      {1601, 1, 1},  {1601, 12, 31}, {1700, 2, 28}, {1700, 3, 1},   {1899, 12, 31},
      {1900, 1, 1},  {1900, 2, 28},  {1900, 3, 1},  {1970, 1, 1},   {1999, 12, 31},
      {2000, 1, 1},  {2000, 2, 29},  {2000, 3, 1},  {2024, 2, 29},  {2026, 12, 6},
      {2100, 2, 28}, {2100, 3, 1},   {2400, 2, 29}, {9999, 12, 31}, {30827, 12, 31},
  };
  for (const auto& c : cases) {
    const auto file_time = SystemTimeToFileTime(At(c.year, c.month, c.day, 23, 59, 58, 999));
    ASSERT_TRUE(file_time.has_value()) << c.year << "-" << c.month << "-" << c.day;
    const int64_t expected = NaiveDays(c.year, c.month, c.day) * kTicksPerDay +
                             (23 * 3600 + 59 * 60 + 58) * 10'000'000LL + 999 * 10'000LL;
    EXPECT_EQ(*file_time, static_cast<FileTime>(expected)) << c.year << "-" << c.month;
  }
  EXPECT_EQ(SystemTimeToFileTime(At(1970, 1, 1)), kUnixEpochFileTime);
}

TEST(FileTimeTest, EveryDayRoundTripsWithItsWeekday) {
  // Walk day by day over four centuries, which covers every leap-year rule.
  FileTime file_time = *SystemTimeToFileTime(At(1899, 12, 31, 12, 30, 15, 250));
  SystemTime previous = *FileTimeToSystemTime(file_time);
  for (int i = 0; i < 146'097; ++i) {  // Exactly one Gregorian cycle.
    file_time += kTicksPerDay;
    const auto t = FileTimeToSystemTime(file_time);
    ASSERT_TRUE(t.has_value());
    const bool new_month = t->day == 1;
    if (new_month) {
      ASSERT_EQ(previous.day, DaysInMonth(previous.year, previous.month)) << previous.year;
    } else {
      ASSERT_EQ(t->day, previous.day + 1);
    }
    ASSERT_EQ(t->day_of_week, ZellerDayOfWeek(t->year, t->month, t->day));
    ASSERT_EQ(t->hour, 12);
    ASSERT_EQ(t->milliseconds, 250);
    ASSERT_EQ(SystemTimeToFileTime(*t), file_time);
    previous = *t;
  }
  EXPECT_EQ(previous.year, 2299);
  EXPECT_EQ(previous.month, 12);
  EXPECT_EQ(previous.day, 31);
}

TEST(FileTimeTest, RefusesOutOfRangeFields) {
  EXPECT_FALSE(SystemTimeToFileTime(At(1600, 12, 31)));
  EXPECT_FALSE(SystemTimeToFileTime(At(30828, 1, 1)));
  EXPECT_FALSE(SystemTimeToFileTime(At(2025, 2, 29)));
  EXPECT_FALSE(SystemTimeToFileTime(At(2024, 13, 1)));
  EXPECT_FALSE(SystemTimeToFileTime(At(2024, 0, 1)));
  EXPECT_FALSE(SystemTimeToFileTime(At(2024, 4, 31)));
  EXPECT_FALSE(SystemTimeToFileTime(At(2024, 1, 1, 24)));
  EXPECT_FALSE(SystemTimeToFileTime(At(2024, 1, 1, 0, 60)));
  EXPECT_FALSE(SystemTimeToFileTime(At(2024, 1, 1, 0, 0, 60)));
  EXPECT_FALSE(SystemTimeToFileTime(At(2024, 1, 1, 0, 0, 0, 1000)));
  EXPECT_TRUE(SystemTimeToFileTime(At(2024, 2, 29, 23, 59, 59, 999)));
  EXPECT_FALSE(FileTimeToSystemTime(1ULL << 63));
}

TEST(FileTimeTest, AddTicksStaysInRange) {
  EXPECT_EQ(AddTicks(100, -100), 0u);
  EXPECT_FALSE(AddTicks(100, -101));
  EXPECT_FALSE(AddTicks(0, INT64_MIN));
  EXPECT_EQ(AddTicks((1ULL << 63) - 2, 1), (1ULL << 63) - 1);
  EXPECT_FALSE(AddTicks((1ULL << 63) - 1, 1));
  EXPECT_FALSE(AddTicks(5, INT64_MAX));
}

}  // namespace
}  // namespace calendar_mirrow_addin
