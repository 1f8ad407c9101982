// Loading appointments in full from the simulated Outlook: fields, free/busy state,
// reminders, guests with both ways of resolving addresses, and series in zones of their own.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/text.h"
#include "model/time_zone_map.h"
#include "outlook/dispatch_values.h"
#include "outlook/mapi_access.h"
#include "sim/outlook/series.h"
#include "tests/outlook/outlook_fixture.h"
#include "tests/platform/env_guard.h"

namespace calendar_mirrow_addin {
namespace {

using testing::Hex;

class OutlookLoadTest : public testing::OutlookFixture {
 protected:
  void PutSender(const sim::Bytes& entry_id, const std::wstring& sender) {
    SPropValue value{};
    value.ulPropTag = PR_SENDER_EMAIL_ADDRESS_W;
    std::wstring copy = sender;
    value.Value.lpszW = copy.data();
    ASSERT_EQ(SetProperty(ItemObject(entry_id).get(), value), S_OK);
  }

  // Adds a recipient through the object model as a user types it, and resolves it.
  void AddRecipient(IDispatch* item, const std::wstring& text, LONG type, LONG response) {
    ComRef<IDispatch> recipients, recipient;
    ASSERT_EQ(GetObjectProperty(item, L"Recipients", recipients), S_OK);
    Variant argument;
    argument.value.vt = VT_BSTR;
    argument.value.bstrVal = SysAllocString(text.c_str());
    ASSERT_EQ(CallForObject(recipients.get(), L"Add", &argument.value, recipient), S_OK);
    Variant ignored;
    CallMethod(recipient.get(), L"Resolve", &ignored.value, 0, nullptr);
    ASSERT_EQ(PutLong(recipient.get(), L"Type", type), S_OK);
    ASSERT_EQ(PutLong(recipient.get(), L"MeetingResponseStatus", response), S_OK);
  }
};

TEST_F(OutlookLoadTest, TimesStatesAndRemindersOfSingleAppointments) {
  struct Case {
    LONG busy;
    bool reminder_set;
    LONG minutes;
    const wchar_t* real_reminder;  // the user property, when not null
    EventStatus status;
    BusyStatus busy_status;
    bool loaded_set;
    int32_t loaded_seconds;
  };
  const Case cases[] = {
      {1, true, 0, nullptr, kEventStatusTentative, kBusyStatusBusy, true, 300},
      {0, true, 4 * 1440, nullptr, kEventStatusConfirmed, kBusyStatusFree, true, 604800},
      {2, false, 15, L"900", kEventStatusConfirmed, kBusyStatusBusy, true, 900},
      {3, false, 15, L"-1", kEventStatusConfirmed, kBusyStatusBusy, false, -1},
      {9, false, 15, nullptr, kEventStatusConfirmed, kBusyStatusBusy, false, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.busy);
    const sim::Bytes entry_id = Add(L"Dentist");
    ComRef<IDispatch> item = ItemObject(entry_id);
    ASSERT_EQ(PutBool(item.get(), L"ReminderSet", c.reminder_set), S_OK);
    ASSERT_EQ(PutLong(item.get(), L"ReminderMinutesBeforeStart", c.minutes), S_OK);
    if (c.real_reminder != nullptr) {
      ASSERT_EQ(outlook_->SetUserProperty(item.get(), L"RealReminderSet ", c.real_reminder), S_OK);
    }
    ASSERT_EQ(CallMethodNoArgs(item.get(), L"Save"), S_OK);
    // Through MAPI, where a value Outlook would refuse can be stored.
    SPropValue busy{};
    busy.Value.l = c.busy;
    ASSERT_EQ(SetNamedProperty(item.get(), PSETID_Appointment, 0x8205, busy, PT_LONG), S_OK);

    // The texts are read back by the write tests' round trip.
    const Event* event = Loaded(entry_id);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(FormatIso(*event->start()), L"2023-02-27T01:00:00.000Z");
    EXPECT_EQ(FormatIso(*event->end()), L"2023-02-27T01:30:00.000Z");
    EXPECT_FALSE(event->HasGuests());
    EXPECT_EQ(event->status(), c.status);
    EXPECT_EQ(event->busy_status(), c.busy_status);
    EXPECT_EQ(event->reminder_set(), c.loaded_set);
    EXPECT_EQ(event->reminder_seconds(), c.loaded_seconds);
    EXPECT_FALSE(event->is_recurring());
    EXPECT_FALSE(event->load_failed());
  }
}

// A meeting someone else organised, which the user accepted: its guests whichever way
// addresses are resolved, without the room and without an address nobody knows.
TEST_F(OutlookLoadTest, GuestsOfAnInvitationWithBothWaysOfResolving) {
  for (const bool address_book : {true, false}) {
    SCOPED_TRACE(address_book);
    Open("", address_book);
    ASSERT_EQ(
        store_->AddDirectoryUser({L"Dave Diaz", L"Dave@nexora.example", L"/o=Nexora/cn=dave"}),
        S_OK);
    const sim::Bytes entry_id = Add(L"Review");
    ComRef<IDispatch> item = ItemObject(entry_id);
    ASSERT_EQ(PutLong(item.get(), L"MeetingStatus", 3), S_OK);
    ASSERT_EQ(PutLong(item.get(), L"ResponseStatus", 3), S_OK);
    ASSERT_EQ(PutLong(item.get(), L"BusyStatus", 2), S_OK);
    AddRecipient(item.get(), L"carol@nexora.example", 1, 2);
    AddRecipient(item.get(), L"/o=Nexora/cn=dave", 2, 4);
    AddRecipient(item.get(), L"/o=Nexora/cn=ghost", 1, 3);
    AddRecipient(item.get(), L"room-4@nexora.example", 3, 3);
    ASSERT_EQ(CallMethodNoArgs(item.get(), L"Save"), S_OK);
    PutSender(entry_id, L"olga@nexora.example");
    const size_t items_before = store_->items().size();

    const Event* event = Loaded(entry_id);
    ASSERT_NE(event, nullptr);
    std::vector<std::tuple<std::wstring, AttendanceType, ResponseStatus>> guests;
    for (const auto& [email, guest] : event->guests()) {
      guests.emplace_back(email, guest.attendance_type, guest.response_status);
    }
    EXPECT_THAT(guests,
                ::testing::UnorderedElementsAre(
                    std::tuple{L"carol@nexora.example", kAttendanceRequired, kResponseTentative},
                    std::tuple{L"dave@nexora.example", kAttendanceOptional, kResponseDeclined},
                    std::tuple{L"ann@nexora.example", kAttendanceOptional, kResponseAccepted},
                    std::tuple{L"olga@nexora.example", kAttendanceOrganizer, kResponseAccepted}));
    // The temporary appointment of the other way is gone again.
    EXPECT_EQ(store_->items().size(), items_before);
    EXPECT_EQ(store_->refused_sends(), 0);
  }
}

TEST_F(OutlookLoadTest, AnItemThatIsGoneFailsItsLoad) {
  const sim::Bytes entry_id = Add(L"Gone");
  std::wstring error;
  ASSERT_TRUE(outlook_->LoadEvents(nullptr, error, nullptr));
  ASSERT_EQ(store_->Delete(entry_id), S_OK);
  Event* event = outlook_->events().at(Hex(entry_id)).get();
  EXPECT_FALSE(outlook_->Load(event));
  EXPECT_TRUE(event->load_failed());
  EXPECT_TRUE(log_.Contains("Error getting item from ID"));
}

// Series in a zone of their own, read while this machine keeps UTC.
class OutlookSeriesLoadTest : public OutlookLoadTest {
 protected:
  sim::Bytes AddSeries(const sim::RecurrenceView& view, const wchar_t* olson,
                       bool all_day = false) {
    ZoneRule rule;
    std::wstring label;
    EXPECT_TRUE(TimeZoneMap::Instance().GetZoneRule(olson, rule));
    EXPECT_TRUE(TimeZoneMap::Instance().GetDisplayLabel(olson, label));
    sim::AppointmentSeed seed;
    seed.subject = L"Series";
    seed.all_day = all_day;
    seed.start = testing::kMonday;
    return sim::AddRecurringAppointment(*store_, seed, view, *EntryIdBytes(ZoneRuleToHex(rule)),
                                        label);
  }
  static sim::RecurrenceView View(sim::OlRecurrenceType type, int year, int month, int day,
                                  int minute_of_day) {
    sim::RecurrenceView view;
    view.type = type;
    view.pattern_start_date = *sim::ToLocalMinutes({year, month, day});
    view.start_time = minute_of_day;
    view.duration = 60;
    return view;
  }

  ::calendar_mirrow_addin::testing::EnvGuard utc_{"TZ", "UTC"};
};

TEST_F(OutlookSeriesLoadTest, EachRecurrenceTypeLoadsItsRule) {
  using Type = sim::OlRecurrenceType;
  using End = sim::RecurrenceView::End;
  struct Case {
    Type type;
    int interval, mask, day_of_month, month, instance;
    End end;
    const wchar_t* first;  // the first occurrence, local
    const wchar_t* rule;
  };
  const Case cases[] = {
      {Type::kWeekly, 1, kMonday | kWednesday, 0, 0, 0, End::kAfterOccurrences, L"20230227T090000",
       L"FREQ=WEEKLY;COUNT=10;BYDAY=MO,WE"},
      {Type::kDaily, 2, 0, 0, 0, 0, End::kOnDate, L"20230227T090000",
       L"FREQ=DAILY;UNTIL=20230309T080000Z;INTERVAL=2"},
      {Type::kMonthly, 1, 0, 31, 0, 0, End::kNever, L"20230228T090000",
       L"FREQ=MONTHLY;BYMONTHDAY=31"},
      {Type::kMonthNth, 1, kFriday, 0, 0, 5, End::kAfterOccurrences, L"20230331T090000",
       L"FREQ=MONTHLY;COUNT=10;BYDAY=-1FR"},
      {Type::kYearly, 1, 0, 14, 3, 0, End::kNever, L"20230314T090000",
       L"FREQ=YEARLY;BYMONTHDAY=14;BYMONTH=3"},
      {Type::kYearNth, 1, kMonday, 0, 5, 2, End::kNever, L"20230508T090000",
       L"FREQ=YEARLY;BYDAY=2MO;BYMONTH=5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.type));
    sim::RecurrenceView view = View(c.type, 2023, 2, 27, 9 * 60);
    view.interval = c.interval;
    view.day_of_week_mask = c.mask;
    view.day_of_month = c.day_of_month;
    view.month_of_year = c.month;
    view.instance = c.instance;
    view.end = c.end;
    view.occurrences = 10;
    view.pattern_end_date = *sim::ToLocalMinutes({2023, 3, 10});
    const Event* event = Loaded(AddSeries(view, L"Europe/Berlin"));
    ASSERT_TRUE(event != nullptr && event->recurrence() != nullptr);
    const Recurrence& r = *event->recurrence();
    EXPECT_TRUE(event->is_recurring());
    EXPECT_EQ(r.text(), std::wstring(L"DTSTART;TZID=Europe/Berlin:") + c.first +
                            L"\r\nDURATION:PT3600S\r\nRRULE:" + c.rule);
    // The rule's text reads back as the rule loaded.
    EXPECT_TRUE(RecurrenceEquals(ParseRecurrence(r.text()).get(), &r)) << r.text();
  }
}

TEST_F(OutlookSeriesLoadTest, AnAllDaySeriesOnTheLeapDayHasNoZone) {
  sim::RecurrenceView view = View(sim::OlRecurrenceType::kYearly, 2024, 2, 29, 0);
  view.day_of_month = 29;
  view.month_of_year = 2;
  view.duration = 1440;
  const Event* event = Loaded(AddSeries(view, L"Europe/Berlin", true));
  ASSERT_TRUE(event != nullptr && event->recurrence() != nullptr);
  EXPECT_EQ(event->recurrence()->frequency(), kFrequencyYearly);
  EXPECT_EQ(event->recurrence()->month(), 2);
  EXPECT_EQ(event->recurrence()->month_day(), 29);
  EXPECT_EQ(event->recurrence()->tzid(), L"");
  EXPECT_TRUE(event->recurrence()->start()->date_only);
}

// A part of a series that cannot be read keeps the whole series from being synchronised,
// rather than sending a wrong rule without its exceptions.
TEST_F(OutlookSeriesLoadTest, ASeriesPartThatCannotBeReadFailsTheLoad) {
  for (const wchar_t* member : {L"MonthOfYear", L"DayOfMonth", L"Exceptions"}) {
    SCOPED_TRACE(WideToUtf8(member));
    sim::RecurrenceView view = View(sim::OlRecurrenceType::kYearly, 2023, 3, 14, 9 * 60);
    view.day_of_month = 14;
    view.month_of_year = 3;
    const sim::Bytes entry_id = AddSeries(view, L"Europe/Berlin");
    store_->faults().FailMember(member, MAPI_E_CALL_FAILED);
    const Event* event = Loaded(entry_id, false);
    ASSERT_NE(event, nullptr);
    EXPECT_TRUE(event->load_failed());
    store_->faults().Clear();
  }
  // A series without end whose stored data says it ends by date.
  sim::RecurrenceView view = View(sim::OlRecurrenceType::kDaily, 2023, 3, 14, 9 * 60);
  const sim::Bytes entry_id = AddSeries(view, L"Europe/Berlin");
  store_->faults().SetRecurrenceEndType(entry_id, 0x2021);
  const Event* event = Loaded(entry_id, false);
  ASSERT_NE(event, nullptr);
  EXPECT_TRUE(event->load_failed());
  EXPECT_TRUE(log_.Contains("Inconsistent pattern end date"));
}

// A weekly series at 23:30 in Tokyo, east of this machine: one occurrence moved, one
// deleted. Both keep the series' UID and the date they had in the series.
TEST_F(OutlookSeriesLoadTest, MovedAndDeletedOccurrencesKeepTheirOriginalDates) {
  sim::RecurrenceView view = View(sim::OlRecurrenceType::kWeekly, 2023, 2, 27, 23 * 60 + 30);
  view.day_of_week_mask = kMonday;
  const sim::Bytes entry_id = AddSeries(view, L"Asia/Tokyo");
  ComRef<IDispatch> item = ItemObject(entry_id), pattern, moved, deleted;
  ASSERT_EQ(CallForObject(item.get(), L"GetRecurrencePattern", nullptr, pattern), S_OK);
  // 14:30Z on 6 and 13 March (23:30 in Tokyo), then 15:30Z and 16:30Z on 6 March.
  const std::pair<int, int> utc[] = {{6, 14}, {13, 14}, {6, 15}, {6, 16}};
  Variant times[4];
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(
        DateTimeToVariant(DateTime::FromFields(utc[i].first, 3, 2023, utc[i].second, 30, 0, 0),
                          L"local-tz-id", times[i].value));
  }
  ASSERT_EQ(CallForObject(pattern.get(), L"GetOccurrence", &times[0].value, moved), S_OK);
  ASSERT_EQ(PutProperty(moved.get(), L"Start", times[2].value), S_OK);
  ASSERT_EQ(PutProperty(moved.get(), L"End", times[3].value), S_OK);
  ASSERT_EQ(CallMethodNoArgs(moved.get(), L"Save"), S_OK);
  ASSERT_EQ(CallForObject(pattern.get(), L"GetOccurrence", &times[1].value, deleted), S_OK);
  ASSERT_EQ(CallMethodNoArgs(deleted.get(), L"Delete"), S_OK);

  const Event* event = Loaded(entry_id);
  ASSERT_TRUE(event != nullptr && event->recurrence() != nullptr);
  EXPECT_EQ(event->recurrence()->tzid(), L"Asia/Tokyo");
  std::vector<std::tuple<std::wstring, std::wstring, EventStatus>> exceptions;
  for (const auto& exception : event->recurrence()->exceptions()) {
    EXPECT_EQ(exception->ical_uid(), event->ical_uid());
    exceptions.emplace_back(FormatIso(*exception->original_date()),
                            exception->start() ? FormatIso(*exception->start()) : L"",
                            exception->status());
  }
  EXPECT_THAT(exceptions, ::testing::UnorderedElementsAre(
                              std::tuple{L"2023-03-06T14:30:00.000Z", L"2023-03-06T15:30:00.000Z",
                                         kEventStatusConfirmed},
                              std::tuple{L"2023-03-13T14:30:00.000Z", L"", kEventStatusCanceled}));
}

}  // namespace
}  // namespace calendar_mirrow_addin
