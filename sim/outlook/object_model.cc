#include "sim/outlook/object_model.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/local_time.h"
#include "base/text.h"
#include "platform/com/oleaut.h"
#include "sim/outlook/dispatch_object.h"
#include "sim/outlook/mapi_view.h"
#include "sim/outlook/recipients.h"
#include "sim/outlook/seed.h"
#include "sim/outlook/user_properties.h"

namespace calendar_mirrow_addin::sim {

namespace {

constexpr LONG kFolderCalendar = 9;
constexpr LONG kAppointmentItem = 1;
constexpr LONG kMeetingFlag = 1;  // asfMeeting of the appointment state flags

// ---- items ----

class ItemObject final : public DispatchObject {
 public:
  ItemObject(std::shared_ptr<Store> store, Message* message)
      : store_(std::move(store)), message_(message) {
    appointment_ = IsAppointmentClass(MessageClass());
  }
  ~ItemObject() override { message_->Release(); }

  // A new appointment as CreateItem makes it: the next half hour, half an hour long.
  void InitNewAppointment() {
    const FileTime now = store_->Now();
    const FileTime start = (now / (30 * kTicksPerMinute) + 1) * (30 * kTicksPerMinute);
    message_->Set(PR_MESSAGE_CLASS_W, std::wstring(L"IPM.Appointment"));
    message_->Set(kPrSubjectW, std::wstring());
    SetTimes(start, start + 30 * kTicksPerMinute);
    message_->Set(Tag(kSubType), int64_t{0});
    message_->Set(Tag(kBusyStatus), int64_t{2});
    message_->Set(Tag(kStateFlags), int64_t{0});
    message_->Set(Tag(kReminderSet), int64_t{1});
    message_->Set(Tag(kReminderDelta), int64_t{15});
    message_->Set(kPrSensitivity, int64_t{0});
    appointment_ = true;
  }

 protected:
  enum Index {
    kMessageClass,
    kSubject,
    kBody,
    kEntryId,
    kLastModificationTime,
    kSave,
    kDelete,
    kMapiObject,
    kCommonCount,  // the members below are the appointment's own
    kStart = kCommonCount,
    kEnd,
    kAllDayEvent,
    kLocation_,
    kBusyStatus_,
    kReminderSet_,
    kReminderMinutes,
    kSensitivity,
    kMeetingStatus,
    kIsRecurring,
    kRecipients,
    kResponseStatus_,
    kUserProperties,
    kSend,  // refused, as are the two below: no mail leaves
    kForwardAsVcal,
    kRespond,
  };

  std::span<const Member> members() const override {
    static const Member kMembers[] = {
        {L"MessageClass", Kind::kGetPut},
        {L"Subject", Kind::kGetPut},
        {L"Body", Kind::kGetPut},
        {L"EntryID", Kind::kGet},
        {L"LastModificationTime", Kind::kGet},
        {L"Save", Kind::kMethod},
        {L"Delete", Kind::kMethod},
        {L"MAPIOBJECT", Kind::kGet},
        {L"Start", Kind::kGetPut},
        {L"End", Kind::kGetPut},
        {L"AllDayEvent", Kind::kGetPut},
        {L"Location", Kind::kGetPut},
        {L"BusyStatus", Kind::kGetPut},
        {L"ReminderSet", Kind::kGetPut},
        {L"ReminderMinutesBeforeStart", Kind::kGetPut},
        {L"Sensitivity", Kind::kGetPut},
        {L"MeetingStatus", Kind::kGetPut},
        {L"IsRecurring", Kind::kGet},
        {L"Recipients", Kind::kGet},
        {L"ResponseStatus", Kind::kGetPut},
        {L"UserProperties", Kind::kGet},
        {L"Send", Kind::kMethod},
        {L"ForwardAsVcal", Kind::kMethod},
        {L"Respond", Kind::kMethod, 1, 3},
    };
    const size_t count = appointment_ ? std::size(kMembers) : static_cast<size_t>(kCommonCount);
    return std::span<const Member>(kMembers, count);
  }

  HRESULT Dispatch(size_t index, bool put, const Call& call, VARIANT* result) override {
    if (message_->deleted() || deleted_) return call.Raise(kTextDeleted, MAPI_E_OBJECT_DELETED);
    if (put) return Put(index, call);
    switch (index) {
      case kMessageClass:
        return SetText(result, MessageClass());
      case kSubject:
        return SetText(result, TextOf(kPrSubjectW));
      case kBody:
        return SetText(result, TextOf(kPrBodyW));
      case kLocation_:
        return SetText(result, TextOf(Tag(kLocation)));
      case kEntryId:
        return SetText(result, HexText(message_->entry_id()));
      case kLastModificationTime:
        return SetDate(result,
                       message_->saved() ? LocalDate(message_->last_modified()) : std::nullopt);
      case kStart:
        return SetDate(result, TimeOf(kStartWhole));
      case kEnd:
        return SetDate(result, TimeOf(kEndWhole));
      case kAllDayEvent:
        return SetBool(result, NumberOf(Tag(kSubType), 0) != 0);
      case kBusyStatus_:
        return SetLong(result, static_cast<LONG>(NumberOf(Tag(kBusyStatus), 2)));
      case kReminderSet_:
        return SetBool(result, NumberOf(Tag(kReminderSet), 0) != 0);
      case kReminderMinutes:
        return SetLong(result, static_cast<LONG>(NumberOf(Tag(kReminderDelta), 0)));
      case kSensitivity:
        return SetLong(result, static_cast<LONG>(NumberOf(kPrSensitivity, 0)));
      case kMeetingStatus:
        return SetLong(result, static_cast<LONG>(NumberOf(Tag(kStateFlags), 0)));
      case kIsRecurring:
        return SetBool(result, NumberOf(Tag(kRecurring), 0) != 0);
      case kRecipients:
        return SetObject(result, NewRecipients(store_, message_));
      case kResponseStatus_:
        return SetLong(result, static_cast<LONG>(NumberOf(Tag(kResponseStatus), 0)));
      case kUserProperties:
        return SetObject(result, NewUserProperties(store_, message_));
      case kSend:
      case kForwardAsVcal:
      case kRespond:
        store_->CountRefusedSend();
        return call.Raise(kTextFailed, MAPI_E_NO_SUPPORT);
      case kMapiObject:
        message_->AddRef();
        return SetUnknown(result, static_cast<IMessage*>(message_));
      case kSave:
        return Save(call);
      case kDelete:
        return Delete(call);
    }
    return DISP_E_MEMBERNOTFOUND;
  }

 private:
  ULONG Tag(const NamedProp& prop) const { return store_->NamedTag(prop); }
  std::wstring MessageClass() const { return TextOf(PR_MESSAGE_CLASS_W); }
  std::wstring TextOf(ULONG tag) const {
    const auto found = message_->Get(tag);
    const auto* text = found ? std::get_if<std::wstring>(&found->second) : nullptr;
    return text != nullptr ? *text : std::wstring();
  }
  int64_t NumberOf(ULONG tag, int64_t fallback) const {
    const auto found = message_->Get(tag);
    const auto* number = found ? std::get_if<int64_t>(&found->second) : nullptr;
    return number != nullptr ? *number : fallback;
  }
  std::optional<FileTime> TimeOf(const NamedProp& prop) const {
    const auto found = message_->Get(Tag(prop));
    const auto* number = found ? std::get_if<int64_t>(&found->second) : nullptr;
    if (number == nullptr || *number < 0) return std::nullopt;
    return static_cast<FileTime>(*number);
  }
  static HRESULT SetDate(VARIANT* result, std::optional<FileTime> utc) {
    std::optional<DATE> date = utc ? LocalDate(*utc) : std::nullopt;
    result->vt = VT_DATE;
    result->date = date.value_or(kNoneDate);
    return S_OK;
  }
  static HRESULT SetDate(VARIANT* result, std::optional<DATE> date) {
    result->vt = VT_DATE;
    result->date = date.value_or(kNoneDate);
    return S_OK;
  }

  // Start and end are kept whole (UTC) and common, with the duration in minutes.
  HRESULT SetTimes(FileTime start, FileTime end) {
    for (const NamedProp& prop : {kStartWhole, kCommonStart}) {
      if (HRESULT hr = message_->Set(Tag(prop), static_cast<int64_t>(start)); hr != S_OK) return hr;
    }
    for (const NamedProp& prop : {kEndWhole, kCommonEnd}) {
      if (HRESULT hr = message_->Set(Tag(prop), static_cast<int64_t>(end)); hr != S_OK) return hr;
    }
    const int64_t minutes =
        (static_cast<int64_t>(end) - static_cast<int64_t>(start)) / kTicksPerMinute;
    return message_->Set(Tag(kDuration), minutes);
  }

  HRESULT Refused(const Call& call, HRESULT hr) const {
    if (hr == MAPI_E_NO_ACCESS) return call.Raise(kTextNoAccess, hr);
    if (hr == MAPI_E_OBJECT_DELETED) return call.Raise(kTextDeleted, hr);
    return call.Raise(kTextFailed, hr);
  }

  HRESULT Put(size_t index, const Call& call) {
    HRESULT hr = S_OK;
    auto put_text = [&](ULONG tag) -> HRESULT {
      const auto text = call.Text(0);
      if (!text) return call.Mismatch(0);
      return message_->Set(tag, *text);
    };
    auto put_enum = [&](ULONG tag, std::initializer_list<LONG> allowed) -> HRESULT {
      const auto value = call.Long(0);
      if (!value) return call.Mismatch(0);
      if (std::find(allowed.begin(), allowed.end(), *value) == allowed.end()) {
        return call.Raise(kTextBadValue, E_INVALIDARG);
      }
      return message_->Set(tag, int64_t{*value});
    };
    auto put_bool = [&](ULONG tag) -> HRESULT {
      const auto value = call.Bool(0);
      if (!value) return call.Mismatch(0);
      return message_->Set(tag, int64_t{*value ? 1 : 0});
    };
    switch (index) {
      case kMessageClass:
        hr = put_text(PR_MESSAGE_CLASS_W);
        break;
      case kSubject:
        hr = put_text(kPrSubjectW);
        break;
      case kBody:
        hr = put_text(kPrBodyW);
        break;
      case kLocation_:
        hr = put_text(Tag(kLocation));
        break;
      case kStart:
      case kEnd: {
        const auto date = call.Date(0);
        if (!date) return call.Mismatch(0);
        const auto utc = UtcFileTime(*date);
        if (!utc) return call.Raise(kTextBadValue, E_INVALIDARG);
        const FileTime start = TimeOf(kStartWhole).value_or(*utc);
        const FileTime end = TimeOf(kEndWhole).value_or(start);
        if (index == kStart) {  // the duration is kept
          hr = SetTimes(*utc, *utc + (end > start ? end - start : 0));
        } else if (*utc < start) {
          return call.Raise(kTextEndBeforeStart, E_INVALIDARG);
        } else {
          hr = SetTimes(start, *utc);
        }
        break;
      }
      case kAllDayEvent: {
        const auto all_day = call.Bool(0);
        if (!all_day) return call.Mismatch(0);
        hr = message_->Set(Tag(kSubType), int64_t{*all_day ? 1 : 0});
        if (hr == S_OK && *all_day) {  // whole local days covering the times
          const FileTime start = TimeOf(kStartWhole).value_or(store_->Now());
          const FileTime end = TimeOf(kEndWhole).value_or(start);
          const auto day_start = LocalMidnight(start, false);
          auto day_end = LocalMidnight(end, true);
          if (!day_start || !day_end) return call.Raise(kTextBadValue, E_INVALIDARG);
          if (*day_end <= *day_start)
            day_end = LocalMidnight(*day_start + kTicksPerDay + kTicksPerDay / 2, false);
          if (!day_end) return call.Raise(kTextBadValue, E_INVALIDARG);
          hr = SetTimes(*day_start, *day_end);
        }
        break;
      }
      case kBusyStatus_:
        hr = put_enum(Tag(kBusyStatus), {0, 1, 2, 3, 4});
        break;
      case kReminderSet_:
        hr = put_bool(Tag(kReminderSet));
        break;
      case kReminderMinutes: {
        const auto minutes = call.Long(0);
        if (!minutes) return call.Mismatch(0);
        if (*minutes < 0) return call.Raise(kTextBadValue, E_INVALIDARG);
        hr = message_->Set(Tag(kReminderDelta), int64_t{*minutes});
        break;
      }
      case kSensitivity:
        hr = put_enum(kPrSensitivity, {0, 1, 2, 3});
        break;
      case kMeetingStatus:
        hr = put_enum(Tag(kStateFlags), {0, 1, 3, 5, 7});
        break;
      case kResponseStatus_:
        hr = put_enum(Tag(kResponseStatus), {0, 1, 2, 3, 4, 5});
        break;
      default:
        return DISP_E_MEMBERNOTFOUND;
    }
    if (hr == DISP_E_TYPEMISMATCH || hr == DISP_E_EXCEPTION) return hr;
    return hr == S_OK ? S_OK : Refused(call, hr);
  }

  HRESULT Save(const Call& call) {
    // The times may have come through MAPI, past the checks of Start and End.
    if (appointment_) {
      const auto start = TimeOf(kStartWhole);
      const auto end = TimeOf(kEndWhole);
      if (start && end && *end < *start) return call.Raise(kTextEndBeforeStart, E_INVALIDARG);
    }
    // A meeting Outlook makes gets its global object id when first saved.
    if (appointment_ && (NumberOf(Tag(kStateFlags), 0) & kMeetingFlag) != 0 &&
        !message_->Get(Tag(kGlobalObjectId))) {
      const Bytes id = MakeOutlookGlobalObjectId(store_->Now());
      if (HRESULT hr = message_->Set(Tag(kGlobalObjectId), id); hr != S_OK)
        return Refused(call, hr);
      if (HRESULT hr = message_->Set(Tag(kCleanGlobalObjectId), id); hr != S_OK) {
        return Refused(call, hr);
      }
    }
    const HRESULT hr = message_->Save();
    return hr == S_OK ? S_OK : Refused(call, hr);
  }

  HRESULT Delete(const Call& call) {
    if (message_->saved()) {
      const Bytes id = message_->entry_id();
      if (store_->faults().IsReadOnly(id)) return Refused(call, MAPI_E_NO_ACCESS);
      const HRESULT hr = store_->Delete(id);
      if (hr != S_OK) return Refused(call, hr);
    }
    deleted_ = true;
    return S_OK;
  }

  std::shared_ptr<Store> store_;
  Message* message_;
  bool appointment_ = false;
  bool deleted_ = false;
};

// The folder's items as they stood when Items was read; Item(n) counts from 1.
class ItemsObject final : public DispatchObject {
 public:
  explicit ItemsObject(std::shared_ptr<Store> store) : store_(std::move(store)) {
    for (const auto& entry : store_->items()) numbers_.push_back(entry.first);
  }

 protected:
  std::span<const Member> members() const override {
    static const Member kMembers[] = {{L"Count", Kind::kGet}, {L"Item", Kind::kMethod, 1, 1}};
    return kMembers;
  }
  HRESULT Dispatch(size_t index, bool, const Call& call, VARIANT* result) override {
    if (index == 0) return SetLong(result, static_cast<LONG>(numbers_.size()));
    const auto position = call.Long(0);
    if (!position) return call.Mismatch(0);
    if (*position < 1 || static_cast<size_t>(*position) > numbers_.size()) {
      return call.Raise(L"Array index out of bounds.", DISP_E_BADINDEX);
    }
    const int64_t number = numbers_[*position - 1];
    if (store_->items().count(number) == 0) return call.Raise(kTextDeleted, MAPI_E_NOT_FOUND);
    return SetObject(result, new ItemObject(store_, Message::Open(store_, number, true)));
  }

 private:
  std::shared_ptr<Store> store_;
  std::vector<int64_t> numbers_;
};

class FolderObject final : public DispatchObject {
 public:
  explicit FolderObject(std::shared_ptr<Store> store) : store_(std::move(store)) {}

 protected:
  std::span<const Member> members() const override {
    static const Member kMembers[] = {{L"EntryID", Kind::kGet},
                                      {L"Items", Kind::kGet},
                                      {L"MAPIOBJECT", Kind::kGet},
                                      {L"Name", Kind::kGet}};
    return kMembers;
  }
  HRESULT Dispatch(size_t index, bool, const Call&, VARIANT* result) override {
    switch (index) {
      case 0:
        return SetText(result, HexText(store_->folder_entry_id()));
      case 1:
        return SetObject(result, new ItemsObject(store_));
      case 2:
        return SetUnknown(result, NewCalendarFolder(store_));
      default:
        return SetText(result, L"Calendar");
    }
  }

 private:
  std::shared_ptr<Store> store_;
};

class NamespaceObject final : public DispatchObject {
 public:
  explicit NamespaceObject(std::shared_ptr<Store> store) : store_(std::move(store)) {}

 protected:
  std::span<const Member> members() const override {
    static const Member kMembers[] = {{L"Logon", Kind::kMethod, 0, 4},
                                      {L"Logoff", Kind::kMethod},
                                      {L"GetDefaultFolder", Kind::kMethod, 1, 1},
                                      {L"GetItemFromID", Kind::kMethod, 1, 2},
                                      {L"MAPIOBJECT", Kind::kGet},
                                      {L"GetFolderFromID", Kind::kMethod, 1, 2}};
    return kMembers;
  }
  HRESULT Dispatch(size_t index, bool, const Call& call, VARIANT* result) override {
    switch (index) {
      case 0:  // Logon(profile, password, show dialog, new session): one profile here
        if (call.arg(0) != nullptr && !call.Text(0)) return call.Mismatch(0);
        if (call.arg(1) != nullptr && !call.Text(1)) return call.Mismatch(1);
        if (call.arg(2) != nullptr && !call.Bool(2)) return call.Mismatch(2);
        if (call.arg(3) != nullptr && !call.Bool(3)) return call.Mismatch(3);
        return S_OK;
      case 1:
        return S_OK;
      case 2: {
        const auto folder = call.Long(0);
        if (!folder) return call.Mismatch(0);
        if (*folder != kFolderCalendar) return call.Raise(kTextBadValue, E_INVALIDARG);
        return SetObject(result, new FolderObject(store_));
      }
      case 3:
        return GetItemFromId(call, result);
      case 5: {  // the calendar folder is the one folder there is
        const auto id = call.arg(0)->vt == VT_BSTR ? call.Text(0) : std::nullopt;
        if (!id) return call.Mismatch(0);
        const auto bytes = ParseHex(*id);
        if (!bytes || *bytes != store_->folder_entry_id()) {
          return call.Raise(kTextNotFound, MAPI_E_NOT_FOUND);
        }
        return SetObject(result, new FolderObject(store_));
      }
      default:
        return SetUnknown(result, NewSession(store_));
    }
  }

 private:
  HRESULT GetItemFromId(const Call& call, VARIANT* result) {
    const VARIANT* id_arg = call.arg(0);
    if (id_arg->vt != VT_BSTR) return call.Mismatch(0);
    if (call.arg(1) != nullptr && call.arg(1)->vt != VT_BSTR) return call.Mismatch(1);
    const auto id = ParseHex(std::wstring_view(id_arg->bstrVal != nullptr ? id_arg->bstrVal : L"",
                                               SysStringLen(id_arg->bstrVal)));
    if (!id || id->empty() || !store_->IsOwnEntryId(*id)) {
      return call.Raise(L"Could not open the item. Try again.", MAPI_E_INVALID_ENTRYID);
    }
    const HRESULT fault = store_->faults().Take(FaultPoint::kOpenEntry);
    if (fault != S_OK) return call.Raise(kTextFailed, fault);
    const StoredItem* item = store_->Find(*id);
    if (item == nullptr) return call.Raise(kTextNotFound, MAPI_E_NOT_FOUND);
    return SetObject(result, new ItemObject(store_, Message::Open(store_, item->number, true)));
  }

  std::shared_ptr<Store> store_;
};

class ApplicationObject final : public DispatchObject {
 public:
  explicit ApplicationObject(std::shared_ptr<Store> store) : store_(std::move(store)) {}

 protected:
  std::span<const Member> members() const override {
    static const Member kMembers[] = {{L"GetNamespace", Kind::kMethod, 1, 1},
                                      {L"CreateItem", Kind::kMethod, 1, 1}};
    return kMembers;
  }
  HRESULT Dispatch(size_t index, bool, const Call& call, VARIANT* result) override {
    if (index == 0) {
      const auto type = call.Text(0);
      if (!type || call.arg(0)->vt != VT_BSTR) return call.Mismatch(0);
      if (ToLower(*type) != L"mapi") return call.Raise(kTextBadValue, E_INVALIDARG);
      return SetObject(result, new NamespaceObject(store_));
    }
    const auto type = call.Long(0);
    if (!type) return call.Mismatch(0);
    if (*type != kAppointmentItem) return call.Raise(kTextBadValue, E_INVALIDARG);
    auto* item = new ItemObject(store_, Message::Open(store_, 0, true));
    item->InitNewAppointment();
    return SetObject(result, item);
  }

 private:
  std::shared_ptr<Store> store_;
};

}  // namespace

IDispatch* NewApplication(std::shared_ptr<Store> store) {
  return new ApplicationObject(std::move(store));
}

}  // namespace calendar_mirrow_addin::sim
