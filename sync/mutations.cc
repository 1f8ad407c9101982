// The three ways the engine changes a calendar, with their counting and the sync-record
// bookkeeping that follows a successful change.

#include "base/logger.h"
#include "sync/synchronizer.h"

namespace calendar_mirrow_addin {

bool Synchronizer::CalendarImportEvent(Calendar* from_calendar, Calendar* to_calendar,
                                       const Event* event, bool trial, std::wstring& message,
                                       SyncCounts& counts) {
  // Counted first, so that a trial counts what a real run would attempt.
  ++counts.imports;
  if (trial) return true;
  LogBlock block(L"CalendarImportEvent");
  if (event->load_failed()) return true;
  std::wstring line = L"Mutating: " + to_calendar->GetName();
  std::wstring new_id;
  DateTime new_updated;
  const int result = to_calendar->Import(event, &new_id, &new_updated, &message);
  bool ok = true;
  if (result == kMutationIgnored) {
    line += L" ignored " + event->ical_uid();
  } else if (result != kMutationDone) {
    line += L" unable to import " + event->ical_uid();
    ok = false;
  } else {
    line += L" imported " + event->ical_uid();
    const auto source_time = from_calendar->GetUpdatedTime(event);
    RecordSyncPair(event->ical_uid(), from_calendar, to_calendar, source_time.get(), &new_updated);
  }
  LogInfo(line);
  return ok;
}

bool Synchronizer::CalendarUpdateEvent(Calendar* from_calendar, Calendar* to_calendar,
                                       const Event* source, const Event* target, bool trial,
                                       std::wstring& message, SyncCounts& counts) {
  ++counts.updates;
  if (trial || source->load_failed()) return true;
  std::wstring line = L"Mutating: " + to_calendar->GetName();
  std::wstring new_id;
  DateTime new_updated;
  const int result = to_calendar->Update(target->id(), source, &new_id, &new_updated, &message);
  bool ok = true;
  if (result == kMutationDone) {
    const auto source_time = from_calendar->GetUpdatedTime(source);
    RecordSyncPair(source->ical_uid(), from_calendar, to_calendar, source_time.get(), &new_updated);
    line += L" updated ";
  } else if (result == kMutationIgnored) {
    line += L" ignored ";
  } else {
    line += L" unable to update ";
    ok = false;
  }
  LogInfo(line + target->ical_uid());
  return ok;
}

bool Synchronizer::CalendarDeleteEvent(Calendar* calendar, const Event* event, bool trial,
                                       std::wstring& message, SyncCounts& counts) {
  ++counts.deletes;
  if (trial) return true;
  std::wstring line = L"Mutating: " + calendar->GetName();
  const int result = calendar->Delete(event->id(), &message);
  const bool ok = result == kMutationDone;
  if (ok) {
    line += L" deleted ";
    RemoveSyncRecord(event->ical_uid());
  } else {
    line += L" unable to delete ";
  }
  LogInfo(line + event->ical_uid());
  return ok;
}

namespace {

// The time remembered for one side of a pair. A side without a usable modification time
// (none; the zero date of a calendar that reported a change as done without its new
// time; a date, or anything else the data file cannot hold) is remembered as the first
// representable instant: it matches no real time, so the pair is looked at again next
// run, and unlike the unusable value it survives the data file, so a later deletion is
// still carried over.
DateTime Remembered(const DateTime* time) {
  constexpr size_t kStoredWidth = 24;
  if (time != nullptr && !time->date_only) {
    const std::wstring text = FormatIso(*time);
    if (text.size() == kStoredWidth && ParseIso(text)) return *time;
  }
  return DateTime::FromFields(1, 1, 1601, 0, 0, 0, 0);
}

}  // namespace

void Synchronizer::RecordSyncPair(const std::wstring& uid, const Calendar* calendar_a,
                                  const Calendar* /*calendar_b*/, const DateTime* time_a,
                                  const DateTime* time_b) {
  const DateTime a = Remembered(time_a);
  const DateTime b = Remembered(time_b);
  sync_data_.Record(uid, calendar_a == left_ ? SyncRecord{a, b} : SyncRecord{b, a});
}

void Synchronizer::RemoveSyncRecord(const std::wstring& uid) { sync_data_.Remove(uid); }

}  // namespace calendar_mirrow_addin
