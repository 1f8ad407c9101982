#include "platform/clock.h"

#include <time.h>

#include <limits>

namespace calendar_mirrow_addin::platform {

int64_t UtcNowMillis() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool LocalOffsetAt(int64_t unix_seconds, int32_t* offset_seconds) {
  if (unix_seconds < std::numeric_limits<time_t>::min() ||
      unix_seconds > std::numeric_limits<time_t>::max()) {
    return false;
  }
  // TZ may have been changed by the caller (tests do); tzset makes localtime_r see it.
  tzset();
  const time_t t = static_cast<time_t>(unix_seconds);
  tm local{};
  if (localtime_r(&t, &local) == nullptr) return false;
  *offset_seconds = static_cast<int32_t>(local.tm_gmtoff);
  return true;
}

}  // namespace calendar_mirrow_addin::platform
