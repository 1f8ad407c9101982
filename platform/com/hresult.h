#pragma once

// HRESULT result codes with their Windows values: part of the COM shapes, which return
// them. On Windows the SDK supplies them; elsewhere they are declared here so that the
// code above the seam reads the same on both systems.

#include <cstdint>

#ifdef _WIN32
#include <winerror.h>
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
inline constexpr HRESULT DISP_E_EXCEPTION = MakeHResult(0x80020009u);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHResult(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHResult(0x80040111u);
inline constexpr HRESULT MAPI_E_BUSY = MakeHResult(0x8004010Bu);
inline constexpr HRESULT MAPI_E_NOT_FOUND = MakeHResult(0x8004010Fu);
inline constexpr HRESULT MAPI_E_NETWORK_ERROR = MakeHResult(0x80040115u);
inline constexpr HRESULT MAPI_W_ERRORS_RETURNED = MakeHResult(0x00040380u);

inline constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline constexpr bool FAILED(HRESULT hr) { return hr < 0; }
#endif
