// The engine's decisions one case at a time. sync_model_test.cc checks random histories,
// where the newer change of a pair wins (the left one at equal times) and the counts are
// what was done.

#include "sync/synchronizer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "sync/memory_calendar.h"
#include "sync/progress_monitor.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

using testing::CapturedLog;
using testing::ReadFileText;
using testing::TempDir;

int Total(const SyncStats& s) {
  return s.left.imports + s.left.updates + s.left.deletes + s.right.imports + s.right.updates +
         s.right.deletes;
}

std::unique_ptr<Event> NewEvent(const std::wstring& uid, const std::wstring& title) {
  auto event = std::make_unique<Event>();
  event->set_ical_uid(uid);
  event->set_title(title);
  event->set_start(std::make_unique<DateTime>(DateTime::FromFields(10, 3, 2026, 9, 0, 0, 0)));
  event->set_end(std::make_unique<DateTime>(DateTime::FromFields(10, 3, 2026, 10, 0, 0, 0)));
  return event;
}

std::wstring Title(const MemoryCalendar& calendar, const std::wstring& uid) {
  const Event* event = calendar.FindByUid(uid);
  return event ? event->title() : L"(none)";
}

// The owner deletes the entry with this UID.
bool EraseUid(MemoryCalendar& calendar, const std::wstring& uid) {
  const Event* event = calendar.FindByUid(uid);
  return event && calendar.Erase(event->id());
}

// Reports a stop from the (checks + 1)-th check on.
class CancelAfter : public NullProgressMonitor {
 public:
  explicit CancelAfter(int checks) : checks_(checks) {}
  bool IsCanceled() override { return checks_-- <= 0; }

 private:
  int checks_;
};

// Two in-memory calendars sharing one clock, a sync-data file in a temporary folder, and
// a captured log.
class SynchronizerTest : public ::testing::Test {
 protected:
  // One run by a new synchronizer, as the driver makes it; false when it stopped early.
  bool RunOn(Calendar& left, Calendar& right, SyncMode mode, SyncStats* stats, bool trial = false,
             IProgressMonitor* progress = nullptr) {
    Synchronizer sync(&left, &right, mode, data_path_);
    NullProgressMonitor none;
    std::wstring error;
    EXPECT_TRUE(sync.LoadEvents(&none, error)) << WideToUtf8(error);
    return sync.SyncCalendars(trial, progress ? progress : &none, stats);
  }
  SyncStats Run(SyncMode mode, bool trial = false) {
    SyncStats stats;
    EXPECT_TRUE(RunOn(left_, right_, mode, &stats, trial));
    return stats;
  }
  // The stored record of uid, or null.
  std::unique_ptr<SyncRecord> Stored(const std::wstring& uid) const {
    SyncData data(data_path_);
    data.Load();
    const SyncRecord* record = data.Find(uid);
    return record ? std::make_unique<SyncRecord>(*record) : nullptr;
  }
  std::filesystem::path RecoveryLog() const { return dir_.path() / "sync.dat.LOG"; }

  TempDir dir_;
  CapturedLog log_;
  MemoryClock clock_;
  MemoryCalendar left_{L"NxCal", L"L", &clock_};
  MemoryCalendar right_{L"Outlook", L"R", &clock_};
  std::wstring data_path_ = dir_.wpath() + L"/sync.dat";
};

TEST_F(SynchronizerTest, EquivalentPairIsRecordedWithoutWritesOrLoads) {
  EXPECT_EQ(Total(Run(kTwoWay)), 0);
  EXPECT_TRUE(std::filesystem::exists(dir_.path() / "sync.dat")) << "written, if empty";
  left_.set_brief_loads(true);
  const std::wstring id = left_.Add(NewEvent(L"u1", L"Lunch"));
  right_.Add(NewEvent(L"u1", L"  Lunch\r\n"));
  // A trial cannot compare contents, so it counts one update (the newer right side wins).
  const SyncStats stats = Run(kTwoWay, /*trial=*/true);
  EXPECT_EQ(stats.left.updates, 1);
  EXPECT_EQ(Total(stats), 1);
  EXPECT_TRUE(log_.Contains("not equivalent or trial run!\n"));
  EXPECT_TRUE(log_.Contains("right is master -> update left\n"));
  EXPECT_EQ(Total(Run(kTwoWay)), 0);
  EXPECT_EQ(left_.write_count() + right_.write_count(), 0);
  EXPECT_EQ(left_.load_count(), 1);
  // Now remembered: the next run finds nothing changed and completes nothing.
  EXPECT_EQ(Total(Run(kTwoWay)), 0);
  EXPECT_TRUE(log_.Contains("skipping not changed events: L1 and R1\n"));
  EXPECT_EQ(left_.load_count(), 1);
  left_.Edit(id, [](Event& e) { e.set_location(L"Cafe"); });
  EXPECT_EQ(Run(kTwoWay).right.updates, 1);
  EXPECT_TRUE(log_.Contains("left is master -> update right\n"));
  EXPECT_TRUE(log_.Contains("Mutating: Outlook updated u1\n"));
}

TEST_F(SynchronizerTest, OneSidedEventsFollowTheDecisionTable) {
  const char* const kToRight = "sync to right -> import left event to right calendar";
  const char* const kToLeft = "sync to right -> import right event to left calendar";
  const char* const kDeleteLeft = "sync to right -> delete left";
  const char* const kDeleteRight = "sync to left -> delete right";
  const struct {
    bool on_left;
    SyncMode mode;
    bool record;  // the other side deleted a synced pair, rather than a new event
    const char* line;
    int sides_after;  // holding the event
  } kCases[] = {
      {true, kSyncToRight, false, kToRight, 2},
      {true, kSyncToRight, true, kToRight, 2},
      {true, kSyncToLeft, false, "keep existing event to the left", 1},
      {true, kSyncToLeft, true, kDeleteLeft, 0},
      {true, kTwoWay, false, kToRight, 2},
      {true, kTwoWay, true, kDeleteLeft, 0},
      {false, kSyncToRight, false, "keep existing event to the right", 1},
      {false, kSyncToRight, true, kDeleteRight, 0},
      {false, kSyncToLeft, false, kToLeft, 2},
      {false, kSyncToLeft, true, kToLeft, 2},
      {false, kTwoWay, false, kToLeft, 2},
      {false, kTwoWay, true, kDeleteRight, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::Message() << c.on_left << " " << c.mode << " " << c.record);
    TempDir dir;
    data_path_ = dir.wpath() + L"/sync.dat";
    MemoryCalendar left(L"NxCal", L"L", &clock_), right(L"Outlook", L"R", &clock_);
    (c.on_left ? left : right).Add(NewEvent(L"u1", L"Lunch"));
    SyncStats stats;
    if (c.record) {
      RunOn(left, right, kTwoWay, &stats);  // Both sides hold it, with a record.
      ASSERT_TRUE(EraseUid(c.on_left ? right : left, L"u1"));
    }
    log_.Clear();
    ASSERT_TRUE(RunOn(left, right, c.mode, &stats));
    EXPECT_TRUE(log_.Contains(std::string("    ") + c.line + "\n")) << log_.Text();
    EXPECT_EQ(!!left.FindByUid(L"u1") + !!right.FindByUid(L"u1"), c.sides_after);
    EXPECT_EQ(!!(c.on_left ? left : right).FindByUid(L"u1"), c.sides_after > 0);
    // A pair on both sides is remembered; a deleted one is forgotten.
    EXPECT_EQ(Stored(L"u1") != nullptr, c.sides_after == 2);
  }
}

TEST_F(SynchronizerTest, DuplicateUidsTakeOnePairAndCostNoEvent) {
  left_.Add(NewEvent(L"u1", L"Lunch"));
  right_.Add(NewEvent(L"u1", L"First"));
  right_.Add(NewEvent(L"u1", L"Second"));
  left_.Add(NewEvent(L"u2", L"First"));
  left_.Add(NewEvent(L"u2", L"Second"));
  // The later right event in id order is u1's partner, the other takes no part. The first
  // u2 is copied; the second takes no part, rather than being deleted on the strength of
  // the record its twin just made.
  const SyncStats stats = Run(kTwoWay);
  EXPECT_EQ(stats.left.updates, 1);
  EXPECT_EQ(stats.right.imports, 1);
  EXPECT_EQ(Total(stats), 2);
  EXPECT_EQ(Title(left_, L"u1"), L"Second");
  EXPECT_TRUE(log_.Contains("SEVERE: Skipping event with duplicate iCal UID: L3\n"));
  EXPECT_EQ(Total(Run(kTwoWay)), 0);
  EXPECT_EQ(left_.store().size(), 3u);
  EXPECT_EQ(right_.store().size(), 3u);
}

TEST_F(SynchronizerTest, TrialRunsCountButOnlyConsolidateALeftoverLog) {
  for (int i = 0; i < 12; ++i) left_.Add(NewEvent(L"u" + std::to_wstring(i), L"New"));
  left_.set_brief_loads(true);
  EXPECT_EQ(Run(kTwoWay, /*trial=*/true).right.imports, 12);
  EXPECT_EQ(right_.store().size(), 0u);
  EXPECT_EQ(left_.load_count(), 0);
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
  // An interrupted run left a log behind; its change must not wait for the real run.
  const std::string line = "u9 2026-01-01T00:00:01.000Z 2026-01-01T00:00:02.000Z\r\n";
  testing::WriteFileText(RecoveryLog(), "UPDATE " + line);
  EXPECT_EQ(Total(Run(kTwoWay, /*trial=*/true)), 12);
  EXPECT_FALSE(std::filesystem::exists(RecoveryLog()));
  EXPECT_EQ(ReadFileText(dir_.path() / "sync.dat"), line);
}

TEST_F(SynchronizerTest, UnloadableOrRefusedPairsKeepTheirRecordAndAreRetried) {
  const std::wstring id = left_.Add(NewEvent(L"u1", L"Lunch"));
  left_.Add(NewEvent(L"u2", L"Dinner"));
  const auto refuse = [](int result) {
    return [result](MemoryCalendar::Operation, const Event&) { return result; };
  };
  right_.set_result_hook(refuse(kMutationIgnored));
  EXPECT_EQ(Run(kTwoWay).right.imports, 2);
  EXPECT_TRUE(log_.Contains("Mutating: Outlook ignored u1\n"));
  EXPECT_EQ(Stored(L"u1"), nullptr);
  right_.set_result_hook(nullptr);
  EXPECT_EQ(Run(kTwoWay).right.imports, 2);

  // u1 is deleted on the right while its left copy cannot be loaded: the pair is left
  // alone. u2 is deleted on the left and the right refuses the deletion: counted, logged.
  EraseUid(right_, L"u1");
  left_.MarkLoadFailure(id);
  EraseUid(left_, L"u2");
  right_.set_result_hook(refuse(kMutationFailed));
  EXPECT_EQ(Total(Run(kTwoWay)), 1);
  EXPECT_TRUE(log_.Contains("SEVERE: Skipping event sync since load failed for lhs\n"));
  EXPECT_TRUE(log_.Contains("Mutating: Outlook unable to delete u2\n"));
  EXPECT_NE(Stored(L"u1"), nullptr);
  EXPECT_NE(Stored(L"u2"), nullptr);
  right_.set_result_hook(nullptr);
  EXPECT_EQ(Run(kTwoWay).right.deletes, 1);
  EXPECT_EQ(right_.FindByUid(L"u2"), nullptr);
  EXPECT_NE(left_.FindByUid(L"u1"), nullptr);
}

// A calendar on the right whose modification times the data file cannot hold.
class UntimedCalendar : public MemoryCalendar {
 public:
  enum Quirk { kNoTimes, kDateTimes, kDoneWithoutTime };
  explicit UntimedCalendar(Quirk quirk) : MemoryCalendar(L"Outlook", L"R"), quirk_(quirk) {}
  std::unique_ptr<DateTime> GetUpdatedTime(const Event* event) const override {
    if (quirk_ == kNoTimes) return nullptr;
    auto time = MemoryCalendar::GetUpdatedTime(event);
    time->date_only = quirk_ == kDateTimes;
    return time;
  }
  int Import(const Event* event, std::wstring* new_id, DateTime* new_updated,
             std::wstring* message) override {
    DateTime unused;
    return MemoryCalendar::Import(event, new_id, quirk_ == kDoneWithoutTime ? &unused : new_updated,
                                  message);
  }

 private:
  Quirk quirk_;
};

TEST_F(SynchronizerTest, PairsWithoutUsableTimesAreStillRemembered) {
  for (const auto quirk : {UntimedCalendar::kNoTimes, UntimedCalendar::kDateTimes,
                           UntimedCalendar::kDoneWithoutTime}) {
    SCOPED_TRACE(quirk);
    std::filesystem::remove(dir_.path() / "sync.dat");
    MemoryCalendar left(L"NxCal", L"L");
    UntimedCalendar right(quirk);
    // Made on the right, its time is read there; made on the left, it is written there.
    (quirk == UntimedCalendar::kDoneWithoutTime ? left : right).Add(NewEvent(L"u1", L"Lunch"));
    SyncStats stats;
    ASSERT_TRUE(RunOn(left, right, kTwoWay, &stats));
    const auto record = Stored(L"u1");
    EXPECT_EQ(record ? FormatIso(record->right_updated) : L"none", L"1601-01-01T00:00:00.000Z");
    // The record survived the file, so a deletion on the left is carried over.
    EXPECT_TRUE(EraseUid(left, L"u1"));
    ASSERT_TRUE(RunOn(left, right, kTwoWay, &stats));
    EXPECT_EQ(stats.right.deletes, 1);
    EXPECT_EQ(right.FindByUid(L"u1"), nullptr);
  }
}

TEST_F(SynchronizerTest, CalendarLoadFailureStopsTheRun) {
  for (MemoryCalendar* failing : {&left_, &right_}) {
    failing->set_load_error(L"Not available.");
    Synchronizer sync(&left_, &right_, kTwoWay, data_path_);
    NullProgressMonitor progress;
    std::wstring error;
    EXPECT_FALSE(sync.LoadEvents(&progress, error));
    EXPECT_EQ(error, L"Not available.");
    EXPECT_TRUE(log_.Contains("SEVERE: Unable to get events from " +
                              WideToUtf8(failing->GetName()) + "\n"));
    failing->set_load_error(L"");
  }
}

TEST_F(SynchronizerTest, StoppedRunsFinishTheEventInHandAndSaveDeadOnesLeaveTheLog) {
  for (int i = 0; i < 5; ++i) left_.Add(NewEvent(L"u" + std::to_wstring(i), L"New"));
  CancelAfter progress(2);  // The start check and the first event's check pass.
  SyncStats stats;
  EXPECT_FALSE(RunOn(left_, right_, kTwoWay, &stats, false, &progress));
  EXPECT_EQ(stats.right.imports, 2);  // The event in hand when the stop came is finished.
  EXPECT_EQ(right_.store().size(), 2u);
  EXPECT_NE(Stored(L"u1"), nullptr);
  EXPECT_FALSE(std::filesystem::exists(RecoveryLog()));
  // A run that dies instead (here right after the fourth import) logged every change it
  // noted.
  struct Crash {};
  right_.set_applied_hook([&](MemoryCalendar::Operation) {
    if (right_.store().size() == 4) throw Crash{};
  });
  EXPECT_THROW(RunOn(left_, right_, kTwoWay, &stats), Crash);
  EXPECT_NE(Stored(L"u2"), nullptr);
  EXPECT_EQ(Stored(L"u3"), nullptr);
}

// A meeting deleted on both sides and later sent again with its UID must come back as new,
// not be deleted as "deleted on the other side" on the strength of the old pair's record.
TEST_F(SynchronizerTest, RecordsOfPairsGoneFromBothSidesAreDroppedByCompleteRuns) {
  left_.Add(NewEvent(L"u1", L"Meeting"));
  left_.Add(NewEvent(L"u2", L"Kept"));
  Run(kTwoWay);
  EXPECT_TRUE(EraseUid(left_, L"u1") && EraseUid(right_, L"u1"));
  SyncStats stats;
  CancelAfter stop(0);  // A stopped run drops nothing.
  EXPECT_FALSE(RunOn(left_, right_, kSyncToLeft, &stats, false, &stop));
  EXPECT_NE(Stored(L"u1"), nullptr);
  // A complete run drops it through the recovery log (kept here: the data file, 54
  // bytes, cannot be saved; the log line can be written).
  testing::WithFileSizeLimit(30, [&] { EXPECT_TRUE(RunOn(left_, right_, kSyncToLeft, &stats)); });
  EXPECT_EQ(ReadFileText(RecoveryLog()), "DELETE u1\r\n");
  right_.Add(NewEvent(L"u1", L"Meeting again"));
  EXPECT_EQ(Run(kTwoWay).left.imports, 1);
  EXPECT_EQ(Title(left_, L"u1"), L"Meeting again");
  EXPECT_NE(Stored(L"u2"), nullptr);
}

}  // namespace
}  // namespace calendar_mirrow_addin
