// Cost of the sync runs that happen most often: calendars that are already in agreement,
// where every pair is looked up, compared with its record and left alone, and the sync
// data is read at the start and rewritten at the end. Also the sync data's own load and
// save at a size a large calendar reaches.
//
// The per-pair cost may grow with the logarithm of the size (the pairs are matched
// through ordered maps) but no faster: BM_PerPairGrowth reports the ratio of the per-pair
// cost at 100,000 pairs to that at 10,000 next to n log n's ratio of 1.25.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <memory>
#include <string>

#include "base/text.h"
#include "model/date_time.h"
#include "model/event.h"
#include "sync/memory_calendar.h"
#include "sync/progress_monitor.h"
#include "sync/sync_data.h"
#include "sync/synchronizer.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

using testing::TempDir;

std::unique_ptr<Event> BenchEvent(int64_t index) {
  auto event = std::make_unique<Event>();
  event->set_ical_uid(L"bench-" + std::to_wstring(index) + L"@tidewell.example");
  event->set_title(L"Meeting " + std::to_wstring(index % 97));
  event->set_location(L"Room " + std::to_wstring(index % 13));
  event->set_body(L"Agenda for the weekly review");
  const DateTime start = AddSeconds(DateTime::FromFields(1, 1, 2026, 9, 0, 0, 0), index * 3600);
  event->set_start(std::make_unique<DateTime>(start));
  event->set_end(std::make_unique<DateTime>(AddSeconds(start, 1800)));
  event->set_reminder_set(index % 2 == 0);
  event->set_reminder_seconds(600);
  return event;
}

// Two calendars holding the same `pairs` events with a sync record for every pair, and
// events loaded: each SyncCalendars on it finds every pair unchanged and writes nothing.
class InSync {
 public:
  explicit InSync(int64_t pairs)
      : pairs_(pairs), left_(L"NxCal", L"L", &clock_), right_(L"Outlook", L"R", &clock_) {
    for (int64_t i = 0; i < pairs; ++i) {
      left_.Add(BenchEvent(i));
      right_.Add(BenchEvent(i));
    }
    Synchronizer sync(&left_, &right_, kTwoWay, data_path_);
    std::wstring error;
    SyncStats stats;
    ok_ = sync.LoadEvents(&progress_, error) && sync.SyncCalendars(false, &progress_, &stats) &&
          static_cast<int64_t>(sync.sync_data().records().size()) == pairs &&
          left_.write_count() == 0 && right_.write_count() == 0;
  }

  // One real run; its wall time in seconds. False in `quiet` when it wrote anything.
  double TimedRun(bool* quiet) {
    Synchronizer sync(&left_, &right_, kTwoWay, data_path_);
    SyncStats stats;
    const auto start = std::chrono::steady_clock::now();
    const bool finished = sync.SyncCalendars(false, &progress_, &stats);
    const auto stop = std::chrono::steady_clock::now();
    *quiet = finished &&
             stats.left.imports + stats.left.updates + stats.left.deletes + stats.right.imports +
                     stats.right.updates + stats.right.deletes ==
                 0 &&
             left_.write_count() == 0 && right_.write_count() == 0;
    return std::chrono::duration<double>(stop - start).count();
  }

  bool ok() const { return ok_; }
  int64_t pairs() const { return pairs_; }

 private:
  int64_t pairs_;
  TempDir dir_;
  std::wstring data_path_ = dir_.wpath() + L"/sync.dat";
  MemoryClock clock_;
  MemoryCalendar left_;
  MemoryCalendar right_;
  NullProgressMonitor progress_;
  bool ok_ = false;
};

// Built once per size: setting up 100,000 pairs costs more than timing them.
InSync& Prepared(int64_t pairs) {
  static std::map<int64_t, std::unique_ptr<InSync>> cache;
  auto& slot = cache[pairs];
  if (!slot) slot = std::make_unique<InSync>(pairs);
  return *slot;
}

void BM_SyncUnchangedPairs(benchmark::State& state) {
  InSync& calendars = Prepared(state.range(0));
  if (!calendars.ok()) {
    state.SkipWithError("the calendars did not settle in the first run");
    return;
  }
  double seconds = 0.0;
  for (auto _ : state) {
    bool quiet = false;
    const double run = calendars.TimedRun(&quiet);
    if (!quiet) {
      state.SkipWithError("a run over unchanged calendars wrote something");
      return;
    }
    state.SetIterationTime(run);
    seconds += run;
  }
  const auto pairs = static_cast<double>(calendars.pairs());
  state.SetItemsProcessed(state.iterations() * calendars.pairs());
  state.counters["ns_per_pair"] = seconds * 1e9 / (static_cast<double>(state.iterations()) * pairs);
}
BENCHMARK(BM_SyncUnchangedPairs)
    ->Arg(1'000)
    ->Arg(10'000)
    ->Arg(100'000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Both sizes in alternation, so that they see the same machine load; the fastest run of
// each size stands for it.
void BM_PerPairGrowth(benchmark::State& state) {
  InSync& small = Prepared(10'000);
  InSync& large = Prepared(100'000);
  if (!small.ok() || !large.ok()) {
    state.SkipWithError("the calendars did not settle in the first run");
    return;
  }
  double best_small = INFINITY;
  double best_large = INFINITY;
  for (auto _ : state) {
    bool quiet_small = false;
    bool quiet_large = false;
    const double run_small = small.TimedRun(&quiet_small);
    const double run_large = large.TimedRun(&quiet_large);
    if (!quiet_small || !quiet_large) {
      state.SkipWithError("a run over unchanged calendars wrote something");
      return;
    }
    best_small = std::min(best_small, run_small);
    best_large = std::min(best_large, run_large);
    state.SetIterationTime(run_small + run_large);
  }
  const double per_pair_small = best_small * 1e9 / static_cast<double>(small.pairs());
  const double per_pair_large = best_large * 1e9 / static_cast<double>(large.pairs());
  state.counters["ns_per_pair_10k"] = per_pair_small;
  state.counters["ns_per_pair_100k"] = per_pair_large;
  state.counters["per_pair_ratio_100k_vs_10k"] = per_pair_large / per_pair_small;
  state.counters["nlogn_ratio"] = std::log(100'000.0) / std::log(10'000.0);
}
BENCHMARK(BM_PerPairGrowth)->Iterations(7)->UseManualTime()->Unit(benchmark::kMillisecond);

constexpr int kRecords = 100'000;

// A sync-data file of kRecords records, written through the map's own parser and saver.
class StoredSyncData {
 public:
  StoredSyncData() : data_(dir_.wpath() + L"/sync.dat") {
    const DateTime base = DateTime::FromFields(1, 1, 2026, 0, 0, 0, 0);
    for (int i = 0; i < kRecords; ++i) {
      const std::string line = "bench-" + std::to_string(i) + "@tidewell.example " +
                               WideToUtf8(FormatIso(AddSeconds(base, i))) + " " +
                               WideToUtf8(FormatIso(AddSeconds(base, 2 * i)));
      data_.ParseSyncLine(line);
    }
    ok_ = static_cast<int>(data_.records().size()) == kRecords && data_.Save();
  }

  bool ok() const { return ok_; }
  SyncData& data() { return data_; }
  const std::wstring& path() const { return data_.path(); }

 private:
  TempDir dir_;
  SyncData data_;
  bool ok_ = false;
};

void BM_SyncDataLoad(benchmark::State& state) {
  StoredSyncData stored;
  if (!stored.ok()) {
    state.SkipWithError("the sync data could not be written");
    return;
  }
  for (auto _ : state) {
    SyncData data(stored.path());
    data.Load();
    if (static_cast<int>(data.records().size()) != kRecords) {
      state.SkipWithError("records were lost on load");
      return;
    }
    benchmark::DoNotOptimize(data.records());
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_SyncDataLoad)->Unit(benchmark::kMillisecond);

void BM_SyncDataSave(benchmark::State& state) {
  StoredSyncData stored;
  if (!stored.ok()) {
    state.SkipWithError("the sync data could not be written");
    return;
  }
  for (auto _ : state) {
    if (!stored.data().Save()) {
      state.SkipWithError("the sync data could not be written");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_SyncDataSave)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace calendar_mirrow_addin
