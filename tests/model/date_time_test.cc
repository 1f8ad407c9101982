#include "model/date_time.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

using testing::CapturedLog;

DateTime Utc(int year, int month, int day, int hour, int minute, int second, int ms = 0) {
  return DateTime::FromFields(day, month, year, hour, minute, second, ms);
}

TEST(DateTimeTest, ParseIsoAcceptsDatesTimesAndOffsets) {
  auto date = ParseIso(L"2008-03-07");
  ASSERT_TRUE(date);
  EXPECT_TRUE(date->date_only);
  EXPECT_EQ(*date, DateTime::FromDate(7, 3, 2008));

  const DateTime expected = Utc(2008, 3, 7, 9, 5, 0);
  for (const wchar_t* text : {L"2008-03-07T09:05:00.000Z", L"2008-03-07T10:05:00.000+01:00",
                              L"2008-03-07T04:05:00.000-05:00", L"2008-03-07T09:05:00.000"}) {
    auto value = ParseIso(text);
    ASSERT_TRUE(value) << text;
    EXPECT_EQ(*value, expected) << text;
    EXPECT_FALSE(value->date_only);
  }
  // An offset that crosses midnight and a year boundary.
  auto shifted = ParseIso(L"2009-01-01T01:30:00.250+05:30");
  ASSERT_TRUE(shifted);
  EXPECT_EQ(*shifted, Utc(2008, 12, 31, 20, 0, 0));
  EXPECT_EQ(shifted->milliseconds, 250);
}

TEST(DateTimeTest, ParseIsoRefusesMalformedAndImpossibleText) {
  for (const wchar_t* text : {
           L"2008-03-07T09:05:00",         // fraction required
           L"2008-03-07T09:05.000Z",       // two time fields
           L"2008-03T09:05:00.000Z",       // two date fields
           L"2008-03-07T09:05:00.000+01",  // offset without minutes
           L"20080307",                    // not ten characters, no T
           L"",
           L"T",
           L"2008-02-30",                // no such day
           L"2008-13-07T09:05:00.000Z",  // no such month
           L"2008-03-07T24:05:00.000Z",  // no such hour
           L"2008-03-07T09:05:00.1000Z",
           L"99999999999-01-01T00:00:00.000Z",
       }) {
    EXPECT_FALSE(ParseIso(text)) << std::wstring(text).c_str();
  }
}

TEST(DateTimeTest, FormatIsoHasFixedWidths) {
  EXPECT_EQ(FormatIso(Utc(2008, 3, 7, 9, 5, 0, 7)), L"2008-03-07T09:05:00.007Z");
  EXPECT_EQ(FormatIso(DateTime::FromDate(7, 3, 2008)), L"2008-03-07");
  // Round trip of a value with every field in use.
  const DateTime value = Utc(1999, 12, 31, 23, 59, 59, 999);
  auto parsed = ParseIso(FormatIso(value));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(*parsed, value);
  EXPECT_EQ(parsed->milliseconds, 999);
}

TEST(DateTimeTest, EqualityIgnoresMillisecondsButOrderingDoesNot) {
  const DateTime early = Utc(2008, 3, 7, 9, 5, 0, 100);
  const DateTime late = Utc(2008, 3, 7, 9, 5, 0, 900);
  EXPECT_TRUE(early == late);
  EXPECT_TRUE(early < late);
  EXPECT_FALSE(late < early);
  EXPECT_FALSE(late > early);  // Equal values are not greater.
  EXPECT_TRUE(Utc(2008, 3, 7, 9, 5, 1) > late);
  // A date differs from midnight of the same day.
  EXPECT_NE(DateTime::FromDate(7, 3, 2008), Utc(2008, 3, 7, 0, 0, 0));
  DateTime a = early;
  EXPECT_TRUE(OptionalEquals(nullptr, nullptr));
  EXPECT_FALSE(OptionalEquals(&a, nullptr));
  EXPECT_TRUE(OptionalEquals(&a, &late));
}

TEST(DateTimeTest, ArithmeticCrossesBoundaries) {
  const DateTime date = AddDays(DateTime::FromDate(28, 2, 2008), 2);
  EXPECT_TRUE(date.date_only);
  EXPECT_EQ(date, DateTime::FromDate(1, 3, 2008));
  EXPECT_EQ(AddDays(DateTime::FromDate(28, 2, 2009), 1), DateTime::FromDate(1, 3, 2009));
  EXPECT_EQ(AddMinutes(Utc(2008, 1, 1, 0, 10, 0), -20), Utc(2007, 12, 31, 23, 50, 0));
  EXPECT_EQ(AddHours(Utc(2100, 2, 28, 23, 0, 0), 1), Utc(2100, 3, 1, 0, 0, 0));
  const DateTime shifted = AddSeconds(Utc(2026, 12, 6, 12, 0, 0), 86400);
  EXPECT_EQ(shifted.day_of_week, 1);  // Monday
  // Results outside the representable range leave the value as it was.
  const DateTime edge = Utc(1601, 1, 1, 0, 0, 0);
  EXPECT_EQ(AddSeconds(edge, -1), edge);
  EXPECT_EQ(AddDays(edge, INT64_MAX), edge);
}

TEST(DateTimeTest, SecondsBetweenNeverWraps) {
  EXPECT_EQ(SecondsBetween(Utc(2008, 3, 7, 10, 0, 0), Utc(2008, 3, 7, 9, 0, 0)), 3600u);
  EXPECT_EQ(SecondsBetween(Utc(2008, 3, 7, 9, 0, 1, 0), Utc(2008, 3, 7, 9, 0, 0, 1)), 0u);
  EXPECT_EQ(SecondsBetween(Utc(2008, 3, 7, 9, 0, 0), Utc(2008, 3, 7, 10, 0, 0)), 0u);
}

TEST(DateTimeTest, RoundedSystemTimeCarriesIntoTheNextYear) {
  SystemTime t{2008, 12, 3, 31, 23, 59, 59, 500};
  const DateTime rounded = DateTime::FromSystemTimeRounded(t);
  EXPECT_EQ(rounded, Utc(2009, 1, 1, 0, 0, 0));
  EXPECT_EQ(rounded.milliseconds, 0);
  t.milliseconds = 499;
  EXPECT_EQ(DateTime::FromSystemTimeRounded(t), Utc(2008, 12, 31, 23, 59, 59));
}

TEST(DateTimeTest, FormatICalInZones) {
  CapturedLog log;
  const DateTime value = Utc(2008, 3, 7, 9, 5, 0);
  EXPECT_EQ(FormatICal(value), L"20080307T090500Z");
  EXPECT_EQ(FormatICal(DateTime::FromDate(7, 3, 2008), L"Europe/Paris"), L"20080307");
  EXPECT_EQ(FormatICal(value, L"Europe/Paris"), L"20080307T100500");
  EXPECT_EQ(FormatICal(Utc(2008, 7, 7, 9, 5, 0), L"America/New_York"), L"20080707T050500");
  EXPECT_FALSE(log.Contains("SEVERE"));
  EXPECT_EQ(FormatICal(value, L"Mars/Olympus_Mons"), L"20080307T090500");
  EXPECT_TRUE(log.Contains(
      "SEVERE: Unable to convert to to: Mars/Olympus_Mons, using UTC values instead\n"));
}

TEST(DateTimeTest, ParseICalForms) {
  auto utc = ParseICal(L"20080307T090500Z", L"Europe/Paris");
  ASSERT_TRUE(utc);
  EXPECT_EQ(*utc, Utc(2008, 3, 7, 9, 5, 0));
  auto date = ParseICal(L"20080307", L"Europe/Paris");
  ASSERT_TRUE(date);
  EXPECT_TRUE(date->date_only);
  auto local = ParseICal(L"20080307T100500", L"Europe/Paris");
  ASSERT_TRUE(local);
  EXPECT_EQ(*local, Utc(2008, 3, 7, 9, 5, 0));
  auto floating = ParseICal(L"20080307T100500", L"");
  ASSERT_TRUE(floating);
  EXPECT_EQ(*floating, Utc(2008, 3, 7, 10, 5, 0));
  // Round trip through a zone's wall-clock time.
  const DateTime summer = Utc(2026, 7, 1, 16, 30, 0);
  auto back = ParseICal(FormatICal(summer, L"America/New_York"), L"America/New_York");
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, summer);
}

TEST(DateTimeTest, ParseICalRefusesBadText) {
  for (const wchar_t* text : {L"", L"Z", L"2008", L"20080307T09", L"20081307", L"20080230",
                              L"20080307T250000Z", L"2008T03T07", L"20080307T0905xxZ"}) {
    EXPECT_FALSE(ParseICal(text, L"")) << std::wstring(text).c_str();
  }
  EXPECT_FALSE(ParseICal(L"20080307T100500", L"Mars/Olympus_Mons"));
}

}  // namespace
}  // namespace calendar_mirrow_addin
