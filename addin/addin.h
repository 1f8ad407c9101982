#pragma once

#include <atomic>
#include <memory>
#include <thread>

#include "outlook/com_ref.h"
#include "platform/com/addin_interfaces.h"
#include "platform/kernel.h"

namespace calendar_mirrow_addin {

class AddinModule;

// The COM object the host creates and connects: each connection starts one worker thread
// (which serves at most one sync) and each disconnection ends it.
class Addin final : public _IDTExtensibility2 {
 public:
  // Created with one reference, owned by the caller. `module` is borrowed and must have
  // been loaded.
  static Addin* Create(AddinModule* module);

  HRESULT QueryInterface(REFIID iid, void** object) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // Automation: no members of its own are exposed by name.
  HRESULT GetTypeInfoCount(UINT* count) override;
  HRESULT GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
  HRESULT GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT name_count, LCID locale,
                        DISPID* ids) override;
  HRESULT Invoke(DISPID member, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* exception, UINT* argument_error) override;

  HRESULT OnConnection(IDispatch* application, ext_ConnectMode connect_mode,
                       IDispatch* addin_instance, SAFEARRAY** custom) override;
  HRESULT OnDisconnection(ext_DisconnectMode remove_mode, SAFEARRAY** custom) override;
  HRESULT OnAddInsUpdate(SAFEARRAY** custom) override;
  HRESULT OnStartupComplete(SAFEARRAY** custom) override;
  HRESULT OnBeginShutdown(SAFEARRAY** custom) override;

 private:
  explicit Addin(AddinModule* module);
  ~Addin();
  // Sets the exit event and waits for the worker thread to end.
  void StopWorker();

  AddinModule* module_;
  std::atomic<ULONG> references_{1};
  ComRef<IDispatch> application_;
  std::thread worker_;
  std::unique_ptr<platform::NamedEvent> exit_event_;
};

}  // namespace calendar_mirrow_addin
