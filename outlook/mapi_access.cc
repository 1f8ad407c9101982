#include "outlook/mapi_access.h"

#include <cstdio>
#include <cstring>

#include "base/logger.h"
#include "base/text.h"
#include "outlook/global_object_id.h"

namespace calendar_mirrow_addin {

namespace {

// Frees MAPI memory when it goes.
struct MapiBuffer {
  void* buffer = nullptr;
  ~MapiBuffer() {
    if (buffer) MAPIFreeBuffer(buffer);
  }
};

HRESULT LookUpTag(IMAPIProp* props, const GUID& property_set, LONG id, ULONG* tag) {
  MapiBuffer tags;
  const HRESULT hr = GetNamedPropertyTag(props, property_set, id,
                                         reinterpret_cast<LPSPropTagArray*>(&tags.buffer));
  if (hr != S_OK) {
    LogSevere(L"Unable to query tag for property name: " + DescribeHResult(hr));
    return hr;
  }
  *tag = static_cast<LPSPropTagArray>(tags.buffer)->aulPropTag[0];
  return S_OK;
}

// SetProps of one value, then SaveChanges when that worked.
HRESULT WriteAndSave(IMAPIProp* props, SPropValue& value) {
  const HRESULT hr = props->SetProps(1, &value, nullptr);
  if (FAILED(hr)) return hr;
  return props->SaveChanges(KEEP_OPEN_READWRITE);
}

HRESULT QueryProps(IUnknown* object, ComRef<IMAPIProp>& props) {
  return object->QueryInterface(IID_IMAPIProp, props.PutVoid());
}

}  // namespace

HRESULT GetMapiObject(IDispatch* outlook_object, ComRef<IUnknown>& mapi_object) {
  VARIANT value;
  VariantInit(&value);
  HRESULT hr = GetProperty(outlook_object, L"MAPIOBJECT", &value);
  if (FAILED(hr)) return hr;
  IUnknown* object = value.vt == VT_UNKNOWN    ? value.punkVal
                     : value.vt == VT_DISPATCH ? value.pdispVal
                                               : nullptr;
  if (object) object->AddRef();
  *mapi_object.Put() = object;
  VariantClear(&value);
  return object ? S_OK : E_NOINTERFACE;
}

HRESULT GetItemProps(IDispatch* item, ComRef<IMAPIProp>& props) {
  ComRef<IUnknown> object;
  HRESULT hr = GetMapiObject(item, object);
  if (FAILED(hr)) return hr;
  ComRef<IMessage> message;
  hr = object->QueryInterface(IID_IMessage, message.PutVoid());
  if (FAILED(hr)) return hr;
  return QueryProps(message.get(), props);
}

HRESULT GetNamedPropertyTag(IMAPIProp* props, const GUID& property_set, LONG id,
                            LPSPropTagArray* tags) {
  if (!props || !tags) return E_POINTER;
  *tags = nullptr;
  MAPINAMEID name{};
  name.lpguid = const_cast<LPGUID>(&property_set);
  name.ulKind = MNID_ID;
  name.Kind.lID = id;
  LPMAPINAMEID names[] = {&name};
  HRESULT hr = props->GetIDsFromNames(1, names, MAPI_CREATE, tags);
  if (FAILED(hr)) return hr;
  // The store may answer without a usable tag; a tag of type PT_ERROR would otherwise be
  // read or written as if it named the property.
  if (!*tags || (*tags)->cValues < 1 || PROP_TYPE((*tags)->aulPropTag[0]) == PT_ERROR) {
    if (*tags) MAPIFreeBuffer(*tags);
    *tags = nullptr;
    return hr != S_OK ? hr : E_FAIL;
  }
  return hr;
}

HRESULT GetNamedProperty(IMAPIProp* props, const GUID& property_set, LONG id, LPSPropValue* value) {
  if (!props || !value) return E_POINTER;
  *value = nullptr;
  MapiBuffer tags;
  HRESULT hr = GetNamedPropertyTag(props, property_set, id,
                                   reinterpret_cast<LPSPropTagArray*>(&tags.buffer));
  if (hr != S_OK) {
    LogSevere(L"Unable to query tag for property name: " + DescribeHResult(hr));
    return hr;
  }
  ULONG count = 0;
  hr = props->GetProps(static_cast<LPSPropTagArray>(tags.buffer), MAPI_UNICODE, &count, value);
  if (hr != S_OK && hr != MAPI_W_ERRORS_RETURNED) {
    if (*value) MAPIFreeBuffer(*value);
    *value = nullptr;
  } else if (!*value || count == 0) {
    if (*value) MAPIFreeBuffer(*value);
    *value = nullptr;
    if (hr == S_OK) return E_FAIL;
  }
  return hr;
}

HRESULT GetNamedProperty(IDispatch* item, const GUID& property_set, LONG id, LPSPropValue* value) {
  ComRef<IMAPIProp> props;
  const HRESULT hr = GetItemProps(item, props);
  if (FAILED(hr)) return hr;
  return GetNamedProperty(props.get(), property_set, id, value);
}

HRESULT GetNamedProperty(IMessage* message, const GUID& property_set, LONG id,
                         LPSPropValue* value) {
  if (!message) return E_POINTER;
  ComRef<IMAPIProp> props;
  const HRESULT hr = QueryProps(message, props);
  if (FAILED(hr)) return hr;
  return GetNamedProperty(props.get(), property_set, id, value);
}

HRESULT SetNamedProperty(IMAPIProp* props, const GUID& property_set, LONG id, SPropValue& value,
                         ULONG type) {
  if (!props) return E_POINTER;
  ULONG tag = 0;
  const HRESULT hr = LookUpTag(props, property_set, id, &tag);
  if (hr != S_OK) return hr;
  value.ulPropTag = CHANGE_PROP_TYPE(tag, type);
  return WriteAndSave(props, value);
}

HRESULT SetNamedProperty(IDispatch* item, const GUID& property_set, LONG id, SPropValue& value,
                         ULONG type) {
  ComRef<IMAPIProp> props;
  const HRESULT hr = GetItemProps(item, props);
  if (FAILED(hr)) return hr;
  return SetNamedProperty(props.get(), property_set, id, value, type);
}

HRESULT SetNamedProperty(IMessage* message, const GUID& property_set, LONG id, SPropValue& value,
                         ULONG type) {
  if (!message) return E_POINTER;
  ComRef<IMAPIProp> props;
  const HRESULT hr = QueryProps(message, props);
  if (FAILED(hr)) return hr;
  return SetNamedProperty(props.get(), property_set, id, value, type);
}

HRESULT SetProperty(IMAPIProp* props, SPropValue& value) {
  if (!props) return E_POINTER;
  return WriteAndSave(props, value);
}

HRESULT SetProperty(IDispatch* item, SPropValue& value) {
  ComRef<IMAPIProp> props;
  const HRESULT hr = GetItemProps(item, props);
  if (FAILED(hr)) return hr;
  return SetProperty(props.get(), value);
}

HRESULT GetStringProperty(IMAPIProp* props, ULONG tag, std::wstring& text) {
  if (!props) return E_POINTER;
  SizedSPropTagArray(1, tags) = {1, {tag}};
  ULONG count = 0;
  MapiBuffer values;
  const HRESULT hr = props->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), MAPI_UNICODE, &count,
                                     reinterpret_cast<LPSPropValue*>(&values.buffer));
  if (FAILED(hr)) return hr;
  const auto* value = static_cast<const SPropValue*>(values.buffer);
  if (!value || count == 0) return E_FAIL;
  // A missing property comes back as an error value, whose code is no text pointer.
  if (PROP_TYPE(value->ulPropTag) == PT_ERROR) {
    return FAILED(value->Value.err) ? value->Value.err : E_FAIL;
  }
  if (PROP_TYPE(value->ulPropTag) != PT_UNICODE) return E_FAIL;
  text = value->Value.lpszW ? value->Value.lpszW : L"";
  return hr;
}

HRESULT GetStringProperty(IDispatch* item, ULONG tag, std::wstring& text) {
  ComRef<IMAPIProp> props;
  const HRESULT hr = GetItemProps(item, props);
  if (FAILED(hr)) return hr;
  return GetStringProperty(props.get(), tag, text);
}

bool CheckPropertyValue(const SPropValue& value) {
  if (PROP_TYPE(value.ulPropTag) != PT_ERROR) return true;
  wchar_t line[64];
  std::swprintf(line, std::size(line), L"Error in property ID %X: %X",
                static_cast<unsigned>(PROP_ID(value.ulPropTag)),
                static_cast<unsigned>(value.Value.err));
  LogSevere(line);
  return false;
}

bool CheckRow(const SRow& row, ULONG required) {
  const ULONG present = row.lpProps ? row.cValues : 0;
  if (present < required) {
    LogSevere(L"Row has less properties than required: " + DecimalText(present) + L" < " +
              DecimalText(required));
    return false;
  }
  for (ULONG i = 0; i < required; ++i) {
    if (!CheckPropertyValue(row.lpProps[i])) return false;
  }
  return true;
}

HRESULT GlobalObjectIdFromUid(const std::wstring& uid, LPSPropValue* value) {
  if (!value) return E_POINTER;
  *value = nullptr;
  const std::vector<uint8_t> bytes = GlobalObjectIdBytesFromUid(uid);
  void* record = nullptr;
  HRESULT hr = MAPIAllocateBuffer(sizeof(SPropValue), &record);
  if (FAILED(hr)) return hr;
  void* data = nullptr;
  hr = MAPIAllocateMore(static_cast<ULONG>(bytes.size()), record, &data);
  if (FAILED(hr)) {
    MAPIFreeBuffer(record);
    return hr;
  }
  std::memcpy(data, bytes.data(), bytes.size());
  auto* result = static_cast<LPSPropValue>(record);
  *result = SPropValue{};
  result->ulPropTag = PROP_TAG(PT_BINARY, PROP_ID_NULL);
  result->Value.bin.cb = static_cast<ULONG>(bytes.size());
  result->Value.bin.lpb = static_cast<LPBYTE>(data);
  *value = result;
  return S_OK;
}

HRESULT NamedPropertyValue::Read(IDispatch* item, const GUID& set, LONG id) {
  MAPIFreeBuffer(value);
  value = nullptr;
  HRESULT hr = GetNamedProperty(item, set, id, &value);
  if (SUCCEEDED(hr) && (value == nullptr || PROP_TYPE(value->ulPropTag) == PT_ERROR)) {
    hr = value != nullptr && FAILED(value->Value.err) ? value->Value.err : E_FAIL;
  }
  return hr;
}

}  // namespace calendar_mirrow_addin
