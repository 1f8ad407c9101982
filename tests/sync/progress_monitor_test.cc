// The progress monitors and what they hand the tray application.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "sync/progress_monitor.h"
#include "sync/tray_channel.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

using testing::CapturedLog;

// A parent that records what a sub-monitor hands it.
struct RecordingMonitor : NullProgressMonitor {
  void InternalWorked(double work) override { steps.push_back(work); }
  std::vector<double> steps;
};

TEST(SubProgressMonitorTest, PassesExactlyItsShareAndAllOfItOnDone) {
  // Share, units, the work reported, and the parent's steps before Done.
  const std::tuple<int, int, std::vector<double>, std::vector<double>> kCases[] = {
      {25, 0, {5, 2.5}, {}},                                  // no units: all on Done
      {25, -4, {5}, {}},                                      // likewise
      {50, 3, {1, 1, 1, 1}, {50.0 / 3, 50.0 / 3, 50.0 / 3}},  // 4 of 3 units
      {10, 3, {2, 2, 1}, {20.0 / 3, 10.0 / 3}},               // crossing step clamped
      {30, 3, {1, -2, -0.5, std::nan("")}, {10}},             // nothing taken back
  };
  for (const auto& [ticks, units, work, passed] : kCases) {
    SCOPED_TRACE(::testing::Message() << ticks << " ticks over " << units << " units");
    RecordingMonitor parent;
    SubProgressMonitor sub(&parent, ticks);
    sub.BeginTask(L"Task", units);
    for (double step : work) sub.InternalWorked(step);
    ASSERT_EQ(parent.steps.size(), passed.size());
    for (size_t i = 0; i < passed.size(); ++i) EXPECT_DOUBLE_EQ(parent.steps[i], passed[i]);
    sub.Done();
    sub.Done();  // a second Done, and work after it, add nothing
    sub.Worked(1);
    double total = 0;
    for (double step : parent.steps) total += step;
    EXPECT_DOUBLE_EQ(total, ticks);
  }
}

TEST(ProgressImplTest, StatusTextsReachTrayAndLogAndStopRequestsReachEveryMonitor) {
  InProcessTrayChannel tray;
  ProgressImpl progress(&tray);
  {
    CapturedLog log(Logger::PROGRESS);
    progress.BeginTask(L"Synchronizing events", 100);  // only stores the name
    progress.Worked(41);
    progress.InternalWorked(0.9);
    progress.SubTask(FormatProgressItem(12, 80));
    progress.SetTaskName(L"Analyzing events");
    progress.SubTask(L"");
    EXPECT_EQ(log.Text(),
              "Progress: 41%\nAction: Synchronizing events\nItem 12 out of 80\n"
              "Analyzing events\n"
              "Progress: 41%\nAction: Analyzing events\n");
    std::wstring shown;  // the tray gets the same texts
    for (const std::wstring& text : tray.StatusHistory()) shown += text + L"\n";
    EXPECT_EQ(WideToUtf8(shown), log.Text());
  }
  CapturedLog above(Logger::INFO);
  progress.SetTaskName(L"Quiet");
  progress.SubTask(L"x");
  EXPECT_EQ(above.Text(), "");
  // The shown percent is truncated and kept within 0 to 100.
  for (const auto& [work, shown] : {std::pair{58.099, L"99"},
                                    {50.0, L"100"},
                                    {1e300, L"100"},
                                    {-1e301, L"0"},
                                    {std::nan(""), L"0"}}) {
    progress.InternalWorked(work);
    progress.SubTask(L"");
    EXPECT_EQ(tray.LastStatus(), L"Progress: " + std::wstring(shown) + L"%\nAction: Quiet");
  }
  // The stop request reaches nested monitors, and nothing clears it.
  SubProgressMonitor loading(&progress, 30);
  SubProgressMonitor calendar(&loading, 50);
  EXPECT_FALSE(calendar.IsCanceled());
  tray.RequestStop();
  calendar.SetCanceled(false);
  EXPECT_TRUE(calendar.IsCanceled());
  // Steps that add up to a whole percent show it, rounding errors and all; Done passes the
  // rest of the share and, after items, shows the end.
  ProgressImpl run(&tray);
  SubProgressMonitor pass(&run, 99);
  pass.BeginTask(L"Pass", 0);
  for (int i = 0; i < 10; ++i) run.InternalWorked(0.1);
  pass.SubTask(L"1 out of 1");
  EXPECT_EQ(tray.LastStatus(), L"Progress: 1%\nAction: Pass\nItem 1 out of 1");
  pass.Done();
  EXPECT_EQ(tray.LastStatus(), L"Progress: 100%\nAction: Pass");
  ProgressImpl without_tray(nullptr);  // shows nothing, and is never stopped
  without_tray.SubTask(L"x");
  EXPECT_FALSE(without_tray.IsCanceled());
}

}  // namespace
}  // namespace calendar_mirrow_addin
