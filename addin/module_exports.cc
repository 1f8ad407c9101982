// The four entry points of the in-process COM server, and its one class object.
//
// The load sequence runs at the first request for the class object, not when the library
// is mapped: a library constructor can neither fail the load nor tell anyone, whereas a
// failed DllGetClassObject keeps the host from creating the add-in, which is what a failed
// process attach does on Windows. Mapping the library only to register or unregister it
// then leaves no folders, kernel objects or log files behind. The sequence runs once per
// process and its outcome is kept.

#include <cstdlib>
#include <mutex>

#include "addin/addin.h"
#include "addin/addin_module.h"
#include "addin/message_box_hook.h"
#include "addin/registration.h"
#include "base/string_table.h"
#include "platform/com/addin_interfaces.h"
#include "platform/com/runtime.h"
#include "platform/ui.h"

#ifdef _WIN32
#define TIDEWELL_ENTRY STDAPI
#else
#define TIDEWELL_ENTRY extern "C" __attribute__((visibility("default"))) HRESULT
#endif

namespace calendar_mirrow_addin {

namespace {

const char* Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Lives until the process ends, like everything the load creates. Two settings come from
// the host's environment, as they have no place in the user's files: a prefix for the
// named objects (so that a test's host and tray meet only each other) and extra
// certificate authorities (the web stand-in's, which the system does not trust).
AddinModule& Module() {
  static AddinModule* module = [] {
    AddinModule::Options options;
    options.names_prefix = Environment("TIDEWELL_NAMES_PREFIX");
    options.ca_file = Environment("TIDEWELL_CA_FILE");
    return new AddinModule(std::move(options));
  }();
  return *module;
}

bool LoadOnce() {
  static std::once_flag once;
  static int result = 0;
  std::call_once(once, [] { result = Module().Load(); });
  return result == 0;
}

class AddinClassFactory final : public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) {
      return E_NOINTERFACE;
    }
    *object = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  // The one class object lives as long as the library; its references count as locks.
  ULONG AddRef() override {
    Module().Lock();
    return 2;
  }
  ULONG Release() override {
    Module().Unlock();
    return 1;
  }
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    Addin* addin = Addin::Create(&Module());
    const HRESULT hr = addin->QueryInterface(iid, object);
    addin->Release();
    return hr;
  }
  HRESULT LockServer(BOOL lock) override {
    lock ? Module().Lock() : Module().Unlock();
    return S_OK;
  }
};

AddinClassFactory class_factory;

}  // namespace

}  // namespace calendar_mirrow_addin

using calendar_mirrow_addin::LoadResourceString;
using calendar_mirrow_addin::Module;

TIDEWELL_ENTRY DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  GUID addin_class{};
  if (!calendar_mirrow_addin::ParseGuid(
          LoadResourceString(calendar_mirrow_addin::IDS_ADDIN_CLASS_ID), &addin_class) ||
      !IsEqualGUID(clsid, addin_class)) {
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  if (!calendar_mirrow_addin::LoadOnce()) return E_FAIL;
  return calendar_mirrow_addin::class_factory.QueryInterface(iid, object);
}

TIDEWELL_ENTRY DllCanUnloadNow() { return Module().CanUnload() ? S_OK : S_FALSE; }

TIDEWELL_ENTRY DllRegisterServer() {
  return calendar_mirrow_addin::RegisterServer(calendar_mirrow_addin::platform::ModulePathOf(
      reinterpret_cast<const void*>(&DllRegisterServer)));
}

TIDEWELL_ENTRY DllUnregisterServer() { return calendar_mirrow_addin::UnregisterServer(); }

#ifndef _WIN32
// The Linux host's stand-in for the system's message box (addin/message_box_hook.h).
extern "C" __attribute__((visibility("default"))) void TidewellSetMessageBoxHandler(
    TidewellMessageBoxFunction function, void* context) {
  namespace platform = calendar_mirrow_addin::platform;
  if (function == nullptr) {
    platform::SetMessageBoxHandler(nullptr);
    return;
  }
  platform::SetMessageBoxHandler([function, context](const std::wstring& text,
                                                     const std::wstring& caption,
                                                     platform::MessageBoxButtons buttons) {
    const bool question = buttons == platform::MessageBoxButtons::kYesNo;
    const int answer = function(context, text.c_str(), caption.c_str(),
                                question ? calendar_mirrow_addin::kHookButtonsYesNo
                                         : calendar_mirrow_addin::kHookButtonsOk);
    if (answer == calendar_mirrow_addin::kHookAnswerYes) return platform::MessageBoxAnswer::kYes;
    return question ? platform::MessageBoxAnswer::kNo : platform::MessageBoxAnswer::kOk;
  });
}
#endif
