// `tidewell` driven as a person drives it: an account on the web stand-in, events made on
// both sides, then `tidewell sync` runs that start their own Outlook host, ask before
// mass deletions, stop when interrupted, survive a host killed mid-write, and refuse a
// second tray. Outlook is looked at through `tidewell outlook list`, the web through the
// stand-in's admin API. Every wait is on output or exit, each with a deadline.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/webcal_server.h"

namespace calendar_mirrow_addin::testing {
namespace {

constexpr char kEmail[] = "ann@nexora.example";
constexpr char kPassword[] = "s3cret&=";
constexpr char kFeedPath[] = "/calendar/feeds/default/private/full";
constexpr int kRunSeconds = 120;  // one sync of a few events, sanitizer build included

struct WebEntry {
  std::string uid, title, id, xml;
  bool exception = false;  // an occurrence of a series, not an event of its own
};

struct OutlookItem {
  std::string id, subject;
};

// The text between the first `open` and the `close` after it; empty when missing.
std::string Between(const std::string& text, const std::string& open, const std::string& close) {
  const size_t start = text.find(open);
  if (start == std::string::npos) return "";
  const size_t end = text.find(close, start + open.size());
  return end == std::string::npos ? ""
                                  : text.substr(start + open.size(), end - start - open.size());
}

// Outlook's modification times are read rounded to the whole second, and a run sees an
// Outlook edit only by a newer time than the one it recorded (a run stamps new items with
// their UID): an edit a person makes must come a second or more after the run before it.
// Waits until a second has passed since `before`.
void ASecondAfter(std::chrono::steady_clock::time_point before) {
  while (std::chrono::steady_clock::now() < before + std::chrono::seconds(1)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Titles of events (occurrences of a series left out) or subjects of Outlook items.
template <typename Item>
std::multiset<std::string> Names(const std::vector<Item>& items) {
  std::multiset<std::string> names;
  for (const Item& item : items) {
    if constexpr (std::is_same_v<Item, WebEntry>) {
      if (!item.exception) names.insert(item.title);
    } else {
      names.insert(item.subject);
    }
  }
  return names;
}

class TidewellCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ready());
    ASSERT_EQ(
        Admin("POST", "accounts",
              std::string(R"({"email":")") + kEmail + R"(","password":")" + kPassword + R"("})")[0],
        '{');
    const Outcome account = Run({"account", "--email", kEmail, "--server", server_.service_url(),
                                 "--accounts-server", server_.accounts_url(), "--password-stdin"},
                                std::string(kPassword) + "\n");
    ASSERT_EQ(account.status, 0) << account.err;
  }
  // A host that a failed test left behind (its tray killed at a deadline) ends with it.
  void TearDown() override { Run({"host", "--stop"}); }

  // This process's environment without what would lead the child elsewhere, plus the test's
  // own home, object names, store and certificate authority.
  std::vector<std::string> Environment() const {
    return EnvironmentWith({"HOME=" + home_.path().string(), "TZ=Europe/Berlin",
                            "TIDEWELL_NAMES_PREFIX=clie2e" + std::to_string(getpid()) + "_",
                            "TIDEWELL_OUTLOOK_STORE=" + (home_.path() / "outlook.sqlite").string(),
                            "TIDEWELL_CA_FILE=" + server_.ca_file()},
                           [](const std::string& name) {
                             const bool proxy = name.ends_with("proxy") || name.ends_with("PROXY");
                             return proxy || name.starts_with("XDG_") ||
                                    name.starts_with("TIDEWELL_");
                           });
  }

  std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& words,
                                      const std::string& input = "") {
    std::vector<std::string> argv{TIDEWELL_EXE};
    argv.insert(argv.end(), words.begin(), words.end());
    return std::make_unique<ChildProcess>(argv, Environment(), input);
  }
  Outcome Run(const std::vector<std::string>& words, const std::string& input = "") {
    return Start(words, input)->Finish(kRunSeconds);
  }

  std::string Admin(const std::string& method, const std::string& path,
                    const std::string& json = "") {
    return server_.Admin(method, path, json);
  }
  bool AddWeb(const std::string& entries) {
    return Admin("POST", "entries",
                 std::string(R"({"email":")") + kEmail + R"(","entries":[)" + entries + "]}")[0] ==
           '{';
  }
  bool EditWeb(const std::string& uid, const std::string& change) {
    return Admin("POST", "edit",
                 std::string(R"({"email":")") + kEmail + R"(","uid":")" + uid + "\"," + change +
                     "}")[0] == '{';
  }
  bool Fault(const std::string& json) { return Admin("POST", "faults", json)[0] == '{'; }

  // The live entries, in the order the server stored them.
  std::vector<WebEntry> WebEntries() {
    const std::string listing =
        Admin("GET", std::string("entries?calendar=default&email=") + kEmail);
    std::vector<WebEntry> entries;
    const std::string marker = "{\"id\": \"";
    for (size_t at = listing.find(marker); at != std::string::npos;) {
      const size_t next = listing.find(marker, at + 1);
      const std::string one = listing.substr(at, next == std::string::npos ? next : next - at);
      entries.push_back(
          {Between(one, "\"uid\": \"", "\""), Between(one, "<title type=\\\"text\\\">", "</title>"),
           Between(one, marker, "\""), one, one.find("nxd:originalEvent") != std::string::npos});
      at = next;
    }
    return entries;
  }
  // Outlook's items through `tidewell outlook list`.
  std::vector<OutlookItem> OutlookItems() {
    const Outcome listed = Run({"outlook", "list"});
    EXPECT_EQ(listed.status, 0) << listed.err;
    std::vector<OutlookItem> items;
    std::istringstream lines(listed.out);
    for (std::string line; std::getline(lines, line);) {
      if (line.empty() || line[0] == '\t') continue;  // an occurrence of the series above
      std::vector<std::string> fields;
      std::istringstream split(line);
      for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
      if (fields.size() == 5) items.push_back({fields[0], fields[4]});
    }
    return items;
  }
  std::string OutlookId(const std::string& subject) {
    for (const OutlookItem& item : OutlookItems()) {
      if (item.subject == subject) return item.id;
    }
    ADD_FAILURE() << "no Outlook item " << subject;
    return "";
  }
  std::string AddOutlook(const std::vector<std::string>& options) {
    std::vector<std::string> words{"outlook", "add"};
    words.insert(words.end(), options.begin(), options.end());
    const Outcome added = Run(words);
    EXPECT_EQ(added.status, 0) << added.err;
    return added.out.substr(0, added.out.find('\n'));
  }
  // The number of requests the web stand-in has served (admin calls aside).
  size_t WebRequestCount(const std::string& query = "") {
    return Occurrences(Admin("GET", "log" + query), "\"method\": ");
  }
  std::vector<std::filesystem::path> RecoveryLogs() const {
    std::vector<std::filesystem::path> logs;
    const auto folder = home_.path() / ".local/share/Nexora/Tidewell/data_files";
    std::error_code ignored;
    for (const auto& file : std::filesystem::directory_iterator(folder, ignored)) {
      if (file.path().extension() == ".LOG") logs.push_back(file.path());
    }
    return logs;
  }

  TempDir home_;
  WebcalServer server_;
};

TEST_F(TidewellCliTest, FirstSyncJoinsBothSidesThenEachChangeCrossesOver) {
  const std::string single = AddOutlook(
      {"--subject", "Outlook single", "--start", "2027-01-06T10:00", "--end", "2027-01-06T11:00"});
  const std::string weekly =
      AddOutlook({"--subject", "Outlook weekly", "--start", "2027-01-05T14:00", "--end",
                  "2027-01-05T15:00", "--weekly", "TU", "--count", "4"});
  ASSERT_EQ(Run({"outlook", "edit", weekly, "--occurrence", "2027-01-12T14:00", "--move-to",
                 "2027-01-13T16:00"})
                .status,
            0);
  ASSERT_TRUE(AddWeb(R"({"uid":"web-single@nexora.example","title":"Web single",)"
                     R"("start":"2027-01-07T09:00:00Z","end":"2027-01-07T10:00:00Z"},)"
                     R"({"uid":"web-weekly@nexora.example","title":"Web weekly","recurrence":)"
                     R"("DTSTART;TZID=Europe/Berlin:20270104T090000\r\nDTEND;TZID=Europe/Berlin:)"
                     R"(20270104T100000\r\nRRULE:FREQ=WEEKLY;BYDAY=MO;COUNT=4\r\n"})"));
  ASSERT_TRUE(EditWeb("web-weekly@nexora.example",
                      R"("original_start":"2027-01-11T08:00:00Z","move":)"
                      R"({"start":"2027-01-11T10:00:00Z","end":"2027-01-11T11:00:00Z"})"));

  const Outcome first = Run({"sync", "--yes"});
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  const auto first_done = std::chrono::steady_clock::now();
  // Standard output is a pipe: one plain line per status, no redrawing.
  EXPECT_NE(first.out.find("% Synchronizing events"), std::string::npos) << first.out;
  EXPECT_EQ(first.out.find('\r'), std::string::npos);
  const std::multiset<std::string> all = {"Outlook single", "Outlook weekly", "Web single",
                                          "Web weekly"};
  EXPECT_EQ(Names(OutlookItems()), all);
  const std::vector<WebEntry> web = WebEntries();
  EXPECT_EQ(Names(web), all);
  // Each side's moved occurrence reached the other.
  bool moved_on_web = false;
  for (const WebEntry& entry : web) {
    moved_on_web = moved_on_web || (entry.exception && entry.title == "Outlook weekly" &&
                                    entry.id.ends_with("_20270112T130000Z") &&
                                    entry.xml.find("2027-01-13T") != std::string::npos);
  }
  EXPECT_TRUE(moved_on_web);
  const Outcome occurrences =
      Run({"outlook", "list", "--from", "2027-01-11", "--to", "2027-01-12"});
  EXPECT_NE(occurrences.out.find("\toccurrence\t2027-01-11T11:00\t2027-01-11T12:00\tWeb weekly\t"
                                 "changed from 2027-01-11T09:00\n"),
            std::string::npos)
      << occurrences.out;

  // Then one change of each kind on each side.
  ASecondAfter(first_done);
  ASSERT_EQ(Run({"outlook", "edit", single, "--subject", "Outlook single renamed"}).status, 0);
  ASSERT_EQ(Run({"outlook", "delete", OutlookId("Web single")}).status, 0);
  ASSERT_TRUE(EditWeb("web-weekly@nexora.example", R"("title":"Web weekly renamed")"));
  std::string outlook_weekly_uid;
  for (const WebEntry& entry : web) {
    if (entry.title == "Outlook weekly" && !entry.exception) outlook_weekly_uid = entry.uid;
  }
  ASSERT_TRUE(EditWeb(outlook_weekly_uid, R"("delete":true)"));

  const Outcome second = Run({"sync", "--yes"});
  ASSERT_EQ(second.status, 0) << second.out << second.err;
  const std::multiset<std::string> left = {"Outlook single renamed", "Web weekly renamed"};
  EXPECT_EQ(Names(OutlookItems()), left);
  EXPECT_EQ(Names(WebEntries()), left);
}

TEST_F(TidewellCliTest, MassDeletionIsRefusedWithoutATerminalAndDoneWithYes) {
  // More than ten deletions on a side make the run ask before deleting on the other.
  ASSERT_EQ(
      Admin("POST", "entries",
            std::string(R"({"email":")") + kEmail +
                R"(","generate":{"count":11,"start":"2027-02-01T09:00:00Z","title":"Gen"}})")[0],
      '{');
  const Outcome first = Run({"sync", "--yes"});
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  ASSERT_EQ(OutlookItems().size(), 11u);
  for (int n = 1; n <= 11; ++n) {
    ASSERT_TRUE(EditWeb("gen-" + std::to_string(n) + "@nexora.example", R"("delete":true)"));
  }

  // Standard input is a pipe, not a terminal: the answer is No, and the run (which posts no
  // message) ends as the tray's design has it, with status 0 and the reason.
  const Outcome refused = Run({"sync"});
  EXPECT_EQ(refused.status, 0) << refused.out << refused.err;
  EXPECT_NE(refused.err.find("deleted 11 events from your Nexora Calendar"), std::string::npos);
  EXPECT_NE(refused.err.find("tidewell: not deleting without a terminal to ask; run again with "
                             "--yes to accept"),
            std::string::npos)
      << refused.err;
  EXPECT_EQ(OutlookItems().size(), 11u);

  const Outcome accepted = Run({"sync", "--yes"});
  EXPECT_EQ(accepted.status, 0) << accepted.out << accepted.err;
  EXPECT_EQ(OutlookItems().size(), 0u);
}

TEST_F(TidewellCliTest, InterruptedSyncStopsAndTheNextOneCompletes) {
  AddOutlook(
      {"--subject", "Outlook one", "--start", "2027-03-01T09:00", "--end", "2027-03-01T10:00"});
  ASSERT_TRUE(AddWeb(R"({"uid":"web-one@nexora.example","title":"Web one",)"
                     R"("start":"2027-03-02T09:00:00Z","end":"2027-03-02T10:00:00Z"})"));
  // The feed answers late, so that the run is still loading when the interrupt comes.
  ASSERT_TRUE(Fault(R"({"method":"GET","path_prefix":"/calendar/feeds/","delay_seconds":5})"));
  const auto tray = Start({"sync", "--yes"});
  ASSERT_TRUE(tray->ReadUntil("\n", kRunSeconds, true)) << tray->Shown();
  ASSERT_EQ(tray->out().find("Synchronizing events"), std::string::npos) << tray->Shown();
  kill(tray->pid(), SIGINT);
  const Outcome cancelled = tray->Finish(kRunSeconds);
  EXPECT_NE(cancelled.status, 0) << cancelled.out << cancelled.err;
  EXPECT_NE(cancelled.err.find("cancelled"), std::string::npos) << cancelled.err;

  const Outcome next = Run({"sync", "--yes"});
  ASSERT_EQ(next.status, 0) << next.out << next.err;
  const std::multiset<std::string> both = {"Outlook one", "Web one"};
  EXPECT_EQ(Names(OutlookItems()), both);
  EXPECT_EQ(Names(WebEntries()), both);
}

TEST_F(TidewellCliTest, SecondTrayIsRefusedWhileASyncRuns) {
  ASSERT_TRUE(AddWeb(R"({"uid":"web-one@nexora.example","title":"Web one",)"
                     R"("start":"2027-03-02T09:00:00Z","end":"2027-03-02T10:00:00Z"})"));
  ASSERT_TRUE(Fault(R"({"method":"GET","path_prefix":"/calendar/feeds/","delay_seconds":4})"));
  const auto first = Start({"sync", "--yes"});
  ASSERT_TRUE(first->ReadUntil("\n", kRunSeconds, true)) << first->Shown();

  const Outcome second = Run({"sync", "--yes"});
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.err.find("another tidewell sync is running"), std::string::npos) << second.err;
  const Outcome done = first->Finish(kRunSeconds);
  ASSERT_EQ(done.status, 0) << done.out << done.err;

  // One run read the feed once; a second run would have read it again.
  const std::string log = Admin("GET", "log");
  EXPECT_EQ(Occurrences(log, std::string("\"path\": \"") + kFeedPath + "\", \"status\": 200"), 1u)
      << log;
  EXPECT_EQ(Names(OutlookItems()), std::multiset<std::string>{"Web one"});
}

TEST_F(TidewellCliTest, HostKilledMidWriteIsReportedAndTheNextRunRecovers) {
  const std::multiset<std::string> kept = {"Kept 1", "Kept 2", "Kept 3"};
  for (int n = 1; n <= 3; ++n) {
    const std::string day = "2027-04-0" + std::to_string(n);
    AddOutlook({"--subject", "Kept " + std::to_string(n), "--start", day + "T09:00", "--end",
                day + "T10:00"});
  }
  const auto host = Start({"host"});
  ASSERT_TRUE(host->ReadUntil("tidewell host: ready (pid ", kRunSeconds)) << host->Shown();
  // The first new entry goes through; the second is held while the host is killed.
  ASSERT_TRUE(Fault(R"({"method":"POST","path_prefix":"/calendar/feeds/","skip":1,)"
                    R"("delay_seconds":4})"));
  const auto tray = Start({"sync", "--yes"});
  ASSERT_TRUE(tray->ReadUntil("Synchronizing events (item 2 out of 3)", kRunSeconds))
      << tray->Shown();
  kill(host->pid(), SIGKILL);
  host->Finish(kRunSeconds);
  const Outcome orphaned = tray->Finish(30);
  EXPECT_EQ(orphaned.status, 1) << orphaned.out << orphaned.err;
  EXPECT_NE(orphaned.err.find("the Outlook host ended during the sync"), std::string::npos)
      << orphaned.err;
  EXPECT_EQ(RecoveryLogs().size(), 1u);  // the first write was logged, the data never saved

  // The held request lands now or never; either way before the next run looks.
  const size_t served = WebRequestCount();
  WebRequestCount("?count=" + std::to_string(served + 1));

  const Outcome recovered = Run({"sync", "--yes"});
  ASSERT_EQ(recovered.status, 0) << recovered.out << recovered.err;
  EXPECT_TRUE(RecoveryLogs().empty());
  const std::vector<WebEntry> web = WebEntries();
  EXPECT_EQ(Names(web), kept);
  std::set<std::string> uids;
  for (const WebEntry& entry : web) uids.insert(entry.uid);
  EXPECT_EQ(uids.size(), 3u);
  EXPECT_EQ(Names(OutlookItems()), kept);
  // Nothing of the killed host stays held: another run starts and ends.
  const Outcome third = Run({"sync", "--yes"});
  EXPECT_EQ(third.status, 0) << third.out << third.err;
}

}  // namespace
}  // namespace calendar_mirrow_addin::testing
