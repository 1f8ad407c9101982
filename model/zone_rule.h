#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/system_time.h"

namespace calendar_mirrow_addin {

// A Windows time-zone rule as the registry describes it: UTC = local + bias (+ the
// standard or daylight bias), and the two yearly transitions. A transition date with
// year 0 names month, day of week (0 = Sunday), week of month in `day` (1-5, 5 = last)
// and the wall-clock hour/minute; `standard_date` is given in daylight time and
// `daylight_date` in standard time. A daylight date with month 0: the zone has no daylight
// time (the standard date is then ignored).
struct ZoneRule {
  int32_t bias = 0;
  int32_t standard_bias = 0;
  int32_t daylight_bias = 0;
  SystemTime standard_date;
  SystemTime daylight_date;
};

// The 48-byte form (bias at 0, standard bias at 4, daylight bias at 8, standard date at
// 14, daylight date at 32, little-endian, other bytes zero) as 96 upper-case hex digits.
std::wstring ZoneRuleToHex(const ZoneRule& rule);
// The hex form of a copy whose two transition hours are 0: zones that differ only in
// the hour of their transitions share it.
std::wstring ZoneRuleFuzzyKey(const ZoneRule& rule);
// Reads the 96-digit hex form (either letter case); false for anything else.
bool ZoneRuleFromHex(std::wstring_view hex, ZoneRule* rule);
// Reads the registry's 44-byte TZI value given as 88 hex digits.
bool ZoneRuleFromTziHex(std::string_view hex, ZoneRule* rule);

// Conversions with the Windows semantics. Local times in the skipped hour and in the
// repeated hour are read as daylight time. False for invalid input or a malformed rule.
bool RuleUtcToLocal(const ZoneRule& rule, const SystemTime& utc, SystemTime* local);
bool RuleLocalToUtc(const ZoneRule& rule, const SystemTime& local, SystemTime* utc);

}  // namespace calendar_mirrow_addin
