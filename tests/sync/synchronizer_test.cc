// The synchronizer's decisions one case at a time. sync_model_test.cc checks random
// histories, where the newer change of a pair wins (the left one at equal times) and the
// counts are what was done.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/text.h"
#include "sync/memory_calendar.h"
#include "sync/progress_monitor.h"
#include "sync/synchronizer.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

using testing::CapturedLog;
using testing::ReadFileText;
using testing::TempDir;
using testing::WriteFileText;

// "imports updates deletes" on the left, then on the right.
std::string Counts(const SyncStats& s) {
  const SyncCounts& l = s.left;
  const SyncCounts& r = s.right;
  char text[64];
  std::snprintf(text, sizeof text, "L %d %d %d, R %d %d %d", l.imports, l.updates, l.deletes,
                r.imports, r.updates, r.deletes);
  return text;
}

std::unique_ptr<Event> NewEvent(const std::wstring& uid, const std::wstring& title = L"Lunch") {
  auto event = std::make_unique<Event>();
  event->set_ical_uid(uid);
  event->set_title(title);
  event->set_start(std::make_unique<DateTime>(DateTime::FromFields(10, 3, 2026, 9, 0, 0, 0)));
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
struct CancelAfter : NullProgressMonitor {
  explicit CancelAfter(int checks) : checks(checks) {}
  bool IsCanceled() override { return checks-- <= 0; }
  int checks;
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
  std::string Run(SyncMode mode = kTwoWay, bool trial = false) {
    SyncStats stats;
    EXPECT_TRUE(RunOn(left_, right_, mode, &stats, trial));
    return Counts(stats);
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

constexpr char kNone[] = "L 0 0 0, R 0 0 0";

TEST_F(SynchronizerTest, EquivalentPairIsRecordedWithoutWritesOrLoads) {
  EXPECT_EQ(Run(), kNone);
  EXPECT_TRUE(std::filesystem::exists(dir_.path() / "sync.dat")) << "written, if empty";
  left_.set_brief_loads(true);
  const std::wstring id = left_.Add(NewEvent(L"u1"));
  right_.Add(NewEvent(L"u1", L"  Lunch\r\n"));
  // A trial cannot compare contents, so it counts one update (the newer right side wins).
  EXPECT_EQ(Run(kTwoWay, /*trial=*/true), "L 0 1 0, R 0 0 0");
  EXPECT_TRUE(log_.Contains("right is master -> update left\n"));
  EXPECT_EQ(Run(), kNone);
  EXPECT_EQ(left_.write_count() + right_.write_count(), 0);
  EXPECT_EQ(left_.load_count(), 1);
  // Now remembered: the next run finds nothing changed and completes nothing.
  EXPECT_EQ(Run(), kNone);
  EXPECT_TRUE(log_.Contains("skipping not changed events: L1 and R1\n"));
  EXPECT_EQ(left_.load_count(), 1);
  left_.Edit(id, [](Event& e) { e.set_location(L"Cafe"); });
  EXPECT_EQ(Run(), "L 0 0 0, R 0 1 0");
  EXPECT_TRUE(log_.Contains("Mutating: Outlook updated u1\n"));
}

// A change within the second of the recorded time is still a change.
TEST_F(SynchronizerTest, AChangeInTheSameSecondAsTheRecordedOneIsSeen) {
  MemoryClock clock(DateTime::FromFields(1, 3, 2026, 10, 0, 0, 0), 0);
  MemoryCalendar left(L"NxCal", L"L", &clock), right(L"Outlook", L"R", &clock);
  const std::wstring id = left.Add(NewEvent(L"u1"));
  SyncStats stats;
  ASSERT_TRUE(RunOn(left, right, kTwoWay, &stats));
  clock.Set(DateTime::FromFields(1, 3, 2026, 10, 0, 0, 500));
  left.Edit(id, [](Event& e) { e.set_title(L"Changed"); });
  stats = SyncStats();
  ASSERT_TRUE(RunOn(left, right, kTwoWay, &stats));
  EXPECT_EQ(Counts(stats), "L 0 0 0, R 0 1 0");
  EXPECT_EQ(Title(right, L"u1"), L"Changed");
}

TEST_F(SynchronizerTest, DuplicateUidsTakeOnePairAndCostNoEvent) {
  left_.Add(NewEvent(L"u1"));
  right_.Add(NewEvent(L"u1", L"First"));
  right_.Add(NewEvent(L"u1", L"Second"));
  left_.Add(NewEvent(L"u2", L"First"));
  left_.Add(NewEvent(L"u2", L"Second"));
  // The later right event in id order is u1's partner, the other takes no part. The first
  // u2 is copied; the second takes no part, rather than being deleted on the strength of
  // the record its twin just made.
  EXPECT_EQ(Run(), "L 0 1 0, R 1 0 0");
  EXPECT_EQ(Title(left_, L"u1"), L"Second");
  EXPECT_TRUE(log_.Contains("SEVERE: Skipping event with duplicate iCal UID: L3\n"));
  EXPECT_EQ(Run(), kNone);
  EXPECT_EQ(left_.store().size() + right_.store().size(), 6u);
}

TEST_F(SynchronizerTest, TrialRunsCountButOnlyConsolidateALeftoverLog) {
  for (int i = 0; i < 12; ++i) left_.Add(NewEvent(L"u" + std::to_wstring(i)));
  left_.set_brief_loads(true);
  EXPECT_EQ(Run(kTwoWay, /*trial=*/true), "L 0 0 0, R 12 0 0");
  EXPECT_EQ(right_.store().size() + left_.load_count(), 0u);
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
  // An interrupted run left a log behind; its change must not wait for the real run.
  const std::string line = "u9 2026-01-01T00:00:01.000Z 2026-01-01T00:00:02.000Z\r\n";
  testing::WriteFileText(RecoveryLog(), "UPDATE " + line);
  EXPECT_EQ(Run(kTwoWay, /*trial=*/true), "L 0 0 1, R 11 0 0");
  EXPECT_FALSE(std::filesystem::exists(RecoveryLog()));
  EXPECT_EQ(ReadFileText(dir_.path() / "sync.dat"), line);
}

TEST_F(SynchronizerTest, UnloadableOrRefusedPairsKeepTheirRecordAndAreRetried) {
  const std::wstring id = left_.Add(NewEvent(L"u1"));
  left_.Add(NewEvent(L"u2"));
  const auto refuse = [](int result) {
    return [result](MemoryCalendar::Operation, const Event&) { return result; };
  };
  right_.set_result_hook(refuse(kMutationIgnored));
  EXPECT_EQ(Run(), "L 0 0 0, R 2 0 0");
  EXPECT_TRUE(log_.Contains("Mutating: Outlook ignored u1\n"));
  EXPECT_EQ(Stored(L"u1"), nullptr);
  right_.set_result_hook(nullptr);
  EXPECT_EQ(Run(), "L 0 0 0, R 2 0 0");
  // u1 is deleted on the right while its left copy cannot be loaded: the pair is left
  // alone. u2 is deleted on the left and the right refuses the deletion: counted, logged.
  EraseUid(right_, L"u1");
  left_.MarkLoadFailure(id);
  EraseUid(left_, L"u2");
  right_.set_result_hook(refuse(kMutationFailed));
  EXPECT_EQ(Run(), "L 0 0 0, R 0 0 1");
  EXPECT_TRUE(log_.Contains("SEVERE: Skipping event sync since load failed for lhs\n"));
  EXPECT_TRUE(log_.Contains("Mutating: Outlook unable to delete u2\n"));
  EXPECT_TRUE(Stored(L"u1") && Stored(L"u2"));
  right_.set_result_hook(nullptr);
  EXPECT_EQ(Run(), "L 0 0 0, R 0 0 1");
  EXPECT_TRUE(!right_.FindByUid(L"u2") && left_.FindByUid(L"u1"));
  // A calendar that cannot be loaded stops the run before any decision.
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
    (quirk == UntimedCalendar::kDoneWithoutTime ? left : right).Add(NewEvent(L"u1"));
    SyncStats stats;
    ASSERT_TRUE(RunOn(left, right, kTwoWay, &stats));
    const auto record = Stored(L"u1");
    EXPECT_EQ(record ? FormatIso(record->right_updated) : L"none", L"1601-01-01T00:00:00.000Z");
    // The record survived the file, so a deletion on the left is carried over.
    EXPECT_TRUE(EraseUid(left, L"u1"));
    ASSERT_TRUE(RunOn(left, right, kTwoWay, &stats));
    EXPECT_EQ(Counts(stats), "L 0 0 0, R 0 0 1");
    EXPECT_EQ(right.FindByUid(L"u1"), nullptr);
  }
}

TEST_F(SynchronizerTest, StoppedRunsFinishTheEventInHandAndSaveDeadOnesLeaveTheLog) {
  for (int i = 0; i < 5; ++i) left_.Add(NewEvent(L"u" + std::to_wstring(i)));
  CancelAfter progress(2);  // The start check and the first event's check pass.
  SyncStats stats;
  EXPECT_FALSE(RunOn(left_, right_, kTwoWay, &stats, false, &progress));
  // The event in hand when the stop came is finished.
  EXPECT_EQ(std::tuple(Counts(stats), right_.store().size()), std::tuple("L 0 0 0, R 2 0 0", 2u));
  EXPECT_NE(Stored(L"u1"), nullptr);
  EXPECT_FALSE(std::filesystem::exists(RecoveryLog()));
  // A run that dies instead (here right after the fourth import) logged every change it
  // noted.
  struct Crash {};
  right_.set_applied_hook([&](MemoryCalendar::Operation) {
    if (right_.store().size() == 4) throw Crash{};
  });
  EXPECT_THROW(RunOn(left_, right_, kTwoWay, &stats), Crash);
  EXPECT_TRUE(Stored(L"u2") && !Stored(L"u3"));
}

// A meeting deleted on both sides and later sent again with its UID must come back as new,
// not be deleted as "deleted on the other side" on the strength of the old pair's record.
TEST_F(SynchronizerTest, RecordsOfPairsGoneFromBothSidesAreDroppedByCompleteRuns) {
  left_.Add(NewEvent(L"u1", L"Meeting"));
  left_.Add(NewEvent(L"u2", L"Kept"));
  Run();
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
  EXPECT_EQ(Run(), "L 1 0 0, R 0 0 0");
  EXPECT_EQ(Title(left_, L"u1"), L"Meeting again");
  EXPECT_NE(Stored(L"u2"), nullptr);
}

}  // namespace
}  // namespace calendar_mirrow_addin
