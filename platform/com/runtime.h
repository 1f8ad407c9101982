#pragma once

// The few COM-runtime and process services the add-in host calls: the global interface
// table that hands an interface to another thread, per-thread COM and MAPI start-up, the
// worker thread's priority and the path of the loaded library. On Windows they are the
// system's calls of those names; on Linux platform/posix/com_runtime.cc gives them (there
// are no apartments, so start-up always succeeds and the table is a process-wide map).

#include <string>

#include "platform/com/unknown.h"

namespace calendar_mirrow_addin::platform {

// Registers `object` (gaining a reference) under a new non-zero cookie.
HRESULT RegisterInterfaceInGlobal(IUnknown* object, REFIID iid, DWORD* cookie);
// A new reference to the interface `iid` of the object registered under `cookie`;
// E_INVALIDARG for an unknown cookie.
HRESULT GetInterfaceFromGlobal(DWORD cookie, REFIID iid, void** object);
// Drops the registration and its reference; E_INVALIDARG for an unknown cookie.
HRESULT RevokeInterfaceFromGlobal(DWORD cookie);

// COM for the calling thread, multithreaded; each success is paired with Uninitialize.
HRESULT InitializeThreadCom();
void UninitializeThreadCom();
// MAPI for the calling thread with multithreaded notifications.
HRESULT InitializeMapi();
void UninitializeMapi();

// Puts the calling thread below normal priority; failure is ignored (it only matters for
// the responsiveness of the host).
void LowerCurrentThreadPriority();

// Path of the loaded library (or program) that holds `address`; empty when unknown.
std::string ModulePathOf(const void* address);

}  // namespace calendar_mirrow_addin::platform
