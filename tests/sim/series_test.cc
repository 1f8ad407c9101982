// Recurring series in the simulated object model, and the same series through MAPI.

#include <gtest/gtest.h>

#include <vector>

#include "base/text.h"
#include "platform/com/mapi_interfaces.h"
#include "platform/com/oleaut.h"
#include "sim/outlook/dispatch_object.h"
#include "sim/outlook/object_model.h"
#include "sim/outlook/seed.h"
#include "sim/outlook/series.h"
#include "tests/platform/env_guard.h"
#include "tests/sim/ref.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin::sim {
namespace {

constexpr FileTime kMonday = 133'219'296'000'000'000ULL;  // 2023-02-27T00:00:00Z
constexpr int64_t kHour = 36'000'000'000;

using Obj = Ref<IDispatch>;

LONG GetLong(IDispatch* d, const wchar_t* name) { return Get(d, name).v.lVal; }
DATE GetDate(IDispatch* d, const wchar_t* name) { return Get(d, name).v.date; }
std::wstring GetText(IDispatch* d, const wchar_t* name) { return Get(d, name).text(); }
HRESULT Save(IDispatch* d, std::wstring* error = nullptr) {
  Outcome out = Call(d, L"Save", kMethod);
  if (error != nullptr) *error = out.description;
  return out.hr;
}

DATE LocalOf(FileTime utc) { return LocalDate(utc).value_or(0); }
FileTime UtcOf(DATE local) { return UtcFileTime(local).value_or(0); }
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
    store_ = Store::Open("", nullptr);
    store_->SetClock([] { return kMonday; });
    app_ = Obj(NewApplication(store_));
  }
  Obj ItemOf(const Bytes& id) {
    Obj ns = GetObj(app_.p, L"GetNamespace", {L"MAPI"});
    return GetObj(ns.p, L"GetItemFromID", {HexText(id).c_str()});
  }
  testing::EnvGuard tz_{"TZ", "America/New_York"};
  std::shared_ptr<Store> store_;
  Obj app_;
};

TEST_F(SeriesTest, EachTypeWrittenThroughTheObjectModelReadsBackThroughBothViews) {
  struct Case {
    LONG type;
    std::vector<std::pair<const wchar_t*, LONG>> puts;
    DATE second;  // the second occurrence, 09:00 local
  };
  const Case cases[] = {
      {0, {{L"Interval", 3}}, Day(2023, 3, 2, 540)},
      {1, {{L"DayOfWeekMask", 2 | 16}, {L"Interval", 2}}, Day(2023, 3, 2, 540)},
      {2, {{L"DayOfMonth", 27}, {L"Interval", 2}}, Day(2023, 4, 27, 540)},
      {3, {{L"DayOfWeekMask", 2}, {L"Instance", 5}}, Day(2023, 3, 27, 540)},
      {5, {{L"DayOfMonth", 27}, {L"MonthOfYear", 2}}, Day(2024, 2, 27, 540)},
      {6, {{L"DayOfWeekMask", 2}, {L"Instance", 4}, {L"MonthOfYear", 2}}, Day(2024, 2, 26, 540)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    SetUp();
    Obj item = NewSeries(app_.p);
    Obj pattern = GetObj(item.p, L"GetRecurrencePattern");
    ASSERT_EQ(Put(pattern.p, L"RecurrenceType", c.type), S_OK);
    for (const auto& [name, value] : c.puts) ASSERT_EQ(Put(pattern.p, name, value), S_OK);
    ASSERT_EQ(Put(pattern.p, L"Occurrences", 4), S_OK);
    ASSERT_EQ(Save(item.p), S_OK);

    const auto stored = StoredPattern(*store_);
    ASSERT_TRUE(stored.has_value());
    const RecurrenceView view = ViewFromPattern(*stored);
    EXPECT_EQ(static_cast<LONG>(view.type), c.type);
    EXPECT_EQ(view.occurrences, 4u);
    EXPECT_EQ(view.start_time, 540u);
    EXPECT_EQ(view.duration, 60u);
    const auto& item_props = store_->items().begin()->second;
    EXPECT_EQ(NamedValue(*store_, item_props, kRecurring), PropData(int64_t{1}));
    EXPECT_EQ(NamedValue(*store_, item_props, kStartWhole),
              PropData(static_cast<int64_t>(kMonday + 14 * kHour)));  // 09:00 EST

    Obj reopened = ItemOf(store_->items().begin()->second.entry_id);
    EXPECT_EQ(GetLong(reopened.p, L"RecurrenceState"), 1);
    Obj read = GetObj(reopened.p, L"GetRecurrencePattern");
    EXPECT_EQ(GetLong(read.p, L"RecurrenceType"), c.type);
    for (const auto& [name, value] : c.puts)
      EXPECT_EQ(GetLong(read.p, name), value) << WideToUtf8(name);
    Obj second = GetObj(read.p, L"GetOccurrence", {Var::Date(c.second)});
    ASSERT_NE(second.p, nullptr);
    EXPECT_EQ(GetLong(second.p, L"RecurrenceState"), 2);
    EXPECT_EQ(GetDate(second.p, L"End"), c.second + 1.0 / 24);
  }
}

TEST_F(SeriesTest, MovedAndDeletedOccurrencesAreExceptionsInBothViewsAndPersist) {
  testing::TempDir dir;
  const std::string path = (dir.path() / "store.db").string();
  const DATE tuesday = Day(2023, 2, 28, 540);
  const DATE wednesday = Day(2023, 3, 1, 540);
  {
    auto store = Store::Open(path, nullptr);
    store->SetClock([] { return kMonday; });
    Obj app(NewApplication(store));
    Obj item = NewSeries(app.p);
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
    ASSERT_EQ(Put(moved.p, L"Body", Var(L"Own notes")), S_OK);  // beyond the records
    ASSERT_EQ(Save(moved.p), S_OK);
    EXPECT_EQ(GetLong(moved.p, L"RecurrenceState"), 3);
    Obj gone = GetObj(pattern.p, L"GetOccurrence", {Var::Date(tuesday)});
    ASSERT_EQ(Call(gone.p, L"Delete", kMethod).hr, S_OK);
    // Moving an occurrence onto its neighbour's day is refused.
    Obj last = GetObj(pattern.p, L"GetOccurrence", {Var::Date(wednesday + 2)});
    ASSERT_EQ(Put(last.p, L"Start", Var::Date(wednesday + 1)), S_OK);
    EXPECT_EQ(Save(last.p), DISP_E_EXCEPTION);
  }
  auto store = Store::Open(path, nullptr);
  ASSERT_NE(store, nullptr);
  const auto stored = StoredPattern(*store);
  ASSERT_TRUE(stored.has_value());
  const uint32_t tuesday_day = static_cast<uint32_t>(*ToLocalMinutes({2023, 2, 28}));
  const uint32_t wednesday_day = tuesday_day + kMinutesPerDay;
  EXPECT_EQ(stored->deleted_instance_dates, (std::vector<uint32_t>{tuesday_day, wednesday_day}));
  EXPECT_EQ(stored->modified_instance_dates, std::vector<uint32_t>{wednesday_day});
  ASSERT_EQ(stored->exceptions.size(), 1u);
  EXPECT_EQ(stored->exceptions[0].start, wednesday_day + 11 * 60);
  EXPECT_EQ(stored->exceptions[0].original_start, wednesday_day + 9 * 60);
  EXPECT_EQ(stored->exceptions[0].override_flags, kOverrideSubject);
  EXPECT_EQ(stored->exceptions[0].wide_subject, L"Moved");

  Obj app(NewApplication(store));
  Obj ns = GetObj(app.p, L"GetNamespace", {L"MAPI"});
  Obj item = GetObj(ns.p, L"GetItemFromID",
                    {Var(HexText(store->items().begin()->second.entry_id).c_str())});
  Obj pattern = GetObj(item.p, L"GetRecurrencePattern");
  Obj exceptions = GetObj(pattern.p, L"Exceptions");
  ASSERT_EQ(GetLong(exceptions.p, L"Count"), 2);
  Obj first = GetObj(exceptions.p, L"Item", {1});
  Obj second = GetObj(exceptions.p, L"Item", {2});
  EXPECT_EQ(GetDate(first.p, L"OriginalDate"), tuesday);
  EXPECT_NE(Get(first.p, L"Deleted").v.boolVal, 0);
  EXPECT_EQ(Call(first.p, L"AppointmentItem", kGet).hr, DISP_E_EXCEPTION);
  EXPECT_EQ(GetDate(second.p, L"OriginalDate"), wednesday);
  EXPECT_EQ(Get(second.p, L"Deleted").v.boolVal, 0);
  Obj changed = GetObj(second.p, L"AppointmentItem");
  EXPECT_EQ(GetText(changed.p, L"Subject"), L"Moved");
  EXPECT_EQ(GetText(changed.p, L"Body"), L"Own notes");
  EXPECT_EQ(GetDate(changed.p, L"Start"), wednesday + 2.0 / 24);
  EXPECT_EQ(GetText(changed.p, L"EntryID"), GetText(item.p, L"EntryID"));
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

TEST_F(SeriesTest, ZoneOfTheSeriesPlacesOccurrencesInUtc) {
  // Sydney: UTC+10, daylight +11 from the first Sunday of October to the first of April.
  ZoneRule sydney{-600, 0, -60, {0, 4, 0, 1, 3, 0}, {0, 10, 0, 1, 2, 0}};
  ZoneRule india{-330, 0, 0, {}, {}};
  struct Case {
    ZoneRule zone;
    FileTime january;  // UTC of the 09:00 occurrences of 2024-01-15 and 2024-07-15
    FileTime july;
  };
  const FileTime jan15 = 133'497'504'000'000'000ULL;  // 2024-01-15T00:00:00Z
  const FileTime jul15 = jan15 + 182 * 24 * kHour;
  const Case cases[] = {{sydney, jan15 - 2 * kHour, jul15 - kHour},
                        {india, jan15 + 9 * kHour / 2 - kHour, jul15 + 7 * kHour / 2}};
  for (const Case& c : cases) {
    SetUp();
    RecurrenceView view;
    view.type = OlRecurrenceType::kMonthly;
    view.day_of_month = 15;
    view.pattern_start_date = *ToLocalMinutes({2024, 1, 15});
    view.start_time = 9 * 60;
    view.duration = 30;
    ASSERT_FALSE(
        AddRecurringAppointment(*store_, {}, view, TimeZoneStructBytes(c.zone), L"zone").empty());
    Obj item = ItemOf(store_->items().begin()->second.entry_id);
    EXPECT_EQ(UtcOf(GetDate(item.p, L"Start")), c.january);
    Obj pattern = GetObj(item.p, L"GetRecurrencePattern");
    EXPECT_EQ(GetDate(pattern.p, L"StartTime"), 9.0 / 24);  // in the series' zone
    Obj july = GetObj(pattern.p, L"GetOccurrence", {Var::Date(LocalOf(c.july))});
    ASSERT_NE(july.p, nullptr);
    EXPECT_EQ(UtcOf(GetDate(july.p, L"End")), c.july + kHour / 2);
  }
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
    EXPECT_EQ(UtcOf(GetDate(item.p, L"Start")), UtcOf(Day(2023, 2, 27, 9 * 60)));
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

// A store can hold a series whose recurrence data names another end than the object model
// reports; the switch makes MAPI readers see that, and only them.
TEST_F(SeriesTest, RecurrenceEndTypeSwitchMakesTheTwoViewsDisagree) {
  const LocalMinutes monday = *ToLocalMinutes({2023, 2, 27});
  const struct {
    OlRecurrenceType type;
    uint32_t mask;
    RecurrenceView::End end;
    uint32_t stored;    // the end type the pattern makes
    uint32_t reported;  // the end type MAPI readers are to see
    size_t offset;      // of the field, after the type's own fields
  } cases[] = {
      {OlRecurrenceType::kDaily, 0, RecurrenceView::End::kNever, 0x2023, 0x2021, 22},
      {OlRecurrenceType::kWeekly, 2, RecurrenceView::End::kAfterOccurrences, 0x2022, 0x2023, 26},
      {OlRecurrenceType::kMonthNth, 2, RecurrenceView::End::kNever, 0x2023, 0x2022, 30},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.type));
    RecurrenceView view;
    view.type = c.type;
    view.day_of_week_mask = c.mask;
    view.instance = c.type == OlRecurrenceType::kMonthNth ? 1 : 0;
    view.pattern_start_date = monday;
    view.end = c.end;
    view.occurrences = 10;
    view.start_time = 9 * 60;
    view.duration = 60;
    const Bytes id = AddRecurringAppointment(*store_, AppointmentSeed{}, view);
    ASSERT_FALSE(id.empty());
    Obj item = ItemOf(id);
    Ref<IMessage> message = MessageOf(item.p);
    auto end_type_read = [&] {
      SizedSPropTagArray(1, tags) = {1, {store_->NamedTag(kApptRecur)}};
      ULONG count = 0;
      LPSPropValue values = nullptr;
      uint32_t end_type = 0;
      EXPECT_EQ(message->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &values),
                S_OK);
      if (values != nullptr && values[0].Value.bin.cb >= c.offset + 4) {
        for (size_t i = 0; i < 4; ++i)
          end_type |= uint32_t{values[0].Value.bin.lpb[c.offset + i]} << (8 * i);
      }
      MAPIFreeBuffer(values);
      return end_type;
    };
    EXPECT_EQ(end_type_read(), c.stored);
    store_->faults().SetRecurrenceEndType(id, c.reported);
    EXPECT_EQ(end_type_read(), c.reported);
    Obj pattern = GetObj(item.p, L"GetRecurrencePattern");
    EXPECT_EQ(Get(pattern.p, L"NoEndDate").v.boolVal != 0, c.end == RecurrenceView::End::kNever);
    if (c.end != RecurrenceView::End::kNever) {
      EXPECT_EQ(GetLong(pattern.p, L"Occurrences"), 10);
    }
    store_->faults().Clear();
    EXPECT_EQ(end_type_read(), c.stored);
  }
}

}  // namespace
}  // namespace calendar_mirrow_addin::sim
