#include "model/date_time.h"

#include <gtest/gtest.h>

#include "base/text.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

DateTime Utc(int year, int month, int day, int hour, int minute, int second, int ms = 0) {
  return DateTime::FromFields(day, month, year, hour, minute, second, ms);
}

TEST(DateTimeTest, IsoText) {
  const std::pair<const wchar_t*, DateTime> accepted[] = {
      {L"2008-03-07", DateTime::FromDate(7, 3, 2008)},
      {L"2008-03-07T09:05:00.000Z", Utc(2008, 3, 7, 9, 5, 0)},
      {L"2008-03-07T10:05:00.000+01:00", Utc(2008, 3, 7, 9, 5, 0)},
      {L"2008-03-07T04:05:00.000-05:00", Utc(2008, 3, 7, 9, 5, 0)},
      // An offset that crosses midnight and a year boundary.
      {L"2009-01-01T01:30:00.250+05:30", Utc(2008, 12, 31, 20, 0, 0, 250)},
  };
  for (const auto& [text, expected] : accepted) {
    const auto value = ParseIso(text);
    ASSERT_NE(value, nullptr) << WideToUtf8(text);
    EXPECT_EQ(*value, expected) << WideToUtf8(text);  // `==` also tells dates from times
    EXPECT_EQ(value->milliseconds, expected.milliseconds) << WideToUtf8(text);
  }
  // A fraction is required, an offset has minutes, every field its range.
  for (const wchar_t* text :
       {L"2008-03-07T09:05:00", L"2008-03-07T09:05.000Z", L"2008-03T09:05:00.000Z",
        L"2008-03-07T09:05:00.000+01", L"20080307", L"", L"T", L"2008-02-30",
        L"2008-13-07T09:05:00.000Z", L"2008-03-07T24:05:00.000Z", L"2008-03-07T09:05:00.1000Z",
        L"99999999999-01-01T00:00:00.000Z", L"67544-05-01T10:00:00.000Z", L"67544-05-01",
        L"2008-03-07T65545:05:00.000Z"}) {
    EXPECT_FALSE(ParseIso(text)) << WideToUtf8(text);
  }
  EXPECT_EQ(FormatIso(Utc(2008, 3, 7, 9, 5, 0, 7)), L"2008-03-07T09:05:00.007Z");
  EXPECT_EQ(FormatIso(DateTime::FromDate(7, 3, 2008)), L"2008-03-07");
}

// The recurrence texts rrule_examples.tsv checks are the iCalendar times' only use; a
// value the writer cannot convert is written in UTC, with a warning.
TEST(DateTimeTest, ICalTextInAnUnknownZone) {
  testing::CapturedLog log;
  EXPECT_EQ(FormatICal(Utc(2008, 3, 7, 9, 5, 0), L"Mars/Olympus_Mons"), L"20080307T090500");
  EXPECT_EQ(log.Text(),
            "SEVERE: Unable to convert to to: Mars/Olympus_Mons, using UTC values instead\n");
}

TEST(DateTimeTest, EqualityIgnoresMillisecondsButOrderingDoesNot) {
  const DateTime early = Utc(2008, 3, 7, 9, 5, 0, 100), late = Utc(2008, 3, 7, 9, 5, 0, 900);
  EXPECT_TRUE(early == late && early < late && !(late < early) && !(late > early));
  EXPECT_TRUE(Utc(2008, 3, 7, 9, 5, 1) > late);
  EXPECT_NE(DateTime::FromDate(7, 3, 2008), Utc(2008, 3, 7, 0, 0, 0));  // a date is no time
  EXPECT_TRUE(OptionalEquals(&early, &late) && !OptionalEquals(&early, nullptr));
}

TEST(DateTimeTest, ArithmeticCrossesBoundariesAndNeverWraps) {
  const DateTime date = AddDays(DateTime::FromDate(28, 2, 2008), 2);
  EXPECT_TRUE(date.date_only);
  EXPECT_EQ(date, DateTime::FromDate(1, 3, 2008));
  EXPECT_EQ(AddMinutes(Utc(2008, 1, 1, 0, 10, 0), -20), Utc(2007, 12, 31, 23, 50, 0));
  EXPECT_EQ(AddHours(Utc(2100, 2, 28, 23, 0, 0), 1), Utc(2100, 3, 1, 0, 0, 0));
  EXPECT_EQ(AddSeconds(Utc(2026, 12, 6, 12, 0, 0), 86400).day_of_week, 1);  // Monday
  // Results outside the representable range leave the value as it was.
  const DateTime edge = Utc(1601, 1, 1, 0, 0, 0);
  EXPECT_EQ(AddSeconds(edge, -1), edge);
  EXPECT_EQ(AddDays(edge, INT64_MAX), edge);
  EXPECT_EQ(SecondsBetween(Utc(2008, 3, 7, 10, 0, 0), Utc(2008, 3, 7, 9, 0, 0)), 3600u);
  EXPECT_EQ(SecondsBetween(Utc(2008, 3, 7, 9, 0, 1, 0), Utc(2008, 3, 7, 9, 0, 0, 1)), 0u);
  EXPECT_EQ(SecondsBetween(Utc(2008, 3, 7, 9, 0, 0), Utc(2008, 3, 7, 10, 0, 0)), 0u);
  // Rounding carries into the next year.
  const DateTime rounded = DateTime::FromSystemTimeRounded({2008, 12, 3, 31, 23, 59, 59, 500});
  EXPECT_TRUE(rounded == Utc(2009, 1, 1, 0, 0, 0) && rounded.milliseconds == 0);
  EXPECT_EQ(DateTime::FromSystemTimeRounded({2008, 12, 3, 31, 23, 59, 59, 499}),
            Utc(2008, 12, 31, 23, 59, 59));
}

}  // namespace
}  // namespace calendar_mirrow_addin
