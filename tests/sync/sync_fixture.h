#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "sync/memory_calendar.h"
#include "sync/progress_monitor.h"
#include "sync/synchronizer.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin::testing {

inline std::unique_ptr<Event> NewEvent(const std::wstring& uid, const std::wstring& title) {
  auto event = std::make_unique<Event>();
  event->set_ical_uid(uid);
  event->set_title(title);
  event->set_start(std::make_unique<DateTime>(DateTime::FromFields(10, 3, 2026, 9, 0, 0, 0)));
  event->set_end(std::make_unique<DateTime>(DateTime::FromFields(10, 3, 2026, 10, 0, 0, 0)));
  return event;
}

// Two in-memory calendars sharing one clock, a sync-data file in a temporary folder, and
// a captured log.
class SyncFixture : public ::testing::Test {
 protected:
  SyncStats Run(SyncMode mode, bool trial = false) {
    Synchronizer sync(&left_, &right_, mode, data_path_);
    NullProgressMonitor progress;
    std::wstring error;
    EXPECT_TRUE(sync.LoadEvents(&progress, error)) << WideToUtf8(error);
    SyncStats stats;
    EXPECT_TRUE(sync.SyncCalendars(trial, &progress, &stats));
    return stats;
  }

  std::filesystem::path DataFile() const { return dir_.path() / "sync.dat"; }
  std::filesystem::path RecoveryLog() const { return dir_.path() / "sync.dat.LOG"; }
  bool Logged(const std::string& line) const { return log_.Contains(line + "\n"); }

  TempDir dir_;
  CapturedLog log_;
  MemoryClock clock_;
  MemoryCalendar left_{L"NxCal", L"L", &clock_};
  MemoryCalendar right_{L"Outlook", L"R", &clock_};
  std::wstring data_path_ = dir_.wpath() + L"/sync.dat";
};

}  // namespace calendar_mirrow_addin::testing
