#include "sync/progress_monitor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "sync/tray_channel.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

using calendar_mirrow_addin::testing::CapturedLog;

// A parent that records what a sub-monitor hands it.
class RecordingMonitor : public IProgressMonitor {
 public:
  void BeginTask(const std::wstring& name, int) override { task_names.push_back(name); }
  void Done() override {}
  void InternalWorked(double work) override {
    steps.push_back(work);
    total += work;
  }
  bool IsCanceled() override { return canceled; }
  void SetCanceled(bool value) override { canceled = value; }
  void SetTaskName(const std::wstring& name) override { task_names.push_back(name); }
  void SubTask(const std::wstring& item) override { items.push_back(item); }
  void Worked(int work) override { InternalWorked(work); }

  double total = 0.0;
  bool canceled = false;
  std::vector<double> steps;
  std::vector<std::wstring> task_names;
  std::vector<std::wstring> items;
};

TEST(FormatProgressItemTest, WritesDoneOutOfTotal) {
  EXPECT_EQ(FormatProgressItem(5, 40), L"5 out of 40");
  EXPECT_EQ(FormatProgressItem(0, 0), L"0 out of 0");
  EXPECT_EQ(FormatProgressItem(12345678901, -3), L"12345678901 out of -3");
}

TEST(SubProgressMonitorTest, TaskOfNoUnitsPassesEverythingOnlyOnDone) {
  for (int total_work : {0, -4}) {
    RecordingMonitor parent;
    SubProgressMonitor sub(&parent, 25);
    sub.BeginTask(L"Empty", total_work);
    sub.Worked(5);
    sub.InternalWorked(2.5);
    EXPECT_EQ(parent.total, 0.0) << total_work;
    sub.Done();
    EXPECT_EQ(parent.total, 25.0) << total_work;
    EXPECT_EQ(parent.task_names, std::vector<std::wstring>{L"Empty"});
  }
}

TEST(SubProgressMonitorTest, NeverPassesMoreThanItsShare) {
  // 50 ticks over 3 units, 4 reported: the fourth unit has nothing left to pass.
  RecordingMonitor parent;
  SubProgressMonitor sub(&parent, 50);
  sub.BeginTask(L"Three", 3);
  for (int i = 0; i < 4; ++i) sub.Worked(1);
  EXPECT_DOUBLE_EQ(parent.total, 50.0);
  sub.Done();
  EXPECT_DOUBLE_EQ(parent.total, 50.0);

  // The step that crosses the share passes only what is left: 10 ticks over 3 units,
  // two steps of 2 units would be 13.3 ticks.
  RecordingMonitor crossing;
  SubProgressMonitor clamped(&crossing, 10);
  clamped.BeginTask(L"Crossing", 3);
  clamped.Worked(2);
  clamped.Worked(2);
  ASSERT_EQ(crossing.steps.size(), 2u);
  EXPECT_DOUBLE_EQ(crossing.steps[1], 10.0 / 3.0);
  EXPECT_DOUBLE_EQ(crossing.total, 10.0);
  clamped.Worked(1);
  clamped.Done();
  EXPECT_DOUBLE_EQ(crossing.total, 10.0);
}

TEST(SubProgressMonitorTest, DoneCompletesTheShareOnce) {
  RecordingMonitor parent;
  SubProgressMonitor sub(&parent, 40);
  sub.BeginTask(L"Half", 10);
  sub.Worked(5);
  EXPECT_DOUBLE_EQ(parent.total, 20.0);
  sub.Done();
  EXPECT_DOUBLE_EQ(parent.total, 40.0);
  sub.Done();
  sub.Worked(3);
  EXPECT_DOUBLE_EQ(parent.total, 40.0);
}

TEST(SubProgressMonitorTest, NegativeWorkTakesNothingBack) {
  RecordingMonitor parent;
  SubProgressMonitor sub(&parent, 30);
  sub.BeginTask(L"Back", 3);
  sub.Worked(1);
  sub.Worked(-2);
  sub.InternalWorked(-0.5);
  EXPECT_DOUBLE_EQ(parent.total, 10.0);
  for (double step : parent.steps) EXPECT_GT(step, 0.0);
  sub.Done();
  EXPECT_DOUBLE_EQ(parent.total, 30.0);
}

TEST(SubProgressMonitorTest, ForwardsNamesItemsAndClearsTheItemOnDone) {
  RecordingMonitor parent;
  {
    SubProgressMonitor quiet(&parent, 10);
    quiet.BeginTask(L"Quiet", 1);
    quiet.Done();
    EXPECT_TRUE(parent.items.empty()) << "no item was shown, so none is cleared";
  }
  SubProgressMonitor sub(&parent, 10);
  sub.BeginTask(L"Loading", 2);
  sub.SetTaskName(L"Renamed");
  sub.SubTask(L"1 out of 2");
  sub.Done();
  EXPECT_EQ(parent.task_names, (std::vector<std::wstring>{L"Quiet", L"Loading", L"Renamed"}));
  EXPECT_EQ(parent.items, (std::vector<std::wstring>{L"1 out of 2", L""}));
}

TEST(ProgressImplTest, StatusTextsReachTrayAndLog) {
  CapturedLog log(Logger::VERBOSE);
  InProcessTrayChannel tray;
  ProgressImpl progress(&tray);
  progress.BeginTask(L"Synchronizing events", 100);
  EXPECT_TRUE(tray.StatusHistory().empty()) << "BeginTask only stores the name";
  progress.Worked(41);
  progress.InternalWorked(0.9);
  progress.SubTask(FormatProgressItem(12, 80));
  progress.SetTaskName(L"Analyzing events");
  progress.SubTask(L"");

  const std::vector<std::wstring> expected = {
      L"Progress: 41%\nAction: Synchronizing events\nItem 12 out of 80",
      L"Analyzing events",
      L"Progress: 41%\nAction: Analyzing events",
  };
  EXPECT_EQ(tray.StatusHistory(), expected);
  EXPECT_EQ(tray.LastStatus(), expected.back());
  EXPECT_EQ(progress.task_name(), L"Analyzing events");
  EXPECT_EQ(log.Text(),
            "Progress: 41%\nAction: Synchronizing events\nItem 12 out of 80\n"
            "Analyzing events\n"
            "Progress: 41%\nAction: Analyzing events\n");
}

TEST(ProgressImplTest, NotLoggedAboveProgressThreshold) {
  CapturedLog log(Logger::INFO);
  InProcessTrayChannel tray;
  ProgressImpl progress(&tray);
  progress.SetTaskName(L"Loading");
  progress.SubTask(L"1 out of 2");
  EXPECT_EQ(tray.StatusHistory().size(), 2u);
  EXPECT_EQ(log.Text(), "");
}

TEST(ProgressImplTest, WithoutChannelNeverCanceledAndStillTracks) {
  CapturedLog log(Logger::VERBOSE);
  ProgressImpl progress(nullptr);
  progress.SetTaskName(L"Loading");
  progress.Worked(7);
  progress.SubTask(L"x");
  EXPECT_FALSE(progress.IsCanceled());
  EXPECT_EQ(progress.task_name(), L"Loading");
  EXPECT_DOUBLE_EQ(progress.percent(), 7.0);
  EXPECT_TRUE(log.Contains("Progress: 7%\nAction: Loading\nItem x"));
}

TEST(ProgressImplTest, ShownPercentIsTruncatedWithinZeroToHundred) {
  InProcessTrayChannel tray;
  ProgressImpl progress(&tray);
  progress.BeginTask(L"A", 0);
  const auto shown_after = [&](double work) {
    progress.InternalWorked(work);
    progress.SubTask(L"");
    return tray.LastStatus();
  };
  EXPECT_EQ(shown_after(99.999), L"Progress: 99%\nAction: A");
  EXPECT_EQ(shown_after(1e300), L"Progress: 100%\nAction: A");
  EXPECT_EQ(shown_after(-1e301), L"Progress: 0%\nAction: A");
  EXPECT_EQ(shown_after(std::nan("")), L"Progress: 0%\nAction: A");
}

TEST(ProgressImplTest, StopRequestReachesEveryNestedMonitor) {
  InProcessTrayChannel tray;
  ProgressImpl progress(&tray);
  SubProgressMonitor loading(&progress, 30);
  SubProgressMonitor calendar(&loading, 50);
  EXPECT_FALSE(calendar.IsCanceled());
  EXPECT_FALSE(progress.IsCanceled());
  tray.RequestStop();
  EXPECT_TRUE(progress.IsCanceled());
  EXPECT_TRUE(loading.IsCanceled());
  EXPECT_TRUE(calendar.IsCanceled());
  calendar.SetCanceled(false);  // nothing stores it; the request stays
  EXPECT_TRUE(calendar.IsCanceled());
}

// One sync run as the engine drives it: 30 ticks of loading split 50/50 between the two
// calendars, 70 ticks for the pass working one unit per event.
void RunSync(IProgressMonitor* root, int left, int right) {
  SubProgressMonitor loading(root, 30);
  loading.BeginTask(L"Loading", 100);
  for (int count : {left, right}) {
    SubProgressMonitor calendar(&loading, 50);
    calendar.BeginTask(L"Loading calendar", count);
    for (int i = 0; i < count; ++i) {
      calendar.Worked(1);
      calendar.SubTask(FormatProgressItem(i + 1, count));
    }
    calendar.Done();
  }
  loading.Done();
  SubProgressMonitor pass(root, 70);
  pass.BeginTask(L"Synchronizing events", left + right);
  for (int i = 0; i < left + right; ++i) {
    pass.Worked(1);
    pass.SubTask(FormatProgressItem(i + 1, left + right));
  }
  pass.Done();
}

TEST(ProgressImplTest, FullRunShowsExactlyOneHundredPercentAtTheEnd) {
  const int kSizes[][2] = {{0, 0}, {1, 0}, {0, 3}, {7, 13}, {18, 97}, {49, 51}, {333, 777}};
  for (const auto& size : kSizes) {
    InProcessTrayChannel tray;
    ProgressImpl progress(&tray);
    RunSync(&progress, size[0], size[1]);
    SCOPED_TRACE(::testing::Message() << size[0] << "/" << size[1]);
    EXPECT_NEAR(progress.percent(), 100.0, 1e-9);
    if (size[0] + size[1] > 0) {
      EXPECT_EQ(tray.LastStatus(), L"Progress: 100%\nAction: Synchronizing events");
    }
    int shown_before = 0;
    for (const std::wstring& status : tray.StatusHistory()) {
      if (status.rfind(L"Progress: ", 0) != 0) continue;
      const int shown = std::stoi(status.substr(10));
      EXPECT_GE(shown, shown_before);
      shown_before = shown;
    }
  }
}

TEST(ProgressImplTest, FullRunWithOverreportingCalendarsStaysWithinShares) {
  // A calendar that works more units than it announced must not eat into the pass's share.
  InProcessTrayChannel tray;
  ProgressImpl progress(&tray);
  SubProgressMonitor loading(&progress, 30);
  loading.BeginTask(L"Loading", 100);
  SubProgressMonitor calendar(&loading, 50);
  calendar.BeginTask(L"Loading calendar", 3);
  for (int i = 0; i < 10; ++i) calendar.Worked(2);
  EXPECT_NEAR(progress.percent(), 15.0, 1e-9);
  calendar.Done();
  loading.Done();
  EXPECT_NEAR(progress.percent(), 30.0, 1e-9);
}

TEST(InProcessTrayChannelTest, KeepsStatusesInOrderAcrossThreads) {
  InProcessTrayChannel tray;
  EXPECT_EQ(tray.LastStatus(), L"");
  EXPECT_FALSE(tray.IsStopRequested());
  constexpr int kThreads = 4;
  constexpr int kEach = 200;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&tray, t] {
      for (int i = 0; i < kEach; ++i) tray.SetTrayStatus(std::to_wstring(t * kEach + i));
    });
  }
  std::thread stopper([&tray] { tray.RequestStop(); });
  for (std::thread& writer : writers) writer.join();
  stopper.join();
  const std::vector<std::wstring> history = tray.StatusHistory();
  ASSERT_EQ(history.size(), static_cast<size_t>(kThreads * kEach));
  // Each writer's own texts stay in the order it wrote them.
  std::vector<int> last(kThreads, -1);
  for (const std::wstring& text : history) {
    const int value = std::stoi(text);
    EXPECT_GT(value, last[value / kEach]);
    last[value / kEach] = value;
  }
  EXPECT_TRUE(tray.IsStopRequested());
}

}  // namespace
}  // namespace calendar_mirrow_addin
