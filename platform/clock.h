#pragma once

#include <cstdint>

namespace calendar_mirrow_addin::platform {

// The current time as milliseconds since 1970-01-01T00:00:00Z.
int64_t UtcNowMillis();

// Offset of the machine's current time zone from UTC (seconds east of Greenwich) in
// force at the given instant (seconds since 1970-01-01T00:00:00Z). False when the
// instant cannot be represented or the zone cannot be read.
bool LocalOffsetAt(int64_t unix_seconds, int32_t* offset_seconds);

}  // namespace calendar_mirrow_addin::platform
