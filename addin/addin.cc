#include "addin/addin.h"

#include <system_error>

#include "addin/addin_module.h"
#include "base/logger.h"
#include "platform/com/runtime.h"

namespace calendar_mirrow_addin {

Addin* Addin::Create(AddinModule* module) { return new Addin(module); }

Addin::Addin(AddinModule* module) : module_(module) { module_->AddObject(); }

Addin::~Addin() {
  // Released without a disconnection: the thread must still end before its object goes.
  StopWorker();
  module_->RemoveObject();
}

HRESULT Addin::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch) &&
      !IsEqualIID(iid, IID__IDTExtensibility2)) {
    return E_NOINTERFACE;
  }
  *object = static_cast<_IDTExtensibility2*>(this);
  AddRef();
  return S_OK;
}

ULONG Addin::AddRef() { return ++references_; }

ULONG Addin::Release() {
  const ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

HRESULT Addin::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT Addin::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info != nullptr) *info = nullptr;
  return E_NOTIMPL;
}

HRESULT Addin::GetIDsOfNames(REFIID, LPOLESTR*, UINT name_count, LCID, DISPID* ids) {
  for (UINT i = 0; ids != nullptr && i < name_count; ++i) ids[i] = DISPID_UNKNOWN;
  return DISP_E_UNKNOWNNAME;
}

HRESULT Addin::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
  return DISP_E_MEMBERNOTFOUND;
}

HRESULT Addin::OnConnection(IDispatch* application, ext_ConnectMode connect_mode, IDispatch*,
                            SAFEARRAY** custom) {
  if (application == nullptr) return E_POINTER;
  // A second connection without a disconnection would need a second thread in the one
  // slot; the host never asks for it, and it must not take the first one down.
  if (worker_.joinable()) return E_UNEXPECTED;
  exit_event_ = module_->kernel().MakeEvent(module_->names_prefix() + "NXSYNCER_EXIT", false);
  if (!exit_event_) {
    module_->tray_link().ReportError(2001);
    return E_FAIL;
  }
  DWORD cookie = 0;
  if (FAILED(platform::RegisterInterfaceInGlobal(application, IID_IDispatch, &cookie))) {
    exit_event_.reset();
    return E_FAIL;
  }
  application->AddRef();
  application_ = ComRef<IDispatch>(application);
  try {
    worker_ = std::thread([cookie, environment = module_->MakeWorkerEnvironment()] {
      RunWorkerThread(cookie, environment);
    });
  } catch (const std::system_error&) {
    LogSevere(L"Unable to start the worker thread");
    platform::RevokeInterfaceFromGlobal(cookie);
    application_.Reset();
    exit_event_.reset();
    return E_FAIL;
  }
  if (connect_mode != ext_cm_Startup) OnStartupComplete(custom);
  return S_OK;
}

HRESULT Addin::OnDisconnection(ext_DisconnectMode remove_mode, SAFEARRAY** custom) {
  if (remove_mode != ext_dm_HostShutdown) OnBeginShutdown(custom);
  application_.Reset();
  StopWorker();
  return S_OK;
}

void Addin::StopWorker() {
  if (exit_event_) exit_event_->Set();
  if (worker_.joinable()) worker_.join();
  exit_event_.reset();
}

HRESULT Addin::OnAddInsUpdate(SAFEARRAY**) { return S_OK; }
HRESULT Addin::OnStartupComplete(SAFEARRAY**) { return S_OK; }
HRESULT Addin::OnBeginShutdown(SAFEARRAY**) { return S_OK; }

}  // namespace calendar_mirrow_addin
