#include "base/system_time.h"

#include <gtest/gtest.h>

#include "tests/support/system_time_builders.h"

namespace calendar_mirrow_addin {
namespace {

using testing::At;

constexpr int64_t kTicksPerDay = 864'000'000'000;

// Zeller's congruence, 0 = Sunday: an independent weekday for each date.
int ZellerDayOfWeek(int year, int month, int day) {
  if (month < 3) month += 12, year -= 1;
  const int k = year % 100, j = year / 100;
  return ((day + 13 * (month + 1) / 5 + k + k / 4 + j / 4 + 5 * j) % 7 + 6) % 7;
}

// Day by day through the first Gregorian cycle (1601-2000, every leap-year rule) from the
// file-time origin; as four hundred years always hold 146097 days, later cycles must repeat
// it exactly, up to the last valid year.
TEST(FileTimeTest, EveryDayOfACycleRoundTripsWithItsWeekday) {
  FileTime file_time = *SystemTimeToFileTime(At(1601, 1, 1, 12, 30, 15, 250));
  ASSERT_EQ(file_time, (12 * 3600 + 30 * 60 + 15) * 10'000'000ULL + 250 * 10'000ULL);
  SystemTime previous = *FileTimeToSystemTime(file_time);
  ASSERT_EQ(previous.day_of_week, 1);
  for (int i = 1; i < 146'097; ++i) {
    file_time += kTicksPerDay;
    const auto t = FileTimeToSystemTime(file_time);
    ASSERT_TRUE(t.has_value());
    if (t->day == 1) {
      ASSERT_EQ(previous.day, DaysInMonth(previous.year, previous.month)) << previous.year;
    } else {
      ASSERT_EQ(t->day, previous.day + 1) << t->year << "-" << t->month;
    }
    ASSERT_EQ(t->day_of_week, ZellerDayOfWeek(t->year, t->month, t->day)) << t->year;
    ASSERT_EQ(SystemTimeToFileTime(*t), file_time);
    previous = *t;
  }
  EXPECT_EQ(previous.year * 10000 + previous.month * 100 + previous.day, 20001231);
  const FileTime first_cycle_end = *SystemTimeToFileTime(At(2000, 12, 31, 23, 59, 59, 999));
  for (int cycles : {1, 40, 72}) {
    EXPECT_EQ(*SystemTimeToFileTime(At(2000 + 400 * cycles, 12, 31, 23, 59, 59, 999)),
              first_cycle_end + cycles * 146'097 * kTicksPerDay);
  }
  EXPECT_EQ(SystemTimeToFileTime(At(1970, 1, 1)), kUnixEpochFileTime);
}

TEST(FileTimeTest, RefusesOutOfRangeValues) {
  for (const SystemTime& t :
       {At(1600, 12, 31), At(30828, 1, 1), At(2025, 2, 29), At(2024, 13, 1), At(2024, 0, 1),
        At(2024, 4, 31), At(2024, 1, 1, 24), At(2024, 1, 1, 0, 60), At(2024, 1, 1, 0, 0, 60),
        At(2024, 1, 1, 0, 0, 0, 1000)}) {
    EXPECT_FALSE(SystemTimeToFileTime(t))
        << t.year << "-" << t.month << "-" << t.day << " " << t.hour << ":" << t.minute;
  }
  EXPECT_TRUE(SystemTimeToFileTime(At(30827, 12, 31, 23, 59, 59, 999)));
  EXPECT_FALSE(FileTimeToSystemTime(1ULL << 63));
  // Tick arithmetic stays in range too.
  EXPECT_EQ(AddTicks(100, -100), 0u);
  EXPECT_FALSE(AddTicks(100, -101));
  EXPECT_FALSE(AddTicks(0, INT64_MIN));
  EXPECT_EQ(AddTicks((1ULL << 63) - 2, 1), (1ULL << 63) - 1);
  EXPECT_FALSE(AddTicks((1ULL << 63) - 1, 1));
  EXPECT_FALSE(AddTicks(5, INT64_MAX));
}

}  // namespace
}  // namespace calendar_mirrow_addin
