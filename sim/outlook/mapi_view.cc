#include "sim/outlook/mapi_view.h"

#include "sim/outlook/address_book.h"
#include "sim/outlook/com_object.h"
#include "sim/outlook/recipients.h"
#include "sim/outlook/series.h"
#include "sim/outlook/table_base.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace calendar_mirrow_addin::sim {

namespace {

constexpr ULONG kPrContainerClassW = PROP_TAG(PT_UNICODE, 0x3613);
constexpr ULONG kTablesRowsMax = 0x7FFFFFFF;

bool IsComputed(ULONG tag) {
  return PROP_ID(tag) == PROP_ID(PR_ENTRYID) || PROP_ID(tag) == PROP_ID(PR_LAST_MODIFICATION_TIME);
}

PropData FileTimeData(FileTime time) { return PropData{static_cast<int64_t>(time)}; }

// The value for `tag` of a stored item (null for a new one) under the pending changes.
std::optional<std::pair<ULONG, PropData>> Lookup(const StoredItem* item, const PropMap* changes,
                                                 const std::set<ULONG>* removed, ULONG tag) {
  const ULONG id = PROP_ID(tag);
  if (id == PROP_ID(PR_ENTRYID)) {
    if (item == nullptr) return std::nullopt;
    return std::make_pair(PR_ENTRYID, PropData{item->entry_id});
  }
  if (id == PROP_ID(PR_LAST_MODIFICATION_TIME)) {
    if (item == nullptr) return std::nullopt;
    return std::make_pair(PR_LAST_MODIFICATION_TIME, FileTimeData(item->last_modified));
  }
  if (removed != nullptr && removed->count(id) != 0) return std::nullopt;
  if (changes != nullptr) {
    auto it = changes->lower_bound(PROP_TAG(0, id));
    if (it != changes->end() && PROP_ID(it->first) == id) return *it;
  }
  if (item == nullptr) return std::nullopt;
  const auto* found = item->Find(tag);
  if (found == nullptr) return std::nullopt;
  return *found;
}

// Fills one requested value: the value itself, or PT_ERROR when it is absent, of another
// type, or made unreadable by a test. MAPI_W_ERRORS_RETURNED for an error value.
HRESULT FillValue(Store& store, const StoredItem* item, const PropMap* changes,
                  const std::set<ULONG>* removed, ULONG tag, LPVOID parent, SPropValue* out) {
  if (item != nullptr) {
    if (auto code = store.faults().Unreadable(item->entry_id, tag)) {
      ErrorSPropValue(tag, *code, out);
      return MAPI_W_ERRORS_RETURNED;
    }
  }
  auto found = Lookup(item, changes, removed, tag);
  if (const auto end_type = item != nullptr && found
                                ? store.faults().RecurrenceEndType(item->entry_id)
                                : std::nullopt;
      end_type && PROP_ID(found->first) == PROP_ID(store.NamedTag(kApptRecur))) {
    const auto* blob = std::get_if<Bytes>(&found->second);
    if (auto patched = blob ? WithEndType(*blob, *end_type) : std::nullopt) {
      found->second = std::move(*patched);
    }
  }
  const ULONG wanted = PROP_TYPE(tag);
  if (found && wanted != PT_UNSPECIFIED && wanted != PROP_TYPE(found->first)) {
    const bool both_text = (wanted == PT_UNICODE || wanted == PT_STRING8) &&
                           std::holds_alternative<std::wstring>(found->second);
    if (!both_text) found.reset();
  }
  if (!found) {
    ErrorSPropValue(tag, MAPI_E_NOT_FOUND, out);
    return MAPI_W_ERRORS_RETURNED;
  }
  const ULONG out_tag = wanted == PT_UNSPECIFIED ? found->first : tag;
  return ToSPropValue(out_tag, found->second, parent, out) ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
}

template <typename T>
HRESULT AllocateArray(size_t count, T** out) {
  *out = nullptr;
  LPVOID buffer = nullptr;
  const size_t size = (count == 0 ? 1 : count) * sizeof(T);
  if (size > 0xFFFFFFFFu) return MAPI_E_NOT_ENOUGH_MEMORY;
  const SCODE code = MAPIAllocateBuffer(static_cast<ULONG>(size), &buffer);
  if (code != S_OK) return code;
  *out = static_cast<T*>(buffer);
  return S_OK;
}

// Reads `tags` (all of them when null) into a new value array.
HRESULT ReadProps(Store& store, const StoredItem* item, const PropMap* changes,
                  const std::set<ULONG>* removed, LPSPropTagArray tags, ULONG* count,
                  LPSPropValue* values) {
  if (count == nullptr || values == nullptr) return MAPI_E_INVALID_PARAMETER;
  *count = 0;
  *values = nullptr;
  if (tags != nullptr && tags->cValues > kTagsMax) return MAPI_E_INVALID_PARAMETER;
  std::vector<ULONG> wanted;
  if (tags != nullptr) {
    wanted.assign(tags->aulPropTag, tags->aulPropTag + tags->cValues);
  } else {
    std::set<ULONG> ids;
    auto add = [&](ULONG tag) {
      if (ids.insert(PROP_ID(tag)).second && Lookup(item, changes, removed, tag)) {
        wanted.push_back(CHANGE_PROP_TYPE(tag, PT_UNSPECIFIED));
      }
    };
    add(PR_ENTRYID);
    add(PR_LAST_MODIFICATION_TIME);
    if (changes != nullptr) {
      for (const auto& entry : *changes) add(entry.first);
    }
    if (item != nullptr) {
      for (const auto& entry : item->props) add(entry.first);
    }
  }
  LPSPropValue out = nullptr;
  HRESULT result = AllocateArray(wanted.size(), &out);
  if (result != S_OK) return result;
  for (size_t i = 0; i < wanted.size(); ++i) {
    const HRESULT one = FillValue(store, item, changes, removed, wanted[i], out, &out[i]);
    if (FAILED(one)) {
      MAPIFreeBuffer(out);
      return one;
    }
    if (one != S_OK) result = one;
  }
  *count = static_cast<ULONG>(wanted.size());
  *values = out;
  return result;
}

HRESULT EntryFromList(ULONG size, LPENTRYID entry_id, Bytes* out) {
  if (size > 0 && entry_id == nullptr) return MAPI_E_INVALID_PARAMETER;
  const auto* bytes = reinterpret_cast<const uint8_t*>(entry_id);
  out->assign(bytes, bytes + size);
  return S_OK;
}

// A problem array for the values SetProps could not take; none when all went in.
HRESULT ReportProblems(const std::vector<SPropProblem>& found, LPSPropProblemArray* problems) {
  if (problems == nullptr) return S_OK;
  *problems = nullptr;
  if (found.empty()) return S_OK;
  LPVOID buffer = nullptr;
  const size_t size = offsetof(SPropProblemArray, aProblem) + found.size() * sizeof(SPropProblem);
  const SCODE code = MAPIAllocateBuffer(static_cast<ULONG>(size), &buffer);
  if (code != S_OK) return code;
  auto* array = static_cast<SPropProblemArray*>(buffer);
  array->cProblem = static_cast<ULONG>(found.size());
  std::memcpy(array->aProblem, found.data(), found.size() * sizeof(SPropProblem));
  *problems = array;
  return S_OK;
}

HRESULT OpenItem(const std::shared_ptr<Store>& store, ULONG size, LPENTRYID entry_id, LPCIID iid,
                 ULONG flags, ULONG* object_type, LPUNKNOWN* object);

class ContentsTable;

class CalendarFolder final : public PropObject<IMAPIFolder> {
 public:
  explicit CalendarFolder(std::shared_ptr<Store> store) : PropObject(std::move(store)) {}

  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IMAPIProp) ||
        IsEqualIID(iid, IID_IMAPIContainer) || IsEqualIID(iid, IID_IMAPIFolder)) {
      *object = static_cast<IMAPIFolder*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  HRESULT SaveChanges(ULONG) override { return S_OK; }
  HRESULT GetProps(LPSPropTagArray tags, ULONG, ULONG* count, LPSPropValue* values) override {
    StoredItem self;
    self.entry_id = store_->folder_entry_id();
    self.props[kPrDisplayNameW] = std::wstring(L"Calendar");
    self.props[kPrContainerClassW] = std::wstring(L"IPF.Appointment");
    return ReadProps(*store_, &self, nullptr, nullptr, tags, count, values);
  }
  HRESULT SetProps(ULONG, LPSPropValue, LPSPropProblemArray*) override { return MAPI_E_NO_ACCESS; }
  HRESULT DeleteProps(LPSPropTagArray, LPSPropProblemArray*) override { return MAPI_E_NO_ACCESS; }

  HRESULT GetContentsTable(ULONG flags, LPMAPITABLE* table) override;
  HRESULT GetHierarchyTable(ULONG, LPMAPITABLE*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT OpenEntry(ULONG size, LPENTRYID entry_id, LPCIID iid, ULONG flags, ULONG* object_type,
                    LPUNKNOWN* object) override {
    if (size == 0) {  // the folder itself
      if (object == nullptr || object_type == nullptr) return MAPI_E_INVALID_PARAMETER;
      AddRef();
      *object = static_cast<IMAPIFolder*>(this);
      *object_type = MAPI_FOLDER;
      return S_OK;
    }
    return OpenItem(store_, size, entry_id, iid, flags, object_type, object);
  }
  HRESULT SetSearchCriteria(LPSRestriction, LPENTRYLIST, ULONG) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT GetSearchCriteria(ULONG, LPSRestriction*, LPENTRYLIST*, ULONG*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT CreateMessage(LPCIID iid, ULONG, LPMESSAGE* message) override {
    if (message == nullptr) return MAPI_E_INVALID_PARAMETER;
    *message = nullptr;
    if (iid != nullptr && !IsEqualIID(*iid, IID_IMessage)) return MAPI_E_INTERFACE_NOT_SUPPORTED;
    *message = Message::Open(store_, 0, true);
    return S_OK;
  }
  HRESULT CopyMessages(LPENTRYLIST, LPCIID, LPVOID, ULONG_PTR, LPMAPIPROGRESS, ULONG) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT DeleteMessages(LPENTRYLIST messages, ULONG_PTR, LPMAPIPROGRESS, ULONG) override {
    if (messages == nullptr || (messages->cValues > 0 && messages->lpbin == nullptr)) {
      return MAPI_E_INVALID_PARAMETER;
    }
    HRESULT result = S_OK;
    for (ULONG i = 0; i < messages->cValues; ++i) {
      Bytes entry_id;
      const SBinary& one = messages->lpbin[i];
      if (EntryFromList(one.cb, reinterpret_cast<LPENTRYID>(one.lpb), &entry_id) != S_OK ||
          store_->faults().IsReadOnly(entry_id) || store_->Delete(entry_id) != S_OK) {
        result = MAPI_W_PARTIAL_COMPLETION;
      }
    }
    return result;
  }
  HRESULT CreateFolder(ULONG, LPTSTR, LPTSTR, LPCIID, ULONG, LPMAPIFOLDER*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT CopyFolder(ULONG, LPENTRYID, LPCIID, LPVOID, LPTSTR, ULONG_PTR, LPMAPIPROGRESS,
                     ULONG) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT DeleteFolder(ULONG, LPENTRYID, ULONG_PTR, LPMAPIPROGRESS, ULONG) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT SetReadFlags(LPENTRYLIST, ULONG_PTR, LPMAPIPROGRESS, ULONG) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT GetMessageStatus(ULONG, LPENTRYID, ULONG, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SetMessageStatus(ULONG, LPENTRYID, ULONG, ULONG, ULONG*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT SaveContentsSort(LPSSortOrderSet, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT EmptyFolder(ULONG_PTR, LPMAPIPROGRESS, ULONG) override { return MAPI_E_NO_SUPPORT; }
};

// The folder's items in the order they were created, as they stood when the table was
// made; items deleted since are left out when their row comes.
class ContentsTable final : public TableBase {
 public:
  explicit ContentsTable(std::shared_ptr<Store> store)
      : TableBase({PR_ENTRYID, PR_LAST_MODIFICATION_TIME, PR_MESSAGE_CLASS_W}),
        store_(std::move(store)) {
    for (const auto& entry : store_->items()) numbers_.push_back(entry.first);
  }

  HRESULT QueryRows(LONG row_count, ULONG flags, LPSRowSet* rows) override {
    if (rows == nullptr) return MAPI_E_INVALID_PARAMETER;
    *rows = nullptr;
    if (row_count <= 0) return MAPI_E_INVALID_PARAMETER;
    ULONG allowed = 0;
    const HRESULT fault = store_->faults().TakeRows(static_cast<ULONG>(row_count), &allowed);
    if (fault != S_OK) return fault;
    std::vector<const StoredItem*> picked;
    size_t position = position_;
    while (picked.size() < allowed && position < numbers_.size()) {
      auto it = store_->items().find(numbers_[position++]);
      if (it != store_->items().end()) picked.push_back(&it->second);
    }
    LPVOID buffer = nullptr;
    SCODE code = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSRowSet(picked.size())), &buffer);
    if (code != S_OK) return code;
    auto* set = static_cast<LPSRowSet>(buffer);
    set->cRows = 0;
    for (const StoredItem* item : picked) {
      SRow& row = set->aRow[set->cRows];
      row.lpProps = nullptr;
      code = AllocateArray(columns_.size(), &row.lpProps);
      if (code != S_OK) break;
      ++set->cRows;
      row.cValues = static_cast<ULONG>(columns_.size());
      for (size_t c = 0; c < columns_.size() && code == S_OK; ++c) {
        if (FAILED(FillValue(*store_, item, nullptr, nullptr, columns_[c], row.lpProps,
                             &row.lpProps[c]))) {
          code = MAPI_E_NOT_ENOUGH_MEMORY;
        }
      }
      if (code != S_OK) break;
    }
    if (code != S_OK) {
      FreeProws(set);
      return code;
    }
    if ((flags & TBL_NOADVANCE) == 0) position_ = position;
    *rows = set;
    return S_OK;
  }

 private:
  size_t row_count() const override { return numbers_.size(); }

  std::shared_ptr<Store> store_;
  std::vector<int64_t> numbers_;
};

HRESULT CalendarFolder::GetContentsTable(ULONG, LPMAPITABLE* table) {
  if (table == nullptr) return MAPI_E_INVALID_PARAMETER;
  *table = nullptr;
  const HRESULT fault = store_->faults().Take(FaultPoint::kContentsTable);
  if (fault != S_OK) return fault;
  *table = new ContentsTable(store_);
  return S_OK;
}

HRESULT OpenItem(const std::shared_ptr<Store>& store, ULONG size, LPENTRYID entry_id, LPCIID iid,
                 ULONG flags, ULONG* object_type, LPUNKNOWN* object) {
  if (object == nullptr || object_type == nullptr) return MAPI_E_INVALID_PARAMETER;
  *object = nullptr;
  Bytes id;
  if (EntryFromList(size, entry_id, &id) != S_OK) return MAPI_E_INVALID_PARAMETER;
  const HRESULT fault = store->faults().Take(FaultPoint::kOpenEntry);
  if (fault != S_OK) return fault;
  if (id == store->folder_entry_id()) {
    IMAPIFolder* folder = NewCalendarFolder(store);
    const HRESULT result = folder->QueryInterface(iid != nullptr ? *iid : IID_IMAPIFolder,
                                                  reinterpret_cast<void**>(object));
    folder->Release();
    if (result == S_OK) *object_type = MAPI_FOLDER;
    return result;
  }
  if (!store->IsOwnEntryId(id)) return MAPI_E_INVALID_ENTRYID;
  const StoredItem* item = store->Find(id);
  if (item == nullptr) return MAPI_E_NOT_FOUND;
  Message* message =
      Message::Open(store, item->number, (flags & (MAPI_MODIFY | MAPI_BEST_ACCESS)) != 0);
  const HRESULT result = message->QueryInterface(iid != nullptr ? *iid : IID_IMessage,
                                                 reinterpret_cast<void**>(object));
  message->Release();
  if (result == S_OK) *object_type = MAPI_MESSAGE;
  return result;
}

class Session final : public ComObject<IMAPISession> {
 public:
  explicit Session(std::shared_ptr<Store> store)
      : ComObject(IID_IMAPISession), store_(std::move(store)) {}

  HRESULT OpenEntry(ULONG size, LPENTRYID entry_id, LPCIID iid, ULONG flags, ULONG* object_type,
                    LPUNKNOWN* object) override {
    return OpenItem(store_, size, entry_id, iid, flags, object_type, object);
  }
  HRESULT Logoff(ULONG_PTR, ULONG, ULONG) override { return S_OK; }
  HRESULT OpenAddressBook(ULONG_PTR, LPCIID iid, ULONG, LPADRBOOK* book) override {
    if (book == nullptr) return MAPI_E_INVALID_PARAMETER;
    *book = nullptr;
    if (iid != nullptr && !IsEqualIID(*iid, IID_IAddrBook)) return MAPI_E_INTERFACE_NOT_SUPPORTED;
    *book = NewAddressBook(store_);
    return S_OK;
  }
  HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT GetMsgStoresTable(ULONG, LPMAPITABLE*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT OpenMsgStore(ULONG_PTR, ULONG, LPENTRYID, LPCIID, ULONG, LPMDB*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT OpenProfileSection(LPMAPIUID, LPCIID, ULONG, LPPROFSECT*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT GetStatusTable(ULONG, LPMAPITABLE*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT CompareEntryIDs(ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG, ULONG*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT Unadvise(ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT MessageOptions(ULONG_PTR, ULONG, LPTSTR, LPMESSAGE) override { return MAPI_E_NO_SUPPORT; }
  HRESULT QueryDefaultMessageOpt(LPTSTR, ULONG, ULONG*, LPSPropValue*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT EnumAdrTypes(ULONG, ULONG*, LPTSTR**) override { return MAPI_E_NO_SUPPORT; }
  HRESULT QueryIdentity(ULONG*, LPENTRYID*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SetDefaultStore(ULONG, ULONG, LPENTRYID) override { return MAPI_E_NO_SUPPORT; }
  HRESULT AdminServices(ULONG, LPSERVICEADMIN*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT ShowForm(ULONG_PTR, LPMDB, LPMAPIFOLDER, LPCIID, ULONG, LPMESSAGE, ULONG, ULONG, ULONG,
                   ULONG, LPSTR) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT PrepareForm(LPCIID, LPMESSAGE, ULONG*) override { return MAPI_E_NO_SUPPORT; }

 private:
  std::shared_ptr<Store> store_;
};

}  // namespace

template <typename Interface>
HRESULT PropObject<Interface>::GetIDsFromNames(ULONG count, LPMAPINAMEID* names, ULONG flags,
                                               LPSPropTagArray* tags) {
  if (tags == nullptr) return MAPI_E_INVALID_PARAMETER;
  *tags = nullptr;
  if (names == nullptr || count == 0 || count > kTagsMax) return MAPI_E_INVALID_PARAMETER;
  LPVOID buffer = nullptr;
  const SCODE code = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(count)), &buffer);
  if (code != S_OK) return code;
  auto* array = static_cast<LPSPropTagArray>(buffer);
  array->cValues = count;
  HRESULT result = S_OK;
  for (ULONG i = 0; i < count; ++i) {
    const MAPINAMEID* name = names[i];
    ULONG prop_id = 0;
    HRESULT one = MAPI_E_NOT_FOUND;
    if (name != nullptr && name->lpguid != nullptr &&
        (name->ulKind == MNID_ID || (name->ulKind == MNID_STRING && name->Kind.lpwstrName))) {
      one = store_->NamedId(*name->lpguid, name->ulKind, name->Kind.lID,
                            name->ulKind == MNID_STRING ? name->Kind.lpwstrName : L"",
                            (flags & MAPI_CREATE) != 0, &prop_id);
    }
    if (one == S_OK) {
      array->aulPropTag[i] = PROP_TAG(PT_UNSPECIFIED, prop_id);
    } else {
      array->aulPropTag[i] = PROP_TAG(PT_ERROR, PROP_ID_NULL);
      result = MAPI_W_ERRORS_RETURNED;
    }
  }
  *tags = array;
  return result;
}

template class PropObject<IMessage>;
template class PropObject<IMAPIFolder>;
template class PropObject<IAddrBook>;

// ---- messages ----

Message* Message::Open(std::shared_ptr<Store> store, int64_t number, bool writable) {
  return new Message(std::move(store), number, writable);
}

void Message::BecomeOccurrence(Message* series, OccurrenceSave save) {
  series->AddRef();
  if (series_ != nullptr) series_->Release();
  series_ = series;
  save_occurrence_ = std::move(save);
}

Message::~Message() {
  if (series_ != nullptr) series_->Release();
}

bool Message::deleted() const {
  if (series_ != nullptr) return gone_ || series_->deleted();
  return number_ != 0 && store_->items().count(number_) == 0;
}

HRESULT Message::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IMAPIProp) ||
      IsEqualIID(iid, IID_IMessage)) {
    *object = static_cast<IMessage*>(this);
    AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}

Bytes Message::entry_id() const {
  auto it = store_->items().find(number_);
  return it == store_->items().end() ? Bytes() : it->second.entry_id;
}

FileTime Message::last_modified() const {
  auto it = store_->items().find(number_);
  return it == store_->items().end() ? 0 : it->second.last_modified;
}

std::optional<std::pair<ULONG, PropData>> Message::Get(ULONG tag) const {
  auto it = store_->items().find(number_);
  return Lookup(it == store_->items().end() ? nullptr : &it->second, &changes_, &removed_, tag);
}

HRESULT Message::CheckWritable() const {
  if (!writable_) return MAPI_E_NO_ACCESS;
  if (series_ != nullptr) return series_->CheckWritable();
  if (number_ != 0 && store_->faults().IsReadOnly(entry_id())) return MAPI_E_NO_ACCESS;
  if (deleted()) return MAPI_E_OBJECT_DELETED;
  return S_OK;
}

HRESULT Message::Set(ULONG tag, PropData data) {
  const HRESULT writable = CheckWritable();
  if (writable != S_OK) return writable;
  if (IsComputed(tag)) return kMapiErrorComputed;
  if (!IsStorableType(PROP_TYPE(tag)) || PROP_TYPE(tag) == PT_ERROR) {
    return MAPI_E_INVALID_PARAMETER;
  }
  auto it = changes_.lower_bound(PROP_TAG(0, PROP_ID(tag)));
  while (it != changes_.end() && PROP_ID(it->first) == PROP_ID(tag)) it = changes_.erase(it);
  removed_.erase(PROP_ID(tag));
  changes_[tag] = std::move(data);
  return S_OK;
}

HRESULT Message::Remove(ULONG tag) {
  const HRESULT writable = CheckWritable();
  if (writable != S_OK) return writable;
  if (IsComputed(tag)) return kMapiErrorComputed;
  auto it = changes_.lower_bound(PROP_TAG(0, PROP_ID(tag)));
  while (it != changes_.end() && PROP_ID(it->first) == PROP_ID(tag)) it = changes_.erase(it);
  removed_.insert(PROP_ID(tag));
  return S_OK;
}

std::vector<PropMap> Message::Recipients() const {
  if (recipients_) return *recipients_;
  auto it = store_->items().find(number_);
  return it == store_->items().end() ? std::vector<PropMap>() : it->second.recipients;
}

HRESULT Message::SetRecipients(std::vector<PropMap> rows) {
  const HRESULT writable = CheckWritable();
  if (writable != S_OK) return writable;
  recipients_ = std::move(rows);
  return S_OK;
}

std::vector<ULONG> Message::Tags() const {
  std::vector<ULONG> tags;
  auto it = store_->items().find(number_);
  if (it != store_->items().end()) {
    for (const auto& entry : it->second.props) {
      const ULONG id = PROP_ID(entry.first);
      auto changed = changes_.lower_bound(PROP_TAG(0, id));
      const bool overridden = changed != changes_.end() && PROP_ID(changed->first) == id;
      if (removed_.count(id) == 0 && !overridden) tags.push_back(entry.first);
    }
  }
  for (const auto& entry : changes_) tags.push_back(entry.first);
  return tags;
}

HRESULT Message::Save() {
  const HRESULT writable = CheckWritable();
  if (writable != S_OK) return writable;
  // An occurrence keeps its values: they are what its series now holds for it.
  if (series_ != nullptr) return save_occurrence_(*series_, *this);
  const HRESULT fault = store_->faults().Take(FaultPoint::kSave);
  if (fault != S_OK) return fault;
  std::set<ULONG> removed_tags;
  for (ULONG id : removed_) removed_tags.insert(PROP_TAG(PT_UNSPECIFIED, id));
  const HRESULT result =
      store_->Save(&number_, changes_, removed_tags, recipients_ ? &*recipients_ : nullptr);
  if (result == S_OK) {
    changes_.clear();
    removed_.clear();
    recipients_.reset();
  }
  return result;
}

HRESULT Message::GetRecipientTable(ULONG, LPMAPITABLE* table) {
  if (table == nullptr) return MAPI_E_INVALID_PARAMETER;
  *table = nullptr;
  if (deleted()) return MAPI_E_OBJECT_DELETED;
  *table = NewRecipientTable(Recipients());
  return S_OK;
}

HRESULT Message::ModifyRecipients(ULONG flags, LPADRLIST changes) {
  const HRESULT writable = CheckWritable();
  if (writable != S_OK) return writable;
  std::vector<PropMap> rows = Recipients();
  const HRESULT result = ModifyRecipientRows(flags, changes, &rows);
  if (result == S_OK) recipients_ = std::move(rows);
  return result;
}

HRESULT Message::SubmitMessage(ULONG) {
  store_->CountRefusedSend();
  return MAPI_E_NO_SUPPORT;
}

HRESULT Message::SaveChanges(ULONG) { return Save(); }

HRESULT Message::GetProps(LPSPropTagArray tags, ULONG, ULONG* count, LPSPropValue* values) {
  auto it = store_->items().find(number_);
  if (deleted()) {
    if (count != nullptr) *count = 0;
    if (values != nullptr) *values = nullptr;
    return MAPI_E_OBJECT_DELETED;
  }
  return ReadProps(*store_, it == store_->items().end() ? nullptr : &it->second, &changes_,
                   &removed_, tags, count, values);
}

HRESULT Message::SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) {
  if (problems != nullptr) *problems = nullptr;
  if ((count > 0 && values == nullptr) || count > kTagsMax) return MAPI_E_INVALID_PARAMETER;
  const HRESULT writable = CheckWritable();
  if (writable != S_OK) return writable;
  std::vector<SPropProblem> found;
  for (ULONG i = 0; i < count; ++i) {
    const ULONG tag = values[i].ulPropTag;
    auto data = FromSPropValue(values[i]);
    HRESULT one = data ? Set(tag, std::move(*data)) : MAPI_E_INVALID_PARAMETER;
    if (one != S_OK) found.push_back({i, tag, one});
  }
  return ReportProblems(found, problems);
}

HRESULT Message::DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) {
  if (problems != nullptr) *problems = nullptr;
  if (tags == nullptr || tags->cValues > kTagsMax) return MAPI_E_INVALID_PARAMETER;
  const HRESULT writable = CheckWritable();
  if (writable != S_OK) return writable;
  std::vector<SPropProblem> found;
  for (ULONG i = 0; i < tags->cValues; ++i) {
    const HRESULT one = Remove(tags->aulPropTag[i]);
    if (one != S_OK) found.push_back({i, tags->aulPropTag[i], one});
  }
  return ReportProblems(found, problems);
}

IMAPIFolder* NewCalendarFolder(std::shared_ptr<Store> store) {
  return new CalendarFolder(std::move(store));
}

IMAPISession* NewSession(std::shared_ptr<Store> store) { return new Session(std::move(store)); }

}  // namespace calendar_mirrow_addin::sim
