#pragma once

// A loaded add-in module of its own for each test: the user's folders in a temporary
// folder and kernel object names no other test (or process) shares.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>

#include "addin/addin_module.h"
#include "addin/shared_tray_link.h"
#include "tests/platform/env_guard.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin::testing {

// Refuses to create the kernel object whose name ends in `refused`.
class RefusingKernel : public KernelFactory {
 public:
  explicit RefusingKernel(std::string refused) : refused_(std::move(refused)) {}
  std::unique_ptr<platform::NamedEvent> MakeEvent(const std::string& name, bool manual) override {
    return Refuses(name) ? nullptr : KernelFactory::MakeEvent(name, manual);
  }
  std::unique_ptr<platform::NamedMutex> MakeMutex(const std::string& name) override {
    return Refuses(name) ? nullptr : KernelFactory::MakeMutex(name);
  }
  std::unique_ptr<platform::SharedBlock> MakeBlock(const std::string& name, size_t size) override {
    return Refuses(name) ? nullptr : KernelFactory::MakeBlock(name, size);
  }

 private:
  bool Refuses(const std::string& name) const {
    return !refused_.empty() && name.ends_with(refused_);
  }
  std::string refused_;
};

class HostFixture : public ::testing::Test {
 protected:
  HostFixture()
      : data_("XDG_DATA_HOME", (temp_.path() / "data").c_str()),
        config_("XDG_CONFIG_HOME", (temp_.path() / "config").c_str()),
        prefix_("t" + std::to_string(getpid()) + "_" + std::to_string(++counter_) + "_") {}

  // A module over the temporary folders; `refused` names an object it cannot create.
  std::unique_ptr<AddinModule> NewModule(const std::string& refused = "", bool no_folder = false) {
    kernel_ = std::make_unique<RefusingKernel>(refused);
    AddinModule::Options options;
    options.names_prefix = prefix_;
    options.kernel = kernel_.get();
    if (no_folder) options.app_data_folder = [] { return std::wstring(); };
    return std::make_unique<AddinModule>(std::move(options));
  }

  std::unique_ptr<platform::NamedEvent> Event(const std::string& name, bool manual = false) {
    std::string error;
    auto event = platform::NamedEvent::Create(prefix_ + name, manual, &error);
    EXPECT_NE(event, nullptr) << error;
    return event;
  }
  std::unique_ptr<platform::SharedBlock> Block(const std::string& name, size_t size) {
    std::string error;
    auto block = platform::SharedBlock::Create(prefix_ + name, size, &error);
    EXPECT_NE(block, nullptr) << error;
    return block;
  }
  std::wstring MessageText() {
    auto block = Block("MUTEX_MMFILE_NXSYNC_MESSAGE", kMessageBlockSize);
    return block ? ReadBlockText(block->bytes()) : L"<no block>";
  }

  TempDir temp_;
  EnvGuard data_;
  EnvGuard config_;
  std::string prefix_;
  std::unique_ptr<RefusingKernel> kernel_;
  static inline std::atomic<int> counter_{0};
};

}  // namespace calendar_mirrow_addin::testing
