#pragma once

// The least automation runtime the COM shapes need: counted strings, VARIANT lifetime and
// conversion to text, and the automation date conversions. On Windows the system supplies
// them; elsewhere platform/posix/oleaut.cc does.

#include "platform/com/dispatch.h"

#ifdef _WIN32
#include <oleauto.h>
#else

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;  // 0 = Sunday
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};
using LPSYSTEMTIME = SYSTEMTIME*;

// Flags of VariantChangeType.
inline constexpr USHORT VARIANT_NOVALUEPROP = 0x01;
inline constexpr USHORT VARIANT_ALPHABOOL = 0x02;
inline constexpr USHORT VARIANT_NOUSEROVERRIDE = 0x04;
inline constexpr USHORT VARIANT_LOCALBOOL = 0x10;

// A new string holding the text up to its terminating zero; null for a null text or when
// memory runs out.
BSTR SysAllocString(const OLECHAR* text);
// A new string of `length` characters copied from `text` (zeros included), or zero-filled
// when `text` is null; null when memory runs out or the length cannot be held.
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
void SysFreeString(BSTR text);
// The length in characters (embedded zeros counted); 0 for null.
UINT SysStringLen(BSTR text);
UINT SysStringByteLen(BSTR text);

void VariantInit(VARIANTARG* value);
// Frees a held string, releases a held object, and leaves VT_EMPTY. DISP_E_BADVARTYPE for a
// type this runtime cannot own (arrays, records), which is left untouched.
HRESULT VariantClear(VARIANTARG* value);
// Clears the target, then copies: a string is duplicated, an object gains a reference.
HRESULT VariantCopy(VARIANTARG* target, const VARIANTARG* source);
// Converts to the same type (a copy) or to VT_BSTR from VT_EMPTY, the integer types,
// VT_BOOL and VT_DATE; DISP_E_TYPEMISMATCH otherwise. A boolean becomes "-1" or "0", or
// "True" or "False" with VARIANT_ALPHABOOL. A date takes the default (United States) short
// form "M/D/YYYY h:mm:ss AM": the date alone at midnight, the time alone on 1899-12-30.
// The target may be the source. On failure the target is unchanged.
HRESULT VariantChangeType(VARIANTARG* target, const VARIANTARG* source, USHORT flags, VARTYPE type);

// Automation dates: days since 1899-12-30 00:00; before that day the whole part counts
// back and the fraction still counts forward (-1.25 is 1899-12-29 06:00). Both directions
// resolve to the second: a date's fraction is rounded to the nearest second, the
// milliseconds of a SYSTEMTIME are ignored. Dates outside the years 100 to 9999, invalid
// fields and non-finite values give 0 (false); success gives non-zero.
INT VariantTimeToSystemTime(DOUBLE time, LPSYSTEMTIME system_time);
INT SystemTimeToVariantTime(LPSYSTEMTIME system_time, DOUBLE* time);
#endif
