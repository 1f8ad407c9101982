#pragma once

// What `tidewell host` and `tidewell sync` share: the names of the kernel objects between
// them and the add-in, their opening, the deletion question's round trip, the watch for
// Ctrl-C, and the pure renderers of the texts the add-in leaves in its shared blocks.

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/kernel.h"
#include "platform/ui.h"

namespace calendar_mirrow_addin::cli {

// The add-in's own objects (created by the library load; the tray opens or creates them).
inline constexpr char kStatusMutexName[] = "MUTEX_TASKBAR_ICON";
inline constexpr char kStatusBlockName[] = "MUTEX_MMFILE_TASKBAR_ICON";
inline constexpr char kMessageMutexName[] = "MUTEX_NXSYNC_MESSAGE";
inline constexpr char kMessageBlockName[] = "MUTEX_MMFILE_NXSYNC_MESSAGE";
// The host's and the tray's.
inline constexpr char kHostMutexName[] = "TIDEWELL_HOST";
inline constexpr char kTrayMutexName[] = "TIDEWELL_TRAY";
inline constexpr char kQuestionMutexName[] = "TIDEWELL_QUESTION_MUTEX";
inline constexpr char kQuestionBlockName[] = "TIDEWELL_QUESTION";
inline constexpr size_t kQuestionBlockSize = 16384;

// Every named object of the link, opened (or created) under the prefix of
// $TIDEWELL_NAMES_PREFIX. The process holds them as long as this lives.
struct TrayObjects {
  std::unique_ptr<platform::NamedMutex> status_mutex, message_mutex, host, tray, question_mutex;
  std::unique_ptr<platform::SharedBlock> status_block, message_block, question_block;
  // The add-in's events.
  std::unique_ptr<platform::NamedEvent> sync_auto, sync_manual, sync_done, stop_sync, message,
      alive;
  // The host's and the tray's.
  std::unique_ptr<platform::NamedEvent> host_ready, host_connect, host_quit, question_asked,
      answer_yes, answer_no;

  // False with the reason when one cannot be opened.
  bool Open(std::string* error);
};

// The value of $TIDEWELL_NAMES_PREFIX, empty when unset.
std::string NamesPrefix();

// Whether some other thread or process holds `mutex` (a probe that takes nothing).
bool IsHeldElsewhere(platform::NamedMutex& mutex);

// The text of a block, read while holding its mutex (an abandoned one is taken over).
std::wstring ReadSharedText(platform::NamedMutex& mutex, platform::SharedBlock& block);

// ---- the deletion question, host side ----

struct QuestionLink {
  platform::NamedMutex* mutex = nullptr;
  platform::SharedBlock* block = nullptr;
  platform::NamedEvent* asked = nullptr;
  platform::NamedEvent* yes = nullptr;
  platform::NamedEvent* no = nullptr;
  platform::NamedMutex* tray = nullptr;         // held by a running `tidewell sync`
  const std::atomic<bool>* quitting = nullptr;  // the host is ending: stop asking
  int32_t poll_ms = 500;
};

// Asks the tray: the caption, "\n" and the text go into the question block, the asked
// event is set and the answer awaited. No (the safe answer) when no tray holds its mutex,
// when the host is ending, or when the question cannot be posted. A notice (kOk) is not
// asked: kOk.
platform::MessageBoxAnswer AskTray(const QuestionLink& link, const std::wstring& text,
                                   const std::wstring& caption,
                                   platform::MessageBoxButtons buttons);

// ---- Ctrl-C ----

// Takes SIGINT and SIGTERM off their default action and watches them on a thread of its
// own (no work in a signal handler). Construct before starting any other thread, so that
// every thread inherits the blocked signals.
class InterruptWatch {
 public:
  // `on_signal` runs on the watching thread at each signal.
  explicit InterruptWatch(std::function<void()> on_signal = {});
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  // Readable once a signal came (one byte per signal).
  int fd() const { return pipe_[0]; }
  // Whether a signal came since the last call (consumes what is pending).
  bool Take();

 private:
  int pipe_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  std::function<void()> on_signal_;
  std::thread thread_;
};

// ---- renderers of the add-in's texts ----

// The status block: "Progress: N%\nAction: A\nItem I" (the item line optional), or a bare
// task name, which comes out as the action without a percent.
struct StatusView {
  std::optional<int> percent;
  std::string action;
  std::string item;
};
// "Progress: 42%" → 42 (kept within 0 to 100); none for anything else.
std::optional<int> ParsePercent(std::wstring_view line);
StatusView ParseStatus(std::wstring_view text);
// One line per change when not on a terminal: "42% Analyzing events (item 3 out of 10)".
std::string PlainStatusLine(std::wstring_view text);
// The line redrawn on a terminal: a bar, the percent, the action and the item, cut to
// fit `width` columns less one (so that it never wraps).
std::string TerminalStatusLine(std::wstring_view text, size_t width);
// A message for the user: "<a>label</a>" with the address after the last "|" shown as
// "label (address)"; control characters but line ends shown as "?".
std::string RenderMessage(std::wstring_view text);

}  // namespace calendar_mirrow_addin::cli
