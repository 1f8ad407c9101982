#pragma once

// Typed reads and calls over the automation helpers: a VARIANT that clears itself, and
// the property reads and method calls the calendar makes most, each giving its HRESULT and
// the value in the type the caller needs. A value of another type than asked for is
// DISP_E_TYPEMISMATCH, so that no caller reads a field of the wrong union member.

#include <memory>
#include <string>

#include "model/date_time.h"
#include "outlook/automation.h"
#include "outlook/com_ref.h"

namespace calendar_mirrow_addin {

// A VARIANT that is cleared when it goes.
struct Variant {
  Variant() { VariantInit(&value); }
  ~Variant() { VariantClear(&value); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  VARIANT value;
};

// The object a call returned, with a reference of its own; empty for another type.
ComRef<IDispatch> TakeDispatch(const VARIANT& value);

HRESULT GetText(IDispatch* object, const wchar_t* name, std::wstring& text);
HRESULT GetLong(IDispatch* object, const wchar_t* name, LONG& number);
HRESULT GetBool(IDispatch* object, const wchar_t* name, bool& flag);
// A VT_DATE property as VariantToDateTime reads it; E_FAIL when it gives no time.
HRESULT GetDateTime(IDispatch* object, const wchar_t* name, bool all_day,
                    std::unique_ptr<DateTime>& value);
// A VT_DATE property as the automation date itself.
HRESULT GetDate(IDispatch* object, const wchar_t* name, DATE& date);
HRESULT GetObjectProperty(IDispatch* object, const wchar_t* name, ComRef<IDispatch>& result);

// A method with at most one argument that returns an object (E_FAIL when it returns none).
HRESULT CallForObject(IDispatch* object, const wchar_t* name, VARIANT* argument,
                      ComRef<IDispatch>& result);
// Item(index) of a collection, 1-based.
HRESULT GetItem(IDispatch* collection, LONG index, ComRef<IDispatch>& item);

// Writes of one value.
HRESULT PutText(IDispatch* object, const wchar_t* name, const std::wstring& text);
HRESULT PutLong(IDispatch* object, const wchar_t* name, LONG number);
HRESULT PutBool(IDispatch* object, const wchar_t* name, bool flag);

}  // namespace calendar_mirrow_addin
