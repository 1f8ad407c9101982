#include "sim/outlook/user_properties.h"

#include <span>
#include <string>
#include <utility>
#include <vector>

#include "sim/outlook/dispatch_object.h"
#include "sim/outlook/mapi_view.h"
#include "sim/outlook/object_model.h"

namespace calendar_mirrow_addin::sim {

namespace {

// The object model's property types and the MAPI types they are kept as.
struct TypeMap {
  LONG outlook;
  ULONG mapi;
};
constexpr TypeMap kTypes[] = {
    {1, PT_UNICODE}, {3, PT_DOUBLE}, {5, PT_SYSTIME}, {6, PT_BOOLEAN}, {20, PT_LONG}};

std::optional<ULONG> MapiTypeOf(LONG outlook) {
  for (const TypeMap& t : kTypes) {
    if (t.outlook == outlook) return t.mapi;
  }
  return std::nullopt;
}

LONG OutlookTypeOf(ULONG mapi) {
  for (const TypeMap& t : kTypes) {
    if (t.mapi == mapi) return t.outlook;
  }
  return 0;
}

HRESULT Refused(const Call& call, HRESULT hr) {
  return call.Raise(hr == MAPI_E_NO_ACCESS ? kTextNoAccess : kTextFailed, hr);
}

class UserPropertyObject final : public DispatchObject {
 public:
  UserPropertyObject(Message* message, std::wstring name, ULONG tag)
      : message_(message), name_(std::move(name)), tag_(tag) {
    message_->AddRef();
  }
  ~UserPropertyObject() override { message_->Release(); }

 protected:
  enum Index { kName, kType, kValue, kDelete };
  std::span<const Member> members() const override {
    static const Member kMembers[] = {{L"Name", Kind::kGet},
                                      {L"Type", Kind::kGet},
                                      {L"Value", Kind::kGetPut},
                                      {L"Delete", Kind::kMethod}};
    return kMembers;
  }
  HRESULT Dispatch(size_t index, bool put, const Call& call, VARIANT* result) override {
    if (message_->deleted()) return call.Raise(kTextDeleted, MAPI_E_OBJECT_DELETED);
    const auto stored = message_->Get(tag_);
    if (!stored || stored->first != tag_) return call.Raise(kTextNotFound, MAPI_E_NOT_FOUND);
    if (put) return Put(call);
    switch (index) {
      case kName:
        return SetText(result, name_);
      case kType:
        return SetLong(result, OutlookTypeOf(PROP_TYPE(tag_)));
      case kDelete: {
        const HRESULT hr = message_->Remove(tag_);
        return hr == S_OK ? S_OK : Refused(call, hr);
      }
      default:
        break;
    }
    const PropData& data = stored->second;
    switch (PROP_TYPE(tag_)) {
      case PT_UNICODE:
        return SetText(result, std::get<std::wstring>(data));
      case PT_DOUBLE:
        result->vt = VT_R8;
        result->dblVal = std::get<double>(data);
        return S_OK;
      case PT_SYSTIME: {
        const auto number = std::get<int64_t>(data);
        const auto date = number < 0 ? std::nullopt : LocalDate(static_cast<FileTime>(number));
        result->vt = VT_DATE;
        result->date = date.value_or(kNoneDate);
        return S_OK;
      }
      case PT_BOOLEAN:
        return SetBool(result, std::get<int64_t>(data) != 0);
      default:
        return SetLong(result, static_cast<LONG>(std::get<int64_t>(data)));
    }
  }

 private:
  HRESULT Put(const Call& call) {
    std::optional<PropData> value;
    switch (PROP_TYPE(tag_)) {
      case PT_UNICODE:
        if (auto text = call.Text(0)) value = *text;
        break;
      case PT_DOUBLE: {
        const VARIANT* v = call.arg(0);
        if (v != nullptr && v->vt == VT_R8) {
          value = v->dblVal;
        } else if (auto number = call.Long(0)) {
          value = static_cast<double>(*number);
        }
        break;
      }
      case PT_SYSTIME:
        if (auto date = call.Date(0)) {
          const auto utc = UtcFileTime(*date);
          if (!utc) return call.Raise(kTextBadValue, E_INVALIDARG);
          value = static_cast<int64_t>(*utc);
        }
        break;
      case PT_BOOLEAN:
        if (auto flag = call.Bool(0)) value = int64_t{*flag ? 1 : 0};
        break;
      default:
        if (auto number = call.Long(0)) value = int64_t{*number};
        break;
    }
    if (!value) return call.Mismatch(0);
    const HRESULT hr = message_->Set(tag_, std::move(*value));
    return hr == S_OK ? S_OK : Refused(call, hr);
  }

  Message* message_;
  std::wstring name_;
  ULONG tag_;
};

class UserPropertiesObject final : public DispatchObject {
 public:
  UserPropertiesObject(std::shared_ptr<Store> store, Message* message)
      : store_(std::move(store)), message_(message) {
    message_->AddRef();
  }
  ~UserPropertiesObject() override { message_->Release(); }

 protected:
  enum Index { kCount, kItem, kFind, kAdd, kRemove };
  std::span<const Member> members() const override {
    static const Member kMembers[] = {{L"Count", Kind::kGet},
                                      {L"Item", Kind::kMethod, 1, 1},
                                      {L"Find", Kind::kMethod, 1, 2},
                                      {L"Add", Kind::kMethod, 2, 4},
                                      {L"Remove", Kind::kMethod, 1, 1}};
    return kMembers;
  }
  HRESULT Dispatch(size_t index, bool, const Call& call, VARIANT* result) override {
    if (message_->deleted()) return call.Raise(kTextDeleted, MAPI_E_OBJECT_DELETED);
    const auto present = Present();
    if (index == kCount) return SetLong(result, static_cast<LONG>(present.size()));
    const VARIANT* key = call.arg(0);
    const bool by_position = index == kRemove || (index == kItem && key->vt != VT_BSTR);
    if (by_position) {
      const auto position = call.Long(0);
      if (!position) return call.Mismatch(0);
      if (*position < 1 || static_cast<size_t>(*position) > present.size()) {
        return call.Raise(L"Array index out of bounds.", DISP_E_BADINDEX);
      }
      const auto& [name, tag] = present[static_cast<size_t>(*position - 1)];
      if (index == kItem) return SetObject(result, new UserPropertyObject(message_, name, tag));
      const HRESULT hr = message_->Remove(tag);
      return hr == S_OK ? S_OK : Refused(call, hr);
    }
    const auto name = call.Text(0);
    if (!name) return call.Mismatch(0);
    for (const auto& [present_name, tag] : present) {
      if (present_name == *name) {
        return SetObject(result, new UserPropertyObject(message_, present_name, tag));
      }
    }
    if (index != kAdd) return SetObject(result, nullptr);  // Nothing
    const auto type = call.Long(1);
    if (!type) return call.Mismatch(1);
    const auto mapi_type = MapiTypeOf(*type);
    if (name->empty() || !mapi_type) return call.Raise(kTextBadValue, E_INVALIDARG);
    ULONG prop_id = 0;
    HRESULT hr = store_->NamedId(kPsPublicStrings, MNID_STRING, 0, *name, true, &prop_id);
    if (hr != S_OK) return Refused(call, hr);
    const ULONG tag = PROP_TAG(*mapi_type, prop_id);
    const PropData empty = *mapi_type == PT_UNICODE   ? PropData{std::wstring()}
                           : *mapi_type == PT_DOUBLE  ? PropData{0.0}
                           : *mapi_type == PT_SYSTIME ? PropData{int64_t{-1}}  // no date yet
                                                      : PropData{int64_t{0}};
    hr = message_->Set(tag, empty);
    if (hr != S_OK) return Refused(call, hr);
    return SetObject(result, new UserPropertyObject(message_, *name, tag));
  }

 private:
  // The item's user properties, in the order of their tags: name and tag.
  std::vector<std::pair<std::wstring, ULONG>> Present() const {
    std::vector<std::pair<std::wstring, ULONG>> out;
    for (ULONG tag : message_->Tags()) {
      if (PROP_ID(tag) < 0x8000 || !MapiTypeOf(OutlookTypeOf(PROP_TYPE(tag)))) continue;
      if (auto name = store_->StringNameOf(kPsPublicStrings, PROP_ID(tag))) {
        out.emplace_back(std::move(*name), tag);
      }
    }
    return out;
  }

  std::shared_ptr<Store> store_;
  Message* message_;
};

}  // namespace

IDispatch* NewUserProperties(std::shared_ptr<Store> store, Message* message) {
  return new UserPropertiesObject(std::move(store), message);
}

}  // namespace calendar_mirrow_addin::sim
