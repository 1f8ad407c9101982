#include "outlook/dispatch_values.h"

#include "platform/com/oleaut.h"

namespace calendar_mirrow_addin {

ComRef<IDispatch> TakeDispatch(const VARIANT& value) {
  if (value.vt != VT_DISPATCH || value.pdispVal == nullptr) return ComRef<IDispatch>();
  value.pdispVal->AddRef();
  return ComRef<IDispatch>(value.pdispVal);
}

HRESULT GetText(IDispatch* object, const wchar_t* name, std::wstring& text) {
  Variant result, converted;
  HRESULT hr = GetProperty(object, name, &result.value);
  if (FAILED(hr)) return hr;
  if (result.value.vt == VT_EMPTY || result.value.vt == VT_NULL) {
    text.clear();
    return S_OK;
  }
  hr = VariantChangeType(&converted.value, &result.value, 0, VT_BSTR);
  if (FAILED(hr)) return hr;
  const BSTR bstr = converted.value.bstrVal;
  text.assign(bstr != nullptr ? bstr : L"", SysStringLen(bstr));
  return S_OK;
}

HRESULT GetLong(IDispatch* object, const wchar_t* name, LONG& number) {
  Variant result;
  const HRESULT hr = GetProperty(object, name, &result.value);
  if (FAILED(hr)) return hr;
  switch (result.value.vt) {
    case VT_I4:
    case VT_INT:
      number = result.value.lVal;
      return S_OK;
    case VT_I2:
      number = result.value.iVal;
      return S_OK;
    case VT_UI1:
      number = result.value.bVal;
      return S_OK;
    case VT_BOOL:
      number = result.value.boolVal != 0 ? -1 : 0;
      return S_OK;
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

HRESULT GetBool(IDispatch* object, const wchar_t* name, bool& flag) {
  LONG number = 0;
  const HRESULT hr = GetLong(object, name, number);
  if (SUCCEEDED(hr)) flag = number != 0;
  return hr;
}

HRESULT GetDate(IDispatch* object, const wchar_t* name, DATE& date) {
  Variant result;
  const HRESULT hr = GetProperty(object, name, &result.value);
  if (FAILED(hr)) return hr;
  if (result.value.vt != VT_DATE) return DISP_E_TYPEMISMATCH;
  date = result.value.date;
  return S_OK;
}

HRESULT GetDateTime(IDispatch* object, const wchar_t* name, bool all_day,
                    std::unique_ptr<DateTime>& value) {
  Variant result;
  const HRESULT hr = GetProperty(object, name, &result.value);
  if (FAILED(hr)) return hr;
  value = VariantToDateTime(result.value, all_day);
  return value ? S_OK : E_FAIL;
}

HRESULT GetObjectProperty(IDispatch* object, const wchar_t* name, ComRef<IDispatch>& result) {
  Variant value;
  const HRESULT hr = GetProperty(object, name, &value.value);
  if (FAILED(hr)) return hr;
  result = TakeDispatch(value.value);
  return result ? S_OK : E_FAIL;
}

HRESULT CallForObject(IDispatch* object, const wchar_t* name, VARIANT* argument,
                      ComRef<IDispatch>& result) {
  Variant value;
  const HRESULT hr = CallMethod(object, name, &value.value, argument != nullptr ? 1 : 0, argument);
  if (FAILED(hr)) return hr;
  result = TakeDispatch(value.value);
  return result ? S_OK : E_FAIL;
}

HRESULT GetItem(IDispatch* collection, LONG index, ComRef<IDispatch>& item) {
  Variant argument;
  SetLong(argument.value, index);
  return CallForObject(collection, L"Item", &argument.value, item);
}

HRESULT PutText(IDispatch* object, const wchar_t* name, const std::wstring& text) {
  Variant value;
  value.value.vt = VT_BSTR;
  value.value.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (value.value.bstrVal == nullptr) return E_OUTOFMEMORY;
  return PutProperty(object, name, value.value);
}

HRESULT PutLong(IDispatch* object, const wchar_t* name, LONG number) {
  Variant value;
  SetLong(value.value, number);
  return PutProperty(object, name, value.value);
}

HRESULT PutBool(IDispatch* object, const wchar_t* name, bool flag) {
  Variant value;
  SetBool(value.value, flag);
  return PutProperty(object, name, value.value);
}

}  // namespace calendar_mirrow_addin
