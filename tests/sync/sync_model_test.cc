// Randomized histories of owner edits and sync runs on two in-memory calendars, each
// rebuilt from its seed alone; a failure names the seed, step and run that reproduce it
// (--gtest_filter='*SyncModel*seed7' replays seed 7). The owner also deletes meetings on
// both sides and sends gone ones again with their old UID. Checked after each run:
// - a two-way run without refusals or stop leaves both sides with the same UIDs and
//   equivalent events, the newer change of a pair winning, an event deleted on one side
//   gone from both, one sent again copied; and a second run right after changes nothing;
// - such a one-way run copies the master; no one-way run ever writes the master;
// - no UID is twice on one side, and no event the owner did not delete is lost;
// - a run that dies at a random mutation (before or after the calendar applied it),
//   resumed by a new synchronizer on the same files, ends where an uninterrupted run ends.

#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>

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
using Operation = MemoryCalendar::Operation;

constexpr uint32_t kSeeds = 24;
constexpr int kSteps = 30;

int Total(const SyncStats& s) {
  return s.left.imports + s.left.updates + s.left.deletes + s.right.imports + s.right.updates +
         s.right.deletes;
}
std::string Text(const std::wstring& text) { return WideToUtf8(text); }
int Pick(std::mt19937& rng, int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); }
bool Chance(std::mt19937& rng, int percent) { return Pick(rng, 100) < percent; }

// Sets one facet (0-5) of an event. The pools hold texts that differ only in blanks and
// line breaks, which the calendars do not tell apart, so some edits change nothing visible.
void SetFacet(std::mt19937& rng, Event& event, int facet) {
  static const wchar_t* const kTitles[] = {L"Lunch",  L"  Lunch\r\n", L"Standup",
                                           L"Review", L"Planning\t",  L"Dentist"};
  static const wchar_t* const kLocations[] = {L"", L"Room 1", L"Room 1 ", L"Cafe"};
  static const wchar_t* const kBodies[] = {L"", L"Agenda", L"Agenda\r\n", L"Bring notes"};
  if (facet == 0) event.set_title(kTitles[Pick(rng, std::size(kTitles))]);
  if (facet == 1) event.set_location(kLocations[Pick(rng, std::size(kLocations))]);
  if (facet == 2) event.set_body(kBodies[Pick(rng, std::size(kBodies))]);
  if (facet == 3) {
    const DateTime start =
        DateTime::FromFields(1 + Pick(rng, 28), 3, 2026, 7 + Pick(rng, 10), 0, 0, 0);
    event.set_start(std::make_unique<DateTime>(start));
    event.set_end(std::make_unique<DateTime>(AddSeconds(start, 1800 * (1 + Pick(rng, 3)))));
  }
  if (facet == 4) {
    event.set_reminder_set(Chance(rng, 50));
    event.set_reminder_seconds(300 * (1 + Pick(rng, 3)));
  }
  if (facet == 5) event.set_busy_status(static_cast<BusyStatus>(Pick(rng, 3)));
}

// FNV-1a: which mutations a calendar refuses depends only on the mutation, not on how
// many were tried before, so a resumed run meets the refusals the interrupted one would.
uint64_t Mix(uint64_t hash, uint64_t value) {
  for (int i = 0; i < 8; ++i) hash = (hash ^ ((value >> (8 * i)) & 0xFF)) * 1099511628211ULL;
  return hash;
}

// Thrown at the planned mutation: the process died in the middle of a run.
struct SimulatedCrash {};

// Reports a stop from the (checks + 1)-th check on.
class CancelAfter : public NullProgressMonitor {
 public:
  explicit CancelAfter(int checks) : checks_(checks) {}
  bool IsCanceled() override { return checks_-- <= 0; }

 private:
  int checks_;
};

struct SyncPlan {
  SyncMode mode = kTwoWay;
  int refused_percent = 0;
  int cancel_after = INT_MAX;  // checks before the stop request
  bool crash = false;
  bool crash_after_apply = false;
  uint32_t crash_draw = 0;  // picks the mutation at which the run dies
};

// What a clean two-way run must leave for each UID: the content both sides hold, or null
// when the UID must be gone from both. Empty when unknown.
using Intent = std::map<std::wstring, std::unique_ptr<Event>>;

class Scenario {
 public:
  Scenario(uint32_t seed, bool checked) : seed_(seed), checked_(checked) {
    // Some histories hand events out briefly, so that the engine must complete them.
    left_.set_brief_loads(seed % 2 == 0);
    right_.set_brief_loads(seed % 4 < 2);
    for (bool left_side : {true, false}) {
      // The run dies at the planned mutation, before the store sees it or after it applied
      // it but before the engine could note it.
      Side(left_side).set_applied_hook([this](Operation) {
        if (crash_calls_ == crash_at_ && crash_after_apply_) throw SimulatedCrash{};
      });
      Side(left_side).set_result_hook([this, left_side](Operation operation, const Event& event) {
        if (++crash_calls_ == crash_at_ && !crash_after_apply_) throw SimulatedCrash{};
        uint64_t hash = Mix(Mix(Mix(14695981039346656037ULL, seed_), step_), left_side);
        hash = Mix(hash, static_cast<uint64_t>(operation));
        for (wchar_t c : event.ical_uid()) hash = Mix(hash, static_cast<uint64_t>(c));
        if (hash % 100 >= static_cast<uint64_t>(refused_percent_)) return int{kMutationDone};
        ++refusals_;
        return (hash >> 32) % 2 ? int{kMutationFailed} : int{kMutationIgnored};
      });
    }
  }

  void Step(int step, bool allow_crash = true) {
    step_ = step;
    std::seed_seq seq{seed_, static_cast<uint32_t>(step)};
    std::mt19937 rng(seq);
    plan_text_ = " (owner changes)";
    if (step == 0) {
      for (int i = 6 + Pick(rng, 10); i > 0; --i) Create(rng);
    } else if (Chance(rng, 50)) {
      for (int i = 1 + Pick(rng, 4); i > 0; --i) OwnerChange(rng);
    } else {
      SyncPlan plan;
      const int mode = Pick(rng, 10);
      plan.mode = mode < 6 ? kTwoWay : mode < 8 ? kSyncToRight : kSyncToLeft;
      const int flavour = Pick(rng, 100);
      if (flavour >= 45 && flavour < 65) {
        plan.refused_percent = 10 + Pick(rng, 50);
      } else if (flavour >= 65 && flavour < 80) {
        plan.cancel_after = Pick(rng, 40);
      } else if (flavour >= 80) {
        plan.crash = allow_crash;
        plan.crash_after_apply = Chance(rng, 50);
        plan.crash_draw = rng();
        if (Chance(rng, 30)) plan.refused_percent = 10 + Pick(rng, 40);
      }
      RunSync(plan);
    }
  }

  std::string Where() const {
    return "seed " + std::to_string(seed_) + ", step " + std::to_string(step_) + plan_text_;
  }

 private:
  MemoryCalendar& Side(bool left) { return left ? left_ : right_; }
  int Sides(const std::wstring& uid) const {  // how many sides hold uid
    return (left_.FindByUid(uid) ? 1 : 0) + (right_.FindByUid(uid) ? 1 : 0);
  }

  std::unique_ptr<Event> RandomEvent(std::mt19937& rng, const std::wstring& uid) {
    auto event = std::make_unique<Event>();
    event->set_ical_uid(uid);
    for (int facet = 0; facet < 6; ++facet) SetFacet(rng, *event, facet);
    return event;
  }

  void Create(std::mt19937& rng) {
    const int kind = Pick(rng, 10);
    if (!gone_.empty() && Chance(rng, 40)) {
      // A meeting gone from both sides is sent again to one of them with its old UID.
      auto it = gone_.begin();
      std::advance(it, Pick(rng, static_cast<int>(gone_.size())));
      const std::wstring uid = *it;
      for (auto* set : {&gone_, &owner_deleted_, &synced_, &pending_deletes_}) set->erase(uid);
      Side(kind % 2 == 0).Add(RandomEvent(rng, uid));
      return;
    }
    const std::wstring uid = L"uid-" + std::to_wstring(next_uid_++);
    if (kind < 8) {
      Side(kind % 2 == 0).Add(RandomEvent(rng, uid));
      return;
    }
    // The owner enters one event on both sides before any run; the copies may differ.
    auto first = RandomEvent(rng, uid);
    auto second = kind == 8 ? first->Clone() : RandomEvent(rng, uid);
    left_.Add(std::move(first));
    right_.Add(std::move(second));
  }

  void OwnerChange(std::mt19937& rng) {
    const int kind = Pick(rng, 10);
    const bool on_left = Chance(rng, 50);
    MemoryCalendar& calendar = Side(on_left);
    if (kind < 3) return Create(rng);
    if (calendar.store().empty()) return;
    auto it = calendar.store().begin();
    std::advance(it, Pick(rng, static_cast<int>(calendar.store().size())));
    const std::wstring id = it->first;
    const std::wstring uid = it->second->ical_uid();
    if (kind < 8) {
      const int facet = Pick(rng, 6);
      calendar.Edit(id, [&](Event& e) { SetFacet(rng, e, facet); });
      return;
    }
    calendar.Erase(id);
    owner_deleted_.insert(uid);
    const Event* other = Side(!on_left).FindByUid(uid);
    // Cancelled everywhere: the other copy goes too.
    if (other && Chance(rng, 50)) {
      Side(!on_left).Erase(other->id());
      return;
    }
    // A remembered pair loses one side: the next clean two-way run must drop the other.
    if (synced_.count(uid) && other) pending_deletes_.insert(uid);
  }

  // One run by a new synchronizer on the same files; false when it stopped early.
  bool Sync(SyncMode mode, bool trial, SyncStats* stats, IProgressMonitor* progress = nullptr) {
    NullProgressMonitor none;
    Synchronizer sync(&left_, &right_, mode, data_path_);
    std::wstring error;
    EXPECT_TRUE(sync.LoadEvents(&none, error)) << Where() << ": " << Text(error);
    return sync.SyncCalendars(trial, progress ? progress : &none, stats);
  }

  void RunSync(const SyncPlan& plan) {
    const char* const kModes[] = {"", "to right", "to left", "two-way"};
    plan_text_ =
        std::string(" (") + kModes[plan.mode] + ", " + std::to_string(plan.refused_percent) +
        "% refused, stop at check " + std::to_string(plan.cancel_after) +
        (plan.crash ? plan.crash_after_apply ? ", dies after a write" : ", dies before one" : "") +
        ")";
    refusals_ = 0;
    refused_percent_ = plan.refused_percent;
    MemoryCalendar& master = Side(plan.mode == kSyncToRight);
    const int master_writes = master.write_count();
    std::set<std::pair<bool, std::wstring>> present_before;
    for (bool left_side : {true, false}) {
      for (const auto& [id, event] : Side(left_side).store()) {
        present_before.emplace(left_side, event->ical_uid());
      }
    }
    Intent intent;
    if (checked_ && baseline_valid_ && plan.mode == kTwoWay) intent = ExpectedIntent();

    SyncStats stats;
    if (plan.crash) {
      // A trial counts the mutations the real run will attempt; it dies at one of them.
      Sync(plan.mode, /*trial=*/true, &stats);
      const auto total = static_cast<uint32_t>(Total(stats));
      if (total > 0) crash_at_ = 1 + static_cast<int>(plan.crash_draw % total);
      crash_after_apply_ = plan.crash_after_apply;
      crash_calls_ = 0;
    }
    CancelAfter progress(plan.cancel_after);
    bool finished = false;
    bool crashed = false;
    try {
      finished = Sync(plan.mode, false, &stats, &progress);
    } catch (const SimulatedCrash&) {
      crashed = true;  // Nothing was saved.
    }
    crash_at_ = 0;
    if (crashed) {
      finished = Sync(plan.mode, false, &stats);
      EXPECT_TRUE(finished) << Where() << ": the resumed run";
    }
    refused_percent_ = 0;
    // A run that saw every event forgets the pairs gone from both sides: their UIDs may
    // come back as new events.
    for (int i = 1; finished && i < next_uid_; ++i) {
      if (Sides(L"uid-" + std::to_wstring(i)) == 0) gone_.insert(L"uid-" + std::to_wstring(i));
    }
    if (!checked_) return;

    for (bool left_side : {true, false}) {
      std::set<std::wstring> uids;
      for (const auto& [id, event] : Side(left_side).store()) {
        EXPECT_TRUE(uids.insert(event->ical_uid()).second)
            << Where() << ": " << Text(event->ical_uid()) << " twice on one side";
      }
    }
    for (const auto& [on_left, uid] : present_before) {
      EXPECT_TRUE(owner_deleted_.count(uid) || Side(on_left).FindByUid(uid))
          << Where() << ": " << Text(uid) << " lost from the " << (on_left ? "left" : "right");
    }
    EXPECT_TRUE(plan.mode == kTwoWay || master.write_count() == master_writes)
        << Where() << ": a one-way run wrote the master";
    if (crashed) {
      // The same history again, this run not interrupted, must end with the same events.
      Scenario twin(seed_, /*checked=*/false);
      for (int step = 0; step < step_; ++step) twin.Step(step);
      twin.Step(step_, /*allow_crash=*/false);
      for (bool left_side : {true, false}) {
        const std::string side = left_side ? " left" : " right";
        ExpectCovers(twin.Side(left_side), Side(left_side), "in the resumed" + side);
        ExpectCovers(Side(left_side), twin.Side(left_side), "in the uninterrupted" + side);
      }
    }
    UpdateModel(plan.mode, finished && refusals_ == 0, intent);
  }

  // Every event of `from` is in `to` under its UID with equivalent content.
  void ExpectCovers(const MemoryCalendar& from, const MemoryCalendar& to, const std::string& in) {
    for (const auto& [id, event] : from.store()) {
      const std::wstring& uid = event->ical_uid();
      const Event* found = to.FindByUid(uid);
      if (found == nullptr) {
        ADD_FAILURE() << Where() << ": " << Text(uid) << " missing " << in;
      } else {
        EXPECT_TRUE(Equivalent(*event, *found))
            << Where() << ": " << Text(uid) << " differs " << in << ": " << Text(found->Dump());
      }
    }
  }

  // From the times on both sides at the last converged run: a side that changed wins
  // over one that did not, the later change when both did; an event new on one side is
  // copied, and one that was paired and is now on one side only was deleted on the other.
  Intent ExpectedIntent() {
    Intent intent;
    for (const MemoryCalendar* side : {&left_, &right_}) {
      for (const auto& [id, event] : side->store()) intent[event->ical_uid()] = nullptr;
    }
    for (auto& [uid, expected] : intent) {
      const Event* l = left_.FindByUid(uid);
      const Event* r = right_.FindByUid(uid);
      const auto base = baseline_.find(uid);
      const bool paired = base != baseline_.end();
      if (l && r) {
        const bool left_changed = !paired || *l->updated() != base->second.first;
        const bool right_changed = !paired || *r->updated() != base->second.second;
        const bool right_wins = right_changed && (!left_changed || *r->updated() > *l->updated());
        expected = (right_wins ? r : l)->Clone();
      } else if (!paired) {
        expected = (l ? l : r)->Clone();
      }
    }
    return intent;
  }

  void UpdateModel(SyncMode mode, bool clean, const Intent& intent) {
    std::erase_if(synced_, [&](const std::wstring& uid) { return Sides(uid) == 0; });
    baseline_valid_ = false;
    if (mode != kTwoWay) {
      // A one-way run either carries a deletion over or copies the master's event back.
      for (const auto& uid : pending_deletes_) {
        EXPECT_TRUE(!clean || Sides(uid) != 1)
            << Where() << ": deletion of " << Text(uid) << " half carried over";
      }
      std::erase_if(pending_deletes_, [&](const std::wstring& uid) { return Sides(uid) == 2; });
      if (clean)
        ExpectCovers(Side(mode == kSyncToRight), Side(mode != kSyncToRight), "on the slave");
    } else if (clean) {
      ExpectCovers(left_, right_, "on the right");
      ExpectCovers(right_, left_, "on the left");
      for (const auto& [uid, expected] : intent) {
        const Event* found = left_.FindByUid(uid);
        EXPECT_TRUE(expected ? found && Equivalent(*found, *expected) : Sides(uid) == 0)
            << Where() << ": " << Text(uid)
            << (expected ? " is not the newest change" : " survives");
      }
      for (const auto& uid : pending_deletes_) {
        EXPECT_EQ(Sides(uid), 0) << Where() << ": deletion of " << Text(uid) << " not synced";
      }
      pending_deletes_.clear();

      // A second run right after changes nothing, not even what it remembers.
      const int writes = left_.write_count() + right_.write_count();
      const std::string remembered = ReadFileText(dir_.path() / "sync.dat");
      SyncStats stats;
      EXPECT_TRUE(Sync(kTwoWay, false, &stats)) << Where();
      EXPECT_EQ(Total(stats), 0) << Where() << ": a second run found work";
      EXPECT_EQ(left_.write_count() + right_.write_count(), writes) << Where();
      EXPECT_EQ(ReadFileText(dir_.path() / "sync.dat"), remembered)
          << Where() << ": records changed";
      baseline_.clear();
      baseline_valid_ = true;
    }
    if (!clean) return;
    for (const auto& [id, event] : left_.store()) {
      const Event* partner = right_.FindByUid(event->ical_uid());
      if (partner == nullptr) continue;
      synced_.insert(event->ical_uid());
      if (baseline_valid_) baseline_[event->ical_uid()] = {*event->updated(), *partner->updated()};
    }
  }

  uint32_t seed_;
  bool checked_;
  int step_ = 0;
  std::string plan_text_;
  TempDir dir_;
  std::wstring data_path_ = dir_.wpath() + L"/sync.dat";
  MemoryClock clock_;
  MemoryCalendar left_{L"Left", L"L", &clock_};
  MemoryCalendar right_{L"Right", L"R", &clock_};
  int next_uid_ = 1;
  int refused_percent_ = 0;  // of the mutations in this run
  int refusals_ = 0;
  // The mutation, counted over both calendars from 1, at which the run dies (0: never).
  int crash_at_ = 0;
  int crash_calls_ = 0;
  bool crash_after_apply_ = false;
  std::set<std::wstring> owner_deleted_;
  // UIDs on neither side when a run last saw every event: the owner may send them again.
  std::set<std::wstring> gone_;
  // UIDs whose pair certainly has a sync record, and those of them the owner has since
  // deleted on one side.
  std::set<std::wstring> synced_;
  std::set<std::wstring> pending_deletes_;
  // Both sides' times at the last converged two-way run, valid until another run.
  std::map<std::wstring, std::pair<DateTime, DateTime>> baseline_;
  bool baseline_valid_ = false;
};

class SyncModelTest : public ::testing::TestWithParam<uint32_t> {
 protected:
  // Logging every decision of hundreds of runs would dominate the test's time.
  CapturedLog log_{Logger::NONE};
};

TEST_P(SyncModelTest, RandomHistoriesKeepBothCalendarsRight) {
  Scenario scenario(GetParam(), /*checked=*/true);
  for (int step = 0; step < kSteps && !HasFailure(); ++step) scenario.Step(step);
}

INSTANTIATE_TEST_SUITE_P(Seeds, SyncModelTest, ::testing::Range<uint32_t>(1, kSeeds + 1),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                           return "seed" + std::to_string(info.param);
                         });

}  // namespace
}  // namespace calendar_mirrow_addin
