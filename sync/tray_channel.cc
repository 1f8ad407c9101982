#include "sync/tray_channel.h"

namespace calendar_mirrow_addin {

void InProcessTrayChannel::SetTrayStatus(const std::wstring& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  statuses_.push_back(text);
}

std::wstring InProcessTrayChannel::LastStatus() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return statuses_.empty() ? std::wstring() : statuses_.back();
}

std::vector<std::wstring> InProcessTrayChannel::StatusHistory() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return statuses_;
}

}  // namespace calendar_mirrow_addin
