#pragma once

#include <memory>
#include <string>

#include "base/hresult.h"
#include "model/date_time.h"
#include "platform/com/oleaut.h"

namespace calendar_mirrow_addin {

// Late-bound calls into the Outlook object model. Each resolves the name with
// GetIDsOfNames, invokes it, writes one log line (VERBOSE on S_OK, SEVERE on anything
// else) saying what was called with what, what came back and how it ended, and returns
// the HRESULT of the invocation (or of the name lookup). Objects are borrowed.
// A null object or result yields E_POINTER, a null name E_INVALIDARG; neither is logged.

HRESULT GetProperty(IDispatch* object, const wchar_t* name, VARIANT* result);
HRESULT PutProperty(IDispatch* object, const wchar_t* name, const VARIANT& value);
// `arguments` in IDispatch order (the last parameter first); null when `count` is 0.
// A failing method call is tried once more as a property read.
HRESULT CallMethod(IDispatch* object, const wchar_t* name, VARIANT* result, UINT count,
                   VARIANT* arguments);
HRESULT CallMethodNoArgs(IDispatch* object, const wchar_t* name);

// The status text of log lines: "S_OK" for 0; otherwise " [hr: 0x...]" in upper-case
// hexadecimal, followed for DISP_E_EXCEPTION with a record by
// " [exception <description> wCode: <n> scode: <n>]".
std::wstring DescribeHResult(HRESULT hr, const EXCEPINFO* exception = nullptr);

// Setters: each releases what the VARIANT held before. SetDispatch adds a reference.
void SetBool(VARIANT& variant, bool value);
void SetLong(VARIANT& variant, LONG value);
void SetShort(VARIANT& variant, SHORT value);
void SetDispatch(VARIANT& variant, IDispatch* value);

// A VT_DATE value read as the machine's local time (UTC afterwards), or with `all_day`
// as a plain date. Null for another type or a failed conversion.
std::unique_ptr<DateTime> VariantToDateTime(const VARIANT& variant, bool all_day);

// A VT_DATE in the zone `zone_id` ("local-tz-id", any case: the machine's zone; empty:
// UTC); a plain date keeps its date at midnight. False when the time cannot be converted.
bool DateTimeToVariant(const DateTime& value, const std::wstring& zone_id, VARIANT& variant);
// As DateTimeToVariant, at midnight of the day in that zone.
bool DateToVariant(const DateTime& value, const std::wstring& zone_id, VARIANT& variant);

// Removes every item of an Outlook collection, last first. The first failure ends it.
HRESULT RemoveAllItems(IDispatch* collection);

}  // namespace calendar_mirrow_addin
