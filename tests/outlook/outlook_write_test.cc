// Writing events into the simulated Outlook: what an import and an update leave in the
// store, the series' pattern and zone, changed and canceled occurrences, busy states and
// reminders, guests as recipients, the safe save, deleting, and the failures that must not
// leave a blank appointment behind. Events read back through Load must compare equal to what
// was written.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/text.h"
#include "model/recurrence.h"
#include "model/time_zone_map.h"
#include "outlook/dispatch_values.h"
#include "outlook/mapi_access.h"
#include "sim/outlook/property.h"
#include "sim/outlook/series.h"
#include "tests/outlook/outlook_fixture.h"
#include "tests/platform/env_guard.h"

namespace calendar_mirrow_addin {
namespace {

using ::testing::HasSubstr;
using testing::Hex;
using testing::kSecond;
using ::testing::Not;
using ::testing::UnorderedElementsAreArray;

constexpr wchar_t kAccount[] = L"ann@nexora.example";

std::unique_ptr<DateTime> At(int year, int month, int day, int hour, int minute) {
  return std::make_unique<DateTime>(DateTime::FromFields(day, month, year, hour, minute, 0, 0));
}

std::unique_ptr<DateTime> Day(int year, int month, int day) {
  return std::make_unique<DateTime>(DateTime::FromDate(day, month, year));
}

std::unique_ptr<Event> Appointment(const wchar_t* title, std::unique_ptr<DateTime> start,
                                   int minutes) {
  auto event = std::make_unique<Event>();
  event->set_ical_uid(std::wstring(L"uid-") + title + L"@nexora.example");
  event->set_title(title);
  event->set_location(L"Room 4");
  event->set_body(L"Agenda");
  event->set_end(std::make_unique<DateTime>(AddSeconds(*start, minutes * 60)));
  event->set_all_day(start->date_only);
  event->set_start(std::move(start));
  event->set_status(kEventStatusConfirmed);
  event->set_busy_status(kBusyStatusBusy);
  event->set_reminder_seconds(-1);
  return event;
}

// A series whose first occurrence is the event's own start.
std::unique_ptr<Event> Series(const wchar_t* title, std::unique_ptr<DateTime> start, int minutes,
                              const wchar_t* tzid, Frequency frequency) {
  auto event = Appointment(title, std::make_unique<DateTime>(*start), minutes);
  auto rule = std::make_unique<Recurrence>();
  rule->set_start(std::move(start));
  rule->set_duration(minutes * 60);
  rule->set_tzid(tzid);
  rule->set_frequency(frequency);
  rule->set_interval(1);
  // As a rule read from iCalendar text has it: daily and weekly rules name their days.
  if (frequency == kFrequencyDaily || frequency == kFrequencyWeekly) rule->set_days_of_week(0);
  event->set_recurrence(std::move(rule));
  event->set_is_recurring(true);
  return event;
}

// A changed occurrence of `series`, originally at `original`.
Event& AddException(Event& series, std::unique_ptr<DateTime> original,
                    std::unique_ptr<DateTime> start, bool canceled = false) {
  auto exception =
      Appointment(series.title().c_str(), std::make_unique<DateTime>(*start),
                  static_cast<int>(SecondsBetween(*series.end(), *series.start()) / 60));
  exception->set_ical_uid(series.ical_uid());
  exception->set_all_day(series.all_day());
  exception->set_original_date(std::move(original));
  if (canceled) exception->set_status(kEventStatusCanceled);
  Event& added = *exception;
  series.mutable_recurrence()->AddException(std::move(exception));
  return added;
}

struct GuestSpec {
  const wchar_t* email;
  const wchar_t* name;
  AttendanceType attendance;
  ResponseStatus response;
};

// What a stored recipient row says: address, display name, flags (-1: none), type, answer.
using RowView = std::tuple<std::wstring, std::wstring, int64_t, int64_t, int64_t>;

std::unique_ptr<Event> Meeting(std::initializer_list<GuestSpec> guests) {
  auto event = std::make_unique<Event>();
  for (const GuestSpec& g : guests) event->AddGuest(g.email, g.name, g.attendance, g.response);
  return event;
}

class OutlookWriteTest : public testing::OutlookFixture {
 protected:
  void SetUp() override {
    OutlookFixture::SetUp();
    outlook_->set_settle_wait([this](int milliseconds) { waits_.push_back(milliseconds); });
  }

  std::wstring Import(const Event& event) {
    std::wstring id;
    DateTime updated;
    now_ += kSecond;
    EXPECT_EQ(outlook_->Import(&event, &id, &updated, nullptr), S_OK) << log_.Text();
    return id;
  }

  int Update(const std::wstring& id, const Event& event) {
    std::wstring new_id;
    DateTime updated;
    now_ += kSecond;
    return outlook_->Update(id, &event, &new_id, &updated, nullptr);
  }

  // Every aspect but the modification time equal, and the changed occurrences too.
  void ExpectSame(const Event& written, const Event& read) {
    EXPECT_EQ(written.CompareTo(read) & kEquivalenceMask, kEquivalenceMask)
        << "written:\n"
        << WideToUtf8(written.Dump()) << "read:\n"
        << WideToUtf8(read.Dump());
    if (!written.is_recurring() || !read.is_recurring()) return;
    const auto& mine = written.recurrence()->exceptions();
    const auto& theirs = read.recurrence()->exceptions();
    ASSERT_EQ(mine.size(), theirs.size());
    for (const auto& exception : mine) {
      const auto match = std::find_if(theirs.begin(), theirs.end(), [&](const auto& other) {
        return OptionalEquals(exception->original_date(), other->original_date());
      });
      ASSERT_NE(match, theirs.end()) << WideToUtf8(FormatIso(*exception->original_date()));
      EXPECT_EQ((*match)->status(), exception->status());
      if (exception->status() == kEventStatusCanceled) continue;
      EXPECT_EQ(exception->CompareTo(**match) & kEquivalenceMask, kEquivalenceMask)
          << WideToUtf8(exception->Dump()) << WideToUtf8((*match)->Dump());
    }
  }

  // The first 48 bytes of the series' zone as stored.
  std::vector<uint8_t> Zone(const std::wstring& id) {
    NamedPropertyValue value;
    EXPECT_EQ(value.Read(ItemObject(id).get(), PSETID_Appointment, dispidTimeZoneStruct), S_OK);
    if (value.value == nullptr) return {};
    return std::vector<uint8_t>(value.value->Value.bin.lpb, value.value->Value.bin.lpb + 48);
  }
  LONG Long(IDispatch* object, const wchar_t* name) {
    LONG value = -99;
    EXPECT_EQ(GetLong(object, name, value), S_OK) << WideToUtf8(name);
    return value;
  }
  ComRef<IDispatch> Pattern(const std::wstring& id) {
    ComRef<IDispatch> pattern;
    EXPECT_EQ(CallForObject(ItemObject(id).get(), L"GetRecurrencePattern", nullptr, pattern), S_OK);
    return pattern;
  }
  std::optional<LONG> NamedLong(const std::wstring& id, LONG property) {
    NamedPropertyValue value;
    if (FAILED(value.Read(ItemObject(id).get(), PSETID_Appointment, property))) return std::nullopt;
    return value.value->Value.l;
  }

  std::vector<RowView> StoredRows(const sim::Bytes& entry_id) {
    std::vector<RowView> rows;
    for (const sim::PropMap& row : Item(entry_id).recipients) {
      const auto text = [&](ULONG tag) {
        const auto it = row.find(tag);
        return it == row.end() ? std::wstring() : std::get<std::wstring>(it->second);
      };
      const auto number = [&](ULONG tag) {
        const auto it = row.find(tag);
        return it == row.end() ? int64_t{-1} : std::get<int64_t>(it->second);
      };
      rows.emplace_back(text(PR_SMTP_ADDRESS_W), text(PR_DISPLAY_NAME_W),
                        number(PR_RECIPIENT_FLAGS), number(PR_RECIPIENT_TYPE),
                        number(sim::kPrRecipientTrackStatus));
    }
    return rows;
  }

  std::wstring Sender(IDispatch* item, ULONG tag) {
    std::wstring text;
    EXPECT_EQ(GetStringProperty(item, tag, text), S_OK);
    return text;
  }

  testing::EnvGuard utc_{"TZ", "UTC"};
  std::vector<int> waits_;
};

// Events of every shape written and read back: the same event comes back.
TEST_F(OutlookWriteTest, EventsReadBackAsTheyWereWritten) {
  std::vector<std::pair<const char*, std::unique_ptr<Event>>> cases;
  const auto add = [&](const char* name, std::unique_ptr<Event> event) -> Event& {
    return *cases.emplace_back(name, std::move(event)).second;
  };
  const auto remind = [](Event& event, int32_t seconds) {
    event.set_reminder_set(true);
    event.set_reminder_seconds(seconds);
  };
  remind(add("single, future reminder", Appointment(L"Dentist", At(2031, 5, 6, 7, 30), 45)), 900);
  remind(add("past, reminder kept", Appointment(L"Old", At(2021, 1, 4, 9, 0), 30)), 3600);
  add("all day", Appointment(L"Holiday", Day(2031, 6, 1), 2 * 1440));
  add("tentative", Appointment(L"Maybe", At(2031, 5, 6, 7, 30), 30))
      .set_status(kEventStatusTentative);
  add("free", Appointment(L"Lunch", At(2031, 5, 6, 11, 0), 60)).set_busy_status(kBusyStatusFree);
  Recurrence* rule = add("daily until, northern zone", Series(L"Standup", At(2031, 3, 24, 8, 0), 15,
                                                              L"Europe/Berlin", kFrequencyDaily))
                         .mutable_recurrence();
  rule->set_interval(2);
  rule->set_until(At(2031, 4, 29, 7, 0));  // the last one
  rule = add("weekly by count, across daylight time",
             Series(L"Review", At(2031, 3, 3, 15, 0), 60, L"America/New_York", kFrequencyWeekly))
             .mutable_recurrence();
  rule->set_days_of_week(kMonday | kThursday);
  rule->set_count(12);
  rule = add("monthly by date every 3 months, southern zone, no end",
             Series(L"Rent", At(2031, 1, 14, 23, 0), 30, L"Australia/Sydney", kFrequencyMonthly))
             .mutable_recurrence();
  rule->set_month_day(15);
  rule->set_interval(3);
  rule = add("every other month's last Friday, zone without daylight time",
             Series(L"Retro", At(2031, 1, 31, 1, 0), 60, L"Asia/Tokyo", kFrequencyMonthly))
             .mutable_recurrence();
  rule->set_days_of_week(kFriday);
  rule->set_ordwk(5);
  rule->set_interval(2);
  rule->set_count(6);
  rule = add("yearly by date",
             Series(L"Birthday", At(2031, 3, 14, 17, 0), 120, L"Europe/London", kFrequencyYearly))
             .mutable_recurrence();
  rule->set_month_day(14);
  rule->set_month(3);
  rule = add("yearly second Monday of May",
             Series(L"Summit", At(2031, 5, 12, 7, 0), 480, L"Europe/Berlin", kFrequencyYearly))
             .mutable_recurrence();
  rule->set_days_of_week(kMonday);
  rule->set_ordwk(2);
  rule->set_month(5);
  rule->set_until(At(2035, 5, 14, 7, 0));
  Event* series =
      &add("weekly with moved, changed and canceled occurrences",
           Series(L"Sync", At(2031, 3, 4, 9, 0), 30, L"Europe/Berlin", kFrequencyWeekly));
  series->mutable_recurrence()->set_days_of_week(kTuesday);
  series->mutable_recurrence()->set_count(8);
  AddException(*series, At(2031, 3, 11, 9, 0), At(2031, 3, 12, 13, 0));
  Event* changed = &AddException(*series, At(2031, 3, 18, 9, 0), At(2031, 3, 18, 9, 0));
  changed->set_title(L"Sync with guests from sales");
  changed->set_location(L"Hall");
  AddException(*series, At(2031, 3, 25, 9, 0), At(2031, 3, 25, 9, 0), true);
  series = &add("all-day weekly series with a canceled day",
                Series(L"Gym", Day(2031, 3, 3), 1440, L"", kFrequencyWeekly));
  series->mutable_recurrence()->set_days_of_week(kMonday);
  series->mutable_recurrence()->set_count(5);
  AddException(*series, Day(2031, 3, 10), Day(2031, 3, 10), true);
  Event& meeting = add("meeting the account organizes, every answer",
                       Appointment(L"Planning", At(2031, 5, 6, 7, 30), 60));
  meeting.AddGuest(kAccount, L"Ann", kAttendanceOrganizer, kResponseAccepted);
  meeting.AddGuest(L"bob@nexora.example", L"Bob", kAttendanceRequired, kResponseAccepted);
  meeting.AddGuest(L"carol@nexora.example", L"Carol", kAttendanceOptional, kResponseDeclined);
  meeting.AddGuest(L"dan@nexora.example", L"Dan", kAttendanceRequired, kResponseTentative);
  meeting.AddGuest(L"eve@nexora.example", L"Eve", kAttendanceOptional, kResponseInvited);
  series =
      &add("invitation series from a directory user, one occurrence with its own guests",
           Series(L"Weekly 1:1", At(2031, 3, 4, 9, 0), 30, L"Europe/Berlin", kFrequencyWeekly));
  series->mutable_recurrence()->set_days_of_week(kTuesday);
  series->mutable_recurrence()->set_count(4);
  series->AddGuest(L"olga@nexora.example", L"Olga Ortiz", kAttendanceOrganizer, kResponseAccepted);
  series->AddGuest(kAccount, L"Ann", kAttendanceRequired, kResponseAccepted);
  changed = &AddException(*series, At(2031, 3, 11, 9, 0), At(2031, 3, 11, 10, 0));
  changed->AddGuest(L"olga@nexora.example", L"Olga Ortiz", kAttendanceOrganizer, kResponseAccepted);
  changed->AddGuest(kAccount, L"Ann", kAttendanceRequired, kResponseTentative);
  changed->AddGuest(L"bob@nexora.example", L"Bob", kAttendanceOptional, kResponseInvited);
  changed->set_status(kEventStatusTentative);

  ASSERT_EQ(store_->AddDirectoryUser({L"Olga Ortiz", L"Olga@nexora.example", L"/o=Nexora/cn=olga"}),
            S_OK);
  for (const auto& [name, event] : cases) {
    SCOPED_TRACE(name);
    std::wstring id;
    DateTime updated;
    now_ += 5 * kSecond;
    ASSERT_EQ(outlook_->Import(event.get(), &id, &updated, nullptr), S_OK) << log_.Text();
    // The time reported is the item's own, so the next run does not take it for changed.
    std::unique_ptr<DateTime> modified;
    ASSERT_EQ(GetDateTime(ItemObject(id).get(), L"LastModificationTime", false, modified), S_OK);
    EXPECT_EQ(updated, *modified);
    // Series are written private, single events normal.
    EXPECT_EQ(Long(ItemObject(id).get(), L"Sensitivity"), event->is_recurring() ? 2 : 0);
    const Event* read = Loaded(id);
    ASSERT_NE(read, nullptr);
    ExpectSame(*event, *read);
    EXPECT_EQ(read->ical_uid(), event->ical_uid());
  }
  EXPECT_EQ(store_->refused_sends(), 0);
}

// Outlook keeps a yearly pattern at 12 months and refuses another interval: none is written.
TEST_F(OutlookWriteTest, AYearlyPatternKeepsOutlooksInterval) {
  auto event = Series(L"Board", At(2031, 3, 11, 9, 0), 60, L"Europe/Berlin", kFrequencyYearly);
  event->mutable_recurrence()->set_month_day(11);
  event->mutable_recurrence()->set_month(3);
  event->mutable_recurrence()->set_interval(4);
  const std::wstring id = Import(*event);
  EXPECT_THAT(log_.Text(), Not(HasSubstr("Interval")));
  ComRef<IDispatch> pattern = Pattern(id);
  for (const auto& [name, value] : {std::pair{L"RecurrenceType", 5},
                                    {L"DayOfMonth", 11},
                                    {L"MonthOfYear", 3},
                                    {L"Interval", 1}}) {
    EXPECT_EQ(Long(pattern.get(), name), value) << WideToUtf8(name);
  }
}

// An until before the series' time of day ends the series the day before, in its zone.
TEST_F(OutlookWriteTest, AnUntilBeforeTheTimeOfDayEndsTheDayBefore) {
  auto event = Series(L"Weekly", At(2008, 6, 1, 7, 0), 60, L"Europe/Berlin", kFrequencyWeekly);
  event->mutable_recurrence()->set_days_of_week(kSunday);
  event->mutable_recurrence()->set_until(At(2008, 6, 30, 6, 0));  // 08:00 in Berlin
  const std::wstring id = Import(*event);
  EXPECT_THAT(log_.Text(), HasSubstr("Subtracting one day"));
  DATE end = 0;
  ASSERT_EQ(GetDate(Pattern(id).get(), L"PatternEndDate", end), S_OK);
  SYSTEMTIME day{};
  ASSERT_NE(VariantTimeToSystemTime(end, &day), 0);
  EXPECT_EQ(std::tuple(day.wYear, day.wMonth, day.wDay), std::tuple(2008, 6, 29));
}

// Busy states and answers: what BusyStatus and the intended status hold afterwards.
TEST_F(OutlookWriteTest, BusyStateOfMeetingsAndInvitations) {
  struct Case {
    const char* name;
    const wchar_t* organizer;
    ResponseStatus own_answer;  // 0: the account is not a guest
    EventStatus status;
    LONG busy, intended;
  };
  const Case cases[] = {
      {"declined invitation", L"olga@nexora.example", kResponseDeclined, kEventStatusConfirmed, 0,
       2},
      {"accepted invitation", L"olga@nexora.example", kResponseAccepted, kEventStatusConfirmed, 2,
       2},
      {"unanswered invitation", L"olga@nexora.example", kResponseInvited, kEventStatusConfirmed, 1,
       2},
      {"own meeting, tentative", kAccount, kResponseAccepted, kEventStatusTentative, 1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto event = Appointment(L"Review", At(2031, 5, 6, 7, 30), 30);
    event->set_status(c.status);
    event->AddGuest(c.organizer, L"Org", kAttendanceOrganizer, kResponseAccepted);
    if (std::wstring(c.organizer) != kAccount) {
      event->AddGuest(kAccount, L"Ann", kAttendanceRequired, c.own_answer);
    }
    event->AddGuest(L"carol@nexora.example", L"Carol", kAttendanceOptional, kResponseAccepted);
    const std::wstring id = Import(*event);
    EXPECT_EQ(Long(ItemObject(id).get(), L"BusyStatus"), c.busy);
    EXPECT_EQ(NamedLong(id, dispidIntendedBusyStatus), c.intended);
  }

  // An invitation without the account among its guests is refused.
  auto stranger = Appointment(L"Not mine", At(2031, 5, 6, 7, 30), 30);
  stranger->AddGuest(L"olga@nexora.example", L"Olga", kAttendanceOrganizer, kResponseAccepted);
  stranger->AddGuest(L"carol@nexora.example", L"Carol", kAttendanceRequired, kResponseAccepted);
  const size_t before = store_->items().size();
  std::wstring id;
  DateTime updated;
  EXPECT_EQ(outlook_->Import(stranger.get(), &id, &updated, nullptr), E_FAIL);
  EXPECT_THAT(log_.Text(), HasSubstr("We are not invited!"));
  EXPECT_EQ(store_->items().size(), before);
  EXPECT_EQ(store_->refused_sends(), 0);
}

TEST_F(OutlookWriteTest, APastEventKeepsItsReminderLengthButDoesNotRing) {
  auto event = Appointment(L"Old", At(2021, 1, 4, 9, 0), 30);
  event->set_reminder_set(true);
  event->set_reminder_seconds(900);
  const std::wstring id = Import(*event);
  bool set = true;
  ASSERT_EQ(GetBool(ItemObject(id).get(), L"ReminderSet", set), S_OK);
  EXPECT_FALSE(set);
  std::wstring real;
  ASSERT_EQ(outlook_->GetUserProperty(ItemObject(id).get(), kRealReminderSet, &real), S_OK);
  EXPECT_EQ(real, L"900");

  // A new length replaces the old; without a reminder the user property goes.
  event->set_reminder_seconds(1800);
  ASSERT_EQ(Update(id, *event), S_OK);
  ASSERT_EQ(outlook_->GetUserProperty(ItemObject(id).get(), kRealReminderSet, &real), S_OK);
  EXPECT_EQ(real, L"1800");
  event->set_reminder_set(false);
  ASSERT_EQ(Update(id, *event), S_OK);
  ASSERT_EQ(outlook_->GetUserProperty(ItemObject(id).get(), kRealReminderSet, &real), S_OK);
  EXPECT_EQ(real, L"");
}

// Updates of a series: occurrences moved and canceled on an item that already has a
// pattern, the zone's settling wait only when a zone was there, and the series' own zone
// kept afterwards.
TEST_F(OutlookWriteTest, UpdatingASeriesMovesAndCancelsItsOccurrences) {
  auto event = Series(L"Sync", At(2031, 3, 4, 9, 0), 30, L"America/Sao_Paulo", kFrequencyWeekly);
  event->mutable_recurrence()->set_days_of_week(kTuesday);
  event->mutable_recurrence()->set_count(6);
  const std::wstring id = Import(*event);
  // Outlook settles only when a zone it already had changes: here when the series' own
  // zone replaces the machine's biases.
  EXPECT_THAT(waits_, ::testing::ElementsAre(100));
  const std::vector<uint8_t> own_zone = Zone(id);

  event->set_title(L"Sync moved");
  AddException(*event, At(2031, 3, 11, 9, 0), At(2031, 3, 13, 14, 0));
  AddException(*event, At(2031, 3, 18, 9, 0), At(2031, 3, 18, 9, 0), true);
  ASSERT_EQ(Update(id, *event), S_OK) << log_.Text();
  EXPECT_EQ(waits_.size(), 3u);
  const Event* read = Loaded(id);
  ASSERT_NE(read, nullptr);
  ExpectSame(*event, *read);
  EXPECT_EQ(Zone(id), own_zone);
}

// A series whose save fails still gets its own zone back: left with the machine's biases,
// Outlook would show every occurrence shifted by the difference.
TEST_F(OutlookWriteTest, ASeriesThatCannotBeSavedKeepsItsOwnZone) {
  auto event = Series(L"Sync", At(2031, 3, 4, 12, 0), 30, L"America/Sao_Paulo", kFrequencyWeekly);
  event->mutable_recurrence()->set_days_of_week(kTuesday);
  const std::wstring id = Import(*event);
  const std::vector<uint8_t> own = Zone(id);
  // The third save of an update is the safe save, after the pattern and the exceptions.
  store_->faults().FailMember(L"Save", MAPI_E_NETWORK_ERROR, 1, 2);
  event->set_title(L"Sync moved");
  EXPECT_EQ(Update(id, *event), DISP_E_EXCEPTION);
  EXPECT_THAT(log_.Text(), HasSubstr("Unable to save event"));
  EXPECT_EQ(Zone(id), own);
}

// A failure after the first save of an import takes the half-made item out again.
TEST_F(OutlookWriteTest, AFailedImportLeavesNoBlankAppointment) {
  struct Case {
    const char* name;
    std::function<void()> fault;
    const char* logged;
  };
  const Case cases[] = {
      {"the new id cannot be read",
       [&] { store_->faults().FailMember(L"EntryID", MAPI_E_NETWORK_ERROR); },
       "Error reading the ID of the new appointment"},
      {"the subject cannot be written",
       [&] { store_->faults().FailMember(L"Subject", E_ACCESSDENIED, 1); },
       "Error updating basic info"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto event = Appointment(L"Doomed", At(2031, 5, 6, 7, 30), 30);
    c.fault();
    std::wstring id;
    DateTime updated;
    EXPECT_NE(outlook_->Import(event.get(), &id, &updated, nullptr), S_OK);
    EXPECT_THAT(log_.Text(), HasSubstr(c.logged));
    EXPECT_THAT(store_->items(), ::testing::IsEmpty());
    EXPECT_THAT(log_.Text(), Not(HasSubstr("Error deleting unsuccessfully")));
  }
}

// The account (ann) organises, or is invited by an Exchange user whose directory address
// is not in lower case. Each write follows an earlier one, whose recipients must go.
TEST_F(OutlookWriteTest, GuestsAreWrittenAndReadBack) {
  ASSERT_EQ(store_->AddDirectoryUser({L"Olga Ortiz", L"Olga@nexora.example", L"/o=Nexora/cn=olga"}),
            S_OK);
  struct Case {
    std::initializer_list<GuestSpec> guests;
    LONG meeting_status;
    std::vector<RowView> rows;
    LONG item_response;
  };
  const Case cases[] = {
      {{{L"ann@nexora.example", L"Ann", kAttendanceOrganizer, kResponseAccepted},
        {L"bob@nexora.example", L"Bob", kAttendanceRequired, kResponseAccepted},
        {L"carol@nexora.example", L"", kAttendanceOptional, kResponseDeclined}},
       1,
       {{L"ann@nexora.example", L"Ann", 3, 1, 1},
        {L"bob@nexora.example", L"Bob", 1, 1, 3},
        {L"carol@nexora.example", L"carol@nexora.example", 1, 2, 4}},
       0},
      {{{L"olga@nexora.example", L"Olga O.", kAttendanceOrganizer, kResponseAccepted},
        {L"ann@nexora.example", L"Ann", kAttendanceOptional, kResponseTentative},
        {L"bob@nexora.example", L"Bob", kAttendanceRequired, kResponseInvited}},
       3,
       {{L"ann@nexora.example", L"Ann", 1, 2, 2},
        {L"bob@nexora.example", L"Bob", 1, 1, 5},
        {L"Olga@nexora.example", L"Olga O.", 3, 1, 1}},
       2},
  };
  for (const Case& c : cases) {
    const sim::Bytes entry_id = Add(L"Review");
    ComRef<IDispatch> item = ItemObject(entry_id);
    const auto earlier =
        Meeting({{L"dave@nexora.example", L"Dave", kAttendanceOrganizer, kResponseAccepted},
                 {L"bob@nexora.example", L"Bob", kAttendanceRequired, kResponseDeclined}});
    ASSERT_EQ(outlook_->WriteRecipients(earlier.get(), item.get()), S_OK);
    const auto event = Meeting(c.guests);
    ASSERT_EQ(outlook_->WriteRecipients(event.get(), item.get()), S_OK) << log_.Text();
    ASSERT_EQ(PutLong(item.get(), L"MeetingStatus", c.meeting_status), S_OK);
    ASSERT_EQ(CallMethodNoArgs(item.get(), L"Save"), S_OK);

    EXPECT_THAT(StoredRows(entry_id), UnorderedElementsAreArray(c.rows));
    LONG response = -1;
    ASSERT_EQ(GetLong(item.get(), L"ResponseStatus", response), S_OK);
    EXPECT_EQ(response, c.item_response);
    const GuestSpec& organizer = *c.guests.begin();
    EXPECT_EQ(Sender(item.get(), PR_SENDER_EMAIL_ADDRESS_W), organizer.email);
    EXPECT_EQ(Sender(item.get(), PR_SENDER_NAME_W), organizer.name);
    EXPECT_EQ(Sender(item.get(), PR_SENDER_ADDRTYPE_W), L"SMTP");
  }
  EXPECT_EQ(store_->refused_sends(), 0);
}

TEST_F(OutlookWriteTest, GuestsWithoutOrganizerOrAddressBookEntry) {
  struct Case {
    std::initializer_list<GuestSpec> guests;
    HRESULT result;
    size_t rows;
    bool organizer_missing;
  };
  const Case cases[] = {
      {{}, S_OK, 0, false},
      {{{L"bob@nexora.example", L"Bob", kAttendanceRequired, kResponseAccepted}}, E_FAIL, 1, true},
      // An address nobody can resolve stays as typed; the rows after it are still patched.
      {{{L"front desk@nexora.example", L"Desk", kAttendanceOptional, kResponseInvited},
        {L"olga@nexora.example", L"Olga", kAttendanceOrganizer, kResponseAccepted}},
       S_OK,
       2,
       false},
  };
  for (const Case& c : cases) {
    log_.Clear();
    const sim::Bytes entry_id = Add(L"Sync");
    ComRef<IDispatch> item = ItemObject(entry_id);
    const auto earlier =
        Meeting({{L"dave@nexora.example", L"Dave", kAttendanceOrganizer, kResponseAccepted}});
    ASSERT_EQ(outlook_->WriteRecipients(earlier.get(), item.get()), S_OK);
    const auto event = Meeting(c.guests);
    EXPECT_EQ(outlook_->WriteRecipients(event.get(), item.get()), c.result);
    ASSERT_EQ(CallMethodNoArgs(item.get(), L"Save"), S_OK);
    const auto rows = StoredRows(entry_id);
    EXPECT_EQ(rows.size(), c.rows);
    EXPECT_EQ(log_.Contains("Cannot find organizer among guests"), c.organizer_missing);
    if (c.rows == 2) {
      EXPECT_THAT(rows, ::testing::Contains(RowView{L"olga@nexora.example", L"Olga", 3, 1, 1}));
      EXPECT_THAT(rows, ::testing::Contains(RowView{L"", L"front desk@nexora.example", -1, 2, 5}));
    }
  }
}

TEST_F(OutlookWriteTest, SafeSaveIgnoresOnlyASeriesWhoseEveryOccurrenceIsGone) {
  const auto series = [](bool until, int32_t count, std::initializer_list<EventStatus> states) {
    auto event = std::make_unique<Event>();
    auto recurrence = std::make_unique<Recurrence>();
    if (until) recurrence->set_until(ParseIso(L"2023-06-30T00:00:00.000Z"));
    recurrence->set_count(count);
    for (EventStatus status : states) {
      auto exception = std::make_unique<Event>();
      exception->set_status(status);
      recurrence->AddException(std::move(exception));
    }
    event->set_recurrence(std::move(recurrence));
    return event;
  };
  struct Case {
    std::unique_ptr<Event> event;
    bool save_fails;
    HRESULT result;
  };
  Case cases[] = {
      {series(true, -1, {kEventStatusCanceled}), false, S_OK},
      {series(true, -1, {kEventStatusCanceled, kEventStatusCanceled}), true, S_FALSE},
      {series(false, 4, {kEventStatusCanceled}), true, S_FALSE},
      {series(false, -1, {kEventStatusCanceled}), true, DISP_E_EXCEPTION},
      {series(false, 4, {kEventStatusCanceled, kEventStatusConfirmed}), true, DISP_E_EXCEPTION},
      {series(true, -1, {}), true, DISP_E_EXCEPTION},
      {std::make_unique<Event>(), true, DISP_E_EXCEPTION},
  };
  const sim::Bytes entry_id = Add(L"Weekly");
  ComRef<IDispatch> item = ItemObject(entry_id);
  for (const Case& c : cases) {
    log_.Clear();
    if (c.save_fails) store_->faults().Fail(sim::FaultPoint::kSave, MAPI_E_NO_ACCESS, 1);
    EXPECT_EQ(outlook_->SafeSave(c.event.get(), item.get()), c.result);
    EXPECT_EQ(log_.Contains("Ignore Save failure since we think that all ocurrences were deleted"),
              c.result == S_FALSE);
    EXPECT_EQ(log_.Contains("Unable to save event"), FAILED(c.result));
  }
}

TEST_F(OutlookWriteTest, DeleteRemovesTheItemAndReportsAMissingOne) {
  const sim::Bytes entry_id = Add(L"Lunch");
  const sim::Bytes other = Add(L"Dinner");
  std::wstring message;
  EXPECT_EQ(outlook_->Delete(Hex(entry_id), &message), 0);
  EXPECT_EQ(store_->Find(entry_id), nullptr);
  EXPECT_NE(store_->Find(other), nullptr);
  for (const std::wstring& id : {Hex(entry_id), std::wstring(L"not an id")}) {
    ComRef<IDispatch> item;
    const HRESULT lookup = outlook_->GetItemFromId(id, item);
    ASSERT_TRUE(FAILED(lookup));
    EXPECT_EQ(outlook_->Delete(id, &message), lookup);
  }
  store_->faults().SetReadOnly(other, true);
  // Outlook raises the refusal as an exception of the call.
  EXPECT_EQ(outlook_->Delete(Hex(other), &message), DISP_E_EXCEPTION);
  EXPECT_NE(store_->Find(other), nullptr);
}

}  // namespace
}  // namespace calendar_mirrow_addin
