// The translations between Outlook's values and the event record, and the end type read
// from recurrence data that is damaged or old.

#include "outlook/outlook_values.h"

#include <gtest/gtest.h>

#include "sim/outlook/recurrence.h"

namespace calendar_mirrow_addin {
namespace {

TEST(OutlookValuesTest, AnswersAndRolesOutsideTheUsualOnes) {
  // Busy states are read end to end by the load tests; unknown answers read as invited.
  const std::pair<int32_t, ResponseStatus> answers[] = {
      {0, kResponseInvited},  {1, kResponseAccepted}, {2, kResponseTentative},
      {3, kResponseAccepted}, {4, kResponseDeclined}, {5, kResponseInvited},
      {99, kResponseInvited}};
  for (const auto& [outlook, response] : answers) {
    EXPECT_EQ(ResponseFromOutlook(outlook), response) << outlook;
  }
  // Every answer and role of a guest is written and read back by the write tests; the
  // organizer is always the one who organised, and is no recipient type.
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

TEST(OutlookValuesTest, UnknownTypesMasksAndReminders) {
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

// The end type of every form of pattern is read by the load tests; here the data no
// calendar writes.
TEST(OutlookValuesTest, EndTypeOfDamagedOrOldRecurrenceData) {
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
