#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sync/calendar.h"
#include "sync/sync_data.h"
#include "sync/sync_stats.h"

namespace calendar_mirrow_addin {

class IProgressMonitor;

enum SyncMode : int32_t {
  kSyncToRight = 1,  // left is master
  kSyncToLeft = 2,   // right is master
  kTwoWay = 3,       // the newer change wins
};

// Brings a left and a right calendar into agreement: events are matched by iCalendar
// UID, changes are found against the times remembered in the sync data, and every pair
// is imported, updated, deleted or left alone by a fixed decision table and the mode.
class Synchronizer {
 public:
  // The calendars are borrowed and must outlive the synchronizer.
  Synchronizer(Calendar* left, Calendar* right, SyncMode mode, std::wstring sync_data_path);

  // Loads both calendars (left first); false when either fails or the user cancels.
  bool LoadEvents(IProgressMonitor* progress, std::wstring& error_message);
  // One pass over all events. A trial run takes and counts every decision but writes
  // nothing. False when the run was cancelled.
  bool SyncCalendars(bool trial, IProgressMonitor* progress, SyncStats* stats);

  const SyncData& sync_data() const { return sync_data_; }
  SyncMode mode() const { return mode_; }

 private:
  void SyncCalendarEvents(Event* left_event, Event* right_event, bool trial, SyncStats* stats);
  void DecideOneSided(Event* left_event, Event* right_event, bool record_exists, bool trial,
                      std::wstring& message, SyncStats* stats);
  void DecideBoth(Event* left_event, Event* right_event, const DateTime* left_time,
                  const DateTime* right_time, bool left_changed, bool right_changed, bool trial,
                  std::wstring& message, SyncStats* stats);

  // The mutations: each counts first, then (unless trial) changes the target calendar
  // and keeps the sync record in step. True when done, ignored or skipped.
  bool CalendarImportEvent(Calendar* from_calendar, Calendar* to_calendar, const Event* event,
                           bool trial, std::wstring& message, SyncCounts& counts);
  bool CalendarUpdateEvent(Calendar* from_calendar, Calendar* to_calendar, const Event* source,
                           const Event* target, bool trial, std::wstring& message,
                           SyncCounts& counts);
  bool CalendarDeleteEvent(Calendar* calendar, const Event* event, bool trial,
                           std::wstring& message, SyncCounts& counts);

  void RecordSyncPair(const std::wstring& uid, const Calendar* calendar_a,
                      const Calendar* calendar_b, const DateTime* time_a, const DateTime* time_b);
  void RemoveSyncRecord(const std::wstring& uid);
  void DropStaleRecords(const std::vector<Event*>& left_events,
                        const std::vector<Event*>& right_events);
  void LoadSyncData() { sync_data_.Load(); }
  void SaveSyncData() { sync_data_.Save(); }
  void Dump(const Event* left_event, const Event* right_event) const;

  Calendar* left_;
  Calendar* right_;
  SyncMode mode_;
  SyncData sync_data_;
};

}  // namespace calendar_mirrow_addin
