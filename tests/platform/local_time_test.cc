// Conversions through the machine's own zone.

#include <gtest/gtest.h>

#include <vector>

#include "base/local_time.h"
#include "tests/platform/env_guard.h"
#include "tests/support/system_time_builders.h"

namespace calendar_mirrow_addin {
namespace {

using testing::At;
using testing::EnvGuard;
using testing::Show;

TEST(MachineTimeTest, ConvertsThroughTheMachineZoneAndRefusesInvalidFields) {
  // POSIX rule strings need no zone database on the machine.
  const char* new_york = "EST5EDT,M3.2.0,M11.1.0";
  const char* sydney = "AEST-10AEDT,M10.1.0,M4.1.0/3";
  const struct {
    const char* zone;
    bool to_utc;
    SystemTime from;
    std::vector<int> day_hour_minute;  // expected
  } cases[] = {
      {new_york, false, At(2026, 1, 15, 17, 0), {15, 12, 0}},
      {new_york, false, At(2026, 7, 15, 16, 0), {15, 12, 0}},
      {new_york, true, At(2026, 7, 15, 22, 30), {16, 2, 30}},  // the date changes too
      // 2026-03-08 02:30 does not exist and 2026-11-01 01:30 happens twice: both are read
      // as daylight time; just outside them the ordinary offsets apply.
      {new_york, true, At(2026, 3, 8, 2, 30), {8, 6, 30}},
      {new_york, true, At(2026, 11, 1, 1, 30), {1, 5, 30}},
      {new_york, true, At(2026, 3, 8, 1, 59), {8, 6, 59}},
      {new_york, true, At(2026, 3, 8, 3, 0), {8, 7, 0}},
      {new_york, true, At(2026, 11, 1, 2, 0), {1, 7, 0}},
      // Southern zone: daylight time spans the year end; the repeated hour is in April.
      {sydney, false, At(2026, 12, 31, 14, 0), {1, 1, 0}},
      {sydney, false, At(2026, 6, 30, 14, 0), {1, 0, 0}},
      {sydney, true, At(2026, 4, 5, 2, 30), {4, 15, 30}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.zone << " " << c.to_utc << " " << Show(c.from));
    testing::EnvGuard tz("TZ", c.zone);
    const auto t = c.to_utc ? MachineLocalToUtc(c.from) : MachineUtcToLocal(c.from);
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(std::vector<int>({t->day, t->hour, t->minute}), c.day_hour_minute);
  }
  testing::EnvGuard tz("TZ", "UTC0");
  EXPECT_FALSE(MachineLocalToUtc(At(2026, 2, 30, 0, 0)));
  EXPECT_FALSE(MachineUtcToLocal(At(2026, 13, 1, 0, 0)));
}

}  // namespace
}  // namespace calendar_mirrow_addin
