#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/system_time.h"

namespace calendar_mirrow_addin::testing {

// A SystemTime from its calendar fields; day_of_week stays 0.
inline SystemTime At(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                     int milliseconds = 0) {
  const auto f = [](int value) { return static_cast<uint16_t>(value); };
  return {f(year), f(month), 0, f(day), f(hour), f(minute), f(second), f(milliseconds)};
}

// "YYYY-MM-DD hh:mm:ss", for failure messages.
inline std::string Show(const SystemTime& t) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

}  // namespace calendar_mirrow_addin::testing
