// Randomized histories of owner edits and sync runs on two in-memory calendars. Every
// history is rebuilt from its seed alone, so a failure names the seed and step that
// reproduce it. What is checked is what the owner of the two calendars relies on:
// - a clean two-way run leaves both sides with the same events, the newer change of a
//   pair winning and a deletion reaching the other side, and a second run finds nothing
//   to do;
// - a clean one-way run copies the master completely and never writes it;
// - no run ever duplicates an event or loses one the owner did not delete;
// - a run that dies half way (before or after a calendar write) loses none of its
//   completed changes and, resumed, ends where an uninterrupted run ends;
// - counts agree with the trial run and with what was written, and a trial writes nothing.

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/logger.h"
#include "base/text.h"
#include "sync/memory_calendar.h"
#include "sync/progress_monitor.h"
#include "sync/sync_data.h"
#include "sync/synchronizer.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

using testing::CapturedLog;
using testing::ReadFileText;
using testing::TempDir;

constexpr uint32_t kSeeds = 24;
constexpr int kSteps = 30;

using Operation = MemoryCalendar::Operation;

int Total(const SyncCounts& c) { return c.imports + c.updates + c.deletes; }
int Total(const SyncStats& s) { return Total(s.left) + Total(s.right); }

std::string Text(const std::wstring& text) { return WideToUtf8(text); }

uint32_t Pick(std::mt19937& rng, uint32_t n) { return rng() % n; }
bool Chance(std::mt19937& rng, uint32_t percent) { return Pick(rng, 100) < percent; }

// FNV-1a: a stable hash, so that which mutation a calendar refuses depends only on the
// mutation itself and not on how many were tried before it.
uint64_t Mix(uint64_t hash, uint64_t value) {
  for (int i = 0; i < 8; ++i) {
    hash ^= (value >> (8 * i)) & 0xFF;
    hash *= 1099511628211ULL;
  }
  return hash;
}

// Thrown by CrashingCalendar: the process died in the middle of a run.
struct SimulatedCrash {};

// The plan of a run that dies at its `at`-th calendar mutation (counted over both sides;
// 0 = never), either before the call reaches the calendar or after the calendar applied
// it, before the engine could note it. Records every mutation that did complete.
struct CrashPlan {
  int at = 0;
  bool after_apply = false;
  int calls = 0;
  std::vector<std::pair<Operation, std::wstring>> completed;
};

// Forwards to a MemoryCalendar and dies where the plan says.
class CrashingCalendar : public Calendar {
 public:
  CrashingCalendar(MemoryCalendar* inner, CrashPlan* plan)
      : Calendar(inner->user()), inner_(inner), plan_(plan) {}

  std::wstring GetName() const override { return inner_->GetName(); }
  bool LoadEvents(const DateTime* updated_min, std::wstring& error_message,
                  IProgressMonitor* progress) override {
    const bool ok = inner_->LoadEvents(updated_min, error_message, progress);
    events_ = std::move(inner_->mutable_events());
    inner_->mutable_events().clear();
    return ok;
  }
  bool Load(Event* event) override { return inner_->Load(event); }
  int Import(const Event* event, std::wstring* new_id, DateTime* new_updated,
             std::wstring* message) override {
    return Mutate(Operation::kImport, event->ical_uid(),
                  [&] { return inner_->Import(event, new_id, new_updated, message); });
  }
  int Update(const std::wstring& target_id, const Event* source, std::wstring* new_id,
             DateTime* new_updated, std::wstring* message) override {
    return Mutate(Operation::kUpdate, source->ical_uid(),
                  [&] { return inner_->Update(target_id, source, new_id, new_updated, message); });
  }
  int Delete(const std::wstring& id, std::wstring* message) override {
    const auto found = events_.find(id);
    const std::wstring uid = found == events_.end() ? std::wstring() : found->second->ical_uid();
    return Mutate(Operation::kDelete, uid, [&] { return inner_->Delete(id, message); });
  }
  std::unique_ptr<DateTime> GetUpdatedTime(const Event* event) const override {
    return inner_->GetUpdatedTime(event);
  }

 private:
  template <typename Apply>
  int Mutate(Operation operation, const std::wstring& uid, Apply apply) {
    const bool dies_here = ++plan_->calls == plan_->at;
    if (dies_here && !plan_->after_apply) throw SimulatedCrash{};
    const int result = apply();
    if (dies_here) throw SimulatedCrash{};
    if (result == kMutationDone) plan_->completed.emplace_back(operation, uid);
    return result;
  }

  MemoryCalendar* inner_;
  CrashPlan* plan_;
};

// Reports a stop from the (limit + 1)-th check on.
class CancelAfter : public NullProgressMonitor {
 public:
  explicit CancelAfter(int limit) : limit_(limit) {}
  bool IsCanceled() override {
    if (checks_ >= limit_) {
      stopped_ = true;
      return true;
    }
    ++checks_;
    return false;
  }
  bool stopped() const { return stopped_; }

 private:
  int limit_;
  int checks_ = 0;
  bool stopped_ = false;
};

// The owner's calendars and the sync data between them.
struct World {
  explicit World(uint32_t seed) {
    // Some histories hand events out briefly, so that the engine must complete them.
    left.set_brief_loads(seed % 2 == 0);
    right.set_brief_loads(seed % 4 < 2);
  }

  MemoryCalendar& side(bool is_left) { return is_left ? left : right; }

  TempDir dir;
  MemoryClock clock;
  MemoryCalendar left{L"NxCal", L"L", &clock};
  MemoryCalendar right{L"Outlook", L"R", &clock};
  std::wstring data_path = dir.wpath() + L"/sync.dat";
  std::filesystem::path data_file = dir.path() / "sync.dat";
  std::filesystem::path recovery_log = dir.path() / "sync.dat.LOG";
  int next_uid = 1;
};

// The stored events of one side by UID; flags a UID held twice.
std::map<std::wstring, const Event*> ByUid(const MemoryCalendar& calendar,
                                           std::vector<std::wstring>* duplicates = nullptr) {
  std::map<std::wstring, const Event*> events;
  for (const auto& [id, event] : calendar.store()) {
    if (!events.emplace(event->ical_uid(), event.get()).second && duplicates) {
      duplicates->push_back(event->ical_uid());
    }
  }
  return events;
}

struct SyncPlan {
  SyncMode mode = kTwoWay;
  uint32_t failure_percent = 0;  // share of mutations the calendars refuse
  int cancel_after = INT_MAX;    // checks before the stop request
  bool crash = false;
  bool crash_after_apply = false;
  uint32_t crash_draw = 0;  // picks the mutation at which the run dies
};

// What a clean two-way run must produce for each UID, worked out from the owner's own
// changes since the last converged run: the content both sides must hold, or none when
// the UID must be gone from both.
using Intent = std::map<std::wstring, std::unique_ptr<Event>>;

class Scenario {
 public:
  Scenario(uint32_t seed, bool checked) : seed_(seed), checked_(checked), world_(seed) {}

  void Step(int step, bool allow_crash = true) {
    step_ = step;
    std::seed_seq seq{seed_, static_cast<uint32_t>(step)};
    std::mt19937 rng(seq);
    if (step == 0) {
      for (int i = 6 + static_cast<int>(Pick(rng, 10)); i > 0; --i) Create(rng);
      return;
    }
    if (Chance(rng, 50)) {
      for (int i = 1 + static_cast<int>(Pick(rng, 4)); i > 0; --i) OwnerChange(rng);
      return;
    }
    SyncPlan plan;
    const uint32_t mode = Pick(rng, 10);
    plan.mode = mode < 6 ? kTwoWay : mode < 8 ? kSyncToRight : kSyncToLeft;
    const uint32_t flavour = Pick(rng, 100);
    if (flavour >= 45 && flavour < 65) {
      plan.failure_percent = 10 + Pick(rng, 50);
    } else if (flavour >= 65 && flavour < 80) {
      plan.cancel_after = static_cast<int>(Pick(rng, 40));
    } else if (flavour >= 80) {
      plan.crash = allow_crash;
      plan.crash_after_apply = Chance(rng, 50);
      plan.crash_draw = rng();
      if (Chance(rng, 30)) plan.failure_percent = 10 + Pick(rng, 40);
    }
    RunSync(plan);
  }

  World& world() { return world_; }
  std::string Where() const {
    return "seed " + std::to_string(seed_) + ", step " + std::to_string(step_) + plan_text_;
  }

 private:
  // --- The owner's changes between runs ---------------------------------------------

  std::unique_ptr<Event> RandomEvent(std::mt19937& rng, const std::wstring& uid) {
    auto event = std::make_unique<Event>();
    event->set_ical_uid(uid);
    RandomTitle(rng, *event);
    RandomLocation(rng, *event);
    RandomBody(rng, *event);
    RandomTimes(rng, *event);
    RandomReminder(rng, *event);
    event->set_busy_status(static_cast<BusyStatus>(Pick(rng, 3)));
    return event;
  }

  // The pools hold texts that differ only in blanks and line breaks, which the two
  // calendars do not tell apart, so edits that change nothing visible happen too.
  static void RandomTitle(std::mt19937& rng, Event& event) {
    static const wchar_t* const kTitles[] = {L"Lunch",  L"  Lunch\r\n", L"Standup",
                                             L"Review", L"Planning\t",  L"Dentist"};
    event.set_title(kTitles[Pick(rng, std::size(kTitles))]);
  }
  static void RandomLocation(std::mt19937& rng, Event& event) {
    static const wchar_t* const kLocations[] = {L"", L"Room 1", L"Room 1 ", L"Cafe"};
    event.set_location(kLocations[Pick(rng, std::size(kLocations))]);
  }
  static void RandomBody(std::mt19937& rng, Event& event) {
    static const wchar_t* const kBodies[] = {L"", L"Agenda", L"Agenda\r\n", L"Bring notes"};
    event.set_body(kBodies[Pick(rng, std::size(kBodies))]);
  }
  static void RandomTimes(std::mt19937& rng, Event& event) {
    const DateTime start = DateTime::FromFields(1 + static_cast<int>(Pick(rng, 28)), 3, 2026,
                                                7 + static_cast<int>(Pick(rng, 10)), 0, 0, 0);
    event.set_start(std::make_unique<DateTime>(start));
    event.set_end(std::make_unique<DateTime>(AddSeconds(start, 1800 * (1 + Pick(rng, 3)))));
  }
  static void RandomReminder(std::mt19937& rng, Event& event) {
    event.set_reminder_set(Chance(rng, 50));
    event.set_reminder_seconds(300 * static_cast<int32_t>(1 + Pick(rng, 3)));
  }

  std::wstring NewUid() { return L"uid-" + std::to_wstring(world_.next_uid++); }

  void Create(std::mt19937& rng) {
    const uint32_t kind = Pick(rng, 10);
    const std::wstring uid = NewUid();
    if (kind < 8) {
      world_.side(kind % 2 == 0).Add(RandomEvent(rng, uid));
      return;
    }
    // The owner enters the same event on both sides before any run: one copy is new on
    // each side and the two may or may not agree.
    auto first = RandomEvent(rng, uid);
    auto second = kind == 8 ? first->Clone() : RandomEvent(rng, uid);
    world_.left.Add(std::move(first));
    world_.right.Add(std::move(second));
  }

  const Event* RandomStored(std::mt19937& rng, const MemoryCalendar& calendar) {
    if (calendar.store().empty()) return nullptr;
    auto it = calendar.store().begin();
    std::advance(it, Pick(rng, static_cast<uint32_t>(calendar.store().size())));
    return it->second.get();
  }

  void OwnerChange(std::mt19937& rng) {
    plan_text_ = " (owner changes)";
    const uint32_t kind = Pick(rng, 10);
    const bool on_left = Chance(rng, 50);
    MemoryCalendar& calendar = world_.side(on_left);
    if (kind < 3) {
      Create(rng);
      return;
    }
    const Event* target = RandomStored(rng, calendar);
    if (target == nullptr) return;
    const std::wstring id = target->id();
    const std::wstring uid = target->ical_uid();
    if (kind < 8) {
      const uint32_t aspect = Pick(rng, 6);
      calendar.Edit(id, [&](Event& e) {
        switch (aspect) {
          case 0:
            RandomTitle(rng, e);
            break;
          case 1:
            RandomLocation(rng, e);
            break;
          case 2:
            RandomBody(rng, e);
            break;
          case 3:
            RandomTimes(rng, e);
            break;
          case 4:
            RandomReminder(rng, e);
            break;
          default:
            e.set_busy_status(static_cast<BusyStatus>(Pick(rng, 3)));
            break;
        }
      });
      return;
    }
    calendar.Erase(id);
    owner_deleted_.insert(uid);
    // A pair known to be remembered loses one side: the next two-way run must drop the
    // other copy too.
    if (synced_.count(uid) && ByUid(world_.side(!on_left)).count(uid)) {
      pending_deletes_.insert(uid);
    }
  }

  // --- One sync run -------------------------------------------------------------------

  int Refusal(bool left_side, uint32_t percent, Operation operation, const Event& event) {
    uint64_t hash = 14695981039346656037ULL;
    hash = Mix(hash, seed_);
    hash = Mix(hash, static_cast<uint64_t>(step_));
    hash = Mix(hash, left_side ? 1 : 2);
    hash = Mix(hash, static_cast<uint64_t>(operation));
    for (wchar_t c : event.ical_uid()) hash = Mix(hash, static_cast<uint64_t>(c));
    if (hash % 100 >= percent) return kMutationDone;
    ++refusals_;
    return (hash >> 32) % 2 ? kMutationFailed : kMutationIgnored;
  }

  void InstallRefusals(uint32_t percent) {
    for (bool left_side : {true, false}) {
      world_.side(left_side).set_result_hook(
          percent == 0 ? MemoryCalendar::ResultHook()
                       : [this, left_side, percent](Operation operation, const Event& event) {
                           return Refusal(left_side, percent, operation, event);
                         });
    }
  }

  static std::string Describe(const SyncPlan& plan) {
    std::string text = plan.mode == kTwoWay        ? " (two-way"
                       : plan.mode == kSyncToRight ? " (to right"
                                                   : " (to left";
    if (plan.failure_percent) text += ", " + std::to_string(plan.failure_percent) + "% refused";
    if (plan.cancel_after != INT_MAX)
      text += ", stop after " + std::to_string(plan.cancel_after) + " checks";
    if (plan.crash)
      text += plan.crash_after_apply ? ", dies after a write" : ", dies before a write";
    return text + ")";
  }

  void RunSync(const SyncPlan& plan) {
    plan_text_ = Describe(plan);
    refusals_ = 0;
    InstallRefusals(plan.failure_percent);
    const int left_writes = world_.left.write_count();
    const int right_writes = world_.right.write_count();
    const auto left_before = ByUid(world_.left);
    const auto right_before = ByUid(world_.right);
    std::set<std::pair<bool, std::wstring>> present_before;
    for (const auto& [uid, event] : left_before) present_before.emplace(true, uid);
    for (const auto& [uid, event] : right_before) present_before.emplace(false, uid);
    std::optional<Intent> intent;
    if (checked_ && baseline_valid_ && plan.mode == kTwoWay) intent = ExpectedIntent();
    const bool data_existed = std::filesystem::exists(world_.data_file);
    const std::string data_before = data_existed ? ReadFileText(world_.data_file) : "";

    CrashPlan crash;
    crash.after_apply = plan.crash_after_apply;
    CancelAfter progress(plan.cancel_after);
    SyncStats trial;
    SyncStats real;
    bool finished = false;
    bool crashed = false;
    {
      CrashingCalendar left(&world_.left, &crash);
      CrashingCalendar right(&world_.right, &crash);
      Synchronizer sync(&left, &right, plan.mode, world_.data_path);
      NullProgressMonitor loading;
      std::wstring error;
      EXPECT_TRUE(sync.LoadEvents(&loading, error)) << Where() << ": " << Text(error);
      EXPECT_TRUE(sync.SyncCalendars(true, &loading, &trial)) << Where();
      if (checked_) {
        EXPECT_EQ(world_.left.write_count(), left_writes) << Where() << ": trial wrote";
        EXPECT_EQ(world_.right.write_count(), right_writes) << Where() << ": trial wrote";
        EXPECT_EQ(std::filesystem::exists(world_.data_file), data_existed) << Where();
        if (data_existed) {
          EXPECT_EQ(ReadFileText(world_.data_file), data_before) << Where() << ": trial saved";
        }
      }
      if (plan.crash && Total(trial) > 0) {
        crash.at = 1 + static_cast<int>(plan.crash_draw % static_cast<uint32_t>(Total(trial)));
      }
      try {
        finished = sync.SyncCalendars(false, &progress, &real);
      } catch (const SimulatedCrash&) {
        crashed = true;  // The synchronizer goes without saving anything.
      }
    }
    if (crashed) {
      if (checked_) ExpectCompletedChangesSurvived(crash);
      Synchronizer resumed(&world_.left, &world_.right, plan.mode, world_.data_path);
      NullProgressMonitor none;
      std::wstring error;
      EXPECT_TRUE(resumed.LoadEvents(&none, error)) << Where() << ": " << Text(error);
      SyncStats stats;
      finished = resumed.SyncCalendars(false, &none, &stats);
      EXPECT_TRUE(finished) << Where();
    }
    InstallRefusals(0);
    if (!checked_) return;

    EXPECT_EQ(finished, !progress.stopped()) << Where() << ": result disagrees with the stop";
    EXPECT_FALSE(std::filesystem::exists(world_.recovery_log))
        << Where() << ": recovery log left after a finished run";
    ExpectNoDuplicates();
    ExpectNothingLost(present_before);
    if (plan.mode == kSyncToRight) {
      EXPECT_EQ(world_.left.write_count(), left_writes) << Where() << ": master written";
    }
    if (plan.mode == kSyncToLeft) {
      EXPECT_EQ(world_.right.write_count(), right_writes) << Where() << ": master written";
    }
    if (!crashed) {
      ExpectCountsAgree(trial, real, progress.stopped(), world_.left.write_count() - left_writes,
                        world_.right.write_count() - right_writes);
    }
    if (crashed) ExpectSameAsUninterrupted();

    const bool clean = !progress.stopped() && refusals_ == 0;
    UpdateModel(plan.mode, clean, intent);
  }

  // --- Checks -------------------------------------------------------------------------

  void ExpectNoDuplicates() {
    for (bool left_side : {true, false}) {
      std::vector<std::wstring> duplicates;
      ByUid(world_.side(left_side), &duplicates);
      for (const auto& uid : duplicates) {
        ADD_FAILURE() << Where() << ": " << Text(uid) << " twice on the "
                      << (left_side ? "left" : "right");
      }
    }
  }

  // An event the owner never deleted stays on every side that held it.
  void ExpectNothingLost(const std::set<std::pair<bool, std::wstring>>& present_before) {
    const auto left = ByUid(world_.left);
    const auto right = ByUid(world_.right);
    for (const auto& [on_left, uid] : present_before) {
      if (owner_deleted_.count(uid)) continue;
      EXPECT_TRUE((on_left ? left : right).count(uid))
          << Where() << ": " << Text(uid) << " lost from the " << (on_left ? "left" : "right");
    }
  }

  void ExpectCountsAgree(const SyncStats& trial, const SyncStats& real, bool stopped,
                         int left_writes, int right_writes) {
    const std::pair<const SyncCounts*, const SyncCounts*> sides[] = {{&trial.left, &real.left},
                                                                     {&trial.right, &real.right}};
    for (const auto& [planned, done] : sides) {
      // The trial cannot compare contents, so a real run may find fewer updates to make.
      EXPECT_LE(done->updates, planned->updates) << Where();
      if (stopped) {
        EXPECT_LE(done->imports, planned->imports) << Where();
        EXPECT_LE(done->deletes, planned->deletes) << Where();
      } else {
        EXPECT_EQ(done->imports, planned->imports) << Where();
        EXPECT_EQ(done->deletes, planned->deletes) << Where();
      }
    }
    if (refusals_ == 0) {
      EXPECT_EQ(left_writes, Total(real.left)) << Where() << ": left writes vs counts";
      EXPECT_EQ(right_writes, Total(real.right)) << Where() << ": right writes vs counts";
    } else {
      EXPECT_LE(left_writes, Total(real.left)) << Where();
      EXPECT_LE(right_writes, Total(real.right)) << Where();
    }
  }

  // Read from copies of the files, so that the resumed run still finds the log.
  void ExpectCompletedChangesSurvived(const CrashPlan& crash) {
    const std::filesystem::path probe = world_.dir.path() / "probe";
    std::filesystem::create_directories(probe);
    for (const auto& file : {world_.data_file, world_.recovery_log}) {
      if (std::filesystem::exists(file)) {
        std::filesystem::copy_file(file, probe / file.filename(),
                                   std::filesystem::copy_options::overwrite_existing);
      }
    }
    SyncData stored(Utf8ToWide((probe / "sync.dat").string()));
    stored.Load();
    std::filesystem::remove_all(probe);
    const auto left = ByUid(world_.left);
    const auto right = ByUid(world_.right);
    for (const auto& [operation, uid] : crash.completed) {
      const SyncRecord* record = stored.Find(uid);
      if (operation == Operation::kDelete) {
        EXPECT_EQ(record, nullptr) << Where() << ": deletion of " << Text(uid) << " forgotten";
        continue;
      }
      ASSERT_NE(record, nullptr) << Where() << ": copy of " << Text(uid) << " forgotten";
      ASSERT_TRUE(left.count(uid) && right.count(uid)) << Where() << ": " << Text(uid);
      EXPECT_TRUE(record->left_updated == *left.at(uid)->updated() &&
                  record->right_updated == *right.at(uid)->updated())
          << Where() << ": stale record for " << Text(uid);
    }
  }

  // The same history run again without the crash must end with the same events.
  void ExpectSameAsUninterrupted() {
    Scenario twin(seed_, /*checked=*/false);
    for (int step = 0; step < step_; ++step) twin.Step(step);
    twin.Step(step_, /*allow_crash=*/false);
    for (bool left_side : {true, false}) {
      const char* name = left_side ? "left" : "right";
      const auto crashed = ByUid(world_.side(left_side));
      const auto uninterrupted = ByUid(twin.world().side(left_side));
      for (const auto& [uid, event] : uninterrupted) {
        const auto found = crashed.find(uid);
        if (found == crashed.end()) {
          ADD_FAILURE() << Where() << ": after the crash " << Text(uid) << " is missing on the "
                        << name;
        } else {
          EXPECT_TRUE(Equivalent(*found->second, *event))
              << Where() << ": after the crash " << Text(uid) << " differs on the " << name;
        }
      }
      for (const auto& [uid, event] : crashed) {
        EXPECT_TRUE(uninterrupted.count(uid))
            << Where() << ": after the crash " << Text(uid) << " is extra on the " << name;
      }
    }
  }

  // Works out, from the times on both sides at the last converged run, what each UID
  // must become: a side that changed wins over one that did not, the later change wins
  // when both did, an event new on one side is copied, and one that was paired and is
  // now on one side only was deleted on the other.
  Intent ExpectedIntent() {
    Intent intent;
    const auto left = ByUid(world_.left);
    const auto right = ByUid(world_.right);
    std::set<std::wstring> uids;
    for (const auto& [uid, event] : left) uids.insert(uid);
    for (const auto& [uid, event] : right) uids.insert(uid);
    for (const auto& uid : uids) {
      const auto l = left.find(uid);
      const auto r = right.find(uid);
      const auto base = baseline_.find(uid);
      const bool paired = base != baseline_.end();
      const Event* winner = nullptr;
      if (l != left.end() && r != right.end()) {
        const DateTime& left_time = *l->second->updated();
        const DateTime& right_time = *r->second->updated();
        const bool left_changed = !paired || left_time != base->second.first;
        const bool right_changed = !paired || right_time != base->second.second;
        const bool right_wins = right_changed && (!left_changed || right_time > left_time);
        winner = right_wins ? r->second : l->second;
      } else if (!paired) {
        winner = l != left.end() ? l->second : r->second;
      }
      intent[uid] = winner ? winner->Clone() : nullptr;
    }
    return intent;
  }

  void ExpectIntent(const Intent& intent) {
    const auto left = ByUid(world_.left);
    const auto right = ByUid(world_.right);
    for (const auto& [uid, expected] : intent) {
      for (const auto* side : {&left, &right}) {
        const auto found = side->find(uid);
        const char* name = side == &left ? "left" : "right";
        if (!expected) {
          EXPECT_EQ(found, side->end())
              << Where() << ": " << Text(uid) << " was deleted but survives on the " << name;
        } else if (found == side->end()) {
          ADD_FAILURE() << Where() << ": " << Text(uid) << " missing on the " << name;
        } else {
          EXPECT_TRUE(Equivalent(*found->second, *expected))
              << Where() << ": " << Text(uid) << " on the " << name
              << " is not the newest change: " << Text(found->second->Dump());
        }
      }
    }
  }

  void ExpectConverged() {
    const auto left = ByUid(world_.left);
    const auto right = ByUid(world_.right);
    for (const auto& [uid, event] : left) {
      const auto partner = right.find(uid);
      if (partner == right.end()) {
        ADD_FAILURE() << Where() << ": " << Text(uid) << " only on the left";
      } else {
        EXPECT_TRUE(Equivalent(*event, *partner->second))
            << Where() << ": " << Text(uid) << " differs between the sides";
      }
    }
    for (const auto& [uid, event] : right) {
      EXPECT_TRUE(left.count(uid)) << Where() << ": " << Text(uid) << " only on the right";
    }
  }

  // A run right after a converged one has nothing to do.
  void ExpectSettled() {
    const int left_writes = world_.left.write_count();
    const int right_writes = world_.right.write_count();
    Synchronizer sync(&world_.left, &world_.right, kTwoWay, world_.data_path);
    NullProgressMonitor none;
    std::wstring error;
    EXPECT_TRUE(sync.LoadEvents(&none, error)) << Where();
    SyncStats stats;
    EXPECT_TRUE(sync.SyncCalendars(false, &none, &stats)) << Where();
    EXPECT_EQ(Total(stats), 0) << Where() << ": a second run still found work";
    EXPECT_EQ(world_.left.write_count(), left_writes) << Where();
    EXPECT_EQ(world_.right.write_count(), right_writes) << Where();
  }

  // After a clean one-way run the slave holds every master event as the master has it.
  void ExpectMirrored(bool left_is_master) {
    const auto master = ByUid(world_.side(left_is_master));
    const auto slave = ByUid(world_.side(!left_is_master));
    for (const auto& [uid, event] : master) {
      const auto copy = slave.find(uid);
      if (copy == slave.end()) {
        ADD_FAILURE() << Where() << ": " << Text(uid) << " not copied from the master";
      } else {
        EXPECT_TRUE(Equivalent(*event, *copy->second))
            << Where() << ": " << Text(uid) << " differs from the master";
      }
    }
  }

  void UpdateModel(SyncMode mode, bool clean, const std::optional<Intent>& intent) {
    const auto left = ByUid(world_.left);
    const auto right = ByUid(world_.right);
    const auto on_both = [&](const std::wstring& uid) {
      return left.count(uid) && right.count(uid);
    };
    const auto on_neither = [&](const std::wstring& uid) {
      return !left.count(uid) && !right.count(uid);
    };
    std::erase_if(synced_, on_neither);
    if (mode != kTwoWay) {
      // A one-way run copies the master's copy back over a deletion on the slave.
      if (clean) {
        for (const auto& uid : pending_deletes_) {
          EXPECT_TRUE(on_both(uid) || on_neither(uid))
              << Where() << ": deletion of " << Text(uid) << " half carried over";
        }
      }
      std::erase_if(pending_deletes_, on_both);
    }
    if (!clean) {
      baseline_valid_ = false;
      return;
    }
    if (mode != kTwoWay) {
      ExpectMirrored(mode == kSyncToRight);
      for (const auto& [uid, event] : left) {
        if (right.count(uid)) synced_.insert(uid);
      }
      baseline_valid_ = false;
      return;
    }
    ExpectConverged();
    if (intent) ExpectIntent(*intent);
    for (const auto& uid : pending_deletes_) {
      EXPECT_TRUE(on_neither(uid)) << Where() << ": deletion of " << Text(uid) << " not synced";
    }
    pending_deletes_.clear();
    ExpectSettled();
    // Read again: a faulty second run may have replaced stored events.
    const auto left_now = ByUid(world_.left);
    const auto right_now = ByUid(world_.right);
    synced_.clear();
    baseline_.clear();
    for (const auto& [uid, event] : left_now) {
      synced_.insert(uid);
      const auto partner = right_now.find(uid);
      if (partner != right_now.end()) {
        baseline_[uid] = {*event->updated(), *partner->second->updated()};
      }
    }
    baseline_valid_ = true;
  }

  uint32_t seed_;
  bool checked_;
  World world_;
  int step_ = 0;
  std::string plan_text_;
  int refusals_ = 0;
  // UIDs whose pair certainly has a sync record.
  std::set<std::wstring> synced_;
  // Paired UIDs that the owner deleted on one side since.
  std::set<std::wstring> pending_deletes_;
  std::set<std::wstring> owner_deleted_;
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

// One test per seed, named after it: --gtest_filter='*SyncModel*seed7' replays seed 7.
INSTANTIATE_TEST_SUITE_P(Seeds, SyncModelTest, ::testing::Range<uint32_t>(1, kSeeds + 1),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                           return "seed" + std::to_string(info.param);
                         });

}  // namespace
}  // namespace calendar_mirrow_addin
