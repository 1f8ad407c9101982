#include "sim/outlook/recipients.h"

#include <algorithm>
#include <atomic>
#include <span>

#include "sim/outlook/address_book.h"
#include "sim/outlook/dispatch_object.h"
#include "sim/outlook/mapi_view.h"
#include "sim/outlook/object_model.h"
#include "sim/outlook/table_base.h"

namespace calendar_mirrow_addin::sim {

namespace {

const PropData* ValueOf(const PropMap& row, ULONG tag) {
  auto it = row.lower_bound(PROP_TAG(0, PROP_ID(tag)));
  return it != row.end() && PROP_ID(it->first) == PROP_ID(tag) ? &it->second : nullptr;
}

int64_t RowIdOf(const PropMap& row) {
  const auto* id = ValueOf(row, PR_ROWID);
  const auto* number = id != nullptr ? std::get_if<int64_t>(id) : nullptr;
  return number != nullptr ? *number : -1;
}

// Replaces the value under the property id of `tag`.
void Put(PropMap& row, ULONG tag, PropData data) {
  auto it = row.lower_bound(PROP_TAG(0, PROP_ID(tag)));
  while (it != row.end() && PROP_ID(it->first) == PROP_ID(tag)) it = row.erase(it);
  row[tag] = std::move(data);
}

std::wstring TextOf(const PropMap& row, ULONG tag) {
  const auto* value = ValueOf(row, tag);
  const auto* text = value != nullptr ? std::get_if<std::wstring>(value) : nullptr;
  return text != nullptr ? *text : std::wstring();
}

int64_t NumberOf(const PropMap& row, ULONG tag, int64_t fallback) {
  const auto* value = ValueOf(row, tag);
  const auto* number = value != nullptr ? std::get_if<int64_t>(value) : nullptr;
  return number != nullptr ? *number : fallback;
}

class RecipientTable final : public TableBase {
 public:
  explicit RecipientTable(std::vector<PropMap> rows)
      : TableBase({PR_ROWID, PR_DISPLAY_NAME_W, PR_EMAIL_ADDRESS_W, PR_ADDRTYPE_W,
                   PR_SMTP_ADDRESS_W, PR_RECIPIENT_TYPE, PR_RECIPIENT_FLAGS,
                   kPrRecipientTrackStatus, PR_ENTRYID}),
        rows_(std::move(rows)) {}

  HRESULT QueryRows(LONG row_count, ULONG flags, LPSRowSet* rows) override {
    if (rows == nullptr) return MAPI_E_INVALID_PARAMETER;
    *rows = nullptr;
    if (row_count <= 0) return MAPI_E_INVALID_PARAMETER;
    const size_t count =
        std::min(static_cast<size_t>(row_count), rows_.size() - std::min(position_, rows_.size()));
    LPVOID buffer = nullptr;
    SCODE code = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSRowSet(count)), &buffer);
    if (code != S_OK) return code;
    auto* set = static_cast<LPSRowSet>(buffer);
    set->cRows = 0;
    for (size_t r = 0; r < count && code == S_OK; ++r) {
      const PropMap& source = rows_[position_ + r];
      SRow& row = set->aRow[set->cRows];
      LPVOID values = nullptr;
      code = MAPIAllocateBuffer(static_cast<ULONG>(columns_.size() * sizeof(SPropValue)), &values);
      if (code != S_OK) break;
      row.lpProps = static_cast<LPSPropValue>(values);
      row.cValues = static_cast<ULONG>(columns_.size());
      ++set->cRows;
      for (size_t c = 0; c < columns_.size(); ++c) {
        const ULONG tag = columns_[c];
        auto it = source.lower_bound(PROP_TAG(0, PROP_ID(tag)));
        const bool found =
            it != source.end() && PROP_ID(it->first) == PROP_ID(tag) &&
            (PROP_TYPE(tag) == PT_UNSPECIFIED || PROP_TYPE(tag) == PROP_TYPE(it->first));
        if (!found) {
          ErrorSPropValue(tag, MAPI_E_NOT_FOUND, &row.lpProps[c]);
        } else if (!ToSPropValue(PROP_TYPE(tag) == PT_UNSPECIFIED ? it->first : tag, it->second,
                                 row.lpProps, &row.lpProps[c])) {
          code = MAPI_E_NOT_ENOUGH_MEMORY;
          break;
        }
      }
    }
    if (code != S_OK) {
      FreeProws(set);
      return code;
    }
    if ((flags & TBL_NOADVANCE) == 0) position_ += count;
    *rows = set;
    return S_OK;
  }

 private:
  size_t row_count() const override { return rows_.size(); }

  std::vector<PropMap> rows_;
};

// ---- object model ----

// A snapshot of a recipient's address, as Recipient.AddressEntry gives it.
class AddressEntryObject final : public DispatchObject {
 public:
  AddressEntryObject(std::wstring name, std::wstring address, std::wstring type)
      : name_(std::move(name)), address_(std::move(address)), type_(std::move(type)) {}

 protected:
  std::span<const Member> members() const override {
    static const Member kMembers[] = {
        {L"Name", Kind::kGet}, {L"Address", Kind::kGet}, {L"Type", Kind::kGet}};
    return kMembers;
  }
  HRESULT Dispatch(size_t index, bool, const Call&, VARIANT* result) override {
    return SetText(result, index == 0 ? name_ : index == 1 ? address_ : type_);
  }

 private:
  std::wstring name_, address_, type_;
};

// One row of the message's recipients, found by its row id on every call.
class RecipientObject final : public DispatchObject {
 public:
  RecipientObject(std::shared_ptr<Store> store, Message* message, int64_t row_id)
      : store_(std::move(store)), message_(message), row_id_(row_id) {
    message_->AddRef();
  }
  ~RecipientObject() override { message_->Release(); }

 protected:
  enum Index { kName, kAddress, kType, kResolve, kResolved, kResponse, kAddressEntry };
  std::span<const Member> members() const override {
    static const Member kMembers[] = {
        {L"Name", Kind::kGet},        {L"Address", Kind::kGet},
        {L"Type", Kind::kGetPut},     {L"Resolve", Kind::kMethod},
        {L"Resolved", Kind::kGet},    {L"MeetingResponseStatus", Kind::kGetPut},
        {L"AddressEntry", Kind::kGet}};
    return kMembers;
  }
  HRESULT Dispatch(size_t index, bool put, const Call& call, VARIANT* result) override {
    if (message_->deleted()) return call.Raise(kTextDeleted, MAPI_E_OBJECT_DELETED);
    std::vector<PropMap> rows = message_->Recipients();
    auto row = std::find_if(rows.begin(), rows.end(),
                            [&](const PropMap& r) { return RowIdOf(r) == row_id_; });
    if (row == rows.end()) return call.Raise(kTextNotFound, MAPI_E_NOT_FOUND);
    if (put) {
      const auto value = call.Long(0);
      if (!value) return call.Mismatch(0);
      const LONG highest = index == kType ? 3 : 5;
      if (*value < 0 || *value > highest) return call.Raise(kTextBadValue, E_INVALIDARG);
      Put(*row, index == kType ? PR_RECIPIENT_TYPE : kPrRecipientTrackStatus, int64_t{*value});
      return Keep(call, std::move(rows));
    }
    switch (index) {
      case kName:
        return SetText(result, TextOf(*row, PR_DISPLAY_NAME_W));
      case kAddress:
        return SetText(result, TextOf(*row, PR_EMAIL_ADDRESS_W));
      case kType:
        return SetLong(result, static_cast<LONG>(NumberOf(*row, PR_RECIPIENT_TYPE, 1)));
      case kResolved:
        return SetBool(result, ValueOf(*row, PR_ENTRYID) != nullptr);
      case kResponse:
        return SetLong(result, static_cast<LONG>(NumberOf(*row, kPrRecipientTrackStatus, 0)));
      case kAddressEntry: {
        // Unresolved, the typed text stands for the address, of no known type.
        const bool resolved = ValueOf(*row, PR_ENTRYID) != nullptr;
        const std::wstring name = TextOf(*row, PR_DISPLAY_NAME_W);
        return SetObject(
            result, new AddressEntryObject(name, resolved ? TextOf(*row, PR_EMAIL_ADDRESS_W) : name,
                                           TextOf(*row, PR_ADDRTYPE_W)));
      }
      case kResolve: {
        if (ValueOf(*row, PR_ENTRYID) != nullptr) return SetBool(result, true);
        const Resolution found = ResolveAddress(*store_, TextOf(*row, PR_DISPLAY_NAME_W));
        if (found.code != S_OK) return SetBool(result, false);
        for (const auto& [tag, data] : found.values) Put(*row, tag, data);
        if (ValueOf(*row, PR_RECIPIENT_FLAGS) == nullptr) {
          Put(*row, PR_RECIPIENT_FLAGS, int64_t{kRecipientSendable});
        }
        const HRESULT hr = Keep(call, std::move(rows));
        return hr == S_OK ? SetBool(result, true) : hr;
      }
    }
    return DISP_E_MEMBERNOTFOUND;
  }

 private:
  HRESULT Keep(const Call& call, std::vector<PropMap> rows) {
    const HRESULT hr = message_->SetRecipients(std::move(rows));
    if (hr == S_OK) return S_OK;
    return call.Raise(hr == MAPI_E_NO_ACCESS ? kTextNoAccess : kTextFailed, hr);
  }

  std::shared_ptr<Store> store_;
  Message* message_;
  int64_t row_id_;
};

class RecipientsObject final : public DispatchObject {
 public:
  RecipientsObject(std::shared_ptr<Store> store, Message* message)
      : store_(std::move(store)), message_(message) {
    message_->AddRef();
  }
  ~RecipientsObject() override { message_->Release(); }

 protected:
  enum Index { kCount, kItem, kAdd, kRemove };
  std::span<const Member> members() const override {
    static const Member kMembers[] = {{L"Count", Kind::kGet},
                                      {L"Item", Kind::kMethod, 1, 1},
                                      {L"Add", Kind::kMethod, 1, 1},
                                      {L"Remove", Kind::kMethod, 1, 1}};
    return kMembers;
  }
  HRESULT Dispatch(size_t index, bool, const Call& call, VARIANT* result) override {
    if (message_->deleted()) return call.Raise(kTextDeleted, MAPI_E_OBJECT_DELETED);
    std::vector<PropMap> rows = message_->Recipients();
    if (index == kCount) return SetLong(result, static_cast<LONG>(rows.size()));
    if (index == kAdd) {
      const auto text = call.Text(0);
      if (!text) return call.Mismatch(0);
      if (text->empty()) return call.Raise(kTextBadValue, E_INVALIDARG);
      int64_t next = 1;
      for (const PropMap& row : rows) next = std::max(next, RowIdOf(row) + 1);
      PropMap& row = rows.emplace_back();
      row[PR_ROWID] = next;
      row[PR_DISPLAY_NAME_W] = *text;
      row[PR_RECIPIENT_TYPE] = int64_t{kRecipientRequired};
      const HRESULT hr = message_->SetRecipients(std::move(rows));
      if (hr != S_OK) return call.Raise(hr == MAPI_E_NO_ACCESS ? kTextNoAccess : kTextFailed, hr);
      return SetObject(result, new RecipientObject(store_, message_, next));
    }
    const auto position = call.Long(0);
    if (!position) return call.Mismatch(0);
    if (*position < 1 || static_cast<size_t>(*position) > rows.size()) {
      return call.Raise(L"Array index out of bounds.", DISP_E_BADINDEX);
    }
    const size_t at = static_cast<size_t>(*position - 1);
    if (index == kItem) {
      return SetObject(result, new RecipientObject(store_, message_, RowIdOf(rows[at])));
    }
    rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(at));
    const HRESULT hr = message_->SetRecipients(std::move(rows));
    if (hr != S_OK) return call.Raise(hr == MAPI_E_NO_ACCESS ? kTextNoAccess : kTextFailed, hr);
    return S_OK;
  }

 private:
  std::shared_ptr<Store> store_;
  Message* message_;
};

}  // namespace

IMAPITable* NewRecipientTable(std::vector<PropMap> rows) {
  return new RecipientTable(std::move(rows));
}

HRESULT ModifyRecipientRows(ULONG flags, const ADRLIST* changes, std::vector<PropMap>* rows) {
  if (changes == nullptr) return MAPI_E_INVALID_PARAMETER;
  std::vector<PropMap> updated = flags == 0 ? std::vector<PropMap>() : *rows;
  int64_t next = 1;
  for (const PropMap& row : *rows) next = std::max(next, RowIdOf(row) + 1);
  for (ULONG e = 0; e < changes->cEntries; ++e) {
    const ADRENTRY& entry = changes->aEntries[e];
    if (entry.cValues > kTagsMax || (entry.cValues > 0 && entry.rgPropVals == nullptr)) {
      return MAPI_E_INVALID_PARAMETER;
    }
    PropMap values;
    for (ULONG v = 0; v < entry.cValues; ++v) {
      const SPropValue& value = entry.rgPropVals[v];
      if (PROP_TYPE(value.ulPropTag) == PT_ERROR) continue;  // what a row read did not find
      if (auto data = FromSPropValue(value)) Put(values, value.ulPropTag, std::move(*data));
    }
    if ((flags & (MODRECIP_MODIFY | MODRECIP_REMOVE)) != 0) {
      const int64_t id = RowIdOf(values);
      auto row = std::find_if(updated.begin(), updated.end(),
                              [&](const PropMap& r) { return RowIdOf(r) == id; });
      if (id < 0 || row == updated.end()) return MAPI_E_NOT_FOUND;
      if ((flags & MODRECIP_REMOVE) != 0) {
        updated.erase(row);
      } else {
        for (auto& [tag, data] : values) Put(*row, tag, std::move(data));
      }
      continue;
    }
    // Added rows take the next row id, whatever the entry says.
    Put(values, PR_ROWID, next++);
    updated.push_back(std::move(values));
  }
  *rows = std::move(updated);
  return S_OK;
}

IDispatch* NewRecipients(std::shared_ptr<Store> store, Message* message) {
  return new RecipientsObject(std::move(store), message);
}

}  // namespace calendar_mirrow_addin::sim
