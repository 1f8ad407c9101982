#include "addin/addin_module.h"

#include <utility>

#include "addin/nx_syncer.h"
#include "base/app_folders.h"
#include "base/string_table.h"
#include "base/text.h"

namespace calendar_mirrow_addin {

namespace {

struct LoadEvent {
  const char* name;
  bool manual_reset;
};
// In the order they are created.
constexpr LoadEvent kLoadEvents[] = {
    {"NXSYNCER_EVENT_SYNC_AUTO", false}, {"NXSYNCER_EVENT_SYNC_MANUAL", false},
    {"NXSYNCER_EVENT_SYNC_DONE", false}, {"NXSYNCER_EVENT_STOP_SYNC", true},
    {"NXSYNCER_EVENT_MESSAGE", false},
};
constexpr size_t kStopEvent = 3;
constexpr size_t kMessageEvent = 4;

}  // namespace

std::unique_ptr<platform::NamedEvent> KernelFactory::MakeEvent(const std::string& name,
                                                               bool manual_reset) {
  std::string error;
  return platform::NamedEvent::Create(name, manual_reset, &error);
}

std::unique_ptr<platform::NamedMutex> KernelFactory::MakeMutex(const std::string& name) {
  std::string error;
  return platform::NamedMutex::Create(name, &error);
}

std::unique_ptr<platform::SharedBlock> KernelFactory::MakeBlock(const std::string& name,
                                                                size_t size) {
  std::string error;
  return platform::SharedBlock::Create(name, size, &error);
}

AddinModule::AddinModule() : AddinModule(Options()) {}

AddinModule::AddinModule(Options options)
    : options_(std::move(options)),
      kernel_(options_.kernel != nullptr ? options_.kernel : &default_kernel_),
      tray_link_(SharedTrayLink::Objects{}),
      sync_([this](const SyncRequest& request) {
        NxSyncer(SyncEnvironment{&tray_link_, request.session, request.client_identity})
            .Sync(request.application, request.manual);
      }) {}

AddinModule::~AddinModule() {
  if (key_store_ && GetKeyStore() == key_store_.get()) SetKeyStore(nullptr);
  if (logger_ != nullptr && GetLogger() == logger_) SetLogger(std::move(previous_logger_));
}

int AddinModule::Load() {
  if (loaded_) return 0;
  // The string table is compiled into the library (base/string_table.cc) and read in
  // place, so there is nothing to enumerate that could fail.
  const std::string& prefix = options_.names_prefix;
  // A failure is posted through whatever part of the link exists by then.
  const auto fail = [this](int code) {
    UpdateTrayLink();
    tray_link_.ReportError(code);
    return code;
  };

  app_data_folder_ =
      options_.app_data_folder ? options_.app_data_folder() : ApplicationDataFolder();
  if (app_data_folder_.empty() || !EnsureFolder(app_data_folder_)) return fail(2002);
  // Existing folders are fine; a folder that cannot be made shows up where it is used
  // (the logger below, the user files later).
  EnsureFolder(app_data_folder_ + L"logs");
  EnsureFolder(app_data_folder_ + L"data_files");

  product_version_ = LoadResourceString(IDS_PRODUCT_VERSION);

  if (!(status_mutex_ = kernel_->MakeMutex(prefix + "MUTEX_TASKBAR_ICON"))) return fail(2003);
  if (!(status_block_ = kernel_->MakeBlock(prefix + "MUTEX_MMFILE_TASKBAR_ICON", kStatusBlockSize)))
    return fail(2004);
  if (!(message_mutex_ = kernel_->MakeMutex(prefix + "MUTEX_NXSYNC_MESSAGE"))) return fail(2037);
  if (!(message_block_ =
            kernel_->MakeBlock(prefix + "MUTEX_MMFILE_NXSYNC_MESSAGE", kMessageBlockSize)))
    return fail(2036);
  for (size_t i = 0; i < std::size(kLoadEvents); ++i) {
    load_events_[i] = kernel_->MakeEvent(prefix + kLoadEvents[i].name, kLoadEvents[i].manual_reset);
    if (!load_events_[i]) {
      LogSevere(L"Unable to CreateEvent " + Utf8ToWide(kLoadEvents[i].name));
      return fail(2005);
    }
  }

  key_store_ = std::make_unique<Exports::ExportsKeyStore>(app_data_folder_ +
                                                          L"data_files/user_properties.txt");
  SetKeyStore(key_store_.get());

  std::unique_ptr<Logger> logger = CreateLoadLogger(app_data_folder_);
  if (!logger) return fail(2013);
  logger_ = logger.get();
  previous_logger_ = SetLogger(std::move(logger));

  UpdateTrayLink();
  loaded_ = true;
  return 0;
}

void AddinModule::UpdateTrayLink() {
  tray_link_ = SharedTrayLink(SharedTrayLink::Objects{
      status_mutex_.get(), status_block_.get(), message_mutex_.get(), message_block_.get(),
      load_events_[kMessageEvent].get(), load_events_[kStopEvent].get()});
}

WorkerEnvironment AddinModule::MakeWorkerEnvironment() {
  return WorkerEnvironment{options_.names_prefix, &tray_link_, options_.ca_file, sync_};
}

}  // namespace calendar_mirrow_addin
