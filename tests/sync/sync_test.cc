// The sync engine's parts one case at a time: the decisions of the synchronizer, the
// sync-data file with its recovery log, and the progress monitors. sync_model_test.cc checks
// random histories, where the newer change of a pair wins (the left one at equal times) and
// the counts are what was done.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "base/text.h"
#include "sync/memory_calendar.h"
#include "sync/progress_monitor.h"
#include "sync/sync_data.h"
#include "sync/synchronizer.h"
#include "sync/tray_channel.h"
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

using Contents = std::map<std::wstring, std::string>;

const std::string kT1 = "2008-03-07T09:05:00.000Z";
const std::string kT2 = "2008-03-07T10:15:30.250Z";
const std::string kT3 = "2009-11-30T23:59:59.999Z";
const std::string k11 = kT1 + " " + kT1;
const std::string k23 = kT2 + " " + kT3;

SyncRecord Times(const std::string& left, const std::string& right) {
  return SyncRecord{*ParseIso(Utf8ToWide(left)), *ParseIso(Utf8ToWide(right))};
}

// The map as comparable text, milliseconds included.
Contents Of(const SyncData& data) {
  Contents out;
  for (const auto& [uid, record] : data.records()) {
    out[uid] = WideToUtf8(FormatIso(record.left_updated) + L" " + FormatIso(record.right_updated));
  }
  return out;
}

class SyncDataTest : public ::testing::Test {
 protected:
  SyncData Loaded() const {
    SyncData data(Utf8ToWide(data_path_.string()));
    data.Load();
    return data;
  }

  TempDir dir_;
  std::filesystem::path data_path_ = dir_.path() / "pair.sync";
  std::filesystem::path log_path_ = dir_.path() / "pair.sync.LOG";
};

TEST_F(SyncDataTest, WritesExactFileBytesAndLogLinesThatAwkwardUidsSurvive) {
  SyncData data = Loaded();
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path())) << "loading nothing writes nothing";
  data.Record(L"b b", Times(kT2, kT3));
  data.Record(L"a\u00e9", Times(kT1, kT2));
  data.Record(L"\u20ac\r\n", Times(kT1, kT1));
  ASSERT_TRUE(data.Save());
  // One CR LF line per record in map order; a UID beyond 255 or with a line end is escaped.
  EXPECT_EQ(ReadFileText(data_path_), "a\xE9 " + kT1 + " " + kT2 + "\r\nb b " + k23 +
                                          "\r\n\x1B\xE2\x82\xAC\xFE\xFF " + k11 + "\r\n");
  EXPECT_FALSE(std::filesystem::exists(log_path_));
  data.Record(L"x y", Times(kT1, kT1));
  data.Record(L"x y", Times(kT2, kT3));
  data.Remove(L"x y");
  data.Remove(L"never there");
  EXPECT_EQ(ReadFileText(log_path_), "UPDATE x y " + k11 + "\r\nUPDATE x y " + k23 +
                                         "\r\nDELETE x y\r\nDELETE never there\r\n");
  // Blanks, characters 128-255 and beyond, the escape byte first and inside, line ends:
  // interrupted before the save, the log alone brings them back, and is consolidated.
  for (const wchar_t* uid : {L" blank  inside ", L"caf\u00e9-\u00ff\u00a0", L"\u20ac-\U0001F600",
                             L"\033esc", L"a\033", L"line\nbreak\r\nend\r"}) {
    data.Record(uid, Times(kT3, kT1));
  }
  EXPECT_EQ(Of(Loaded()), Of(data));
  EXPECT_FALSE(std::filesystem::exists(log_path_));
  EXPECT_EQ(Of(Loaded()), Of(data));
  EXPECT_EQ(Of(data).size(), 9u);
}

TEST_F(SyncDataTest, LoadReadsTheFileThenReplaysWholeLogLines) {
  const struct {
    std::string file, log;  // an empty log: none
    Contents expected;
  } kCases[] = {
      // Malformed data lines are dropped; an LF line end and a last line without one are
      // read (the data file is only ever replaced whole).
      {"short " + kT1 + "\r\nno-millis 2008-03-07T09:05:00Z " + kT2 + "\r\nbad " + kT1 +
           " 2008-13-07T09:05:00.000Z\r\nkeep me " + k11 + "\nlast " + k23,
       "",
       {{L"keep me", k11}, {L"last", k23}}},
      // In order, later lines winning; other keywords (case counts) and short lines skipped.
      {"y " + k11 + "\r\n",
       "UPDATE x " + k11 + "\r\nDELETE x\r\nupdate y " + k23 + "\r\nUPDATE\r\nNOISE x\r\n" +
           "DELETE absent\r\nUPDATE x " + k23 + "\r\n",
       {{L"x", k23}, {L"y", k11}}},
      // A last append cut short: "DELETE u12" cut to "DELETE u1" must not delete u1, nor
      // may an UPDATE cut inside a UID that looks like times make a record.
      {"u1 " + k11 + "\r\nu12 " + k11 + "\r\n",
       "UPDATE u2 " + k23 + "\r\nDELETE u1",
       {{L"u1", k11}, {L"u12", k11}, {L"u2", k23}}},
      {"", "UPDATE x " + k23, {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.log);
    WriteFileText(data_path_, c.file);
    if (!c.log.empty()) WriteFileText(log_path_, c.log);
    EXPECT_EQ(Of(Loaded()), c.expected);
    EXPECT_FALSE(std::filesystem::exists(log_path_));
    EXPECT_EQ(Of(Loaded()), c.expected) << "consolidated into the data file";
  }
}

TEST_F(SyncDataTest, FailedSaveKeepsTheOldFileAndTheLog) {
  const std::string old = "old " + k11 + "\r\n";
  WriteFileText(data_path_, old);
  WriteFileText(log_path_, "DELETE old");  // "DELETE older", cut short by a crash
  // Neither the load's consolidating save (55 bytes) nor the later one (117) can write
  // the new file; the log's append (62) can.
  std::optional<SyncData> data;
  testing::WithFileSizeLimit(40, [&] { data.emplace(Loaded()); });
  ASSERT_TRUE(std::filesystem::exists(log_path_));  // The load could not consolidate it.
  data->Record(L"new", Times(kT2, kT3));
  {
    CapturedLog log;
    testing::WithFileSizeLimit(64, [&] { EXPECT_FALSE(data->Save()); });
    EXPECT_TRUE(log.Contains("SEVERE: SyncData::SaveSyncData -> ")) << log.Text();
  }
  EXPECT_EQ(ReadFileText(data_path_), old);
  EXPECT_TRUE(std::filesystem::exists(log_path_));
  // The next run still gets the change from the log, neither glued onto the cut line nor
  // ending it; the failed saves left no temporary behind.
  EXPECT_EQ(Of(Loaded()), (Contents{{L"new", k23}, {L"old", k11}}));
  EXPECT_EQ(ReadFileText(data_path_), "new " + k23 + "\r\n" + old);
  EXPECT_FALSE(std::filesystem::exists(log_path_));
  for (const auto& entry : std::filesystem::directory_iterator(data_path_.parent_path())) {
    EXPECT_EQ(entry.path().string().find(data_path_.string() + ".tmp"), std::string::npos);
  }
}

// A parent that records what a sub-monitor hands it.
struct RecordingMonitor : NullProgressMonitor {
  void InternalWorked(double work) override { steps.push_back(work); }
  std::vector<double> steps;
};

TEST(SubProgressMonitorTest, PassesExactlyItsShareAndAllOfItOnDone) {
  // Share, units, the work reported, and the parent's steps before Done.
  const std::tuple<int, int, std::vector<double>, std::vector<double>> kCases[] = {
      {25, 0, {5, 2.5}, {}},                                  // no units: all on Done
      {25, -4, {5}, {}},                                      // likewise
      {50, 3, {1, 1, 1, 1}, {50.0 / 3, 50.0 / 3, 50.0 / 3}},  // 4 of 3 units
      {10, 3, {2, 2, 1}, {20.0 / 3, 10.0 / 3}},               // crossing step clamped
      {30, 3, {1, -2, -0.5, std::nan("")}, {10}},             // nothing taken back
  };
  for (const auto& [ticks, units, work, passed] : kCases) {
    SCOPED_TRACE(::testing::Message() << ticks << " ticks over " << units << " units");
    RecordingMonitor parent;
    SubProgressMonitor sub(&parent, ticks);
    sub.BeginTask(L"Task", units);
    for (double step : work) sub.InternalWorked(step);
    ASSERT_EQ(parent.steps.size(), passed.size());
    for (size_t i = 0; i < passed.size(); ++i) EXPECT_DOUBLE_EQ(parent.steps[i], passed[i]);
    sub.Done();
    sub.Done();  // a second Done, and work after it, add nothing
    sub.Worked(1);
    double total = 0;
    for (double step : parent.steps) total += step;
    EXPECT_DOUBLE_EQ(total, ticks);
  }
}

TEST(ProgressImplTest, StatusTextsReachTrayAndLogAndStopRequestsReachEveryMonitor) {
  InProcessTrayChannel tray;
  ProgressImpl progress(&tray);
  {
    CapturedLog log(Logger::PROGRESS);
    progress.BeginTask(L"Synchronizing events", 100);  // only stores the name
    progress.Worked(41);
    progress.InternalWorked(0.9);
    progress.SubTask(FormatProgressItem(12, 80));
    progress.SetTaskName(L"Analyzing events");
    progress.SubTask(L"");
    EXPECT_EQ(log.Text(),
              "Progress: 41%\nAction: Synchronizing events\nItem 12 out of 80\n"
              "Analyzing events\n"
              "Progress: 41%\nAction: Analyzing events\n");
    std::wstring shown;  // the tray gets the same texts
    for (const std::wstring& text : tray.StatusHistory()) shown += text + L"\n";
    EXPECT_EQ(WideToUtf8(shown), log.Text());
  }
  CapturedLog above(Logger::INFO);
  progress.SetTaskName(L"Quiet");
  progress.SubTask(L"x");
  EXPECT_EQ(above.Text(), "");
  // The shown percent is truncated and kept within 0 to 100.
  for (const auto& [work, shown] : {std::pair{58.099, L"99"},
                                    {50.0, L"100"},
                                    {1e300, L"100"},
                                    {-1e301, L"0"},
                                    {std::nan(""), L"0"}}) {
    progress.InternalWorked(work);
    progress.SubTask(L"");
    EXPECT_EQ(tray.LastStatus(), L"Progress: " + std::wstring(shown) + L"%\nAction: Quiet");
  }
  // The stop request reaches nested monitors, and nothing clears it.
  SubProgressMonitor loading(&progress, 30);
  SubProgressMonitor calendar(&loading, 50);
  EXPECT_FALSE(calendar.IsCanceled());
  tray.RequestStop();
  calendar.SetCanceled(false);
  EXPECT_TRUE(calendar.IsCanceled());
  // Steps that add up to a whole percent show it, rounding errors and all; Done passes the
  // rest of the share and, after items, shows the end.
  ProgressImpl run(&tray);
  SubProgressMonitor pass(&run, 99);
  pass.BeginTask(L"Pass", 0);
  for (int i = 0; i < 10; ++i) run.InternalWorked(0.1);
  pass.SubTask(L"1 out of 1");
  EXPECT_EQ(tray.LastStatus(), L"Progress: 1%\nAction: Pass\nItem 1 out of 1");
  pass.Done();
  EXPECT_EQ(tray.LastStatus(), L"Progress: 100%\nAction: Pass");
  ProgressImpl without_tray(nullptr);  // shows nothing, and is never stopped
  without_tray.SubTask(L"x");
  EXPECT_FALSE(without_tray.IsCanceled());
}

}  // namespace
}  // namespace calendar_mirrow_addin
