#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/com/dispatch.h"
#include "platform/http.h"

namespace calendar_mirrow_addin {

class TrayLink;

// The one sync run of a worker thread, with what the thread prepared for it.
struct SyncRequest {
  IDispatch* application = nullptr;  // borrowed for the run
  bool manual = false;               // requested by the manual event
  platform::HttpSession* session = nullptr;
  std::wstring client_identity;
};
using SyncFunction = std::function<void(const SyncRequest&)>;

// What a worker thread needs from the library that starts it.
struct WorkerEnvironment {
  std::string names_prefix;       // put before every kernel object name; empty in use
  TrayLink* tray_link = nullptr;  // error codes go here; borrowed
  std::string ca_file;            // extra certificate authorities (tests), else empty
  SyncFunction sync;              // the run; null runs nothing (but still signals done)
};

// The worker thread's body: prepares the thread (priority, COM, MAPI, the application
// from the global interface table, the client identity, the HTTP session, the exit and
// alive events), signals alive, waits for one request (automatic, manual, or exit, the
// first signalled in that order winning), runs it, signals done when a sync ran, and ends.
// Revokes `cookie` from the global interface table before it returns. Returns 0.
int RunWorkerThread(unsigned long cookie, const WorkerEnvironment& environment);

// The identity the last worker thread built (empty until one did), kept process-wide.
std::wstring ProcessClientIdentity();

}  // namespace calendar_mirrow_addin
