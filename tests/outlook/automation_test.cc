#include "outlook/automation.h"

#include <gtest/gtest.h>

#include "tests/outlook/test_dispatch.h"
#include "tests/platform/env_guard.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

using testing::TestDispatch;

TestDispatch::Handler Returns(HRESULT hr, VARIANT value = VARIANT{}) {
  return [=](WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*) {
    if (result) VariantCopy(result, &value);
    return hr;
  };
}

VARIANT Text(const wchar_t* text) {
  VARIANT value{};
  value.vt = VT_BSTR;
  value.bstrVal = SysAllocString(text);
  return value;
}

VARIANT Long(LONG number) {
  VARIANT value{};
  SetLong(value, number);
  return value;
}

TEST(AutomationTest, LogsOneLinePerCallAndInvokesByItsKind) {
  testing::CapturedLog log;
  TestDispatch object, folder;
  VARIANT subject = Text(L"Team meeting"), lunch = Text(L"Lunch"), nine = Long(9);
  VARIANT folder_value{}, result{}, add_arguments[] = {Long(2), Text(L"x")};
  SetDispatch(folder_value, &folder);
  object.Answer(L"Subject", [&](WORD flags, DISPPARAMS*, VARIANT* out, EXCEPINFO* exception) {
    if (flags == DISPATCH_PROPERTYGET) return VariantCopy(out, &subject);
    exception->bstrDescription = SysAllocString(L"Read-only");
    exception->scode = E_ACCESSDENIED;
    return DISP_E_EXCEPTION;
  });
  object.Answer(L"GetDefaultFolder", Returns(S_OK, folder_value));
  object.Answer(L"Add", Returns(S_OK, Long(7)));
  object.Answer(L"Items", [](WORD flags, DISPPARAMS*, VARIANT*, EXCEPINFO*) {
    return flags == DISPATCH_METHOD ? DISP_E_MEMBERNOTFOUND : S_OK;  // a property after all
  });
  object.Answer(L"Save", Returns(S_FALSE));
  const struct {
    std::function<HRESULT()> call;
    std::vector<WORD> flags;
    std::string line;
  } cases[] = {
      {[&] { return GetProperty(&object, L"Subject", &result); },
       {DISPATCH_PROPERTYGET},
       "IDispatch::GetProperty : Subject => Team meeting // S_OK"},
      {[&] { return CallMethod(&object, L"GetDefaultFolder", &result, 1, &nine); },
       {DISPATCH_METHOD},
       "IDispatch::CallMethod : GetDefaultFolder(9) // S_OK"},
      {[&] { return CallMethod(&object, L"Add", &result, 2, add_arguments); },
       {DISPATCH_METHOD},
       "IDispatch::CallMethod : Add(2, x) => 7 // S_OK"},
      {[&] { return CallMethod(&object, L"Items", &result, 0, nullptr); },
       {DISPATCH_METHOD, DISPATCH_METHOD | DISPATCH_PROPERTYGET},
       "IDispatch::CallMethod : Items() // S_OK"},
      {[&] { return PutProperty(&object, L"Subject", lunch); },
       {DISPATCH_PROPERTYPUT},
       "SEVERE: IDispatch::PutProperty : Subject(Lunch) //  [hr: 0x80020009] [exception "
       "Read-only wCode: 0 scode: -2147024891]"},
      {[&] { return CallMethodNoArgs(&object, L"Save"); },
       {DISPATCH_METHOD},
       "SEVERE: IDispatch::CallMethodNoArgs : Save //  [hr: 0x1]"},
      {[&] { return GetProperty(&object, L"Missing", &result); },
       {},
       "SEVERE: IDispatch::GetProperty : Missing //  [hr: 0x80020006]"},
  };
  for (const auto& c : cases) {
    log.Clear();
    object.flags.clear();
    c.call();
    VariantClear(&result);
    EXPECT_EQ(log.Text(), c.line + "\n");
    EXPECT_EQ(object.flags, c.flags) << c.line;
  }
  EXPECT_TRUE(object.sound_calls);
  for (VARIANT* value : {&subject, &folder_value, &lunch, &add_arguments[1]}) VariantClear(value);
  EXPECT_EQ(folder.references, 1u);
  EXPECT_EQ(GetProperty(&object, nullptr, &result), E_INVALIDARG);
  EXPECT_EQ(CallMethod(&object, L"Add", &result, 1, nullptr), E_POINTER);
}

TEST(AutomationTest, SettersReleaseWhatTheValueHeld) {
  TestDispatch first, second;
  VARIANT value = Text(L"held");  // a leak of this string fails the sanitizer run
  SetDispatch(value, &first);
  SetDispatch(value, &first);
  EXPECT_EQ(first.references, 2u);
  SetDispatch(value, &second);
  SetBool(value, true);
  EXPECT_EQ(first.references + second.references, 2u);
  EXPECT_EQ(value.vt, VT_BOOL);
  EXPECT_EQ(static_cast<uint16_t>(value.boolVal), 0xFFFF);
}

TEST(AutomationTest, ConvertsDatesThroughZones) {
  testing::EnvGuard zone("TZ", "Asia/Tokyo");
  const DateTime afternoon = DateTime::FromFields(10, 3, 2008, 14, 30, 0, 0);
  const DateTime night = DateTime::FromFields(10, 3, 2008, 2, 30, 0, 0);
  const DateTime date = DateTime::FromDate(10, 3, 2008);
  const struct {
    const DateTime& value;
    std::wstring zone;
    bool date_only;
    int day, hour, minute;
  } cases[] = {
      {afternoon, L"", false, 10, 14, 30},
      {afternoon, L"Europe/Paris", false, 10, 15, 30},
      {afternoon, L"LOCAL-tz-id", false, 10, 23, 30},
      {night, L"America/New_York", false, 9, 22, 30},
      {date, L"America/New_York", false, 10, 0, 0},
      {afternoon, L"Europe/Paris", true, 10, 0, 0},
      {night, L"America/New_York", true, 9, 0, 0},
  };
  VARIANT value = Text(L"replaced");
  for (const auto& c : cases) {
    EXPECT_TRUE(c.date_only ? DateToVariant(c.value, c.zone, value)
                            : DateTimeToVariant(c.value, c.zone, value));
    SYSTEMTIME fields{};
    ASSERT_EQ(value.vt, VT_DATE);
    ASSERT_TRUE(VariantTimeToSystemTime(value.date, &fields));
    EXPECT_EQ(fields.wYear * 10000 + fields.wMonth * 100 + fields.wDay, 20080300 + c.day);
    EXPECT_EQ(fields.wHour * 100 + fields.wMinute, c.hour * 100 + c.minute);
  }
  EXPECT_FALSE(DateTimeToVariant(afternoon, L"Nowhere/Atlantis", value));

  DateTimeToVariant(afternoon, L"local-tz-id", value);
  const auto timed = VariantToDateTime(value, false);
  const auto day = VariantToDateTime(value, true);
  ASSERT_TRUE(timed && day);
  EXPECT_EQ(*timed, afternoon);
  EXPECT_TRUE(day->date_only && day->day == 10);
  EXPECT_FALSE(VariantToDateTime(Long(3), false));
}

TEST(AutomationTest, RemovesAllItemsLastFirst) {
  const struct {
    LONG count, failing_index;
    std::vector<LONG> removed;
    HRESULT hr;
  } cases[] = {{0, 0, {}, S_OK}, {3, 0, {3, 2, 1}, S_OK}, {3, 2, {3, 2}, E_FAIL}};
  for (const auto& c : cases) {
    TestDispatch items;
    std::vector<LONG> removed;
    items.Answer(L"Count", Returns(S_OK, Long(c.count)));
    items.Answer(L"Remove", [&](WORD flags, DISPPARAMS* params, VARIANT*, EXCEPINFO*) {
      if (params->cArgs != 1 || params->rgvarg[0].vt != VT_I4) return E_INVALIDARG;
      if (flags == DISPATCH_METHOD) removed.push_back(params->rgvarg[0].lVal);
      return params->rgvarg[0].lVal == c.failing_index ? E_FAIL : S_OK;
    });
    EXPECT_EQ(RemoveAllItems(&items), c.hr);
    EXPECT_EQ(removed, c.removed);
  }
}

}  // namespace
}  // namespace calendar_mirrow_addin
