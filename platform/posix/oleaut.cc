// The automation runtime on Linux: counted strings, VARIANT lifetime and conversion to
// text, automation dates and GUID creation.

#include <sys/random.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <limits>
#include <string>

#include "platform/com/oleaut.h"

namespace {

// The byte length before the characters, as the Windows layout has it.
using BstrPrefix = uint32_t;

BstrPrefix* PrefixOf(BSTR text) {
  return reinterpret_cast<BstrPrefix*>(reinterpret_cast<char*>(text) - sizeof(BstrPrefix));
}

bool IsInteger(VARTYPE type) {
  switch (type) {
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_INT:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_UINT:
      return true;
    default:
      return false;
  }
}

// Types whose value this runtime knows how to own: plain values, strings, objects, and
// references to any of those (a reference owns nothing).
bool IsOwnable(VARTYPE type) {
  const VARTYPE base = type & ~VT_BYREF;
  if (base == VT_VARIANT) return (type & VT_BYREF) != 0;
  if (type & VT_ARRAY) return false;
  return base <= VT_DECIMAL || IsInteger(base);
}

// Days from 1970-01-01 to a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t day_of_era = days - era * 146097;
  const int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t shifted_month = (5 * day_of_year + 2) / 153;
  *day = static_cast<unsigned>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
  *month = static_cast<unsigned>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
  *year = year_of_era + era * 400 + (*month <= 2);
}

bool IsLeap(int64_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

unsigned DaysIn(int64_t year, unsigned month) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

// 1899-12-30, day 0 of automation dates, counted from 1970-01-01.
constexpr int64_t kDateEpoch = -25569;
constexpr int64_t kSecondsPerDay = 86400;
constexpr int kMinYear = 100;
constexpr int kMaxYear = 9999;

bool SplitDate(double value, SYSTEMTIME* fields) {
  // Far outside the valid years already; keeps the arithmetic below within range.
  if (!std::isfinite(value) || std::fabs(value) > 4e6) return false;
  const double whole = std::trunc(value);
  // Before day 0 the whole part counts back but the fraction still counts forward.
  const double fraction = std::fabs(value - whole);
  int64_t days = static_cast<int64_t>(whole) + kDateEpoch;
  int64_t seconds = static_cast<int64_t>(std::floor(fraction * kSecondsPerDay + 0.5));
  if (seconds >= kSecondsPerDay) {
    ++days;
    seconds -= kSecondsPerDay;
  }
  int64_t year = 0;
  unsigned month = 0, day = 0;
  CivilFromDays(days, &year, &month, &day);
  if (year < kMinYear || year > kMaxYear) return false;
  fields->wYear = static_cast<WORD>(year);
  fields->wMonth = static_cast<WORD>(month);
  fields->wDay = static_cast<WORD>(day);
  // 1970-01-01 was a Thursday.
  fields->wDayOfWeek = static_cast<WORD>(((days % 7) + 7 + 4) % 7);
  fields->wHour = static_cast<WORD>(seconds / 3600);
  fields->wMinute = static_cast<WORD>(seconds / 60 % 60);
  fields->wSecond = static_cast<WORD>(seconds % 60);
  fields->wMilliseconds = 0;
  return true;
}

std::wstring DateText(double value, bool* ok) {
  SYSTEMTIME fields{};
  *ok = SplitDate(value, &fields);
  if (!*ok) return {};
  const bool day_zero = fields.wYear == 1899 && fields.wMonth == 12 && fields.wDay == 30;
  const bool midnight = fields.wHour == 0 && fields.wMinute == 0 && fields.wSecond == 0;
  wchar_t text[64];
  std::wstring result;
  if (!day_zero) {
    std::swprintf(text, std::size(text), L"%u/%u/%04u", unsigned{fields.wMonth},
                  unsigned{fields.wDay}, unsigned{fields.wYear});
    result = text;
  }
  if (day_zero || !midnight) {
    const unsigned hour12 = fields.wHour % 12 == 0 ? 12 : fields.wHour % 12;
    std::swprintf(text, std::size(text), L"%u:%02u:%02u %ls", hour12, unsigned{fields.wMinute},
                  unsigned{fields.wSecond}, fields.wHour < 12 ? L"AM" : L"PM");
    if (!result.empty()) result += L' ';
    result += text;
  }
  return result;
}

// The integer held by a variant of an integer type, widened.
bool IntegerText(const VARIANT& value, std::wstring* text) {
  switch (value.vt) {
    case VT_I1:
      *text = std::to_wstring(static_cast<int>(value.cVal));
      return true;
    case VT_I2:
      *text = std::to_wstring(value.iVal);
      return true;
    case VT_I4:
      *text = std::to_wstring(value.lVal);
      return true;
    case VT_I8:
      *text = std::to_wstring(value.llVal);
      return true;
    case VT_INT:
      *text = std::to_wstring(value.intVal);
      return true;
    case VT_UI1:
      *text = std::to_wstring(unsigned{value.bVal});
      return true;
    case VT_UI2:
      *text = std::to_wstring(value.uiVal);
      return true;
    case VT_UI4:
      *text = std::to_wstring(value.ulVal);
      return true;
    case VT_UI8:
      *text = std::to_wstring(value.ullVal);
      return true;
    case VT_UINT:
      *text = std::to_wstring(value.uintVal);
      return true;
    default:
      return false;
  }
}

HRESULT ToText(const VARIANT& source, USHORT flags, VARIANT* result) {
  std::wstring text;
  if (source.vt == VT_EMPTY) {
    // An empty value is the empty string.
  } else if (source.vt == VT_BOOL) {
    const bool value = source.boolVal != VARIANT_FALSE;
    if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL)) {
      text = value ? L"True" : L"False";
    } else {
      // Without a flag the boolean goes through its 16-bit integer value.
      text = value ? L"-1" : L"0";
    }
  } else if (source.vt == VT_DATE) {
    bool ok = false;
    text = DateText(source.date, &ok);
    if (!ok) return E_INVALIDARG;
  } else if (!IntegerText(source, &text)) {
    return DISP_E_TYPEMISMATCH;
  }
  BSTR converted = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (converted == nullptr) return E_OUTOFMEMORY;
  result->vt = VT_BSTR;
  result->bstrVal = converted;
  return S_OK;
}

}  // namespace

BSTR SysAllocString(const OLECHAR* text) {
  if (text == nullptr) return nullptr;
  const size_t length = std::wcslen(text);
  if (length > std::numeric_limits<UINT>::max()) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(length));
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
  // The byte length must fit the 32-bit prefix, with room for the terminator.
  constexpr uint64_t kMaxChars =
      (std::numeric_limits<BstrPrefix>::max() - sizeof(BstrPrefix)) / sizeof(OLECHAR) - 1;
  if (length > kMaxChars) return nullptr;
  const size_t bytes = static_cast<size_t>(length) * sizeof(OLECHAR);
  void* block = std::malloc(sizeof(BstrPrefix) + bytes + sizeof(OLECHAR));
  if (block == nullptr) return nullptr;
  *static_cast<BstrPrefix*>(block) = static_cast<BstrPrefix>(bytes);
  BSTR chars = reinterpret_cast<BSTR>(static_cast<char*>(block) + sizeof(BstrPrefix));
  if (text != nullptr) {
    std::memcpy(chars, text, bytes);
  } else {
    std::memset(chars, 0, bytes);
  }
  chars[length] = L'\0';
  return chars;
}

void SysFreeString(BSTR text) {
  if (text != nullptr) std::free(PrefixOf(text));
}

UINT SysStringLen(BSTR text) { return text == nullptr ? 0 : *PrefixOf(text) / sizeof(OLECHAR); }

UINT SysStringByteLen(BSTR text) { return text == nullptr ? 0 : *PrefixOf(text); }

void VariantInit(VARIANTARG* value) {
  value->vt = VT_EMPTY;
  value->wReserved1 = value->wReserved2 = value->wReserved3 = 0;
  value->llVal = 0;
}

HRESULT VariantClear(VARIANTARG* value) {
  if (value == nullptr) return E_INVALIDARG;
  if (!IsOwnable(value->vt)) return DISP_E_BADVARTYPE;
  // Leave the variant empty before releasing, so that a release that reaches back here
  // finds nothing to free twice.
  VARIANT held = *value;
  value->vt = VT_EMPTY;
  switch (held.vt) {
    case VT_BSTR:
      SysFreeString(held.bstrVal);
      break;
    case VT_DISPATCH:
      if (held.pdispVal != nullptr) held.pdispVal->Release();
      break;
    case VT_UNKNOWN:
      if (held.punkVal != nullptr) held.punkVal->Release();
      break;
    default:
      break;
  }
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* target, const VARIANTARG* source) {
  if (target == nullptr || source == nullptr) return E_INVALIDARG;
  if (target == source) return S_OK;
  if (!IsOwnable(source->vt)) return DISP_E_BADVARTYPE;
  const HRESULT cleared = VariantClear(target);
  if (FAILED(cleared)) return cleared;
  VARIANT copy = *source;
  if (copy.vt == VT_BSTR && copy.bstrVal != nullptr) {
    copy.bstrVal = SysAllocStringLen(source->bstrVal, SysStringLen(source->bstrVal));
    if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
  } else if (copy.vt == VT_DISPATCH && copy.pdispVal != nullptr) {
    copy.pdispVal->AddRef();
  } else if (copy.vt == VT_UNKNOWN && copy.punkVal != nullptr) {
    copy.punkVal->AddRef();
  }
  *target = copy;
  return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* target, const VARIANTARG* source, USHORT flags,
                          VARTYPE type) {
  if (target == nullptr || source == nullptr) return E_INVALIDARG;
  if (!IsOwnable(source->vt)) return DISP_E_BADVARTYPE;
  VARIANT result;
  VariantInit(&result);
  HRESULT hr = DISP_E_TYPEMISMATCH;
  if (source->vt == type) {
    hr = VariantCopy(&result, source);
  } else if (type == VT_BSTR && (source->vt & VT_BYREF) == 0) {
    hr = ToText(*source, flags, &result);
  }
  if (FAILED(hr)) return hr;
  hr = VariantClear(target);
  if (FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  *target = result;
  return S_OK;
}

INT VariantTimeToSystemTime(DOUBLE time, LPSYSTEMTIME system_time) {
  if (system_time == nullptr) return 0;
  SYSTEMTIME fields{};
  if (!SplitDate(time, &fields)) return 0;
  *system_time = fields;
  return 1;
}

INT SystemTimeToVariantTime(LPSYSTEMTIME system_time, DOUBLE* time) {
  if (system_time == nullptr || time == nullptr) return 0;
  const SYSTEMTIME& t = *system_time;
  if (t.wYear < kMinYear || t.wYear > kMaxYear || t.wMonth < 1 || t.wMonth > 12 || t.wDay < 1 ||
      t.wDay > DaysIn(t.wYear, t.wMonth) || t.wHour > 23 || t.wMinute > 59 || t.wSecond > 59) {
    return 0;
  }
  const int64_t days = DaysFromCivil(t.wYear, t.wMonth, t.wDay) - kDateEpoch;
  const double fraction =
      static_cast<double>(t.wHour * 3600 + t.wMinute * 60 + t.wSecond) / kSecondsPerDay;
  // Before day 0 the fraction still counts forward from the start of the day.
  *time = days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
  return 1;
}

HRESULT CoCreateGuid(GUID* guid) {
  if (guid == nullptr) return E_INVALIDARG;
  uint8_t bytes[sizeof(GUID)];
  size_t filled = 0;
  while (filled < sizeof(bytes)) {
    const ssize_t got = getrandom(bytes + filled, sizeof(bytes) - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return E_FAIL;
    }
    filled += static_cast<size_t>(got);
  }
  std::memcpy(guid, bytes, sizeof(GUID));
  // A random GUID: version 4, and the variant bits 10.
  guid->Data3 = static_cast<uint16_t>((guid->Data3 & 0x0FFF) | 0x4000);
  guid->Data4[0] = static_cast<uint8_t>((guid->Data4[0] & 0x3F) | 0x80);
  return S_OK;
}
