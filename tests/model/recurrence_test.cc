#include "model/recurrence.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <sstream>
#include <string>

#include "base/text.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
const std::wstring kStart = L"DTSTART:20080315T090000Z\r\n";

bool HasLine(const std::string& log, const std::string& wanted) {
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (line == wanted) return true;
  }
  return false;
}

TEST(RecurrenceRoundTrip, WeeklySeriesInNewYork) {
  const std::wstring text =
      L"DTSTART;TZID=America/New_York:20080303T090000\r\nDURATION:PT3600S\r\n"
      L"RRULE:FREQ=WEEKLY;COUNT=10;BYDAY=MO,WE";
  const auto parsed = ParseRecurrence(text);
  ASSERT_NE(parsed, nullptr);
  EXPECT_EQ(*parsed->start(), DateTime::FromFields(3, 3, 2008, 14, 0, 0, 0));
  EXPECT_EQ(parsed->days_of_week(), kMonday | kWednesday);
  EXPECT_EQ(GenerateICal(*parsed), text);
}

// Each rule is read, written back, and read again into an equal record.
TEST(RecurrenceRoundTrip, RulesInUtc) {
  struct Case {
    std::wstring_view rule;
    int32_t days_of_week, ordwk, month_day, month;
    std::wstring_view written;
  };
  const Case cases[] = {
      {L"FREQ=MONTHLY;BYDAY=2TU", kTuesday, 2, -1, -1, L"FREQ=MONTHLY;BYDAY=2TU"},
      {L"FREQ=MONTHLY;BYDAY=-1FR", kFriday, 5, -1, -1, L"FREQ=MONTHLY;BYDAY=-1FR"},
      {L"FREQ=MONTHLY;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=-1", 62, 5, -1, -1,
       L"FREQ=MONTHLY;BYSETPOS=-1;BYDAY=MO,TU,WE,TH,FR"},
      {L"FREQ=YEARLY;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=-1;BYMONTH=3", 62, 0, -1, 3,
       L"FREQ=YEARLY;BYDAY=MO,TU,WE,TH,FR;BYMONTH=3"},
      {L"FREQ=MONTHLY", -1, 0, 15, -1, L"FREQ=MONTHLY;BYMONTHDAY=15"},
      {L"FREQ=YEARLY", -1, 0, 15, 3, L"FREQ=YEARLY;BYMONTHDAY=15;BYMONTH=3"},
      {L"FREQ=DAILY;INTERVAL=2;UNTIL=20080401T000000Z;COUNT=", 0, 0, -1, -1,
       L"FREQ=DAILY;UNTIL=20080401T000000Z;INTERVAL=2"},
      {L"FREQ=WEEKLY;COUNT=0;BYDAY=SU,SA", 65, 0, -1, -1, L"FREQ=WEEKLY;COUNT=0;BYDAY=SU,SA"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.rule));
    const auto parsed = ParseRecurrence(kStart + L"DURATION:PT1H\r\nRRULE:" + std::wstring(c.rule));
    ASSERT_NE(parsed, nullptr);
    EXPECT_EQ(parsed->days_of_week(), c.days_of_week);
    EXPECT_EQ(parsed->ordwk(), c.ordwk);
    EXPECT_EQ(parsed->month_day(), c.month_day);
    EXPECT_EQ(parsed->month(), c.month);
    const std::wstring written = GenerateICal(*parsed);
    EXPECT_EQ(written, L"DTSTART;TZID=:20080315T090000Z\r\nDURATION:PT3600S\r\nRRULE:" +
                           std::wstring(c.written));
    const auto reread = ParseRecurrence(written);
    EXPECT_TRUE(RecurrenceEquals(parsed.get(), reread.get()));
  }
}

TEST(RecurrenceRoundTrip, AllDaySeriesOfTwoDays) {
  const std::wstring text =
      L"DTSTART;VALUE=DATE:20080228\r\nDTEND;VALUE=DATE:20080301\r\nRRULE:FREQ=WEEKLY";
  const auto parsed = ParseRecurrence(text);
  ASSERT_NE(parsed, nullptr);
  EXPECT_TRUE(parsed->start()->date_only);
  EXPECT_EQ(parsed->duration(), 172800);
  EXPECT_EQ(GenerateICal(*parsed), text);
}

// 22:00 on 31 December in New York is 1 January in UTC: day and month must both come from
// the local date, or the yearly rule would move to 31 January.
TEST(RecurrenceParse, ImpliedDateIsTheStartsLocalDate) {
  const auto parsed =
      ParseRecurrence(L"DTSTART;TZID=America/New_York:20081231T220000\r\nRRULE:FREQ=YEARLY");
  ASSERT_NE(parsed, nullptr);
  EXPECT_EQ(parsed->month_day(), 31);
  EXPECT_EQ(parsed->month(), 12);
}

// The zone block holds words that would be refused if read.
TEST(RecurrenceParse, SkipsZoneBlocksUnfoldsAndIgnoresOtherProperties) {
  const std::wstring text =
      L"BEGIN:VTIMEZONE\r\nTZID:America/New_York\r\nBEGIN:STANDARD\r\nDTSTART:19671029T020000\r\n"
      L"RRULE:FREQ=YEARLY;BYHOUR=2\r\nTZNAME:Eastern Standard Time\r\nEND:STANDARD\r\n"
      L"END:VTIMEZONE\r\n" +
      kStart + L"EXDATE:20080322T090000Z\r\nRRULE:FREQ=WEEKLY;COU\r\n NT=3;BY\n\tDAY=\r\tF\r R";
  const auto parsed = ParseRecurrence(text);
  ASSERT_NE(parsed, nullptr);
  EXPECT_EQ(parsed->text(), text);
  EXPECT_EQ(*parsed->start(), DateTime::FromFields(15, 3, 2008, 9, 0, 0, 0));
  EXPECT_EQ(parsed->count(), 3);
  EXPECT_EQ(parsed->days_of_week(), kFriday);
}

TEST(RecurrenceParse, RefusalsAreLoggedWithTheirReason) {
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
      {kStart + L"RRULE:FREQ=HOURLY", "SEVERE: Unsupported frequency: HOURLY"},
      {kStart + L"RRULE:INTERVAL=2", "SEVERE: Unsupported frequency: "},
      {kStart + L"RRULE:FREQ=DAILY;UNTIL=2008", "Unable to parse until date"},
      {kStart + L"RRULE:FREQ=DAILY;BYHOUR=9", "Unsuported ical parameter"},
      {kStart + L"RRULE:FREQ=WEEKLY;BYDAY=MO,XY", "Unsuported use of BYDAY"},
      {kStart + L"RRULE:FREQ=MONTHLY;BYMONTHDAY=1,15", "Unsuported use of BYMONTHDAY"},
      {kStart + L"RRULE:FREQ=WEEKLY;BYMONTHDAY=3", "Unsuported use of BYMONTHDAY"},
      {kStart + L"RRULE:FREQ=MONTHLY;BYMONTH=3", "Unsuported use of BYMONTH"},
      {kStart + L"RRULE:FREQ=YEARLY;BYMONTH=13", "Unsuported use of BYMONTH"},
  };
  for (const auto& [text, line] : cases) {
    SCOPED_TRACE(WideToUtf8(text));
    testing::CapturedLog log;
    EXPECT_EQ(ParseRecurrence(text), nullptr);
    EXPECT_TRUE(HasLine(log.Text(), line)) << log.Text();
  }
}

TEST(RecurrenceParse, NumbersSaturateAndOddNamesAreSafe) {
  auto parsed = ParseRecurrence(kStart +
                                L"DTEND:21080315T090000Z\r\n"
                                L"RRULE:FREQ=DAILY;COUNT=99999999999;INTERVAL=-99999999999");
  ASSERT_NE(parsed, nullptr);
  EXPECT_EQ(parsed->duration(), kMax);  // A century does not fit in 32-bit seconds.
  EXPECT_EQ(parsed->count(), kMax);
  EXPECT_EQ(parsed->interval(), std::numeric_limits<int32_t>::min());
  parsed = ParseRecurrence(L"DTSTARTTZID=:20080307T090000Z\r\nRRULE:FREQ=DAILY");
  ASSERT_NE(parsed, nullptr);
  EXPECT_EQ(parsed->tzid(), L"");
}

TEST(ByDay, OrdinalsAndDays) {
  struct Case {
    std::wstring_view value;
    int32_t days_of_week;  // 0: refused.
    int32_t ordwk;         // Starts at 3.
    std::string line;
  };
  const Case cases[] = {
      {L"1MO,1WE", 10, 1, ""},
      {L"MO,WE,MO", 10, 3, ""},
      {L"-1SA", 64, 5, ""},
      {L"1MO,2WE", 0, 3, "Multiple values of ordwk are not supported"},
      {L"5MO", 0, 3, "Unsupported value of ordwk"},
      {L"99999999999MO", 0, 3, "Unsupported value of ordwk"},
      {L"mo", 0, 3, "Unsupported value of weekday"},
      {L"MO,W", 0, 3, ""},
      {L",,", 0, 3, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.value));
    testing::CapturedLog log;
    Recurrence recurrence;
    recurrence.set_ordwk(3);
    ASSERT_EQ(ParseByDay(c.value, recurrence), c.days_of_week != 0);
    EXPECT_EQ(recurrence.ordwk(), c.ordwk);
    if (c.days_of_week != 0) {
      EXPECT_EQ(recurrence.days_of_week(), c.days_of_week);
    }
    EXPECT_EQ(log.Text(), c.line.empty() ? "" : c.line + "\n");
  }
}

TEST(Duration, AcceptedFormsAndSaturation) {
  const std::pair<std::wstring_view, int32_t> accepted[] = {
      {L"PT3600S", 3600},      {L"PT1H30M", 5400},         {L"P1DT2H", 93600},
      {L"P2WT0S", 1209600},    {L"-PT15M", 900},           {L"PT99999999999S", kMax},
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
}

TEST(RRuleParameters, TrimmedLastOneWinsPiecesWithoutEqualsIgnored) {
  const std::map<std::wstring, std::wstring> expected = {
      {L"FREQ", L"WEEKLY"}, {L"COUNT", L"5"}, {L"X", L"a=b"}, {L"Y", L""}};
  EXPECT_EQ(ParseRRuleParameters(L" FREQ = WEEKLY ;COUNT=3;junk;;COUNT=5;X=a=b;Y="), expected);
}

TEST(RecurrenceGenerate, RefusesRecordsItCannotWrite) {
  testing::CapturedLog log;
  Recurrence recurrence;
  EXPECT_EQ(GenerateICal(recurrence), L"");  // No start.
  recurrence.set_start(std::make_unique<DateTime>(DateTime::FromDate(7, 3, 2008)));
  recurrence.set_frequency(static_cast<Frequency>(7));
  EXPECT_EQ(GenerateICal(recurrence), L"");
  EXPECT_TRUE(HasLine(log.Text(), "SEVERE: Unknown frequency7")) << log.Text();
}

std::unique_ptr<Event> Exception(int day, int milliseconds, std::wstring title,
                                 EventStatus status = kEventStatusConfirmed) {
  auto event = std::make_unique<Event>();
  event->set_original_date(
      std::make_unique<DateTime>(DateTime::FromFields(day, 3, 2008, 9, 0, 0, milliseconds)));
  event->set_title(std::move(title));
  event->set_status(status);
  return event;
}

TEST(RecurrenceEquals, RuleFieldsCountTextAndZoneDoNot) {
  EXPECT_TRUE(RecurrenceEquals(nullptr, nullptr));
  auto a = ParseRecurrence(kStart + L"RRULE:FREQ=DAILY");
  auto b = ParseRecurrence(kStart + L"RRULE:FREQ=DAILY");
  EXPECT_FALSE(RecurrenceEquals(a.get(), nullptr));
  b->set_text(L"other");
  b->set_tzid(L"Europe/Paris");
  b->set_start(std::make_unique<DateTime>(DateTime::FromFields(15, 3, 2008, 9, 0, 0, 400)));
  EXPECT_TRUE(RecurrenceEquals(a.get(), b.get()));
  b->set_until(std::make_unique<DateTime>(DateTime::FromDate(1, 4, 2008)));
  EXPECT_FALSE(RecurrenceEquals(a.get(), b.get()));
}

TEST(RecurrenceEquals, ExceptionsMatchedByOriginalInstant) {
  auto a = ParseRecurrence(kStart + L"RRULE:FREQ=DAILY");
  auto b = ParseRecurrence(kStart + L"RRULE:FREQ=DAILY");
  a->AddException(Exception(16, 0, L"moved"));
  a->AddException(Exception(17, 0, L"gone", kEventStatusCanceled));
  b->AddException(Exception(17, 0, L"other title", kEventStatusCanceled));
  EXPECT_FALSE(RecurrenceEquals(a.get(), b.get()));  // Different lengths.
  b->AddException(Exception(16, 0, L"moved"));
  EXPECT_TRUE(RecurrenceEquals(a.get(), b.get()));  // In any order.
  b->ClearExceptions();
  b->AddException(Exception(16, 0, L"moved"));
  b->AddException(Exception(17, 0, L"gone"));
  EXPECT_FALSE(RecurrenceEquals(a.get(), b.get()));  // Cancelled on one side only.
  b->ClearExceptions();
  b->AddException(Exception(16, 1, L"moved"));
  b->AddException(Exception(17, 0, L"gone", kEventStatusCanceled));
  EXPECT_FALSE(RecurrenceEquals(a.get(), b.get()));  // Milliseconds count here.

  // Of several exceptions for one date, the last one counts.
  a->AddException(Exception(17, 0, L"back"));
  b->ClearExceptions();
  b->AddException(Exception(16, 0, L"moved"));
  b->AddException(Exception(17, 0, L"back"));
  b->AddException(Exception(17, 0, L"back"));
  EXPECT_TRUE(RecurrenceEquals(a.get(), b.get()));
  for (Event* exception : b->ExceptionList()) {
    if (exception->title() == L"back") exception->set_status(kEventStatusCanceled);
  }
  EXPECT_FALSE(RecurrenceEquals(a.get(), b.get()));
}

}  // namespace
}  // namespace calendar_mirrow_addin
