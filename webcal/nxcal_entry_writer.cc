// Writing events as entries. An existing event is written by editing a copy of its entry as
// last fetched, so that whatever the service keeps in an entry and this class does not
// manage travels back unchanged; only a new event gets an entry built from nothing.

#include <algorithm>
#include <vector>

#include "base/logger.h"
#include "base/text.h"
#include "model/recurrence.h"
#include "webcal/entry_dom.h"
#include "webcal/nxcal.h"
#include "webcal/nxcal_schema.h"

namespace calendar_mirrow_addin {

using platform::XmlDocument;
using platform::XmlNode;

namespace {

std::wstring Ds(const wchar_t* suffix) { return std::wstring(kDataSchema) + suffix; }

// What every update step needs to know besides the event and the entry.
struct EntryEdit {
  const Event& event;
  XmlDocument* document;
  XmlNode entry;
  const std::wstring& account_email;
};

HRESULT FindOrCreate(XmlDocument* document, const XmlNode& parent, std::wstring_view name,
                     std::wstring_view namespace_uri, XmlNode* child) {
  return FindOrCreateChild(document, parent, name, namespace_uri, L"", L"", true, child);
}

// Finds or creates `name` under the entry and sets one attribute on it.
HRESULT SetChildValue(const EntryEdit& edit, std::wstring_view name,
                      std::wstring_view namespace_uri, std::wstring_view attribute,
                      std::wstring_view value) {
  XmlNode child;
  const HRESULT hr = FindOrCreate(edit.document, edit.entry, name, namespace_uri, &child);
  if (hr != S_OK) return hr;
  return SetAttribute(child, attribute, value);
}

HRESULT SetText(XmlNode element, std::wstring_view text) {
  return element.SetText(text) ? S_OK : E_FAIL;
}

HRESULT RemoveFrom(XmlNode parent, const XmlNode& child) {
  return parent.RemoveChild(child) ? S_OK : E_FAIL;
}

HRESULT NewEntry(XmlDocument* document, XmlNode* entry) {
  XmlNode created = document->CreateElement(L"entry", kAtomNamespace);
  if (!created) return E_FAIL;
  created = document->Root().AppendChild(created);
  if (!created) return E_FAIL;
  HRESULT hr = SetAttribute(created, L"xmlns:nxd", kDataSchema);
  if (hr == S_OK) hr = SetAttribute(created, L"xmlns:nxCal", kCalendarSchema);
  if (hr != S_OK) return hr;
  XmlNode category = document->CreateElement(L"category", L"");
  if (!category) return E_FAIL;
  category = created.AppendChild(category);
  if (!category) return E_FAIL;
  hr = SetAttribute(category, L"scheme", Ds(L"#kind"));
  if (hr == S_OK) hr = SetAttribute(category, L"term", Ds(L"#event"));
  if (hr != S_OK) return hr;
  *entry = created;
  return S_OK;
}

// A deep copy of a fetched entry as the root of `document`. The copy goes through its
// markup rather than a node copy, so that the fetched feed's document does not grow by
// one detached entry per write.
HRESULT CopyEntry(const XmlNode& cached, XmlDocument* document, XmlNode* entry) {
  if (!cached || !document->LoadXml(cached.Xml())) return E_FAIL;
  XmlNode copy = document->Root().FirstChild();
  if (copy.type() != platform::XmlNodeType::kElement) return E_FAIL;
  // Declared on the entry, the two prefixes need no declaration on each element added.
  if (!copy.Attribute(L"xmlns:nxd")) {
    const HRESULT hr = SetAttribute(copy, L"xmlns:nxd", kDataSchema);
    if (hr != S_OK) return hr;
  }
  if (!copy.Attribute(L"xmlns:nxCal")) {
    const HRESULT hr = SetAttribute(copy, L"xmlns:nxCal", kCalendarSchema);
    if (hr != S_OK) return hr;
  }
  *entry = copy;
  return S_OK;
}

HRESULT UpdateSendEventNotifications(const EntryEdit& edit) {
  return SetChildValue(edit, L"nxCal:sendEventNotifications", kCalendarSchema, L"value", L"false");
}

HRESULT UpdateBasicInfo(const EntryEdit& edit) {
  XmlNode title;
  HRESULT hr = FindOrCreate(edit.document, edit.entry, L"title", L"", &title);
  if (hr == S_OK) hr = SetAttribute(title, L"type", L"text");
  if (hr == S_OK) hr = SetText(title, edit.event.title());
  if (hr != S_OK) return hr;

  hr = SetChildValue(edit, L"nxd:where", kDataSchema, L"valueString", edit.event.location());
  if (hr != S_OK) return hr;

  // A body that is the service's own description (a field code linking to it) leaves the
  // description on the server as it is.
  const std::wstring field_code = std::wstring(L"HYPERLINK \"") + kPublicAddress;
  if (edit.event.body().starts_with(field_code)) return S_OK;
  XmlNode content;
  hr = FindOrCreate(edit.document, edit.entry, L"content", L"", &content);
  if (hr == S_OK) hr = SetAttribute(content, L"type", L"text");
  if (hr == S_OK) hr = SetText(content, edit.event.body());
  return hr;
}

HRESULT SetIcalUID(const EntryEdit& edit) {
  HRESULT hr = SetChildValue(edit, L"nxCal:syncEvent", kCalendarSchema, L"value", L"true");
  if (hr != S_OK) return hr;
  // Exceptions kept as events of their own carry uid|date; the service knows the plain uid.
  const std::wstring& uid = edit.event.ical_uid();
  return SetChildValue(edit, L"nxCal:uid", kCalendarSchema, L"value",
                       std::wstring_view(uid).substr(0, uid.find(L'|')));
}

HRESULT UpdateTime(const EntryEdit& edit) {
  const Event& event = edit.event;
  XmlNode when;
  const HRESULT hr = FindOrCreate(edit.document, edit.entry, L"nxd:when", kDataSchema, &when);
  if (hr != S_OK) return event.is_recurring() ? S_OK : hr;
  // A series carries its times in its recurrence.
  if (event.is_recurring()) return RemoveFrom(edit.entry, when);

  const DateTime* start = event.start() != nullptr ? event.start() : event.original_date();
  if (start == nullptr) {
    LogSevere(L"No start time for event " + event.id());
    return E_INVALIDARG;
  }
  HRESULT set = SetAttribute(when, L"startTime", FormatIso(*start));
  if (set != S_OK) return set;
  const DateTime* end = event.end() != nullptr ? event.end() : event.original_date();
  if (end == nullptr) return S_OK;
  return SetAttribute(when, L"endTime", FormatIso(*end));
}

HRESULT UpdateTransparency(const EntryEdit& edit) {
  return SetChildValue(
      edit, L"nxd:transparency", kDataSchema, L"value",
      Ds(edit.event.busy_status() == kBusyStatusFree ? L"#event.transparent" : L"#event.opaque"));
}

HRESULT UpdateEventStatus(const EntryEdit& edit) {
  const wchar_t* value = L"#event.confirmed";
  if (edit.event.status() == kEventStatusCanceled) value = L"#event.canceled";
  if (edit.event.status() == kEventStatusTentative) value = L"#event.tentative";
  return SetChildValue(edit, L"nxd:eventStatus", kDataSchema, L"value", Ds(value));
}

HRESULT AddAttendee(const EntryEdit& edit, const std::wstring& email, const Guest& guest) {
  XmlNode who = edit.document->CreateElement(L"nxd:who", kDataSchema);
  if (!who) return E_FAIL;
  who = XmlNode(edit.entry).AppendChild(who);
  if (!who) return E_FAIL;
  const bool organizer = guest.attendance_type == kAttendanceOrganizer;
  HRESULT hr = SetAttribute(who, L"valueString", guest.name);
  if (hr == S_OK) hr = SetAttribute(who, L"email", email);
  if (hr == S_OK) {
    hr = SetAttribute(who, L"rel", Ds(organizer ? L"#event.organizer" : L"#event.attendee"));
  }
  if (hr != S_OK) return hr;

  auto add_child = [&](const wchar_t* name, const std::wstring& value) -> HRESULT {
    XmlNode child = edit.document->CreateElement(name, kDataSchema);
    if (!child) return E_FAIL;
    child = who.AppendChild(child);
    if (!child) return E_FAIL;
    return SetAttribute(child, L"value", value);
  };
  if (!organizer) {
    hr = add_child(
        L"nxd:attendeeType",
        Ds(guest.attendance_type == kAttendanceRequired ? L"#event.required" : L"#event.optional"));
    if (hr != S_OK) return hr;
  }
  const wchar_t* status = L"#event.invited";
  if (guest.response_status == kResponseAccepted) status = L"#event.accepted";
  if (guest.response_status == kResponseDeclined) status = L"#event.declined";
  if (guest.response_status == kResponseTentative) status = L"#event.tentative";
  return add_child(L"nxd:attendeeStatus", Ds(status));
}

HRESULT UpdateAttendees(const EntryEdit& edit) {
  LogBlock block(L"NxCal::AddAllAttendees");
  const std::optional<std::vector<XmlNode>> people = edit.entry.Select(L"nxd:who");
  if (!people) return E_FAIL;
  // The server's organizer stays as the server has it; everybody else is written anew.
  const std::wstring organizer_rel = Ds(L"#event.organizer");
  bool organizer_kept = false;
  for (const XmlNode& who : *people) {
    if (who.Attribute(L"rel") == organizer_rel) {
      organizer_kept = true;
    } else if (HRESULT hr = RemoveFrom(edit.entry, who); hr != S_OK) {
      return hr;
    }
  }

  std::vector<const std::wstring*> emails;
  emails.reserve(edit.event.guests().size());
  for (const auto& [email, guest] : edit.event.guests()) emails.push_back(&email);
  std::sort(emails.begin(), emails.end(),
            [](const std::wstring* a, const std::wstring* b) { return *a < *b; });
  bool account_invited = false;
  for (const std::wstring* email : emails) {
    const Guest& guest = edit.event.guests().at(*email);
    if (*email == edit.account_email) account_invited = true;
    if (guest.attendance_type == kAttendanceOrganizer && organizer_kept) continue;
    if (HRESULT hr = AddAttendee(edit, *email, guest); hr != S_OK) return hr;
  }
  if (!emails.empty() && !account_invited) {
    LogInfo(L"Participant is not an attendee");
    return S_FALSE;
  }
  return S_OK;
}

HRESULT UpdateRecurrence(const EntryEdit& edit) {
  const bool recurring = edit.event.is_recurring();
  XmlNode element;
  const HRESULT hr = FindOrCreateChild(edit.document, edit.entry, L"nxd:recurrence", kDataSchema,
                                       L"", L"", recurring, &element);
  if (hr != S_OK) return recurring ? hr : S_OK;
  if (!recurring) return RemoveFrom(edit.entry, element);
  if (edit.event.recurrence() == nullptr) {
    LogSevere(L"No recurrence for recurring event " + edit.event.id());
    return E_INVALIDARG;
  }
  return SetText(element, edit.event.recurrence()->text());
}

HRESULT UpdateReminder(const EntryEdit& edit) {
  const bool wanted = edit.event.reminder_set();
  XmlNode parent = edit.entry;
  if (!edit.event.is_recurring()) {
    const HRESULT hr = FindOrCreateChild(edit.document, edit.entry, L"nxd:when", kDataSchema, L"",
                                         L"", wanted, &parent);
    if (hr != S_OK) return wanted ? hr : S_OK;
  }
  XmlNode reminder;
  HRESULT hr = FindOrCreateChild(edit.document, parent, L"nxd:reminder", kDataSchema, L"method",
                                 L"alert", wanted, &reminder);
  if (hr != S_OK) return wanted ? hr : S_OK;
  // Removed and made again, so that a reminder given in days or hours becomes one in minutes.
  hr = RemoveFrom(parent, reminder);
  if (hr != S_OK || !wanted) return hr;
  hr = FindOrCreateChild(edit.document, parent, L"nxd:reminder", kDataSchema, L"method", L"alert",
                         true, &reminder);
  if (hr != S_OK) return hr;
  return SetAttribute(reminder, L"minutes", DecimalText(edit.event.reminder_seconds() / 60));
}

HRESULT UpdateSequenceNumber(const EntryEdit& edit) {
  // Never below what the server last sent, or the server refuses the update.
  int32_t server = 0;
  std::wstring text;
  if (GetChildAttribute(edit.entry, L"nxCal:sequence", L"value", &text) == S_OK) {
    server = std::max(ParseDecimal(text), 0);
  }
  return SetChildValue(edit, L"nxCal:sequence", kCalendarSchema, L"value",
                       DecimalText(std::max(edit.event.sequence_num(), server)));
}

HRESULT SetOriginalEvent(const Event& event, const std::wstring& master_href, XmlDocument* document,
                         const XmlNode& entry) {
  if (event.original_date() == nullptr) {
    LogSevere(L"No original date for exception " + event.id());
    return E_INVALIDARG;
  }
  XmlNode original;
  HRESULT hr = FindOrCreate(document, entry, L"nxd:originalEvent", kDataSchema, &original);
  if (hr == S_OK) hr = SetAttribute(original, L"id", LastPathSegment(master_href));
  if (hr == S_OK) hr = SetAttribute(original, L"href", master_href);
  if (hr != S_OK) return hr;
  XmlNode when;
  hr = FindOrCreate(document, original, L"nxd:when", kDataSchema, &when);
  if (hr != S_OK) return hr;
  return SetAttribute(when, L"startTime", FormatIso(*event.original_date()));
}

}  // namespace

HRESULT NxCal::GenerateXML(const Event& event, const std::wstring& entry_key,
                           const std::wstring& master_href, std::wstring* xml, bool is_new,
                           bool skip_recurrence) {
  LogBlock block(L"NxCal::GenerateXML");
  if (xml == nullptr) return E_POINTER;
  XmlDocument document;
  XmlNode entry;
  HRESULT hr = S_OK;
  if (is_new) {
    hr = NewEntry(&document, &entry);
  } else if (const auto found = entry_nodes_.find(entry_key); found != entry_nodes_.end()) {
    hr = CopyEntry(found->second, &document, &entry);
  } else {
    LogSevere(L"No entry found for event " + event.id());
    hr = NewEntry(&document, &entry);
  }
  if (hr != S_OK) return hr;

  hr = UpdateXML(event, &document, entry, is_new, skip_recurrence);
  if (hr != S_OK) return hr;
  if (!master_href.empty()) {
    hr = SetOriginalEvent(event, master_href, &document, entry);
    if (hr != S_OK) return hr;
  }
  *xml = GetNodeXml(entry);
  return S_OK;
}

HRESULT NxCal::UpdateXML(const Event& event, XmlDocument* document, const XmlNode& entry,
                         bool /*is_new*/, bool skip_recurrence) {
  LogBlock block(L"NxCal::UpdateXML");
  if (document == nullptr || !entry) return E_POINTER;
  const EntryEdit edit{event, document, entry, user()};

  using Step = HRESULT (*)(const EntryEdit&);
  static constexpr struct {
    Step step;
    const wchar_t* failure;
  } kSteps[] = {
      {UpdateSendEventNotifications, L"NxCal::UpdateSendEventNotifications FAILED"},
      {UpdateBasicInfo, L"NxCal::UpdateBasicInfo FAILED"},
      {SetIcalUID, L"NxCal::SetIcalUID FAILED"},
      {UpdateTime, L"NxCal::UpdateTime FAILED"},
      {UpdateTransparency, L"NxCal::UpdateTransparency FAILED"},
      {UpdateEventStatus, L"NxCal::UpdateEventStatus FAILED"},
      {UpdateAttendees, L"NxCal::UpdateAttendees FAILED"},
      {UpdateRecurrence, L"NxCal::UpdateRecurrence FAILED"},
      {UpdateReminder, L"NxCal::UpdateReminder FAILED"},
      {UpdateSequenceNumber, L"NxCal::UpdateSequenceNumber FAILED"},
  };
  for (const auto& [step, failure] : kSteps) {
    if (skip_recurrence && step == UpdateRecurrence) continue;
    const HRESULT hr = step(edit);
    // S_FALSE from the attendees means the event is not to be written: no failure.
    if (hr == S_FALSE && step == UpdateAttendees) return hr;
    if (hr != S_OK) {
      LogSevere(failure);
      return hr;
    }
  }
  return S_OK;
}

}  // namespace calendar_mirrow_addin
