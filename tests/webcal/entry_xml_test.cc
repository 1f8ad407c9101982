// Entries written from events and events read from entries, on documents made from text.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "model/recurrence.h"
#include "platform/xml.h"
#include "tests/support/temp_dir.h"
#include "webcal/entry_dom.h"
#include "webcal/nxcal.h"
#include "webcal/nxcal_schema.h"

namespace calendar_mirrow_addin {

// Puts a fetched entry where the feed code would, without a feed.
class NxCalTestPeer {
 public:
  static void PutEntryNodeForTest(NxCal& cal, const std::wstring& id, platform::XmlNode entry) {
    cal.entry_nodes_[id] = std::move(entry);
  }
};

namespace {

using platform::XmlDocument;
using platform::XmlNode;
using testing::CapturedLog;

constexpr wchar_t kAccount[] = L"me@nexora.example";
const std::wstring kDs = kDataSchema;

std::unique_ptr<NxCal> MakeCal() {
  return std::make_unique<NxCal>(
      std::make_unique<NxCalConnection>(nullptr, L"default", Url(), Url(), kAccount, L"", L"test"),
      kAccount, L"default", L"");
}

// The parts of an entry as the service sends it; a case blanks or replaces some.
struct Parts {
  std::wstring id = L"<id>https://www.nexora.example/calendar/feeds/default/e1</id>";
  std::wstring link =
      L"<link rel='edit' href='https://www.nexora.example/calendar/feeds/default/e1/7'/>";
  std::wstring updated = L"<updated>2008-05-01T09:00:00.000Z</updated>";
  std::wstring uid = L"<nxCal:uid value='u1'/>";
  std::wstring when =
      L"<nxd:when startTime='2008-05-01T10:00:00.000Z' endTime='2008-05-01T11:00:00.000Z'/>";
  std::wstring transparency = L"<nxd:transparency value='" + kDs + L"#event.transparent'/>";
  std::wstring status = L"<nxd:eventStatus value='" + kDs + L"#event.tentative'/>";
  std::wstring rest = L"";
  std::wstring sequence = L"<nxCal:sequence value='4'/>";
};

std::wstring EntryText(const Parts& p) {
  return std::wstring(L"<entry xmlns='") + kAtomNamespace + L"' xmlns:nxd='" + kDataSchema +
         L"' xmlns:nxCal='" + kCalendarSchema + L"'>" + p.id + p.link + p.updated + p.uid + p.when +
         p.transparency + p.status + p.rest + p.sequence + L"</entry>";
}

XmlNode EntryOf(XmlDocument& document, const std::wstring& text) {
  EXPECT_TRUE(document.LoadXml(text)) << document.load_error();
  return document.Root().SelectSingle(L"entry");
}

const std::wstring kDaily =
    L"<nxd:recurrence>DTSTART;VALUE=DATE:20080501\r\nDTEND;VALUE=DATE:20080502\r\n"
    L"RRULE:FREQ=DAILY</nxd:recurrence>";
const std::wstring kAccepted = L"<nxd:attendeeStatus value='" + kDs + L"#event.accepted'/>";

// An all-day time with an alert reminder of these attributes.
std::wstring Reminder(const std::wstring& attributes) {
  return L"<nxd:when startTime='2008-05-01' endTime='2008-05-02'><nxd:reminder method='alert' " +
         attributes + L"/></nxd:when>";
}

std::wstring Who(const std::wstring& email, const std::wstring& rel, const std::wstring& extra) {
  return L"<nxd:who email='" + email + L"' rel='" + kDs + rel + L"'>" + extra + L"</nxd:who>";
}

TEST(EntryReadTest, FieldsOfOneEntry) {
  const struct {
    const char* name;
    Parts parts;
    std::function<void(const Event&)> check;
  } cases[] = {
      {"timed",
       {},
       [](const Event& e) {
         EXPECT_FALSE(e.all_day());
         EXPECT_EQ(FormatIso(*e.end()), L"2008-05-01T11:00:00.000Z");
         EXPECT_EQ(e.busy_status(), kBusyStatusFree);
         EXPECT_EQ(e.status(), kEventStatusTentative);
         EXPECT_EQ(e.sequence_num(), 4);
       }},
      {"all day",
       {.when = L"<nxd:when startTime='2008-05-01' endTime='2008-05-02'/>"},
       [](const Event& e) { EXPECT_TRUE(e.all_day() && e.start()->date_only); }},
      {"series",
       {.when = L"", .rest = kDaily},
       [](const Event& e) {
         EXPECT_TRUE(e.is_recurring() && e.all_day());
         EXPECT_EQ(e.start(), nullptr);
         EXPECT_EQ(e.recurrence()->frequency(), kFrequencyDaily);
       }},
      {"reminder in hours and minutes",
       {.when = Reminder(L"hours='1' minutes='30'")},
       [](const Event& e) { EXPECT_EQ(e.reminder_seconds(), 5400); }},
      {"reminder of zero minutes",
       {.when = Reminder(L"minutes='0'")},
       [](const Event& e) { EXPECT_TRUE(!e.reminder_set() && e.reminder_seconds() == -1); }},
      {"guests",
       {.rest = Who(L"Ann@Nexora.Example", L"#event.attendee",
                    L"<nxd:attendeeType value='" + kDs + L"#event.optional'/>") +
                Who(L"org@nexora.example", L"#event.organizer", kAccepted)},
       [](const Event& e) {
         ASSERT_EQ(e.guests().size(), 2u);
         const Guest& ann = e.guests().at(L"ann@nexora.example");
         EXPECT_EQ(ann.name, L"ann@nexora.example");
         EXPECT_EQ(ann.attendance_type, kAttendanceOptional);
         EXPECT_EQ(ann.response_status, kResponseInvited);
         EXPECT_TRUE(e.IsOrganizer(L"org@nexora.example"));
       }},
      {"organizer only",
       {.rest = Who(L"org@nexora.example", L"#event.organizer", L"")},
       [](const Event& e) { EXPECT_FALSE(e.HasGuests()); }},
      {"sequence 12abc",
       {.sequence = L"<nxCal:sequence value='12abc'/>"},
       [](const Event& e) { EXPECT_EQ(e.sequence_num(), 12); }},
      {"unknown status",
       {.status = L"<nxd:eventStatus value='x'/>"},
       [](const Event& e) { EXPECT_EQ(e.status(), kEventStatusNone); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CapturedLog log;
    XmlDocument document;
    std::unique_ptr<Event> event = MakeCal()->CreateEvent(EntryOf(document, EntryText(c.parts)));
    ASSERT_NE(event, nullptr);
    EXPECT_FALSE(event->load_failed()) << log.Text();
    EXPECT_EQ(event->ical_uid(), L"u1");
    c.check(*event);
  }
}

// A fault in the entry's identity rejects it; any other marks the event, which keeps its UID.
TEST(EntryReadTest, FaultsMarkTheEventOrRejectTheEntry) {
  const struct {
    Parts parts;
    const char* failure;
    bool rejected = false;
  } cases[] = {
      {{.when = L"<nxd:when startTime='2008-05-01' endTime='2008-05-01T11:00:00.000Z'/>"},
       "start and end times have different all_day properties"},
      {{.when = L"<nxd:when startTime='2008-05-01T12:00:00.000Z' "
                L"endTime='2008-05-01T11:00:00.000Z'/>"},
       "End before start in event"},
      // Beyond 9999 once in UTC; a year that wraps in 16 bits.
      {{.when = L"<nxd:when startTime='9999-12-31T23:00:00.000-05:00' endTime='x'/>"},
       "No start time in event"},
      {{.when = L"<nxd:when startTime='67544-05-01T10:00:00.000Z' endTime='x'/>"},
       "No start time in event"},
      {{.when = L"", .rest = L"<nxd:recurrence>RRULE:FREQ=HOURLY</nxd:recurrence>"},
       "NxCal::LoadRecurrence FAILED : hr=-2147467259"},
      {{.when = L"", .rest = kDaily + L"<nxd:reminder method='alert' days='30000'/>"},
       "Reminder out of range in event"},
      {{.rest = L"<nxd:who email='a@nexora.example'/>"}, "NxCal::LoadAttendees FAILED : hr=1"},
      {{.sequence = L"<nxCal:sequence value='-1'/>"}, "Negative sequence number read"},
      {{.sequence = L"<nxCal:sequence value='99999999999'/>"}, "Sequence number out of range read"},
      {{.uid = L""}, "NxCal::LoadIcalUID FAILED : hr=1"},
      {{.transparency = L""}, "NxCal::LoadTransparency FAILED : hr=1"},
      {{.status = L""}, "NxCal::LoadEventStatus FAILED : hr=1"},
      {{.sequence = L""}, "NxCal::LoadSequenceNumber FAILED : hr=1"},
      {{.id = L""}, "NxCal::LoadID FAILED", true},
      {{.link = L""}, "NxCal::LoadEditUrl FAILED", true},
      {{.link = L"<link rel='edit' href='not a url'/>"}, "NxCal::LoadEditUrl FAILED", true},
      {{.updated = L"<updated>2008-05-01T09:00:00Z</updated>"}, "NxCal::LoadUpdated FAILED", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failure);
    CapturedLog log;
    XmlDocument document;
    std::unique_ptr<Event> event = MakeCal()->CreateEvent(EntryOf(document, EntryText(c.parts)));
    EXPECT_TRUE(log.Contains(std::string("SEVERE: ") + c.failure)) << log.Text();
    EXPECT_EQ(log.Contains("Problematic entry: <entry"), c.rejected);
    if (c.rejected) {
      EXPECT_EQ(event, nullptr);
      continue;
    }
    ASSERT_NE(event, nullptr);
    EXPECT_TRUE(event->load_failed());
    EXPECT_EQ(event->ical_uid(), c.parts.uid.empty() ? L"" : L"u1");
  }
}

TEST(EntryReadTest, ResponsesAndEditAddresses) {
  CapturedLog log;
  auto cal = MakeCal();
  std::unique_ptr<Event> event;
  EXPECT_EQ(cal->ParseEntryResponse(L"<entry>", &event), E_FAIL);
  EXPECT_TRUE(log.Contains("Could not parse response"));
  EXPECT_EQ(cal->ParseEntryResponse(L"<feed/>", &event), S_FALSE);
  EXPECT_EQ(cal->ParseEntryResponse(EntryText({.id = L""}), &event), E_FAIL);
  EXPECT_EQ(event, nullptr);
  // A marked event still comes back; the caller checks the flag.
  ASSERT_EQ(cal->ParseEntryResponse(EntryText({.uid = L""}), &event), S_OK);
  EXPECT_TRUE(event->load_failed());
  EXPECT_EQ(cal->GetEditUrl(event->id()).path(), L"/calendar/feeds/default/e1/7");
  EXPECT_TRUE(cal->GetEditUrl(L"never read").host().empty());
}

// The entry's children in order, each followed by its own children as "/name".
std::wstring ChildNames(const std::wstring& xml) {
  XmlDocument document;
  EXPECT_TRUE(document.LoadXml(xml)) << document.load_error();
  std::wstring names;
  const auto children = document.Root().Select(L"entry/*");
  for (const XmlNode& child : children.value()) {
    names += (names.empty() ? L"" : L" ") + child.name();
    const auto inner = child.Select(L"*");
    for (const XmlNode& grandchild : inner.value()) names += L"/" + grandchild.name();
  }
  return names;
}

std::unique_ptr<Event> OneOff() {
  auto event = std::make_unique<Event>();
  event->set_id(L"e1");
  event->set_title(L"Lunch & \"talk\"");
  event->set_location(L"Room 1");
  event->set_body(L"Agenda\r\nxmlns=\"\" stays");
  event->set_start(std::make_unique<DateTime>(DateTime::FromFields(1, 5, 2008, 10, 0, 0, 0)));
  event->set_end(std::make_unique<DateTime>(DateTime::FromFields(1, 5, 2008, 11, 0, 0, 0)));
  event->set_busy_status(kBusyStatusBusy);
  event->set_status(kEventStatusConfirmed);
  event->set_ical_uid(L"abc|20080115");
  event->set_reminder_set(true);
  event->set_reminder_seconds(90);
  event->set_sequence_num(3);
  event->AddGuest(kAccount, L"Me", kAttendanceRequired, kResponseAccepted);
  event->AddGuest(L"org@nexora.example", L"Org", kAttendanceOrganizer, kResponseAccepted);
  return event;
}

TEST(EntryWriteTest, NewEntriesComeOutInTheirOrder) {
  auto cal = MakeCal();
  auto one_off = OneOff();
  one_off->set_original_date(std::make_unique<DateTime>(DateTime::FromDate(15, 1, 2008)));
  std::wstring xml;
  ASSERT_EQ(
      cal->GenerateXML(*one_off, L"", L"https://h.nexora.example/f/master/", &xml, true, false),
      S_OK);
  EXPECT_EQ(xml.find(L"xmlns=\"\""), std::wstring::npos);
  EXPECT_NE(xml.find(L"xmlns=&quot;&quot; stays"), std::wstring::npos) << xml;
  EXPECT_NE(xml.find(L"<nxCal:uid value=\"abc\"/>"), std::wstring::npos) << xml;
  EXPECT_NE(xml.find(L"method=\"alert\" minutes=\"1\""), std::wstring::npos) << xml;
  EXPECT_NE(xml.find(L"<nxd:originalEvent id=\"master\""), std::wstring::npos) << xml;
  EXPECT_EQ(ChildNames(xml),
            L"category nxCal:sendEventNotifications title nxd:where content nxCal:syncEvent "
            L"nxCal:uid nxd:when/nxd:reminder nxd:transparency nxd:eventStatus "
            L"nxd:who/nxd:attendeeType/nxd:attendeeStatus nxd:who/nxd:attendeeStatus "
            L"nxCal:sequence nxd:originalEvent/nxd:when");

  auto series = OneOff();
  series->set_is_recurring(true);
  series->set_recurrence(
      ParseRecurrence(L"DTSTART;TZID=:20080501T100000Z\r\nDURATION:PT3600S\r\n"
                      L"RRULE:FREQ=WEEKLY;BYDAY=TH"));
  series->mutable_guests().clear();
  series->set_body(L"HYPERLINK \"" + std::wstring(kPublicAddress) + L"/event?eid=1\"");
  ASSERT_EQ(cal->GenerateXML(*series, L"", L"", &xml, true, false), S_OK);
  EXPECT_EQ(ChildNames(xml),
            L"category nxCal:sendEventNotifications title nxd:where nxCal:syncEvent nxCal:uid "
            L"nxd:transparency nxd:eventStatus nxd:recurrence nxd:reminder nxCal:sequence");
}

TEST(EntryWriteTest, GuestsDecideWhetherTheEventIsWritten) {
  const struct {
    std::vector<const wchar_t*> guests;
    HRESULT result;
  } cases[] = {
      {{}, S_OK},
      {{L"other@nexora.example"}, S_FALSE},
      {{L"other@nexora.example", kAccount}, S_OK},
      {{L"ME@nexora.example"}, S_FALSE},  // the comparison is exact
  };
  for (const auto& c : cases) {
    CapturedLog log;
    auto cal = MakeCal();
    Event event;
    event.set_original_date(std::make_unique<DateTime>(DateTime::FromDate(15, 1, 2008)));
    for (const wchar_t* email : c.guests) {
      event.mutable_guests().emplace(email,
                                     Guest(email, L"", kAttendanceRequired, kResponseInvited));
    }
    std::wstring xml = L"untouched";
    EXPECT_EQ(cal->GenerateXML(event, L"", L"", &xml, true, false), c.result) << c.guests.size();
    EXPECT_EQ(log.Contains("Participant is not an attendee"), c.result == S_FALSE);
    EXPECT_FALSE(log.Contains("SEVERE"));
    if (c.result == S_FALSE) {
      EXPECT_EQ(xml, L"untouched");
    }
    if (c.result == S_OK && c.guests.empty()) {
      // Only an original date: both times are that date.
      EXPECT_NE(xml.find(L"startTime=\"2008-01-15\" endTime=\"2008-01-15\""), std::wstring::npos);
    }
  }
}

TEST(EntryWriteTest, EventsWithoutTheirTimesAreNotWritten) {
  const struct {
    const char* failure;
    void (*change)(Event&);
    const wchar_t* master_href;
  } cases[] = {
      {"NxCal::UpdateTime FAILED", [](Event& e) { e.set_start(nullptr); }, L""},
      {"NxCal::UpdateRecurrence FAILED", [](Event& e) { e.set_is_recurring(true); }, L""},
      {"No original date for exception e1", [](Event&) {}, L"https://h.nexora.example/m"},
  };
  for (const auto& c : cases) {
    CapturedLog log;
    auto cal = MakeCal();
    auto event = OneOff();
    c.change(*event);
    std::wstring xml;
    EXPECT_LT(cal->GenerateXML(*event, L"", c.master_href, &xml, true, false), 0) << c.failure;
    EXPECT_TRUE(log.Contains(std::string("SEVERE: ") + c.failure)) << log.Text();
    EXPECT_TRUE(xml.empty());
  }
}

TEST(EntryWriteTest, FetchedEntryKeepsWhatItDoesNotManage) {
  CapturedLog log;
  auto cal = MakeCal();
  XmlDocument feed;
  ASSERT_TRUE(feed.LoadXml(
      std::wstring(L"<feed xmlns='") + kAtomNamespace + L"' xmlns:nxd='" + kDataSchema +
      L"' xmlns:nxCal='" + kCalendarSchema +
      L"'><entry><id>e1</id><x:keep xmlns:x='urn:x'>k</x:keep>" +
      L"<content type='html'>server's own</content>" +
      Who(L"org@nexora.example", L"#event.organizer", L"") +
      Who(L"gone@nexora.example", L"#event.attendee", L"") +
      L"<nxd:who email='norel@nexora.example'/>" +
      L"<nxd:when startTime='2008-05-01T10:00:00.000Z'><nxd:reminder method='alert' hours='1'/>" +
      L"<nxd:reminder method='email' minutes='5'/></nxd:when>" +
      L"<nxCal:sequence value='5'/><title>old</title></entry></feed>"));
  const XmlNode cached = feed.Root().SelectSingle(L"feed/entry");
  const std::wstring cached_before = cached.Xml();
  NxCalTestPeer::PutEntryNodeForTest(*cal, L"e1", cached);

  auto event = OneOff();
  event->set_body(L"HYPERLINK \"" + std::wstring(kPublicAddress) + L"\"");
  std::wstring xml;
  ASSERT_EQ(cal->GenerateXML(*event, L"e1", L"", &xml, false, false), S_OK);
  EXPECT_EQ(cached.Xml(), cached_before);
  EXPECT_EQ(ChildNames(xml),
            L"id x:keep content nxd:who nxd:when/nxd:reminder/nxd:reminder nxCal:sequence title "
            L"nxCal:sendEventNotifications nxd:where nxCal:syncEvent nxCal:uid nxd:transparency "
            L"nxd:eventStatus nxd:who/nxd:attendeeType/nxd:attendeeStatus");
  EXPECT_NE(xml.find(L"<content type=\"html\">server's own</content>"), std::wstring::npos);
  EXPECT_NE(xml.find(L"<nxd:reminder method=\"email\" minutes=\"5\"/><nxd:reminder "
                     L"method=\"alert\" minutes=\"1\"/>"),
            std::wstring::npos)
      << xml;
  EXPECT_NE(xml.find(L"<nxCal:sequence value=\"5\"/>"), std::wstring::npos);
  EXPECT_EQ(xml.find(L"gone@"), std::wstring::npos);
  EXPECT_EQ(xml.find(L"norel@"), std::wstring::npos);
  EXPECT_EQ(xml.find(L"xmlns=\"\""), std::wstring::npos);

  // A server sequence below zero counts as zero; a missing entry is written anew.
  XmlDocument negative;
  NxCalTestPeer::PutEntryNodeForTest(
      *cal, L"e2", EntryOf(negative, EntryText({.sequence = L"<nxCal:sequence value='-2'/>"})));
  event->set_reminder_set(false);
  event->set_sequence_num(-1);
  ASSERT_EQ(cal->GenerateXML(*event, L"e2", L"", &xml, false, false), S_OK);
  EXPECT_NE(xml.find(L"<nxCal:sequence value=\"0\"/>"), std::wstring::npos) << xml;
  ASSERT_EQ(cal->GenerateXML(*event, L"e3", L"", &xml, false, false), S_OK);
  EXPECT_TRUE(log.Contains("SEVERE: No entry found for event e1"));
  EXPECT_EQ(xml.find(L"nxd:reminder"), std::wstring::npos);
}

TEST(EntryDomTest, MarkupRulesAndHelpers) {
  XmlDocument document;
  const XmlNode root = EntryOf(
      document,
      L"<entry xmlns='urn:a'><a>x<![CDATA[ xmlns=\"\" ]]></a><b t='xmlns=\"\"'/><a/><e/></entry>");
  const std::wstring xml = GetNodeXml(root);
  EXPECT_NE(xml.find(L"<![CDATA[ xmlns=\"\" ]]>"), std::wstring::npos) << xml;
  std::wstring text;
  EXPECT_EQ(GetChildText(root, L"b", &text), S_FALSE);
  EXPECT_EQ(GetChildText(root, L"missing", &text), S_FALSE);
  EXPECT_EQ(GetChildAttribute(root, L"b", L"u", &text), S_FALSE);
  XmlNode child;
  // Two "a" and no attribute to choose by: nothing is taken.
  EXPECT_EQ(FindOrCreateChild(&document, root, L"a", L"", L"", L"", false, &child), E_FAIL);
  ASSERT_EQ(FindOrCreateChild(&document, root, L"e", L"", L"", L"", false, &child), S_OK);
  ASSERT_EQ(FindOrCreateChild(&document, root, L"a", L"", L"k", L"v", true, &child), S_OK);
  EXPECT_EQ(root.Select(L"a")->size(), 3u);
  EXPECT_EQ(LastPathSegment(L"https://h.example/f/abc//"), L"abc");
  EXPECT_EQ(LastPathSegment(L"abc"), L"abc");
}

}  // namespace
}  // namespace calendar_mirrow_addin
