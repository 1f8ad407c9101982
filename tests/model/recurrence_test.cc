#include "model/recurrence.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "base/text.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

const std::wstring kStart = L"DTSTART:20080315T090000Z\r\n";

// The zone block holds words that would be refused if read; a rule in it is not the series'.
TEST(RecurrenceParse, SkipsZoneBlocksUnfoldsAndIgnoresOtherProperties) {
  const std::wstring zone =
      L"BEGIN:VTIMEZONE\r\nTZID:America/New_York\r\nBEGIN:STANDARD\r\nDTSTART:19671029T020000\r\n"
      L"RRULE:FREQ=YEARLY;BYHOUR=2\r\nTZNAME:Eastern Standard Time\r\nEND:STANDARD\r\n"
      L"END:VTIMEZONE\r\n";
  const std::wstring text =
      zone + kStart +
      L"EXDATE:20080322T090000Z\r\nRRULE:FREQ=WEEKLY;CO\r\n\tU\r\n NT=3;BY\n\tDAY=\r\tF\r R";
  const auto parsed = ParseRecurrence(text);
  ASSERT_NE(parsed, nullptr);
  EXPECT_EQ(parsed->text(), text);
  EXPECT_EQ(
      GenerateICal(*parsed),
      L"DTSTART;TZID=:20080315T090000Z\r\nDURATION:PT0S\r\nRRULE:FREQ=WEEKLY;COUNT=3;BYDAY=FR");
  testing::CapturedLog log;
  EXPECT_EQ(ParseRecurrence(zone + kStart + L"DURATION:PT1H"), nullptr);
  EXPECT_EQ(log.Text(), "We don't support recurrence without RRULE.\n");
}

// Feeds carry folded text of any size: a few megabytes of folds of every kind unfold to
// the plain text.
TEST(RecurrenceParse, UnfoldsLargeTexts) {
  const std::wstring_view folds[] = {L"\r\n ", L"\r\n\t", L"\r\t", L"\r ", L"\n\t", L"\n "};
  std::wstring folded, plain;
  for (int i = 0; i < 600000; ++i) {
    const wchar_t letter = static_cast<wchar_t>(L'a' + i % 26);
    folded += letter;
    folded += folds[i % std::size(folds)];
    plain += letter;
  }
  EXPECT_EQ(UnfoldICal(folded), plain);
}

// A start in a zone nobody here can convert goes out as UTC, the instant both readers agree
// on, rather than as UTC fields under the zone's name.
TEST(RecurrenceGenerate, UnknownZoneIsWrittenInUtc) {
  Recurrence recurrence;
  recurrence.set_start(std::make_unique<DateTime>(DateTime::FromFields(5, 1, 2026, 14, 0, 0, 0)));
  recurrence.set_tzid(L"Mars/Olympus_Mons");
  recurrence.set_frequency(kFrequencyWeekly);
  EXPECT_EQ(GenerateICal(recurrence),
            L"DTSTART;TZID=:20260105T140000Z\r\nDURATION:PT0S\r\nRRULE:FREQ=WEEKLY");
}

TEST(RecurrenceGenerate, RefusesRecordsItCannotWrite) {
  testing::CapturedLog log;
  Recurrence recurrence;
  EXPECT_EQ(GenerateICal(recurrence), L"");  // No start.
  recurrence.set_start(std::make_unique<DateTime>(DateTime::FromDate(7, 3, 2008)));
  recurrence.set_frequency(static_cast<Frequency>(7));
  EXPECT_EQ(GenerateICal(recurrence), L"");
  EXPECT_EQ(log.Text(),
            "SEVERE: GenerateICal -> the recurrence has no start\n"
            "SEVERE: Unknown frequency7\n");
}

// A daily series from 2008-03-15 09:00Z whose exceptions replace March occurrences: day,
// milliseconds, title, and whether cancelled.
using Exceptions = std::vector<std::tuple<int, int, const wchar_t*, bool>>;
std::unique_ptr<Recurrence> Daily(const Exceptions& exceptions) {
  auto series = ParseRecurrence(kStart + L"RRULE:FREQ=DAILY");
  for (const auto& [day, milliseconds, title, cancelled] : exceptions) {
    auto event = std::make_unique<Event>();
    event->set_original_date(
        std::make_unique<DateTime>(DateTime::FromFields(day, 3, 2008, 9, 0, 0, milliseconds)));
    event->set_title(title);
    event->set_status(cancelled ? kEventStatusCanceled : kEventStatusConfirmed);
    series->AddException(std::move(event));
  }
  return series;
}

TEST(RecurrenceEquals, RuleFieldsAndExceptionsCountTextAndZoneDoNot) {
  EXPECT_TRUE(RecurrenceEquals(nullptr, nullptr));
  const auto a = Daily({{16, 0, L"moved", false}, {17, 0, L"gone", true}});
  EXPECT_FALSE(RecurrenceEquals(a.get(), nullptr));
  auto b = Daily({{16, 0, L"moved", false}, {17, 0, L"gone", true}});
  b->set_text(L"other");
  b->set_tzid(L"Europe/Paris");
  b->set_start(std::make_unique<DateTime>(DateTime::FromFields(15, 3, 2008, 9, 0, 0, 400)));
  EXPECT_TRUE(RecurrenceEquals(a.get(), b.get()));
  b->set_until(std::make_unique<DateTime>(DateTime::FromDate(1, 4, 2008)));
  EXPECT_FALSE(RecurrenceEquals(a.get(), b.get()));

  // Exceptions are matched by their original instant, milliseconds included.
  const std::pair<Exceptions, bool> others[] = {
      {{{17, 0, L"other title", true}}, false},                           // another count
      {{{16, 0, L"changed", false}, {17, 0, L"gone", true}}, false},      // a changed occurrence
      {{{17, 0, L"other title", true}, {16, 0, L"moved", false}}, true},  // any order
      {{{16, 0, L"moved", false}, {17, 0, L"gone", false}}, false},       // cancelled on one side
      {{{16, 1, L"moved", false}, {17, 0, L"gone", true}}, false},        // another instant
  };
  for (const auto& row : others) {
    EXPECT_EQ(RecurrenceEquals(a.get(), Daily(row.first).get()), row.second) << &row - others;
  }
  // Of several exceptions for one date, the last one counts.
  EXPECT_TRUE(RecurrenceEquals(
      Daily({{16, 0, L"moved", false}, {17, 0, L"gone", true}, {17, 0, L"back", false}}).get(),
      Daily({{16, 0, L"moved", false}, {17, 0, L"back", false}, {17, 0, L"back", false}}).get()));
}

}  // namespace
}  // namespace calendar_mirrow_addin
