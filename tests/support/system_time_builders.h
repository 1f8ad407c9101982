#pragma once

#include <cstdint>

#include "base/system_time.h"

namespace calendar_mirrow_addin::testing {

// A SystemTime from its calendar fields; day_of_week stays 0.
inline SystemTime At(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                     int milliseconds = 0) {
  const auto f = [](int value) { return static_cast<uint16_t>(value); };
  return {f(year), f(month), 0, f(day), f(hour), f(minute), f(second), f(milliseconds)};
}

}  // namespace calendar_mirrow_addin::testing
