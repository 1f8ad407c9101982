#include "model/event.h"

#include <gtest/gtest.h>

#include <functional>

#include "model/recurrence.h"

namespace calendar_mirrow_addin {
namespace {

std::unique_ptr<DateTime> Utc(int year, int month, int day, int hour, int minute) {
  return std::make_unique<DateTime>(DateTime::FromFields(day, month, year, hour, minute, 0, 0));
}

std::unique_ptr<Event> MakeEvent() {
  auto event = std::make_unique<Event>();
  event->set_id(L"id-1");
  event->set_updated(Utc(2008, 3, 7, 9, 0));
  event->set_title(L"Lunch");
  event->set_location(L"Cafe");
  event->set_body(L"Bring slides");
  event->set_start(Utc(2008, 3, 10, 12, 0));
  event->set_end(Utc(2008, 3, 10, 13, 0));
  event->set_reminder_set(true);
  event->set_reminder_seconds(600);
  event->set_ical_uid(L"uid-1");
  event->AddGuest(L"ana@nexora.example", L"Ana", kAttendanceOrganizer, kResponseAccepted);
  event->AddGuest(L"bo@nexora.example", L"Bo", kAttendanceRequired, kResponseInvited);
  return event;
}

void MakeWeekly(Event& event, int interval = 1) {
  event.set_is_recurring(true);
  event.set_recurrence(ParseRecurrence(L"DTSTART:20080310T120000Z\r\nRRULE:FREQ=WEEKLY;INTERVAL=" +
                                       std::to_wstring(interval)));
}

Guest& GuestOf(Event& event, const wchar_t* name) {
  return event.mutable_guests().at(name + std::wstring(L"@nexora.example"));
}

// Each row changes one or both copies of the same event; the aspects that then differ.
TEST(EventTest, CompareToFindsExactlyTheChangedAspects) {
  const struct {
    const char* what;
    std::function<void(Event& a, Event& b)> change;
    int32_t missing;
  } cases[] = {
      {"nothing", [](auto&, auto&) {}, 0},
      {"neither the time of the change nor the sequence breaks equivalence",
       [](auto&, auto& b) { b.set_updated(Utc(2008, 3, 7, 9, 1)), b.set_sequence_num(1); },
       kAspectUpdated | kAspectSequence},
      {"texts differing only in breaks and outer blanks (a blank after a break stays)",
       [](auto&, auto& b) {
         b.set_title(L"  Lunch\r\n"), b.set_location(L"Ca\tfe"), b.set_body(L"Bring\r\n slides");
       },
       0},
      {"letter case and inner blanks count",
       [](auto&, auto& b) { b.set_title(L"lunch"), b.set_location(L"Ca fe"); },
       kAspectTitle | kAspectLocation},
      {"end", [](auto&, auto& b) { b.set_end(Utc(2008, 3, 10, 14, 0)); }, kAspectEnd},
      {"one missing start", [](auto& a, auto&) { a.set_start(nullptr); }, kAspectStart},
      {"series: times in the rule",
       [](auto& a, auto& b) { MakeWeekly(a), MakeWeekly(b), b.set_end(nullptr); }, 0},
      {"series rules", [](auto& a, auto& b) { MakeWeekly(a), MakeWeekly(b, 2); },
       kAspectRecurrence},
      {"series against single", [](auto& a, auto&) { MakeWeekly(a); },
       kAspectStart | kAspectEnd | kAspectRecurrence},
      {"lead time", [](auto&, auto& b) { b.set_reminder_seconds(900); }, kAspectReminder},
      {"lead times of unset reminders do not count",
       [](auto& a, auto& b) {
         a.set_reminder_set(false), b.set_reminder_set(false), b.set_reminder_seconds(9);
       },
       0},
      {"busy, status, all day",
       [](auto&, auto& b) {
         b.set_busy_status(kBusyStatusFree);
         b.set_status(kEventStatusTentative);
         b.set_all_day(true);
       },
       kAspectBusyStatus | kAspectStatus | kAspectAllDay},
      {"the organizer's answer and display names do not count",
       [](auto&, auto& b) {
         GuestOf(b, L"ana").response_status = kResponseDeclined, GuestOf(b, L"bo").name = L"B";
       },
       0},
      {"a guest's answer",
       [](auto&, auto& b) { GuestOf(b, L"bo").response_status = kResponseAccepted; },
       kAspectGuests},
      {"an extra guest", [](auto&, auto& b) { b.AddGuest(L"cy", L"Cy", kAttendanceOptional, {}); },
       kAspectGuests},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto a = MakeEvent(), b = MakeEvent();
    c.change(*a, *b);
    EXPECT_EQ(~a->CompareTo(*b) & 0x1FFF, c.missing);
    EXPECT_EQ(~b->CompareTo(*a) & 0x1FFF, c.missing);
    EXPECT_EQ(Equivalent(*a, *b), (c.missing & kEquivalenceMask) == 0);
  }
}

TEST(EventTest, CloneIsDeepAndEqualInEveryAspect) {
  auto original = MakeEvent();
  MakeWeekly(*original);
  original->mutable_recurrence()->set_until(Utc(2008, 6, 10, 12, 0));
  auto exception = MakeEvent();
  exception->set_original_date(Utc(2008, 3, 14, 12, 0));
  original->mutable_recurrence()->AddException(std::move(exception));
  original->set_original_date(Utc(2008, 3, 3, 12, 0));
  original->set_sequence_num(4);
  original->set_load_failed(true);

  auto copy = original->Clone();
  EXPECT_EQ(copy->CompareTo(*original), 0x1FFF);
  // The dump also shows what the comparison leaves out (identifiers, exception dates).
  EXPECT_NE(original->Dump().find(L"EXCEPTIONS\n20080314T120000Z\n"), std::wstring::npos);
  EXPECT_EQ(copy->Dump(), original->Dump());
  // Changing the copy's exception leaves the original alone.
  copy->mutable_recurrence()->ExceptionList()[0]->set_title(L"Moved");
  EXPECT_EQ(original->recurrence()->exceptions()[0]->title(), L"Lunch");
  EXPECT_FALSE(Equivalent(*copy, *original));
}

}  // namespace
}  // namespace calendar_mirrow_addin
