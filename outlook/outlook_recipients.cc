// Recipients as e-mail addresses: through the address book or through a temporary
// appointment, the organizer of a meeting, and the system's own user properties.

#include <utility>

#include "base/logger.h"
#include "base/text.h"
#include "outlook/dispatch_values.h"
#include "outlook/mapi_access.h"
#include "outlook/outlook.h"
#include "platform/com/oleaut.h"

namespace calendar_mirrow_addin {

namespace {

bool HasAt(const std::wstring& text) { return text.find(L'@') != std::wstring::npos; }

// The text of a row's value with this tag; empty when the row does not hold it.
std::wstring RowText(const SRow& row, ULONG tag) {
  for (ULONG i = 0; i < row.cValues; ++i) {
    const SPropValue& value = row.lpProps[i];
    if (value.ulPropTag == tag && value.Value.lpszW != nullptr) return value.Value.lpszW;
  }
  return std::wstring();
}

std::optional<LONG> RowLong(const SRow& row, ULONG tag) {
  for (ULONG i = 0; i < row.cValues; ++i) {
    if (row.lpProps[i].ulPropTag == tag) return row.lpProps[i].Value.l;
  }
  return std::nullopt;
}

// An address list of one entry asking the address book for `text`, freed with its values.
struct OneAddress {
  ~OneAddress() { FreePadrlist(list); }
  HRESULT Build(const std::wstring& text) {
    HRESULT hr =
        MAPIAllocateBuffer(static_cast<ULONG>(CbNewADRLIST(1)), reinterpret_cast<LPVOID*>(&list));
    if (FAILED(hr)) return hr;
    list->cEntries = 0;
    LPSPropValue values = nullptr;
    hr = MAPIAllocateBuffer(2 * sizeof(SPropValue), reinterpret_cast<LPVOID*>(&values));
    if (FAILED(hr)) return hr;
    list->cEntries = 1;
    list->aEntries[0] = ADRENTRY{0, 2, values};
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    LPVOID name = nullptr;
    if (FAILED(hr = MAPIAllocateMore(static_cast<ULONG>(bytes), values, &name))) return hr;
    std::wmemcpy(static_cast<wchar_t*>(name), text.c_str(), text.size() + 1);
    values[0].ulPropTag = PR_ADDRTYPE_W;
    values[0].Value.lpszW = const_cast<LPWSTR>(L"EX");
    values[1].ulPropTag = PR_DISPLAY_NAME_W;
    values[1].Value.lpszW = static_cast<LPWSTR>(name);
    return S_OK;
  }
  LPADRLIST list = nullptr;
};

}  // namespace

HRESULT Outlook::ResolveRecipientEmail(const std::wstring& text, std::wstring* email) {
  return resolve_address_book_ ? ResolveRecipientEmailAddressBook(text, email)
                               : ResolveRecipientEmailEvent(text, email);
}

HRESULT Outlook::ResolveRecipientEmailAddressBook(const std::wstring& text, std::wstring* email) {
  LogBlock block(L"Outlook::ResolveRecipientEmailAddressBook");
  if (const auto cached = resolved_addresses_.find(text); cached != resolved_addresses_.end()) {
    *email = cached->second;
    return S_OK;
  }
  OneAddress address;
  HRESULT hr = address.Build(text);
  if (FAILED(hr)) return hr;
  ComRef<IUnknown> mapi_object;
  ComRef<IMAPISession> session;
  if (FAILED(hr = GetMapiObject(name_space_.get(), mapi_object))) return hr;
  if (FAILED(hr = mapi_object->QueryInterface(IID_IMAPISession, session.PutVoid()))) return hr;
  ComRef<IAddrBook> book;
  hr = session->OpenAddressBook(0, nullptr, AB_NO_DIALOG, book.Put());
  if (hr != S_OK && hr != MAPI_W_ERRORS_RETURNED) {
    LogSevere(L"Eror opening address book: " + DescribeHResult(hr));
    return hr;
  }
  hr = book->ResolveName(0, MAPI_UNICODE, nullptr, address.list);
  if (hr == MAPI_E_NOT_FOUND) {
    LogSevere(L"Recipient was not found.");
    return kRecipientNotFound;
  }
  if (FAILED(hr)) {
    LogSevere(L"Eror resolving name: " + DescribeHResult(hr));
    return hr;
  }
  const ADRENTRY& entry = address.list->aEntries[0];
  const SRow row{0, entry.cValues, entry.rgPropVals};
  const std::wstring smtp = address.list->cEntries > 0 ? RowText(row, PR_SMTP_ADDRESS_W) : L"";
  if (HasAt(smtp)) {
    resolved_addresses_[text] = smtp;
    *email = smtp;
    LogInfo(L"Resolved email: " + smtp);
    return S_OK;
  }
  if (!smtp.empty()) LogVerbose(L"Resolved " + text + L" to bad address " + smtp);
  LogVerbose(L"Could not resolve: " + text);
  return E_FAIL;
}

HRESULT Outlook::ResolveRecipientEmailEvent(const std::wstring& text, std::wstring* email) {
  LogBlock block(L"Outlook::ResolveRecipientEmailEvent");
  if (const auto cached = resolved_addresses_.find(text); cached != resolved_addresses_.end()) {
    *email = cached->second;
    return S_OK;
  }
  ComRef<IDispatch> item;
  HRESULT hr = CreateAppointment(item);
  if (FAILED(hr)) return hr;
  ComRef<IDispatch> recipients, recipient;
  Variant argument;
  argument.value.vt = VT_BSTR;
  argument.value.bstrVal = SysAllocString(text.c_str());
  if (FAILED(hr = GetObjectProperty(item.get(), L"Recipients", recipients))) return hr;
  if (FAILED(CallForObject(recipients.get(), L"Add", &argument.value, recipient))) return E_FAIL;
  Variant ignored;
  if (FAILED(hr = CallMethod(recipient.get(), L"Resolve", &ignored.value, 0, nullptr))) return hr;
  if (FAILED(hr = CallMethodNoArgs(item.get(), L"Save"))) return hr;
  std::wstring resolved;
  {
    RowSet rows;
    if (FAILED(hr = GetRecipientRows(item.get(), rows))) return hr;
    for (ULONG i = 0; rows.set != nullptr && i < rows.set->cRows && resolved.empty(); ++i) {
      const SRow& row = rows.set->aRow[i];
      if (ToLower(RowText(row, PR_EMAIL_ADDRESS_W)) != ToLower(text)) continue;
      const std::wstring smtp = ToLower(RowText(row, PR_SMTP_ADDRESS_W));
      if (HasAt(smtp)) {
        resolved = smtp;
        resolved_addresses_[text] = smtp;
      } else {
        LogVerbose(L"Resolved " + text + L" to bad address " + smtp);
      }
    }
  }
  if (FAILED(hr = DeleteForGood(item.get()))) return hr;
  if (resolved.empty()) {
    // Not found, as the address book would say: the recipient is left out rather than
    // keeping the whole event from being synchronised.
    LogVerbose(L"Could not resolve: " + text);
    return kRecipientNotFound;
  }
  *email = resolved;
  return S_OK;
}

// A new appointment as an import starts one: no reminder, on 1 January 1980.
HRESULT Outlook::CreateAppointment(ComRef<IDispatch>& item) {
  Variant kind;
  SetLong(kind.value, 1);
  HRESULT hr = CallForObject(application_.get(), L"CreateItem", &kind.value, item);
  if (FAILED(hr)) return hr;
  if (FAILED(hr = PutBool(item.get(), L"ReminderSet", false))) return hr;
  const auto start = ParseIso(L"1980-01-01T00:00:00.000");
  Variant value;
  if (!start || !DateTimeToVariant(*start, L"local-tz-id", value.value)) return E_FAIL;
  return PutProperty(item.get(), L"Start", value.value);
}

// Removes an item from the calendar folder without leaving it in Deleted Items.
HRESULT Outlook::DeleteForGood(IDispatch* item) {
  std::wstring id;
  HRESULT hr = GetText(item, L"EntryID", id);
  if (FAILED(hr)) return hr;
  ComRef<IDispatch> folder;
  Variant folder_id;
  folder_id.value.vt = VT_BSTR;
  folder_id.value.bstrVal = SysAllocString(calendar_folder_id_.c_str());
  if (FAILED(hr = CallForObject(name_space_.get(), L"GetFolderFromID", &folder_id.value, folder))) {
    return hr;
  }
  LogVerbose(L"Calendar folder " + DecimalText(reinterpret_cast<uintptr_t>(folder.get()) & 0xFFFF));
  ComRef<IUnknown> mapi_object;
  if (FAILED(hr = GetMapiObject(folder.get(), mapi_object))) return hr;
  LogVerbose(L"MAPI Object " +
             DecimalText(reinterpret_cast<uintptr_t>(mapi_object.get()) & 0xFFFF));
  ComRef<IMAPIFolder> mapi_folder;
  if (FAILED(hr = mapi_object->QueryInterface(IID_IMAPIFolder, mapi_folder.PutVoid()))) return hr;
  LogVerbose(L"MAPI Folder " +
             DecimalText(reinterpret_cast<uintptr_t>(mapi_folder.get()) & 0xFFFF));
  const auto bytes = EntryIdBytes(id);
  if (!bytes) return E_FAIL;
  std::vector<uint8_t> entry_id = *bytes;
  SBinary entry{static_cast<ULONG>(entry_id.size()), entry_id.data()};
  ENTRYLIST list{1, &entry};
  hr = mapi_folder->DeleteMessages(&list, 0, nullptr, 0);
  LogVerbose(L"DeleteMessages result: " + DecimalText(hr));
  return hr;
}

HRESULT Outlook::GetRecipientRows(IDispatch* item, RowSet& rows) {
  ComRef<IUnknown> mapi_object;
  HRESULT hr = GetMapiObject(item, mapi_object);
  if (FAILED(hr)) return hr;
  ComRef<IMessage> message;
  if (FAILED(hr = mapi_object->QueryInterface(IID_IMessage, message.PutVoid()))) return hr;
  ComRef<IMAPITable> table;
  if (FAILED(hr = message->GetRecipientTable(MAPI_UNICODE, table.Put()))) return hr;
  ULONG count = 0;
  if (FAILED(hr = table->GetRowCount(0, &count))) return hr;
  LogVerbose(L"Total recipients: " + DecimalText(count));
  if (count == 0) return S_OK;
  return table->QueryRows(static_cast<LONG>(count), TBL_NOADVANCE, &rows.set);
}

HRESULT Outlook::ResolveEmailFromRow(const SRow& row, std::wstring* email) {
  const std::wstring address = RowText(row, PR_EMAIL_ADDRESS_W);
  const std::wstring type = RowText(row, PR_ADDRTYPE_W);
  if (type == L"UNKNOWN") {
    *email = L"UNKNOWN";
    return S_OK;
  }
  if (type != L"EX" && HasAt(address)) {
    *email = ToLower(address);
    return S_OK;
  }
  return ResolveRecipientEmail(address, email);
}

HRESULT Outlook::GetOrganizerEmail(IDispatch* item, std::wstring* email) {
  LogBlock block(L"Outlook::GetOrganizerEmail");
  if (loading_.size() == 2) {
    for (const auto& [address, guest] : loading_.front()->guests()) {
      if (guest.attendance_type != kAttendanceOrganizer) continue;
      *email = guest.email;
      LogVerbose(L"Loading organizer from recurring " + guest.email);
      return S_OK;
    }
    email->clear();
    return S_OK;
  }
  std::wstring organizer;
  {
    RowSet rows;
    HRESULT hr = GetRecipientRows(item, rows);
    if (FAILED(hr)) return hr;
    for (ULONG i = 0; rows.set != nullptr && i < rows.set->cRows; ++i) {
      const SRow& row = rows.set->aRow[i];
      if (RowLong(row, PR_RECIPIENT_FLAGS) != 3) continue;
      if (FAILED(hr = ResolveEmailFromRow(row, &organizer)) || hr == kRecipientNotFound) {
        return hr;
      }
      break;
    }
  }
  if (organizer == L"UNKNOWN") organizer = user_;
  if (!organizer.empty()) {
    *email = organizer;
    return S_OK;
  }
  std::wstring sender;
  HRESULT hr = GetStringProperty(item, PR_SENDER_EMAIL_ADDRESS_W, sender);
  if (FAILED(hr)) return hr;
  if (sender.empty()) {
    LogSevere(L"Read empty email address from PR_SENDER_EMAIL_ADDRESS_W");
    return E_FAIL;
  }
  if (HasAt(sender)) {
    *email = sender;
    return S_OK;
  }
  hr = ResolveRecipientEmail(sender, email);
  if (hr != S_OK) LogSevere(L"Read invalid email from PR_SENDER_EMAIL_ADDRESS_W:" + sender);
  return hr;
}

HRESULT Outlook::FindUserProperty(IDispatch* item, const std::wstring& name,
                                  ComRef<IDispatch>& property) {
  ComRef<IDispatch> properties;
  HRESULT hr = GetObjectProperty(item, L"UserProperties", properties);
  if (FAILED(hr)) return hr;
  Variant argument, result;
  argument.value.vt = VT_BSTR;
  argument.value.bstrVal = SysAllocString(name.c_str());
  if (FAILED(hr = CallMethod(properties.get(), L"Item", &result.value, 1, &argument.value))) {
    return hr;
  }
  property = TakeDispatch(result.value);  // empty when there is none
  return S_OK;
}

HRESULT Outlook::AddUserProperty(IDispatch* item, const std::wstring& name, LONG type,
                                 ComRef<IDispatch>& property) {
  ComRef<IDispatch> properties;
  HRESULT hr = GetObjectProperty(item, L"UserProperties", properties);
  if (FAILED(hr)) return hr;
  // In IDispatch order: add-to-folder-fields, type, name.
  Variant arguments[3], result;
  SetBool(arguments[0].value, false);
  SetLong(arguments[1].value, type);
  arguments[2].value.vt = VT_BSTR;
  arguments[2].value.bstrVal = SysAllocString(name.c_str());
  VARIANT raw[3] = {arguments[0].value, arguments[1].value, arguments[2].value};
  if (FAILED(hr = CallMethod(properties.get(), L"Add", &result.value, 3, raw))) return hr;
  property = TakeDispatch(result.value);
  return property ? S_OK : E_FAIL;
}

HRESULT Outlook::GetUserProperty(IDispatch* item, const std::wstring& name, std::wstring* value) {
  ComRef<IDispatch> property;
  HRESULT hr = FindUserProperty(item, name, property);
  if (FAILED(hr)) return hr;
  value->clear();
  return property ? GetText(property.get(), L"Value", *value) : S_OK;
}

HRESULT Outlook::SetUserProperty(IDispatch* item, const std::wstring& name,
                                 const std::wstring& value) {
  ComRef<IDispatch> property;
  HRESULT hr = FindUserProperty(item, name, property);
  if (FAILED(hr)) return hr;
  if (!property && FAILED(hr = AddUserProperty(item, name, 1, property))) return hr;
  return PutText(property.get(), L"Value", value);
}

HRESULT Outlook::DeleteUserProperty(IDispatch* item, const std::wstring& name) {
  ComRef<IDispatch> property;
  HRESULT hr = FindUserProperty(item, name, property);
  if (FAILED(hr) || !property) return hr;
  return CallMethodNoArgs(property.get(), L"Delete");
}

}  // namespace calendar_mirrow_addin
