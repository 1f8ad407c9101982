// The automation runtime: counted strings, VARIANT lifetime, conversion to text and the
// automation dates.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "platform/com/oleaut.h"

namespace {

// An object that counts its references; the runtime must balance them.
class CountedObject : public IDispatch {
 public:
  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG AddRef() override { return ++references; }
  ULONG Release() override { return --references; }
  HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  ULONG references = 1;
};

VARIANT Make(VARTYPE type, std::function<void(VARIANT&)> fill = nullptr) {
  VARIANT value;
  VariantInit(&value);
  value.vt = type;
  if (fill) fill(value);
  return value;
}

std::wstring Text(BSTR text) { return std::wstring(text, SysStringLen(text)); }

TEST(BstrTest, KeepsLengthPrefixEmbeddedZerosAndTerminator) {
  const struct {
    const wchar_t* text;
    UINT length;
  } cases[] = {{L"", 0}, {L"abc", 3}, {L"a\0b\0", 4}, {nullptr, 3}};
  for (const auto& c : cases) {
    BSTR text = SysAllocStringLen(c.text, c.length);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(SysStringLen(text), c.length);
    EXPECT_EQ(SysStringByteLen(text), c.length * sizeof(OLECHAR));
    const std::wstring expected = c.text ? std::wstring(c.text, c.length) : std::wstring(3, 0);
    EXPECT_EQ(Text(text), expected);
    EXPECT_EQ(text[c.length], L'\0');
    SysFreeString(text);
  }
  BSTR counted = SysAllocString(L"Subject");
  EXPECT_EQ(Text(counted), L"Subject");
  SysFreeString(counted);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  // A length whose byte count cannot be held in the prefix is refused, not wrapped.
  EXPECT_EQ(SysAllocStringLen(L"x", std::numeric_limits<UINT>::max()), nullptr);
  EXPECT_EQ(SysAllocStringLen(L"x", std::numeric_limits<UINT>::max() / sizeof(OLECHAR)), nullptr);
}

TEST(VariantTest, ClearAndCopyBalanceReferencesAndStrings) {
  CountedObject object;
  for (VARTYPE type : {VT_DISPATCH, VT_UNKNOWN}) {
    VARIANT held = Make(type, [&](VARIANT& v) { v.pdispVal = &object; });
    object.AddRef();
    VARIANT copy;
    VariantInit(&copy);
    ASSERT_EQ(VariantCopy(&copy, &held), S_OK);
    EXPECT_EQ(object.references, 3u);
    EXPECT_EQ(VariantClear(&held), S_OK);
    EXPECT_EQ(held.vt, VT_EMPTY);
    // Copying over a held object releases it first.
    ASSERT_EQ(VariantCopy(&copy, &held), S_OK);
    EXPECT_EQ(object.references, 1u);
    EXPECT_EQ(copy.vt, VT_EMPTY);
  }

  const wchar_t kText[] = L"x\0y";
  VARIANT text = Make(VT_BSTR, [&](VARIANT& v) { v.bstrVal = SysAllocStringLen(kText, 3); });
  VARIANT copy;
  VariantInit(&copy);
  ASSERT_EQ(VariantCopy(&copy, &text), S_OK);
  EXPECT_NE(copy.bstrVal, text.bstrVal);
  EXPECT_EQ(Text(copy.bstrVal), std::wstring(kText, 3));
  // Both strings are freed on their own (a shared one would be freed twice under ASan).
  EXPECT_EQ(VariantClear(&text), S_OK);
  EXPECT_EQ(VariantClear(&copy), S_OK);

  // A type the runtime cannot own is refused and left as it was.
  VARIANT array = Make(VT_ARRAY | VT_I4);
  EXPECT_EQ(VariantClear(&array), DISP_E_BADVARTYPE);
  EXPECT_EQ(array.vt, VT_ARRAY | VT_I4);
}

TEST(VariantTest, ChangeTypeToText) {
  const struct {
    VARIANT value;
    USHORT flags;
    const wchar_t* expected;
  } cases[] = {
      {Make(VT_EMPTY), 0, L""},
      {Make(VT_I2, [](VARIANT& v) { v.iVal = -32768; }), 0, L"-32768"},
      {Make(VT_I4, [](VARIANT& v) { v.lVal = 2147483647; }), 0, L"2147483647"},
      {Make(VT_BOOL, [](VARIANT& v) { v.boolVal = VARIANT_TRUE; }), 0, L"-1"},
      {Make(VT_BOOL, [](VARIANT& v) { v.boolVal = VARIANT_FALSE; }), 0, L"0"},
      {Make(VT_BOOL, [](VARIANT& v) { v.boolVal = VARIANT_TRUE; }), VARIANT_ALPHABOOL, L"True"},
      {Make(VT_BOOL, [](VARIANT& v) { v.boolVal = VARIANT_FALSE; }), VARIANT_ALPHABOOL, L"False"},
      {Make(VT_DATE, [](VARIANT& v) { v.date = 39517 + 14.5 / 24; }), 0, L"3/10/2008 2:30:00 PM"},
      {Make(VT_DATE, [](VARIANT& v) { v.date = 39517; }), 0, L"3/10/2008"},
      {Make(VT_DATE, [](VARIANT& v) { v.date = 0; }), 0, L"12:00:00 AM"},
      {Make(VT_DATE, [](VARIANT& v) { v.date = 0.5; }), 0, L"12:00:00 PM"},
      {Make(VT_DATE, [](VARIANT& v) { v.date = -1.25; }), 0, L"12/29/1899 6:00:00 AM"},
      {Make(VT_DATE, [](VARIANT& v) { v.date = -657434; }), 0, L"1/1/0100"},
  };
  for (const auto& c : cases) {
    VARIANT text;
    VariantInit(&text);
    ASSERT_EQ(VariantChangeType(&text, &c.value, c.flags, VT_BSTR), S_OK) << c.expected;
    EXPECT_EQ(text.vt, VT_BSTR);
    EXPECT_EQ(Text(text.bstrVal), c.expected);
    VariantClear(&text);
  }

  // In place, from a string: the old string is freed and a new one holds the text.
  VARIANT value = Make(VT_BSTR, [](VARIANT& v) { v.bstrVal = SysAllocString(L"Subject"); });
  ASSERT_EQ(VariantChangeType(&value, &value, 0, VT_BSTR), S_OK);
  EXPECT_EQ(Text(value.bstrVal), L"Subject");
  VariantClear(&value);

  CountedObject object;
  const VARIANT refused[] = {
      Make(VT_NULL),
      Make(VT_DISPATCH, [&](VARIANT& v) { v.pdispVal = &object; }),
      Make(VT_DATE, [](VARIANT& v) { v.date = 2958466; }),  // year 10000
      Make(VT_DATE, [](VARIANT& v) { v.date = std::nan(""); }),
  };
  for (const VARIANT& source : refused) {
    VARIANT target = Make(VT_I4, [](VARIANT& v) { v.lVal = 7; });
    EXPECT_TRUE(FAILED(VariantChangeType(&target, &source, 0, VT_BSTR))) << source.vt;
    EXPECT_EQ(target.vt, VT_I4);
    EXPECT_EQ(target.lVal, 7);
  }
  EXPECT_EQ(object.references, 1u);
}

struct DateCase {
  double value;
  SYSTEMTIME fields;  // year, month, day of week, day, hour, minute, second, 0
};

TEST(AutomationDateTest, SplitsDocumentedValuesAndRoundsToTheSecond) {
  const double kSecond = 1.0 / 86400;
  const DateCase cases[] = {
      {0, {1899, 12, 6, 30, 0, 0, 0, 0}},
      {-1.25, {1899, 12, 5, 29, 6, 0, 0, 0}},
      {-0.5, {1899, 12, 6, 30, 12, 0, 0, 0}},
      {2.5, {1900, 1, 1, 1, 12, 0, 0, 0}},
      {39517 + 14.5 / 24, {2008, 3, 1, 10, 14, 30, 0, 0}},
      {0.5 * kSecond, {1899, 12, 6, 30, 0, 0, 1, 0}},
      {0.49 * kSecond, {1899, 12, 6, 30, 0, 0, 0, 0}},
      {1 - 0.4 * kSecond, {1899, 12, 0, 31, 0, 0, 0, 0}},  // rounds into the next day
      {-1 - (1 - 0.4 * kSecond), {1899, 12, 6, 30, 0, 0, 0, 0}},
      {-657434, {100, 1, 5, 1, 0, 0, 0, 0}},
      {-657434.5, {100, 1, 5, 1, 12, 0, 0, 0}},
      {2958465 + 1 - 1.4 * kSecond, {9999, 12, 5, 31, 23, 59, 59, 0}},
  };
  for (const DateCase& c : cases) {
    SYSTEMTIME fields{};
    ASSERT_TRUE(VariantTimeToSystemTime(c.value, &fields)) << c.value;
    EXPECT_EQ(std::memcmp(&fields, &c.fields, sizeof(SYSTEMTIME)), 0)
        << c.value << " gave " << fields.wYear << "-" << fields.wMonth << "-" << fields.wDay << " "
        << fields.wHour << ":" << fields.wMinute << ":" << fields.wSecond << " dow "
        << fields.wDayOfWeek;
    // Back again: the value to the second (the fields carry no fraction of one).
    double back = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&fields, &back));
    SYSTEMTIME again{};
    ASSERT_TRUE(VariantTimeToSystemTime(back, &again));
    EXPECT_EQ(std::memcmp(&fields, &again, sizeof(SYSTEMTIME)), 0) << c.value;
    if (c.value >= 0) {
      EXPECT_NEAR(back, c.value, 0.5 * kSecond + 1e-9) << c.value;
    }
  }
  for (double refused : {-657435.0, -657435.5, 2958466.0, 2958466 - 0.4 * kSecond, std::nan(""),
                         std::numeric_limits<double>::infinity(), -1e300}) {
    SYSTEMTIME fields{};
    EXPECT_FALSE(VariantTimeToSystemTime(refused, &fields)) << refused;
  }
}

TEST(AutomationDateTest, BuildsFromFieldsIgnoringMillisecondsAndRefusesInvalidOnes) {
  const struct {
    SYSTEMTIME fields;
    double expected;
  } cases[] = {
      {{1899, 12, 0, 30, 0, 0, 0, 0}, 0},    {{1899, 12, 0, 29, 6, 0, 0, 0}, -1.25},
      {{1900, 1, 0, 1, 12, 0, 0, 999}, 2.5}, {{2008, 3, 0, 10, 14, 30, 0, 0}, 39517 + 14.5 / 24},
      {{2008, 2, 0, 29, 0, 0, 0, 0}, 39507},
  };
  for (const auto& c : cases) {
    SYSTEMTIME fields = c.fields;
    double value = 1234;
    ASSERT_TRUE(SystemTimeToVariantTime(&fields, &value));
    EXPECT_DOUBLE_EQ(value, c.expected);
  }
  const SYSTEMTIME refused[] = {
      {99, 12, 0, 31, 0, 0, 0, 0},   {10000, 1, 0, 1, 0, 0, 0, 0},  {2008, 13, 0, 1, 0, 0, 0, 0},
      {2007, 2, 0, 29, 0, 0, 0, 0},  {2008, 3, 0, 0, 0, 0, 0, 0},   {2008, 3, 0, 10, 24, 0, 0, 0},
      {2008, 3, 0, 10, 0, 60, 0, 0}, {2008, 3, 0, 10, 0, 0, 60, 0},
  };
  for (SYSTEMTIME fields : refused) {
    double value = 0;
    EXPECT_FALSE(SystemTimeToVariantTime(&fields, &value)) << fields.wYear << "-" << fields.wMonth;
  }
}

}  // namespace
