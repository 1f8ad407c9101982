// Writing events into Outlook: new appointments, existing ones rewritten, and the ordered
// procedure both end in. Every step that fails ends the writing with its code; a series
// written under the machine's biases gets its own zone back on every way out.

#include <utility>

#include "base/local_time.h"
#include "base/logger.h"
#include "base/system_time.h"
#include "base/text.h"
#include "model/time_zone_map.h"
#include "outlook/dispatch_values.h"
#include "outlook/mapi_access.h"
#include "outlook/outlook.h"
#include "outlook/outlook_values.h"
#include "platform/com/oleaut.h"

namespace calendar_mirrow_addin {

namespace {

constexpr wchar_t kLocalZone[] = L"local-tz-id";
constexpr LONG kSensitivityPrivate = 2;
constexpr LONG kBusy = 2;
constexpr LONG kOutOfOffice = 3;

// Writes a time property as the automation date of `zone`.
HRESULT PutTime(IDispatch* object, const wchar_t* name, const DateTime& time,
                const std::wstring& zone, bool date_only = false) {
  Variant value;
  const bool converted = date_only ? DateToVariant(time, zone, value.value)
                                   : DateTimeToVariant(time, zone, value.value);
  return converted ? PutProperty(object, name, value.value) : E_FAIL;
}

HRESULT WriteTimes(IDispatch* item, const Event& event, const std::wstring& zone) {
  if (event.start() == nullptr || event.end() == nullptr) return E_FAIL;
  HRESULT hr = PutTime(item, L"Start", *event.start(), zone);
  if (SUCCEEDED(hr)) hr = PutTime(item, L"End", *event.end(), zone);
  if (SUCCEEDED(hr)) hr = PutBool(item, L"AllDayEvent", event.all_day());
  return hr;
}

HRESULT WriteNamedLong(IDispatch* item, LONG id, LONG number) {
  SPropValue value{};
  value.Value.l = number;
  return SetNamedProperty(item, PSETID_Appointment, id, value, PT_LONG);
}

HRESULT WriteNamedTime(IDispatch* item, const GUID& set, LONG id, FileTime time) {
  SPropValue value{};
  value.Value.ft.dwLowDateTime = static_cast<DWORD>(time & 0xFFFFFFFFu);
  value.Value.ft.dwHighDateTime = static_cast<DWORD>(time >> 32);
  return SetNamedProperty(item, set, id, value, PT_SYSTIME);
}

std::wstring Lower(const std::wstring& text) { return ToLower(text); }

// Whether a single event, or a series by its until date, still lies ahead.
bool StillAhead(const Event& event) {
  const DateTime now = DateTime::FromSystemTime(UtcNow());
  if (event.is_recurring() && event.recurrence() != nullptr) {
    const DateTime* until = event.recurrence()->until();
    return until == nullptr || *until > now;
  }
  return event.end() != nullptr && *event.end() > now;
}

// The zone a series' occurrences are named in: its own, or the machine's for an all-day
// series, whose dates float.
std::wstring OccurrenceZone(const Event& series) {
  return series.all_day() ? std::wstring(kLocalZone) : series.recurrence()->tzid();
}

HRESULT FindOccurrence(IDispatch* item, VARIANT& start, ComRef<IDispatch>& occurrence) {
  ComRef<IDispatch> pattern;
  HRESULT hr = CallForObject(item, L"GetRecurrencePattern", nullptr, pattern);
  if (SUCCEEDED(hr)) hr = CallForObject(pattern.get(), L"GetOccurrence", &start, occurrence);
  return hr;
}

// The 48-byte structure of a zone, with the machine's biases when asked for.
std::optional<std::vector<uint8_t>> ZoneStructure(const std::wstring& zone_id, bool local_biases) {
  ZoneRule rule;
  if (!TimeZoneMap::Instance().GetZoneRule(zone_id, rule)) return std::nullopt;
  if (local_biases) {
    const auto machine = MachineZoneBiases(UtcNow());
    if (!machine) return std::nullopt;
    rule.bias = machine->bias;
    rule.standard_bias = machine->standard_bias;
    rule.daylight_bias = machine->daylight_bias;
  }
  return EntryIdBytes(ZoneRuleToHex(rule));
}

}  // namespace

int Outlook::Import(const Event* event, std::wstring* new_id, DateTime* new_updated,
                    std::wstring*) {
  LogBlock block(L"Outlook::Import");
  if (event == nullptr) return E_POINTER;
  ComRef<IDispatch> item;
  HRESULT hr = CreateAppointment(item);
  if (FAILED(hr)) return hr;
  if (FAILED(hr = CallMethodNoArgs(item.get(), L"Save"))) return hr;
  // From here on the item is in the user's calendar: any failure takes it out again, so
  // that no blank appointment is left behind.
  const auto discard = [&](HRESULT result) {
    if (FAILED(CallMethodNoArgs(item.get(), L"Delete"))) {
      LogInfo(L"Error deleting unsuccessfully imported event");
    }
    return static_cast<int>(result);
  };
  std::wstring id;
  if (FAILED(hr = GetText(item.get(), L"EntryID", id))) {
    LogSevere(L"Error reading the ID of the new appointment");
    return discard(hr);
  }
  LPSPropValue encoded = nullptr;
  hr = GlobalObjectIdFromUid(event->ical_uid(), &encoded);
  if (SUCCEEDED(hr))
    hr = SetNamedProperty(item.get(), PSETID_Meeting, GLOBAL_OBJID, *encoded, PT_BINARY);
  MAPIFreeBuffer(encoded);
  if (FAILED(hr)) {
    LogSevere(L"Error updating Outlook ID");
    return discard(hr);
  }
  if (event->is_recurring() && FAILED(PutLong(item.get(), L"Sensitivity", kSensitivityPrivate))) {
    LogSevere(L"Error setting sensitivity");
  }
  DateTime updated;
  if ((hr = UpdateItem(id, event, item, &updated)) != S_OK) return discard(hr);
  *new_id = id;
  *new_updated = updated;
  return S_OK;
}

int Outlook::Update(const std::wstring& target_id, const Event* source, std::wstring* new_id,
                    DateTime* new_updated, std::wstring*) {
  if (source == nullptr) return E_POINTER;
  ComRef<IDispatch> item;
  HRESULT hr = GetItemFromId(target_id, item);
  if (FAILED(hr)) {
    LogSevere(L"Error getting item from ID");
    return hr;
  }
  DateTime updated;
  hr = UpdateItem(target_id, source, item, &updated);
  if (hr == S_OK) {
    *new_id = target_id;
    *new_updated = updated;
    return S_OK;
  }
  if (hr != S_FALSE) LogSevere(L"Error during Update");
  return hr;
}

HRESULT Outlook::UpdateItem(const std::wstring& id, const Event* event, ComRef<IDispatch>& item,
                            DateTime* new_updated) {
  LogBlock block(L"Outlook::Update");
  HRESULT hr = WriteText(event, item.get());
  if (FAILED(hr)) return hr;
  if (FAILED(hr = WriteNamedLong(item.get(), dispidApptSequence, event->sequence_num()))) return hr;
  if (FAILED(hr = WriteRecipients(event, item.get()))) return hr;
  if (FAILED(hr = WriteMeetingStatus(event, item.get()))) return hr;
  CallMethodNoArgs(item.get(), L"ClearRecurrencePattern");
  if (event->is_recurring() && event->recurrence() != nullptr) {
    if ((hr = UpdateSeries(id, event, item)) != S_OK) return hr;
  } else if (FAILED(hr = WriteTimes(item.get(), *event, kLocalZone))) {
    LogSevere(L"Error updating time");
    return hr;
  }
  return FinishItem(event, item.get(), new_updated);
}

HRESULT Outlook::WriteText(const Event* event, IDispatch* item) {
  HRESULT hr = PutText(item, L"Subject", event->title());
  if (SUCCEEDED(hr)) hr = PutText(item, L"Location", event->location());
  if (SUCCEEDED(hr)) hr = PutText(item, L"Body", event->body());
  if (FAILED(hr)) LogSevere(L"Error updating basic info");
  return hr;
}

HRESULT Outlook::WriteMeetingStatus(const Event* event, IDispatch* item) {
  const HRESULT hr = PutLong(item, L"MeetingStatus", OutlookMeetingStatus(*event, Lower(user_)));
  if (FAILED(hr)) LogSevere(L"Error updating status");
  return hr;
}

// The busy state, the reminder, the save, response tracking and the new modification time.
HRESULT Outlook::FinishItem(const Event* event, IDispatch* item, DateTime* new_updated) {
  HRESULT hr = WriteBusyState(event, item);
  if (FAILED(hr)) return hr;
  if (FAILED(hr = WriteReminder(event, item))) return hr;
  if (FAILED(hr = CallMethodNoArgs(item, L"Save"))) return hr;
  if (FAILED(hr = EnableResponseTracking(event, item))) return hr;
  std::unique_ptr<DateTime> updated;
  if (FAILED(hr = GetDateTime(item, L"LastModificationTime", false, updated))) {
    LogSevere(L"Error during getting last update time");
    return hr;
  }
  *new_updated = *updated;
  return S_OK;
}

HRESULT Outlook::EnableResponseTracking(const Event* event, IDispatch* item) {
  if (!event->HasGuests()) return S_OK;
  SPropValue value{};
  value.Value.b = 1;
  const HRESULT hr = SetNamedProperty(item, PSETID_Appointment, dispidFInvited, value, PT_BOOLEAN);
  if (FAILED(hr)) LogSevere(L"Failed to enable responses tracking for meeting.");
  return hr;
}

// The series steps: the pattern under the machine's biases, the exceptions, the safe save,
// the zone restored, the occurrences filled in, and the first occurrence's times.
HRESULT Outlook::UpdateSeries(const std::wstring& id, const Event* event, ComRef<IDispatch>& item) {
  const Recurrence& recurrence = *event->recurrence();
  HRESULT hr = CallMethodNoArgs(item.get(), L"Save");
  if (FAILED(hr)) return hr;
  if (FAILED(hr = SetRecurrenceTimeZone(recurrence, true, item.get()))) {
    LogSevere(L"Error resetting timezone");
    return hr;
  }
  const auto restore_zone = [&](HRESULT result) {
    SetRecurrenceTimeZone(recurrence, false, item.get());
    return result;
  };
  if (FAILED(hr = WriteRecurrencePattern(event, item.get()))) {
    LogSevere(L"Error updating recurrence");
    return restore_zone(hr);
  }
  if (FAILED(hr = CallMethodNoArgs(item.get(), L"Save"))) return restore_zone(hr);
  if (FAILED(hr = RescheduleOccurrences(event, item.get()))) {
    LogSevere(L"Error updating exceptions");
    return restore_zone(hr);
  }
  // A series that could not be saved keeps the machine's biases otherwise, and Outlook
  // would show every occurrence at a shifted time: the zone goes back in any case.
  if ((hr = SafeSave(event, item.get())) != S_OK) return restore_zone(hr);
  if (FAILED(hr = SetRecurrenceTimeZone(recurrence, false, item.get()))) {
    LogSevere(L"Error resetting timezone");
    return hr;
  }
  item = ComRef<IDispatch>();
  if (FAILED(hr = GetItemFromId(id, item))) return hr;
  if (FAILED(hr = FillOccurrences(event, item.get()))) {
    LogSevere(L"Error populating exception data");
    return hr;
  }
  return event->all_day() ? S_OK : WriteSeriesTimes(recurrence, item.get());
}

// The first occurrence's start and end in UTC, where Outlook's lists look for them.
HRESULT Outlook::WriteSeriesTimes(const Recurrence& recurrence, IDispatch* item) {
  if (recurrence.start() == nullptr) return E_FAIL;
  const DateTime end = AddSeconds(*recurrence.start(), recurrence.duration());
  const auto start_time = SystemTimeToFileTime(recurrence.start()->ToSystemTime());
  const auto end_time = SystemTimeToFileTime(end.ToSystemTime());
  if (!start_time || !end_time) return E_FAIL;
  HRESULT hr = WriteNamedTime(item, PSETID_Appointment, dispidApptStartWhole, *start_time);
  if (SUCCEEDED(hr)) hr = WriteNamedTime(item, PSETID_Common, dispidCommonStart, *start_time);
  if (SUCCEEDED(hr)) hr = WriteNamedTime(item, PSETID_Appointment, dispidApptEndWhole, *end_time);
  if (SUCCEEDED(hr)) hr = WriteNamedTime(item, PSETID_Common, dispidCommonEnd, *end_time);
  return hr;
}

HRESULT Outlook::WriteBusyState(const Event* event, IDispatch* item) {
  if (event->status() == kEventStatusCanceled) return S_OK;
  LONG busy = OutlookBusyStatus(*event);
  LONG intended = -1;
  if (IsInvitation(*event, Lower(user_))) {
    intended = busy;
    const auto own = event->guests().find(Lower(user_));
    if (own == event->guests().end()) {
      LogSevere(L"We are not invited!");
      LogSevere(L"Error updating busy status");
      return E_FAIL;
    }
    busy = OutlookBusyOfAnswer(busy, own->second.response_status);
  }
  HRESULT hr = S_OK;
  LONG current = 0;
  if (busy == kBusy && SUCCEEDED(GetLong(item, L"BusyStatus", current)) &&
      current == kOutOfOffice) {
    busy = kOutOfOffice;
  }
  if (SUCCEEDED(hr = PutLong(item, L"BusyStatus", busy))) {
    if (intended == kBusy) {
      NamedPropertyValue stored;
      if (SUCCEEDED(stored.Read(item, PSETID_Appointment, dispidIntendedBusyStatus)) &&
          PROP_TYPE(stored.value->ulPropTag) == PT_LONG && stored.value->Value.l == kOutOfOffice) {
        intended = kOutOfOffice;
      }
    }
    hr = WriteNamedLong(item, dispidIntendedBusyStatus, intended);
  }
  if (FAILED(hr)) LogSevere(L"Error updating busy status");
  return hr;
}

HRESULT Outlook::WriteReminder(const Event* event, IDispatch* item) {
  HRESULT hr = event->reminder_set()
                   ? SetUserProperty(item, kRealReminderSet, DecimalText(event->reminder_seconds()))
                   : DeleteUserProperty(item, kRealReminderSet);
  // Outlook would ring at once for a reminder of an event already over; the length is kept
  // in the user property and comes back with the event.
  if (SUCCEEDED(hr))
    hr = PutBool(item, L"ReminderSet", event->reminder_set() && StillAhead(*event));
  if (SUCCEEDED(hr) && event->reminder_set()) {
    LONG minutes = 0;
    hr = GetLong(item, L"ReminderMinutesBeforeStart", minutes);
    if (SUCCEEDED(hr) && RoundReminderSeconds(minutes * 60) != event->reminder_seconds()) {
      hr = PutLong(item, L"ReminderMinutesBeforeStart", event->reminder_seconds() / 60);
    }
  }
  if (FAILED(hr)) LogSevere(L"Error updating reminder");
  return hr;
}

HRESULT Outlook::WriteRecurrencePattern(const Event* event, IDispatch* item) {
  const Recurrence& recurrence = *event->recurrence();
  ComRef<IDispatch> pattern;
  HRESULT hr = CallForObject(item, L"GetRecurrencePattern", nullptr, pattern);
  if (FAILED(hr)) return hr;
  const Frequency frequency = recurrence.frequency();
  const int32_t days = recurrence.days_of_week();
  const LONG type = OutlookRecurrenceType(frequency, days);
  const bool by_position = type != 2 && type != 5;
  const std::wstring& zone = recurrence.tzid();
  if (recurrence.start() == nullptr) return E_FAIL;
  if (FAILED(hr = PutTime(pattern.get(), L"StartTime", *recurrence.start(), zone))) {
    if (hr == E_FAIL) LogSevere(L"recurrence.start_date->ToVariant is NULL");
    return hr;
  }
  if (FAILED(hr = PutLong(pattern.get(), L"Duration", recurrence.duration() / 60))) return hr;
  if (FAILED(hr = PutTime(pattern.get(), L"PatternStartDate", *recurrence.start(), zone, true))) {
    if (hr == E_FAIL) LogSevere(L"start_date->ToVariant is NULL");
    return hr;
  }
  if (FAILED(hr = PutBool(item, L"AllDayEvent", event->all_day()))) return hr;
  if (FAILED(hr = PutLong(pattern.get(), L"RecurrenceType", type))) return hr;
  const bool monthly_or_yearly = frequency == kFrequencyMonthly || frequency == kFrequencyYearly;
  if (by_position && days >= 1) {
    LogVerbose(L"Setting DayOfWeekMask:" + DecimalText(days));
    if (FAILED(hr = PutLong(pattern.get(), L"DayOfWeekMask", days))) return hr;
  }
  if (!by_position && monthly_or_yearly &&
      FAILED(hr = PutLong(pattern.get(), L"DayOfMonth", recurrence.month_day()))) {
    return hr;
  }
  if (frequency == kFrequencyYearly &&
      FAILED(hr = PutLong(pattern.get(), L"MonthOfYear", recurrence.month()))) {
    return hr;
  }
  if (by_position && monthly_or_yearly &&
      FAILED(hr = PutLong(pattern.get(), L"Instance", recurrence.ordwk()))) {
    return hr;
  }
  if (frequency != kFrequencyYearly &&
      FAILED(hr = PutLong(pattern.get(), L"Interval", recurrence.interval()))) {
    return hr;
  }
  return WritePatternEnd(recurrence, pattern.get());
}

HRESULT Outlook::WritePatternEnd(const Recurrence& recurrence, IDispatch* pattern) {
  if (recurrence.until() != nullptr) {
    SystemTime start, until;
    if (!ToZoneLocalTime(*recurrence.start(), recurrence.tzid(), start) ||
        !ToZoneLocalTime(*recurrence.until(), recurrence.tzid(), until)) {
      LogSevere(L"Unable to convert time");
      return E_FAIL;
    }
    DateTime last = *recurrence.until();
    const auto seconds = [](const SystemTime& t) {
      return (t.hour * 60 + t.minute) * 60 + t.second;
    };
    if (seconds(until) < seconds(start)) {
      LogVerbose(L"Subtracting one day");
      last = AddSeconds(last, -86400);
    }
    return PutTime(pattern, L"PatternEndDate", last, recurrence.tzid(), true);
  }
  if (recurrence.count() >= 0) return PutLong(pattern, L"Occurrences", recurrence.count());
  return S_OK;
}

HRESULT Outlook::SetRecurrenceTimeZone(const Recurrence& recurrence, bool use_local_biases,
                                       IDispatch* item) {
  const std::wstring& zone_id = recurrence.tzid();
  if (zone_id.empty()) {
    if (recurrence.start() != nullptr && recurrence.start()->date_only) return S_OK;
    LogSevere(L"Empty timezone information");
    return E_FAIL;
  }
  const auto structure = ZoneStructure(zone_id, use_local_biases);
  if (!structure || structure->size() != kTimeZoneStructSize) {
    LogSevere(L"Unable to find data for :" + zone_id);
    return E_FAIL;
  }
  NamedPropertyValue current;
  const bool present = SUCCEEDED(current.Read(item, PSETID_Appointment, dispidTimeZoneStruct)) &&
                       PROP_TYPE(current.value->ulPropTag) == PT_BINARY;
  if (present && std::vector<uint8_t>(current.value->Value.bin.lpb,
                                      current.value->Value.bin.lpb + current.value->Value.bin.cb) ==
                     *structure) {
    return S_OK;
  }
  std::vector<uint8_t> bytes = *structure;
  LogVerbose(L"Setting timezone :" +
             EntryIdText(SBinary{static_cast<ULONG>(bytes.size()), bytes.data()}));
  SPropValue value{};
  value.Value.bin = SBinary{static_cast<ULONG>(bytes.size()), bytes.data()};
  HRESULT hr = SetNamedProperty(item, PSETID_Appointment, dispidTimeZoneStruct, value, PT_BINARY);
  if (FAILED(hr)) return hr;
  hr = SetTimeZoneLabel(zone_id, item);
  if (present) settle_wait_(100);
  return hr;
}

HRESULT Outlook::SetTimeZoneLabel(const std::wstring& zone_id, IDispatch* item) {
  NamedPropertyValue current;
  const HRESULT read = current.Read(item, PSETID_Appointment, PidLidTimeZoneDescription);
  // An item that has no label yet is written one; only a read that failed stops here.
  if (FAILED(read) && read != MAPI_E_NOT_FOUND) {
    LogSevere(L"Unable to load tz label");
    return read;
  }
  std::wstring label;
  if (!TimeZoneMap::Instance().GetDisplayLabel(zone_id, label)) {
    LogSevere(L"Unable to find label for " + zone_id);
    label = zone_id;
  }
  if (SUCCEEDED(read) && PROP_TYPE(current.value->ulPropTag) == PT_UNICODE &&
      current.value->Value.lpszW != nullptr && label == current.value->Value.lpszW) {
    return S_OK;
  }
  SPropValue value{};
  value.Value.lpszW = label.data();
  return SetNamedProperty(item, PSETID_Appointment, PidLidTimeZoneDescription, value, PT_UNICODE);
}

// Moves and cancels the series' changed occurrences on the series item itself.
HRESULT Outlook::RescheduleOccurrences(const Event* series, IDispatch* item) {
  const std::wstring zone = OccurrenceZone(*series);
  for (Event* exception : series->recurrence()->ExceptionList()) {
    if (exception->original_date() == nullptr) return E_FAIL;
    Variant original;
    if (!DateTimeToVariant(*exception->original_date(), zone, original.value)) return E_FAIL;
    ComRef<IDispatch> occurrence;
    HRESULT hr = FindOccurrence(item, original.value, occurrence);
    if (FAILED(hr)) {
      LogSevere(L"Could not find exception");
      return hr;
    }
    if (exception->status() == kEventStatusCanceled) {
      hr = CallMethodNoArgs(occurrence.get(), L"Delete");
    } else if (SUCCEEDED(hr = WriteTimes(occurrence.get(), *exception, zone))) {
      hr = CallMethodNoArgs(occurrence.get(), L"Save");
    }
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

// Writes the fields of the changed occurrences, found at their new times.
HRESULT Outlook::FillOccurrences(const Event* series, IDispatch* item) {
  for (Event* exception : series->recurrence()->ExceptionList()) {
    if (exception->status() == kEventStatusCanceled) continue;
    Variant start;
    if (exception->start() == nullptr ||
        !DateTimeToVariant(*exception->start(), kLocalZone, start.value)) {
      return E_FAIL;
    }
    ComRef<IDispatch> occurrence;
    HRESULT hr = FindOccurrence(item, start.value, occurrence);
    if (FAILED(hr)) {
      LogSevere(L"Could not get exception by start date");
      return hr;
    }
    if (FAILED(hr = UpdateException(exception, occurrence.get()))) return hr;
  }
  return S_OK;
}

HRESULT Outlook::UpdateException(const Event* exception, IDispatch* occurrence) {
  LogBlock block(L"Outlook::UpdateException");
  HRESULT hr = WriteText(exception, occurrence);
  if (FAILED(hr)) return hr;
  if (FAILED(hr = WriteReminder(exception, occurrence))) return hr;
  if (FAILED(hr = WriteNamedLong(occurrence, dispidApptSequence, exception->sequence_num()))) {
    return hr;
  }
  if (FAILED(hr = WriteRecipients(exception, occurrence))) return hr;
  if (FAILED(hr = WriteMeetingStatus(exception, occurrence))) return hr;
  if (FAILED(hr = WriteBusyState(exception, occurrence))) return hr;
  if (FAILED(hr = CallMethodNoArgs(occurrence, L"Save"))) return hr;
  return EnableResponseTracking(exception, occurrence);
}

}  // namespace calendar_mirrow_addin
