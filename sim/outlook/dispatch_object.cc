#include "sim/outlook/dispatch_object.h"

#include "base/local_time.h"

namespace calendar_mirrow_addin::sim {

std::optional<DATE> LocalDate(FileTime utc) {
  const auto fields = FileTimeToSystemTime(utc);
  if (!fields) return std::nullopt;
  const auto local = MachineUtcToLocal(*fields);
  if (!local) return std::nullopt;
  SYSTEMTIME system{local->year, local->month,  local->day_of_week, local->day,
                    local->hour, local->minute, local->second,      local->milliseconds};
  DATE date = 0;
  if (SystemTimeToVariantTime(&system, &date) == 0) return std::nullopt;
  return date;
}

std::optional<FileTime> UtcFileTime(DATE local_date) {
  SYSTEMTIME system{};
  if (VariantTimeToSystemTime(local_date, &system) == 0) return std::nullopt;
  const SystemTime local{system.wYear, system.wMonth,  system.wDayOfWeek, system.wDay,
                         system.wHour, system.wMinute, system.wSecond,    system.wMilliseconds};
  const auto utc = MachineLocalToUtc(local);
  if (!utc) return std::nullopt;
  return SystemTimeToFileTime(*utc);
}

// Local midnight at or before (or, rounding up, at or after) a UTC time.
std::optional<FileTime> LocalMidnight(FileTime utc, bool round_up) {
  const auto date = LocalDate(utc);
  if (!date) return std::nullopt;
  double day = std::floor(*date);
  if (round_up && *date > day) day += 1;
  return UtcFileTime(day);
}

bool IsAppointmentClass(const std::wstring& message_class) {
  static const std::wstring kPrefix = L"ipm.appointment";
  const std::wstring lower = ToLower(message_class);
  return lower.compare(0, kPrefix.size(), kPrefix) == 0 &&
         (lower.size() == kPrefix.size() || lower[kPrefix.size()] == L'.');
}

}  // namespace calendar_mirrow_addin::sim
