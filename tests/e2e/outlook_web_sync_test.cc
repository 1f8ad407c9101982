// The engine between the persistent web calendar stand-in and the simulated Outlook in each
// mode: a first sync of a thousand events made on both sides, then edits, moved and
// canceled occurrences and deletions on each side, then a quiet run that writes nothing.
// Both stand-ins restart between the phases; after every run both sides hold what the
// mode says, and each event reads back from the other side unchanged.

#include <gtest/gtest.h>

#include "base/logger.h"
#include "tests/e2e/sync_pair.h"

namespace calendar_mirrow_addin {
namespace {

using testing::SyncPair;
using Kind = SyncPair::Kind;

constexpr Kind kKinds[] = {Kind::kSingle, Kind::kAllDay, Kind::kWeeklyBerlin, Kind::kMonthlyNewYork,
                           Kind::kMeeting};
constexpr int kPerSide = 500;

std::wstring WebUid(int i) { return L"web-" + std::to_wstring(i) + L"@nexora.example"; }

// The lines of a run's log that say what went wrong, each with the two before it, at most
// a few.
std::string Failures(const testing::CapturedLog& log) {
  std::istringstream lines(log.Text());
  std::string line, before[2], out;
  for (int shown = 0; shown < 10 && std::getline(lines, line);) {
    if (line.find("nable to") != std::string::npos || line.find("SEVERE") != std::string::npos) {
      out += before[0] + "\n" + before[1] + "\n" + line + "\n--\n";
      ++shown;
    }
    before[0] = std::move(before[1]);
    before[1] = line;
  }
  return out;
}

class OutlookWebSyncTest : public ::testing::TestWithParam<SyncMode> {
 protected:
  void SetUp() override { ASSERT_TRUE(pair_.ready()); }

  void RunAndCompare(const char* phase) {
    SCOPED_TRACE(phase);
    log_.Clear();
    std::string error;
    ASSERT_TRUE(pair_.Run(GetParam(), &error)) << error << "\n" << Failures(log_);
    auto web = pair_.Web();
    auto outlook = pair_.LoadedOutlook();
    ASSERT_TRUE(web && outlook);
    EXPECT_EQ("", testing::CompareSides(*web, *outlook, expected_.Web(), expected_.Outlook(),
                                        expected_.Synced()))
        << Failures(log_);
  }

  testing::CapturedLog log_{Logger::INFO};
  SyncPair pair_;
  testing::ExpectedUids expected_{GetParam()};
};

TEST_P(OutlookWebSyncTest, AThousandEventsThenChangesOnBothSidesThenAQuietRun) {
  // Five kinds on each side; a few series with a moved and a canceled occurrence.
  std::vector<std::string> web_entries;
  for (int i = 0; i < kPerSide; ++i) {
    web_entries.push_back(
        SyncPair::WebEntry(kKinds[i % 5], WideToUtf8(WebUid(i)), i, "Web " + std::to_string(i)));
    expected_.Created(true, WebUid(i));
  }
  ASSERT_TRUE(pair_.AddToWeb(web_entries));
  std::vector<sim::Bytes> items;
  for (int i = 0; i < kPerSide; ++i) {
    items.push_back(pair_.AddToOutlook(kKinds[i % 5], i, L"Outlook " + std::to_wstring(i)));
    ASSERT_FALSE(items.back().empty()) << i;
  }
  for (int i : {12, 13, 17, 18}) {
    const Kind kind = kKinds[i % 5];
    ASSERT_TRUE(pair_.EditWeb(WebUid(i), SyncPair::OccurrenceMove(kind, 0)));
    ASSERT_TRUE(pair_.EditWeb(WebUid(i), SyncPair::OccurrenceCancel(kind, 1)));
    ASSERT_TRUE(pair_.ChangeOutlookOccurrence(sim::HexText(items[i]), kind, 0, true));
    ASSERT_TRUE(pair_.ChangeOutlookOccurrence(sim::HexText(items[i]), kind, 1, false));
  }
  auto outlook_ids = pair_.OutlookIdsByUid();
  ASSERT_EQ(outlook_ids.size(), static_cast<size_t>(kPerSide));
  std::vector<std::wstring> outlook_uid(kPerSide);
  for (const auto& [uid, id] : outlook_ids) {
    expected_.Created(false, uid);
    for (int i = 0; i < kPerSide; ++i)
      if (sim::HexText(items[i]) == id) outlook_uid[i] = uid;
  }
  RunAndCompare("first sync");
  ASSERT_TRUE(pair_.Restart());

  // Changes on each side, to its own events and to the other side's where it holds them.
  pair_.Later();
  const auto web_holds = [&](const std::wstring& uid) { return expected_.Web().count(uid) != 0; };
  const auto outlook_holds = [&](const std::wstring& uid) {
    return expected_.Outlook().count(uid) != 0;
  };
  ASSERT_TRUE(pair_.EditWeb(WebUid(0), R"("title":"Web retitled")"));
  ASSERT_TRUE(pair_.EditWeb(WebUid(1), R"("move":{"start":"2026-05-02T07:00:00.000Z",)"
                                       R"("end":"2026-05-02T08:00:00.000Z"})"));
  ASSERT_TRUE(pair_.EditWeb(WebUid(2), SyncPair::OccurrenceMove(Kind::kWeeklyBerlin, 2)));
  ASSERT_TRUE(pair_.EditWeb(WebUid(3), SyncPair::OccurrenceCancel(Kind::kMonthlyNewYork, 1)));
  ASSERT_TRUE(pair_.EditWeb(WebUid(4), R"("delete":true)"));
  expected_.Deleted(true, WebUid(4));
  if (web_holds(outlook_uid[5])) {
    ASSERT_TRUE(pair_.EditWeb(outlook_uid[5], R"("title":"Retitled on the web")"));
  }
  if (web_holds(outlook_uid[10])) {
    ASSERT_TRUE(pair_.EditWeb(outlook_uid[10], R"("delete":true)"));
    expected_.Deleted(true, outlook_uid[10]);
  }
  const auto id = [&](int i) { return sim::HexText(items[i]); };
  ASSERT_TRUE(pair_.RetitleOutlookItem(id(0), L"Outlook retitled"));
  ASSERT_TRUE(pair_.MoveOutlookItem(id(1), 3));
  ASSERT_TRUE(pair_.ChangeOutlookOccurrence(id(2), Kind::kWeeklyBerlin, 2, true));
  ASSERT_TRUE(pair_.ChangeOutlookOccurrence(id(3), Kind::kMonthlyNewYork, 1, false));
  ASSERT_TRUE(pair_.DeleteOutlookItem(id(4)));
  expected_.Deleted(false, outlook_uid[4]);
  outlook_ids = pair_.OutlookIdsByUid();
  if (outlook_holds(WebUid(5))) {
    ASSERT_TRUE(pair_.RetitleOutlookItem(outlook_ids.at(WebUid(5)), L"Retitled in Outlook"));
  }
  if (outlook_holds(WebUid(10))) {
    ASSERT_TRUE(pair_.DeleteOutlookItem(outlook_ids.at(WebUid(10))));
    expected_.Deleted(false, WebUid(10));
  }
  RunAndCompare("changes on both sides");
  ASSERT_TRUE(pair_.Restart());

  // Nothing changed: no write on either side.
  pair_.Later();
  std::string error;
  const SyncPair::Writes writes = pair_.RunCountingWrites(GetParam(), &error);
  ASSERT_EQ("", error);
  EXPECT_EQ("", writes.web);
  EXPECT_EQ(0, writes.outlook);
  RunAndCompare("quiet run");
}

INSTANTIATE_TEST_SUITE_P(Modes, OutlookWebSyncTest,
                         ::testing::Values(kSyncToLeft, kSyncToRight, kTwoWay), testing::ModeName);

}  // namespace
}  // namespace calendar_mirrow_addin
