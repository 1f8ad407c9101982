#pragma once

// The COM shapes an in-process add-in server needs beyond IDispatch: the class factory its
// host asks for, and the extensibility interface through which the host connects and
// disconnects the add-in. On Windows the class factory comes from the SDK; the
// extensibility interface is declared here on both systems (the SDK ships it only as a
// type library), in its slot order.

#include "platform/com/dispatch.h"

#ifdef _WIN32
#define TIDEWELL_COM_CALL __stdcall
#else
#define TIDEWELL_COM_CALL

using BOOL = int;
using REFCLSID = const CLSID&;

inline constexpr IID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

class IClassFactory : public IUnknown {
 public:
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) = 0;
  virtual HRESULT LockServer(BOOL lock) = 0;

 protected:
  ~IClassFactory() = default;
};
#endif

// How the host connected the add-in (OnConnection's connect mode).
enum ext_ConnectMode {
  ext_cm_AfterStartup = 0,
  ext_cm_Startup = 1,
  ext_cm_External = 2,
  ext_cm_CommandLine = 3,
};

// Why the host disconnects it (OnDisconnection's remove mode).
enum ext_DisconnectMode {
  ext_dm_HostShutdown = 0,
  ext_dm_UserClosed = 1,
};

inline constexpr IID IID__IDTExtensibility2 = {
    0xB65AD801, 0xABAF, 0x11D0, {0xBB, 0x8B, 0x00, 0xA0, 0xC9, 0x0F, 0x27, 0x44}};

class _IDTExtensibility2 : public IDispatch {
 public:
  virtual HRESULT TIDEWELL_COM_CALL OnConnection(IDispatch* application,
                                                 ext_ConnectMode connect_mode,
                                                 IDispatch* addin_instance, SAFEARRAY** custom) = 0;
  virtual HRESULT TIDEWELL_COM_CALL OnDisconnection(ext_DisconnectMode remove_mode,
                                                    SAFEARRAY** custom) = 0;
  virtual HRESULT TIDEWELL_COM_CALL OnAddInsUpdate(SAFEARRAY** custom) = 0;
  virtual HRESULT TIDEWELL_COM_CALL OnStartupComplete(SAFEARRAY** custom) = 0;
  virtual HRESULT TIDEWELL_COM_CALL OnBeginShutdown(SAFEARRAY** custom) = 0;

 protected:
  ~_IDTExtensibility2() = default;
};
