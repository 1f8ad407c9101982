// Cost of the brief list of the Outlook calendar: three columns of the contents table and
// the global object id of every appointment, read from a simulated store kept in a file,
// as every sync run starts. The engine's no-change run over the same number of events is
// bounded by this load, so it must grow linearly: BM_BriefLoad reports the time per item
// at 10,000 and 50,000 items, and BM_BriefLoadGrowth the ratio of the two (1.0 is linear).

#include <benchmark/benchmark.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "outlook/outlook.h"
#include "sim/outlook/object_model.h"
#include "sim/outlook/seed.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

constexpr FileTime kStart = 133'219'296'000'000'000ULL;  // 2023-02-27T00:00:00Z
constexpr FileTime kHour = 36'000'000'000;

// One store file per size, seeded once and kept for the whole run: half the items are
// meetings with an id Outlook made, half got theirs from a first brief load.
class SeededStores {
 public:
  std::shared_ptr<sim::Store> Get(int items) {
    auto& store = stores_[items];
    if (store) return store;
    const std::string path = (dir_.path() / ("outlook-" + std::to_string(items) + ".db")).string();
    std::string error;
    store = sim::Store::Open(path, &error);
    if (!store) return nullptr;
    sim::AppointmentSeed seed;
    for (int i = 0; i < items; ++i) {
      seed.subject = L"Meeting " + std::to_wstring(i % 97);
      seed.start = kStart + static_cast<FileTime>(i) * kHour;
      seed.global_object_id.reset();
      if (i % 2 == 0) seed.global_object_id = sim::MakeOutlookGlobalObjectId(seed.start);
      if (sim::AddAppointment(*store, seed).empty()) return nullptr;
    }
    if (LoadOnce(store) < 0) return nullptr;  // writes the missing ids
    return store;
  }

  // Seconds for one brief load, or -1 when it failed.
  static double LoadOnce(const std::shared_ptr<sim::Store>& store) {
    const auto start = std::chrono::steady_clock::now();
    ComRef<IDispatch> application(sim::NewApplication(store));
    Outlook outlook(application.get(), L"ann@nexora.example");
    std::wstring folder_id, error;
    if (outlook.Logon(L"", &folder_id) != S_OK || !outlook.LoadEvents(nullptr, error, nullptr) ||
        outlook.events().size() != store->items().size()) {
      return -1;
    }
    outlook.Logoff();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

 private:
  testing::TempDir dir_;
  std::map<int, std::shared_ptr<sim::Store>> stores_;
};

SeededStores& Stores() {
  static SeededStores stores;
  return stores;
}

void BM_BriefLoad(benchmark::State& state) {
  const int items = static_cast<int>(state.range(0));
  const auto store = Stores().Get(items);
  if (!store) return state.SkipWithError("seeding the simulated store failed");
  double seconds = 0;
  for (auto _ : state) {
    const double run = SeededStores::LoadOnce(store);
    if (run < 0) return state.SkipWithError("the brief load failed");
    state.SetIterationTime(run);
    seconds += run;
  }
  state.SetItemsProcessed(state.iterations() * items);
  state.counters["us_per_item"] = seconds * 1e6 / (static_cast<double>(state.iterations()) * items);
}
BENCHMARK(BM_BriefLoad)->Arg(10'000)->Arg(50'000)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_BriefLoadGrowth(benchmark::State& state) {
  const auto small = Stores().Get(10'000);
  const auto large = Stores().Get(50'000);
  if (!small || !large) return state.SkipWithError("seeding the simulated store failed");
  double total_small = 0, total_large = 0;
  for (auto _ : state) {
    const double run_small = SeededStores::LoadOnce(small);
    const double run_large = SeededStores::LoadOnce(large);
    if (run_small < 0 || run_large < 0) return state.SkipWithError("the brief load failed");
    state.SetIterationTime(run_small + run_large);
    total_small += run_small;
    total_large += run_large;
  }
  state.counters["per_item_ratio_50k_vs_10k"] = (total_large / 50'000) / (total_small / 10'000);
}
BENCHMARK(BM_BriefLoadGrowth)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace calendar_mirrow_addin
