// `tidewell sync`: the tray application's one job on Linux. It makes sure an Outlook host
// runs (starting one when none does), connects the add-in, requests one sync, shows the
// progress and the messages the add-in leaves in its shared blocks, answers the deletion
// question, and cancels on Ctrl-C.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "addin/shared_tray_link.h"
#include "cli/arguments.h"
#include "cli/commands.h"
#include "cli/tray_objects.h"

namespace calendar_mirrow_addin::cli {

namespace {

constexpr char kUsage[] = "tidewell sync [--manual] [--yes]";
constexpr char kHelp[] =
    "Syncs the simulated Outlook calendar with the web calendar once, starting the Outlook\n"
    "host for the run when none is running. Ctrl-C cancels the run.\n"
    "  --manual  request the sync as one the user asked for (else as a scheduled one, which\n"
    "            stays silent while offline)\n"
    "  --yes     accept deleting many events without asking\n";

constexpr int32_t kStepMs = 250;  // host start and add-in connection
constexpr int32_t kLoopMs = 100;  // while the sync runs
constexpr int32_t kStartLimitMs = 60000;
constexpr size_t kMaxAnswer = 64;

class Tray {
 public:
  Tray(TrayObjects& objects, InterruptWatch& watch, bool manual, bool yes)
      : objects_(objects),
        watch_(watch),
        manual_(manual),
        yes_(yes),
        terminal_(isatty(STDOUT_FILENO) == 1) {}

  int Run() {
    pid_t host = -1;  // the host this tray started, told to quit at the end
    int status = kExitOk;
    if (!IsHeldElsewhere(*objects_.host)) status = StartHost(&host);
    if (status == kExitOk) status = Sync();
    EndLine();
    if (host > 0) {
      // A ready host quits through its event; one still starting may not listen yet.
      if (host_ready_) {
        objects_.host_quit->Set();
      } else {
        kill(host, SIGTERM);
      }
      // Left to end on its own when the user would not wait (it is in a session of its own).
      int ignored = 0;
      while (!abandoned_ && waitpid(host, &ignored, 0) < 0 && errno == EINTR) {
      }
    }
    return status;
  }

 private:
  int StartHost(pid_t* host) {
    std::error_code error;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe", error).string();
    const std::string word = "host";
    char* const argv[] = {const_cast<char*>(self.empty() ? "tidewell" : self.c_str()),
                          const_cast<char*>(word.c_str()), nullptr};
    const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd < 0) return Failure("cannot open /dev/null");
    objects_.host_ready->Reset();  // a ready left by an earlier host is not this one's
    sigset_t none;
    sigemptyset(&none);
    const pid_t child = fork();
    if (child == 0) {
      // Only async-signal-safe calls between fork and exec. Its own session, so that Ctrl-C
      // in this terminal reaches the tray alone, which then cancels the sync cleanly.
      setsid();
      dup2(null_fd, STDIN_FILENO);
      dup2(null_fd, STDOUT_FILENO);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      execv("/proc/self/exe", argv);
      _exit(127);
    }
    close(null_fd);
    if (child < 0) return Failure("the Outlook host could not start (fork failed)");
    *host = child;
    for (int32_t waited = 0;; waited += kStepMs) {
      if (objects_.host_ready->Wait(kStepMs)) {
        host_ready_ = true;
        return kExitOk;
      }
      int status = 0;
      if (waitpid(child, &status, WNOHANG) == child) {
        *host = -1;
        return Failure("the Outlook host could not start");
      }
      if (watch_.Take()) return Failure("the sync was cancelled");
      if (waited >= kStartLimitMs) return Failure("the Outlook host did not become ready");
    }
  }

  int Sync() {
    // Nothing left from an earlier run may pass for this one's.
    objects_.stop_sync->Reset();
    objects_.sync_done->Reset();
    objects_.message->Reset();
    objects_.question_asked->Reset();
    objects_.alive->Reset();
    WriteBlockText(objects_.status_mutex.get(), objects_.status_block.get(), L"");

    objects_.host_connect->Set();
    platform::NamedEvent* const starting[] = {objects_.alive.get(), objects_.message.get()};
    for (int32_t waited = 0;; waited += kStepMs) {
      const int which = platform::WaitForAny(starting, kStepMs);
      if (which == 0) break;
      if (which == 1) {  // the worker could not start: it says why
        PrintMessage();
        return kExitFailure;
      }
      if (which == -2) return Failure("cannot wait for the add-in");
      if (!IsHeldElsewhere(*objects_.host))
        return Failure("the Outlook host ended during the sync");
      if (watch_.Take()) return Failure("the sync was cancelled");
      if (waited >= kStartLimitMs) return Failure("the add-in did not get ready");
    }

    (manual_ ? objects_.sync_manual : objects_.sync_auto)->Set();
    // Messages first: one posted just before the run ends is read before its end.
    platform::NamedEvent* const running[] = {objects_.message.get(), objects_.question_asked.get(),
                                             objects_.sync_done.get()};
    bool failed = false;
    for (;;) {
      const int which = platform::WaitForAny(running, kLoopMs);
      ShowStatus();
      if (which == 0) {
        PrintMessage();
        failed = true;
      } else if (which == 1) {
        Answer();
      } else if (which == 2) {
        break;
      } else if (which == -2) {
        return Failure("cannot wait for the add-in");
      } else if (!IsHeldElsewhere(*objects_.host)) {
        EndLine();
        return Failure("the Outlook host ended during the sync");
      }
      if (watch_.Take()) Cancel();
      if (abandoned_) {
        EndLine();
        return Failure("the sync was cancelled; not waiting for it to end");
      }
    }
    if (objects_.message->Wait(0)) {
      PrintMessage();
      failed = true;
    }
    EndLine();
    // Stopped by this tray, or by the host as it was told to quit.
    if (cancelled_ || objects_.stop_sync->Wait(0)) return Failure("the sync was cancelled");
    return failed ? kExitFailure : kExitOk;
  }

  // The first interrupt asks the run to stop and waits for it; a second one leaves at once,
  // so that a host that never answers cannot keep the terminal.
  void Cancel() {
    if (cancelled_) {
      abandoned_ = true;
      return;
    }
    cancelled_ = true;
    objects_.stop_sync->Set();
    EndLine();
    std::cerr << "cancelling\u2026\n";
  }

  void ShowStatus() {
    const std::wstring status = ReadSharedText(*objects_.status_mutex, *objects_.status_block);
    if (status == last_status_) return;
    last_status_ = status;
    if (status.empty()) return;
    if (terminal_) {
      std::cout << "\r" << TerminalStatusLine(status, TerminalWidth()) << "\x1b[K" << std::flush;
      line_open_ = true;
    } else {
      std::cout << PlainStatusLine(status) << "\n" << std::flush;
    }
  }

  void EndLine() {
    if (!line_open_) return;
    std::cout << "\n" << std::flush;
    line_open_ = false;
  }

  static size_t TerminalWidth() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
  }

  void PrintMessage() {
    EndLine();
    std::cerr << RenderMessage(ReadSharedText(*objects_.message_mutex, *objects_.message_block))
              << "\n";
  }

  // The deletion question: caption and text in the question block.
  void Answer() {
    const std::wstring question =
        ReadSharedText(*objects_.question_mutex, *objects_.question_block);
    EndLine();
    std::cerr << RenderMessage(question) << "\n";
    if (yes_) {
      std::cerr << "Proceed? yes (--yes)\n";
      objects_.answer_yes->Set();
      return;
    }
    if (isatty(STDIN_FILENO) != 1) {
      objects_.answer_no->Set();
      std::cerr << "tidewell: not deleting without a terminal to ask; run again with --yes to "
                   "accept\n";
      return;
    }
    std::cerr << "Proceed? [y/N] " << std::flush;
    const bool proceed = AskTerminal();
    (proceed ? objects_.answer_yes : objects_.answer_no)->Set();
  }

  // One line from the terminal; false for anything but y or yes, for the end of input, for
  // Ctrl-C (which also cancels the run) and when the host goes away meanwhile.
  bool AskTerminal() {
    std::string line;
    for (;;) {
      pollfd fds[] = {{STDIN_FILENO, POLLIN, 0}, {watch_.fd(), POLLIN, 0}};
      const int ready = poll(fds, watch_.fd() >= 0 ? 2 : 1, kStepMs);
      if (ready < 0 && errno != EINTR) return false;
      if (ready > 0 && (fds[1].revents & POLLIN) != 0 && watch_.Take()) {
        std::cerr << "\n";
        Cancel();
        return false;
      }
      if (ready > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        char c = 0;
        if (read(STDIN_FILENO, &c, 1) != 1 || c == '\n') break;
        if (line.size() < kMaxAnswer) line.push_back(static_cast<char>(std::tolower(c)));
      } else if (ready == 0 && !IsHeldElsewhere(*objects_.host)) {
        std::cerr << "\n";
        return false;
      }
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line == "y" || line == "yes";
  }

  TrayObjects& objects_;
  InterruptWatch& watch_;
  const bool manual_;
  const bool yes_;
  const bool terminal_;
  bool line_open_ = false;
  bool cancelled_ = false;
  bool abandoned_ = false;
  bool host_ready_ = false;
  std::wstring last_status_;
};

}  // namespace

int RunSync(const std::vector<std::string>& words) {
  static const OptionSpec kOptions[] = {{"manual", false}, {"yes", false}};
  Arguments args;
  if (auto done = ParseCommand(args, words, kOptions, kUsage, kHelp)) return *done;
  if (!args.positional().empty()) return UsageError("unexpected " + args.positional()[0], kUsage);
  TrayObjects objects;
  std::string error;
  if (!objects.Open(&error)) return Failure("cannot open the shared objects: " + error);
  switch (objects.tray->Acquire(0)) {
    case platform::NamedMutex::Lock::kAcquired:
    case platform::NamedMutex::Lock::kAbandoned:
      break;
    case platform::NamedMutex::Lock::kTimeout:
      return Failure("another tidewell sync is running");
    case platform::NamedMutex::Lock::kFailed:
      return Failure("cannot take the tray mutex");
  }
  int status = kExitFailure;
  {
    InterruptWatch watch;
    status = Tray(objects, watch, args.Has("manual"), args.Has("yes")).Run();
  }
  objects.tray->Release();
  return status;
}

}  // namespace calendar_mirrow_addin::cli
