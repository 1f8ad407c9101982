#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "sync/calendar.h"

namespace calendar_mirrow_addin {

// A clock that advances `tick` seconds on every reading (by default one, so that every
// write gets a modification time of its own; 0 lets writes share a time until Advance).
// Calendars may share one.
class MemoryClock {
 public:
  explicit MemoryClock(DateTime start = DateTime::FromFields(1, 1, 2026, 0, 0, 0, 0),
                       int64_t tick = 1)
      : now_(start), tick_(tick) {}
  DateTime Next();
  void Advance(int64_t seconds) { now_ = AddSeconds(now_, seconds); }
  void Set(const DateTime& now) { now_ = now; }

 private:
  DateTime now_;
  int64_t tick_;
};

// A calendar whose store is held in memory: the stand-in for a real calendar in tests
// and benchmarks. The store is what the calendar's owner sees; events() is what the last
// LoadEvents handed to the engine, as with a real calendar.
class MemoryCalendar : public Calendar {
 public:
  enum class Operation { kImport, kUpdate, kDelete };
  // Decides the result of a mutation before it is applied (kMutationDone applies it).
  using ResultHook = std::function<int(Operation operation, const Event& event)>;
  // Told of every mutation once the store has applied it, before the caller hears of it.
  using AppliedHook = std::function<void(Operation operation)>;

  // `clock` is borrowed; null gives the calendar a clock of its own.
  MemoryCalendar(std::wstring name, std::wstring id_prefix, MemoryClock* clock = nullptr);

  std::wstring GetName() const override { return name_; }
  bool LoadEvents(const DateTime* updated_min, std::wstring& error_message,
                  IProgressMonitor* progress) override;
  bool Load(Event* event) override;
  int Import(const Event* event, std::wstring* new_id, DateTime* new_updated,
             std::wstring* message) override;
  int Update(const std::wstring& target_id, const Event* source, std::wstring* new_id,
             DateTime* new_updated, std::wstring* message) override;
  int Delete(const std::wstring& id, std::wstring* message) override;
  std::unique_ptr<DateTime> GetUpdatedTime(const Event* event) const override;

  // The owner's own changes between syncs; each stamps a new modification time.
  std::wstring Add(std::unique_ptr<Event> event);
  bool Edit(const std::wstring& id, const std::function<void(Event&)>& change);
  bool Erase(const std::wstring& id);

  const EventMap& store() const { return store_; }
  // The stored event with this UID (the last in id order), or null.
  const Event* FindByUid(const std::wstring& uid) const;

  // LoadEvents hands out only id, updated and UID; Load completes an event.
  void set_brief_loads(bool brief) { brief_loads_ = brief; }
  // LoadEvents fails with this user message (empty: it succeeds).
  void set_load_error(std::wstring message) { load_error_ = std::move(message); }
  // The entry cannot be loaded completely: it is handed out with load_failed set.
  void MarkLoadFailure(const std::wstring& id) { load_failures_.insert(id); }
  void set_result_hook(ResultHook hook) { result_hook_ = std::move(hook); }
  void set_applied_hook(AppliedHook hook) { applied_hook_ = std::move(hook); }

  int write_count() const { return write_count_; }
  int load_count() const { return load_count_; }

 private:
  std::unique_ptr<Event> Handout(const Event& stored) const;
  std::unique_ptr<Event> StoredCopy(const Event& source, const std::wstring& id);
  int Decide(Operation operation, const Event& event) const;
  int Applied(Operation operation);

  std::wstring name_;
  std::wstring id_prefix_;
  MemoryClock own_clock_;
  MemoryClock* clock_;
  EventMap store_;
  int64_t next_id_ = 1;
  bool brief_loads_ = false;
  std::wstring load_error_;
  std::set<std::wstring> load_failures_;
  ResultHook result_hook_;
  AppliedHook applied_hook_;
  int write_count_ = 0;
  int load_count_ = 0;
};

}  // namespace calendar_mirrow_addin
