#include "sim/outlook/address_book.h"

#include <algorithm>
#include <vector>

#include "base/text.h"
#include "sim/outlook/mapi_view.h"

namespace calendar_mirrow_addin::sim {

namespace {

// A caller's list can claim any number of values; no entry has more than there are ids.
constexpr ULONG kValuesMax = 0x10000;

// Four flag bytes, this provider's id, then the address type and address in UTF-8.
Bytes AddressEntryId(const std::wstring& type, const std::wstring& address) {
  static constexpr uint8_t kProvider[16] = {0x4E, 0x58, 0x41, 0x42, 0x53, 0x49, 0x4D, 0x00,
                                            0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19};
  const std::string text = WideToUtf8(type + L":" + address);
  Bytes id(4 + sizeof(kProvider) + text.size(), 0);
  std::copy(std::begin(kProvider), std::end(kProvider), id.begin() + 4);
  std::copy(text.begin(), text.end(), id.begin() + 4 + sizeof(kProvider));
  return id;
}

bool LooksLikeSmtp(const std::wstring& text) {
  const size_t at = text.find(L'@');
  return at != std::wstring::npos && at > 0 && at + 1 < text.size() &&
         text.find_first_of(L" \t<>,;") == std::wstring::npos;
}

class AddressBook final : public PropObject<IAddrBook> {
 public:
  explicit AddressBook(std::shared_ptr<Store> store) : PropObject(std::move(store)) {}

  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IMAPIProp) ||
        IsEqualIID(iid, IID_IAddrBook)) {
      *object = static_cast<IAddrBook*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  HRESULT SaveChanges(ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT GetProps(LPSPropTagArray, ULONG, ULONG*, LPSPropValue*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT SetProps(ULONG, LPSPropValue, LPSPropProblemArray*) override { return MAPI_E_NO_ACCESS; }
  HRESULT DeleteProps(LPSPropTagArray, LPSPropProblemArray*) override { return MAPI_E_NO_ACCESS; }

  // Each unresolved entry (one without PR_ENTRYID) is resolved by its PR_DISPLAY_NAME_W; its
  // value array is replaced by a new one holding its other values and the resolved ones, so
  // that FreePadrlist frees it. Entries that cannot be resolved are left as they were.
  HRESULT ResolveName(ULONG_PTR, ULONG, LPTSTR, LPADRLIST list) override {
    if (list == nullptr) return MAPI_E_INVALID_PARAMETER;
    bool ambiguous = false;
    bool missing = false;
    for (ULONG e = 0; e < list->cEntries; ++e) {
      ADRENTRY& entry = list->aEntries[e];
      if (entry.cValues > kValuesMax || (entry.cValues > 0 && entry.rgPropVals == nullptr)) {
        return MAPI_E_INVALID_PARAMETER;
      }
      PropMap values;
      std::optional<std::wstring> name;
      for (ULONG v = 0; v < entry.cValues; ++v) {
        const SPropValue& value = entry.rgPropVals[v];
        if (PROP_TYPE(value.ulPropTag) == PT_ERROR) continue;
        auto data = FromSPropValue(value);
        if (!data) continue;
        if (value.ulPropTag == PR_DISPLAY_NAME_W) name = std::get<std::wstring>(*data);
        values[value.ulPropTag] = std::move(*data);
      }
      if (values.count(PR_ENTRYID) != 0) continue;
      const Resolution found =
          name ? ResolveAddress(*store_, *name) : Resolution{MAPI_E_NOT_FOUND, {}};
      if (found.code == MAPI_E_AMBIGUOUS_RECIP) ambiguous = true;
      if (found.code != S_OK) {
        missing = true;
        continue;
      }
      for (const auto& [tag, data] : found.values) {
        for (auto it = values.begin(); it != values.end();) {  // one value per property id
          it = PROP_ID(it->first) == PROP_ID(tag) ? values.erase(it) : std::next(it);
        }
        values[tag] = data;
      }
      LPVOID buffer = nullptr;
      SCODE code =
          MAPIAllocateBuffer(static_cast<ULONG>(values.size() * sizeof(SPropValue)), &buffer);
      if (code != S_OK) return code;
      auto* array = static_cast<LPSPropValue>(buffer);
      ULONG filled = 0;
      for (const auto& [tag, data] : values) {
        if (!ToSPropValue(tag, data, array, &array[filled++])) {
          MAPIFreeBuffer(array);
          return MAPI_E_NOT_ENOUGH_MEMORY;
        }
      }
      MAPIFreeBuffer(entry.rgPropVals);
      entry.rgPropVals = array;
      entry.cValues = filled;
    }
    if (ambiguous) return MAPI_E_AMBIGUOUS_RECIP;
    return missing ? MAPI_E_NOT_FOUND : S_OK;
  }

  HRESULT OpenEntry(ULONG, LPENTRYID, LPCIID, ULONG, ULONG*, LPUNKNOWN*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT CompareEntryIDs(ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG, ULONG*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT Unadvise(ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT CreateOneOff(LPTSTR, LPTSTR, LPTSTR, ULONG, ULONG*, LPENTRYID*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT NewEntry(ULONG_PTR, ULONG, ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG*,
                   LPENTRYID*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT Address(ULONG_PTR*, LPADRPARM, LPADRLIST*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT Details(ULONG_PTR*, LPFNDISMISS, LPVOID, ULONG, LPENTRYID, LPFNBUTTON, LPVOID, LPTSTR,
                  ULONG) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT RecipOptions(ULONG_PTR, ULONG, LPADRENTRY) override { return MAPI_E_NO_SUPPORT; }
  HRESULT QueryDefaultRecipOpt(LPTSTR, ULONG, ULONG*, LPSPropValue*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT GetPAB(ULONG*, LPENTRYID*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SetPAB(ULONG, LPENTRYID) override { return MAPI_E_NO_SUPPORT; }
  HRESULT GetDefaultDir(ULONG*, LPENTRYID*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SetDefaultDir(ULONG, LPENTRYID) override { return MAPI_E_NO_SUPPORT; }
  HRESULT GetSearchPath(ULONG, LPSRowSet*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SetSearchPath(ULONG, LPSRowSet) override { return MAPI_E_NO_SUPPORT; }
  HRESULT PrepareRecips(ULONG, LPSPropTagArray, LPADRLIST) override { return MAPI_E_NO_SUPPORT; }
};

}  // namespace

Resolution ResolveAddress(const Store& store, const std::wstring& text) {
  const std::wstring wanted = ToLower(text);
  const DirectoryUser* match = nullptr;
  for (const DirectoryUser& user : store.directory()) {
    if (ToLower(user.name) != wanted && ToLower(user.smtp_address) != wanted &&
        ToLower(user.ex_address) != wanted) {
      continue;
    }
    if (match != nullptr) return {MAPI_E_AMBIGUOUS_RECIP, {}};
    match = &user;
  }
  Resolution out{S_OK, {}};
  if (match != nullptr) {
    out.values[PR_ADDRTYPE_W] = std::wstring(L"EX");
    out.values[PR_EMAIL_ADDRESS_W] = match->ex_address;
    out.values[PR_SMTP_ADDRESS_W] = match->smtp_address;
    out.values[PR_DISPLAY_NAME_W] = match->name;
    out.values[PR_ENTRYID] = AddressEntryId(L"EX", match->ex_address);
  } else if (LooksLikeSmtp(text)) {
    out.values[PR_ADDRTYPE_W] = std::wstring(L"SMTP");
    out.values[PR_EMAIL_ADDRESS_W] = text;
    out.values[PR_SMTP_ADDRESS_W] = text;
    out.values[PR_DISPLAY_NAME_W] = text;
    out.values[PR_ENTRYID] = AddressEntryId(L"SMTP", text);
  } else {
    out.code = MAPI_E_NOT_FOUND;
  }
  return out;
}

IAddrBook* NewAddressBook(std::shared_ptr<Store> store) {
  return new AddressBook(std::move(store));
}

}  // namespace calendar_mirrow_addin::sim
