#pragma once

// Times as a person types them on the command line and reads them back.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/system_time.h"
#include "model/date_time.h"
#include "platform/com/oleaut.h"

namespace calendar_mirrow_addin::cli {

// "2026-12-08", "2026-12-08T09:00", "2026-12-08T09:00:30", each optionally followed by "Z".
struct TypedTime {
  SystemTime fields;
  bool date_only = false;
  bool utc = false;  // ends in "Z"
};
std::optional<TypedTime> ParseTypedTime(std::string_view text);

// The instant a typed time stands for: UTC with "Z", else the local time of `zone` (an
// Olson name) or, with an empty zone, of the machine. A date alone stays a date. Null with
// the reason in `error` for an unknown zone or a local time that cannot be placed.
std::unique_ptr<DateTime> TypedTimeToUtc(const TypedTime& time, const std::wstring& zone,
                                         std::string* error);
// Both steps; the reason names the text when it is no time at all.
std::unique_ptr<DateTime> ParseTimeArgument(const std::string& text, const std::wstring& zone,
                                            std::string* error);

// An automation date (the machine's local time) as "2026-12-08T09:00", or "2026-12-08"
// with `date_only`; "(none)" for a date that cannot be converted.
std::string FormatAutomationDate(DATE date, bool date_only);

// The automation date (the machine's local time) of a UTC instant; none when it cannot be
// converted.
std::optional<DATE> AutomationDateOf(const DateTime& utc);

}  // namespace calendar_mirrow_addin::cli
