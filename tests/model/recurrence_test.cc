#include "model/recurrence.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <tuple>

#include "base/text.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
const std::wstring kStart = L"DTSTART:20080315T090000Z\r\n";

TEST(RecurrenceRoundTrip, ZonedAndAllDaySeries) {
  const std::wstring zoned =
      L"DTSTART;TZID=America/New_York:20080303T090000\r\nDURATION:PT3600S\r\n"
      L"RRULE:FREQ=WEEKLY;COUNT=10;BYDAY=MO,WE";
  const auto parsed = ParseRecurrence(zoned);
  ASSERT_NE(parsed, nullptr);
  EXPECT_EQ(*parsed->start(), DateTime::FromFields(3, 3, 2008, 14, 0, 0, 0));
  EXPECT_EQ(GenerateICal(*parsed), zoned);
  // 22:00 on 31 December in New York is 1 January in UTC: a yearly rule's implied day and
  // month both come from the local date, or it would move to 31 January.
  const auto new_year =
      ParseRecurrence(L"DTSTART;TZID=America/New_York:20081231T220000\r\nRRULE:FREQ=YEARLY");
  ASSERT_NE(new_year, nullptr);
  EXPECT_EQ(new_year->month_day(), 31);
  EXPECT_EQ(new_year->month(), 12);
  const std::wstring all_day =
      L"DTSTART;VALUE=DATE:20080228\r\nDTEND;VALUE=DATE:20080301\r\nRRULE:FREQ=WEEKLY";
  const auto two_days = ParseRecurrence(all_day);
  ASSERT_NE(two_days, nullptr);
  EXPECT_EQ(GenerateICal(*two_days), all_day);
}

// Each rule is read, written back (unchanged when no form is given), and read again into an
// equal record.
TEST(RecurrenceRoundTrip, RulesInUtc) {
  // Rule; days_of_week, ordwk, month_day and month read from it; the form written.
  const std::tuple<std::wstring_view, int32_t, int32_t, int32_t, int32_t, std::wstring_view>
      cases[] = {
          {L"FREQ=MONTHLY;BYDAY=2TU", kTuesday, 2, -1, -1, L""},
          {L"FREQ=MONTHLY;BYDAY=-1FR", kFriday, 5, -1, -1, L""},
          {L"FREQ=MONTHLY;BYDAY=1MO,1WE", 10, 1, -1, -1, L"FREQ=MONTHLY;BYSETPOS=1;BYDAY=MO,WE"},
          {L"FREQ=MONTHLY;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=-1", 62, 5, -1, -1,
           L"FREQ=MONTHLY;BYSETPOS=-1;BYDAY=MO,TU,WE,TH,FR"},
          {L"FREQ=YEARLY;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=1;BYMONTH=3", 62, 1, -1, 3,
           L"FREQ=YEARLY;BYSETPOS=1;BYDAY=MO,TU,WE,TH,FR;BYMONTH=3"},
          {L"FREQ=MONTHLY", -1, 0, 15, -1, L"FREQ=MONTHLY;BYMONTHDAY=15"},
          {L"FREQ=YEARLY", -1, 0, 15, 3, L"FREQ=YEARLY;BYMONTHDAY=15;BYMONTH=3"},
          {L"FREQ=DAILY;INTERVAL=2;UNTIL=20080401T000000Z;COUNT=", 0, 0, -1, -1,
           L"FREQ=DAILY;UNTIL=20080401T000000Z;INTERVAL=2"},
          {L"FREQ=WEEKLY;COUNT=0;BYDAY=SU,SA", 65, 0, -1, -1, L""},
          {L"FREQ=DAILY;COUNT=-4", 0, 0, -1, -1, L"FREQ=DAILY"},  // Read as no count.
          {L"FREQ=WEEKLY;INTERVAL=2;BYDAY=MO,FR;WKST=SU", 34, 0, -1, -1,
           L"FREQ=WEEKLY;INTERVAL=2;BYDAY=MO,FR"},  // No Sunday: weeks split the same.
          {L"FREQ=WEEKLY;BYDAY=MO,WE,MO", 10, 0, -1, -1, L"FREQ=WEEKLY;BYDAY=MO,WE"},
      };
  for (const auto& [rule, days_of_week, ordwk, month_day, month, written] : cases) {
    SCOPED_TRACE(WideToUtf8(rule));
    const auto parsed = ParseRecurrence(kStart + L"DURATION:PT1H\r\nRRULE:" + std::wstring(rule));
    ASSERT_NE(parsed, nullptr);
    EXPECT_EQ(parsed->days_of_week(), days_of_week);
    EXPECT_EQ(parsed->ordwk(), ordwk);
    EXPECT_EQ(parsed->month_day(), month_day);
    EXPECT_EQ(parsed->month(), month);
    const std::wstring text = GenerateICal(*parsed);
    EXPECT_EQ(text, L"DTSTART;TZID=:20080315T090000Z\r\nDURATION:PT3600S\r\nRRULE:" +
                        std::wstring(written.empty() ? rule : written));
    EXPECT_TRUE(RecurrenceEquals(parsed.get(), ParseRecurrence(text).get()));
  }
}

// The zone block holds words that would be refused if read.
TEST(RecurrenceParse, SkipsZoneBlocksUnfoldsAndIgnoresOtherProperties) {
  const std::wstring text =
      L"BEGIN:VTIMEZONE\r\nTZID:America/New_York\r\nBEGIN:STANDARD\r\nDTSTART:19671029T020000\r\n"
      L"RRULE:FREQ=YEARLY;BYHOUR=2\r\nTZNAME:Eastern Standard Time\r\nEND:STANDARD\r\n"
      L"END:VTIMEZONE\r\n" +
      kStart +
      L"EXDATE:20080322T090000Z\r\nRRULE:FREQ=WEEKLY;CO\r\n\tU\r\n NT=3;BY\n\tDAY=\r\tF\r R";
  const auto parsed = ParseRecurrence(text);
  ASSERT_NE(parsed, nullptr);
  EXPECT_EQ(parsed->text(), text);
  EXPECT_EQ(*parsed->start(), DateTime::FromFields(15, 3, 2008, 9, 0, 0, 0));
  EXPECT_EQ(parsed->count(), 3);
  EXPECT_EQ(parsed->days_of_week(), kFriday);
}

// The whole log of each refusal.
TEST(RecurrenceParse, RefusalsAreLoggedWithTheirReason) {
  const std::wstring kRule = kStart + L"RRULE:";
  const std::string kByDay = "\nUnsuported use of BYDAY";
  const std::pair<std::wstring, std::string> cases[] = {
      {kStart + L"DURATION:PT1H", "We don't support recurrence without RRULE."},
      {L"DURATION:PT1H\r\nRRULE:FREQ=DAILY", "Could not retreive either start date or duration"},
      {L"DTSTART:2008\r\nRRULE:FREQ=DAILY", "Unable to parse start date"},
      {kStart + L"DTEND:20080315T08", "Unable to parse end date"},
      {kStart + L"DTEND:20080315T085959Z", "Unable to parse end date"},      // Before the start.
      {L"DTEND:20080315T100000Z\r\n" + kStart, "Unable to parse end date"},  // No start yet.
      {kStart + L"DURATION:P1D", "Unable to parse duration"},
      {kStart + L"X-URL:http://example.com", "Malformed line"},
      {L"DTSTART;TZID=America/New York:20080307T090000", "Malformed line"},
      {kRule + L"FREQ=HOURLY", "SEVERE: Unsupported frequency: HOURLY"},
      {kRule + L"INTERVAL=2", "SEVERE: Unsupported frequency: "},
      {kRule + L"FREQ=DAILY;UNTIL=2008", "Unable to parse until date"},
      {kRule + L"FREQ=DAILY;BYHOUR=9", "Unsuported ical parameter"},
      {kRule + L"FREQ=WEEKLY;BYDAY=mo", "Unsupported value of weekday" + kByDay},
      {kRule + L"FREQ=WEEKLY;BYDAY=MO,W", "Unsuported use of BYDAY"},
      {kRule + L"FREQ=WEEKLY;BYDAY=,,", "Unsuported use of BYDAY"},
      {kRule + L"FREQ=MONTHLY;BYDAY=1MO,2WE",
       "Multiple values of ordwk are not supported" + kByDay},
      {kRule + L"FREQ=MONTHLY;BYDAY=5MO", "Unsupported value of ordwk" + kByDay},
      {kRule + L"FREQ=MONTHLY;BYDAY=99999999999MO", "Unsupported value of ordwk" + kByDay},
      {kRule + L"FREQ=MONTHLY;BYMONTHDAY=1,15", "Unsuported use of BYMONTHDAY"},
      {kRule + L"FREQ=WEEKLY;BYMONTHDAY=3", "Unsuported use of BYMONTHDAY"},
      {kRule + L"FREQ=MONTHLY;BYMONTH=3", "Unsuported use of BYMONTH"},
      {kRule + L"FREQ=YEARLY;BYMONTH=13", "Unsuported use of BYMONTH"},
      // Positions and week starts the record cannot hold would widen or move the series.
      {kRule + L"FREQ=MONTHLY;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=-2", "Unsuported ical parameter"},
      {kRule + L"FREQ=MONTHLY;BYDAY=MO,WE;BYSETPOS=1,2", "Unsuported ical parameter"},
      {kRule + L"FREQ=MONTHLY;BYDAY=1MO,1WE;BYSETPOS=2", "Unsuported ical parameter"},
      {kRule + L"FREQ=WEEKLY;WKST=XX", "Unsuported ical parameter"},
      {kRule + L"FREQ=WEEKLY;INTERVAL=2;BYDAY=SA,SU;WKST=SU", "Unsuported ical parameter"},
  };
  for (const auto& [text, lines] : cases) {
    testing::CapturedLog log;
    EXPECT_EQ(ParseRecurrence(text), nullptr) << WideToUtf8(text);
    EXPECT_EQ(log.Text(), lines + "\n") << WideToUtf8(text);
  }
}

// Feeds carry folded text of any size: a few megabytes of folds of every kind unfold to
// the plain text.
TEST(RecurrenceParse, UnfoldsLargeTexts) {
  const std::wstring_view folds[] = {L"\r\n ", L"\r\n\t", L"\r\t", L"\r ", L"\n\t", L"\n "};
  std::wstring folded;
  std::wstring plain;
  for (int i = 0; i < 600000; ++i) {
    const wchar_t letter = static_cast<wchar_t>(L'a' + i % 26);
    folded += letter;
    folded += folds[i % std::size(folds)];
    plain += letter;
  }
  EXPECT_EQ(UnfoldICal(folded), plain);
}

TEST(RecurrenceParse, NumbersSaturateAndOddNamesAreSafe) {
  auto parsed = ParseRecurrence(kStart +
                                L"DTEND:21080315T090000Z\r\n"
                                L"RRULE:FREQ=DAILY;COUNT=99999999999;INTERVAL=-99999999999");
  ASSERT_NE(parsed, nullptr);
  EXPECT_EQ(parsed->duration(), kMax);  // A century does not fit in 32-bit seconds.
  EXPECT_EQ(parsed->count(), kMax);
  EXPECT_EQ(parsed->interval(), 1);  // No step below one: the series repeats at every step.
  parsed = ParseRecurrence(L"DTSTARTTZID=:20080307T090000Z\r\nRRULE:FREQ=DAILY");
  ASSERT_NE(parsed, nullptr);
  EXPECT_EQ(parsed->tzid(), L"");
}

TEST(RecurrenceParse, DurationFormsSaturationAndRuleParameters) {
  const std::pair<std::wstring_view, int32_t> accepted[] = {
      {L"PT3600S", 3600},      {L"PT1H30M", 5400},         {L"P1DT2H", 93600},
      {L"P2WT0S", 1209600},    {L"-PT15M", 900},           {L"PT9999999999999999999S", kMax},
      {L"P9999999WT0S", kMax}, {L"P1DT2147483647S", kMax}, {L"PT2147483647H", kMax},
  };
  for (const auto& [text, seconds] : accepted) {
    int32_t result = -7;
    EXPECT_TRUE(ParseDuration(text, &result)) << WideToUtf8(text);
    EXPECT_EQ(result, seconds) << WideToUtf8(text);
  }
  for (std::wstring_view text : {L"P1D", L"P2W", L"PT1X", L"P1YT1H", L"PT1HT2M", L""}) {
    int32_t result = 0;
    EXPECT_FALSE(ParseDuration(text, &result)) << WideToUtf8(text);
  }

  // Trimmed, the last one wins, pieces without "=" are ignored.
  const std::map<std::wstring, std::wstring> expected = {
      {L"FREQ", L"WEEKLY"}, {L"COUNT", L"5"}, {L"X", L"a=b"}, {L"Y", L""}};
  EXPECT_EQ(ParseRRuleParameters(L" FREQ = WEEKLY ;COUNT=3;junk;;COUNT=5;X=a=b;Y="), expected);
}

// A start in a zone nobody here can convert goes out as UTC, the instant both readers agree
// on, rather than as UTC fields under the zone's name.
TEST(RecurrenceGenerate, UnknownZoneIsWrittenInUtc) {
  Recurrence recurrence;
  recurrence.set_start(std::make_unique<DateTime>(DateTime::FromFields(5, 1, 2026, 14, 0, 0, 0)));
  recurrence.set_tzid(L"Mars/Olympus_Mons");
  recurrence.set_frequency(kFrequencyWeekly);
  const std::wstring text = GenerateICal(recurrence);
  EXPECT_EQ(text, L"DTSTART;TZID=:20260105T140000Z\r\nDURATION:PT0S\r\nRRULE:FREQ=WEEKLY");
  const auto read = ParseRecurrence(text);
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(*read->start(), *recurrence.start());
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

struct Exception {
  int day;
  int milliseconds;
  const wchar_t* title;
  EventStatus status = kEventStatusConfirmed;
};

// A daily series from 2008-03-15 09:00Z with exceptions replacing March occurrences.
std::unique_ptr<Recurrence> Daily(std::initializer_list<Exception> exceptions) {
  auto series = ParseRecurrence(kStart + L"RRULE:FREQ=DAILY");
  for (const Exception& e : exceptions) {
    auto event = std::make_unique<Event>();
    event->set_original_date(
        std::make_unique<DateTime>(DateTime::FromFields(e.day, 3, 2008, 9, 0, 0, e.milliseconds)));
    event->set_title(e.title);
    event->set_status(e.status);
    series->AddException(std::move(event));
  }
  return series;
}

TEST(RecurrenceEquals, RuleFieldsAndExceptionsCountTextAndZoneDoNot) {
  EXPECT_TRUE(RecurrenceEquals(nullptr, nullptr));
  constexpr EventStatus kCancelled = kEventStatusCanceled;
  const auto a = Daily({{16, 0, L"moved"}, {17, 0, L"gone", kCancelled}});
  EXPECT_FALSE(RecurrenceEquals(a.get(), nullptr));
  auto b = Daily({{16, 0, L"moved"}, {17, 0, L"gone", kCancelled}});
  b->set_text(L"other");
  b->set_tzid(L"Europe/Paris");
  b->set_start(std::make_unique<DateTime>(DateTime::FromFields(15, 3, 2008, 9, 0, 0, 400)));
  EXPECT_TRUE(RecurrenceEquals(a.get(), b.get()));
  b->set_until(std::make_unique<DateTime>(DateTime::FromDate(1, 4, 2008)));
  EXPECT_FALSE(RecurrenceEquals(a.get(), b.get()));

  // Exceptions are matched by their original instant.
  const auto equals = [&](std::initializer_list<Exception> other) {
    return RecurrenceEquals(a.get(), Daily(other).get());
  };
  EXPECT_FALSE(equals({{17, 0, L"other title", kCancelled}}));  // Different lengths.
  EXPECT_TRUE(equals({{17, 0, L"other title", kCancelled}, {16, 0, L"moved"}}));  // Any order.
  EXPECT_FALSE(equals({{16, 0, L"moved"}, {17, 0, L"gone"}}));  // Cancelled on one side only.
  EXPECT_FALSE(equals({{16, 1, L"moved"}, {17, 0, L"gone", kCancelled}}));  // Milliseconds count.
  // Of several exceptions for one date, the last one counts.
  EXPECT_TRUE(RecurrenceEquals(
      Daily({{16, 0, L"moved"}, {17, 0, L"gone", kCancelled}, {17, 0, L"back"}}).get(),
      Daily({{16, 0, L"moved"}, {17, 0, L"back"}, {17, 0, L"back"}}).get()));
}

}  // namespace
}  // namespace calendar_mirrow_addin
