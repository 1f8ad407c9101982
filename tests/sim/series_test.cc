// Recurring series in the simulated object model, and the same series through MAPI.

#include <gtest/gtest.h>

#include <vector>

#include "base/text.h"
#include "platform/com/oleaut.h"
#include "sim/outlook/object_model.h"
#include "sim/outlook/seed.h"
#include "sim/outlook/series.h"
#include "tests/platform/env_guard.h"
#include "tests/sim/ref.h"

namespace calendar_mirrow_addin::sim {
namespace {

using Obj = Ref<IDispatch>;

LONG GetLong(IDispatch* d, const wchar_t* name) { return Get(d, name).v.lVal; }
DATE GetDate(IDispatch* d, const wchar_t* name) { return Get(d, name).v.date; }
std::wstring GetText(IDispatch* d, const wchar_t* name) { return Get(d, name).text(); }
HRESULT Save(IDispatch* d, std::wstring* error = nullptr) {
  Outcome out = Call(d, L"Save", kMethod);
  if (error != nullptr) *error = out.description;
  return out.hr;
}

DATE Day(int y, int m, int d, int minute = 0) {
  return DateOfMinutes(*ToLocalMinutes({y, m, d}, minute));
}

std::optional<RecurrencePatternData> StoredPattern(Store& store) {
  const auto value = NamedValue(store, store.items().begin()->second, kApptRecur);
  const auto* bytes = value ? std::get_if<Bytes>(&*value) : nullptr;
  return bytes ? DecodeAppointmentRecur(*bytes) : std::nullopt;
}

// A new series through the object model: 09:00-10:00 local from Monday 2023-02-27.
Obj NewSeries(IDispatch* app) {
  Obj item = GetObj(app, L"CreateItem", {1});
  EXPECT_EQ(Put(item.p, L"Start", Var::Date(Day(2023, 2, 27, 9 * 60))), S_OK);
  EXPECT_EQ(Put(item.p, L"End", Var::Date(Day(2023, 2, 27, 10 * 60))), S_OK);
  return item;
}

class SeriesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = MemoryStore();
    app_ = Obj(NewApplication(store_));
  }
  testing::EnvGuard tz_{"TZ", "America/New_York"};
  std::shared_ptr<Store> store_;
  Obj app_;
};

TEST_F(SeriesTest, MovedAndDeletedOccurrencesAreExceptionsInBothViews) {
  const DATE tuesday = Day(2023, 2, 28, 540);
  const DATE wednesday = Day(2023, 3, 1, 540);
  Obj item = NewSeries(app_.p);
  Obj pattern = GetObj(item.p, L"GetRecurrencePattern");
  ASSERT_EQ(Put(pattern.p, L"RecurrenceType", 0), S_OK);
  ASSERT_EQ(Put(pattern.p, L"Occurrences", 5), S_OK);
  ASSERT_EQ(Save(item.p), S_OK);
  const Outcome between =
      Call(pattern.p, L"GetOccurrence", kMethod, {Var::Date(tuesday + 1.0 / 1440)});
  EXPECT_EQ(between.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(between.description, kTextNoOccurrence);

  Obj moved = GetObj(pattern.p, L"GetOccurrence", {Var::Date(wednesday)});
  ASSERT_EQ(Put(moved.p, L"Start", Var::Date(wednesday + 2.0 / 24)), S_OK);  // 11:00
  ASSERT_EQ(Put(moved.p, L"Subject", Var(L"Moved")), S_OK);
  ASSERT_EQ(Put(moved.p, L"Body", Var(L"Own notes")), S_OK);
  ASSERT_EQ(Save(moved.p), S_OK);
  EXPECT_EQ(GetLong(moved.p, L"RecurrenceState"), 3);
  Obj gone = GetObj(pattern.p, L"GetOccurrence", {Var::Date(tuesday)});
  ASSERT_EQ(Call(gone.p, L"Delete", kMethod).hr, S_OK);
  // Moving an occurrence onto its neighbour's day is refused.
  Obj last = GetObj(pattern.p, L"GetOccurrence", {Var::Date(wednesday + 2)});
  ASSERT_EQ(Put(last.p, L"Start", Var::Date(wednesday + 1)), S_OK);
  EXPECT_EQ(Save(last.p), DISP_E_EXCEPTION);

  // Through the exceptions of a new opening, read from what was stored: the deleted
  // occurrence has no item; the changed one keeps the series' entry id and what its record
  // cannot hold.
  Obj again = ItemOf(app_.p, store_->items().begin()->second.entry_id);
  pattern = GetObj(again.p, L"GetRecurrencePattern");
  Obj exceptions = GetObj(pattern.p, L"Exceptions");
  ASSERT_EQ(GetLong(exceptions.p, L"Count"), 2);
  EXPECT_EQ(Call(GetObj(exceptions.p, L"Item", {1}).p, L"AppointmentItem", kGet).hr,
            DISP_E_EXCEPTION);
  Obj changed = GetObj(GetObj(exceptions.p, L"Item", {2}).p, L"AppointmentItem");
  EXPECT_EQ(GetText(changed.p, L"Body"), L"Own notes");
  EXPECT_EQ(GetText(changed.p, L"EntryID"), GetText(again.p, L"EntryID"));
  // The moved occurrence is found at its new time only.
  EXPECT_EQ(Call(pattern.p, L"GetOccurrence", kMethod, {Var::Date(wednesday)}).hr,
            DISP_E_EXCEPTION);
  Obj at_new = GetObj(pattern.p, L"GetOccurrence", {Var::Date(wednesday + 2.0 / 24)});
  EXPECT_EQ(GetText(at_new.p, L"Subject"), L"Moved");
  // Writing the pattern as it stands keeps the exceptions; changing it drops them.
  ASSERT_EQ(Put(pattern.p, L"Occurrences", 5), S_OK);
  EXPECT_EQ(GetLong(GetObj(pattern.p, L"Exceptions").p, L"Count"), 2);
  ASSERT_EQ(Put(pattern.p, L"Occurrences", 6), S_OK);
  EXPECT_EQ(GetLong(GetObj(pattern.p, L"Exceptions").p, L"Count"), 0);
}

TEST_F(SeriesTest, ASeriesMadeThroughTheObjectModelRecordsTheMachinesZone) {
  // The add-in cannot load a series without its zone; Outlook writes the machine's.
  struct Case {
    const char* tz;
    ZoneRule rule;
  };
  const Case cases[] = {
      {"Europe/Berlin", {-60, 0, -60, {0, 10, 0, 5, 3, 0}, {0, 3, 0, 5, 2, 0}}},
      {"Australia/Sydney", {-600, 0, -60, {0, 4, 0, 1, 3, 0}, {0, 10, 0, 1, 2, 0}}},
      {":Asia/Tokyo", {-540, 0, 0, {}, {}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tz);
    testing::EnvGuard tz("TZ", c.tz);
    SetUp();
    Obj item = NewSeries(app_.p);
    GetObj(item.p, L"GetRecurrencePattern");
    ASSERT_EQ(Save(item.p), S_OK);
    const StoredItem& stored = store_->items().begin()->second;
    const auto bytes = NamedValue(*store_, stored, kTimeZoneStruct);
    ASSERT_TRUE(bytes && std::holds_alternative<Bytes>(*bytes));
    EXPECT_EQ(std::get<Bytes>(*bytes), TimeZoneStructBytes(c.rule));
    EXPECT_EQ(NamedValue(*store_, stored, kTimeZoneDescription),
              PropData(Utf8ToWide(c.tz + (c.tz[0] == ':' ? 1 : 0))));
    EXPECT_EQ(GetDate(item.p, L"Start"), Day(2023, 2, 27, 9 * 60));
  }
}

TEST_F(SeriesTest, ClearRecurrencePatternMakesASingleAppointment) {
  Obj item = NewSeries(app_.p);
  Obj pattern = GetObj(item.p, L"GetRecurrencePattern");
  ASSERT_EQ(Save(item.p), S_OK);
  EXPECT_EQ(GetLong(item.p, L"RecurrenceState"), 1);
  ASSERT_EQ(Call(item.p, L"ClearRecurrencePattern", kMethod).hr, S_OK);
  ASSERT_EQ(Save(item.p), S_OK);
  EXPECT_EQ(GetLong(item.p, L"RecurrenceState"), 0);
  EXPECT_EQ(Get(item.p, L"IsRecurring").v.boolVal, 0);
  EXPECT_FALSE(StoredPattern(*store_).has_value());
  EXPECT_EQ(GetDate(item.p, L"Start"), Day(2023, 2, 27, 540));
}

TEST_F(SeriesTest, InvalidValuesAreRefusedAtOnceAndInvalidCombinationsOnSave) {
  struct Case {
    LONG type;
    const wchar_t* name;
    LONG value;
    bool at_once;
  };
  const Case cases[] = {
      {2, L"DayOfMonth", 0, true},     {2, L"DayOfMonth", 32, true},
      {5, L"MonthOfYear", 13, true},   {3, L"Instance", 6, true},
      {1, L"DayOfWeekMask", 0, true},  {0, L"Occurrences", 0, true},
      {0, L"DayOfWeekMask", 1, false},  // a daily series takes every day or every weekday
      {0, L"Interval", 1000, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.name) + " " + std::to_string(c.value));
    SetUp();
    Obj item = NewSeries(app_.p);
    Obj pattern = GetObj(item.p, L"GetRecurrencePattern");
    ASSERT_EQ(Put(pattern.p, L"RecurrenceType", c.type), S_OK);
    const Outcome put = Call(pattern.p, c.name, kPut, {c.value});
    EXPECT_EQ(put.hr == DISP_E_EXCEPTION, c.at_once);
    std::wstring error;
    EXPECT_EQ(Save(item.p, &error) == DISP_E_EXCEPTION, !c.at_once);
    EXPECT_FALSE((c.at_once ? put.description : error).empty());
  }
  // An end date before the start makes no series either.
  Obj item = NewSeries(app_.p);
  Obj pattern = GetObj(item.p, L"GetRecurrencePattern");
  ASSERT_EQ(Put(pattern.p, L"PatternEndDate", Var::Date(Day(2023, 2, 1))), S_OK);
  std::wstring error;
  EXPECT_EQ(Save(item.p, &error), DISP_E_EXCEPTION);
  EXPECT_EQ(error, kTextBadPattern);
}

}  // namespace
}  // namespace calendar_mirrow_addin::sim
