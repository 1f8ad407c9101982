#include "cli/tray_objects.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "addin/addin_module.h"
#include "addin/shared_tray_link.h"
#include "base/text.h"

namespace calendar_mirrow_addin::cli {

namespace {

// How long a reader waits for a block's mutex: the add-in holds it only to copy a text.
constexpr int32_t kBlockWaitMs = 5000;

}  // namespace

std::string NamesPrefix() {
  const char* prefix = std::getenv("TIDEWELL_NAMES_PREFIX");
  return prefix != nullptr ? prefix : "";
}

bool TrayObjects::Open(std::string* error) {
  const std::string prefix = NamesPrefix();
  const auto mutex = [&](const char* name, std::unique_ptr<platform::NamedMutex>& out) {
    return (out = platform::NamedMutex::Create(prefix + name, error)) != nullptr;
  };
  const auto block = [&](const char* name, size_t size,
                         std::unique_ptr<platform::SharedBlock>& out) {
    return (out = platform::SharedBlock::Create(prefix + name, size, error)) != nullptr;
  };
  const auto event = [&](const char* name, bool manual,
                         std::unique_ptr<platform::NamedEvent>& out) {
    return (out = platform::NamedEvent::Create(prefix + name, manual, error)) != nullptr;
  };
  return mutex(kStatusMutexName, status_mutex) &&
         block(kStatusBlockName, kStatusBlockSize, status_block) &&
         mutex(kMessageMutexName, message_mutex) &&
         block(kMessageBlockName, kMessageBlockSize, message_block) &&
         mutex(kHostMutexName, host) && mutex(kTrayMutexName, tray) &&
         mutex(kQuestionMutexName, question_mutex) &&
         block(kQuestionBlockName, kQuestionBlockSize, question_block) &&
         event("NXSYNCER_EVENT_SYNC_AUTO", false, sync_auto) &&
         event("NXSYNCER_EVENT_SYNC_MANUAL", false, sync_manual) &&
         event("NXSYNCER_EVENT_SYNC_DONE", false, sync_done) &&
         event("NXSYNCER_EVENT_STOP_SYNC", true, stop_sync) &&
         event("NXSYNCER_EVENT_MESSAGE", false, message) &&
         event("NXSYNCER_EVENT_OL_ALIVE", false, alive) &&
         event("TIDEWELL_HOST_READY", false, host_ready) &&
         event("TIDEWELL_HOST_CONNECT", false, host_connect) &&
         event("TIDEWELL_HOST_QUIT", false, host_quit) &&
         event("TIDEWELL_QUESTION_ASKED", false, question_asked) &&
         event("TIDEWELL_ANSWER_YES", false, answer_yes) &&
         event("TIDEWELL_ANSWER_NO", false, answer_no);
}

bool IsHeldElsewhere(platform::NamedMutex& mutex) {
  switch (mutex.Acquire(0)) {
    case platform::NamedMutex::Lock::kTimeout:
      return true;
    case platform::NamedMutex::Lock::kAcquired:
    case platform::NamedMutex::Lock::kAbandoned:
      mutex.Release();
      return false;
    case platform::NamedMutex::Lock::kFailed:
      break;
  }
  return false;
}

std::wstring ReadSharedText(platform::NamedMutex& mutex, platform::SharedBlock& block) {
  const auto lock = mutex.Acquire(kBlockWaitMs);
  if (lock != platform::NamedMutex::Lock::kAcquired &&
      lock != platform::NamedMutex::Lock::kAbandoned) {
    return std::wstring();
  }
  std::wstring text = ReadBlockText(block.bytes());
  mutex.Release();
  return text;
}

platform::MessageBoxAnswer AskTray(const QuestionLink& link, const std::wstring& text,
                                   const std::wstring& caption,
                                   platform::MessageBoxButtons buttons) {
  using platform::MessageBoxAnswer;
  if (buttons == platform::MessageBoxButtons::kOk) return MessageBoxAnswer::kOk;
  if (link.mutex == nullptr || link.block == nullptr || link.asked == nullptr ||
      link.yes == nullptr || link.no == nullptr || link.tray == nullptr) {
    return MessageBoxAnswer::kNo;
  }
  const auto quitting = [&] { return link.quitting != nullptr && link.quitting->load(); };
  if (quitting() || !IsHeldElsewhere(*link.tray)) return MessageBoxAnswer::kNo;
  // An answer left from an earlier question (its tray answered after the host gave up
  // waiting) must never be taken as this question's.
  link.yes->Reset();
  link.no->Reset();
  if (!WriteBlockText(link.mutex, link.block, caption + L"\n" + text)) return MessageBoxAnswer::kNo;
  link.asked->Set();
  // No first: should both be set, the safe answer wins.
  platform::NamedEvent* const answers[] = {link.no, link.yes};
  for (;;) {
    const int which = platform::WaitForAny(answers, link.poll_ms);
    if (which == 1) return MessageBoxAnswer::kYes;
    if (which != -1 || quitting() || !IsHeldElsewhere(*link.tray)) break;
  }
  // Not asked any more: a tray that starts later must not find this question.
  link.asked->Reset();
  return MessageBoxAnswer::kNo;
}

InterruptWatch::InterruptWatch(std::function<void()> on_signal) : on_signal_(std::move(on_signal)) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  if (pipe2(pipe_, O_CLOEXEC) != 0) {
    pipe_[0] = pipe_[1] = -1;
  } else {
    fcntl(pipe_[0], F_SETFL, O_NONBLOCK);
  }
  thread_ = std::thread([this, signals] {
    for (;;) {
      int signal_number = 0;
      if (sigwait(&signals, &signal_number) != 0) continue;
      if (stopping_.load()) return;
      if (pipe_[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = write(pipe_[1], &byte, 1);
      }
      if (on_signal_) on_signal_();
    }
  });
}

InterruptWatch::~InterruptWatch() {
  stopping_.store(true);
  pthread_kill(thread_.native_handle(), SIGTERM);  // blocked everywhere: sigwait takes it
  thread_.join();
  for (int fd : pipe_) {
    if (fd >= 0) close(fd);
  }
}

bool InterruptWatch::Take() {
  bool any = false;
  char bytes[16];
  while (pipe_[0] >= 0 && read(pipe_[0], bytes, sizeof bytes) > 0) any = true;
  return any;
}

// ---- renderers ----

namespace {

// UTF-8 with every control character but the line end shown as "?": the texts come from
// another process and may carry anything, and must not drive the terminal.
std::string Printable(std::wstring_view text, bool keep_line_ends) {
  std::string out = WideToUtf8(text);
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 || byte == 0x7F) && !(keep_line_ends && c == '\n')) c = '?';
  }
  return out;
}

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

size_t CodePoints(const std::string& text) {
  return static_cast<size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return !IsContinuationByte(c); }));
}

// The first `count` code points of `text`.
std::string FirstCodePoints(const std::string& text, size_t count) {
  size_t seen = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!IsContinuationByte(text[i]) && seen++ == count) return text.substr(0, i);
  }
  return text;
}

constexpr std::wstring_view kProgressPrefix = L"Progress: ";
constexpr std::wstring_view kActionPrefix = L"Action: ";
constexpr std::wstring_view kItemPrefix = L"Item ";
constexpr size_t kBarCells = 20;

}  // namespace

std::optional<int> ParsePercent(std::wstring_view line) {
  if (!line.starts_with(kProgressPrefix) || !line.ends_with(L'%')) return std::nullopt;
  const std::wstring_view digits =
      line.substr(kProgressPrefix.size(), line.size() - kProgressPrefix.size() - 1);
  if (digits.empty()) return std::nullopt;
  int value = 0;
  for (wchar_t c : digits) {
    if (c < L'0' || c > L'9') return std::nullopt;
    value = std::min(100, value * 10 + static_cast<int>(c - L'0'));
  }
  return value;
}

StatusView ParseStatus(std::wstring_view text) {
  StatusView view;
  const size_t first_end = text.find(L'\n');
  if (first_end != std::wstring_view::npos) {
    const std::optional<int> percent = ParsePercent(text.substr(0, first_end));
    std::wstring_view rest = text.substr(first_end + 1);
    const size_t second_end = rest.find(L'\n');
    const std::wstring_view action = rest.substr(0, second_end);
    if (percent && action.starts_with(kActionPrefix)) {
      view.percent = percent;
      view.action = Printable(action.substr(kActionPrefix.size()), false);
      if (second_end != std::wstring_view::npos) {
        const std::wstring_view item = rest.substr(second_end + 1);
        view.item = Printable(
            item.starts_with(kItemPrefix) ? item.substr(kItemPrefix.size()) : item, false);
      }
      return view;
    }
  }
  view.action = Printable(text, false);  // a bare task name
  return view;
}

std::string PlainStatusLine(std::wstring_view text) {
  const StatusView view = ParseStatus(text);
  std::string line;
  if (view.percent) line = std::to_string(*view.percent) + "% ";
  line += view.action;
  if (!view.item.empty()) line += " (item " + view.item + ")";
  return line;
}

std::string TerminalStatusLine(std::wstring_view text, size_t width) {
  const StatusView view = ParseStatus(text);
  std::string line;
  if (view.percent) {
    const size_t filled = static_cast<size_t>(*view.percent) * kBarCells / 100;
    const std::string percent = std::to_string(*view.percent);
    line.append(1, '[').append(filled, '#').append(kBarCells - filled, '-').append("] ");
    line.append(3 - std::min<size_t>(3, percent.size()), ' ').append(percent).append("% ");
  }
  line += view.action;
  if (!view.item.empty()) line += " (item " + view.item + ")";
  const size_t columns = width > 1 ? width - 1 : 0;
  if (CodePoints(line) <= columns) return line;
  if (columns == 0) return std::string();
  return FirstCodePoints(line, columns - 1) + "\u2026";
}

std::string RenderMessage(std::wstring_view text) {
  std::wstring shown(text);
  const size_t bar = text.rfind(L'|');
  if (bar != std::wstring_view::npos) {
    const std::wstring_view body = text.substr(0, bar);
    const std::wstring_view address = text.substr(bar + 1);
    const size_t open = body.find(L"<a>");
    const size_t close = open == std::wstring_view::npos ? open : body.find(L"</a>", open);
    // Only a text that marks a label carries a link; a "|" elsewhere is just a character.
    if (close != std::wstring_view::npos) {
      std::wstring label(body.substr(open + 3, close - open - 3));
      if (!address.empty()) label += L" (" + std::wstring(address) + L")";
      shown = std::wstring(body.substr(0, open)) + label + std::wstring(body.substr(close + 4));
    }
  }
  return Printable(shown, true);
}

}  // namespace calendar_mirrow_addin::cli
