#pragma once

// The translations between Outlook's values and the event record, in both directions:
// busy and meeting states, answers, recipient roles, recurrence types and day masks,
// reminder lengths, and the end type kept in a series' recurrence data. Pure functions,
// so that reading and writing an event agree on every value.

#include <cstdint>
#include <optional>
#include <span>

#include "model/event.h"
#include "model/recurrence.h"

namespace calendar_mirrow_addin {

// Outlook's BusyStatus (0 free, 1 tentative, 2 busy, 3 out of office) as the event's
// state and free/busy; `known` is false for a value outside 0 to 3 (read as busy).
struct BusyState {
  EventStatus status;
  BusyStatus busy_status;
  bool known;
};
BusyState BusyStateFromOutlook(int32_t busy_status);

// Whether the event is a meeting the account (its e-mail in lower case) was invited to
// rather than one it organizes.
bool IsInvitation(const Event& event, const std::wstring& account);
// The MeetingStatus written for an event: 5 canceled, 1 a meeting the account organizes,
// 3 an invitation, 0 no meeting.
int32_t OutlookMeetingStatus(const Event& event, const std::wstring& account);
// The BusyStatus of the event's own state: 1 tentative, 2 busy, 0 free.
int32_t OutlookBusyStatus(const Event& event);
// An invitation's BusyStatus after the account's answer: accepted keeps `busy`, declined
// is free, tentative or no answer yet is tentative.
int32_t OutlookBusyOfAnswer(int32_t busy, ResponseStatus answer);

// An item's ResponseStatus or a recipient's MeetingResponseStatus as the guest's answer.
ResponseStatus ResponseFromOutlook(int32_t response);
// The MeetingResponseStatus written for a guest.
int32_t OutlookResponseOfGuest(const Guest& guest);

// A recipient's Type: none for the organizer (0) and resources (3), which are not guests,
// and for any value outside 0 to 3 (`valid` false).
struct RecipientRole {
  std::optional<AttendanceType> attendance;
  bool valid;
};
RecipientRole RoleFromOutlook(int32_t type);
// The Type written for a guest; none for the organizer, who is not written as one.
std::optional<int32_t> OutlookTypeOfGuest(const Guest& guest);

// Outlook's RecurrenceType (0 daily, 1 weekly, 2 monthly, 3 month-nth, 5 yearly,
// 6 year-nth) as a frequency, and whether the series is by position (Instance and
// DayOfWeekMask) rather than by date (DayOfMonth); none for another value.
struct RecurrenceKind {
  Frequency frequency;
  bool by_position;
};
std::optional<RecurrenceKind> RecurrenceKindFromOutlook(int32_t type);
int32_t OutlookRecurrenceType(Frequency frequency, int32_t days_of_week);
// The days of an Outlook mask that the event's days can hold; a value below 1 is kept.
int32_t DaysFromOutlookMask(int32_t mask);

// A reminder in seconds rounded up to the next length Outlook offers (5 minutes to one
// week); -1 (none) stays -1.
int32_t RoundReminderSeconds(int32_t seconds);

// The end type kept in a series' recurrence data: '!' ends by date, '"' after a count,
// '#' never. `valid` is false (and the byte says what was found) for data too short to be
// a pattern or an end type of another value.
inline constexpr uint8_t kEndsByDate = 0x21;
inline constexpr uint8_t kEndsAfterCount = 0x22;
inline constexpr uint8_t kNeverEnds = 0x23;
struct EndTypeResult {
  uint8_t end_type;
  bool too_short;
  bool valid;
};
EndTypeResult RecurrenceEndType(std::span<const uint8_t> data);

}  // namespace calendar_mirrow_addin
