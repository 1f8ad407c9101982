// Reading an appointment in full: its text, times, guests, free/busy state, sequence,
// recurrence with zone and exceptions, and reminder.

#include <utility>

#include "base/local_time.h"
#include "base/logger.h"
#include "base/text.h"
#include "model/recurrence.h"
#include "model/time_zone_map.h"
#include "outlook/dispatch_values.h"
#include "outlook/mapi_access.h"
#include "outlook/outlook.h"
#include "outlook/outlook_values.h"
#include "platform/com/oleaut.h"

namespace calendar_mirrow_addin {

namespace {

constexpr LONG kUserPropertyText = 1;  // olText

std::wstring Lower(const std::wstring& text) { return ToLower(text); }

bool HasAt(const std::wstring& text) { return text.find(L'@') != std::wstring::npos; }

std::wstring HexOf(const SBinary& bytes) { return EntryIdText(bytes); }

std::optional<SystemTime> SplitDate(DATE date) {
  SYSTEMTIME system{};
  if (VariantTimeToSystemTime(date, &system) == 0) return std::nullopt;
  return SystemTime{system.wYear, system.wMonth,  system.wDayOfWeek, system.wDay,
                    system.wHour, system.wMinute, system.wSecond,    system.wMilliseconds};
}

// Pops the event being loaded whatever way the load ends.
class LoadingEntry {
 public:
  LoadingEntry(std::vector<Event*>& stack, Event* event) : stack_(stack) {
    stack_.push_back(event);
  }
  ~LoadingEntry() { stack_.pop_back(); }
  LoadingEntry(const LoadingEntry&) = delete;
  LoadingEntry& operator=(const LoadingEntry&) = delete;

 private:
  std::vector<Event*>& stack_;
};

}  // namespace

bool Outlook::Load(Event* event) {
  if (event == nullptr) return false;
  LogInfo(L"Loading outlook event " + event->id());
  ComRef<IDispatch> item;
  if (FAILED(GetItemFromId(event->id(), item))) {
    event->set_load_failed(true);
    LogSevere(L"Error getting item from ID");
    return false;
  }
  if (FAILED(LoadFromItem(item.get(), false, event))) {
    event->set_load_failed(true);
    LogSevere(L"Load failed (see details above)");
    return false;
  }
  return true;
}

HRESULT Outlook::LoadFromItem(IDispatch* item, bool is_exception, Event* event) {
  LogBlock block(L"Outlook::Load");
  LoadingEntry entry(loading_, event);
  std::wstring text;
  HRESULT hr;
  for (const auto& [name, setter] :
       {std::pair{L"Location", &Event::set_location}, std::pair{L"Subject", &Event::set_title},
        std::pair{L"Body", &Event::set_body}}) {
    if (FAILED(hr = GetText(item, name, text))) return hr;
    (event->*setter)(text);
  }
  if (FAILED(hr = LoadTimes(item, event))) return hr;
  if (FAILED(hr = LoadGuests(item, event))) return hr;
  if (event->HasGuests() && !event->HasGuest(Lower(user_))) {
    LONG response = 0;
    if (FAILED(hr = GetLong(item, L"ResponseStatus", response))) return hr;
    event->AddGuest(Lower(user_), L"", kAttendanceOptional, ResponseFromOutlook(response));
  }
  if (FAILED(hr = LoadBusyState(item, event))) return hr;
  NamedPropertyValue sequence;
  event->set_sequence_num(SUCCEEDED(sequence.Read(item, PSETID_Appointment, dispidApptSequence)) &&
                                  PROP_TYPE(sequence.value->ulPropTag) == PT_LONG
                              ? sequence.value->Value.l
                              : 0);
  if (is_exception) {
    event->set_is_recurring(false);
  } else if (FAILED(hr = LoadRecurrence(item, event))) {
    return hr;
  }
  if (FAILED(hr = LoadReminder(item, event))) return hr;
  if (event->is_recurring() && event->recurrence() != nullptr) {
    for (Event* exception : event->recurrence()->ExceptionList()) {
      exception->set_ical_uid(event->ical_uid());
      if (exception->load_failed()) event->set_load_failed(true);
    }
  }
  return S_OK;
}

HRESULT Outlook::LoadTimes(IDispatch* item, Event* event) {
  bool all_day = false;
  HRESULT hr = GetBool(item, L"AllDayEvent", all_day);
  if (FAILED(hr)) return hr;
  event->set_all_day(all_day);
  for (const auto& [name, missing, setter] :
       {std::tuple{L"Start", L" has no start time", &Event::set_start},
        std::tuple{L"End", L" has no end time", &Event::set_end}}) {
    Variant value;
    if (FAILED(hr = GetProperty(item, name, &value.value))) return hr;
    auto time = VariantToDateTime(value.value, all_day);
    if (!time) {
      LogSevere(L"Outlook appointment " + event->id() + missing);
      return E_FAIL;
    }
    (event->*setter)(std::move(time));
  }
  return S_OK;
}

HRESULT Outlook::LoadBusyState(IDispatch* item, Event* event) {
  LONG busy = 0;
  const HRESULT hr = GetLong(item, L"BusyStatus", busy);
  if (FAILED(hr)) return hr;
  const auto own = event->guests().find(Lower(user_));
  const bool organizer =
      own != event->guests().end() && own->second.attendance_type == kAttendanceOrganizer;
  if (event->HasGuests() && !organizer) {
    NamedPropertyValue intended;
    if (SUCCEEDED(intended.Read(item, PSETID_Appointment, dispidIntendedBusyStatus)) &&
        PROP_TYPE(intended.value->ulPropTag) == PT_LONG) {
      if (intended.value->Value.l >= 0 && intended.value->Value.l <= 3) {
        busy = intended.value->Value.l;
      }
    } else {
      LogVerbose(L"Error reading BusyStatus, use COM's");
    }
  }
  const BusyState state = BusyStateFromOutlook(busy);
  if (!state.known) LogInfo(L"Unknown BusyStatus value:" + DecimalText(busy));
  event->set_status(state.status);
  event->set_busy_status(state.busy_status);
  return S_OK;
}

// Whether a series that is not a meeting itself has an occurrence that became one.
HRESULT Outlook::HasMeetingException(IDispatch* item, bool* found) {
  *found = false;
  bool recurring = false;
  HRESULT hr = GetBool(item, L"IsRecurring", recurring);
  if (FAILED(hr) || !recurring) return hr;
  ComRef<IDispatch> pattern, exceptions;
  if (FAILED(hr = CallForObject(item, L"GetRecurrencePattern", nullptr, pattern))) return hr;
  if (FAILED(hr = GetObjectProperty(pattern.get(), L"Exceptions", exceptions))) return hr;
  LONG count = 0;
  if (FAILED(hr = GetLong(exceptions.get(), L"Count", count))) return hr;
  for (LONG i = 1; i <= count && !*found; ++i) {
    ComRef<IDispatch> exception, occurrence;
    bool deleted = false;
    if (FAILED(hr = GetItem(exceptions.get(), i, exception))) return hr;
    if (FAILED(hr = GetBool(exception.get(), L"Deleted", deleted))) return hr;
    if (deleted) continue;
    if (FAILED(hr = GetObjectProperty(exception.get(), L"AppointmentItem", occurrence))) return hr;
    LONG status = 0;
    if (FAILED(hr = GetLong(occurrence.get(), L"MeetingStatus", status))) return hr;
    *found = status != 0;
  }
  return S_OK;
}

HRESULT Outlook::LoadGuests(IDispatch* item, Event* event) {
  LONG meeting_status = 0;
  HRESULT hr = GetLong(item, L"MeetingStatus", meeting_status);
  if (FAILED(hr)) return hr;
  if (meeting_status == 0) {
    bool meeting_exception = false;
    if (FAILED(hr = HasMeetingException(item, &meeting_exception))) return hr;
    if (!meeting_exception) return S_OK;
  }
  std::wstring organizer;
  if (FAILED(hr = GetOrganizerEmail(item, &organizer))) return hr;
  ComRef<IDispatch> recipients;
  if (FAILED(hr = GetObjectProperty(item, L"Recipients", recipients))) return hr;
  LONG count = 0;
  if (FAILED(hr = GetLong(recipients.get(), L"Count", count))) return hr;
  for (LONG i = 1; i <= count; ++i) {
    ComRef<IDispatch> recipient;
    if (FAILED(hr = GetItem(recipients.get(), i, recipient))) return hr;
    if (FAILED(hr = LoadGuest(item, recipient.get(), organizer, event))) return hr;
  }
  event->AddGuest(Lower(organizer), organizer, kAttendanceOrganizer, kResponseAccepted);
  return S_OK;
}

// One recipient as a guest; recipients without a usable address are left out.
HRESULT Outlook::LoadGuest(IDispatch* item, IDispatch* recipient, const std::wstring& organizer,
                           Event* event) {
  std::wstring type, address;
  ComRef<IDispatch> entry;
  HRESULT hr;
  if (SUCCEEDED(GetObjectProperty(recipient, L"AddressEntry", entry))) {
    if (FAILED(GetText(entry.get(), L"Type", type))) {
      LogSevere(L"Unable to load address type");
      type.clear();
    }
    if (FAILED(hr = GetText(entry.get(), L"Address", address))) return hr;
  } else if (FAILED(hr = GetText(recipient, L"Address", address))) {
    return hr;
  }
  if (type == L"UNKNOWN") {
    LogInfo(L"Unknown address, skipping " + address);
    return S_OK;
  }
  const bool exchange = type == L"EX";
  if (exchange || !HasAt(address)) {
    LogVerbose(L"Exchange address " + address + L" isExchangeAddress:" + (exchange ? L"1" : L"0"));
    std::wstring resolved;
    const HRESULT code = ResolveRecipientEmail(address, &resolved);
    if (code == kRecipientNotFound) return S_OK;
    if (code != S_OK) return code;
    address = resolved;
  }
  std::wstring name;
  if (FAILED(hr = GetText(recipient, L"Name", name))) return hr;
  const bool own = Lower(address) == Lower(user_);
  LONG response = 0;
  hr = own && Lower(user_) != Lower(organizer)
           ? GetLong(item, L"ResponseStatus", response)
           : GetLong(recipient, L"MeetingResponseStatus", response);
  if (FAILED(hr)) return hr;
  // The organizer is added on its own. Addresses differ in case between the address book
  // and the series' guests, and an organizer taken for a guest would reach the web as one.
  if (!address.empty() && Lower(address) == Lower(organizer)) return S_OK;
  LONG type_value = 0;
  if (FAILED(hr = GetLong(recipient, L"Type", type_value))) return hr;
  const RecipientRole role = RoleFromOutlook(type_value);
  if (!role.valid) {
    LogSevere(L"Invalid type value in " + event->id() + L": " + DecimalText(type_value));
    return E_FAIL;
  }
  if (role.attendance) {
    event->AddGuest(Lower(address), name, *role.attendance, ResponseFromOutlook(response));
  }
  return S_OK;
}

HRESULT Outlook::ReadRecurrenceEndType(IDispatch* item, uint8_t* end_type) {
  NamedPropertyValue data;
  const HRESULT hr = data.Read(item, PSETID_Appointment, dispidApptRecur);
  if (FAILED(hr) || PROP_TYPE(data.value->ulPropTag) != PT_BINARY) {
    LogSevere(L"Unable to load recurrence data via MAPI");
    return FAILED(hr) ? hr : E_FAIL;
  }
  const EndTypeResult result = RecurrenceEndType(
      std::span<const uint8_t>(data.value->Value.bin.lpb, data.value->Value.bin.cb));
  if (result.too_short) {
    LogSevere(L"Unexpected structure of the recurrence data in MAPI");
    return E_FAIL;
  }
  if (!result.valid) {
    LogSevere(L"Unexpected value of pattern termination byte: " + DecimalText(result.end_type));
    return E_FAIL;
  }
  *end_type = result.end_type;
  return S_OK;
}

// The series' zone as an Olson id, from the time-zone structure and label of the item.
HRESULT Outlook::LoadRecurrenceZone(IDispatch* item, std::wstring* tzid) {
  NamedPropertyValue zone;
  HRESULT hr = zone.Read(item, PSETID_Appointment, dispidTimeZoneStruct);
  if (FAILED(hr)) return hr;
  const SBinary bytes =
      PROP_TYPE(zone.value->ulPropTag) == PT_BINARY ? zone.value->Value.bin : SBinary{0, nullptr};
  if (bytes.cb != kTimeZoneStructSize) {
    LogSevere(L"dispidTimeZoneStruct contains wrong value: " + HexOf(bytes));
    return E_FAIL;
  }
  NamedPropertyValue label;
  hr = label.Read(item, PSETID_Appointment, PidLidTimeZoneDescription);
  if (FAILED(hr) || PROP_TYPE(label.value->ulPropTag) != PT_UNICODE) {
    LogSevere(L"Unable to load tz label");
    return FAILED(hr) ? hr : E_FAIL;
  }
  ZoneRule rule;
  if (!ZoneRuleFromHex(HexOf(bytes), &rule) ||
      !TimeZoneMap::Instance().FindOlsonName(rule, label.value->Value.lpszW, *tzid)) {
    LogSevere(L"Unable to find olson id for :" + HexOf(bytes));
    return E_FAIL;
  }
  return S_OK;
}

HRESULT Outlook::LoadRecurrence(IDispatch* item, Event* event) {
  bool recurring = false;
  HRESULT hr = GetBool(item, L"IsRecurring", recurring);
  if (FAILED(hr)) return hr;
  event->set_is_recurring(recurring);
  if (!recurring) return S_OK;
  event->set_recurrence(std::make_unique<Recurrence>());
  Recurrence& recurrence = *event->mutable_recurrence();
  const bool all_day = event->all_day();
  std::wstring tzid;
  if (!all_day && FAILED(hr = LoadRecurrenceZone(item, &tzid))) return hr;
  recurrence.set_tzid(tzid);

  ComRef<IDispatch> pattern;
  if (FAILED(hr = CallForObject(item, L"GetRecurrencePattern", nullptr, pattern))) return hr;
  if (FAILED(hr = LoadRecurrenceTimes(item, pattern.get(), recurrence, all_day))) return hr;
  if (FAILED(hr = LoadRecurrenceRule(pattern.get(), recurrence))) return hr;
  if (FAILED(hr = LoadExceptions(item, pattern.get(), event))) return hr;
  return LoadRecurrenceText(item, recurrence);
}

// Start, duration and end of a series, in the series' zone.
HRESULT Outlook::LoadRecurrenceTimes(IDispatch* item, IDispatch* pattern, Recurrence& recurrence,
                                     bool all_day) {
  DATE start_date = 0, start_time = 0;
  LONG duration = 0;
  HRESULT hr;
  if (FAILED(hr = GetDate(pattern, L"PatternStartDate", start_date))) return hr;
  if (FAILED(hr = GetDate(pattern, L"StartTime", start_time))) return hr;
  if (FAILED(hr = GetLong(pattern, L"Duration", duration))) return hr;
  recurrence.set_duration(duration * 60);
  const auto day = SplitDate(start_date);
  const auto time = SplitDate(start_time);
  std::unique_ptr<DateTime> start;
  if (day && time) {
    SystemTime local = *day;
    if (!all_day) {
      local.hour = time->hour;
      local.minute = time->minute;
      local.second = time->second;
      local.milliseconds = time->milliseconds;
    }
    start = DateTime::FromZoneLocalTime(local, recurrence.tzid(), all_day);
  }
  if (!start) {
    LogSevere(L"Recurrence has no start date");
    return E_FAIL;
  }
  recurrence.set_start(std::move(start));

  bool no_end = false;
  uint8_t end_type = kNeverEnds;
  if (FAILED(hr = GetBool(pattern, L"NoEndDate", no_end))) return hr;
  if (FAILED(hr = ReadRecurrenceEndType(item, &end_type))) return hr;
  if (no_end) {
    if (end_type == kNeverEnds) return S_OK;
    LogSevere(L"Inconsistent pattern end date");
    return E_FAIL;
  }
  if (end_type == kEndsAfterCount) {
    LONG count = 0;
    if (FAILED(hr = GetLong(pattern, L"Occurrences", count))) return hr;
    recurrence.set_count(count);
    return S_OK;
  }
  DATE end_date = 0;
  if (FAILED(hr = GetDate(pattern, L"PatternEndDate", end_date))) return hr;
  std::unique_ptr<DateTime> until;
  if (const auto end_day = SplitDate(end_date); end_day && time) {
    SystemTime local = *end_day;
    if (!all_day) {
      local.hour = time->hour;
      local.minute = time->minute;
    }
    until = DateTime::FromZoneLocalTime(local, recurrence.tzid(), all_day);
  }
  if (!until) {
    LogSevere(L"Recurrence has no until date");
    return E_FAIL;
  }
  recurrence.set_until(std::move(until));
  return S_OK;
}

// The rule's frequency and fields.
HRESULT Outlook::LoadRecurrenceRule(IDispatch* pattern, Recurrence& recurrence) {
  LONG type = 0;
  HRESULT hr = GetLong(pattern, L"RecurrenceType", type);
  if (FAILED(hr)) return hr;
  const auto kind = RecurrenceKindFromOutlook(type);
  if (!kind) {
    LogSevere(L"Unknown RecurrenceType value: " + DecimalText(type));
    return E_FAIL;
  }
  recurrence.set_frequency(kind->frequency);
  LONG value = 0;
  if (kind->frequency != kFrequencyYearly) {
    if (FAILED(hr = GetLong(pattern, L"Interval", value))) return hr;
    recurrence.set_interval(value);
  }
  if (kind->by_position) {
    if (type == 3 || type == 6) {
      if (FAILED(hr = GetLong(pattern, L"Instance", value))) return hr;
      recurrence.set_ordwk(value);
    }
    if (FAILED(hr = GetLong(pattern, L"DayOfWeekMask", value))) return hr;
    recurrence.set_days_of_week(DaysFromOutlookMask(value));
  } else {
    if (FAILED(hr = GetLong(pattern, L"DayOfMonth", value))) return hr;
    if (value == 0) {
      LogSevere(L"DayOfMonth value is 0");
      return E_FAIL;
    }
    recurrence.set_month_day(value);
  }
  if (kind->frequency == kFrequencyYearly) {
    // A series whose month cannot be read would reach the web with a wrong rule and
    // without its exceptions: such an event is not loaded.
    if (FAILED(GetLong(pattern, L"MonthOfYear", value)) || value < 1 || value > 12) {
      LogSevere(L"Invalid MonthOfYear value");
      return E_FAIL;
    }
    recurrence.set_month(value);
  }
  return S_OK;
}

HRESULT Outlook::LoadExceptions(IDispatch* item, IDispatch* pattern, Event* event) {
  ComRef<IDispatch> exceptions;
  HRESULT hr = GetObjectProperty(pattern, L"Exceptions", exceptions);
  if (FAILED(hr)) return hr;
  LONG count = 0;
  if (FAILED(hr = GetLong(exceptions.get(), L"Count", count))) return hr;
  Recurrence& recurrence = *event->mutable_recurrence();
  for (LONG i = 1; i <= count; ++i) {
    ComRef<IDispatch> exception;
    if (FAILED(hr = GetItem(exceptions.get(), i, exception))) return hr;
    auto loaded =
        CreateFromException(item, exception.get(), event, *recurrence.start(), recurrence.tzid());
    if (!loaded) continue;
    if (loaded->status() == kEventStatusCanceled) {
      for (const auto& [email, guest] : event->guests()) {
        loaded->AddGuest(email, guest.name, guest.attendance_type, guest.response_status);
      }
    }
    recurrence.AddException(std::move(loaded));
  }
  return S_OK;
}

// The iCalendar text kept with the series: reused while it still says what Outlook holds.
HRESULT Outlook::LoadRecurrenceText(IDispatch* item, Recurrence& recurrence) {
  ComRef<IDispatch> property;
  HRESULT hr = FindUserProperty(item, kRecurrenceIdProperty, property);
  if (FAILED(hr)) return hr;
  std::wstring text;
  if (!property) {
    if (FAILED(hr = AddUserProperty(item, kRecurrenceIdProperty, kUserPropertyText, property))) {
      return hr;
    }
  } else if (FAILED(hr = GetText(property.get(), L"Value", text))) {
    return hr;
  }
  if (!text.empty()) {
    const auto parsed = ParseRecurrence(text);
    if (!parsed || !RecurrenceEquals(parsed.get(), &recurrence)) text.clear();
  }
  if (text.empty()) {
    text = GenerateICal(recurrence);
    if (FAILED(hr = PutText(property.get(), L"Value", text))) return hr;
  }
  recurrence.set_text(text);
  return S_OK;
}

HRESULT Outlook::LoadReminder(IDispatch* item, Event* event) {
  bool set = false;
  HRESULT hr = GetBool(item, L"ReminderSet", set);
  if (FAILED(hr)) return hr;
  int32_t seconds = -1;
  if (set) {
    LONG minutes = 0;
    if (FAILED(hr = GetLong(item, L"ReminderMinutesBeforeStart", minutes))) return hr;
    seconds = minutes * 60;
  } else {
    ComRef<IDispatch> property;
    std::wstring text;
    if (SUCCEEDED(FindUserProperty(item, kRealReminderSet, property)) && property &&
        SUCCEEDED(GetText(property.get(), L"Value", text))) {
      if (!Trim(text).empty()) seconds = ParseDecimal(text);
      set = seconds != -1;
    }
  }
  event->set_reminder_set(set);
  event->set_reminder_seconds(RoundReminderSeconds(seconds));
  return S_OK;
}

std::unique_ptr<Event> Outlook::CreateFromException(IDispatch* series_item, IDispatch* exception,
                                                    Event* series_event,
                                                    const DateTime& series_start,
                                                    const std::wstring& zone_id) {
  LogBlock block(L"Outlook::CreateFromException");
  (void)series_event;
  bool deleted = false;
  if (FAILED(GetBool(exception, L"Deleted", deleted))) return nullptr;
  auto event = std::make_unique<Event>();
  if (deleted) {
    event->set_status(kEventStatusCanceled);
  } else {
    ComRef<IDispatch> occurrence;
    std::wstring id;
    if (FAILED(GetObjectProperty(exception, L"AppointmentItem", occurrence)) ||
        FAILED(GetText(occurrence.get(), L"EntryID", id))) {
      return nullptr;
    }
    event->set_id(id);
    LogVerbose(L"Partially loading outlook event " + id);
    std::unique_ptr<DateTime> updated;
    if (FAILED(GetDateTime(occurrence.get(), L"LastModificationTime", false, updated))) {
      LogSevere(L"Outlook appointment " + id + L" has NULL update time");
      return nullptr;
    }
    event->set_updated(std::move(updated));
    if (FAILED(LoadFromItem(occurrence.get(), true, event.get()))) {
      event->set_load_failed(true);
      LogSevere(L"Load failed (see details above)");
    }
  }
  return SetOriginalDate(series_item, exception, series_start, zone_id, std::move(event));
}

// The date the occurrence had in the series, which identifies it on both sides.
std::unique_ptr<Event> Outlook::SetOriginalDate(IDispatch* series_item, IDispatch* exception,
                                                const DateTime& series_start,
                                                const std::wstring& zone_id,
                                                std::unique_ptr<Event> event) {
  Variant original;
  bool all_day = false, deleted = false;
  if (FAILED(GetProperty(exception, L"OriginalDate", &original.value)) ||
      FAILED(GetBool(series_item, L"AllDayEvent", all_day)) ||
      FAILED(GetBool(exception, L"Deleted", deleted))) {
    return event;
  }
  if (!deleted || all_day) {
    auto date = VariantToDateTime(original.value, all_day);
    if (!date) return nullptr;
    event->set_original_date(std::move(date));
    return event;
  }
  // A deleted occurrence keeps only its date in Outlook; its time of day is the series
  // start's, seen from this machine's zone, and the day moves with the zone difference.
  const auto day = original.value.vt == VT_DATE ? SplitDate(original.value.date) : std::nullopt;
  SystemTime zone_start, local_start;
  if (!day || !ToZoneLocalTime(series_start, zone_id, zone_start)) return event;
  const auto machine = MachineUtcToLocal(series_start.ToSystemTime());
  if (!machine) return event;
  local_start = *machine;
  SystemTime local = *day;
  local.hour = local_start.hour;
  local.minute = local_start.minute;
  local.second = local_start.second;
  local.milliseconds = local_start.milliseconds;
  auto date = DateTime::FromLocalSystemTime(local, false);
  if (!date) return nullptr;
  const int zone_day = zone_start.day, local_day = local_start.day;
  if (local_day == zone_day + 1 || (local_day != zone_day && zone_day > local_day + 1)) {
    *date = AddSeconds(*date, 86400);
  } else if (zone_day == local_day + 1 || (local_day != zone_day && local_day > zone_day + 1)) {
    *date = AddSeconds(*date, -86400);
  }
  event->set_original_date(std::move(date));
  return event;
}

}  // namespace calendar_mirrow_addin
