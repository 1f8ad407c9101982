// Reading entries into events. Nothing the service sends is trusted: an entry whose
// identity cannot be read is refused, and a field that cannot be read, or reads as
// something no calendar could hold, marks the event load_failed so that the sync leaves it
// alone rather than copying made-up values to the other side.

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "base/logger.h"
#include "base/text.h"
#include "model/recurrence.h"
#include "webcal/entry_dom.h"
#include "webcal/nxcal.h"
#include "webcal/nxcal_schema.h"

namespace calendar_mirrow_addin {

using platform::XmlNode;

namespace {

// The years an event may fall in: what both calendars can represent.
constexpr int kFirstYear = 1601;
constexpr int kLastYear = 9999;

std::wstring Ds(const wchar_t* suffix) { return std::wstring(kDataSchema) + suffix; }

void LogLoadFailure(const wchar_t* step, HRESULT hr, Event* event) {
  event->set_load_failed(true);
  LogSevere(std::wstring(step) + L" FAILED : hr=" + DecimalText(hr));
}

// The integer rule (leading blanks, one sign, digits to the first non-digit; no digits read
// as 0), but none when the number does not fit in 32 bits instead of a saturated value.
std::optional<int32_t> ReadInt32(std::wstring_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == L' ' || (text[i] >= L'\t' && text[i] <= L'\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    value = value * 10 + (text[i] - L'0');
    if (value > int64_t{std::numeric_limits<int32_t>::max()} + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max()) return std::nullopt;
  return static_cast<int32_t>(value);
}

// ParseIso, limited to the years an event may fall in. The year is also checked as written,
// so that a year too large for the value's field cannot come back as a smaller one.
std::unique_ptr<DateTime> ParseEventTime(std::wstring_view text) {
  std::unique_ptr<DateTime> value = ParseIso(text);
  if (!value || value->year < kFirstYear || value->year > kLastYear) return nullptr;
  const auto parts = SplitTokens(text, L"T");
  const auto date = parts.empty() ? parts : SplitTokens(parts[0], L"-");
  if (date.empty()) return nullptr;
  const int32_t written_year = ParseDecimal(date[0]);
  if (written_year < kFirstYear || written_year > kLastYear) return nullptr;
  return value;
}

HRESULT LoadID(const XmlNode& entry, Event* event) {
  std::wstring id;
  const HRESULT hr = GetChildText(entry, L"id", &id);
  if (hr != S_OK) return hr;
  event->set_id(std::move(id));
  return S_OK;
}

HRESULT LoadUpdated(const XmlNode& entry, Event* event) {
  std::wstring text;
  const HRESULT hr = GetChildText(entry, L"updated", &text);
  if (hr != S_OK) return hr;
  std::unique_ptr<DateTime> updated = ParseEventTime(text);
  if (!updated) return E_FAIL;
  event->set_updated(std::move(updated));
  return S_OK;
}

HRESULT LoadIcalUID(const XmlNode& entry, Event* event) {
  std::wstring uid;
  const HRESULT hr = GetChildAttribute(entry, L"nxCal:uid", L"value", &uid);
  if (hr == S_OK) event->set_ical_uid(std::move(uid));
  return hr;
}

HRESULT LoadOriginalEvent(const XmlNode& entry, Event* event) {
  const XmlNode original = entry.SelectSingle(L"nxd:originalEvent");
  if (!original) return S_OK;
  std::wstring text;
  const HRESULT hr = GetChildAttribute(original, L"nxd:when", L"startTime", &text);
  if (hr != S_OK) return hr;
  std::unique_ptr<DateTime> date = ParseEventTime(text);
  if (!date) return E_FAIL;
  event->set_original_date(std::move(date));
  return S_OK;
}

HRESULT LoadBasicInfo(const XmlNode& entry, Event* event) {
  std::wstring text;
  if (GetChildText(entry, L"title", &text) == S_OK) event->set_title(std::move(text));
  const std::wstring where_pattern =
      std::wstring(L"nxd:where[not(@rel) or (@rel='") + kDataSchema + L"#event')]/@valueString";
  if (GetPatternValue(entry, where_pattern, &text) == S_OK) event->set_location(std::move(text));
  if (GetChildText(entry, L"content", &text) == S_OK) event->set_body(std::move(text));
  return S_OK;
}

HRESULT LoadTime(const XmlNode& entry, Event* event) {
  std::wstring text;
  if (GetChildAttribute(entry, L"nxd:when", L"startTime", &text) != S_OK) return S_OK;
  event->set_all_day(text.size() == 10);
  std::unique_ptr<DateTime> start = ParseEventTime(text);
  if (!start) {
    LogSevere(L"No start time in event " + event->id());
    return E_FAIL;
  }
  event->set_start(std::move(start));
  const HRESULT hr = GetChildAttribute(entry, L"nxd:when", L"endTime", &text);
  if (hr != S_OK) return hr;
  std::unique_ptr<DateTime> end = ParseEventTime(text);
  if (!end) {
    LogSevere(L"No end time in event " + event->id());
    return E_FAIL;
  }
  event->set_end(std::move(end));
  if (event->start()->date_only != event->end()->date_only) {
    LogSevere(L"start and end times have different all_day properties");
    return E_FAIL;
  }
  if (*event->end() < *event->start()) {
    LogSevere(L"End before start in event " + event->id());
    return E_FAIL;
  }
  return S_OK;
}

HRESULT LoadTransparency(const XmlNode& entry, Event* event) {
  std::wstring value;
  const HRESULT hr = GetChildAttribute(entry, L"nxd:transparency", L"value", &value);
  if (hr == S_OK) {
    event->set_busy_status(value == Ds(L"#event.transparent") ? kBusyStatusFree : kBusyStatusBusy);
  }
  return hr;
}

HRESULT LoadEventStatus(const XmlNode& entry, Event* event) {
  std::wstring value;
  const HRESULT hr = GetChildAttribute(entry, L"nxd:eventStatus", L"value", &value);
  if (hr != S_OK) return hr;
  if (value == Ds(L"#event.canceled")) {
    event->set_status(kEventStatusCanceled);
  } else if (value == Ds(L"#event.confirmed")) {
    event->set_status(kEventStatusConfirmed);
  } else if (value == Ds(L"#event.tentative")) {
    event->set_status(kEventStatusTentative);
  }
  return S_OK;
}

HRESULT LoadAttendees(const XmlNode& entry, Event* event) {
  const std::optional<std::vector<XmlNode>> people = entry.Select(L"nxd:who");
  if (!people) return E_FAIL;
  const std::wstring organizer_rel = Ds(L"#event.organizer");
  for (const XmlNode& who : *people) {
    const std::optional<std::wstring> rel = who.Attribute(L"rel");
    if (!rel) return S_FALSE;
    const bool organizer = *rel == organizer_rel;
    std::wstring status;
    if (GetChildAttribute(who, L"nxd:attendeeStatus", L"value", &status) != S_OK) status.clear();
    // The service names the organizer of an event nobody was invited to; that is no guest.
    if (people->size() == 1 && organizer && status.empty()) return S_OK;

    const std::wstring email = ToLower(who.Attribute(L"email").value_or(std::wstring()));
    std::wstring name = who.Attribute(L"valueString").value_or(std::wstring());
    if (name.empty()) name = email;
    AttendanceType type = kAttendanceOrganizer;
    if (!organizer) {
      std::wstring attendee_type;
      GetChildAttribute(who, L"nxd:attendeeType", L"value", &attendee_type);
      type = attendee_type == Ds(L"#event.optional") ? kAttendanceOptional : kAttendanceRequired;
    }
    ResponseStatus response = kResponseInvited;
    if (status == Ds(L"#event.accepted")) {
      response = kResponseAccepted;
    } else if (status == Ds(L"#event.declined")) {
      response = kResponseDeclined;
    } else if (status == Ds(L"#event.tentative")) {
      response = kResponseTentative;
    }
    event->AddGuest(email, name, type, response);
  }
  return S_OK;
}

HRESULT LoadRecurrence(const XmlNode& entry, Event* event) {
  const XmlNode element = entry.SelectSingle(L"nxd:recurrence");
  event->set_is_recurring(static_cast<bool>(element));
  if (!element) return S_OK;
  std::wstring text;
  const HRESULT hr = GetChildText(entry, L"nxd:recurrence", &text);
  if (hr != S_OK) return hr;
  std::unique_ptr<Recurrence> recurrence = ParseRecurrence(text);
  if (!recurrence) return E_FAIL;
  if (recurrence->start() == nullptr) return E_FAIL;
  event->set_all_day(recurrence->start()->date_only);
  event->set_recurrence(std::move(recurrence));
  return S_OK;
}

HRESULT LoadReminder(const XmlNode& entry, Event* event) {
  XmlNode parent = entry.SelectSingle(L"nxd:when");
  if (!parent) parent = entry;
  XmlNode reminder;
  if (FindOrCreateChild(nullptr, parent, L"nxd:reminder", kDataSchema, L"method", L"alert", false,
                        &reminder) != S_OK) {
    return S_OK;
  }
  auto part = [&](const wchar_t* name) -> int64_t {
    const std::optional<std::wstring> text = reminder.Attribute(name);
    return text ? ParseDecimal(*text) : 0;
  };
  // Each part saturates at 32 bits, so the sum cannot overflow 64; a lead time that does not
  // fit the event's 32-bit seconds is no reminder any calendar set.
  const int64_t seconds = part(L"days") * 86400 + part(L"hours") * 3600 + part(L"minutes") * 60;
  if (seconds > std::numeric_limits<int32_t>::max()) {
    LogSevere(L"Reminder out of range in event " + event->id());
    return E_FAIL;
  }
  if (seconds > 0) {
    event->set_reminder_set(true);
    event->set_reminder_seconds(static_cast<int32_t>(seconds));
  } else {
    event->set_reminder_set(false);
    event->set_reminder_seconds(-1);
  }
  return S_OK;
}

HRESULT LoadSequenceNumber(const XmlNode& entry, Event* event) {
  std::wstring text;
  const HRESULT hr = GetChildAttribute(entry, L"nxCal:sequence", L"value", &text);
  if (hr != S_OK) return hr;
  const std::optional<int32_t> number = ReadInt32(text);
  if (!number) {
    LogSevere(L"Sequence number out of range read");
    return E_FAIL;
  }
  if (*number < 0) {
    LogSevere(L"Negative sequence number read");
    return E_FAIL;
  }
  event->set_sequence_num(*number);
  return S_OK;
}

}  // namespace

std::unique_ptr<Event> NxCal::CreateEvent(const XmlNode& entry) {
  auto event = std::make_unique<Event>();
  if (LoadEvent(entry, event.get()) != S_OK) {
    LogVerbose(L"Problematic entry: " + GetNodeXml(entry));
    return nullptr;
  }
  return event;
}

HRESULT NxCal::LoadEvent(const XmlNode& entry, Event* event) {
  if (!entry || event == nullptr) return E_POINTER;
  HRESULT hr = LoadID(entry, event);
  if (hr != S_OK) {
    LogSevere(L"NxCal::LoadID FAILED");
    return hr;
  }
  LogVerbose(L"Loading nxcal event:" + event->id());
  hr = LoadEditUrl(entry, event);
  if (hr != S_OK) {
    LogSevere(L"NxCal::LoadEditUrl FAILED");
    return hr;
  }
  hr = LoadUpdated(entry, event);
  if (hr != S_OK) {
    LogSevere(L"NxCal::LoadUpdated FAILED");
    return hr;
  }

  using Step = HRESULT (*)(const XmlNode&, Event*);
  static constexpr struct {
    const wchar_t* name;
    Step step;
  } kSteps[] = {
      {L"NxCal::LoadIcalUID", LoadIcalUID},
      {L"NxCal::LoadOriginalEvent", LoadOriginalEvent},
      {L"NxCal::LoadBasicInfo", LoadBasicInfo},
      {L"NxCal::LoadTime", LoadTime},
      {L"NxCal::LoadTransparency", LoadTransparency},
      {L"NxCal::LoadEventStatus", LoadEventStatus},
      {L"NxCal::LoadAttendees", LoadAttendees},
      {L"NxCal::LoadRecurrence", LoadRecurrence},
      {L"NxCal::LoadReminder", LoadReminder},
      {L"NxCal::LoadSequenceNumber", LoadSequenceNumber},
  };
  for (const auto& [name, step] : kSteps) {
    hr = step(entry, event);
    if (hr != S_OK) {
      LogLoadFailure(name, hr, event);
      break;
    }
  }
  return S_OK;
}

HRESULT NxCal::LoadEditUrl(const XmlNode& entry, Event* event) {
  std::wstring href;
  const HRESULT hr = GetPatternValue(entry, L"link[@rel='edit']/@href", &href);
  if (hr != S_OK) return hr;
  Url url;
  if (!url.Parse(href)) return E_FAIL;
  edit_urls_[event->id()] = std::move(url);
  return S_OK;
}

HRESULT NxCal::ParseEntryResponse(const std::wstring& text, std::unique_ptr<Event>* event) {
  if (event == nullptr) return E_POINTER;
  platform::XmlDocument document;
  if (!document.LoadXml(text)) {
    LogSevere(L"Could not parse response");
    return E_FAIL;
  }
  const XmlNode entry = document.Root().SelectSingle(L"entry");
  if (!entry) {
    LogSevere(L"No 'entry' in response");
    return S_FALSE;
  }
  std::unique_ptr<Event> created = CreateEvent(entry);
  if (!created) return E_FAIL;
  *event = std::move(created);
  return S_OK;
}

Url NxCal::GetEditUrl(const std::wstring& id) const {
  const auto found = edit_urls_.find(id);
  return found == edit_urls_.end() ? Url() : found->second;
}

}  // namespace calendar_mirrow_addin
