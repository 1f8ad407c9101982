// `tidewell host` and `tidewell sync`: the renderers of the add-in's texts, the host's
// deletion question, and both commands run as processes over the named objects of a test
// of their own.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "addin/shared_tray_link.h"
#include "cli/tray_objects.h"
#include "sim/outlook/store.h"
#include "tests/platform/env_guard.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin::testing {
namespace {

using cli::TrayObjects;
using platform::MessageBoxAnswer;
using platform::MessageBoxButtons;
using platform::NamedMutex;

constexpr int32_t kLongWait = 30000;  // only ever reached when something is broken

TEST(TrayRenderTest, StatusLines) {
  struct Case {
    std::wstring status;
    std::string plain;
    std::string terminal;  // at 80 columns
  };
  const Case cases[] = {
      {L"Progress: 42%\nAction: Analyzing events\nItem 3 out of 10",
       "42% Analyzing events (item 3 out of 10)",
       "[########------------]  42% Analyzing events (item 3 out of 10)"},
      {L"Progress: 100%\nAction: Synchronizing Calendars", "100% Synchronizing Calendars",
       "[####################] 100% Synchronizing Calendars"},
      {L"Logging into Nexora Calendar", "Logging into Nexora Calendar",
       "Logging into Nexora Calendar"},
      // Not a progress text: shown whole, on one line, unable to drive the terminal.
      {L"Progress: 4x%\nAction: A\x1b[2J", "Progress: 4x%?Action: A?[2J",
       "Progress: 4x%?Action: A?[2J"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(cli::PlainStatusLine(c.status), c.plain);
    EXPECT_EQ(cli::TerminalStatusLine(c.status, 80), c.terminal);
  }

  struct Percent {
    std::wstring line;
    std::optional<int> percent;
  };
  const Percent percents[] = {
      {L"Progress: 7%", 7},
      {L"Progress: 250%", 100},
      {L"Progress: 99999999999999999999%", 100},
      {L"Progress: %", std::nullopt},
      {L"Progress: -1%", std::nullopt},
      {L"Progress:7%", std::nullopt},
      {L"Progress: 7", std::nullopt},
  };
  for (const Percent& p : percents) EXPECT_EQ(cli::ParsePercent(p.line), p.percent);

  // A very long item (in characters of several bytes) stays within the width, whole
  // characters only.
  const std::wstring long_status =
      L"Progress: 5%\nAction: Analyzing events\nItem " + std::wstring(300, L'\u00e9');
  const std::string line = cli::TerminalStatusLine(long_status, 60);
  EXPECT_EQ(Utf8ToWide(line).size(), 59u);
  EXPECT_TRUE(line.starts_with("[#-------------------]   5% Analyzing events (item \u00e9"));
  EXPECT_TRUE(line.ends_with("\u00e9\u2026"));
  EXPECT_EQ(cli::TerminalStatusLine(long_status, 1), "");
}

TEST(TrayRenderTest, Messages) {
  struct Case {
    std::wstring text;
    std::string shown;
  };
  const Case cases[] = {
      {L"Please login into <a>Nexora Calendar</a> at least once.|https://help.nexora.example/in",
       "Please login into Nexora Calendar (https://help.nexora.example/in) at least once."},
      {L"Out of memory. Please try syncing again.", "Out of memory. Please try syncing again."},
      {L"a|b with no link", "a|b with no link"},
      {L"<a>Help</a>|", "Help"},
      {L"bell\a here\nnext line", "bell? here\nnext line"},
  };
  for (const Case& c : cases) EXPECT_EQ(cli::RenderMessage(c.text), c.shown);
}

// The named objects of this test alone, as the commands it starts open them.
class TrayObjectsTest : public ::testing::Test {
 protected:
  TrayObjectsTest()
      : prefix_env_("TIDEWELL_NAMES_PREFIX", prefix_.c_str()),
        home_env_("HOME", home_.path().c_str()),
        data_env_("XDG_DATA_HOME", (home_.path() / "data").c_str()),
        config_env_("XDG_CONFIG_HOME", (home_.path() / "config").c_str()),
        store_env_("TIDEWELL_OUTLOOK_STORE", store_path().c_str()) {
    std::string error;
    EXPECT_TRUE(objects_.Open(&error)) << error;
  }

  std::filesystem::path store_path() const { return home_.path() / "outlook.sqlite"; }
  std::wstring Text(NamedMutex& mutex, platform::SharedBlock& block) {
    return cli::ReadSharedText(mutex, block);
  }

  TempDir home_;
  std::string prefix_ = "tt" + std::to_string(getpid()) + "_" + std::to_string(++counter_) + "_";
  EnvGuard prefix_env_, home_env_, data_env_, config_env_, store_env_;
  TrayObjects objects_;
  static inline std::atomic<int> counter_{0};
};

TEST_F(TrayObjectsTest, HostAsksTheTrayAndFallsBackToNo) {
  std::atomic<bool> quitting{false};
  const cli::QuestionLink link{objects_.question_mutex.get(),
                               objects_.question_block.get(),
                               objects_.question_asked.get(),
                               objects_.answer_yes.get(),
                               objects_.answer_no.get(),
                               objects_.tray.get(),
                               &quitting,
                               50};
  enum class Tray { kNone, kYes, kNo, kLeaves };
  struct Case {
    MessageBoxButtons buttons;
    Tray tray;
    bool stale_yes;  // an answer left from an earlier question
    bool quitting;
    MessageBoxAnswer expected;
  };
  const Case cases[] = {
      {MessageBoxButtons::kOk, Tray::kYes, false, false, MessageBoxAnswer::kOk},
      {MessageBoxButtons::kYesNo, Tray::kNone, true, false, MessageBoxAnswer::kNo},
      {MessageBoxButtons::kYesNo, Tray::kYes, false, false, MessageBoxAnswer::kYes},
      {MessageBoxButtons::kYesNo, Tray::kNo, true, false, MessageBoxAnswer::kNo},
      {MessageBoxButtons::kYesNo, Tray::kLeaves, true, false, MessageBoxAnswer::kNo},
      {MessageBoxButtons::kYesNo, Tray::kYes, false, true, MessageBoxAnswer::kNo},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(&c - cases));
    quitting = c.quitting;
    objects_.question_asked->Reset();
    if (c.stale_yes) objects_.answer_yes->Set();
    const bool asked =
        c.buttons == MessageBoxButtons::kYesNo && c.tray != Tray::kNone && !c.quitting;
    // The tray, on a thread of its own (the mutex counts one holder per thread).
    std::atomic<bool> held{false};
    std::wstring seen;
    std::thread tray;
    if (c.tray != Tray::kNone) {
      tray = std::thread([&] {
        EXPECT_EQ(objects_.tray->Acquire(kLongWait), NamedMutex::Lock::kAcquired);
        held = true;
        held.notify_one();
        if (objects_.question_asked->Wait(asked ? kLongWait : 0)) {
          seen = Text(*objects_.question_mutex, *objects_.question_block);
          if (c.tray == Tray::kYes) objects_.answer_yes->Set();
          if (c.tray == Tray::kNo) objects_.answer_no->Set();
        }
        objects_.tray->Release();
      });
      held.wait(false);
    }
    EXPECT_EQ(cli::AskTray(link, L"Delete 11 events?", L"Tidewell: Warning", c.buttons),
              c.expected);
    if (tray.joinable()) tray.join();
    EXPECT_EQ(seen, asked ? L"Tidewell: Warning\nDelete 11 events?" : L"");
    EXPECT_FALSE(objects_.question_asked->Wait(0));  // no question is left behind
  }
}

// `tidewell` as a child process with this test's environment.
class TrayProcessTest : public TrayObjectsTest {
 protected:
  static std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& words) {
    std::vector<std::string> argv{TIDEWELL_EXE};
    argv.insert(argv.end(), words.begin(), words.end());
    return std::make_unique<ChildProcess>(argv, EnvironmentWith({}), "");
  }
  // Waits (bounded) for the child to end; one that hangs is killed (status -1).
  static Outcome Finish(const std::unique_ptr<ChildProcess>& child) {
    return child->Finish(2 * kLongWait / 1000);
  }
  static Outcome Run(const std::vector<std::string>& words) { return Finish(Start(words)); }

  // Takes a mutex and gives it back: true when no live process held it.
  static bool Free(NamedMutex& mutex) {
    if (mutex.Acquire(0) != NamedMutex::Lock::kAcquired) return false;
    mutex.Release();
    return true;
  }
};

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(TrayProcessTest, HostRunsOnceAndStopLeavesNothingHeld) {
  const auto host = Start({"host"});
  ASSERT_TRUE(objects_.host_ready->Wait(kLongWait));
  const Outcome second = Run({"host"});
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.err, "tidewell: another tidewell host is already running\n");
  EXPECT_EQ(Run({"host", "--stop"}).status, 0);
  const Outcome first = Finish(host);
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_TRUE(Has(first.err, "tidewell host: ready (pid " + std::to_string(host->pid()) + ")"));

  // Ended in order: its mutex released (not abandoned), the store closed, no object of
  // its own left once this test lets go of its handles.
  EXPECT_TRUE(Free(*objects_.host));
  std::string error;
  EXPECT_NE(sim::Store::Open(store_path().string(), &error), nullptr) << error;
  const Outcome again = Run({"host", "--stop"});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.err, "tidewell: no tidewell host is running\n");
  objects_ = TrayObjects();
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
    EXPECT_FALSE(Has(entry.path().filename().string(), prefix_)) << entry.path();
  }
}

TEST_F(TrayProcessTest, HostWhoseLibraryFailsToLoadShowsTheAddinsMessage) {
  // The logs folder cannot be made: the library's logger cannot start (2013).
  std::filesystem::create_directories(home_.path() / "data/Nexora/Tidewell");
  WriteFileText(home_.path() / "data/Nexora/Tidewell/logs", "not a folder");
  const Outcome host = Run({"host"});
  EXPECT_EQ(host.status, 1);
  EXPECT_TRUE(Has(host.err, "Error code: 2013. Please see our Help Center (https://")) << host.err;
  EXPECT_TRUE(
      host.err.ends_with("\ntidewell: the add-in library did not load "
                         "(DllGetClassObject: 0x80004005)\n"))
      << host.err;
  EXPECT_TRUE(Free(*objects_.host));
}

// This test plays the host (holding its mutex and answering its events), so that the
// tray's side of every exchange is seen exactly.
TEST_F(TrayProcessTest, TrayDrivesTheHostAndAnswersItsQuestion) {
  struct Case {
    std::vector<std::string> words;
    bool manual;
    bool yes;
    std::wstring message;  // posted before the run ends, when not empty
    int status;
    std::string in_err;
  };
  const Case cases[] = {
      {{"sync", "--yes"}, false, true, L"", 0, "Proceed? yes (--yes)"},
      {{"sync", "--manual"},
       true,
       false,
       L"",
       0,
       "tidewell: not deleting without a terminal to ask; run again with --yes to accept\n"},
      {{"sync"},
       false,
       false,
       L"Please login into <a>Nexora Calendar</a> first.|https://help.nexora.example/in",
       1,
       "\nPlease login into Nexora Calendar (https://help.nexora.example/in) first.\n"},
  };
  ASSERT_EQ(objects_.host->Acquire(0), NamedMutex::Lock::kAcquired);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words.back());
    const auto tray = Start(c.words);
    ASSERT_TRUE(objects_.host_connect->Wait(kLongWait));
    objects_.alive->Set();
    ASSERT_TRUE((c.manual ? objects_.sync_manual : objects_.sync_auto)->Wait(kLongWait));
    EXPECT_FALSE((c.manual ? objects_.sync_auto : objects_.sync_manual)->Wait(0));
    WriteBlockText(objects_.status_mutex.get(), objects_.status_block.get(),
                   L"Progress: 42%\nAction: Analyzing events\nItem 3 out of 10");
    WriteBlockText(objects_.question_mutex.get(), objects_.question_block.get(),
                   L"Tidewell: Warning\nThis will delete 11 events from your Outlook calendar.");
    objects_.question_asked->Set();
    platform::NamedEvent* const answers[] = {objects_.answer_no.get(), objects_.answer_yes.get()};
    EXPECT_EQ(platform::WaitForAny(answers, kLongWait), c.yes ? 1 : 0);
    if (!c.message.empty()) {
      WriteBlockText(objects_.message_mutex.get(), objects_.message_block.get(), c.message);
      objects_.message->Set();
    }
    objects_.sync_done->Set();
    const Outcome outcome = Finish(tray);
    EXPECT_EQ(outcome.status, c.status) << outcome.err;
    EXPECT_EQ(outcome.out, "42% Analyzing events (item 3 out of 10)\n");
    EXPECT_TRUE(Has(outcome.err, "Tidewell: Warning\nThis will delete 11 events")) << outcome.err;
    EXPECT_TRUE(Has(outcome.err, c.in_err)) << outcome.err;
    EXPECT_TRUE(Free(*objects_.tray));
  }
  objects_.host->Release();
}

// Ctrl-C asks the run to stop and waits for its end; a second one leaves without it.
TEST_F(TrayProcessTest, InterruptCancelsAndASecondOneLeaves) {
  ASSERT_EQ(objects_.host->Acquire(0), NamedMutex::Lock::kAcquired);
  for (const bool twice : {false, true}) {
    SCOPED_TRACE(twice);
    const auto tray = Start({"sync"});
    ASSERT_TRUE(objects_.host_connect->Wait(kLongWait));
    objects_.alive->Set();
    ASSERT_TRUE(objects_.sync_auto->Wait(kLongWait));
    kill(tray->pid(), SIGINT);
    EXPECT_TRUE(objects_.stop_sync->Wait(kLongWait));
    twice ? kill(tray->pid(), SIGINT) : objects_.sync_done->Set();
    const Outcome outcome = Finish(tray);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_TRUE(Has(outcome.err, "cancelling\u2026\ntidewell: the sync was cancelled"))
        << outcome.err;
    EXPECT_EQ(Has(outcome.err, "not waiting for it to end"), twice) << outcome.err;
  }
  objects_.host->Release();
}

// The real host, started by the tray and told to quit by it. The service is a closed port
// on this machine and no account is stored: the library's notice about the empty e-mail
// reaches the terminal through the host, the run's failure through the message block.
TEST_F(TrayProcessTest, SyncStartsTheHostAndEndsIt) {
  std::filesystem::create_directories(home_.path() / "data/Nexora/Tidewell/data_files");
  WriteFileText(home_.path() / "data/Nexora/Tidewell/data_files/settings.txt",
                "[General]\nNXCAL_SERVER=https://127.0.0.1:1\nORVIA_SERVER=https://127.0.0.1:1\n");
  const Outcome sync = Run({"sync", "--manual"});
  EXPECT_EQ(sync.status, 1);
  EXPECT_TRUE(Has(sync.err, "tidewell host: ready (pid ")) << sync.err;
  EXPECT_TRUE(Has(sync.err, "tidewell host: Error: Username and password do not match."))
      << sync.err;
  EXPECT_TRUE(Has(sync.err, "\nPlease connect to the internet to use Tidewell.\n")) << sync.err;
  EXPECT_TRUE(Free(*objects_.host));
  std::string error;
  EXPECT_NE(sim::Store::Open(store_path().string(), &error), nullptr) << error;
}

}  // namespace
}  // namespace calendar_mirrow_addin::testing
