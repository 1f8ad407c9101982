#pragma once

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

}  // namespace calendar_mirrow_addin
