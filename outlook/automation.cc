#include "outlook/automation.h"

#include <cstdio>

#include "base/logger.h"
#include "base/text.h"

namespace calendar_mirrow_addin {

namespace {

// Owns an EXCEPINFO's strings; zeroed before every invocation.
class ExceptionInfo {
 public:
  ExceptionInfo() { Reset(); }
  ~ExceptionInfo() { Free(); }
  ExceptionInfo(const ExceptionInfo&) = delete;
  ExceptionInfo& operator=(const ExceptionInfo&) = delete;

  EXCEPINFO* Reset() {
    Free();
    info_ = EXCEPINFO{};
    return &info_;
  }
  const EXCEPINFO* get() const { return &info_; }

 private:
  void Free() {
    SysFreeString(info_.bstrSource);
    SysFreeString(info_.bstrDescription);
    SysFreeString(info_.bstrHelpFile);
  }
  EXCEPINFO info_{};
};

std::wstring BstrText(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : L""; }

std::wstring VariantText(const VARIANT& value) {
  VARIANT text;
  VariantInit(&text);
  // Some SDKs declare the source without const; it is only read.
  if (FAILED(VariantChangeType(&text, const_cast<VARIANT*>(&value), 0, VT_BSTR))) {
    return L"<type " + DecimalText(value.vt) + L">";
  }
  std::wstring result = BstrText(text.bstrVal);
  VariantClear(&text);
  return result;
}

// Composes and writes the one log line of a call, only when the logger would keep it.
void LogCall(const wchar_t* operation, const wchar_t* name, const VARIANT* arguments, UINT count,
             bool with_arguments, const VARIANT* result, HRESULT hr, const EXCEPINFO* exception) {
  const int32_t level = hr == S_OK ? Logger::VERBOSE : Logger::SEVERE;
  Logger* logger = GetLogger();
  if (!logger || !logger->IsLoggable(level)) return;
  std::wstring line = std::wstring(L"IDispatch::") + operation + L" : " + name;
  if (with_arguments) {
    line += L"(";
    for (UINT i = 0; i < count; ++i) {
      if (i > 0) line += L", ";
      line += VariantText(arguments[i]);
    }
    line += L")";
  }
  if (result && (result->vt == VT_BSTR || result->vt == VT_DATE || result->vt == VT_I4)) {
    line += L" => " + VariantText(*result);
  }
  line += L" // " + DescribeHResult(hr, exception);
  logger->Log(level, line);
}

// GetIDsOfNames then Invoke. `retry_flags`, when not zero, is tried once more after a
// failing invocation.
HRESULT Call(const wchar_t* operation, IDispatch* object, const wchar_t* name, WORD flags,
             WORD retry_flags, DISPPARAMS& params, bool with_arguments, VARIANT* result) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  ExceptionInfo exception;
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (SUCCEEDED(hr)) {
    hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result,
                        exception.Reset(), nullptr);
    if (FAILED(hr) && retry_flags != 0) {
      hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, retry_flags, &params, result,
                          exception.Reset(), nullptr);
    }
  }
  LogCall(operation, name, params.rgvarg, params.cArgs, with_arguments, result, hr,
          exception.get());
  return hr;
}

// Clears what the VARIANT held and gives it the new type.
void Retype(VARIANT& variant, VARTYPE type) {
  VariantClear(&variant);
  variant.vt = type;
}

bool ToVariantDate(const DateTime& value, const std::wstring& zone_id, bool midnight,
                   VARIANT& variant) {
  SystemTime local;
  if (value.date_only) {
    local = value.ToSystemTime();
    midnight = true;
  } else if (ToLower(zone_id) == L"local-tz-id") {
    if (!ToLocalSystemTime(value, local)) return false;
  } else if (!ToZoneLocalTime(value, zone_id, local)) {
    return false;
  }
  if (midnight) local.hour = local.minute = local.second = local.milliseconds = 0;
  SYSTEMTIME fields{local.year, local.month,  local.day_of_week, local.day,
                    local.hour, local.minute, local.second,      local.milliseconds};
  Retype(variant, VT_DATE);
  variant.date = 0;
  return SystemTimeToVariantTime(&fields, &variant.date) != 0;
}

}  // namespace

HRESULT GetProperty(IDispatch* object, const wchar_t* name, VARIANT* result) {
  if (!object || !result) return E_POINTER;
  if (!name) return E_INVALIDARG;
  DISPPARAMS params{nullptr, nullptr, 0, 0};
  return Call(L"GetProperty", object, name, DISPATCH_PROPERTYGET, 0, params, false, result);
}

HRESULT PutProperty(IDispatch* object, const wchar_t* name, const VARIANT& value) {
  if (!object) return E_POINTER;
  if (!name) return E_INVALIDARG;
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{const_cast<VARIANT*>(&value), &named, 1, 1};
  return Call(L"PutProperty", object, name, DISPATCH_PROPERTYPUT, 0, params, true, nullptr);
}

HRESULT CallMethod(IDispatch* object, const wchar_t* name, VARIANT* result, UINT count,
                   VARIANT* arguments) {
  if (!object || !result || (count > 0 && !arguments)) return E_POINTER;
  if (!name) return E_INVALIDARG;
  DISPPARAMS params{arguments, nullptr, count, 0};
  return Call(L"CallMethod", object, name, DISPATCH_METHOD, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
              params, true, result);
}

HRESULT CallMethodNoArgs(IDispatch* object, const wchar_t* name) {
  if (!object) return E_POINTER;
  if (!name) return E_INVALIDARG;
  DISPPARAMS params{nullptr, nullptr, 0, 0};
  return Call(L"CallMethodNoArgs", object, name, DISPATCH_METHOD, 0, params, false, nullptr);
}

std::wstring DescribeHResult(HRESULT hr, const EXCEPINFO* exception) {
  if (hr == S_OK) return L"S_OK";
  wchar_t code[32];
  std::swprintf(code, std::size(code), L" [hr: 0x%X]", static_cast<unsigned>(hr));
  std::wstring text = code;
  if (hr == DISP_E_EXCEPTION && exception) {
    text += L" [exception " + BstrText(exception->bstrDescription) + L" wCode: " +
            DecimalText(exception->wCode) + L" scode: " + DecimalText(exception->scode) + L"]";
  }
  return text;
}

void SetBool(VARIANT& variant, bool value) {
  Retype(variant, VT_BOOL);
  variant.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}

void SetLong(VARIANT& variant, LONG value) {
  Retype(variant, VT_I4);
  variant.lVal = value;
}

void SetShort(VARIANT& variant, SHORT value) {
  Retype(variant, VT_I2);
  variant.iVal = value;
}

void SetDispatch(VARIANT& variant, IDispatch* value) {
  // Referenced before the old value goes, in case it is the same object.
  if (value) value->AddRef();
  Retype(variant, VT_DISPATCH);
  variant.pdispVal = value;
}

std::unique_ptr<DateTime> VariantToDateTime(const VARIANT& variant, bool all_day) {
  SYSTEMTIME fields{};
  if (variant.vt != VT_DATE || !VariantTimeToSystemTime(variant.date, &fields)) return nullptr;
  const SystemTime local{fields.wYear, fields.wMonth,  fields.wDayOfWeek, fields.wDay,
                         fields.wHour, fields.wMinute, fields.wSecond,    fields.wMilliseconds};
  return DateTime::FromLocalSystemTime(local, all_day);
}

bool DateTimeToVariant(const DateTime& value, const std::wstring& zone_id, VARIANT& variant) {
  return ToVariantDate(value, zone_id, false, variant);
}

bool DateToVariant(const DateTime& value, const std::wstring& zone_id, VARIANT& variant) {
  return ToVariantDate(value, zone_id, true, variant);
}

HRESULT RemoveAllItems(IDispatch* collection) {
  VARIANT count;
  VariantInit(&count);
  HRESULT hr = GetProperty(collection, L"Count", &count);
  if (FAILED(hr)) return hr;
  LONG items = 0;
  if (count.vt == VT_I4) {
    items = count.lVal;
  } else if (count.vt == VT_I2) {
    items = count.iVal;
  }
  VariantClear(&count);
  for (LONG index = items; index >= 1; --index) {
    VARIANT argument;
    VARIANT ignored;
    VariantInit(&ignored);
    VariantInit(&argument);
    SetLong(argument, index);
    hr = CallMethod(collection, L"Remove", &ignored, 1, &argument);
    VariantClear(&ignored);
    if (FAILED(hr)) break;
  }
  return hr;
}

}  // namespace calendar_mirrow_addin
