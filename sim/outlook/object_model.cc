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
#include "sim/outlook/recurrence_dates.h"
#include "sim/outlook/seed.h"
#include "sim/outlook/series.h"
#include "sim/outlook/user_properties.h"

namespace calendar_mirrow_addin::sim {

namespace {

constexpr LONG kFolderCalendar = 9;
constexpr LONG kAppointmentItem = 1;
constexpr LONG kMeetingFlag = 1;  // asfMeeting of the appointment state flags

// ---- series ----

// What has been written through a RecurrencePattern since the item was read: the values as
// given, and whether they make no series (then Save refuses, as Outlook does).
struct PatternEdit {
  RecurrenceView view;
  bool invalid = false;
};

std::optional<std::vector<uint8_t>> BytesOf(Store& store, const Message& message,
                                            const NamedProp& prop) {
  const auto found = message.Get(store.NamedTag(prop));
  const auto* bytes = found ? std::get_if<Bytes>(&found->second) : nullptr;
  if (bytes == nullptr) return std::nullopt;
  return *bytes;
}

// The series' zone: its time-zone structure, or the machine's zone without a readable one.
SeriesZone ZoneOf(Store& store, const Message& message) {
  const auto data = BytesOf(store, message, kTimeZoneStruct);
  return SeriesZone(data ? ParseTimeZoneStruct(*data) : std::nullopt);
}

std::optional<RecurrencePatternData> PatternOf(Store& store, const Message& message) {
  const auto data = BytesOf(store, message, kApptRecur);
  return data ? DecodeAppointmentRecur(*data) : std::nullopt;
}

ExceptionFields FieldsOf(Store& store, const Message& message) {
  const auto data = BytesOf(store, message, kExceptionFields);
  return data ? DecodeExceptionFields(*data).value_or(ExceptionFields{}) : ExceptionFields{};
}

HRESULT StoreFields(Store& store, Message& message, const ExceptionFields& fields) {
  const ULONG tag = store.NamedTag(kExceptionFields);
  if (!fields.empty()) return message.Set(tag, EncodeExceptionFields(fields));
  return message.Get(tag) ? message.Remove(tag) : S_OK;
}

ExceptionRecipients RecipientsOf(Store& store, const Message& message) {
  const auto data = BytesOf(store, message, kExceptionRecipients);
  return data ? DecodeExceptionRecipients(*data).value_or(ExceptionRecipients{})
              : ExceptionRecipients{};
}

HRESULT StoreRecipients(Store& store, Message& message, const ExceptionRecipients& recipients) {
  const ULONG tag = store.NamedTag(kExceptionRecipients);
  if (!recipients.empty()) return message.Set(tag, EncodeExceptionRecipients(recipients));
  return message.Get(tag) ? message.Remove(tag) : S_OK;
}

// Forgets what every changed occurrence held of its own (their records have gone).
HRESULT DropExceptionData(Store& store, Message& message) {
  const HRESULT hr = StoreFields(store, message, {});
  return hr == S_OK ? StoreRecipients(store, message, {}) : hr;
}

HRESULT StorePattern(Store& store, Message& message, const RecurrencePatternData& pattern) {
  const auto props = SeriesProps(store, pattern, ZoneOf(store, message));
  if (!props) return E_INVALIDARG;
  for (const auto& [tag, value] : *props) {
    if (HRESULT hr = message.Set(tag, value); hr != S_OK) return hr;
  }
  return S_OK;
}

// The occurrences up to and including the day of `local` (and the one after, for the
// neighbours of a moved occurrence): an occurrence moves without passing another, so the
// one now at `local` is among them.
std::vector<Occurrence> OccurrencesUpTo(const RecurrencePatternData& pattern, LocalMinutes local) {
  const int64_t days = FloorDiv(local, kMinutesPerDay) - pattern.start_date / kMinutesPerDay;
  const size_t bound = static_cast<size_t>(std::max<int64_t>(days, 0)) + 3;
  return Occurrences(pattern, bound).value_or(std::vector<Occurrence>{});
}

// The fields an occurrence shares with its series until it is changed.
std::vector<ULONG> OccurrenceTags(Store& store) {
  return {kPrSubjectW,
          kPrBodyW,
          kPrSensitivity,
          store.NamedTag(kLocation),
          store.NamedTag(kBusyStatus),
          store.NamedTag(kSubType),
          store.NamedTag(kStateFlags),
          store.NamedTag(kReminderSet),
          store.NamedTag(kReminderDelta)};
}

// Values of a series that are not its occurrences' own: the pattern and what goes with it,
// what the simulation keeps per exception, and the times, which the exception record holds.
bool SeriesOnly(Store& store, ULONG tag) {
  const ULONG id = PROP_ID(tag);
  if (id == PROP_ID(PR_MESSAGE_CLASS_W) || id == PROP_ID(PR_ENTRYID) ||
      id == PROP_ID(PR_LAST_MODIFICATION_TIME)) {
    return true;
  }
  for (const NamedProp& prop : {kApptRecur, kRecurring, kClipStart, kClipEnd, kTimeZoneStruct,
                                kTimeZoneDescription, kExceptionFields, kExceptionRecipients,
                                kStartWhole, kEndWhole, kCommonStart, kCommonEnd, kDuration}) {
    if (id == PROP_ID(store.NamedTag(prop))) return true;
  }
  return false;
}

std::string NarrowCopy(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

// What saving or deleting an occurrence came to: S_OK, or the failure with the text the
// object model raises for it (none: the store's own failure).
struct SeriesUpdate {
  HRESULT hr = S_OK;
  const wchar_t* text = nullptr;
};

// Replaces the exception of the occurrence at `original` with the values of `occurrence`
// (null: deletes the occurrence) and saves the series.
SeriesUpdate UpdateSeries(Store& store, Message& series, LocalMinutes original,
                          const Message* occurrence) {
  auto pattern = PatternOf(store, series);
  if (!pattern) return {MAPI_E_NOT_FOUND, kTextNoOccurrence};
  const SeriesZone zone = ZoneOf(store, series);
  auto text_of = [&](const Message& m, ULONG tag) {
    const auto found = m.Get(tag);
    const auto* text = found ? std::get_if<std::wstring>(&found->second) : nullptr;
    return text != nullptr ? *text : std::wstring();
  };
  auto number_of = [&](const Message& m, ULONG tag) {
    const auto found = m.Get(tag);
    const auto* number = found ? std::get_if<int64_t>(&found->second) : nullptr;
    return number != nullptr ? *number : 0;
  };
  std::optional<RecurrenceException> record;
  PropMap own;
  if (occurrence != nullptr) {
    const int64_t start_utc = number_of(*occurrence, store.NamedTag(kStartWhole));
    const int64_t end_utc = number_of(*occurrence, store.NamedTag(kEndWhole));
    if (start_utc < 0 || end_utc < 0) return {E_INVALIDARG, kTextBadValue};
    if (end_utc < start_utc) return {E_INVALIDARG, kTextEndBeforeStart};
    const auto start = zone.FromUtc(static_cast<FileTime>(start_utc - start_utc % kTicksPerMinute));
    const auto end = zone.FromUtc(static_cast<FileTime>(end_utc - end_utc % kTicksPerMinute));
    if (!start || !end || *start < 0 || *end > kNeverEndDate) return {E_INVALIDARG, kTextBadValue};
    record.emplace();
    record->start = static_cast<uint32_t>(*start);
    record->end = static_cast<uint32_t>(*end);
    record->original_start = static_cast<uint32_t>(original);
    // Only what differs from the series is recorded.
    if (const auto subject = text_of(*occurrence, kPrSubjectW);
        subject != text_of(series, kPrSubjectW)) {
      record->override_flags |= kOverrideSubject;
      record->wide_subject = subject;
      record->subject = NarrowCopy(subject);
    }
    if (const auto location = text_of(*occurrence, store.NamedTag(kLocation));
        location != text_of(series, store.NamedTag(kLocation))) {
      record->override_flags |= kOverrideLocation;
      record->wide_location = location;
      record->location = NarrowCopy(location);
    }
    struct NumberField {
      NamedProp prop;
      uint16_t flag;
      uint32_t* field;
    };
    for (const NumberField& f :
         {NumberField{kBusyStatus, kOverrideBusyStatus, &record->busy_status},
          NumberField{kReminderSet, kOverrideReminder, &record->reminder_set},
          NumberField{kReminderDelta, kOverrideReminderDelta, &record->reminder_delta},
          NumberField{kSubType, kOverrideSubType, &record->sub_type}}) {
      const int64_t value = number_of(*occurrence, store.NamedTag(f.prop));
      if (value != number_of(series, store.NamedTag(f.prop))) {
        record->override_flags |= f.flag;
        *f.field = static_cast<uint32_t>(value);
      }
    }
    // Everything else the occurrence holds that differs from the series is kept beside the
    // records, as the message embedded for the exception holds it.
    for (ULONG tag : occurrence->Tags()) {
      if (SeriesOnly(store, tag)) continue;
      const auto mine = occurrence->Get(tag);
      const auto theirs = series.Get(tag);
      if (mine && (!theirs || theirs->second != mine->second)) own[mine->first] = mine->second;
    }
  }

  const LocalMinutes latest = record ? std::max<LocalMinutes>(original, record->start) : original;
  const auto list = OccurrencesUpTo(*pattern, latest);
  const auto self = std::find_if(list.begin(), list.end(),
                                 [&](const Occurrence& o) { return o.original_start == original; });
  if (self == list.end()) return {MAPI_E_NOT_FOUND, kTextNoOccurrence};
  if (record) {
    // An occurrence stays between its neighbours, and alone on its day.
    const int64_t day = FloorDiv(record->start, kMinutesPerDay);
    if ((self != list.begin() && FloorDiv((self - 1)->start, kMinutesPerDay) >= day) ||
        (self + 1 != list.end() && FloorDiv((self + 1)->start, kMinutesPerDay) <= day)) {
      return {E_INVALIDARG, kTextSkipsOccurrence};
    }
  }
  auto& exceptions = pattern->exceptions;
  exceptions.erase(
      std::remove_if(exceptions.begin(), exceptions.end(),
                     [&](const RecurrenceException& e) { return e.original_start == original; }),
      exceptions.end());
  if (record) exceptions.push_back(*record);
  std::sort(
      exceptions.begin(), exceptions.end(),
      [](const RecurrenceException& a, const RecurrenceException& b) { return a.start < b.start; });
  pattern->modified_instance_dates.clear();
  for (const RecurrenceException& e : exceptions) {
    pattern->modified_instance_dates.push_back(
        static_cast<uint32_t>(FloorDiv(e.start, kMinutesPerDay) * kMinutesPerDay));
  }
  auto& deleted = pattern->deleted_instance_dates;
  const auto original_day =
      static_cast<uint32_t>(FloorDiv(original, kMinutesPerDay) * kMinutesPerDay);
  const auto at = std::lower_bound(deleted.begin(), deleted.end(), original_day);
  if (at == deleted.end() || *at != original_day) deleted.insert(at, original_day);

  const auto key = static_cast<uint32_t>(original);
  auto fields = FieldsOf(store, series);
  fields.erase(key);
  if (record && !own.empty()) fields[key] = own;
  // A changed occurrence has recipients of its own; a deleted one has none.
  auto recipients = RecipientsOf(store, series);
  recipients.erase(key);
  if (record) recipients[key] = occurrence->Recipients();

  HRESULT hr = StorePattern(store, series, *pattern);
  if (hr == E_INVALIDARG) return {hr, kTextBadValue};
  if (hr == S_OK) hr = StoreFields(store, series, fields);
  if (hr == S_OK) hr = StoreRecipients(store, series, recipients);
  if (hr == S_OK) hr = series.Save();
  return {hr, nullptr};
}

IDispatch* NewPatternObject(std::shared_ptr<Store> store, Message* master,
                            std::shared_ptr<PatternEdit> edit);
IDispatch* NewExceptionsObject(std::shared_ptr<Store> store, Message* master);

// ---- items ----

class ItemObject final : public DispatchObject {
 public:
  ItemObject(std::shared_ptr<Store> store, Message* message)
      : store_(std::move(store)), message_(message) {
    appointment_ = IsAppointmentClass(MessageClass());
  }
  ~ItemObject() override {
    message_->Release();
    if (master_ != nullptr) master_->Release();
  }

  // An occurrence of the series `master` (whose reference this object takes over): the
  // series' fields and user properties, those its exception overrides, its recipients (the
  // exception's own, or the series'), and the occurrence's times.
  HRESULT InitOccurrence(Message* master, const RecurrencePatternData& pattern,
                         const Occurrence& occurrence) {
    master_ = master;
    original_start_ = occurrence.original_start;
    appointment_ = true;
    message_->Set(PR_MESSAGE_CLASS_W, TextIn(*master, PR_MESSAGE_CLASS_W));
    for (ULONG tag : OccurrenceTags(*store_)) {
      if (const auto value = master->Get(tag)) message_->Set(value->first, value->second);
    }
    for (ULONG tag : master->Tags()) {
      if (PROP_ID(tag) >= 0x8000 && store_->StringNameOf(kPsPublicStrings, PROP_ID(tag))) {
        if (const auto value = master->Get(tag)) message_->Set(value->first, value->second);
      }
    }
    if (occurrence.exception >= 0) {
      const RecurrenceException& record = pattern.exceptions[occurrence.exception];
      if (record.override_flags & kOverrideSubject)
        message_->Set(kPrSubjectW, WideOf(record.wide_subject, record.subject));
      if (record.override_flags & kOverrideLocation)
        message_->Set(Tag(kLocation), WideOf(record.wide_location, record.location));
      if (record.override_flags & kOverrideBusyStatus)
        message_->Set(Tag(kBusyStatus), int64_t{record.busy_status});
      if (record.override_flags & kOverrideReminder)
        message_->Set(Tag(kReminderSet), int64_t{record.reminder_set != 0});
      if (record.override_flags & kOverrideReminderDelta)
        message_->Set(Tag(kReminderDelta), int64_t{record.reminder_delta});
      if (record.override_flags & kOverrideSubType)
        message_->Set(Tag(kSubType), int64_t{record.sub_type != 0});
    }
    const auto key = static_cast<uint32_t>(original_start_);
    const auto fields = FieldsOf(*store_, *master);
    if (const auto own = fields.find(key); own != fields.end()) {
      for (const auto& [tag, value] : own->second) message_->Set(tag, value);
    }
    const auto recipients = RecipientsOf(*store_, *master);
    const auto own_rows = recipients.find(key);
    message_->SetRecipients(occurrence.exception >= 0 && own_rows != recipients.end()
                                ? own_rows->second
                                : master->Recipients());
    const SeriesZone zone = ZoneOf(*store_, *master);
    const auto start = zone.ToUtc(occurrence.start);
    const auto end = zone.ToUtc(occurrence.end);
    if (!start || !end) return E_INVALIDARG;
    return SetTimes(*start, *end);
  }

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

  Faults* member_faults() const override { return &store_->faults(); }

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
    kRecurrenceState,
    kGetRecurrencePattern,
    kClearRecurrencePattern,
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
        {L"RecurrenceState", Kind::kGet},
        {L"GetRecurrencePattern", Kind::kMethod},
        {L"ClearRecurrencePattern", Kind::kMethod},
    };
    const size_t count = appointment_ ? std::size(kMembers) : static_cast<size_t>(kCommonCount);
    return std::span<const Member>(kMembers, count);
  }

  HRESULT Dispatch(size_t index, bool put, const Call& call, VARIANT* result) override {
    if (message_->deleted() || deleted_ || (master_ != nullptr && master_->deleted()))
      return call.Raise(kTextDeleted, MAPI_E_OBJECT_DELETED);
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
        return SetText(result, HexText(Stored().entry_id()));
      case kLastModificationTime:
        return SetDate(result,
                       Stored().saved() ? LocalDate(Stored().last_modified()) : std::nullopt);
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
        return SetBool(result, master_ != nullptr || NumberOf(Tag(kRecurring), 0) != 0);
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
      case kRecurrenceState:
        return SetLong(result, master_ != nullptr                  ? (IsException() ? 3 : 2)
                               : NumberOf(Tag(kRecurring), 0) != 0 ? 1
                                                                   : 0);
      case kGetRecurrencePattern:
        return GetRecurrencePattern(call, result);
      case kClearRecurrencePattern:
        return ClearRecurrencePattern(call);
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
  // The stored item: the series for an occurrence, which is not stored on its own.
  const Message& Stored() const { return master_ != nullptr ? *master_ : *message_; }
  static std::wstring TextIn(const Message& m, ULONG tag) {
    const auto found = m.Get(tag);
    const auto* text = found ? std::get_if<std::wstring>(&found->second) : nullptr;
    return text != nullptr ? *text : std::wstring();
  }
  static std::wstring WideOf(const std::wstring& wide, const std::string& narrow) {
    return !wide.empty() ? wide : std::wstring(narrow.begin(), narrow.end());
  }
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
    if (master_ != nullptr) return SaveOccurrence(call);
    if (edit_ != nullptr && edit_->invalid) return call.Raise(kTextBadPattern, E_INVALIDARG);
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
    if (master_ != nullptr) return DeleteOccurrence(call);
    if (message_->saved()) {
      const Bytes id = message_->entry_id();
      if (store_->faults().IsReadOnly(id)) return Refused(call, MAPI_E_NO_ACCESS);
      const HRESULT hr = store_->Delete(id);
      if (hr != S_OK) return Refused(call, hr);
    }
    deleted_ = true;
    return S_OK;
  }

  HRESULT GetRecurrencePattern(const Call& call, VARIANT* result);
  HRESULT ClearRecurrencePattern(const Call& call);
  HRESULT SaveOccurrence(const Call& call);
  HRESULT DeleteOccurrence(const Call& call);
  // Whether the series now holds a changed occurrence at this one's original start (it may
  // have been saved through either view).
  bool IsException() const {
    const auto pattern = PatternOf(*store_, *master_);
    return pattern && std::any_of(pattern->exceptions.begin(), pattern->exceptions.end(),
                                  [&](const RecurrenceException& e) {
                                    return e.original_start == original_start_;
                                  });
  }

  std::shared_ptr<Store> store_;
  Message* message_;
  bool appointment_ = false;
  bool deleted_ = false;
  std::shared_ptr<PatternEdit> edit_;
  Message* master_ = nullptr;  // set for an occurrence of a series
  LocalMinutes original_start_ = 0;
};

// ---- series: the item's members ----

HRESULT ItemObject::GetRecurrencePattern(const Call& call, VARIANT* result) {
  if (master_ != nullptr) {  // an occurrence answers with its series' pattern
    const auto pattern = PatternOf(*store_, *master_);
    if (!pattern) return call.Raise(kTextNotFound, MAPI_E_NOT_FOUND);
    master_->AddRef();
    return SetObject(result, NewPatternObject(store_, master_,
                                              std::make_shared<PatternEdit>(
                                                  PatternEdit{ViewFromPattern(*pattern), false})));
  }
  if (edit_ == nullptr) edit_ = std::make_shared<PatternEdit>();
  if (!edit_->invalid) {
    const auto pattern = PatternOf(*store_, *message_);
    if (pattern && NumberOf(Tag(kRecurring), 0) != 0) {
      edit_->view = ViewFromPattern(*pattern);
    } else {
      // The item becomes a series at once: weekly on the day of its start, without end,
      // in the machine's zone, which Outlook writes down with it.
      const FileTime start = TimeOf(kStartWhole).value_or(store_->Now());
      if (!message_->Get(Tag(kTimeZoneStruct))) {
        const auto utc = FileTimeToSystemTime(start);
        const auto rule = utc ? MachineZoneRule(utc->year) : std::nullopt;
        HRESULT hr = S_OK;
        if (rule && (hr = message_->Set(Tag(kTimeZoneStruct), TimeZoneStructBytes(*rule))) == S_OK)
          hr = message_->Set(Tag(kTimeZoneDescription), MachineZoneName());
        if (hr != S_OK) return Refused(call, hr);
      }
      const SeriesZone zone = ZoneOf(*store_, *message_);
      const FileTime end = std::max(TimeOf(kEndWhole).value_or(start), start);
      const auto local = zone.FromUtc(start - start % kTicksPerMinute);
      if (!local) return call.Raise(kTextBadValue, E_INVALIDARG);
      RecurrenceView view;
      view.type = OlRecurrenceType::kWeekly;
      view.pattern_start_date = *local;
      view.start_time = static_cast<uint32_t>(Mod(*local, kMinutesPerDay));
      view.duration = static_cast<uint32_t>((end - start) / kTicksPerMinute);
      const auto made = PatternFromView(view);
      const HRESULT hr = made ? StorePattern(*store_, *message_, *made) : E_INVALIDARG;
      if (hr == E_INVALIDARG) return call.Raise(kTextBadValue, hr);
      if (hr != S_OK) return Refused(call, hr);
      edit_->view = view;
    }
  }
  message_->AddRef();
  return SetObject(result, NewPatternObject(store_, message_, edit_));
}

HRESULT ItemObject::ClearRecurrencePattern(const Call& call) {
  if (master_ != nullptr) return call.Raise(kTextBadValue, E_INVALIDARG);
  // The item keeps the times of the series' first occurrence.
  for (const NamedProp& prop :
       {kApptRecur, kClipStart, kClipEnd, kExceptionFields, kExceptionRecipients}) {
    if (message_->Get(Tag(prop))) {
      if (HRESULT hr = message_->Remove(Tag(prop)); hr != S_OK) return Refused(call, hr);
    }
  }
  if (HRESULT hr = message_->Set(Tag(kRecurring), int64_t{0}); hr != S_OK) return Refused(call, hr);
  edit_.reset();
  return S_OK;
}

HRESULT ItemObject::SaveOccurrence(const Call& call) {
  const SeriesUpdate done = UpdateSeries(*store_, *master_, original_start_, message_);
  if (done.hr == S_OK) return S_OK;
  return done.text != nullptr ? call.Raise(done.text, done.hr) : Refused(call, done.hr);
}

HRESULT ItemObject::DeleteOccurrence(const Call& call) {
  const SeriesUpdate done = UpdateSeries(*store_, *master_, original_start_, nullptr);
  if (done.hr != S_OK)
    return done.text != nullptr ? call.Raise(done.text, done.hr) : Refused(call, done.hr);
  message_->MarkDeleted();
  deleted_ = true;
  return S_OK;
}

// ---- series: RecurrencePattern, Exceptions, Exception ----

class PatternObject final : public DispatchObject {
 public:
  PatternObject(std::shared_ptr<Store> store, Message* master, std::shared_ptr<PatternEdit> edit)
      : store_(std::move(store)), master_(master), edit_(std::move(edit)) {}
  ~PatternObject() override { master_->Release(); }

  Faults* member_faults() const override { return &store_->faults(); }

 protected:
  enum Index {
    kType,
    kInterval,
    kInstance,
    kMask,
    kDayOfMonth,
    kMonthOfYear,
    kStartDate,
    kEndDate,
    kNoEndDate,
    kOccurrences,
    kStartTime,
    kEndTime,
    kDuration_,
    kExceptions,
    kGetOccurrence,
  };
  std::span<const Member> members() const override {
    static const Member kMembers[] = {
        {L"RecurrenceType", Kind::kGetPut},
        {L"Interval", Kind::kGetPut},
        {L"Instance", Kind::kGetPut},
        {L"DayOfWeekMask", Kind::kGetPut},
        {L"DayOfMonth", Kind::kGetPut},
        {L"MonthOfYear", Kind::kGetPut},
        {L"PatternStartDate", Kind::kGetPut},
        {L"PatternEndDate", Kind::kGetPut},
        {L"NoEndDate", Kind::kGetPut},
        {L"Occurrences", Kind::kGetPut},
        {L"StartTime", Kind::kGetPut},
        {L"EndTime", Kind::kGetPut},
        {L"Duration", Kind::kGetPut},
        {L"Exceptions", Kind::kGet},
        {L"GetOccurrence", Kind::kMethod, 1, 1},
    };
    return kMembers;
  }

  HRESULT Dispatch(size_t index, bool put, const Call& call, VARIANT* result) override {
    if (master_->deleted()) return call.Raise(kTextDeleted, MAPI_E_OBJECT_DELETED);
    if (put) return Put(index, call);
    const auto stored = Stored();
    const RecurrenceView v = stored ? ViewFromPattern(*stored) : edit_->view;
    switch (index) {
      case kType:
        return SetLong(result, static_cast<LONG>(v.type));
      case kInterval:
        return SetLong(result, static_cast<LONG>(v.interval));
      case kInstance:
        return SetLong(result, static_cast<LONG>(v.instance));
      case kMask:
        return SetLong(result, static_cast<LONG>(v.day_of_week_mask));
      case kDayOfMonth:
        return SetLong(result, static_cast<LONG>(v.day_of_month));
      case kMonthOfYear:
        return SetLong(result, static_cast<LONG>(v.month_of_year));
      case kStartDate:
        return SetDay(result, v.pattern_start_date);
      case kEndDate:
        return SetDay(result, v.pattern_end_date);
      case kNoEndDate:
        return SetBool(result, v.end == RecurrenceView::End::kNever);
      case kOccurrences:
        return SetLong(result, static_cast<LONG>(v.occurrences));
      case kStartTime:
        return SetTime(result, v.start_time);
      case kEndTime:
        return SetTime(result, v.start_time + v.duration);
      case kDuration_:
        return SetLong(result, static_cast<LONG>(v.duration));
      case kExceptions:
        master_->AddRef();
        return SetObject(result, NewExceptionsObject(store_, master_));
      default:
        return GetOccurrence(call, result);
    }
  }

 private:
  // The stored pattern, unless values written since make no series.
  std::optional<RecurrencePatternData> Stored() const {
    return edit_->invalid ? std::nullopt : PatternOf(*store_, *master_);
  }
  static HRESULT SetDay(VARIANT* result, LocalMinutes minutes) {
    result->vt = VT_DATE;
    result->date = DateOfMinutes(FloorDiv(minutes, kMinutesPerDay) * kMinutesPerDay);
    return S_OK;
  }
  static HRESULT SetTime(VARIANT* result, int64_t minute_of_day) {
    result->vt = VT_DATE;  // a time on 1899-12-30, as automation dates carry times alone
    result->date = static_cast<double>(Mod(minute_of_day, kMinutesPerDay)) / kMinutesPerDay;
    return S_OK;
  }

  HRESULT Put(size_t index, const Call& call) {
    RecurrenceView v = edit_->view;
    if (index == kStartDate || index == kEndDate || index == kStartTime || index == kEndTime) {
      const auto date = call.Date(0);
      if (!date) return call.Mismatch(0);
      const auto minutes = MinutesOfDate(*date);
      if (!minutes) return call.Raise(kTextBadValue, E_INVALIDARG);
      const int64_t day = FloorDiv(*minutes, kMinutesPerDay) * kMinutesPerDay;
      const auto time = static_cast<uint32_t>(Mod(*minutes, kMinutesPerDay));
      if (index == kStartDate) {
        v.pattern_start_date = day;
      } else if (index == kEndDate) {  // the series now ends on that date
        v.end = RecurrenceView::End::kOnDate;
        v.pattern_end_date = day;
      } else if (index == kStartTime) {  // the duration is kept
        v.start_time = time;
      } else {
        v.duration = static_cast<uint32_t>(Mod(int64_t{time} - v.start_time, kMinutesPerDay));
      }
      return Apply(call, v);
    }
    const auto value = call.Long(0);
    if (!value) return call.Mismatch(0);
    const LONG n = *value;
    // Values out of range are refused at once; combinations only the whole pattern can judge
    // (an empty week for a weekly series, a day of month that never comes) when the item is
    // saved. Where Outlook's behaviour is not documented, the stricter choice is made.
    auto in = [n](LONG low, LONG high) { return n >= low && n <= high; };
    switch (index) {
      case kType: {
        if (!in(0, 6) || n == 4) return call.Raise(kTextBadValue, E_INVALIDARG);
        // A new type starts from the defaults of the pattern's start date.
        const auto start = ToLocalDate(v.pattern_start_date);
        v.type = static_cast<OlRecurrenceType>(n);
        v.interval = 1;
        v.day_of_week_mask = 0;
        v.day_of_month = 0;
        v.month_of_year = 0;
        v.instance = 0;
        if (v.type == OlRecurrenceType::kMonthNth || v.type == OlRecurrenceType::kYearNth) {
          v.day_of_week_mask = 1u << DayOfWeekOf(v.pattern_start_date);
          v.instance = static_cast<uint32_t>((start.day - 1) / 7 + 1);
        }
        break;
      }
      case kInterval:
        if (!in(1, 999)) return call.Raise(kTextBadValue, E_INVALIDARG);
        v.interval = static_cast<uint32_t>(n);
        break;
      case kInstance:
        if (!in(1, 5)) return call.Raise(kTextBadValue, E_INVALIDARG);
        v.instance = static_cast<uint32_t>(n);
        break;
      case kMask: {
        const bool needs_days = v.type != OlRecurrenceType::kDaily &&
                                v.type != OlRecurrenceType::kMonthly &&
                                v.type != OlRecurrenceType::kYearly;
        if (!in(needs_days ? 1 : 0, 127)) return call.Raise(kTextBadValue, E_INVALIDARG);
        v.day_of_week_mask = static_cast<uint32_t>(n);
        break;
      }
      case kDayOfMonth:
        if (!in(1, 31)) return call.Raise(kTextBadValue, E_INVALIDARG);
        v.day_of_month = static_cast<uint32_t>(n);
        break;
      case kMonthOfYear:
        if (!in(1, 12)) return call.Raise(kTextBadValue, E_INVALIDARG);
        v.month_of_year = static_cast<uint32_t>(n);
        break;
      case kNoEndDate:
        if (n != 0) {
          v.end = RecurrenceView::End::kNever;
        } else if (v.end == RecurrenceView::End::kNever) {
          v.end = RecurrenceView::End::kAfterOccurrences;
          v.occurrences = kNeverEndOccurrenceCount;
        }
        break;
      case kOccurrences:  // the series now ends after that many
        if (!in(1, 999)) return call.Raise(kTextBadValue, E_INVALIDARG);
        v.end = RecurrenceView::End::kAfterOccurrences;
        v.occurrences = static_cast<uint32_t>(n);
        break;
      case kDuration_:
        if (!in(0, 0x7FFFFFFF - kMinutesPerDay)) return call.Raise(kTextBadValue, E_INVALIDARG);
        v.duration = static_cast<uint32_t>(n);
        break;
      default:
        return DISP_E_MEMBERNOTFOUND;
    }
    return Apply(call, v);
  }

  // Writes the pattern the values make into the item at once, so that both views show it;
  // values that make no series are kept here, and the item's Save refuses them.
  HRESULT Apply(const Call& call, const RecurrenceView& view) {
    edit_->view = view;
    const auto pattern = PatternFromView(view);
    if (!pattern) {
      edit_->invalid = true;
      return S_OK;
    }
    edit_->invalid = false;
    if (auto old = PatternOf(*store_, *master_)) {
      // Unchanged: the exceptions stay. Changed: they belong to the old pattern and go.
      old->exceptions.clear();
      old->deleted_instance_dates.clear();
      old->modified_instance_dates.clear();
      if (*old == *pattern) return S_OK;
    }
    HRESULT hr = StorePattern(*store_, *master_, *pattern);
    if (hr == E_INVALIDARG) {
      edit_->invalid = true;
      return S_OK;
    }
    if (hr == S_OK) hr = DropExceptionData(*store_, *master_);
    if (hr == MAPI_E_NO_ACCESS) return call.Raise(kTextNoAccess, hr);
    return hr == S_OK ? S_OK : call.Raise(kTextFailed, hr);
  }

  HRESULT GetOccurrence(const Call& call, VARIANT* result) {
    const auto date = call.Date(0);
    if (!date) return call.Mismatch(0);
    const auto pattern = Stored();
    const auto utc = UtcFileTime(*date);
    const auto local = utc ? ZoneOf(*store_, *master_).FromUtc(*utc) : std::nullopt;
    if (!pattern || !local || !IsOccurrence(*pattern, *local)) {
      return call.Raise(kTextNoOccurrence, MAPI_E_NOT_FOUND);
    }
    for (const Occurrence& o : OccurrencesUpTo(*pattern, *local)) {
      if (o.start != *local) continue;
      IDispatch* item = NewOccurrence(store_, master_, *pattern, o);
      return item != nullptr ? SetObject(result, item) : call.Raise(kTextBadValue, E_INVALIDARG);
    }
    return call.Raise(kTextNoOccurrence, MAPI_E_NOT_FOUND);
  }

 public:
  // An occurrence as an item; null when its times cannot be placed.
  static IDispatch* NewOccurrence(const std::shared_ptr<Store>& store, Message* master,
                                  const RecurrencePatternData& pattern, const Occurrence& o) {
    Message* message = Message::Open(store, 0, true);
    auto* item = new ItemObject(store, message);
    master->AddRef();
    if (item->InitOccurrence(master, pattern, o) != S_OK) {
      item->Release();
      return nullptr;
    }
    const LocalMinutes original = o.original_start;
    message->BecomeOccurrence(master, [store, original](Message& series, const Message& self) {
      return UpdateSeries(*store, series, original, &self).hr;
    });
    return item;
  }

 private:
  std::shared_ptr<Store> store_;
  Message* master_;
  std::shared_ptr<PatternEdit> edit_;
};

// One changed or deleted occurrence, as the series stood when Exceptions was read.
class ExceptionObject final : public DispatchObject {
 public:
  ExceptionObject(std::shared_ptr<Store> store, Message* master, LocalMinutes original,
                  bool deleted)
      : store_(std::move(store)), master_(master), original_(original), deleted_(deleted) {}
  ~ExceptionObject() override { master_->Release(); }

 protected:
  std::span<const Member> members() const override {
    static const Member kMembers[] = {
        {L"OriginalDate", Kind::kGet}, {L"Deleted", Kind::kGet}, {L"AppointmentItem", Kind::kGet}};
    return kMembers;
  }
  HRESULT Dispatch(size_t index, bool, const Call& call, VARIANT* result) override {
    if (master_->deleted()) return call.Raise(kTextDeleted, MAPI_E_OBJECT_DELETED);
    if (index == 0) {
      const auto utc = ZoneOf(*store_, *master_).ToUtc(original_);
      const auto date = utc ? LocalDate(*utc) : std::nullopt;
      result->vt = VT_DATE;
      result->date = date.value_or(kNoneDate);
      return S_OK;
    }
    if (index == 1) return SetBool(result, deleted_);
    const auto pattern = PatternOf(*store_, *master_);
    if (!deleted_ && pattern) {
      for (const Occurrence& o : OccurrencesUpTo(*pattern, original_)) {
        if (o.original_start != original_) continue;
        IDispatch* item = PatternObject::NewOccurrence(store_, master_, *pattern, o);
        return item != nullptr ? SetObject(result, item) : call.Raise(kTextBadValue, E_INVALIDARG);
      }
    }
    return call.Raise(kTextNoOccurrence, MAPI_E_NOT_FOUND);
  }

 private:
  std::shared_ptr<Store> store_;
  Message* master_;
  LocalMinutes original_;
  bool deleted_;
};

// The exceptions of a series in the order of their original dates; Item(n) counts from 1.
class ExceptionsObject final : public DispatchObject {
 public:
  ExceptionsObject(std::shared_ptr<Store> store, Message* master)
      : store_(std::move(store)), master_(master) {
    const auto pattern = PatternOf(*store_, *master_);
    if (!pattern) return;
    for (uint32_t day : pattern->deleted_instance_dates) {
      const auto changed =
          std::find_if(pattern->exceptions.begin(), pattern->exceptions.end(),
                       [&](const RecurrenceException& e) {
                         return FloorDiv(e.original_start, kMinutesPerDay) * kMinutesPerDay == day;
                       });
      if (changed != pattern->exceptions.end()) {
        entries_.push_back({changed->original_start, false});
      } else {
        entries_.push_back({LocalMinutes{day} + pattern->start_time_offset, true});
      }
    }
  }
  ~ExceptionsObject() override { master_->Release(); }

 protected:
  std::span<const Member> members() const override {
    static const Member kMembers[] = {{L"Count", Kind::kGet}, {L"Item", Kind::kMethod, 1, 1}};
    return kMembers;
  }
  HRESULT Dispatch(size_t index, bool, const Call& call, VARIANT* result) override {
    if (index == 0) return SetLong(result, static_cast<LONG>(entries_.size()));
    const auto position = call.Long(0);
    if (!position) return call.Mismatch(0);
    if (*position < 1 || static_cast<size_t>(*position) > entries_.size()) {
      return call.Raise(L"Array index out of bounds.", DISP_E_BADINDEX);
    }
    const auto& [original, deleted] = entries_[*position - 1];
    master_->AddRef();
    return SetObject(result, new ExceptionObject(store_, master_, original, deleted));
  }

 private:
  std::shared_ptr<Store> store_;
  Message* master_;
  std::vector<std::pair<LocalMinutes, bool>> entries_;
};

IDispatch* NewPatternObject(std::shared_ptr<Store> store, Message* master,
                            std::shared_ptr<PatternEdit> edit) {
  return new PatternObject(std::move(store), master, std::move(edit));
}
IDispatch* NewExceptionsObject(std::shared_ptr<Store> store, Message* master) {
  return new ExceptionsObject(std::move(store), master);
}

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

// The version the simulation reports as the application's: the object model it follows.
constexpr wchar_t kSimulatedVersion[] = L"16.0.0.0";

class ApplicationObject final : public DispatchObject {
 public:
  explicit ApplicationObject(std::shared_ptr<Store> store) : store_(std::move(store)) {}

 protected:
  std::span<const Member> members() const override {
    static const Member kMembers[] = {{L"GetNamespace", Kind::kMethod, 1, 1},
                                      {L"CreateItem", Kind::kMethod, 1, 1},
                                      {L"Name", Kind::kGet},
                                      {L"Version", Kind::kGet}};
    return kMembers;
  }
  HRESULT Dispatch(size_t index, bool, const Call& call, VARIANT* result) override {
    // The client identity names the host application and its version.
    if (index == 2) return SetText(result, L"Outlook");
    if (index == 3) return SetText(result, kSimulatedVersion);
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
