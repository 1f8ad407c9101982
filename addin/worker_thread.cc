#include "addin/worker_thread.h"

#include <mutex>

#include "addin/nx_syncer.h"
#include "addin/tray_link.h"
#include "base/logger.h"
#include "base/text.h"
#include "outlook/com_ref.h"
#include "platform/com/runtime.h"
#include "platform/kernel.h"

namespace calendar_mirrow_addin {

namespace {

std::mutex identity_mutex;
std::wstring* identity = new std::wstring;  // lives as long as the process

void Report(const WorkerEnvironment& environment, int code) {
  if (environment.tray_link != nullptr) environment.tray_link->ReportError(code);
}

// Revokes the cookie and undoes the thread's start-up, however far it got.
class ThreadScope {
 public:
  explicit ThreadScope(unsigned long cookie) : cookie_(cookie) {}
  ~ThreadScope() { Finish(); }
  // Releases the application, ends MAPI and COM and revokes the cookie; once.
  void Finish() {
    application.Reset();
    if (mapi_) platform::UninitializeMapi();
    if (com_) platform::UninitializeThreadCom();
    mapi_ = com_ = false;
    if (cookie_ != 0) platform::RevokeInterfaceFromGlobal(static_cast<DWORD>(cookie_));
    cookie_ = 0;
  }
  bool StartCom() { return com_ = SUCCEEDED(platform::InitializeThreadCom()); }
  bool StartMapi() { return mapi_ = SUCCEEDED(platform::InitializeMapi()); }

  ComRef<IDispatch> application;

 private:
  unsigned long cookie_;
  bool com_ = false;
  bool mapi_ = false;
};

}  // namespace

std::wstring ProcessClientIdentity() {
  std::lock_guard<std::mutex> lock(identity_mutex);
  return *identity;
}

int RunWorkerThread(unsigned long cookie, const WorkerEnvironment& environment) {
  ThreadScope scope(cookie);
  platform::LowerCurrentThreadPriority();
  if (!scope.StartCom()) {
    Report(environment, 2007);
    return 0;
  }
  if (!scope.StartMapi()) {
    Report(environment, 2008);
    return 0;
  }
  if (FAILED(platform::GetInterfaceFromGlobal(static_cast<DWORD>(cookie), IID_IDispatch,
                                              scope.application.PutVoid())) ||
      !scope.application) {
    Report(environment, 2009);
    return 0;
  }

  std::wstring client_identity = ProcessClientIdentity();
  if (std::wstring built = ClientIdentity(scope.application.get()); !built.empty()) {
    std::lock_guard<std::mutex> lock(identity_mutex);
    *identity = built;
    client_identity = std::move(built);
  }

  std::string error;
  const std::unique_ptr<platform::HttpSession> session =
      platform::OpenHttpSession(WideToUtf8(client_identity), environment.ca_file, &error);
  if (!session) {
    LogSevere(L"Unable to open the HTTP session: " + Utf8ToWide(error));
    Report(environment, 2010);
    return 0;
  }

  const std::string& prefix = environment.names_prefix;
  const std::unique_ptr<platform::NamedEvent> exit_event =
      platform::NamedEvent::Create(prefix + "NXSYNCER_EXIT", false, &error);
  if (!exit_event) {
    LogSevere(L"Unable to CreateEvent NXSYNCER_EVENT_EXIT");
    Report(environment, 2011);
    return 0;
  }
  const std::unique_ptr<platform::NamedEvent> alive_event =
      platform::NamedEvent::Create(prefix + "NXSYNCER_EVENT_OL_ALIVE", false, &error);
  if (!alive_event) {
    LogSevere(L"Unable to CreateEvent NXSYNCER_EVENT_OL_ALIVE");
    Report(environment, 2012);
    return 0;
  }
  // The request events: the ones the library load created, opened again by name so that
  // this thread waits on handles of its own.
  const std::unique_ptr<platform::NamedEvent> auto_event =
      platform::NamedEvent::Create(prefix + "NXSYNCER_EVENT_SYNC_AUTO", false, &error);
  const std::unique_ptr<platform::NamedEvent> manual_event =
      platform::NamedEvent::Create(prefix + "NXSYNCER_EVENT_SYNC_MANUAL", false, &error);
  const std::unique_ptr<platform::NamedEvent> done_event =
      platform::NamedEvent::Create(prefix + "NXSYNCER_EVENT_SYNC_DONE", false, &error);

  alive_event->Set();

  int signalled = -2;
  if (auto_event && manual_event) {
    platform::NamedEvent* const waits[] = {auto_event.get(), manual_event.get(), exit_event.get()};
    signalled = platform::WaitForAny(waits, platform::kWaitForever);
  } else {
    // Without the request events only the exit can end the wait.
    signalled = exit_event->Wait(platform::kWaitForever) ? 2 : -2;
  }
  if (signalled < 0) LogSevere(L"Waiting for a sync request failed");
  const bool ran = signalled == 0 || signalled == 1;
  if (ran && environment.sync) {
    environment.sync(
        SyncRequest{scope.application.get(), signalled == 1, session.get(), client_identity});
  }
  scope.Finish();
  if (ran && done_event) done_event->Set();
  return 0;
}

}  // namespace calendar_mirrow_addin
