#include "sync/progress_monitor.h"

#include <cmath>

#include "base/logger.h"
#include "base/text.h"
#include "sync/tray_channel.h"

namespace calendar_mirrow_addin {

namespace {

// Shares of the parent that are off by no more than this are treated as reached. The
// sub-monitors hand their share on in fractional steps, so the parent's sum can land a
// rounding error below a whole percent (99.99999999999999 at the end of a run), which
// plain truncation would show as one percent too little.
constexpr double kRoundingSlack = 1e-9;

// The whole percent shown to the user: truncated, and kept within 0 to 100 so that a
// caller reporting too much (or a value that is not a number) neither shows a
// meaningless share nor reaches the undefined conversion of an out-of-range double.
int64_t ShownPercent(double percent) {
  if (!(percent > 0.0)) return 0;  // also not-a-number
  if (percent >= 100.0) return 100;
  return static_cast<int64_t>(std::trunc(percent + kRoundingSlack));
}

}  // namespace

std::wstring FormatProgressItem(int64_t done, int64_t total) {
  return DecimalText(done) + L" out of " + DecimalText(total);
}

ProgressImpl::ProgressImpl(TrayChannel* tray) : tray_(tray) {}

void ProgressImpl::BeginTask(const std::wstring& name, int /*total_work*/) {
  // The caller's units are already percent of the whole run, so the total says nothing.
  task_name_ = name;
}

bool ProgressImpl::IsCanceled() { return tray_ != nullptr && tray_->IsStopRequested(); }

void ProgressImpl::SetTaskName(const std::wstring& name) {
  if (tray_ != nullptr) tray_->SetTrayStatus(name);
  Log(Logger::PROGRESS, name);
  task_name_ = name;
}

void ProgressImpl::SubTask(const std::wstring& item) {
  std::wstring text =
      L"Progress: " + DecimalText(ShownPercent(percent_)) + L"%" + L"\nAction: " + task_name_;
  if (!item.empty()) text += L"\nItem " + item;
  if (tray_ != nullptr) tray_->SetTrayStatus(text);
  Log(Logger::PROGRESS, text);
}

SubProgressMonitor::SubProgressMonitor(IProgressMonitor* parent, int parent_ticks)
    : parent_(parent), parent_ticks_(parent_ticks) {}

void SubProgressMonitor::BeginTask(const std::wstring& name, int total_work) {
  scale_ = total_work > 0 ? static_cast<double>(parent_ticks_) / total_work : 0.0;
  parent_->SetTaskName(name);
}

void SubProgressMonitor::InternalWorked(double work) {
  // Negative (or not-a-number) work would take back units the parent already counted.
  if (used_up_ || !(work > 0.0)) return;
  const double remaining = parent_ticks_ - sent_to_parent_;
  if (remaining <= 0.0) {
    used_up_ = true;
    return;
  }
  const double real = scale_ * work;
  if (!(real > 0.0)) return;  // a task of no units passes everything on Done()
  if (real >= remaining) {
    // The step that reaches the share passes only what is left of it, so the parent
    // never receives more than parent_ticks in total.
    parent_->InternalWorked(remaining);
    sent_to_parent_ = parent_ticks_;
    used_up_ = true;
    return;
  }
  parent_->InternalWorked(real);
  sent_to_parent_ += real;
}

void SubProgressMonitor::Done() {
  const double remaining = parent_ticks_ - sent_to_parent_;
  if (remaining > 0.0) parent_->InternalWorked(remaining);
  if (has_sub_task_) SubTask(L"");
  sent_to_parent_ = parent_ticks_;
  used_up_ = true;
}

void SubProgressMonitor::SubTask(const std::wstring& item) {
  has_sub_task_ = true;
  parent_->SubTask(item);
}

}  // namespace calendar_mirrow_addin
