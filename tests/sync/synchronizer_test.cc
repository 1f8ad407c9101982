#include "sync/synchronizer.h"

#include <gtest/gtest.h>

#include "tests/sync/sync_fixture.h"

namespace calendar_mirrow_addin {
namespace {

using testing::NewEvent;
using testing::ReadFileText;
using testing::SyncFixture;

int Total(const SyncCounts& c) { return c.imports + c.updates + c.deletes; }
int Total(const SyncStats& s) { return Total(s.left) + Total(s.right); }

class SynchronizerTest : public SyncFixture {};

TEST_F(SynchronizerTest, EmptyCalendarsWriteAnEmptyDataFile) {
  const SyncStats stats = Run(kTwoWay);
  EXPECT_EQ(Total(stats), 0);
  ASSERT_TRUE(std::filesystem::exists(DataFile()));
  EXPECT_EQ(std::filesystem::file_size(DataFile()), 0u);
  EXPECT_FALSE(std::filesystem::exists(RecoveryLog()));
}

TEST_F(SynchronizerTest, EquivalentPairIsRecordedWithoutWrites) {
  left_.Add(NewEvent(L"u1", L"Lunch"));
  right_.Add(NewEvent(L"u1", L"  Lunch\r\n"));
  // A trial cannot compare contents, so it counts one update (the newer right side wins).
  SyncStats stats = Run(kTwoWay, /*trial=*/true);
  EXPECT_EQ(stats.left.updates, 1);
  EXPECT_EQ(Total(stats), 1);
  EXPECT_FALSE(std::filesystem::exists(DataFile()));

  stats = Run(kTwoWay);
  EXPECT_EQ(Total(stats), 0);
  EXPECT_EQ(left_.write_count() + right_.write_count(), 0);
  EXPECT_NE(ReadFileText(DataFile()).find("u1 "), std::string::npos);
  // Now remembered: the next run finds nothing changed.
  EXPECT_EQ(Total(Run(kTwoWay)), 0);
  EXPECT_TRUE(log_.Contains("skipping not changed events: L1 and R1\n"));
}

TEST_F(SynchronizerTest, EditsFlowToTheOtherSideAndSettle) {
  const std::wstring id = left_.Add(NewEvent(L"u1", L"Lunch"));
  Run(kTwoWay);
  ASSERT_NE(right_.FindByUid(L"u1"), nullptr);
  left_.Edit(id, [](Event& e) { e.set_location(L"Cafe"); });
  SyncStats stats = Run(kTwoWay);
  EXPECT_EQ(stats.right.updates, 1);
  EXPECT_EQ(right_.FindByUid(L"u1")->location(), L"Cafe");
  EXPECT_TRUE(log_.Contains("left is master -> update right\n"));
  EXPECT_TRUE(log_.Contains("Mutating: Outlook updated u1\n"));
  // The update's new time was remembered: nothing more to do.
  EXPECT_EQ(Total(Run(kTwoWay)), 0);
}

TEST_F(SynchronizerTest, BothChangedTheNewerWinsAndEqualTimesFavourTheLeft) {
  MemoryCalendar left(L"NxCal", L"L");  // Separate clocks: equal times are possible.
  MemoryCalendar right(L"Outlook", L"R");
  const std::wstring left_id = left.Add(NewEvent(L"u1", L"Left"));
  right.Add(NewEvent(L"u1", L"Right"));
  Synchronizer sync(&left, &right, kTwoWay, data_path_);
  NullProgressMonitor progress;
  std::wstring error;
  SyncStats stats;
  ASSERT_TRUE(sync.LoadEvents(&progress, error));
  ASSERT_TRUE(sync.SyncCalendars(false, &progress, &stats));
  EXPECT_TRUE(log_.Contains("left is master -> update right\n"));
  EXPECT_EQ(right.FindByUid(L"u1")->title(), L"Left");

  // Both edited again; the right edit is later and wins.
  left.Edit(left_id, [](Event& e) { e.set_title(L"Left 2"); });
  const std::wstring right_id = right.FindByUid(L"u1")->id();
  right.Edit(right_id, [](Event& e) { e.set_title(L"Right 2"); });
  right.Edit(right_id, [](Event& e) { e.set_body(L"later"); });
  ASSERT_TRUE(sync.LoadEvents(&progress, error));
  ASSERT_TRUE(sync.SyncCalendars(false, &progress, &stats));
  EXPECT_EQ(stats.left.updates, 1);
  EXPECT_EQ(left.FindByUid(L"u1")->title(), L"Right 2");
}

// One side holds an event: what each mode does with and without a sync record.
struct OneSidedCase {
  bool on_left;
  SyncMode mode;
  bool record;
  bool left_has, right_has;  // afterwards
  int left_imports, right_imports, left_deletes, right_deletes;
  const char* line;
};

class OneSidedTest : public SyncFixture, public ::testing::WithParamInterface<OneSidedCase> {};

TEST_P(OneSidedTest, FollowsTheDecisionTable) {
  const OneSidedCase& c = GetParam();
  MemoryCalendar& holder = c.on_left ? left_ : right_;
  MemoryCalendar& other = c.on_left ? right_ : left_;
  holder.Add(NewEvent(L"u1", L"Lunch"));
  if (c.record) {
    Run(kTwoWay);  // Both sides now hold it, with a record; then the other side drops it.
    ASSERT_TRUE(other.Erase(other.FindByUid(L"u1")->id()));
  }
  log_.Clear();
  const SyncStats stats = Run(c.mode);
  EXPECT_EQ(left_.FindByUid(L"u1") != nullptr, c.left_has);
  EXPECT_EQ(right_.FindByUid(L"u1") != nullptr, c.right_has);
  EXPECT_EQ(stats.left.imports, c.left_imports);
  EXPECT_EQ(stats.right.imports, c.right_imports);
  EXPECT_EQ(stats.left.deletes, c.left_deletes);
  EXPECT_EQ(stats.right.deletes, c.right_deletes);
  EXPECT_EQ(stats.left.updates + stats.right.updates, 0);
  EXPECT_TRUE(Logged(std::string("    ") + c.line)) << log_.Text();
  // Whatever survives on both sides is remembered; a deleted pair is forgotten.
  const bool paired = left_.FindByUid(L"u1") && right_.FindByUid(L"u1");
  EXPECT_EQ(ReadFileText(DataFile()).find("u1 ") != std::string::npos, paired);
}

INSTANTIATE_TEST_SUITE_P(
    AllModes, OneSidedTest,
    ::testing::Values(OneSidedCase{true, kSyncToRight, false, true, true, 0, 1, 0, 0,
                                   "sync to right -> import left event to right calendar"},
                      OneSidedCase{true, kSyncToRight, true, true, true, 0, 1, 0, 0,
                                   "sync to right -> import left event to right calendar"},
                      OneSidedCase{true, kSyncToLeft, false, true, false, 0, 0, 0, 0,
                                   "keep existing event to the left"},
                      OneSidedCase{true, kSyncToLeft, true, false, false, 0, 0, 1, 0,
                                   "sync to right -> delete left"},
                      OneSidedCase{true, kTwoWay, false, true, true, 0, 1, 0, 0,
                                   "sync to right -> import left event to right calendar"},
                      OneSidedCase{true, kTwoWay, true, false, false, 0, 0, 1, 0,
                                   "sync to right -> delete left"},
                      OneSidedCase{false, kSyncToRight, false, false, true, 0, 0, 0, 0,
                                   "keep existing event to the right"},
                      OneSidedCase{false, kSyncToRight, true, false, false, 0, 0, 0, 1,
                                   "sync to left -> delete right"},
                      OneSidedCase{false, kSyncToLeft, false, true, true, 1, 0, 0, 0,
                                   "sync to right -> import right event to left calendar"},
                      OneSidedCase{false, kSyncToLeft, true, true, true, 1, 0, 0, 0,
                                   "sync to right -> import right event to left calendar"},
                      OneSidedCase{false, kTwoWay, false, true, true, 1, 0, 0, 0,
                                   "sync to right -> import right event to left calendar"},
                      OneSidedCase{false, kTwoWay, true, false, false, 0, 0, 0, 1,
                                   "sync to left -> delete right"}));

TEST_F(SynchronizerTest, OneWayModesNeverWriteTheMaster) {
  const std::wstring left_id = left_.Add(NewEvent(L"u1", L"Left"));
  right_.Add(NewEvent(L"u1", L"Right"));
  right_.Add(NewEvent(L"u2", L"Only right"));
  Run(kSyncToRight);
  EXPECT_EQ(left_.write_count(), 0);
  EXPECT_EQ(right_.FindByUid(L"u1")->title(), L"Left");
  // The right side changes afterwards; the master's version is put back.
  right_.Edit(right_.FindByUid(L"u1")->id(), [](Event& e) { e.set_title(L"Edited"); });
  EXPECT_EQ(Run(kSyncToRight).right.updates, 1);
  EXPECT_EQ(right_.FindByUid(L"u1")->title(), L"Left");
  EXPECT_EQ(left_.write_count(), 0);
  EXPECT_EQ(left_.store().at(left_id)->title(), L"Left");
}

TEST_F(SynchronizerTest, DuplicateUidsOnTheRightTakeOnePartner) {
  left_.Add(NewEvent(L"u1", L"Lunch"));
  right_.Add(NewEvent(L"u1", L"First"));
  right_.Add(NewEvent(L"u1", L"Second"));
  const SyncStats stats = Run(kTwoWay);
  // The later right event in id order is the partner; the other takes no part.
  EXPECT_EQ(stats.left.updates, 1);
  EXPECT_EQ(Total(stats), 1);
  EXPECT_EQ(left_.FindByUid(L"u1")->title(), L"Second");
  EXPECT_EQ(right_.store().size(), 2u);
}

TEST_F(SynchronizerTest, DuplicateUidsOnTheLeftNeverCostAnEvent) {
  left_.Add(NewEvent(L"u1", L"First"));
  left_.Add(NewEvent(L"u1", L"Second"));
  // The first is copied; the second takes no part, rather than being deleted on the
  // strength of the record its twin just made.
  EXPECT_EQ(Total(Run(kTwoWay)), 1);
  EXPECT_TRUE(log_.Contains("SEVERE: Skipping event with duplicate iCal UID: L2\n"));
  EXPECT_EQ(Total(Run(kTwoWay)), 0);
  EXPECT_EQ(left_.store().size(), 2u);
  EXPECT_EQ(right_.store().size(), 1u);
}

TEST_F(SynchronizerTest, TrialRunsCountButNeverWrite) {
  for (int i = 0; i < 12; ++i) left_.Add(NewEvent(L"u" + std::to_wstring(i), L"New"));
  left_.set_brief_loads(true);
  const SyncStats stats = Run(kTwoWay, /*trial=*/true);
  EXPECT_EQ(stats.right.imports, 12);
  EXPECT_EQ(Total(stats), 12);
  EXPECT_EQ(right_.store().size(), 0u);
  EXPECT_EQ(left_.load_count(), 0);
  EXPECT_FALSE(std::filesystem::exists(DataFile()));
  EXPECT_FALSE(std::filesystem::exists(RecoveryLog()));
}

TEST_F(SynchronizerTest, TrialConsolidatesALeftoverRecoveryLog) {
  // An interrupted run left a log behind; its change must not wait for the real run.
  testing::WriteFileText(RecoveryLog(),
                         "UPDATE u9 2026-01-01T00:00:01.000Z 2026-01-01T00:00:02.000Z\r\n");
  Run(kTwoWay, /*trial=*/true);
  EXPECT_FALSE(std::filesystem::exists(RecoveryLog()));
  EXPECT_EQ(ReadFileText(DataFile()), "u9 2026-01-01T00:00:01.000Z 2026-01-01T00:00:02.000Z\r\n");
}

TEST_F(SynchronizerTest, BriefEventsAreCompletedOnlyWhenTheyChanged) {
  left_.set_brief_loads(true);
  left_.Add(NewEvent(L"u1", L"Lunch"));
  left_.Add(NewEvent(L"u2", L"Dinner"));
  Run(kTwoWay);
  EXPECT_EQ(right_.FindByUid(L"u2")->title(), L"Dinner");  // Completed before copying.
  EXPECT_EQ(left_.load_count(), 2);
  Run(kTwoWay);
  EXPECT_EQ(left_.load_count(), 2);
}

TEST_F(SynchronizerTest, FailedLoadsSkipThePairAndKeepItsRecord) {
  const std::wstring id = left_.Add(NewEvent(L"u1", L"Lunch"));
  Run(kTwoWay);
  right_.Erase(right_.FindByUid(L"u1")->id());
  left_.MarkLoadFailure(id);
  EXPECT_EQ(Total(Run(kTwoWay)), 0);
  EXPECT_TRUE(log_.Contains("SEVERE: Skipping event sync since load failed for lhs\n"));
  EXPECT_NE(left_.FindByUid(L"u1"), nullptr);
  EXPECT_NE(ReadFileText(DataFile()).find("u1 "), std::string::npos);
}

TEST_F(SynchronizerTest, RefusedMutationsKeepTheRecordAndAreRetried) {
  left_.Add(NewEvent(L"u1", L"Lunch"));
  right_.set_result_hook(
      [](MemoryCalendar::Operation, const Event&) { return int{kMutationIgnored}; });
  EXPECT_EQ(Run(kTwoWay).right.imports, 1);
  EXPECT_TRUE(log_.Contains("Mutating: Outlook ignored u1\n"));
  EXPECT_EQ(ReadFileText(DataFile()), "");
  // Looked at again next time, and imported once the calendar accepts it.
  right_.set_result_hook(nullptr);
  EXPECT_EQ(Run(kTwoWay).right.imports, 1);
  ASSERT_NE(right_.FindByUid(L"u1"), nullptr);

  // A refused delete is counted, logged, and the record stays for the next run.
  left_.Erase(left_.FindByUid(L"u1")->id());
  right_.set_result_hook(
      [](MemoryCalendar::Operation, const Event&) { return int{kMutationFailed}; });
  EXPECT_EQ(Run(kTwoWay).right.deletes, 1);
  EXPECT_TRUE(log_.Contains("Mutating: Outlook unable to delete u1\n"));
  EXPECT_NE(ReadFileText(DataFile()).find("u1 "), std::string::npos);
  right_.set_result_hook(nullptr);
  EXPECT_EQ(Run(kTwoWay).right.deletes, 1);
  EXPECT_EQ(right_.FindByUid(L"u1"), nullptr);
}

// A calendar that reports no modification times.
class TimelessCalendar : public MemoryCalendar {
 public:
  using MemoryCalendar::MemoryCalendar;
  std::unique_ptr<DateTime> GetUpdatedTime(const Event*) const override { return nullptr; }
};

TEST_F(SynchronizerTest, PairsWithoutModificationTimesAreStillRemembered) {
  TimelessCalendar left(L"NxCal", L"L");
  left.Add(NewEvent(L"u1", L"Lunch"));
  auto run = [&] {
    Synchronizer sync(&left, &right_, kTwoWay, data_path_);
    NullProgressMonitor progress;
    std::wstring error;
    SyncStats stats;
    EXPECT_TRUE(sync.LoadEvents(&progress, error));
    EXPECT_TRUE(sync.SyncCalendars(false, &progress, &stats));
    return stats;
  };
  run();
  ASSERT_NE(right_.FindByUid(L"u1"), nullptr);
  EXPECT_NE(ReadFileText(DataFile()).find("u1 1601-01-01T00:00:00.000Z "), std::string::npos);
  // The record survived the file, so a deletion on the left is carried over.
  left.Erase(left.FindByUid(L"u1")->id());
  EXPECT_EQ(run().right.deletes, 1);
  EXPECT_EQ(right_.FindByUid(L"u1"), nullptr);
}

TEST_F(SynchronizerTest, CalendarLoadFailureStopsTheRun) {
  right_.set_load_error(L"Outlook is not available.");
  Synchronizer sync(&left_, &right_, kTwoWay, data_path_);
  NullProgressMonitor progress;
  std::wstring error;
  EXPECT_FALSE(sync.LoadEvents(&progress, error));
  EXPECT_EQ(error, L"Outlook is not available.");
  EXPECT_TRUE(log_.Contains("SEVERE: Unable to get events from Outlook\n"));
}

// Cancelled after a given number of checks.
class CancelAfter : public NullProgressMonitor {
 public:
  explicit CancelAfter(int checks) : checks_(checks) {}
  bool IsCanceled() override { return --checks_ < 0; }

 private:
  int checks_;
};

TEST_F(SynchronizerTest, CancellationFinishesTheEventInHandAndSaves) {
  for (int i = 0; i < 5; ++i) left_.Add(NewEvent(L"u" + std::to_wstring(i), L"New"));
  Synchronizer sync(&left_, &right_, kTwoWay, data_path_);
  NullProgressMonitor loading;
  std::wstring error;
  ASSERT_TRUE(sync.LoadEvents(&loading, error));
  CancelAfter progress(2);  // The start check and the first event's check pass.
  SyncStats stats;
  EXPECT_FALSE(sync.SyncCalendars(false, &progress, &stats));
  EXPECT_EQ(stats.right.imports, 2);  // The event in hand when the stop came is finished.
  EXPECT_EQ(right_.store().size(), 2u);
  const std::string data = ReadFileText(DataFile());
  EXPECT_NE(data.find("u0 "), std::string::npos);
  EXPECT_NE(data.find("u1 "), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(RecoveryLog()));
}

}  // namespace
}  // namespace calendar_mirrow_addin
