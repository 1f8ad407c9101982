#include "addin/tray_link.h"

#include "base/string_table.h"

namespace calendar_mirrow_addin {

void TrayLink::ReportError(int code) {
  PostTrayMessage(FormatResourceString(IDS_ERROR_CODE, {std::to_wstring(code)}));
}

void InProcessTrayLink::PostTrayMessage(const std::wstring& text) {
  std::lock_guard lock(mutex_);
  messages_.push_back(text);
}

std::vector<std::wstring> InProcessTrayLink::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

}  // namespace calendar_mirrow_addin
