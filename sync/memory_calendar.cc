#include "sync/memory_calendar.h"

#include <cwchar>

#include "sync/progress_monitor.h"

namespace calendar_mirrow_addin {

DateTime MemoryClock::Next() {
  Advance(tick_);
  return now_;
}

MemoryCalendar::MemoryCalendar(std::wstring name, std::wstring id_prefix, MemoryClock* clock)
    : Calendar(L"user@nexora.example"),
      name_(std::move(name)),
      id_prefix_(std::move(id_prefix)),
      clock_(clock ? clock : &own_clock_) {}

bool MemoryCalendar::LoadEvents(const DateTime* updated_min, std::wstring& error_message,
                                IProgressMonitor* progress) {
  events_.clear();
  if (!load_error_.empty()) {
    error_message = load_error_;
    return false;
  }
  progress->BeginTask(L"Loading " + name_, static_cast<int>(store_.size()));
  for (const auto& [id, stored] : store_) {
    if (progress->IsCanceled()) return false;
    progress->Worked(1);
    if (updated_min && stored->updated() && !(*updated_min < *stored->updated())) continue;
    events_[id] = Handout(*stored);
  }
  return true;
}

std::unique_ptr<Event> MemoryCalendar::Handout(const Event& stored) const {
  std::unique_ptr<Event> event;
  if (brief_loads_) {
    event = std::make_unique<Event>();
    event->set_id(stored.id());
    event->set_ical_uid(stored.ical_uid());
    if (stored.updated()) event->set_updated(std::make_unique<DateTime>(*stored.updated()));
  } else {
    event = stored.Clone();
  }
  if (load_failures_.count(stored.id())) event->set_load_failed(true);
  return event;
}

bool MemoryCalendar::Load(Event* event) {
  ++load_count_;
  const auto stored = store_.find(event->id());
  if (stored == store_.end() || load_failures_.count(event->id())) {
    event->set_load_failed(true);
    return false;
  }
  if (brief_loads_) {
    auto full = stored->second->Clone();
    *event = std::move(*full);
  }
  return true;
}

int MemoryCalendar::Decide(Operation operation, const Event& event) const {
  return result_hook_ ? result_hook_(operation, event) : kMutationDone;
}

int MemoryCalendar::Applied(Operation operation) {
  ++write_count_;
  if (applied_hook_) applied_hook_(operation);
  return kMutationDone;
}

std::unique_ptr<Event> MemoryCalendar::StoredCopy(const Event& source, const std::wstring& id) {
  auto copy = source.Clone();
  copy->set_id(id);
  copy->set_load_failed(false);
  copy->set_updated(std::make_unique<DateTime>(clock_->Next()));
  return copy;
}

int MemoryCalendar::Import(const Event* event, std::wstring* new_id, DateTime* new_updated,
                           std::wstring* message) {
  const int result = Decide(Operation::kImport, *event);
  if (result != kMutationDone) {
    *message += L"import refused";
    return result;
  }
  const std::wstring id = id_prefix_ + std::to_wstring(next_id_++);
  auto stored = StoredCopy(*event, id);
  *new_id = id;
  *new_updated = *stored->updated();
  store_[id] = std::move(stored);
  return Applied(Operation::kImport);
}

int MemoryCalendar::Update(const std::wstring& target_id, const Event* source, std::wstring* new_id,
                           DateTime* new_updated, std::wstring* message) {
  const auto target = store_.find(target_id);
  if (target == store_.end()) {
    *message += L"no entry " + target_id;
    return kMutationFailed;
  }
  const int result = Decide(Operation::kUpdate, *target->second);
  if (result != kMutationDone) {
    *message += L"update refused";
    return result;
  }
  target->second = StoredCopy(*source, target_id);
  *new_id = target_id;
  *new_updated = *target->second->updated();
  return Applied(Operation::kUpdate);
}

int MemoryCalendar::Delete(const std::wstring& id, std::wstring* message) {
  const auto target = store_.find(id);
  if (target == store_.end()) {
    *message += L"no entry " + id;
    return kMutationFailed;
  }
  const int result = Decide(Operation::kDelete, *target->second);
  if (result != kMutationDone) {
    *message += L"delete refused";
    return result;
  }
  store_.erase(target);
  return Applied(Operation::kDelete);
}

std::unique_ptr<DateTime> MemoryCalendar::GetUpdatedTime(const Event* event) const {
  return event->updated() ? std::make_unique<DateTime>(*event->updated()) : nullptr;
}

std::wstring MemoryCalendar::Add(std::unique_ptr<Event> event) {
  const std::wstring id = id_prefix_ + std::to_wstring(next_id_++);
  store_[id] = StoredCopy(*event, id);
  return id;
}

bool MemoryCalendar::Edit(const std::wstring& id, const std::function<void(Event&)>& change) {
  const auto target = store_.find(id);
  if (target == store_.end()) return false;
  change(*target->second);
  target->second->set_updated(std::make_unique<DateTime>(clock_->Next()));
  return true;
}

bool MemoryCalendar::Erase(const std::wstring& id) { return store_.erase(id) != 0; }

const Event* MemoryCalendar::FindByUid(const std::wstring& uid) const {
  const Event* found = nullptr;
  for (const auto& [id, event] : store_) {
    if (event->ical_uid() == uid) found = event.get();
  }
  return found;
}

}  // namespace calendar_mirrow_addin
