// The web calendar's mutations against the stand-in: events of every kind written and
// read back, conflicts, series with their exceptions; and the retry of an occurrence that
// has no entry of its own, against scripted answers.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "base/text.h"
#include "model/recurrence.h"
#include "tests/support/webcal_client.h"
#include "tests/webcal/https_fixture.h"
#include "webcal/nxcal.h"
#include "webcal/nxcal_schema.h"

namespace calendar_mirrow_addin {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing::WebcalClient;

std::unique_ptr<DateTime> At(int year, int month, int day, int hour, int minute = 0) {
  return std::make_unique<DateTime>(DateTime::FromFields(day, month, year, hour, minute, 0, 0));
}
std::unique_ptr<DateTime> Day(int year, int month, int day) {
  return std::make_unique<DateTime>(DateTime::FromDate(day, month, year));
}

std::unique_ptr<Event> OneOff(const std::wstring& uid, const std::wstring& title) {
  auto event = std::make_unique<Event>();
  event->set_ical_uid(uid);
  event->set_title(title);
  event->set_location(L"Room 4 <east> & \"west\"");
  event->set_body(L"Agenda:\r\n1. xmlns=\"\" stays\r\n2. \u00e9t\u00e9");
  event->set_start(At(2026, 3, 2, 9));
  event->set_end(At(2026, 3, 2, 10, 30));
  event->set_busy_status(kBusyStatusBusy);
  event->set_status(kEventStatusConfirmed);
  return event;
}

// A series in Berlin time with its exceptions: `exceptions` adds them.
std::unique_ptr<Event> Series(const std::wstring& uid, const std::wstring& rule) {
  auto event = OneOff(uid, L"Series " + uid);
  event->set_start(nullptr);
  event->set_end(nullptr);
  event->set_is_recurring(true);
  event->set_recurrence(ParseRecurrence(
      L"DTSTART;TZID=Europe/Berlin:20260302T090000\r\nDURATION:PT3600S\r\nRRULE:" + rule));
  return event;
}

void AddException(Event* series, std::unique_ptr<DateTime> original, const std::wstring& title,
                  EventStatus status, int shift_hours = 0) {
  auto exception = std::make_unique<Event>();
  exception->set_ical_uid(series->ical_uid());
  exception->set_title(title);
  exception->set_status(status);
  exception->set_busy_status(kBusyStatusBusy);
  exception->set_start(std::make_unique<DateTime>(AddSeconds(*original, shift_hours * 3600)));
  exception->set_end(std::make_unique<DateTime>(AddSeconds(*original, shift_hours * 3600 + 3600)));
  exception->set_original_date(std::move(original));
  series->mutable_recurrence()->AddException(std::move(exception));
}

// Every field of an event, each kind of series, and each exception kind.
std::vector<std::unique_ptr<Event>> EveryKind() {
  std::vector<std::unique_ptr<Event>> events;
  events.push_back(OneOff(L"one-off@example.com", L"Review"));
  auto all_day = OneOff(L"all-day", L"Holiday");
  all_day->set_all_day(true);
  all_day->set_start(Day(2026, 3, 10));
  all_day->set_end(Day(2026, 3, 11));
  all_day->set_busy_status(kBusyStatusFree);
  events.push_back(std::move(all_day));
  auto meeting = OneOff(L"meeting", L"Planning");
  meeting->set_status(kEventStatusTentative);
  meeting->set_reminder_set(true);
  meeting->set_reminder_seconds(15 * 60);
  meeting->AddGuest(L"erin@nexora.example", L"Erin", kAttendanceOrganizer, kResponseAccepted);
  meeting->AddGuest(WebcalClient::Email(), L"Ann", kAttendanceRequired, kResponseAccepted);
  meeting->AddGuest(L"bob@nexora.example", L"Bob", kAttendanceRequired, kResponseDeclined);
  meeting->AddGuest(L"cy@nexora.example", L"Cy", kAttendanceOptional, kResponseTentative);
  meeting->AddGuest(L"di@nexora.example", L"Di", kAttendanceRequired, kResponseInvited);
  events.push_back(std::move(meeting));
  for (const wchar_t* rule :
       {L"FREQ=DAILY;COUNT=5", L"FREQ=WEEKLY;INTERVAL=2;BYDAY=MO,WE", L"FREQ=MONTHLY;BYMONTHDAY=2",
        L"FREQ=MONTHLY;BYDAY=1MO", L"FREQ=YEARLY;UNTIL=20300302T080000Z"}) {
    events.push_back(Series(std::wstring(L"series-") + rule, rule));
  }
  auto changed = Series(L"changed-series", L"FREQ=WEEKLY;BYDAY=MO");
  changed->set_reminder_set(true);
  changed->set_reminder_seconds(3600);
  AddException(changed.get(), At(2026, 3, 9, 8), L"Moved", kEventStatusConfirmed, 2);
  AddException(changed.get(), At(2026, 3, 16, 8), L"Renamed", kEventStatusConfirmed);
  AddException(changed.get(), At(2026, 3, 23, 8), L"Series changed-series", kEventStatusCanceled);
  events.push_back(std::move(changed));
  return events;
}

// Everything but the modification time and the sequence number.
constexpr int32_t kContent = kEquivalenceMask;

class NxCalWebTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new testing::WebcalServer(); }
  static void TearDownTestSuite() { delete server_; }
  void SetUp() override {
    ASSERT_TRUE(server_->ready());
    ASSERT_TRUE(client_.ResetServer());
  }

  // Imports `event` into a fresh calendar; the new entry's id.
  std::wstring Import(const Event& event) {
    auto calendar = client_.Open();
    std::wstring id, message;
    DateTime updated;
    EXPECT_EQ(kMutationDone, calendar->Import(&event, &id, &updated, &message))
        << WideToUtf8(event.ical_uid()) << "\n"
        << log_.Text();
    return id;
  }
  // The request lines the stand-in served, as "METHOD path status".
  static std::vector<std::string> Served(int at_least = 0) {
    const std::string log = server_->Admin("GET", "log?count=" + std::to_string(at_least));
    std::vector<std::string> lines;
    const std::regex record(R"re("method": "(\w+)", "path": "([^"]*)", "status": (\d+))re");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), record);
         it != std::sregex_iterator(); ++it) {
      lines.push_back((*it)[1].str() + " " + (*it)[2].str() + " " + (*it)[3].str());
    }
    return lines;
  }
  static std::string Edit(const std::string& fields) {
    return server_->Admin("POST", "edit",
                          R"({"email":"ann@nexora.example","calendar":"default",)" + fields + "}");
  }

  static inline testing::WebcalServer* server_ = nullptr;
  testing::CapturedLog log_;
  WebcalClient client_{server_};
};

TEST_F(NxCalWebTest, EveryKindOfEventComesBackAsWritten) {
  const auto events = EveryKind();
  for (const auto& event : events) Import(*event);
  auto full = client_.Fetched();
  ASSERT_TRUE(full);
  for (const auto& event : events) {
    const Event* read = WebcalClient::ByUid(*full, event->ical_uid());
    ASSERT_NE(read, nullptr) << WideToUtf8(event->ical_uid());
    EXPECT_EQ(kContent, read->CompareTo(*event) & kContent) << WideToUtf8(event->ical_uid()) << "\n"
                                                            << WideToUtf8(read->Dump()) << "\n"
                                                            << WideToUtf8(event->Dump());
  }
}

// Importing a UID the service holds as deleted revives the deleted entry above its
// sequence, and the import succeeds with that entry's id.
TEST_F(NxCalWebTest, ImportOverADeletedEntryResolvesTheConflict) {
  auto event = OneOff(L"reborn", L"First life");
  const std::wstring first_id = Import(*event);
  {
    auto calendar = client_.Fetched();
    std::wstring message;
    ASSERT_EQ(kMutationDone, calendar->Delete(first_id, &message));
  }
  event->set_title(L"Second life");
  EXPECT_EQ(first_id, Import(*event));
  auto calendar = client_.Fetched();
  const Event* read = WebcalClient::ByUid(*calendar, L"reborn");
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(read->title(), L"Second life");
  EXPECT_GE(read->sequence_num(), 1);
  EXPECT_TRUE(log_.Contains("NxCal::ResolveConflictAndUpdate {"));
}

TEST_F(NxCalWebTest, ASeriesWhoseExceptionCannotBeAddedIsTakenBack) {
  auto series = Series(L"half", L"FREQ=DAILY;COUNT=5");
  AddException(series.get(), At(2026, 3, 3, 8), L"Fine", kEventStatusConfirmed);
  AddException(series.get(), At(2026, 3, 4, 8), L"Refused", kEventStatusConfirmed);
  // The master and the first exception go through; the second is refused.
  ASSERT_THAT(server_->Admin("POST", "faults",
                             R"({"method":"POST","path_prefix":"/calendar/","count":1,)"
                             R"("skip":2,"status":500})"),
              Not(HasSubstr("error")));
  auto calendar = client_.Open();
  std::wstring id, message;
  DateTime updated;
  EXPECT_NE(kMutationDone, calendar->Import(series.get(), &id, &updated, &message));
  EXPECT_TRUE(log_.Contains("Could not add exception via the feed"));
  auto after = client_.Fetched();
  EXPECT_EQ(WebcalClient::ByUid(*after, L"half"), nullptr) << "the master was deleted again";
}

// A series that lost an exception is first reset to the placeholder rule (the service then
// drops every exception entry), written again, and its remaining exceptions added anew; a
// series whose exceptions all stay is updated entry by entry.
TEST_F(NxCalWebTest, UpdatingASeriesKeepsItsExceptionsInStep) {
  auto series = Series(L"weekly", L"FREQ=WEEKLY;BYDAY=MO");
  AddException(series.get(), At(2026, 3, 9, 8), L"One", kEventStatusConfirmed);
  AddException(series.get(), At(2026, 3, 16, 8), L"Two", kEventStatusConfirmed);
  Import(*series);

  auto calendar = client_.Fetched();
  const Event* stored = WebcalClient::ByUid(*calendar, L"weekly");
  ASSERT_NE(stored, nullptr);
  const std::wstring id = stored->id();
  auto renamed = series->Clone();
  renamed->mutable_recurrence()->ExceptionList()[0]->set_title(L"One, renamed");
  std::wstring new_id, message;
  DateTime updated;
  const size_t before = Served().size();
  ASSERT_EQ(kMutationDone, calendar->Update(id, renamed.get(), &new_id, &updated, &message))
      << log_.Text();
  auto puts = Served();
  puts.erase(puts.begin(), puts.begin() + before);
  EXPECT_EQ(3u, puts.size()) << "master and two exceptions, each at its own address";
  EXPECT_FALSE(log_.Contains("DTSTART:20200101T000000"));

  calendar = client_.Fetched();
  auto fewer = renamed->Clone();
  fewer->mutable_recurrence()->ClearExceptions();
  AddException(fewer.get(), At(2026, 3, 16, 8), L"Two", kEventStatusConfirmed);
  ASSERT_EQ(kMutationDone, calendar->Update(id, fewer.get(), &new_id, &updated, &message))
      << log_.Text();
  auto read = client_.Fetched();
  const Event* now = WebcalClient::ByUid(*read, L"weekly");
  ASSERT_NE(now, nullptr);
  EXPECT_EQ(kContent, now->CompareTo(*fewer) & kContent) << WideToUtf8(now->Dump());
  EXPECT_TRUE(log_.Contains("FREQ=YEARLY"));  // the placeholder went out first
}

// An occurrence canceled on the web cannot be brought back by a write from the other side;
// a series whose exception changed on the web shows that change's time as its own.
TEST_F(NxCalWebTest, WebSideChangesOfOccurrencesAreSeen) {
  auto series = Series(L"web", L"FREQ=DAILY;COUNT=5");
  Import(*series);
  ASSERT_THAT(Edit(R"("uid":"web","original_start":"2026-03-03T08:00:00Z","cancel":true)"),
              Not(HasSubstr("error")));
  auto calendar = client_.Fetched();
  const Event* read = WebcalClient::ByUid(*calendar, L"web");
  ASSERT_NE(read, nullptr);
  ASSERT_EQ(1u, read->recurrence()->exceptions().size());
  const Event* canceled = read->recurrence()->exceptions()[0].get();
  EXPECT_EQ(kEventStatusCanceled, canceled->status());
  EXPECT_EQ(*calendar->GetUpdatedTime(read), *canceled->updated());

  // Bringing the occurrence back from the other side fails its exception, not the series.
  auto revived = series->Clone();
  AddException(revived.get(), At(2026, 3, 3, 8), L"Back", kEventStatusConfirmed);
  std::wstring new_id, message;
  DateTime updated;
  EXPECT_EQ(kMutationDone,
            calendar->Update(read->id(), revived.get(), &new_id, &updated, &message));
  EXPECT_TRUE(log_.Contains("Exception was cancelled, but stopped being so"));
  EXPECT_TRUE(
      log_.Contains("Exception update failed, but S_OK is returned to prevent user data loss"));
}

// Series changed by another client arrive by delta: a new rule drops the stored exceptions
// (by the raised sequence), a deleted series leaves with its exceptions, and a series the
// account declined leaves its changed occurrence behind as an event of its own.
TEST_F(NxCalWebTest, SeriesChangedOnTheWebArriveByDelta) {
  testing::EnvGuard utc("TZ", "UTC");  // the orphan's uid carries its local date
  for (const wchar_t* uid : {L"rule", L"gone", L"declined"}) {
    auto series = Series(uid, L"FREQ=DAILY;COUNT=5");
    AddException(series.get(), At(2026, 3, 4, 8), L"Moved", kEventStatusConfirmed, 1);
    if (std::wstring(uid) == L"declined") {
      series->AddGuest(WebcalClient::Email(), L"Ann", kAttendanceRequired, kResponseAccepted);
    }
    Import(*series);
  }
  auto full = client_.Fetched();
  ASSERT_TRUE(full);
  ASSERT_EQ(1u, WebcalClient::ByUid(*full, L"rule")->recurrence()->exceptions().size());
  ASSERT_THAT(Edit(R"("uid":"rule","recurrence":"DTSTART:20260302T080000Z\r\n)"
                   R"(DURATION:PT3600S\r\nRRULE:FREQ=DAILY;COUNT=3")"),
              Not(HasSubstr("error")));
  ASSERT_THAT(Edit(R"("uid":"gone","delete":true)"), Not(HasSubstr("error")));
  ASSERT_THAT(Edit(R"("uid":"declined","decline":true)"), Not(HasSubstr("error")));

  auto delta = client_.Fetched();
  ASSERT_TRUE(delta);
  const Event* rule = WebcalClient::ByUid(*delta, L"rule");
  ASSERT_NE(rule, nullptr);
  EXPECT_EQ(3, rule->recurrence()->count());
  EXPECT_TRUE(rule->recurrence()->exceptions().empty());
  EXPECT_EQ(WebcalClient::ByUid(*delta, L"gone"), nullptr);
  EXPECT_EQ(WebcalClient::ByUid(*delta, L"gone|20260304"), nullptr);
  EXPECT_EQ(WebcalClient::ByUid(*delta, L"declined"), nullptr);
  const Event* orphan = WebcalClient::ByUid(*delta, L"declined|20260304");
  ASSERT_NE(orphan, nullptr);
  EXPECT_EQ(L"Moved", orphan->title());
  EXPECT_EQ(2u, delta->events().size());  // the rule and the orphan, nothing else
}

// An exception update answered 409 is sent once more to the occurrence's address with the
// series' version; a second refusal fails the update of the exceptions.
class NxCalOccurrenceTest : public ::testing::Test {
 protected:
  // An entry as the service writes it, at version `version`.
  std::string Entry(const std::string& id, int version, const std::string& extra) const {
    const std::string address = "https://" + fixture_.address() + kFeed + "/" + id;
    const std::string ds = WideToUtf8(kDataSchema);
    return "<entry xmlns='http://www.w3.org/2005/Atom' xmlns:nxd='" + ds + "' xmlns:nxCal='" +
           WideToUtf8(kCalendarSchema) + "'><id>" + address +
           "</id><updated>2026-03-01T10:00:00.000Z</updated><link rel='edit' href='" + address +
           "/" + std::to_string(version) + "'/><title type='text'>T</title>" +
           "<nxCal:uid value='s'/><nxd:transparency value='" + ds + "#event.opaque'/>" +
           "<nxd:eventStatus value='" + ds + "#event.confirmed'/><nxCal:sequence value='0'/>" +
           extra + "</entry>";
  }
  std::unique_ptr<Event> Read(const std::string& xml) {
    platform::XmlDocument document;
    EXPECT_TRUE(document.LoadXml(Utf8ToWide(xml)));
    return calendar_->CreateEvent(document.Root().SelectSingle(L"entry"));
  }
  // Updates the exception of the fetched series "s"; the requests the fixture saw.
  HRESULT UpdateOccurrence(std::vector<std::string>* requests) {
    auto master = Read(Entry("_ec", 7,
                             "<nxd:recurrence>DTSTART:20260302T080000Z&#13;\nDURATION:PT3600S"
                             "&#13;\nRRULE:FREQ=DAILY</nxd:recurrence>"));
    auto exception = Read(Entry(kOccurrence, 3,
                                "<nxd:when startTime='2026-03-03T08:00:00.000Z' "
                                "endTime='2026-03-03T09:00:00.000Z'/><nxd:originalEvent id='_ec' "
                                "href='x'><nxd:when startTime='2026-03-03T08:00:00.000Z'/>"
                                "</nxd:originalEvent>"));
    if (!master || !exception || !master->is_recurring()) return E_UNEXPECTED;
    auto source = master->Clone();
    auto changed = exception->Clone();
    changed->set_title(L"Changed");
    source->mutable_recurrence()->AddException(std::move(changed));
    master->mutable_recurrence()->AddException(std::move(exception));
    const std::wstring master_id = master->id();
    calendar_->mutable_events()[master_id] = std::move(master);
    DateTime updated = DateTime::FromFields(1, 1, 2026, 0, 0, 0, 0);
    std::wstring message;
    const HRESULT result = calendar_->UpdateExceptions(master_id, source.get(), &updated, &message);
    *requests = fixture_.Requests();
    return result;
  }

  static constexpr char kFeed[] = "/calendar/feeds/default/private/full";
  static constexpr char kOccurrence[] = "_ec_20260303T080000Z";
  testing::HttpsFixture fixture_;
  testing::MemoryKeyStore store_;
  testing::CapturedLog log_;
  std::unique_ptr<platform::HttpSession> session_;
  std::unique_ptr<NxCal> calendar_;

  void SetUp() override {
    ASSERT_TRUE(fixture_.ready());
    std::string error;
    session_ = platform::OpenHttpSession("Tidewell-test", fixture_.ca_file(), &error);
    ASSERT_TRUE(session_) << error;
  }
  // A calendar on a fresh connection, which logs in first.
  void Open() {
    Url at;
    ASSERT_TRUE(at.Parse(fixture_.Url("/")));
    calendar_ = std::make_unique<NxCal>(
        std::make_unique<NxCalConnection>(session_.get(), L"default", at, at, WebcalClient::Email(),
                                          L"p", L"t"),
        WebcalClient::Email(), L"default", L"");
  }
};

TEST_F(NxCalOccurrenceTest, IsWrittenAtTheSeriesVersionAfterAConflictAndFailsOnASecond) {
  const std::string at = std::string(kFeed) + "/" + kOccurrence;
  for (const bool accepted : {true, false}) {
    SCOPED_TRACE(accepted);
    fixture_.Reset();
    fixture_.Serve("/accounts/ClientLogin", R"("body": "Auth=t\n")");
    fixture_.Serve(at + "/3", R"("status": 409)");
    fixture_.Serve(at + "/7", accepted ? R"("body": )" + testing::Json(Entry(kOccurrence, 8, ""))
                                       : std::string(R"("status": 409)"));
    Open();
    log_.Clear();
    std::vector<std::string> requests;
    EXPECT_EQ(accepted ? S_OK : E_FAIL, UpdateOccurrence(&requests)) << log_.Text();
    // Only the two writes (a log-in may come first).
    std::erase_if(requests, [](const std::string& line) { return !line.starts_with("PUT "); });
    ASSERT_EQ(2u, requests.size());
    EXPECT_THAT(requests[0], HasSubstr("PUT " + at + "/3 |"));
    EXPECT_THAT(requests[1], HasSubstr("PUT " + at + "/7 |"));
    EXPECT_THAT(requests[1], HasSubstr("<title type=\"text\">Changed</title>"));
    EXPECT_TRUE(log_.Contains("Updating non-specialized exception"));
    EXPECT_TRUE(log_.Contains("Using edit url: " + at + "/7"));
    EXPECT_EQ(!accepted, log_.Contains("SEVERE: Could not update exception via the feed"));
  }
}

}  // namespace
}  // namespace calendar_mirrow_addin
