// Writing an event's guests as an item's recipients, the organizer as sender, the safe
// save of a series, and deleting items.

#include <algorithm>
#include <cstddef>
#include <cwchar>
#include <vector>

#include "base/logger.h"
#include "base/text.h"
#include "outlook/dispatch_values.h"
#include "outlook/mapi_access.h"
#include "outlook/outlook.h"
#include "outlook/outlook_values.h"
#include "platform/com/oleaut.h"

namespace calendar_mirrow_addin {

namespace {

// Recipient rows go back to ModifyRecipients as the address list they are laid out as.
// The provider may replace an entry's value array; sharing the memory keeps the row set
// the one owner of whatever array each row ends up with, freed once with the rows.
static_assert(sizeof(SRow) == sizeof(ADRENTRY));
static_assert(offsetof(SRow, cValues) == offsetof(ADRENTRY, cValues));
static_assert(offsetof(SRow, lpProps) == offsetof(ADRENTRY, rgPropVals));
static_assert(offsetof(SRowSet, aRow) == offsetof(ADRLIST, aEntries));

HRESULT ItemMessage(IDispatch* item, ComRef<IMessage>& message) {
  ComRef<IUnknown> mapi_object;
  const HRESULT hr = GetMapiObject(item, mapi_object);
  if (FAILED(hr)) return hr;
  return mapi_object->QueryInterface(IID_IMessage, message.PutVoid());
}

// Points a text value of `row` at a copy of `text` in memory linked to the row's values,
// so that it goes when the row does.
HRESULT PutRowText(SRow& row, SPropValue& value, const std::wstring& text) {
  LPVOID copy = nullptr;
  const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  const HRESULT hr = MAPIAllocateMore(static_cast<ULONG>(bytes), row.lpProps, &copy);
  if (FAILED(hr)) return hr;
  std::wmemcpy(static_cast<wchar_t*>(copy), text.c_str(), text.size() + 1);
  value.Value.lpszW = static_cast<LPWSTR>(copy);
  return S_OK;
}

}  // namespace

HRESULT Outlook::WriteRecipients(const Event* event, IDispatch* item) {
  if (event == nullptr) return E_POINTER;
  ComRef<IDispatch> recipients;
  HRESULT hr = GetObjectProperty(item, L"Recipients", recipients);
  if (FAILED(hr)) return hr;
  if (FAILED(hr = RemoveAllItems(recipients.get()))) return hr;
  std::wstring organizer;
  std::vector<const Guest*> guests;
  guests.reserve(event->guests().size());
  for (const auto& [email, guest] : event->guests()) {
    if (guest.attendance_type == kAttendanceOrganizer) organizer = guest.email;
    guests.push_back(&guest);
  }
  std::sort(guests.begin(), guests.end(),
            [](const Guest* a, const Guest* b) { return a->email < b->email; });
  for (const Guest* guest : guests) {
    if (FAILED(hr = AddRecipient(*guest, recipients.get(), item, organizer))) return hr;
  }
  return SetDisplayNamesAndOrganizer(item, event->guests(), organizer);
}

HRESULT Outlook::AddRecipient(const Guest& guest, IDispatch* recipients, IDispatch* item,
                              const std::wstring& organizer_email) {
  Variant text;
  text.value.vt = VT_BSTR;
  text.value.bstrVal = SysAllocString(guest.email.c_str());
  ComRef<IDispatch> recipient;
  HRESULT hr = CallForObject(recipients, L"Add", &text.value, recipient);
  if (FAILED(hr)) return hr;
  if (!recipient) return E_FAIL;
  Variant resolved;
  if (FAILED(hr = CallMethod(recipient.get(), L"Resolve", &resolved.value, 0, nullptr))) return hr;
  if (const auto type = OutlookTypeOfGuest(guest)) {
    if (FAILED(hr = PutLong(recipient.get(), L"Type", *type))) return hr;
  }
  const LONG response = OutlookResponseOfGuest(guest);
  if (FAILED(hr = PutLong(recipient.get(), L"MeetingResponseStatus", response))) return hr;
  // The user's own answer to an invitation is the item's, which is what Outlook shows.
  const std::wstring account = ToLower(user_);
  if (ToLower(guest.email) == account && account != ToLower(organizer_email)) {
    return PutLong(item, L"ResponseStatus", response);
  }
  return S_OK;
}

HRESULT Outlook::SetDisplayNamesAndOrganizer(IDispatch* item, const GuestMap& guests,
                                             const std::wstring& organizer_email) {
  LogBlock block(L"Outlook::SetDisplayNamesAndOrganizer");
  if (guests.empty()) return S_OK;
  HRESULT hr = CallMethodNoArgs(item, L"Save");
  if (FAILED(hr)) return hr;
  // Guests are kept under lower-case addresses; the address book may answer in any case.
  const std::wstring organizer = ToLower(organizer_email);
  {
    RowSet rows;
    if (FAILED(hr = GetRecipientRows(item, rows))) return hr;
    if (rows.set != nullptr && rows.set->cRows > 0) {
      for (ULONG r = 0; r < rows.set->cRows; ++r) {
        SRow& row = rows.set->aRow[r];
        std::wstring email;
        hr = ResolveEmailFromRow(row, &email);
        if (hr == kRecipientNotFound) continue;
        if (hr != S_OK) return hr;
        email = ToLower(email);
        const auto guest = guests.find(email);
        if (guest == guests.end()) continue;
        LogVerbose(L"Patching recipient's display name " + guest->second.name);
        for (ULONG v = 0; v < row.cValues; ++v) {
          SPropValue& value = row.lpProps[v];
          if (value.ulPropTag == PR_RECIPIENT_FLAGS) {
            value.Value.l = !organizer.empty() && email == organizer ? 3 : 1;
          } else if (value.ulPropTag == PR_DISPLAY_NAME_W && !guest->second.name.empty()) {
            if (FAILED(hr = PutRowText(row, value, guest->second.name))) return hr;
          }
        }
      }
      ComRef<IMessage> message;
      if (FAILED(hr = ItemMessage(item, message))) return hr;
      hr = message->ModifyRecipients(MODRECIP_MODIFY, reinterpret_cast<LPADRLIST>(rows.set));
      if (FAILED(hr)) return hr;
      if (FAILED(hr = message->SaveChanges(KEEP_OPEN_READWRITE))) return hr;
    }
  }
  const auto found = organizer.empty() ? guests.end() : guests.find(organizer);
  if (found == guests.end()) {
    LogSevere(L"Cannot find organizer among guests");
    return E_FAIL;
  }
  const Guest& sender = found->second;
  std::wstring texts[3] = {sender.email, sender.name, L"SMTP"};
  const ULONG tags[3] = {PR_SENDER_EMAIL_ADDRESS_W, PR_SENDER_NAME_W, PR_SENDER_ADDRTYPE_W};
  for (int i = 0; i < 3; ++i) {
    SPropValue value{};
    value.ulPropTag = tags[i];
    value.Value.lpszW = texts[i].data();
    if (FAILED(hr = SetProperty(item, value))) return hr;
  }
  return S_OK;
}

HRESULT Outlook::SafeSave(const Event* event, IDispatch* item) {
  LogVerbose(L"Initiating safe save...");
  const HRESULT hr = CallMethodNoArgs(item, L"Save");
  if (SUCCEEDED(hr)) return S_OK;
  // Outlook refuses to save a bounded series none of whose occurrences is left; that
  // series is as the event wants it.
  const Recurrence* recurrence = event != nullptr ? event->recurrence() : nullptr;
  const bool all_deleted =
      recurrence != nullptr && (recurrence->until() != nullptr || recurrence->count() != -1) &&
      !recurrence->exceptions().empty() &&
      std::all_of(
          recurrence->exceptions().begin(), recurrence->exceptions().end(),
          [](const auto& exception) { return exception->status() == kEventStatusCanceled; });
  if (all_deleted) {
    LogInfo(L"Ignore Save failure since we think that all ocurrences were deleted");
    return S_FALSE;
  }
  LogSevere(L"Unable to save event");
  return hr;
}

}  // namespace calendar_mirrow_addin
