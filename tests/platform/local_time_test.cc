#include "base/local_time.h"

#include <gtest/gtest.h>

#include "tests/platform/env_guard.h"
#include "tests/support/system_time_builders.h"

namespace calendar_mirrow_addin {
namespace {

using testing::At;
using testing::EnvGuard;

void ExpectTime(const std::optional<SystemTime>& t, int day, int hour, int minute) {
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(t->day, day);
  EXPECT_EQ(t->hour, hour);
  EXPECT_EQ(t->minute, minute);
}

// POSIX rule strings need no zone database on the machine.
constexpr const char* kNewYorkRule = "EST5EDT,M3.2.0,M11.1.0";
constexpr const char* kSydneyRule = "AEST-10AEDT,M10.1.0,M4.1.0/3";

TEST(MachineTimeTest, NorthernZoneBothWays) {
  EnvGuard tz("TZ", kNewYorkRule);
  ExpectTime(MachineUtcToLocal(At(2026, 1, 15, 17, 0)), 15, 12, 0);
  ExpectTime(MachineUtcToLocal(At(2026, 7, 15, 16, 0)), 15, 12, 0);
  ExpectTime(MachineLocalToUtc(At(2026, 1, 15, 12, 0)), 15, 17, 0);
  ExpectTime(MachineLocalToUtc(At(2026, 7, 15, 12, 0)), 15, 16, 0);
  // Around midnight the date changes too.
  ExpectTime(MachineLocalToUtc(At(2026, 7, 15, 22, 30)), 16, 2, 30);
}

TEST(MachineTimeTest, SkippedAndRepeatedHoursReadAsDaylightTime) {
  EnvGuard tz("TZ", kNewYorkRule);
  // 2026-03-08 02:30 does not exist; read as 02:30 EDT.
  ExpectTime(MachineLocalToUtc(At(2026, 3, 8, 2, 30)), 8, 6, 30);
  // 2026-11-01 01:30 happens twice; the daylight one (the first) is taken.
  ExpectTime(MachineLocalToUtc(At(2026, 11, 1, 1, 30)), 1, 5, 30);
  // Just outside the transitions the ordinary offsets apply.
  ExpectTime(MachineLocalToUtc(At(2026, 3, 8, 1, 59)), 8, 6, 59);
  ExpectTime(MachineLocalToUtc(At(2026, 3, 8, 3, 0)), 8, 7, 0);
  ExpectTime(MachineLocalToUtc(At(2026, 11, 1, 2, 0)), 1, 7, 0);
}

TEST(MachineTimeTest, SouthernZoneAcrossTheYearEnd) {
  EnvGuard tz("TZ", kSydneyRule);
  ExpectTime(MachineUtcToLocal(At(2026, 12, 31, 14, 0)), 1, 1, 0);  // AEDT, +11
  ExpectTime(MachineUtcToLocal(At(2026, 6, 30, 14, 0)), 1, 0, 0);   // AEST, +10
  ExpectTime(MachineLocalToUtc(At(2027, 1, 1, 1, 0)), 31, 14, 0);
  // 2026-04-05 02:30 happens twice (clocks go back at 03:00): daylight is taken.
  ExpectTime(MachineLocalToUtc(At(2026, 4, 5, 2, 30)), 4, 15, 30);
}

TEST(MachineTimeTest, InvalidFieldsAreRefused) {
  EnvGuard tz("TZ", "UTC0");
  EXPECT_FALSE(MachineLocalToUtc(At(2026, 2, 30, 0, 0)));
  EXPECT_FALSE(MachineUtcToLocal(At(2026, 13, 1, 0, 0)));
  ExpectTime(MachineLocalToUtc(At(2026, 2, 28, 23, 59)), 28, 23, 59);
}

}  // namespace
}  // namespace calendar_mirrow_addin
