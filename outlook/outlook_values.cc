#include "outlook/outlook_values.h"

#include <array>

namespace calendar_mirrow_addin {

namespace {

constexpr int32_t kAllDays =
    kSunday | kMonday | kTuesday | kWednesday | kThursday | kFriday | kSaturday;
// The reminder lengths Outlook offers: 5 to 45 minutes, 1 to 3 hours, 1 and 2 days, a week.
constexpr std::array<int32_t, 13> kReminderLengths = {300,  600,  900,   1200,  1500,   1800,  2700,
                                                      3600, 7200, 10800, 86400, 172800, 604800};
// The smallest recurrence data that holds a whole pattern, and where its end type may lie
// (after a pattern-specific part of 0, 4 or 8 bytes).
constexpr size_t kMinimumPatternSize = 50;
constexpr std::array<size_t, 3> kEndTypeOffsets = {22, 26, 30};

}  // namespace

BusyState BusyStateFromOutlook(int32_t busy_status) {
  switch (busy_status) {
    case 0:
      return {kEventStatusConfirmed, kBusyStatusFree, true};
    case 1:
      return {kEventStatusTentative, kBusyStatusBusy, true};
    case 2:
    case 3:
      return {kEventStatusConfirmed, kBusyStatusBusy, true};
    default:
      return {kEventStatusConfirmed, kBusyStatusBusy, false};
  }
}

ResponseStatus ResponseFromOutlook(int32_t response) {
  switch (response) {
    case 1:  // organized
    case 3:
      return kResponseAccepted;
    case 2:
      return kResponseTentative;
    case 4:
      return kResponseDeclined;
    default:  // none, not responded, anything else
      return kResponseInvited;
  }
}

int32_t OutlookResponseOfGuest(const Guest& guest) {
  if (guest.attendance_type == kAttendanceOrganizer) return 1;
  switch (guest.response_status) {
    case kResponseAccepted:
      return 3;
    case kResponseDeclined:
      return 4;
    case kResponseTentative:
      return 2;
    default:
      return 5;
  }
}

RecipientRole RoleFromOutlook(int32_t type) {
  switch (type) {
    case 1:
      return {kAttendanceRequired, true};
    case 2:
      return {kAttendanceOptional, true};
    case 0:  // the organizer, added on its own
    case 3:  // a resource (a room), not a guest
      return {std::nullopt, true};
    default:
      return {std::nullopt, false};
  }
}

std::optional<int32_t> OutlookTypeOfGuest(const Guest& guest) {
  switch (guest.attendance_type) {
    case kAttendanceRequired:
      return 1;
    case kAttendanceOptional:
      return 2;
    default:
      return std::nullopt;
  }
}

std::optional<RecurrenceKind> RecurrenceKindFromOutlook(int32_t type) {
  switch (type) {
    case 0:
      return RecurrenceKind{kFrequencyDaily, true};
    case 1:
      return RecurrenceKind{kFrequencyWeekly, true};
    case 2:
      return RecurrenceKind{kFrequencyMonthly, false};
    case 3:
      return RecurrenceKind{kFrequencyMonthly, true};
    case 5:
      return RecurrenceKind{kFrequencyYearly, false};
    case 6:
      return RecurrenceKind{kFrequencyYearly, true};
    default:
      return std::nullopt;
  }
}

bool IsInvitation(const Event& event, const std::wstring& account) {
  return event.HasGuests() && !event.IsOrganizer(account);
}

int32_t OutlookMeetingStatus(const Event& event, const std::wstring& account) {
  if (event.status() == kEventStatusCanceled) return 5;
  if (!event.HasGuests()) return 0;
  return IsInvitation(event, account) ? 3 : 1;
}

int32_t OutlookBusyStatus(const Event& event) {
  if (event.status() == kEventStatusTentative) return 1;
  return event.busy_status() == kBusyStatusBusy ? 2 : 0;
}

int32_t OutlookBusyOfAnswer(int32_t busy, ResponseStatus answer) {
  switch (answer) {
    case kResponseAccepted:
      return busy;
    case kResponseDeclined:
      return 0;
    default:
      return 1;
  }
}

int32_t OutlookRecurrenceType(Frequency frequency, int32_t days_of_week) {
  const bool by_position = days_of_week >= 1;
  switch (frequency) {
    case kFrequencyWeekly:
      return 1;
    case kFrequencyMonthly:
      return by_position ? 3 : 2;
    case kFrequencyYearly:
      return by_position ? 6 : 5;
    default:
      return 0;
  }
}

int32_t DaysFromOutlookMask(int32_t mask) { return mask < 1 ? mask : mask & kAllDays; }

int32_t RoundReminderSeconds(int32_t seconds) {
  if (seconds == -1) return -1;
  for (const int32_t length : kReminderLengths) {
    if (seconds <= length) return length;
  }
  return kReminderLengths.back();
}

EndTypeResult RecurrenceEndType(std::span<const uint8_t> data) {
  if (data.size() < kMinimumPatternSize) return {0, true, false};
  for (const size_t offset : kEndTypeOffsets) {
    if (data[offset + 1] != 0x20 || data[offset + 2] != 0 || data[offset + 3] != 0) continue;
    const uint8_t end_type = data[offset];
    const bool valid =
        end_type == kEndsByDate || end_type == kEndsAfterCount || end_type == kNeverEnds;
    return {end_type, false, valid};
  }
  // Early versions wrote 0xFFFFFFFF for a series without end, which no offset matches.
  return {kNeverEnds, false, true};
}

}  // namespace calendar_mirrow_addin
