#include "model/event.h"

#include <gtest/gtest.h>

#include <functional>

#include "model/recurrence.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

std::unique_ptr<DateTime> Utc(int year, int month, int day, int hour, int minute) {
  return std::make_unique<DateTime>(DateTime::FromFields(day, month, year, hour, minute, 0, 0));
}

// A fully filled event; `variant` changes the fields that are not part of equivalence.
std::unique_ptr<Event> MakeEvent(int variant = 0) {
  auto event = std::make_unique<Event>();
  event->set_id(L"id-" + std::to_wstring(variant));
  event->set_updated(Utc(2008, 3, 7, 9, variant));
  event->set_title(L"Lunch");
  event->set_location(L"Cafe");
  event->set_body(L"Bring slides");
  event->set_start(Utc(2008, 3, 10, 12, 0));
  event->set_end(Utc(2008, 3, 10, 13, 0));
  event->set_busy_status(kBusyStatusBusy);
  event->set_status(kEventStatusConfirmed);
  event->set_reminder_set(true);
  event->set_reminder_seconds(600);
  event->set_sequence_num(variant);
  event->set_ical_uid(L"uid-1");
  event->AddGuest(L"ana@nexora.example", L"Ana", kAttendanceOrganizer, kResponseAccepted);
  event->AddGuest(L"bo@nexora.example", L"Bo", kAttendanceRequired, kResponseInvited);
  return event;
}

void MakeWeekly(Event& event, int interval = 1) {
  event.set_is_recurring(true);
  auto rule = std::make_unique<Recurrence>();
  rule->set_start(Utc(2008, 3, 10, 12, 0));
  rule->set_frequency(kFrequencyWeekly);
  rule->set_interval(interval);
  event.set_recurrence(std::move(rule));
}

int32_t Missing(const Event& a, const Event& b) { return ~a.CompareTo(b) & 0x1FFF; }

// Each row changes one or both copies of the same event; the aspects that then differ.
TEST(EventTest, CompareToFindsExactlyTheChangedAspects) {
  using Change = std::function<void(Event & a, Event & b)>;
  const struct {
    const char* what;
    Change change;
    int32_t missing;
  } cases[] = {
      {"nothing", [](Event&, Event&) {}, 0},
      {"texts differ only in breaks and outer blanks",
       [](Event&, Event& b) {
         b.set_title(L"  Lunch\r\n");
         b.set_location(L"Ca\tfe");
         b.set_body(L"Bring\r\n slides");  // The blank after the break stays.
       },
       0},
      {"letter case and inner blanks count",
       [](Event&, Event& b) {
         b.set_title(L"lunch");
         b.set_location(L"Ca fe");
       },
       kAspectTitle | kAspectLocation},
      {"end", [](Event&, Event& b) { b.set_end(Utc(2008, 3, 10, 14, 0)); }, kAspectEnd},
      {"two missing starts are equal",
       [](Event& a, Event& b) { a.set_start(nullptr), b.set_start(nullptr); }, 0},
      {"one missing start", [](Event& a, Event&) { a.set_start(nullptr); }, kAspectStart},
      {"series: the times live in the recurrence",
       [](Event& a, Event& b) {
         MakeWeekly(a), MakeWeekly(b);
         b.set_end(Utc(2008, 3, 10, 14, 0));
       },
       0},
      {"series rules differ", [](Event& a, Event& b) { MakeWeekly(a), MakeWeekly(b, 2); },
       kAspectRecurrence},
      {"series against single", [](Event& a, Event&) { MakeWeekly(a); },
       kAspectStart | kAspectEnd | kAspectRecurrence},
      {"reminder lead time", [](Event&, Event& b) { b.set_reminder_seconds(900); },
       kAspectReminder},
      {"lead times of unset reminders do not count",
       [](Event& a, Event& b) {
         a.set_reminder_set(false), b.set_reminder_set(false);
         b.set_reminder_seconds(900);
       },
       0},
      {"busy, status, all day",
       [](Event&, Event& b) {
         b.set_busy_status(kBusyStatusFree);
         b.set_status(kEventStatusTentative);
         b.set_all_day(true);
       },
       kAspectBusyStatus | kAspectStatus | kAspectAllDay},
      {"the organizer's answer and display names do not count",
       [](Event&, Event& b) {
         b.mutable_guests().at(L"ana@nexora.example").response_status = kResponseDeclined;
         b.mutable_guests().at(L"bo@nexora.example").name = L"Robert";
       },
       0},
      {"a guest's answer",
       [](Event&, Event& b) {
         b.mutable_guests().at(L"bo@nexora.example").response_status = kResponseAccepted;
       },
       kAspectGuests},
      {"an extra guest",
       [](Event&, Event& b) {
         b.AddGuest(L"cy@nexora.example", L"Cy", kAttendanceOptional, kResponseInvited);
       },
       kAspectGuests},
  };
  for (const auto& c : cases) {
    auto a = MakeEvent();
    auto b = MakeEvent();
    c.change(*a, *b);
    EXPECT_EQ(Missing(*a, *b), c.missing) << c.what;
    EXPECT_EQ(Missing(*b, *a), c.missing) << c.what;
    EXPECT_EQ(Equivalent(*a, *b), c.missing == 0) << c.what;
  }
}

TEST(EventTest, UpdatedAndSequenceDoNotBreakEquivalence) {
  testing::CapturedLog log;
  auto a = MakeEvent(0);
  auto b = MakeEvent(1);
  EXPECT_EQ(Missing(*a, *b), kAspectUpdated | kAspectSequence);
  EXPECT_TRUE(Equivalent(*a, *b));
  EXPECT_EQ(log.Text(),
            "Event::CompareTo {\n  comparison = 0111111111110\n} //Event::CompareTo\n"
            "Event::CompareTo {\n  comparison = 0111111111110\n} //Event::CompareTo\n");
}

TEST(EventTest, GuestKeysAndAddresses) {
  Event event;
  event.AddGuest(L"ana@nexora.example", L"Ana", kAttendanceOrganizer, kResponseAccepted);
  event.AddGuest(L"ana@nexora.example", L"Other", kAttendanceOptional, kResponseDeclined);
  ASSERT_EQ(event.guests().size(), 1u);
  EXPECT_EQ(event.guests().at(L"ana@nexora.example").name, L"Ana");  // First one stays.
  EXPECT_TRUE(event.IsOrganizer(L"ana@nexora.example"));
  // Keys are exact; the stored address is lower-cased.
  event.AddGuest(L"Bo@Nexora.Example", L"Bo", kAttendanceRequired, kResponseInvited);
  EXPECT_TRUE(event.HasGuest(L"Bo@Nexora.Example"));
  EXPECT_FALSE(event.HasGuest(L"bo@nexora.example"));
  EXPECT_EQ(event.guests().at(L"Bo@Nexora.Example").email, L"bo@nexora.example");
  EXPECT_FALSE(event.IsOrganizer(L"Bo@Nexora.Example"));
}

TEST(EventTest, CancelledExceptionsCompareByStatusAndDateOnly) {
  auto a = MakeEvent();
  auto b = MakeEvent();
  a->set_original_date(Utc(2008, 3, 17, 12, 0));
  b->set_original_date(Utc(2008, 3, 17, 12, 0));
  b->set_title(L"Changed");
  EXPECT_FALSE(ExceptionEquivalent(*a, *b));
  a->set_status(kEventStatusCanceled);
  b->set_status(kEventStatusCanceled);
  EXPECT_TRUE(ExceptionEquivalent(*a, *b));
  b->set_original_date(Utc(2008, 3, 24, 12, 0));
  EXPECT_FALSE(ExceptionEquivalent(*a, *b));
  b->set_original_date(Utc(2008, 3, 17, 12, 0));
  b->set_status(kEventStatusConfirmed);  // Cancelled on one side only.
  EXPECT_FALSE(ExceptionEquivalent(*a, *b));
}

TEST(EventTest, DumpOfASingleEventAndOfASeries) {
  auto event = MakeEvent();
  event->mutable_guests().erase(L"bo@nexora.example");
  event->set_original_date(Utc(2008, 3, 3, 12, 0));
  EXPECT_EQ(event->Dump(),
            L"id = id-0\nupdated = 20080307T090000Z\ntitle = Lunch\nlocation = Cafe\n"
            L"all_day = 0\nis_recurring = 0\nstart = 20080310T120000Z\nend = 20080310T130000Z\n"
            L"original_date = 20080303T120000Z\nbody = Bring slides\nbusy_status = 1\n"
            L"status = 2\nreminder_set = 1\nreminder_seconds = 600\nical_uid = uid-1\n"
            L"sequence_num = 0\nload_failed = 0\nGuests:\n"
            L"name = Ana email = ana@nexora.example response_status = 2 attendance_type = 3\n");

  Event series;
  MakeWeekly(series);
  series.mutable_recurrence()->set_text(L"DTSTART:20080303T090000Z\r\nRRULE:FREQ=DAILY");
  auto exception = std::make_unique<Event>();
  exception->set_original_date(Utc(2008, 3, 5, 9, 0));
  series.mutable_recurrence()->AddException(std::move(exception));
  series.set_start(Utc(2008, 3, 3, 9, 0));  // Not printed for a series.
  const std::wstring dump = series.Dump();
  EXPECT_NE(dump.find(L"is_recurring = 1\nrecurrence = DTSTART:20080303T090000Z\r\n"
                      L"RRULE:FREQ=DAILY\nEXCEPTIONS\n20080305T090000Z\nbody = \n"),
            std::wstring::npos)
      << dump.c_str();
  EXPECT_EQ(dump.find(L"start = "), std::wstring::npos);
}

TEST(EventTest, CloneIsDeepAndEqualInEveryAspect) {
  auto original = MakeEvent();
  MakeWeekly(*original);
  original->mutable_recurrence()->set_until(Utc(2008, 6, 10, 12, 0));
  auto exception = MakeEvent(3);
  exception->set_original_date(Utc(2008, 3, 14, 12, 0));
  original->mutable_recurrence()->AddException(std::move(exception));
  original->set_original_date(Utc(2008, 3, 3, 12, 0));

  auto copy = original->Clone();
  EXPECT_EQ(copy->CompareTo(*original), 0x1FFF);
  EXPECT_EQ(copy->Dump(), original->Dump());
  // Changing the copy's exception leaves the original alone.
  copy->mutable_recurrence()->ExceptionList()[0]->set_title(L"Moved");
  EXPECT_EQ(original->recurrence()->exceptions()[0]->title(), L"Lunch");
  EXPECT_FALSE(Equivalent(*copy, *original));
}

}  // namespace
}  // namespace calendar_mirrow_addin
