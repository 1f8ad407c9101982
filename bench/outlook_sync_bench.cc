// A sync run with nothing to do between the two persistent stand-ins, end to end: 10,000
// events on the web calendar server and in the simulated Outlook, in agreement after a first
// run. BM_QuietSync times the run (both loads, the pass, the sync data) against the brief
// load of Outlook alone (BM_BriefLoadAlone, same store), reports their ratio and the
// process's peak resident memory.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <memory>
#include <string>

#include "tests/e2e/sync_pair.h"

namespace calendar_mirrow_addin {
namespace {

constexpr int kEvents = 10'000;

// One pair for the whole run: half of the events made on the web, the other half in
// Outlook, then a two-way first sync.
class Seeded {
 public:
  Seeded() {
    if (!pair_.ready()) return;
    std::vector<std::string> entries;
    for (int i = 0; i < kEvents / 2; ++i) {
      entries.push_back(testing::SyncPair::WebEntry(testing::SyncPair::Kind::kSingle,
                                                    "web-" + std::to_string(i) + "@nexora.example",
                                                    i, "Web " + std::to_string(i)));
    }
    if (!pair_.AddToWeb(entries)) return;
    for (int i = 0; i < kEvents / 2; ++i) {
      if (pair_.AddToOutlook(testing::SyncPair::Kind::kSingle, i, L"Outlook").empty()) return;
    }
    std::string error;
    // Both ways: each half is written to the other side, so that the quiet run afterwards
    // reads events both calendars wrote.
    ok_ = pair_.Run(kTwoWay, &error) && pair_.Restart();
    pair_.Later();
  }
  bool ok() const { return ok_; }
  testing::SyncPair& pair() { return pair_; }

 private:
  testing::SyncPair pair_;
  bool ok_ = false;
};

Seeded& Pair() {
  static Seeded seeded;
  return seeded;
}

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double PeakMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

double brief_seconds_per_run = 0;

void BM_BriefLoadAlone(benchmark::State& state) {
  if (!Pair().ok()) return state.SkipWithError("seeding the pair failed");
  double total = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const auto ids = Pair().pair().OutlookIdsByUid();
    const double run = Seconds(start);
    if (ids.size() != static_cast<size_t>(kEvents)) {
      return state.SkipWithError("the brief load failed");
    }
    state.SetIterationTime(run);
    total += run;
  }
  brief_seconds_per_run = total / static_cast<double>(state.iterations());
}
BENCHMARK(BM_BriefLoadAlone)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_QuietSync(benchmark::State& state) {
  if (!Pair().ok()) return state.SkipWithError("seeding the pair failed");
  double total = 0;
  for (auto _ : state) {
    std::string error;
    const auto start = std::chrono::steady_clock::now();
    const auto writes = Pair().pair().RunCountingWrites(kTwoWay, &error);
    const double run = Seconds(start);
    if (!error.empty() || !writes.web.empty() || writes.outlook != 0) {
      return state.SkipWithError(("the quiet run failed or wrote: " + error + writes.web).c_str());
    }
    state.SetIterationTime(run);
    total += run;
  }
  const double per_run = total / static_cast<double>(state.iterations());
  state.counters["events"] = kEvents;
  if (brief_seconds_per_run > 0)
    state.counters["ratio_to_brief_load"] = per_run / brief_seconds_per_run;
  state.counters["peak_rss_mb"] = PeakMegabytes();
}
BENCHMARK(BM_QuietSync)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace calendar_mirrow_addin
