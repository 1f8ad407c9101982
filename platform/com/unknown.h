#pragma once

// The base of every COM shape: GUIDs, interface ids and IUnknown. On Windows the SDK
// supplies them; elsewhere the same members are declared in the same order, so that the
// code implementing or calling them is the same on both systems.

#include "platform/com/hresult.h"

#ifdef _WIN32
// The portable code uses std::min and std::max; keep the SDK from defining them as macros.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <objbase.h>
#include <unknwn.h>
#else
#include <cstdint>
#include <cstring>

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using ULONG = uint32_t;
using LONG = int32_t;
using USHORT = uint16_t;
using SHORT = int16_t;
using UINT = unsigned int;
using INT = int;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using SCODE = int32_t;
using LPVOID = void*;

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFGUID = const GUID&;
using LPGUID = GUID*;

inline bool IsEqualIID(REFIID a, REFIID b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool IsEqualGUID(REFGUID a, REFGUID b) { return IsEqualIID(a, b); }

inline constexpr IID IID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

class IUnknown {
 public:
  virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};
using LPUNKNOWN = IUnknown*;

// A random (version 4) GUID from the system's random source; E_FAIL when that fails.
HRESULT CoCreateGuid(GUID* guid);
#endif
