#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace calendar_mirrow_addin {

// The two things a sync run exchanges with the tray application while it runs: the
// status text it shows, and the user's request to stop. The add-in host implements it
// over named kernel objects and shared memory.
class TrayChannel {
 public:
  virtual ~TrayChannel() = default;
  virtual void SetTrayStatus(const std::wstring& text) = 0;
  // True once the user asked the run to stop (the request stays set).
  virtual bool IsStopRequested() = 0;
};

// An in-process channel: keeps every status text and lets another thread request a stop.
class InProcessTrayChannel : public TrayChannel {
 public:
  void SetTrayStatus(const std::wstring& text) override;
  bool IsStopRequested() override { return stop_requested_.load(); }

  void RequestStop() { stop_requested_.store(true); }
  std::wstring LastStatus() const;
  std::vector<std::wstring> StatusHistory() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::wstring> statuses_;
  std::atomic<bool> stop_requested_{false};
};

}  // namespace calendar_mirrow_addin
