#pragma once

// The MAPI records, property tags, flags and memory functions the Outlook calendar uses.
// On Windows the SDK supplies them; elsewhere the same records are declared with the same
// members in the same order, and platform/posix/mapi_memory.cc provides the memory
// functions.

#include "platform/com/dispatch.h"
#include "platform/com/stream.h"

#ifdef _WIN32
#include <mapicode.h>
#include <mapidefs.h>
#include <mapitags.h>
#include <mapiutil.h>
#include <mapix.h>
#else
#include <cstddef>
#include <cstdint>

using ULONG_PTR = uintptr_t;
using LPBYTE = BYTE*;
using LPULONG = ULONG*;
using LPSTR = char*;
using LPWSTR = wchar_t*;
// The add-in is built for wide text throughout.
using LPTSTR = LPWSTR;
using CURRENCY = CY;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

// The declared length of the variable-length arrays that end several records; the real
// length is in the record and the allocation is sized with the CbNew... functions below.
inline constexpr int MAPI_DIM = 1;

// Property types: the low 16 bits of a property tag.
inline constexpr ULONG PT_UNSPECIFIED = 0x0000;
inline constexpr ULONG PT_NULL = 0x0001;
inline constexpr ULONG PT_I2 = 0x0002;
inline constexpr ULONG PT_SHORT = PT_I2;
inline constexpr ULONG PT_LONG = 0x0003;
inline constexpr ULONG PT_I4 = PT_LONG;
inline constexpr ULONG PT_FLOAT = 0x0004;
inline constexpr ULONG PT_R4 = PT_FLOAT;
inline constexpr ULONG PT_DOUBLE = 0x0005;
inline constexpr ULONG PT_R8 = PT_DOUBLE;
inline constexpr ULONG PT_CURRENCY = 0x0006;
inline constexpr ULONG PT_APPTIME = 0x0007;
inline constexpr ULONG PT_ERROR = 0x000A;
inline constexpr ULONG PT_BOOLEAN = 0x000B;
inline constexpr ULONG PT_OBJECT = 0x000D;
inline constexpr ULONG PT_I8 = 0x0014;
inline constexpr ULONG PT_LONGLONG = PT_I8;
inline constexpr ULONG PT_STRING8 = 0x001E;
inline constexpr ULONG PT_UNICODE = 0x001F;
inline constexpr ULONG PT_SYSTIME = 0x0040;
inline constexpr ULONG PT_CLSID = 0x0048;
inline constexpr ULONG PT_BINARY = 0x0102;
inline constexpr ULONG MV_FLAG = 0x1000;
inline constexpr ULONG PT_MV_LONG = MV_FLAG | PT_LONG;
inline constexpr ULONG PT_MV_UNICODE = MV_FLAG | PT_UNICODE;
inline constexpr ULONG PT_MV_BINARY = MV_FLAG | PT_BINARY;

inline constexpr ULONG PROP_TYPE_MASK = 0x0000FFFF;
inline constexpr ULONG PROP_ID_NULL = 0;
inline constexpr ULONG PROP_ID_INVALID = 0xFFFF;

inline constexpr ULONG PROP_TYPE(ULONG tag) { return tag & PROP_TYPE_MASK; }
inline constexpr ULONG PROP_ID(ULONG tag) { return tag >> 16; }
inline constexpr ULONG PROP_TAG(ULONG type, ULONG id) { return (id << 16) | type; }
inline constexpr ULONG CHANGE_PROP_TYPE(ULONG tag, ULONG type) {
  return (tag & ~PROP_TYPE_MASK) | type;
}

// Property tags.
inline constexpr ULONG PR_MESSAGE_CLASS_W = PROP_TAG(PT_UNICODE, 0x001A);
inline constexpr ULONG PR_SENDER_NAME_W = PROP_TAG(PT_UNICODE, 0x0C1A);
inline constexpr ULONG PR_SENDER_ADDRTYPE_W = PROP_TAG(PT_UNICODE, 0x0C1E);
inline constexpr ULONG PR_SENDER_EMAIL_ADDRESS_W = PROP_TAG(PT_UNICODE, 0x0C1F);
inline constexpr ULONG PR_RECIPIENT_TYPE = PROP_TAG(PT_LONG, 0x0C15);
inline constexpr ULONG PR_ENTRYID = PROP_TAG(PT_BINARY, 0x0FFF);
inline constexpr ULONG PR_DISPLAY_NAME_W = PROP_TAG(PT_UNICODE, 0x3001);
inline constexpr ULONG PR_ADDRTYPE_W = PROP_TAG(PT_UNICODE, 0x3002);
inline constexpr ULONG PR_EMAIL_ADDRESS_W = PROP_TAG(PT_UNICODE, 0x3003);
inline constexpr ULONG PR_LAST_MODIFICATION_TIME = PROP_TAG(PT_SYSTIME, 0x3008);
inline constexpr ULONG PR_ROWID = PROP_TAG(PT_LONG, 0x3000);

// Flags.
inline constexpr ULONG MAPI_UNICODE = 0x80000000;
inline constexpr ULONG MAPI_MODIFY = 0x00000001;
inline constexpr ULONG MAPI_CREATE = 0x00000002;
inline constexpr ULONG MAPI_DEFERRED_ERRORS = 0x00000008;
inline constexpr ULONG MAPI_DIALOG = 0x00000008;
inline constexpr ULONG MAPI_BEST_ACCESS = 0x00000010;
inline constexpr ULONG MAPI_ASSOCIATED = 0x00000040;
inline constexpr ULONG KEEP_OPEN_READONLY = 0x00000001;
inline constexpr ULONG KEEP_OPEN_READWRITE = 0x00000002;
inline constexpr ULONG FORCE_SAVE = 0x00000004;
inline constexpr ULONG MNID_ID = 0;
inline constexpr ULONG MNID_STRING = 1;
inline constexpr ULONG AB_NO_DIALOG = 0x00000001;
inline constexpr ULONG TBL_NOADVANCE = 0x00000001;
inline constexpr ULONG TBL_BATCH = 0x00000002;
inline constexpr ULONG MODRECIP_ADD = 0x00000002;
inline constexpr ULONG MODRECIP_MODIFY = 0x00000004;
inline constexpr ULONG MODRECIP_REMOVE = 0x00000008;
inline constexpr ULONG DELETE_HARD_DELETE = 0x00000010;
inline constexpr ULONG MAPI_TO = 1;
inline constexpr ULONG MAPI_CC = 2;
inline constexpr ULONG MAPI_BCC = 3;

// Object types returned by OpenEntry.
inline constexpr ULONG MAPI_STORE = 1;
inline constexpr ULONG MAPI_ADDRBOOK = 2;
inline constexpr ULONG MAPI_FOLDER = 3;
inline constexpr ULONG MAPI_ABCONT = 4;
inline constexpr ULONG MAPI_MESSAGE = 5;
inline constexpr ULONG MAPI_MAILUSER = 6;
inline constexpr ULONG MAPI_ATTACH = 7;
inline constexpr ULONG MAPI_DISTLIST = 8;

struct SBinary {
  ULONG cb;
  LPBYTE lpb;
};
using LPSBinary = SBinary*;

struct ENTRYID {
  BYTE abFlags[4];
  BYTE ab[MAPI_DIM];
};
using LPENTRYID = ENTRYID*;

// Multi-valued property arrays: a count and the values.
struct SShortArray {
  ULONG cValues;
  SHORT* lpi;
};
struct SLongArray {
  ULONG cValues;
  LONG* lpl;
};
struct SRealArray {
  ULONG cValues;
  FLOAT* lpflt;
};
struct SDoubleArray {
  ULONG cValues;
  double* lpdbl;
};
struct SCurrencyArray {
  ULONG cValues;
  CURRENCY* lpcur;
};
struct SAppTimeArray {
  ULONG cValues;
  double* lpat;
};
struct SDateTimeArray {
  ULONG cValues;
  FILETIME* lpft;
};
struct SBinaryArray {
  ULONG cValues;
  SBinary* lpbin;
};
using ENTRYLIST = SBinaryArray;
using LPENTRYLIST = ENTRYLIST*;
struct SLPSTRArray {
  ULONG cValues;
  LPSTR* lppszA;
};
struct SWStringArray {
  ULONG cValues;
  LPWSTR* lppszW;
};
struct SGuidArray {
  ULONG cValues;
  GUID* lpguid;
};
struct SLargeIntegerArray {
  ULONG cValues;
  LARGE_INTEGER* lpli;
};

union PV {
  short int i;
  LONG l;
  ULONG ul;
  FLOAT flt;
  double dbl;
  unsigned short int b;
  CURRENCY cur;
  double at;
  FILETIME ft;
  LPSTR lpszA;
  SBinary bin;
  LPWSTR lpszW;
  LPGUID lpguid;
  LARGE_INTEGER li;
  SShortArray MVi;
  SLongArray MVl;
  SRealArray MVflt;
  SDoubleArray MVdbl;
  SCurrencyArray MVcur;
  SAppTimeArray MVat;
  SDateTimeArray MVft;
  SBinaryArray MVbin;
  SLPSTRArray MVszA;
  SWStringArray MVszW;
  SGuidArray MVguid;
  SLargeIntegerArray MVli;
  SCODE err;
  LONG x;
};

struct SPropValue {
  ULONG ulPropTag;
  ULONG dwAlignPad;
  PV Value;
};
using LPSPropValue = SPropValue*;

struct SPropTagArray {
  ULONG cValues;
  ULONG aulPropTag[MAPI_DIM];
};
using LPSPropTagArray = SPropTagArray*;

inline constexpr size_t CbNewSPropTagArray(size_t count) {
  return offsetof(SPropTagArray, aulPropTag) + count * sizeof(ULONG);
}

// A tag array of a fixed size, for column sets written in the source.
#define SizedSPropTagArray(count, name) \
  struct _SPropTagArray_##name {        \
    ULONG cValues;                      \
    ULONG aulPropTag[count];            \
  } name

struct SPropProblem {
  ULONG ulIndex;
  ULONG ulPropTag;
  SCODE scode;
};
struct SPropProblemArray {
  ULONG cProblem;
  SPropProblem aProblem[MAPI_DIM];
};
using LPSPropProblemArray = SPropProblemArray*;

struct SRow {
  ULONG ulAdrEntryPad;
  ULONG cValues;
  LPSPropValue lpProps;
};
using LPSRow = SRow*;

struct SRowSet {
  ULONG cRows;
  SRow aRow[MAPI_DIM];
};
using LPSRowSet = SRowSet*;

inline constexpr size_t CbNewSRowSet(size_t rows) {
  return offsetof(SRowSet, aRow) + rows * sizeof(SRow);
}

struct ADRENTRY {
  ULONG ulReserved1;
  ULONG cValues;
  LPSPropValue rgPropVals;
};
using LPADRENTRY = ADRENTRY*;

struct ADRLIST {
  ULONG cEntries;
  ADRENTRY aEntries[MAPI_DIM];
};
using LPADRLIST = ADRLIST*;

inline constexpr size_t CbNewADRLIST(size_t entries) {
  return offsetof(ADRLIST, aEntries) + entries * sizeof(ADRENTRY);
}

struct MAPINAMEID {
  LPGUID lpguid;
  ULONG ulKind;  // MNID_ID or MNID_STRING
  union {
    LONG lID;
    LPWSTR lpwstrName;
  } Kind;
};
using LPMAPINAMEID = MAPINAMEID*;

struct MAPIERROR {
  ULONG ulVersion;
  LPTSTR lpszError;
  LPTSTR lpszComponent;
  ULONG ulLowLevelError;
  ULONG ulContext;
};
using LPMAPIERROR = MAPIERROR*;

// MAPI memory. A buffer from MAPIAllocateBuffer may have further buffers linked to it by
// MAPIAllocateMore; MAPIFreeBuffer of the first frees them all together. Freeing a linked
// buffer on its own does nothing (it goes with its parent).
SCODE MAPIAllocateBuffer(ULONG size, LPVOID* buffer);
SCODE MAPIAllocateMore(ULONG size, LPVOID parent, LPVOID* buffer);
ULONG MAPIFreeBuffer(LPVOID buffer);
// Frees each row's values, then the row set; likewise each entry's values, then the list.
void FreeProws(LPSRowSet rows);
void FreePadrlist(LPADRLIST list);

// The process's use of MAPI. The Linux runtime keeps no state that needs them; they exist so
// that the worker thread's start and end read the same on both systems.
HRESULT MAPIInitialize(LPVOID init);
void MAPIUninitialize();
#endif

// Tags that not every SDK header names.
#ifndef PR_SMTP_ADDRESS_W
inline constexpr ULONG PR_SMTP_ADDRESS_W = 0x39FE001F;
#endif
#ifndef PR_RECIPIENT_FLAGS
inline constexpr ULONG PR_RECIPIENT_FLAGS = 0x5FFD0003;
#endif
