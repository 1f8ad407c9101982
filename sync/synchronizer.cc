#include "sync/synchronizer.h"

#include <set>
#include <utility>
#include <vector>

#include "base/logger.h"
#include "sync/progress_monitor.h"

namespace calendar_mirrow_addin {

namespace {

// Snapshot of a calendar's events in id order; the events stay owned by the calendar.
std::vector<Event*> Snapshot(const Calendar& calendar) {
  std::vector<Event*> events;
  events.reserve(calendar.events().size());
  for (const auto& [id, event] : calendar.events()) events.push_back(event.get());
  return events;
}

// To the millisecond: a calendar that keeps them (the web's does) may change an event twice
// within one second, and the second change must not pass for the recorded first.
bool TimesEqual(const DateTime* time, const DateTime& recorded) {
  return time != nullptr && *time == recorded && time->milliseconds == recorded.milliseconds;
}

// Whether the right side's change wins over the left side's.
bool RightWins(SyncMode mode, bool left_changed, bool right_changed, const DateTime* left_time,
               const DateTime* right_time) {
  if (mode == kSyncToLeft) return true;
  if (mode != kTwoWay) return false;
  if (left_changed && right_changed) {
    return right_time != nullptr && (left_time == nullptr || *right_time > *left_time);
  }
  return right_changed;
}

// Tracks cancellation the way both passes need it: the request seen at one check stops
// the pass before the next event, so the event in hand is still finished.
class CancelCheck {
 public:
  explicit CancelCheck(IProgressMonitor* progress)
      : progress_(progress), canceled_(progress->IsCanceled()) {}
  // False when the pass must stop before the next event.
  bool Next() {
    if (canceled_) return false;
    canceled_ = progress_->IsCanceled();
    return true;
  }
  bool canceled() const { return canceled_; }

 private:
  IProgressMonitor* progress_;
  bool canceled_;
};

}  // namespace

Synchronizer::Synchronizer(Calendar* left, Calendar* right, SyncMode mode,
                           std::wstring sync_data_path)
    : left_(left), right_(right), mode_(mode), sync_data_(std::move(sync_data_path)) {}

bool Synchronizer::LoadEvents(IProgressMonitor* progress, std::wstring& error_message) {
  progress->BeginTask(L"Loading events", 100);
  SubProgressMonitor left_progress(progress, 50);
  SubProgressMonitor right_progress(progress, 50);
  const bool left_ok = left_->LoadEvents(nullptr, error_message, &left_progress);
  const bool canceled = progress->IsCanceled();
  left_progress.Done();
  bool right_ok = false;
  if (!canceled && left_ok) right_ok = right_->LoadEvents(nullptr, error_message, &right_progress);
  right_progress.Done();
  progress->Done();
  if (left_ok && right_ok) return true;
  if (!progress->IsCanceled()) {
    LogSevere(L"Unable to get events from " + (left_ok ? right_ : left_)->GetName());
  }
  return false;
}

bool Synchronizer::SyncCalendars(bool trial, IProgressMonitor* progress, SyncStats* stats) {
  LogBlock block(trial ? L"SyncCalendarsTrial" : L"SyncCalendars");
  *stats = SyncStats{};
  LoadSyncData();

  const std::vector<Event*> left_events = Snapshot(*left_);
  const std::vector<Event*> right_events = Snapshot(*right_);
  int64_t total = static_cast<int64_t>(left_events.size() + right_events.size());
  int64_t done = 0;
  progress->BeginTask(L"Synchronizing events", static_cast<int>(total));

  // When several right events share a UID, the last one in id order takes part.
  std::map<std::wstring, Event*> right_by_uid;
  for (Event* event : right_events) right_by_uid[event->ical_uid()] = event;

  CancelCheck cancel(progress);
  std::set<std::wstring> left_uids;
  for (Event* left_event : left_events) {
    if (!cancel.Next()) break;
    // A second left event with the same UID would otherwise be treated as left-only, and
    // the record its twin just made would have it deleted: it takes no part instead, as
    // surplus right events with one UID do.
    if (!left_uids.insert(left_event->ical_uid()).second) {
      progress->Worked(1);
      ++done;
      LogSevere(L"Skipping event with duplicate iCal UID: " + left_event->id());
      continue;
    }
    Event* partner = nullptr;
    if (const auto found = right_by_uid.find(left_event->ical_uid()); found != right_by_uid.end()) {
      LogVerbose(L"found equal iCal UID: " + found->first);
      partner = found->second;
      right_by_uid.erase(found);
    }
    progress->Worked(1);
    ++done;
    if (partner != nullptr) {
      progress->Worked(1);
      ++done;
    }
    LogInfo(L"Syncing matched event:" + left_event->id());
    progress->SubTask(FormatProgressItem(done, total));
    SyncCalendarEvents(left_event, partner, trial, stats);
  }

  total = static_cast<int64_t>(right_by_uid.size());
  done = 0;
  for (const auto& [uid, right_event] : right_by_uid) {
    if (!cancel.Next()) break;
    progress->Worked(1);
    ++done;
    LogInfo(L"Syncing unmatched event:" + right_event->id());
    progress->SubTask(FormatProgressItem(done, total));
    SyncCalendarEvents(nullptr, right_event, trial, stats);
  }

  if (!trial) {
    if (!cancel.canceled()) DropStaleRecords(left_events, right_events);
    SaveSyncData();
  }
  progress->Done();
  return !cancel.canceled();
}

// A record whose UID is on neither side remembers a pair that is gone from both. Kept, it
// would make the same UID, sent again later to one side, look deleted on the other, and
// the event would be deleted. Only a run that saw every event may tell, so a stopped run
// keeps them; each removal goes through the recovery log like any other change.
void Synchronizer::DropStaleRecords(const std::vector<Event*>& left_events,
                                    const std::vector<Event*>& right_events) {
  std::set<std::wstring> present;
  for (const auto* events : {&left_events, &right_events}) {
    for (const Event* event : *events) present.insert(event->ical_uid());
  }
  std::vector<std::wstring> stale;
  for (const auto& [uid, record] : sync_data_.records()) {
    if (!present.count(uid)) stale.push_back(uid);
  }
  for (const std::wstring& uid : stale) {
    LogInfo(L"Dropping the record of an event gone from both sides: " + uid);
    RemoveSyncRecord(uid);
  }
}

void Synchronizer::SyncCalendarEvents(Event* left_event, Event* right_event, bool trial,
                                      SyncStats* stats) {
  LogBlock block(L"SyncCalendarEvents");
  if (left_event && right_event && left_event->ical_uid() != right_event->ical_uid()) {
    LogSevere(L"Attempt to sync events with non-equal iCal UIDs");
    return;
  }
  std::unique_ptr<DateTime> left_time;
  std::unique_ptr<DateTime> right_time;
  std::wstring uid;
  if (left_event) {
    if (left_event->load_failed()) {
      LogSevere(L"Skipping event sync since load failed for lhs");
      return;
    }
    left_time = left_->GetUpdatedTime(left_event);
    uid = left_event->ical_uid();
  }
  if (right_event) {
    if (right_event->load_failed()) {
      LogSevere(L"Skipping event sync since load failed for rhs");
      return;
    }
    right_time = right_->GetUpdatedTime(right_event);
    uid = right_event->ical_uid();
  }

  const SyncRecord* record = sync_data_.Find(uid);
  if (left_event && right_event && record && TimesEqual(left_time.get(), record->left_updated) &&
      TimesEqual(right_time.get(), record->right_updated)) {
    LogVerbose(L"skipping not changed events: " + left_event->id() + L" and " + right_event->id());
    Dump(left_event, right_event);
    return;
  }
  const bool left_changed =
      left_event && (!record || !TimesEqual(left_time.get(), record->left_updated));
  if (left_changed) LogInfo(L"left has changed");
  const bool right_changed =
      right_event && (!record || !TimesEqual(right_time.get(), record->right_updated));
  if (right_changed) LogInfo(L"right has changed");
  if (left_event && right_event && !left_changed && !right_changed) return;

  if (!trial) {
    if (left_event) left_->Load(left_event);
    if (right_event) right_->Load(right_event);
    Dump(left_event, right_event);
  }
  std::wstring message;
  if (left_event && right_event) {
    DecideBoth(left_event, right_event, left_time.get(), right_time.get(), left_changed,
               right_changed, trial, message, stats);
  } else {
    DecideOneSided(left_event, right_event, record != nullptr, trial, message, stats);
  }
  if (!message.empty()) LogVerbose(L"Message: " + message);
}

void Synchronizer::DecideBoth(Event* left_event, Event* right_event, const DateTime* left_time,
                              const DateTime* right_time, bool left_changed, bool right_changed,
                              bool trial, std::wstring& message, SyncStats* stats) {
  LogVerbose(L"there are left and right -> testing equivalence");
  // A trial run does not compare contents, so every changed pair counts as one update.
  if (!trial && Equivalent(*left_event, *right_event)) {
    RecordSyncPair(left_event->ical_uid(), left_, right_, left_time, right_time);
    return;
  }
  LogInfo(L"not equivalent or trial run!");
  if (RightWins(mode_, left_changed, right_changed, left_time, right_time)) {
    LogInfo(L"right is master -> update left");
    CalendarUpdateEvent(right_, left_, right_event, left_event, trial, message, stats->left);
  } else {
    LogInfo(L"left is master -> update right");
    CalendarUpdateEvent(left_, right_, left_event, right_event, trial, message, stats->right);
  }
}

// One side only: a record proves the pair existed at the last sync, so the other side
// deleted it since, unless the side that still has it is the master of a one-way mode.
void Synchronizer::DecideOneSided(Event* left_event, Event* right_event, bool record_exists,
                                  bool trial, std::wstring& message, SyncStats* stats) {
  if (left_event) {
    if (mode_ == kSyncToLeft && !record_exists) {
      LogInfo(L"keep existing event to the left");
    } else if (record_exists && mode_ != kSyncToRight) {
      LogInfo(L"sync to right -> delete left");
      CalendarDeleteEvent(left_, left_event, trial, message, stats->left);
    } else {
      LogInfo(L"sync to right -> import left event to right calendar");
      CalendarImportEvent(left_, right_, left_event, trial, message, stats->right);
    }
    return;
  }
  if (mode_ == kSyncToLeft || !record_exists) {
    if (mode_ == kSyncToRight) {
      LogInfo(L"keep existing event to the right");
      return;
    }
    LogInfo(L"sync to right -> import right event to left calendar");
    CalendarImportEvent(right_, left_, right_event, trial, message, stats->left);
    return;
  }
  CalendarDeleteEvent(right_, right_event, trial, message, stats->right);
  LogInfo(L"sync to left -> delete right");
}

void Synchronizer::Dump(const Event* left_event, const Event* right_event) const {
  const Logger* logger = GetLogger();
  if (logger == nullptr || !logger->IsLoggable(Logger::VERBOSE)) return;
  LogBlock block(L"Dump");
  if (left_event && !left_event->load_failed()) {
    LogVerbose(L"left <<<");
    LogVerbose(left_event->Dump());
    LogVerbose(L">>> left");
  }
  if (right_event && !right_event->load_failed()) {
    LogVerbose(L"right <<<");
    LogVerbose(right_event->Dump());
    LogVerbose(L">>> right");
  }
}

}  // namespace calendar_mirrow_addin
