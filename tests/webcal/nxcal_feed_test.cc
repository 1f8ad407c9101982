// Fetching the web calendar: the delta merge and the turning of a feed into events on
// documents built from text, then whole fetches with the cached base feed against the web
// calendar stand-in.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "base/local_time.h"
#include "base/string_table.h"
#include "base/text.h"
#include "model/recurrence.h"
#include "platform/store.h"
#include "tests/platform/env_guard.h"
#include "tests/support/memory_key_store.h"
#include "tests/support/progress_recorder.h"
#include "tests/support/temp_dir.h"
#include "tests/support/webcal_client.h"
#include "webcal/entry_dom.h"
#include "webcal/nxcal.h"
#include "webcal/nxcal_schema.h"

namespace calendar_mirrow_addin {

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAre;

const std::wstring kDs = kDataSchema;
const std::wstring kFeedPrefix = L"https://www.nexora.example/calendar/feeds/default/private/full/";

std::wstring Id(const std::wstring& short_id) { return kFeedPrefix + short_id; }

// An entry as the service sends it; `extra` is markup added inside.
std::wstring Entry(const std::wstring& short_id, const std::wstring& title,
                   const std::wstring& status, const std::wstring& extra = L"") {
  return L"<entry><id>" + Id(short_id) + L"</id><updated>2008-03-01T10:00:00.000Z</updated>" +
         L"<link rel=\"edit\" href=\"" + Id(short_id) + L"/1\"/><title>" + title +
         L"</title><nxCal:uid value=\"uid-" + short_id + L"\"/>" + L"<nxd:transparency value=\"" +
         kDs + L"#event.opaque\"/><nxd:eventStatus value=\"" + kDs + L"#event." + status + L"\"/>" +
         extra + L"</entry>";
}

std::wstring Series(const std::wstring& short_id, const std::wstring& title,
                    const std::wstring& status, int sequence) {
  return Entry(short_id, title, status,
               L"<nxd:recurrence>DTSTART:20080315T090000Z\r\nDURATION:PT1H\r\n"
               L"RRULE:FREQ=DAILY</nxd:recurrence><nxCal:sequence value=\"" +
                   std::to_wstring(sequence) + L"\"/>");
}

std::wstring Original(const std::wstring& master, const std::wstring& start) {
  return L"<nxd:originalEvent id=\"" + master + L"\" href=\"" + Id(master) +
         L"\"><nxd:when startTime=\"" + start + L"\"/></nxd:originalEvent>";
}

// The exception of `master` at 09:00 UTC on 16 March 2008, under the id the service gives it.
std::wstring Exception(const std::wstring& master, const std::wstring& title,
                       const std::wstring& status) {
  return Entry(master + L"_20080316T090000Z", title, status,
               Original(master, L"2008-03-16T09:00:00.000Z"));
}

std::wstring Feed(const std::wstring& updated, const std::wstring& entries) {
  return L"<feed xmlns=\"http://www.w3.org/2005/Atom\" xmlns:nxd=\"" + kDs + L"\" xmlns:nxCal=\"" +
         kCalendarSchema + L"\"><id>feed</id><updated>" + updated + L"</updated>" + entries +
         L"</feed>";
}

// The titles of the feed's entries, in document order.
std::wstring Titles(const platform::XmlNode& feed) {
  std::wstring titles;
  for (const auto& entry : feed.Select(L"entry").value_or(std::vector<platform::XmlNode>{})) {
    titles += (titles.empty() ? L"" : L" ") + entry.SelectSingle(L"title").text();
  }
  return titles;
}

class FeedDocumentTest : public ::testing::Test {
 protected:
  platform::XmlNode Load(platform::XmlDocument* document, const std::wstring& text) {
    EXPECT_TRUE(document->LoadXml(text)) << document->load_error();
    return document->Root().SelectSingle(L"feed");
  }

  testing::MemoryKeyStore store_;
  testing::CapturedLog log_;
  NxCal nxcal_{nullptr, L"ann@nexora.example", L"default", L""};
};

TEST_F(FeedDocumentTest, ApplyDeltaMergesEveryKindOfChange) {
  struct Case {
    const char* name;
    std::wstring base, delta, merged;
  };
  // Exceptions of the series s and m on the 16th.
  const std::wstring s16 = Exception(L"s", L"x1", L"confirmed"),
                     m16 = Exception(L"m", L"x2", L"canceled");
  const Case cases[] = {
      {"a one-off is replaced and moves to the end",
       Entry(L"a", L"a1", L"confirmed") + Entry(L"b", L"b1", L"confirmed"),
       Entry(L"a", L"a2", L"tentative"), L"b1 a2"},
      {"a deleted one-off leaves",
       Entry(L"a", L"a1", L"confirmed") + Entry(L"b", L"b1", L"confirmed"),
       Entry(L"a", L"a2", L"canceled"), L"b1"},
      {"a changed series drops its stored exceptions, not an entry named like it",
       Series(L"s", L"s1", L"confirmed", 3) + s16 + Entry(L"sx", L"t1", L"confirmed"),
       Series(L"s", L"s2", L"confirmed", 5), L"t1 s2"},
      {"a series canceled one step on keeps them", Series(L"s", L"s1", L"confirmed", 3) + s16,
       Series(L"s", L"s2", L"canceled", 4), L"x1"},
      {"an unchanged sequence keeps them", Series(L"s", L"s1", L"confirmed", 3) + s16,
       Series(L"s", L"s2", L"confirmed", 3), L"x1 s2"},
      {"a canceled occurrence of a series in the feed is kept",
       Series(L"m", L"m1", L"confirmed", 1), m16, L"m1 x2"},
      {"a canceled occurrence of a series not in the feed is removed",
       Entry(L"a", L"a1", L"confirmed"), m16, L"a1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::XmlDocument base_document, delta_document;
    const auto base = Load(&base_document, Feed(L"2008-03-01T00:00:00.000Z", c.base));
    const auto delta = Load(&delta_document, Feed(L"2008-03-02T00:00:00.000Z", c.delta));
    ASSERT_EQ(S_OK, nxcal_.ApplyDelta(base, delta));
    EXPECT_EQ(c.merged, Titles(base));
    // The delta's time replaces the base's, once, as the last child.
    const auto updated = base.Select(L"updated");
    ASSERT_EQ(1u, updated->size());
    EXPECT_EQ(L"2008-03-02T00:00:00.000Z", updated->front().text());
    EXPECT_EQ(updated->front(), base.Select(L"*")->back());
  }

  // An entry without a status cannot be merged.
  platform::XmlDocument base_document, delta_document;
  const auto base = Load(&base_document, Feed(L"2008-03-01T00:00:00.000Z", L""));
  const auto delta = Load(&delta_document, Feed(L"2008-03-02T00:00:00.000Z",
                                                L"<entry><id>" + Id(L"a") + L"</id></entry>"));
  EXPECT_EQ(S_FALSE, nxcal_.ApplyDelta(base, delta));
}

TEST_F(FeedDocumentTest, ProcessFeedAttachesExceptionsAndDropsWhatTheUserDeclined) {
  // 03:00 UTC on the 18th is the 17th here; a plain date stays the date it names.
  testing::EnvGuard tz("TZ", "America/Los_Angeles");
  const std::wstring declined = L"<nxd:who email=\"ann@nexora.example\" rel=\"" + kDs +
                                L"#event.attendee\"><nxd:attendeeStatus value=\"" + kDs +
                                L"#event.declined\"/></nxd:who>";
  platform::XmlDocument document;
  const auto feed = Load(
      &document,
      Feed(L"2008-03-02T00:00:00.000Z",
           Series(L"s", L"Series", L"confirmed", 1) +
               Entry(L"s_1", L"Moved", L"confirmed", Original(L"s", L"2008-03-16T09:00:00.000Z")) +
               Entry(L"s_2", L"Skipped", L"confirmed",
                     Original(L"s", L"2008-03-17T09:00:00.000Z") + declined) +
               Entry(L"d", L"Declined", L"confirmed", declined) +
               Entry(L"gone", L"Gone", L"canceled") +
               Entry(L"x_1", L"Orphan", L"confirmed", Original(L"x", L"2008-03-18T03:00:00.000Z")) +
               Entry(L"y_1", L"All-day orphan", L"confirmed", Original(L"y", L"2008-03-17")) +
               Entry(L"x_2", L"Orphan canceled", L"canceled",
                     Original(L"x", L"2008-03-18T20:00:00.000Z"))));
  EventMap events;
  std::wstring error;
  testing::ProgressRecorder progress;
  ASSERT_TRUE(nxcal_.ProcessFeed(feed, &events, &error, &progress)) << log_.Text();

  ASSERT_THAT(events, ::testing::SizeIs(3));
  const Event& series = *events.at(Id(L"s"));
  ASSERT_NE(nullptr, series.recurrence());
  std::vector<std::pair<std::wstring, EventStatus>> exceptions;
  for (const auto& exception : series.recurrence()->exceptions()) {
    exceptions.emplace_back(exception->title(), exception->status());
  }
  EXPECT_THAT(exceptions, ElementsAre(std::pair(L"Moved", kEventStatusConfirmed),
                                      std::pair(L"Skipped", kEventStatusCanceled)));
  EXPECT_EQ(L"uid-x_1|20080317", events.at(Id(L"x_1"))->ical_uid());
  EXPECT_EQ(L"uid-y_1|20080317", events.at(Id(L"y_1"))->ical_uid());

  EXPECT_THAT(progress.tasks, ElementsAre(LoadResourceString(IDS_ANALYZING_EVENTS) + L"/8"));
  EXPECT_THAT(progress.sub_tasks, ElementsAre(L"1 out of 8", L"2 out of 8", L"3 out of 8",
                                              L"6 out of 8", L"7 out of 8", L"8 out of 8"));
  std::vector<std::wstring> cached;
  for (const auto& [id, node] : nxcal_.entry_nodes()) cached.push_back(id);
  EXPECT_THAT(cached, UnorderedElementsAre(Id(L"s"), Id(L"s_1"), Id(L"s_2"), Id(L"x_1"), Id(L"y_1"),
                                           Id(L"x_2")));
  EXPECT_TRUE(log_.Contains("8 entries read"));
  EXPECT_TRUE(log_.Contains("6 entries processed"));
}

TEST(BaseFeedPathTest, IsNamedAfterTheUtf8BytesOfAccountAndCalendar) {
  for (const auto& [email, calendar, folder, path] :
       {std::tuple{L"ann@nexora.example", L"default", L"/d", L"C3FB9712C74306A3BD5596B35B508CAD"},
        std::tuple{L"ann@nexora.example", L"default", L"/d/", L"C3FB9712C74306A3BD5596B35B508CAD"},
        std::tuple{L"zo\u00eb@nexora.example", L"work", L"/d",
                   L"8766EAE338FEFC7E57C660F830F03436"}}) {
    EXPECT_EQ(std::wstring(L"/d/") + path + L".FEED",
              NxCal(nullptr, email, calendar, folder).BaseFeedPath());
  }
}

// Whole fetches against the stand-in, each run with a fresh calendar on a fresh connection.
class FetchTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new testing::WebcalServer(); }
  static void TearDownTestSuite() { delete server_; }
  void SetUp() override {
    ASSERT_TRUE(server_->ready()) << "the web calendar stand-in did not start";
    ASSERT_TRUE(client_.ResetServer());
  }

  static void Admin(const std::string& method, const std::string& path, const std::string& json) {
    const std::string answer = server_->Admin(method, path, json);
    ASSERT_NE('<', answer.empty() ? '<' : answer[0]) << path << ": " << answer;
  }
  // Sets the stand-in's clock this many seconds from the machine's.
  static void ServerClock(int64_t from_now, int milliseconds = 0) {
    const DateTime at = AddSeconds(*DateTime::Now(), from_now);
    const std::wstring text = FormatIso(DateTime::FromFields(at.day, at.month, at.year, at.hour,
                                                             at.minute, at.second, milliseconds));
    Admin("POST", "clock", R"({"now":")" + WideToUtf8(text) + R"("})");
  }
  static void Seed(const std::string& uid) {
    Admin("POST", "entries",
          R"({"email":"ann@nexora.example","calendar":"default","entries":[{"uid":")" + uid +
              R"(","title":")" + uid +
              R"(","start":"2026-03-02T09:00:00.000Z","end":"2026-03-02T10:00:00.000Z"}]})");
  }

  bool Fetch() {
    nxcal_ = client_.Open();
    log_.Clear();
    error_.clear();
    progress_ = testing::ProgressRecorder();
    return nxcal_->FetchEvents(&error_, &progress_);
  }
  bool Incremental() const { return log_.Contains("Delta feed contains"); }
  std::vector<std::wstring> Titles() const {
    std::vector<std::wstring> titles;
    for (const auto& [id, event] : nxcal_->events()) titles.push_back(event->title());
    return titles;
  }
  fs::path BasePath() const { return WideToUtf8(nxcal_->BaseFeedPath()); }
  static SystemTime LocalDaysAgo(int days) {
    return MachineUtcToLocal(AddDays(*DateTime::Now(), -days).ToSystemTime()).value();
  }

  static inline testing::WebcalServer* server_ = nullptr;
  testing::WebcalClient client_{server_};
  testing::CapturedLog log_;
  std::unique_ptr<NxCal> nxcal_;
  std::wstring error_;
  testing::ProgressRecorder progress_;
};

TEST_F(FetchTest, AFullDownloadStoresTheBaseAndTheNextRunAsksOnlyForChanges) {
  ServerClock(-3600);
  Seed("one");
  Admin("POST", "clock", R"({"advance_seconds":10})");
  ASSERT_TRUE(Fetch()) << log_.Text();
  EXPECT_FALSE(Incremental());
  EXPECT_THAT(Titles(), ElementsAre(L"one"));
  EXPECT_TRUE(fs::exists(BasePath()));
  const auto last_full = nxcal_->ReadLastFullFetchTime();
  ASSERT_NE(nullptr, last_full);
  EXPECT_LT(SecondsBetween(*DateTime::Now(), *last_full), 60u);
  EXPECT_EQ(LoadResourceString(IDS_LOADING_EVENTS) + L"/100", progress_.tasks.at(0));

  // The feed is complete up to its "updated" (a second before the listing): a change
  // stored within the second after that must still come with the delta.
  ServerClock(-3591, 500);
  Seed("late");
  Admin("POST", "clock", R"({"advance_seconds":60})");
  Seed("two");
  ASSERT_TRUE(Fetch()) << log_.Text();
  EXPECT_TRUE(log_.Contains("Delta feed contains 2 entries")) << log_.Text();
  EXPECT_THAT(Titles(), UnorderedElementsAre(L"one", L"late", L"two"));
}

// Which runs download everything: the base's age, the last full download's, and damage.
TEST_F(FetchTest, AgesAndDamageDecideBetweenFullAndIncremental) {
  struct Case {
    const char* name;
    int64_t base_age_seconds;
    std::optional<std::string> last_full;  // none: absent
    bool torn;                             // the base cut in half
    bool incremental;
  };
  auto local_bytes = [](const SystemTime& time) {
    return std::string(reinterpret_cast<const char*>(&time), sizeof time);
  };
  const SystemTime year_1900{1900, 1, 1, 1, 0, 0, 0, 0};
  const Case cases[] = {
      {"two days old", 2 * 86400, local_bytes(LocalDaysAgo(1)), false, true},
      {"eight days old", 8 * 86400, local_bytes(LocalDaysAgo(1)), false, false},
      {"last full download 31 days ago", 2 * 86400, local_bytes(LocalDaysAgo(31)), false, false},
      {"last full download unknown", 2 * 86400, std::nullopt, false, true},
      {"last full download unreadable", 2 * 86400, "short", false, true},
      {"last full download beyond 32-bit seconds", 3600, local_bytes(year_1900), false, false},
      {"base ahead of the clock", -3600, local_bytes(LocalDaysAgo(1)), false, true},
      {"torn base", 3600, local_bytes(LocalDaysAgo(1)), true, false},
  };
  for (const Case& c : cases) {
    testing::TempDir home;
    testing::EnvGuard config("XDG_CONFIG_HOME", home.path().c_str());
    client_.ForgetCache();
    ASSERT_TRUE(client_.ResetServer());
    ServerClock(-c.base_age_seconds);
    Seed("one");
    ASSERT_TRUE(Fetch()) << c.name << log_.Text();
    platform::DeleteStoreValue("Software\\Nexora\\Tidewell", "LastFullFetchTime");
    if (c.last_full) {
      ASSERT_TRUE(platform::WriteStoreValue("Software\\Nexora\\Tidewell", "LastFullFetchTime",
                                            *c.last_full));
    }
    const std::string base = testing::ReadFileText(BasePath());
    if (c.torn) testing::WriteFileText(BasePath(), base.substr(0, base.size() / 2));

    ServerClock(std::max<int64_t>(0, 60 - c.base_age_seconds));  // after the base's time
    Seed("two");
    ASSERT_TRUE(Fetch()) << c.name << log_.Text();
    EXPECT_EQ(c.incremental, Incremental()) << c.name;
    EXPECT_THAT(Titles(), UnorderedElementsAre(L"one", L"two")) << c.name;
  }
}

TEST_F(FetchTest, ABaseThatCannotBeWrittenFailsTheFetchAndKeepsTheOldOne) {
  ServerClock(-3600);
  Seed("one");
  ASSERT_TRUE(Fetch()) << log_.Text();
  const std::string base = testing::ReadFileText(BasePath());
  Seed("two");
  bool fetched = true;
  testing::WithFileSizeLimit(64, [&] { fetched = Fetch(); });
  EXPECT_FALSE(fetched);
  EXPECT_EQ(FormatResourceString(IDS_ERROR_CODE, {L"2015"}), error_);
  EXPECT_EQ(base, testing::ReadFileText(BasePath()));
  EXPECT_EQ(1, std::distance(fs::directory_iterator(client_.data().path()),
                             fs::directory_iterator()));  // no temporary left
}

TEST_F(FetchTest, AMergeThatFailsDropsTheBaseSoThatTheNextRunDownloadsEverything) {
  ServerClock(-3600);
  Seed("one");
  ASSERT_TRUE(Fetch()) << log_.Text();
  // An entry whose status is missing cannot be merged.
  Admin("POST", "entries",
        R"({"email":"ann@nexora.example","calendar":"default","entries":[{"xml":)"
        R"("<entry xmlns=\"http://www.w3.org/2005/Atom\" xmlns:nxCal=\")" +
            WideToUtf8(kCalendarSchema) +
            R"(\"><title>odd</title><nxCal:uid value=\"odd\"/></entry>"}]})");
  EXPECT_FALSE(Fetch());
  EXPECT_EQ(FormatResourceString(IDS_ERROR_CODE, {L"2017"}), error_);
  EXPECT_FALSE(fs::exists(BasePath()));

  Fetch();
  EXPECT_FALSE(Incremental());
  EXPECT_TRUE(fs::exists(BasePath()));
}

}  // namespace
}  // namespace calendar_mirrow_addin
