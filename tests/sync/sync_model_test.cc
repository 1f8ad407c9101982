// Random histories of owner changes and sync runs on two in-memory calendars, each rebuilt
// from its seed (--gtest_filter='*SyncModel*seed7' replays seed 7; a failure names the step
// and run). The owner edits, creates and deletes events, deletes meetings on both sides and
// sends gone ones again with their old UID. Runs may be stopped, meet refusals, or die at a
// mutation (before or after the calendar applied it) and be resumed on the same files.
// After each run no UID is twice on one side, no event the owner kept is lost, no one-way
// run wrote the master; without refusals the counts are what was done and the trial before
// predicted them; a clean two-way run leaves both sides equivalent, the newer change of a
// pair winning (the left at equal times), and a second run changes nothing; a clean
// one-way run copies the master and carries deletions over or copies back.

#include <gtest/gtest.h>

#include <array>
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

std::string Text(const std::wstring& text) { return WideToUtf8(text); }
int Pick(std::mt19937& rng, int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); }
bool Chance(std::mt19937& rng, int percent) { return Pick(rng, 100) < percent; }

// Counts as (left, right) x (imports, updates, deletes).
using Counts = std::array<std::array<int, 3>, 2>;
Counts Of(const SyncStats& s) {
  return {{{s.left.imports, s.left.updates, s.left.deletes},
           {s.right.imports, s.right.updates, s.right.deletes}}};
}

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

// Thrown at the planned mutation: the process died in the middle of a run.
struct SimulatedCrash {};

// Reports a stop from the (checks + 1)-th check on.
struct CancelAfter : NullProgressMonitor {
  explicit CancelAfter(int checks) : checks(checks) {}
  bool IsCanceled() override { return checks-- <= 0; }
  int checks;
};

class Scenario {
 public:
  explicit Scenario(uint32_t seed) : seed_(seed) {
    // Some histories hand events out briefly, so that the engine must complete them.
    left_.set_brief_loads(seed % 2 == 0);
    right_.set_brief_loads(seed % 4 < 2);
    for (int side : {0, 1}) {
      // A run dies at the planned mutation, before the store sees it or after the store
      // applied it, before the engine could note it.
      Side(side == 0).set_result_hook([this](Operation, const Event&) {
        if (++calls_ == crash_at_ && !crash_after_apply_) throw SimulatedCrash{};
        if (Pick(rng_, 100) >= refused_percent_) return int{kMutationDone};
        ++refusals_;
        return Chance(rng_, 50) ? int{kMutationFailed} : int{kMutationIgnored};
      });
      Side(side == 0).set_applied_hook([this, side](Operation operation) {
        ++applied_[side][static_cast<int>(operation)];
        if (calls_ == crash_at_ && crash_after_apply_) throw SimulatedCrash{};
      });
    }
  }

  void Step(int step) {
    std::seed_seq seq{seed_, static_cast<uint32_t>(step)};
    rng_.seed(seq);
    clock_.Advance(1);
    where_ = "seed " + std::to_string(seed_) + ", step " + std::to_string(step);
    if (step == 0) {
      for (int i = 6 + Pick(rng_, 10); i > 0; --i) Create();
    } else if (Chance(rng_, 50)) {
      for (int i = 1 + Pick(rng_, 4); i > 0; --i) OwnerChange();
    } else {
      const int mode = Pick(rng_, 10);
      const int flavour = Pick(rng_, 100);
      RunSync(mode < 6   ? kTwoWay
              : mode < 8 ? kSyncToRight
                         : kSyncToLeft,
              flavour >= 45 && flavour < 65 ? 10 + Pick(rng_, 50) : 0,
              flavour >= 65 && flavour < 80 ? Pick(rng_, 40) : INT_MAX, flavour >= 80);
    }
  }

 private:
  MemoryCalendar& Side(bool left) { return left ? left_ : right_; }
  int Sides(const std::wstring& uid) const {  // how many sides hold uid
    return (left_.FindByUid(uid) ? 1 : 0) + (right_.FindByUid(uid) ? 1 : 0);
  }

  std::unique_ptr<Event> RandomEvent(const std::wstring& uid) {
    auto event = std::make_unique<Event>();
    event->set_ical_uid(uid);
    for (int facet = 0; facet < 6; ++facet) SetFacet(rng_, *event, facet);
    return event;
  }

  void Create() {
    const int kind = Pick(rng_, 10);
    if (!gone_.empty() && Chance(rng_, 40)) {
      // A meeting gone from both sides is sent again to one of them with its old UID.
      auto it = gone_.begin();
      std::advance(it, Pick(rng_, static_cast<int>(gone_.size())));
      const std::wstring uid = *it;
      for (auto* set : {&gone_, &owner_deleted_, &synced_, &pending_deletes_}) set->erase(uid);
      Side(kind % 2 == 0).Add(RandomEvent(uid));
      return;
    }
    const std::wstring uid = L"uid-" + std::to_wstring(next_uid_++);
    if (kind < 8) {
      Side(kind % 2 == 0).Add(RandomEvent(uid));
      return;
    }
    // The owner enters one event on both sides before any run; the copies may differ.
    auto first = RandomEvent(uid);
    auto second = kind == 8 ? first->Clone() : RandomEvent(uid);
    left_.Add(std::move(first));
    right_.Add(std::move(second));
  }

  void OwnerChange() {
    const int kind = Pick(rng_, 10);
    const bool on_left = Chance(rng_, 50);
    MemoryCalendar& calendar = Side(on_left);
    if (kind < 3) return Create();
    if (calendar.store().empty()) return;
    auto it = calendar.store().begin();
    std::advance(it, Pick(rng_, static_cast<int>(calendar.store().size())));
    const std::wstring id = it->first;
    const std::wstring uid = it->second->ical_uid();
    if (kind < 8) {
      const int facet = Pick(rng_, 6);
      calendar.Edit(id, [&](Event& e) { SetFacet(rng_, e, facet); });
      return;
    }
    calendar.Erase(id);
    owner_deleted_.insert(uid);
    const Event* other = Side(!on_left).FindByUid(uid);
    if (other && Chance(rng_, 50)) {  // cancelled everywhere: the other copy goes too
      Side(!on_left).Erase(other->id());
      return;
    }
    // A remembered pair loses one side: the next clean two-way run must drop the other.
    if (synced_.count(uid) && other) pending_deletes_.insert(uid);
  }

  // One run by a new synchronizer on the same files; false when it stopped early.
  bool Sync(SyncMode mode, bool trial, SyncStats* stats, int cancel_after = INT_MAX) {
    NullProgressMonitor none;
    CancelAfter progress(cancel_after);
    Synchronizer sync(&left_, &right_, mode, data_path_);
    std::wstring error;
    EXPECT_TRUE(sync.LoadEvents(&none, error)) << where_ << ": " << Text(error);
    return sync.SyncCalendars(trial, &progress, stats);
  }

  void RunSync(SyncMode mode, int refused_percent, int cancel_after, bool crash) {
    const char* const kModes[] = {"", "to right", "to left", "two-way"};
    where_ += std::string(" (") + kModes[mode] + ", " + std::to_string(refused_percent) +
              "% refused, stop at check " + std::to_string(cancel_after) + ")";
    MemoryCalendar& master = Side(mode == kSyncToRight);
    const int master_writes = master.write_count();
    std::set<std::pair<bool, std::wstring>> present_before;
    for (bool on_left : {true, false}) {
      for (const auto& [id, event] : Side(on_left).store())
        present_before.emplace(on_left, event->ical_uid());
    }
    const Intent intent = baseline_valid_ && mode == kTwoWay ? ExpectedIntent() : Intent();

    // A trial counts the mutations the real run will attempt; a crash picks one of them.
    SyncStats trial;
    Sync(mode, /*trial=*/true, &trial);
    const Counts predicted = Of(trial);
    int total = 0;
    for (const auto& side : predicted) total += side[0] + side[1] + side[2];
    if (crash && total > 0) {
      crash_at_ = 1 + Pick(rng_, total);
      crash_after_apply_ = Chance(rng_, 50);
      where_ += crash_after_apply_ ? " dies after a write" : " dies before one";
    }
    refused_percent_ = refused_percent;
    refusals_ = calls_ = 0;
    applied_ = {};
    SyncStats stats;
    bool finished = false, crashed = false;
    try {
      finished = Sync(mode, false, &stats, cancel_after);
    } catch (const SimulatedCrash&) {
      crashed = true;
      crash_at_ = 0;  // Nothing was saved. Resumed, the run must still meet every check.
      applied_ = {};
      finished = Sync(mode, false, &stats);
      EXPECT_TRUE(finished) << where_ << ": the resumed run";
    }
    crash_at_ = 0;
    refused_percent_ = 0;
    // A run that saw every event forgets the pairs gone from both sides, whose UIDs may
    // then come back as new events.
    for (int i = 1; finished && i < next_uid_; ++i) {
      if (Sides(L"uid-" + std::to_wstring(i)) == 0) gone_.insert(L"uid-" + std::to_wstring(i));
    }

    for (bool on_left : {true, false}) {
      std::set<std::wstring> uids;
      for (const auto& [id, event] : Side(on_left).store()) {
        EXPECT_TRUE(uids.insert(event->ical_uid()).second)
            << where_ << ": " << Text(event->ical_uid()) << " twice";
      }
    }
    for (const auto& [on_left, uid] : present_before) {
      EXPECT_TRUE(owner_deleted_.count(uid) || Side(on_left).FindByUid(uid))
          << where_ << ": " << Text(uid) << " lost from the " << (on_left ? "left" : "right");
    }
    EXPECT_TRUE(mode == kTwoWay || master.write_count() == master_writes)
        << where_ << ": a one-way run wrote the master";
    if (refusals_ == 0) {
      EXPECT_EQ(Of(stats), applied_) << where_ << ": counts are not what was done";
      for (int side : {0, 1}) {
        EXPECT_TRUE(!finished || crashed ||
                    (predicted[side][0] == applied_[side][0] &&
                     predicted[side][1] >= applied_[side][1] &&
                     predicted[side][2] == applied_[side][2]))
            << where_ << ": the trial mispredicted side " << side;
      }
    }
    UpdateModel(mode, finished && refusals_ == 0, intent);
  }

  // Every event of `from` is in `to` under its UID with equivalent content.
  void ExpectCovers(const MemoryCalendar& from, const MemoryCalendar& to, const std::string& in) {
    for (const auto& [id, event] : from.store()) {
      const Event* found = to.FindByUid(event->ical_uid());
      EXPECT_TRUE(found && Equivalent(*event, *found))
          << where_ << ": " << Text(event->ical_uid()) << " missing or different " << in;
    }
  }

  // What a clean two-way run must leave for each UID: the content both sides hold, or null
  // when it must be gone from both. From the times at the last converged run: a side that
  // changed wins over one that did not, the later change when both did (the left at equal
  // times); an event new on one side is copied, and one that was paired and is now on one
  // side only was deleted on the other.
  using Intent = std::map<std::wstring, std::unique_ptr<Event>>;
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
            << where_ << ": deletion of " << Text(uid) << " half carried over";
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
            << where_ << ": " << Text(uid)
            << (expected ? " is not the newest change" : " survives");
      }
      for (const auto& uid : pending_deletes_) {
        EXPECT_EQ(Sides(uid), 0) << where_ << ": deletion of " << Text(uid) << " not synced";
      }
      pending_deletes_.clear();

      // A second run right after changes nothing, not even what it remembers.
      const int writes = left_.write_count() + right_.write_count();
      const std::string remembered = ReadFileText(dir_.path() / "sync.dat");
      SyncStats stats;
      EXPECT_TRUE(Sync(kTwoWay, false, &stats)) << where_;
      EXPECT_EQ(Of(stats), Counts{}) << where_ << ": a second run found work";
      EXPECT_EQ(left_.write_count() + right_.write_count(), writes) << where_;
      EXPECT_EQ(ReadFileText(dir_.path() / "sync.dat"), remembered)
          << where_ << ": records changed";
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
  std::mt19937 rng_;
  std::string where_;  // the seed, step and run, for failure messages
  TempDir dir_;
  std::wstring data_path_ = dir_.wpath() + L"/sync.dat";
  // Every write of a step carries the step's time, so both sides' changes may be equal.
  MemoryClock clock_{DateTime::FromFields(1, 1, 2026, 0, 0, 0, 0), /*tick=*/0};
  MemoryCalendar left_{L"Left", L"L", &clock_};
  MemoryCalendar right_{L"Right", L"R", &clock_};
  int next_uid_ = 1;
  int refused_percent_ = 0;  // of the mutations in this run
  int refusals_ = 0;
  int calls_ = 0;     // mutations tried in this run
  int crash_at_ = 0;  // the one at which it dies (0: none)
  bool crash_after_apply_ = false;
  Counts applied_{};
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

class SyncModelTest : public ::testing::TestWithParam<uint32_t> {};

TEST_P(SyncModelTest, RandomHistoriesKeepBothCalendarsRight) {
  CapturedLog quiet(Logger::NONE);  // logging hundreds of runs would take most of the time
  Scenario scenario(GetParam());
  for (int step = 0; step < kSteps && !HasFailure(); ++step) scenario.Step(step);
}

INSTANTIATE_TEST_SUITE_P(Seeds, SyncModelTest, ::testing::Range<uint32_t>(1, kSeeds + 1),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                           return "seed" + std::to_string(info.param);
                         });

}  // namespace
}  // namespace calendar_mirrow_addin
