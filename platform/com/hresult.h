#pragma once

// HRESULT result codes with their Windows values: part of the COM shapes, which return
// them. On Windows the SDK supplies them; elsewhere they are declared here so that the
// code above the seam reads the same on both systems.

#include <cstdint>

#ifdef _WIN32
#include <winerror.h>
// MAPI result codes; they need SCODE (wtypes.h) where they are used.
#include <mapicode.h>
#else
using HRESULT = int32_t;

inline constexpr HRESULT MakeHResult(uint32_t value) { return static_cast<HRESULT>(value); }

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = MakeHResult(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = MakeHResult(0x80004002u);
inline constexpr HRESULT E_POINTER = MakeHResult(0x80004003u);
inline constexpr HRESULT E_ABORT = MakeHResult(0x80004004u);
inline constexpr HRESULT E_FAIL = MakeHResult(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = MakeHResult(0x8000FFFFu);
inline constexpr HRESULT E_ACCESSDENIED = MakeHResult(0x80070005u);
inline constexpr HRESULT E_HANDLE = MakeHResult(0x80070006u);
inline constexpr HRESULT E_OUTOFMEMORY = MakeHResult(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = MakeHResult(0x80070057u);
// Automation (IDispatch and VARIANT) failures.
inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = MakeHResult(0x80020001u);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = MakeHResult(0x80020003u);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = MakeHResult(0x80020004u);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = MakeHResult(0x80020005u);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = MakeHResult(0x80020006u);
inline constexpr HRESULT DISP_E_NONAMEDARGS = MakeHResult(0x80020007u);
inline constexpr HRESULT DISP_E_BADVARTYPE = MakeHResult(0x80020008u);
inline constexpr HRESULT DISP_E_EXCEPTION = MakeHResult(0x80020009u);
inline constexpr HRESULT DISP_E_OVERFLOW = MakeHResult(0x8002000Au);
inline constexpr HRESULT DISP_E_BADINDEX = MakeHResult(0x8002000Bu);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = MakeHResult(0x8002000Eu);
inline constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = MakeHResult(0x8002000Fu);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHResult(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHResult(0x80040111u);
// MAPI failures; the first five are the general codes under MAPI names.
inline constexpr HRESULT MAPI_E_CALL_FAILED = E_FAIL;
inline constexpr HRESULT MAPI_E_NOT_ENOUGH_MEMORY = E_OUTOFMEMORY;
inline constexpr HRESULT MAPI_E_INVALID_PARAMETER = E_INVALIDARG;
inline constexpr HRESULT MAPI_E_INTERFACE_NOT_SUPPORTED = E_NOINTERFACE;
inline constexpr HRESULT MAPI_E_NO_ACCESS = E_ACCESSDENIED;
inline constexpr HRESULT MAPI_E_NO_SUPPORT = MakeHResult(0x80040102u);
inline constexpr HRESULT MAPI_E_BAD_CHARWIDTH = MakeHResult(0x80040103u);
inline constexpr HRESULT MAPI_E_STRING_TOO_LONG = MakeHResult(0x80040105u);
inline constexpr HRESULT MAPI_E_UNKNOWN_FLAGS = MakeHResult(0x80040106u);
inline constexpr HRESULT MAPI_E_INVALID_ENTRYID = MakeHResult(0x80040107u);
inline constexpr HRESULT MAPI_E_INVALID_OBJECT = MakeHResult(0x80040108u);
inline constexpr HRESULT MAPI_E_OBJECT_CHANGED = MakeHResult(0x80040109u);
inline constexpr HRESULT MAPI_E_OBJECT_DELETED = MakeHResult(0x8004010Au);
inline constexpr HRESULT MAPI_E_BUSY = MakeHResult(0x8004010Bu);
inline constexpr HRESULT MAPI_E_NOT_ENOUGH_DISK = MakeHResult(0x8004010Du);
inline constexpr HRESULT MAPI_E_NOT_ENOUGH_RESOURCES = MakeHResult(0x8004010Eu);
inline constexpr HRESULT MAPI_E_NOT_FOUND = MakeHResult(0x8004010Fu);
inline constexpr HRESULT MAPI_E_VERSION = MakeHResult(0x80040110u);
inline constexpr HRESULT MAPI_E_LOGON_FAILED = MakeHResult(0x80040111u);
inline constexpr HRESULT MAPI_E_USER_CANCEL = MakeHResult(0x80040113u);
inline constexpr HRESULT MAPI_E_NETWORK_ERROR = MakeHResult(0x80040115u);
inline constexpr HRESULT MAPI_E_DISK_ERROR = MakeHResult(0x80040116u);
inline constexpr HRESULT MAPI_E_TOO_COMPLEX = MakeHResult(0x80040117u);
inline constexpr HRESULT MAPI_E_BAD_COLUMN = MakeHResult(0x80040118u);
inline constexpr HRESULT MAPI_E_CORRUPT_DATA = MakeHResult(0x8004011Bu);
inline constexpr HRESULT MAPI_E_NOT_INITIALIZED = MakeHResult(0x80040605u);
inline constexpr HRESULT MAPI_E_AMBIGUOUS_RECIP = MakeHResult(0x80040700u);
inline constexpr HRESULT MAPI_W_ERRORS_RETURNED = MakeHResult(0x00040380u);
inline constexpr HRESULT MAPI_W_PARTIAL_COMPLETION = MakeHResult(0x00040680u);

inline constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline constexpr bool FAILED(HRESULT hr) { return hr < 0; }
#endif
