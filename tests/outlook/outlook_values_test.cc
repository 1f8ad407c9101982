// The translations between Outlook's values and the event record, and the end type read
// from recurrence data as the simulated Outlook stores it.

#include "outlook/outlook_values.h"

#include <gtest/gtest.h>

#include "sim/outlook/recurrence.h"

namespace calendar_mirrow_addin {
namespace {

TEST(OutlookValuesTest, StatesAnswersAndRolesMapBothWays) {
  struct Busy {
    int32_t outlook;
    EventStatus status;
    BusyStatus busy;
    bool known;
  };
  for (const Busy& b : {Busy{0, kEventStatusConfirmed, kBusyStatusFree, true},
                        Busy{1, kEventStatusTentative, kBusyStatusBusy, true},
                        Busy{2, kEventStatusConfirmed, kBusyStatusBusy, true},
                        Busy{3, kEventStatusConfirmed, kBusyStatusBusy, true},
                        Busy{7, kEventStatusConfirmed, kBusyStatusBusy, false}}) {
    const BusyState state = BusyStateFromOutlook(b.outlook);
    EXPECT_EQ(state.status, b.status) << b.outlook;
    EXPECT_EQ(state.busy_status, b.busy) << b.outlook;
    EXPECT_EQ(state.known, b.known) << b.outlook;
  }
  const std::pair<int32_t, ResponseStatus> answers[] = {
      {0, kResponseInvited},  {1, kResponseAccepted}, {2, kResponseTentative},
      {3, kResponseAccepted}, {4, kResponseDeclined}, {5, kResponseInvited},
      {99, kResponseInvited}};
  for (const auto& [outlook, response] : answers) {
    EXPECT_EQ(ResponseFromOutlook(outlook), response) << outlook;
  }
  // A guest's answer and role written to Outlook read back as they were.
  for (const ResponseStatus response :
       {kResponseInvited, kResponseAccepted, kResponseDeclined, kResponseTentative}) {
    for (const AttendanceType role : {kAttendanceOptional, kAttendanceRequired}) {
      const Guest guest(L"bob@nexora.example", L"Bob", role, response);
      EXPECT_EQ(ResponseFromOutlook(OutlookResponseOfGuest(guest)), response);
      EXPECT_EQ(RoleFromOutlook(*OutlookTypeOfGuest(guest)).attendance, role);
    }
  }
  const Guest organizer(L"ann@nexora.example", L"", kAttendanceOrganizer, kResponseInvited);
  EXPECT_EQ(OutlookResponseOfGuest(organizer), 1);
  EXPECT_FALSE(OutlookTypeOfGuest(organizer));
  for (const int32_t not_a_guest : {0, 3}) {
    EXPECT_TRUE(RoleFromOutlook(not_a_guest).valid);
    EXPECT_FALSE(RoleFromOutlook(not_a_guest).attendance);
  }
  EXPECT_FALSE(RoleFromOutlook(4).valid);
  EXPECT_FALSE(RoleFromOutlook(-1).valid);
}

TEST(OutlookValuesTest, RecurrenceTypesMasksAndReminders) {
  for (const int32_t type : {0, 1, 2, 3, 5, 6}) {
    const auto kind = RecurrenceKindFromOutlook(type);
    ASSERT_TRUE(kind) << type;
    EXPECT_EQ(OutlookRecurrenceType(kind->frequency, kind->by_position ? kMonday : 0), type);
  }
  EXPECT_FALSE(RecurrenceKindFromOutlook(4));
  EXPECT_EQ(DaysFromOutlookMask(kMonday | kWednesday | 128), kMonday | kWednesday);
  EXPECT_EQ(DaysFromOutlookMask(0), 0);
  EXPECT_EQ(DaysFromOutlookMask(-3), -3);

  const std::pair<int32_t, int32_t> reminders[] = {{-1, -1},
                                                   {0, 300},
                                                   {300, 300},
                                                   {301, 600},
                                                   {2000, 2700},
                                                   {3600, 3600},
                                                   {4 * 86400, 604800},
                                                   {172801, 604800},
                                                   {10'000'000, 604800}};
  for (const auto& [seconds, rounded] : reminders) {
    EXPECT_EQ(RoundReminderSeconds(seconds), rounded) << seconds;
  }
}

// The end type is found in data written as the calendar writes it, for each form whose
// pattern-specific part has another length.
TEST(OutlookValuesTest, EndTypeIsReadFromStoredRecurrenceData) {
  using View = sim::RecurrenceView;
  const auto start = *sim::ToLocalMinutes({2024, 1, 8});
  struct Case {
    sim::OlRecurrenceType type;
    View::End end;
    uint8_t expected;
  };
  for (const Case& c : {Case{sim::OlRecurrenceType::kDaily, View::End::kAfterOccurrences, 0x22},
                        Case{sim::OlRecurrenceType::kWeekly, View::End::kOnDate, 0x21},
                        Case{sim::OlRecurrenceType::kMonthly, View::End::kNever, 0x23},
                        Case{sim::OlRecurrenceType::kMonthNth, View::End::kAfterOccurrences, 0x22},
                        Case{sim::OlRecurrenceType::kYearNth, View::End::kOnDate, 0x21}}) {
    View view;
    view.type = c.type;
    if (c.type != sim::OlRecurrenceType::kDaily) view.day_of_week_mask = kMonday;
    view.instance = 2;
    view.pattern_start_date = start;
    view.end = c.end;
    view.occurrences = 5;
    view.pattern_end_date = start + 800 * sim::kMinutesPerDay;
    view.start_time = 9 * 60;
    view.duration = 30;
    const auto pattern = sim::PatternFromView(view);
    ASSERT_TRUE(pattern) << static_cast<int>(c.type);
    const sim::Bytes data = sim::EncodeAppointmentRecur(*pattern);
    const EndTypeResult result = RecurrenceEndType(data);
    EXPECT_TRUE(result.valid);
    EXPECT_EQ(result.end_type, c.expected) << static_cast<int>(c.type);
  }
  EXPECT_TRUE(RecurrenceEndType(sim::Bytes(49, 0)).too_short);
  sim::Bytes odd(60, 0);
  odd[22] = 0x30;
  odd[23] = 0x20;
  EXPECT_FALSE(RecurrenceEndType(odd).valid);
  EXPECT_EQ(RecurrenceEndType(odd).end_type, 0x30);
  // Old data without any end type marker never ends.
  EXPECT_EQ(RecurrenceEndType(sim::Bytes(60, 0xFF)).end_type, 0x23);
}

}  // namespace
}  // namespace calendar_mirrow_addin
