#include "outlook/outlook.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

#include "base/logger.h"
#include "base/string_table.h"
#include "base/system_time.h"
#include "base/text.h"
#include "outlook/automation.h"
#include "outlook/dispatch_values.h"
#include "outlook/global_object_id.h"
#include "outlook/mapi_access.h"
#include "platform/com/oleaut.h"
#include "sync/progress_monitor.h"

namespace calendar_mirrow_addin {

namespace {

constexpr LONG kCalendarFolder = 9;  // olFolderCalendar
constexpr LONG kRowsPerQuery = 50;
constexpr ULONG kBriefColumns = 3;
// What FileTimeToSystemTime reports for a time it cannot convert.
constexpr int kErrorInvalidParameter = 87;

HRESULT GetCalendarFolder(IDispatch* name_space, ComRef<IDispatch>& folder) {
  Variant result, which;
  which.value.vt = VT_I4;
  which.value.lVal = kCalendarFolder;
  const HRESULT hr = CallMethod(name_space, L"GetDefaultFolder", &result.value, 1, &which.value);
  if (FAILED(hr)) return hr;
  folder = TakeDispatch(result.value);
  return folder ? S_OK : E_FAIL;
}

// Frees a row set however the loop that holds it ends.
struct Rows {
  ~Rows() { FreeProws(set); }
  LPSRowSet set = nullptr;
};

}  // namespace

std::wstring EntryIdText(const SBinary& entry_id) {
  std::wstring text;
  text.reserve(entry_id.cb * 2);
  for (ULONG i = 0; i < entry_id.cb; ++i) {
    wchar_t digits[3];
    std::swprintf(digits, 3, L"%02X", entry_id.lpb[i]);
    text += digits;
  }
  return text;
}

std::optional<std::vector<uint8_t>> EntryIdBytes(const std::wstring& text) {
  if (text.size() % 2 != 0) return std::nullopt;
  const auto digit = [](wchar_t c) -> int {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    return -1;
  };
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = digit(text[i]), low = digit(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(high * 16 + low));
  }
  return bytes;
}

Outlook::Outlook(IDispatch* application, const std::wstring& user, bool resolve_address_book)
    : Calendar(user),
      resolve_address_book_(resolve_address_book),
      settle_wait_([](int milliseconds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
      }) {
  if (application != nullptr) application->AddRef();
  application_ = ComRef<IDispatch>(application);
}

Outlook::~Outlook() = default;

HRESULT Outlook::Logon(const std::wstring& profile, std::wstring* calendar_folder_id) {
  LogBlock block(L"Outlook::Logon");
  Variant result, mapi;
  mapi.value.vt = VT_BSTR;
  mapi.value.bstrVal = SysAllocString(L"MAPI");
  HRESULT hr = CallMethod(application_.get(), L"GetNamespace", &result.value, 1, &mapi.value);
  if (FAILED(hr)) return hr;
  ComRef<IDispatch> name_space = TakeDispatch(result.value);
  if (!name_space) return E_FAIL;

  // In IDispatch order, the last parameter first: new session, show dialog, password,
  // profile. What is not given stays empty.
  Variant arguments[4];
  arguments[1].value.vt = VT_I2;
  arguments[1].value.iVal = -1;
  if (!profile.empty()) {
    arguments[3].value.vt = VT_BSTR;
    arguments[3].value.bstrVal = SysAllocString(profile.c_str());
  }
  VARIANT raw[4] = {arguments[0].value, arguments[1].value, arguments[2].value, arguments[3].value};
  Variant ignored;
  hr = CallMethod(name_space.get(), L"Logon", &ignored.value, 4, raw);
  if (FAILED(hr)) return hr;
  name_space_ = std::move(name_space);

  ComRef<IDispatch> folder;
  hr = GetCalendarFolder(name_space_.get(), folder);
  if (FAILED(hr)) return hr;
  Variant entry_id;
  hr = GetProperty(folder.get(), L"EntryID", &entry_id.value);
  if (FAILED(hr)) return hr;
  calendar_folder_id_ =
      entry_id.value.vt == VT_BSTR && entry_id.value.bstrVal != nullptr
          ? std::wstring(entry_id.value.bstrVal, SysStringLen(entry_id.value.bstrVal))
          : std::wstring();
  if (calendar_folder_id != nullptr) *calendar_folder_id = calendar_folder_id_;
  return S_OK;
}

HRESULT Outlook::Logoff() {
  LogBlock block(L"Outlook::Logoff");
  const HRESULT hr = CallMethodNoArgs(name_space_.get(), L"Logoff");
  name_space_.Reset();
  return hr;
}

HRESULT Outlook::GetItemFromId(const std::wstring& id, ComRef<IDispatch>& item) {
  Variant result, argument;
  argument.value.vt = VT_BSTR;
  argument.value.bstrVal = SysAllocString(id.c_str());
  const HRESULT hr =
      CallMethod(name_space_.get(), L"GetItemFromID", &result.value, 1, &argument.value);
  if (FAILED(hr)) return hr;
  item = TakeDispatch(result.value);
  return item ? S_OK : E_FAIL;
}

bool Outlook::LoadEvents(const DateTime* updated_min, std::wstring& error_message,
                         IProgressMonitor* progress) {
  const HRESULT hr = LoadEventsBrief(updated_min, progress);
  if (hr == MAPI_E_BUSY) {
    LogSevere(L"MAPI storage is busy.");
    error_message = LoadResourceString(IDS_MAPI_BUSY);
    return false;
  }
  if (hr == MAPI_E_NETWORK_ERROR) {
    LogSevere(L"MAPI connection error.");
    error_message = LoadResourceString(IDS_CHECK_EXCHANGE);
    return false;
  }
  if (FAILED(hr)) {
    LogSevere(L"Failed to load even brief info.");
    error_message = LoadResourceString(IDS_OUTLOOK_LOAD_FAILED);
    return false;
  }
  LogInfo(L"Briefly loaded " + DecimalText(events_.size()) + L" entries.");
  return true;
}

HRESULT Outlook::LoadEventsBrief(const DateTime* updated_min, IProgressMonitor* progress) {
  LogBlock block(L"Outlook::LoadEventsBrief");
  NullProgressMonitor unobserved;
  if (progress == nullptr) progress = &unobserved;
  ComRef<IDispatch> folder_item;
  HRESULT hr = GetCalendarFolder(name_space_.get(), folder_item);
  if (FAILED(hr)) return hr;
  ComRef<IUnknown> mapi_object;
  hr = GetMapiObject(folder_item.get(), mapi_object);
  if (FAILED(hr)) return hr;
  ComRef<IMAPIFolder> folder;
  hr = mapi_object->QueryInterface(IID_IMAPIFolder, folder.PutVoid());
  if (FAILED(hr)) {
    LogSevere(L"Error querying MAPIFolder interface: " + DescribeHResult(hr));
    return hr;
  }
  ComRef<IMAPITable> table;
  hr = folder->GetContentsTable(MAPI_UNICODE, table.Put());
  if (FAILED(hr)) {
    LogSevere(L"Error getting contents table: " + DescribeHResult(hr));
    return hr;
  }
  ULONG row_count = 0;
  hr = table->GetRowCount(0, &row_count);
  if (FAILED(hr)) {
    LogSevere(L"Error getting RowCount: " + DescribeHResult(hr));
    return hr;
  }
  SizedSPropTagArray(kBriefColumns, columns) = {
      kBriefColumns, {PR_ENTRYID, PR_LAST_MODIFICATION_TIME, PR_MESSAGE_CLASS_W}};
  hr = table->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0);
  if (FAILED(hr)) {
    LogSevere(L"Error settings columns for query" + DescribeHResult(hr));
    return hr;
  }
  progress->BeginTask(L"Loading Outlook events", static_cast<int>(row_count));
  bool canceled = progress->IsCanceled();
  int64_t processed = 0;
  HRESULT query = S_OK;
  for (;;) {
    Rows rows;
    query = table->QueryRows(kRowsPerQuery, 0, &rows.set);
    if (FAILED(query) || rows.set == nullptr || rows.set->cRows == 0) break;
    // Once cancelled the remaining batches are still fetched and freed, not processed.
    for (ULONG i = 0; i < rows.set->cRows && !canceled; ++i) {
      progress->SubTask(FormatProgressItem(processed, row_count));
      ++processed;
      progress->Worked(1);
      canceled = progress->IsCanceled();
      hr = BriefEvent(folder.get(), rows.set->aRow[i], updated_min);
      if (FAILED(hr)) return hr;
    }
  }
  LogInfo(DecimalText(processed) + L" entries processed");
  if (FAILED(query)) {
    LogSevere(L"QueryRows error: " + DescribeHResult(query));
    return query;
  }
  return S_OK;
}

// One row of the brief list: the event is added to the map unless its class or type is
// not an appointment's or it did not change since `updated_min`.
HRESULT Outlook::BriefEvent(IMAPIFolder* folder, const SRow& row, const DateTime* updated_min) {
  if (!CheckRow(row, kBriefColumns)) return E_FAIL;
  const SBinary& entry_id = row.lpProps[0].Value.bin;
  auto event = std::make_unique<Event>();
  event->set_id(EntryIdText(entry_id));
  const FILETIME& modified = row.lpProps[1].Value.ft;
  const auto utc =
      FileTimeToSystemTime((FileTime{modified.dwHighDateTime} << 32) | modified.dwLowDateTime);
  if (!utc) {
    LogSevere(L"Error converting time: " + DecimalText(kErrorInvalidParameter));
    return E_FAIL;
  }
  event->set_updated(std::make_unique<DateTime>(DateTime::FromSystemTimeRounded(*utc)));
  const wchar_t* message_class = row.lpProps[2].Value.lpszW;
  const std::wstring klass = message_class != nullptr ? message_class : L"";
  if (klass != L"IPM.Appointment" && klass != L"IPM.Appointment.Location") {
    LogInfo(L"Skipping appointment with unknown message class: " + klass);
    return S_OK;
  }
  ULONG type = 0;
  ComRef<IUnknown> opened;
  HRESULT hr = folder->OpenEntry(entry_id.cb, reinterpret_cast<LPENTRYID>(entry_id.lpb),
                                 &IID_IMessage, MAPI_MODIFY, &type, opened.Put());
  if (FAILED(hr)) return hr;
  if (type != MAPI_MESSAGE) {
    LogSevere(L"Skipping entry with wrong type in Calendar folder: " + DecimalText(type));
    return S_OK;
  }
  ComRef<IMessage> message;
  hr = opened->QueryInterface(IID_IMessage, message.PutVoid());
  if (FAILED(hr)) return hr;
  hr = ReadUid(message.get(), event.get());
  if (FAILED(hr)) return hr;
  if (updated_min != nullptr && !(*event->updated() > *updated_min)) {
    LogInfo(L"skipping appointment " + event->id());
    return S_OK;
  }
  LogVerbose(L"added appointment " + event->id());
  const std::wstring id = event->id();
  events_[id] = std::move(event);
  return S_OK;
}

// The item's UID from its global object id; an item without one gets a new UID, written
// into the item, so that every later run reads the same.
HRESULT Outlook::ReadUid(IMessage* message, Event* event) {
  LPSPropValue value = nullptr;
  HRESULT hr = GetNamedProperty(message, PSETID_Meeting, GLOBAL_OBJID, &value);
  // Only an item known to have no id gets a new one: an id that could not be read this
  // time (a busy store, a lost connection) would otherwise be replaced, and the event
  // would lose its identity on the other side.
  if (value != nullptr && PROP_TYPE(value->ulPropTag) == PT_ERROR &&
      value->Value.err != MAPI_E_NOT_FOUND) {
    hr = FAILED(value->Value.err) ? value->Value.err : E_FAIL;
  }
  std::wstring uid;
  if (hr == S_OK && value != nullptr && PROP_TYPE(value->ulPropTag) == PT_BINARY) {
    uid =
        UidFromGlobalObjectId(std::span<const uint8_t>(value->Value.bin.lpb, value->Value.bin.cb));
  }
  MAPIFreeBuffer(value);
  if (FAILED(hr)) {
    LogSevere(L"Unable to read GLOBAL_OBJID: " + DescribeHResult(hr));
    return hr;
  }
  if (!uid.empty()) {
    event->set_ical_uid(uid);
    return S_OK;
  }
  uid = GenerateUid();
  if (uid.empty()) return E_FAIL;
  event->set_ical_uid(uid);
  LogVerbose(L"Putting generated UID into GLOBAL_OBJID: " + uid);
  LPSPropValue encoded = nullptr;
  HRESULT written = GlobalObjectIdFromUid(uid, &encoded);
  if (SUCCEEDED(written)) {
    written = SetNamedProperty(message, PSETID_Meeting, GLOBAL_OBJID, *encoded, PT_BINARY);
  }
  MAPIFreeBuffer(encoded);
  return written;
}

int Outlook::Delete(const std::wstring& id, std::wstring*) {
  ComRef<IDispatch> item;
  HRESULT hr = GetItemFromId(id, item);
  if (FAILED(hr)) return hr;
  hr = CallMethodNoArgs(item.get(), L"Delete");
  return FAILED(hr) ? hr : 0;
}

std::unique_ptr<DateTime> Outlook::GetUpdatedTime(const Event* event) const {
  return event != nullptr && event->updated() != nullptr
             ? std::make_unique<DateTime>(*event->updated())
             : nullptr;
}

}  // namespace calendar_mirrow_addin
