#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "addin/exports_key_store.h"
#include "addin/shared_tray_link.h"
#include "addin/worker_thread.h"
#include "base/logger.h"
#include "platform/kernel.h"

namespace calendar_mirrow_addin {

// Creates the named kernel objects of the library. The default creates the system's
// objects; tests replace it to make one creation fail.
class KernelFactory {
 public:
  virtual ~KernelFactory() = default;
  virtual std::unique_ptr<platform::NamedEvent> MakeEvent(const std::string& name,
                                                          bool manual_reset);
  virtual std::unique_ptr<platform::NamedMutex> MakeMutex(const std::string& name);
  virtual std::unique_ptr<platform::SharedBlock> MakeBlock(const std::string& name, size_t size);
};

// Sizes of the two shared text blocks, in bytes.
inline constexpr size_t kStatusBlockSize = 10240;
inline constexpr size_t kMessageBlockSize = 16384;

// Everything the library sets up when it is loaded and keeps until the process ends: the
// application-data folders, the named objects shared with the tray application, the key
// store, the logger and the tray link over them.
class AddinModule {
 public:
  struct Options {
    std::string names_prefix;         // put before every kernel object name; empty in use
    KernelFactory* kernel = nullptr;  // borrowed; null: the system's objects
    // The product's application-data folder (ending in a separator); null: the user's
    // local one. Empty text means it cannot be determined.
    std::function<std::wstring()> app_data_folder;
    std::string ca_file;  // extra certificate authorities for the HTTP session (tests)
  };

  AddinModule();
  explicit AddinModule(Options options);
  // Unregisters the logger and key store it registered (the library's own lives on).
  ~AddinModule();
  AddinModule(const AddinModule&) = delete;
  AddinModule& operator=(const AddinModule&) = delete;

  // The load sequence; 0, or the error code it reported to the tray application
  // (2002, 2003, 2004, 2037, 2036, 2005, 2013). Run once.
  int Load();

  SharedTrayLink& tray_link() { return tray_link_; }
  const std::wstring& app_data_folder() const { return app_data_folder_; }
  const std::wstring& product_version() const { return product_version_; }
  const std::string& names_prefix() const { return options_.names_prefix; }
  KernelFactory& kernel() { return *kernel_; }

  // What a worker thread started by an Addin of this module gets.
  WorkerEnvironment MakeWorkerEnvironment();
  // The sync run the worker threads call: NxSyncer::Sync over this module's tray link
  // unless replaced (tests observe the calls this way).
  void SetSyncFunction(SyncFunction sync) { sync_ = std::move(sync); }

  // Live COM objects and server locks, for DllCanUnloadNow.
  void AddObject() { ++objects_; }
  void RemoveObject() { --objects_; }
  void Lock() { ++locks_; }
  void Unlock() { --locks_; }
  bool CanUnload() const { return objects_.load() == 0 && locks_.load() == 0; }

 private:
  void UpdateTrayLink();

  Options options_;
  KernelFactory default_kernel_;
  KernelFactory* kernel_;
  std::wstring app_data_folder_;
  std::wstring product_version_;
  std::unique_ptr<platform::NamedMutex> status_mutex_;
  std::unique_ptr<platform::SharedBlock> status_block_;
  std::unique_ptr<platform::NamedMutex> message_mutex_;
  std::unique_ptr<platform::SharedBlock> message_block_;
  std::unique_ptr<platform::NamedEvent> load_events_[5];
  std::unique_ptr<Exports::ExportsKeyStore> key_store_;
  Logger* logger_ = nullptr;                 // registered process-wide while this lives
  std::unique_ptr<Logger> previous_logger_;  // given back when this goes
  SharedTrayLink tray_link_;
  SyncFunction sync_;
  std::atomic<long> objects_{0};
  std::atomic<long> locks_{0};
  bool loaded_ = false;
};

}  // namespace calendar_mirrow_addin
