#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sync/progress_monitor.h"

namespace calendar_mirrow_addin::testing {

// Records what a task reports ("name/total" per BeginTask, every sub-task, the work) and
// answers IsCanceled once `cancel_after` sub-tasks were reported.
struct ProgressRecorder : NullProgressMonitor {
  void BeginTask(const std::wstring& name, int total) override {
    tasks.push_back(name + L"/" + std::to_wstring(total));
  }
  void SubTask(const std::wstring& item) override { sub_tasks.push_back(item); }
  void Worked(int work) override { worked += work; }
  bool IsCanceled() override { return sub_tasks.size() >= cancel_after; }

  std::vector<std::wstring> tasks;
  std::vector<std::wstring> sub_tasks;
  int worked = 0;
  size_t cancel_after = SIZE_MAX;
};

}  // namespace calendar_mirrow_addin::testing
