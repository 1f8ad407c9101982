#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "sync/tray_channel.h"

namespace calendar_mirrow_addin {

// Everything a sync run tells the tray application: the status text and the stop request
// of TrayChannel, and the message channel for what the user must read (error texts, which
// may carry one "<a>" link with its target after a "|").
class TrayLink : public TrayChannel {
 public:
  // Puts `text` where the tray application reads its messages and tells it so.
  virtual void PostTrayMessage(const std::wstring& text) = 0;

  // Posts the generic error message (resource string 202) with `code`.
  void ReportError(int code);
};

// A link inside one process, for tests and hosts without a tray application: keeps every
// status text and message and lets another thread request a stop.
class InProcessTrayLink : public TrayLink {
 public:
  void SetTrayStatus(const std::wstring& text) override { channel_.SetTrayStatus(text); }
  bool IsStopRequested() override { return channel_.IsStopRequested(); }
  void PostTrayMessage(const std::wstring& text) override;

  void RequestStop() { channel_.RequestStop(); }
  std::vector<std::wstring> StatusHistory() const { return channel_.StatusHistory(); }
  std::vector<std::wstring> Messages() const;

 private:
  InProcessTrayChannel channel_;
  mutable std::mutex mutex_;
  std::vector<std::wstring> messages_;
};

}  // namespace calendar_mirrow_addin
