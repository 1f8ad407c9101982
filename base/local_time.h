#pragma once

#include <cstdint>
#include <optional>

#include "base/system_time.h"

namespace calendar_mirrow_addin {

// The current time in UTC, milliseconds kept.
SystemTime UtcNow();

// Conversions through the machine's current time-zone rules. Local times in the hour
// skipped when clocks go forward, and in the hour repeated when they go back, are read
// as daylight time, as the Windows conversion does. None for out-of-range values.
std::optional<SystemTime> MachineUtcToLocal(const SystemTime& utc);
std::optional<SystemTime> MachineLocalToUtc(const SystemTime& local);

// The machine zone's biases in minutes, as the system reports them for the current zone:
// UTC = local + bias (+ daylight_bias in daylight time); standard_bias is 0. Daylight time
// is the larger of the offsets in force in January and July of the year of `at`.
struct ZoneBiases {
  int32_t bias = 0;
  int32_t standard_bias = 0;
  int32_t daylight_bias = 0;
};
std::optional<ZoneBiases> MachineZoneBiases(const SystemTime& at);

}  // namespace calendar_mirrow_addin
