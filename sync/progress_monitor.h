#pragma once

#include <cstdint>
#include <string>

namespace calendar_mirrow_addin {

class TrayChannel;

// Progress reporting and cancellation for long operations.
class IProgressMonitor {
 public:
  virtual ~IProgressMonitor() = default;
  virtual void BeginTask(const std::wstring& name, int total_work) = 0;
  virtual void Done() = 0;
  virtual void InternalWorked(double work) = 0;
  virtual bool IsCanceled() = 0;
  virtual void SetCanceled(bool canceled) = 0;
  virtual void SetTaskName(const std::wstring& name) = 0;
  virtual void SubTask(const std::wstring& item) = 0;
  virtual void Worked(int work) = 0;
};

// "5 out of 40".
std::wstring FormatProgressItem(int64_t done, int64_t total);

// Does nothing and is never cancelled; used for the trial run.
class NullProgressMonitor : public IProgressMonitor {
 public:
  void BeginTask(const std::wstring&, int) override {}
  void Done() override {}
  void InternalWorked(double) override {}
  bool IsCanceled() override { return false; }
  void SetCanceled(bool) override {}
  void SetTaskName(const std::wstring&) override {}
  void SubTask(const std::wstring&) override {}
  void Worked(int) override {}
};

// The monitor of one sync run. Its unit is one percent of the whole run; texts go to the
// tray application's status block and the log, and the stop request comes from there.
class ProgressImpl : public IProgressMonitor {
 public:
  explicit ProgressImpl(TrayChannel* tray);  // borrowed; may be null

  void BeginTask(const std::wstring& name, int total_work) override;
  void Done() override {}
  void InternalWorked(double work) override { percent_ += work; }
  bool IsCanceled() override;
  void SetCanceled(bool) override {}
  void SetTaskName(const std::wstring& name) override;
  void SubTask(const std::wstring& item) override;
  void Worked(int work) override { InternalWorked(work); }

  double percent() const { return percent_; }
  const std::wstring& task_name() const { return task_name_; }

 private:
  TrayChannel* tray_;
  double percent_ = 0.0;
  std::wstring task_name_;
};

// Maps a sub-task of any size onto a fixed number of the parent's units; never passes
// the parent more than that share, and passes all of it on Done().
class SubProgressMonitor : public IProgressMonitor {
 public:
  SubProgressMonitor(IProgressMonitor* parent, int parent_ticks);

  void BeginTask(const std::wstring& name, int total_work) override;
  void Done() override;
  void InternalWorked(double work) override;
  bool IsCanceled() override { return parent_->IsCanceled(); }
  void SetCanceled(bool canceled) override { parent_->SetCanceled(canceled); }
  void SetTaskName(const std::wstring& name) override { parent_->SetTaskName(name); }
  void SubTask(const std::wstring& item) override;
  void Worked(int work) override { InternalWorked(work); }

 private:
  IProgressMonitor* parent_;
  int32_t parent_ticks_;
  double sent_to_parent_ = 0.0;
  double scale_ = 0.0;
  bool used_up_ = false;
  bool has_sub_task_ = false;
};

}  // namespace calendar_mirrow_addin
