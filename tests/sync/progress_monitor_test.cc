#include "sync/progress_monitor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "base/text.h"
#include "sync/tray_channel.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

using calendar_mirrow_addin::testing::CapturedLog;

// A parent that records what a sub-monitor hands it.
class RecordingMonitor : public NullProgressMonitor {
 public:
  void InternalWorked(double work) override {
    steps.push_back(work);
    total += work;
  }

  double total = 0.0;
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
    EXPECT_DOUBLE_EQ(parent.total, ticks);
    sub.Done();  // a second Done, and work after it, add nothing
    sub.Worked(1);
    EXPECT_DOUBLE_EQ(parent.total, ticks);
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
  for (const auto& [work, shown] :
       {std::pair{58.099, L"99"}, {1e300, L"100"}, {-1e301, L"0"}, {std::nan(""), L"0"}}) {
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
  ProgressImpl without_tray(nullptr);  // shows nothing, and is never stopped
  without_tray.SubTask(L"x");
  EXPECT_FALSE(without_tray.IsCanceled());
}

// A sync run as the engine drives it: 30 ticks of loading split 50/50 between the two
// calendars, 70 ticks for the pass, one unit per event.
TEST(ProgressImplTest, FullRunEndsAtExactlyOneHundredPercent) {
  const int kSizes[][2] = {{0, 0}, {1, 0}, {0, 3}, {7, 13}, {18, 97}, {49, 51}, {333, 777}};
  for (const auto& [left, right] : kSizes) {
    SCOPED_TRACE(::testing::Message() << left << "/" << right);
    InProcessTrayChannel tray;
    ProgressImpl progress(&tray);
    SubProgressMonitor loading(&progress, 30);
    loading.BeginTask(L"Loading", 100);
    for (int count : {left, right}) {
      SubProgressMonitor calendar(&loading, 50);
      calendar.BeginTask(L"Loading calendar", count);
      for (int i = 0; i < count; ++i) calendar.Worked(1);
      calendar.Done();
    }
    loading.Done();
    EXPECT_NEAR(progress.percent(), 30.0, 1e-9);
    SubProgressMonitor pass(&progress, 70);
    pass.BeginTask(L"Synchronizing events", left + right);
    for (int i = 1; i <= left + right; ++i) {
      pass.Worked(1);
      pass.SubTask(FormatProgressItem(i, left + right));
    }
    pass.Done();
    EXPECT_NEAR(progress.percent(), 100.0, 1e-9);
    // The pass's name came up through its monitor; Done shows the end only after items.
    EXPECT_EQ(tray.LastStatus(), left + right ? L"Progress: 100%\nAction: Synchronizing events"
                                              : L"Synchronizing events");
  }
}

}  // namespace
}  // namespace calendar_mirrow_addin
