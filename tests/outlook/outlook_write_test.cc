// Writing events into the simulated Outlook: what an import and an update leave in the
// store, the series' pattern and zone, changed and canceled occurrences, busy states and
// reminders, and the failures that must not leave a blank appointment behind. Events read
// back through Load must compare equal to what was written.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/text.h"
#include "model/recurrence.h"
#include "model/time_zone_map.h"
#include "outlook/dispatch_values.h"
#include "outlook/global_object_id.h"
#include "outlook/mapi_access.h"
#include "sim/outlook/series.h"
#include "tests/outlook/outlook_fixture.h"
#include "tests/platform/env_guard.h"

namespace calendar_mirrow_addin {
namespace {

using ::testing::HasSubstr;
using testing::Hex;
using testing::kSecond;
using ::testing::Not;

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

  // The event as a sync would read it: listed briefly, then loaded in full.
  Event* Loaded(const std::wstring& id) {
    outlook_->mutable_events().clear();
    std::wstring error;
    EXPECT_TRUE(outlook_->LoadEvents(nullptr, error, nullptr));
    const auto found = outlook_->events().find(id);
    if (found == outlook_->events().end()) {
      ADD_FAILURE() << "not listed: " << WideToUtf8(id);
      return nullptr;
    }
    EXPECT_TRUE(outlook_->Load(found->second.get())) << log_.Text();
    return found->second.get();
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

  ComRef<IDispatch> ItemOf(const std::wstring& id) {
    ComRef<IDispatch> item;
    EXPECT_EQ(outlook_->GetItemFromId(id, item), S_OK);
    return item;
  }
  LONG Long(IDispatch* object, const wchar_t* name) {
    LONG value = -99;
    EXPECT_EQ(GetLong(object, name, value), S_OK) << WideToUtf8(name);
    return value;
  }
  ComRef<IDispatch> Pattern(const std::wstring& id) {
    ComRef<IDispatch> pattern;
    EXPECT_EQ(CallForObject(ItemOf(id).get(), L"GetRecurrencePattern", nullptr, pattern), S_OK);
    return pattern;
  }
  std::optional<LONG> NamedLong(const std::wstring& id, LONG property) {
    NamedPropertyValue value;
    if (FAILED(value.Read(ItemOf(id).get(), PSETID_Appointment, property))) return std::nullopt;
    return value.value->Value.l;
  }

  testing::EnvGuard utc_{"TZ", "UTC"};
  std::vector<int> waits_;
};

// Events of every shape written and read back: the same event comes back.
TEST_F(OutlookWriteTest, EventsReadBackAsTheyWereWritten) {
  using Make = std::function<std::unique_ptr<Event>()>;
  const std::vector<std::pair<const char*, Make>> cases = {
      {"single, future reminder",
       [] {
         auto e = Appointment(L"Dentist", At(2031, 5, 6, 7, 30), 45);
         e->set_reminder_set(true);
         e->set_reminder_seconds(900);
         return e;
       }},
      {"past, reminder kept",
       [] {
         auto e = Appointment(L"Old", At(2021, 1, 4, 9, 0), 30);
         e->set_reminder_set(true);
         e->set_reminder_seconds(3600);
         return e;
       }},
      {"all day", [] { return Appointment(L"Holiday", Day(2031, 6, 1), 2 * 1440); }},
      {"tentative",
       [] {
         auto e = Appointment(L"Maybe", At(2031, 5, 6, 7, 30), 30);
         e->set_status(kEventStatusTentative);
         return e;
       }},
      {"free",
       [] {
         auto e = Appointment(L"Lunch", At(2031, 5, 6, 11, 0), 60);
         e->set_busy_status(kBusyStatusFree);
         return e;
       }},
      {"daily until, northern zone",
       [] {
         auto e = Series(L"Standup", At(2031, 3, 24, 8, 0), 15, L"Europe/Berlin", kFrequencyDaily);
         e->mutable_recurrence()->set_interval(2);
         e->mutable_recurrence()->set_until(At(2031, 4, 29, 7, 0));  // the last one
         return e;
       }},
      {"weekly by count, across daylight time",
       [] {
         auto e =
             Series(L"Review", At(2031, 3, 3, 15, 0), 60, L"America/New_York", kFrequencyWeekly);
         e->mutable_recurrence()->set_days_of_week(kMonday | kThursday);
         e->mutable_recurrence()->set_count(12);
         return e;
       }},
      {"monthly by date, southern zone, no end",
       [] {
         auto e =
             Series(L"Rent", At(2031, 1, 14, 23, 0), 30, L"Australia/Sydney", kFrequencyMonthly);
         e->mutable_recurrence()->set_month_day(15);
         return e;
       }},
      {"monthly last Friday, zone without daylight time",
       [] {
         auto e = Series(L"Retro", At(2031, 1, 31, 1, 0), 60, L"Asia/Tokyo", kFrequencyMonthly);
         e->mutable_recurrence()->set_days_of_week(kFriday);
         e->mutable_recurrence()->set_ordwk(5);
         e->mutable_recurrence()->set_count(6);
         return e;
       }},
      {"yearly by date",
       [] {
         auto e =
             Series(L"Birthday", At(2031, 3, 14, 17, 0), 120, L"Europe/London", kFrequencyYearly);
         e->mutable_recurrence()->set_month_day(14);
         e->mutable_recurrence()->set_month(3);
         return e;
       }},
      {"yearly second Monday of May",
       [] {
         auto e = Series(L"Summit", At(2031, 5, 12, 7, 0), 480, L"Europe/Berlin", kFrequencyYearly);
         e->mutable_recurrence()->set_days_of_week(kMonday);
         e->mutable_recurrence()->set_ordwk(2);
         e->mutable_recurrence()->set_month(5);
         e->mutable_recurrence()->set_until(At(2035, 5, 14, 7, 0));
         return e;
       }},
      {"weekly with moved, changed and canceled occurrences",
       [] {
         auto e = Series(L"Sync", At(2031, 3, 4, 9, 0), 30, L"Europe/Berlin", kFrequencyWeekly);
         e->mutable_recurrence()->set_days_of_week(kTuesday);
         e->mutable_recurrence()->set_count(8);
         AddException(*e, At(2031, 3, 11, 9, 0), At(2031, 3, 12, 13, 0));
         Event& changed = AddException(*e, At(2031, 3, 18, 9, 0), At(2031, 3, 18, 9, 0));
         changed.set_title(L"Sync with guests from sales");
         changed.set_location(L"Hall");
         AddException(*e, At(2031, 3, 25, 9, 0), At(2031, 3, 25, 9, 0), true);
         return e;
       }},
      {"all-day weekly series with a canceled day",
       [] {
         auto e = Series(L"Gym", Day(2031, 3, 3), 1440, L"", kFrequencyWeekly);
         e->mutable_recurrence()->set_days_of_week(kMonday);
         e->mutable_recurrence()->set_count(5);
         AddException(*e, Day(2031, 3, 10), Day(2031, 3, 10), true);
         return e;
       }},
      {"meeting the account organizes, every answer",
       [] {
         auto e = Appointment(L"Planning", At(2031, 5, 6, 7, 30), 60);
         e->AddGuest(kAccount, L"Ann", kAttendanceOrganizer, kResponseAccepted);
         e->AddGuest(L"bob@nexora.example", L"Bob", kAttendanceRequired, kResponseAccepted);
         e->AddGuest(L"carol@nexora.example", L"Carol", kAttendanceOptional, kResponseDeclined);
         e->AddGuest(L"dan@nexora.example", L"Dan", kAttendanceRequired, kResponseTentative);
         e->AddGuest(L"eve@nexora.example", L"Eve", kAttendanceOptional, kResponseInvited);
         return e;
       }},
      {"invitation series from a directory user, one occurrence with its own guests",
       [] {
         auto e =
             Series(L"Weekly 1:1", At(2031, 3, 4, 9, 0), 30, L"Europe/Berlin", kFrequencyWeekly);
         e->mutable_recurrence()->set_days_of_week(kTuesday);
         e->mutable_recurrence()->set_count(4);
         e->AddGuest(L"olga@nexora.example", L"Olga Ortiz", kAttendanceOrganizer,
                     kResponseAccepted);
         e->AddGuest(kAccount, L"Ann", kAttendanceRequired, kResponseAccepted);
         Event& changed = AddException(*e, At(2031, 3, 11, 9, 0), At(2031, 3, 11, 10, 0));
         changed.AddGuest(L"olga@nexora.example", L"Olga Ortiz", kAttendanceOrganizer,
                          kResponseAccepted);
         changed.AddGuest(kAccount, L"Ann", kAttendanceRequired, kResponseTentative);
         changed.AddGuest(L"bob@nexora.example", L"Bob", kAttendanceOptional, kResponseInvited);
         changed.set_status(kEventStatusTentative);
         return e;
       }},
  };
  ASSERT_EQ(store_->AddDirectoryUser({L"Olga Ortiz", L"Olga@nexora.example", L"/o=Nexora/cn=olga"}),
            S_OK);
  for (const auto& [name, make] : cases) {
    SCOPED_TRACE(name);
    const auto event = make();
    const std::wstring id = Import(*event);
    const Event* read = Loaded(id);
    ASSERT_NE(read, nullptr);
    ExpectSame(*event, *read);
    EXPECT_EQ(read->ical_uid(), event->ical_uid());
  }
  EXPECT_EQ(store_->refused_sends(), 0);
}

// What an import leaves in the store, as Outlook's own lists see it.
TEST_F(OutlookWriteTest, AnImportStoresTheUidPrivacyAndModificationTime) {
  auto single = Appointment(L"Dentist", At(2031, 5, 6, 7, 30), 45);
  std::wstring id;
  DateTime updated;
  now_ += 5 * kSecond;
  ASSERT_EQ(outlook_->Import(single.get(), &id, &updated, nullptr), S_OK);
  NamedPropertyValue uid;
  ASSERT_EQ(uid.Read(ItemOf(id).get(), PSETID_Meeting, GLOBAL_OBJID), S_OK);
  EXPECT_EQ(UidFromGlobalObjectId({uid.value->Value.bin.lpb, uid.value->Value.bin.cb}),
            single->ical_uid());
  std::unique_ptr<DateTime> modified;
  ASSERT_EQ(GetDateTime(ItemOf(id).get(), L"LastModificationTime", false, modified), S_OK);
  EXPECT_EQ(updated, *modified);
  EXPECT_EQ(Long(ItemOf(id).get(), L"Sensitivity"), 0);

  auto series = Series(L"Standup", At(2031, 3, 24, 8, 0), 15, L"Europe/Berlin", kFrequencyDaily);
  const std::wstring series_id = Import(*series);
  EXPECT_EQ(Long(ItemOf(series_id).get(), L"Sensitivity"), 2);
  EXPECT_EQ(store_->items().size(), 2u);
}

// The pattern's own fields for the kinds of rule, as Outlook holds them.
TEST_F(OutlookWriteTest, PatternFieldsOfEachKindOfRule) {
  struct Case {
    const char* name;
    Frequency frequency;
    int32_t days, ordwk, month_day, month, interval;
    LONG type, instance, mask, day_of_month, month_of_year, interval_read;
    bool interval_written;
  };
  const Case cases[] = {
      {"second Tuesday", kFrequencyMonthly, kTuesday, 2, -1, -1, 2, 3, 2, 4, 0, 0, 2, true},
      {"day 15", kFrequencyMonthly, 0, 0, 15, -1, 3, 2, 0, 0, 15, 0, 3, true},
      {"yearly", kFrequencyYearly, 0, 0, 11, 3, 4, 5, 0, 0, 11, 3, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto event = Series(L"Board", At(2031, 3, 11, 9, 0), 60, L"Europe/Berlin", c.frequency);
    Recurrence& rule = *event->mutable_recurrence();
    rule.set_days_of_week(c.days);
    rule.set_ordwk(c.ordwk);
    rule.set_month_day(c.month_day);
    rule.set_month(c.month);
    rule.set_interval(c.interval);
    log_.Clear();
    const std::wstring id = Import(*event);
    const bool interval_written = log_.Text().find("Interval") != std::string::npos;
    ComRef<IDispatch> pattern = Pattern(id);
    EXPECT_EQ(Long(pattern.get(), L"RecurrenceType"), c.type);
    if (c.instance != 0) {
      EXPECT_EQ(Long(pattern.get(), L"Instance"), c.instance);
    }
    if (c.mask != 0) {
      EXPECT_EQ(Long(pattern.get(), L"DayOfWeekMask"), c.mask);
    }
    if (c.day_of_month != 0) {
      EXPECT_EQ(Long(pattern.get(), L"DayOfMonth"), c.day_of_month);
    }
    if (c.month_of_year != 0) {
      EXPECT_EQ(Long(pattern.get(), L"MonthOfYear"), c.month_of_year);
    }
    EXPECT_EQ(Long(pattern.get(), L"Interval"), c.interval_read);
    EXPECT_EQ(interval_written, c.interval_written);
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
    EXPECT_EQ(Long(ItemOf(id).get(), L"BusyStatus"), c.busy);
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
  ASSERT_EQ(GetBool(ItemOf(id).get(), L"ReminderSet", set), S_OK);
  EXPECT_FALSE(set);
  std::wstring real;
  ASSERT_EQ(outlook_->GetUserProperty(ItemOf(id).get(), kRealReminderSet, &real), S_OK);
  EXPECT_EQ(real, L"900");

  // Without a reminder the user property goes.
  event->set_reminder_set(false);
  ASSERT_EQ(Update(id, *event), S_OK);
  ASSERT_EQ(outlook_->GetUserProperty(ItemOf(id).get(), kRealReminderSet, &real), S_OK);
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
  NamedPropertyValue zone_before;
  ASSERT_EQ(zone_before.Read(ItemOf(id).get(), PSETID_Appointment, dispidTimeZoneStruct), S_OK);
  const std::vector<uint8_t> own_zone(zone_before.value->Value.bin.lpb,
                                      zone_before.value->Value.bin.lpb + 48);

  event->set_title(L"Sync moved");
  AddException(*event, At(2031, 3, 11, 9, 0), At(2031, 3, 13, 14, 0));
  AddException(*event, At(2031, 3, 18, 9, 0), At(2031, 3, 18, 9, 0), true);
  ASSERT_EQ(Update(id, *event), S_OK) << log_.Text();
  EXPECT_EQ(waits_.size(), 3u);
  const Event* read = Loaded(id);
  ASSERT_NE(read, nullptr);
  ExpectSame(*event, *read);
  NamedPropertyValue zone_after;
  ASSERT_EQ(zone_after.Read(ItemOf(id).get(), PSETID_Appointment, dispidTimeZoneStruct), S_OK);
  EXPECT_EQ(
      std::vector<uint8_t>(zone_after.value->Value.bin.lpb, zone_after.value->Value.bin.lpb + 48),
      own_zone);
}

// A series whose save fails still gets its own zone back: left with the machine's biases,
// Outlook would show every occurrence shifted by the difference.
TEST_F(OutlookWriteTest, ASeriesThatCannotBeSavedKeepsItsOwnZone) {
  auto event = Series(L"Sync", At(2031, 3, 4, 12, 0), 30, L"America/Sao_Paulo", kFrequencyWeekly);
  event->mutable_recurrence()->set_days_of_week(kTuesday);
  const std::wstring id = Import(*event);
  const auto zone = [&] {
    NamedPropertyValue value;
    EXPECT_EQ(value.Read(ItemOf(id).get(), PSETID_Appointment, dispidTimeZoneStruct), S_OK);
    return std::vector<uint8_t>(value.value->Value.bin.lpb, value.value->Value.bin.lpb + 48);
  };
  const std::vector<uint8_t> own = zone();
  // The third save of an update is the safe save, after the pattern and the exceptions.
  store_->faults().FailMember(L"Save", MAPI_E_NETWORK_ERROR, 1, 2);
  event->set_title(L"Sync moved");
  EXPECT_EQ(Update(id, *event), DISP_E_EXCEPTION);
  EXPECT_THAT(log_.Text(), HasSubstr("Unable to save event"));
  EXPECT_EQ(zone(), own);
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

}  // namespace
}  // namespace calendar_mirrow_addin
