#pragma once

// The IDispatch machinery every object of the simulated object model shares: name lookup
// without regard to case, the argument rules of Invoke, the ways to refuse as Outlook does,
// and the conversion between the store's UTC file times and the object model's local
// automation dates.

#include <atomic>
#include <cmath>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/system_time.h"
#include "base/text.h"
#include "platform/com/dispatch.h"
#include "platform/com/oleaut.h"
#include "sim/outlook/com_object.h"
#include "sim/outlook/store.h"
// Declares the LocalDate calendar date before the LocalDate function below hides its name.
#include "sim/outlook/recurrence.h"

namespace calendar_mirrow_addin::sim {

inline constexpr int64_t kTicksPerMinute = 600'000'000;
inline constexpr int64_t kTicksPerDay = 1440 * kTicksPerMinute;

enum class Kind { kGet, kGetPut, kMethod };

struct Member {
  const wchar_t* name;
  Kind kind;
  UINT min_args = 0;
  UINT max_args = 0;
};

// What one invocation hands the object: positional arguments in parameter order (missing
// optional ones are null), and the ways to refuse.
class Call {
 public:
  Call(std::vector<const VARIANT*> args, EXCEPINFO* exception, UINT* argument_error)
      : args_(std::move(args)), exception_(exception), argument_error_(argument_error) {}

  const VARIANT* arg(size_t i) const { return i < args_.size() ? args_[i] : nullptr; }

  HRESULT Raise(const wchar_t* text, HRESULT scode) const {
    if (exception_ != nullptr) {
      *exception_ = EXCEPINFO{};
      exception_->bstrSource = SysAllocString(L"Outlook (simulated)");
      exception_->bstrDescription = SysAllocString(text);
      exception_->scode = scode;
    }
    return DISP_E_EXCEPTION;
  }
  HRESULT Mismatch(size_t i) const {
    // Arguments are counted from the last, as they lie in DISPPARAMS.
    if (argument_error_ != nullptr) *argument_error_ = static_cast<UINT>(args_.size() - 1 - i);
    return DISP_E_TYPEMISMATCH;
  }

  std::optional<std::wstring> Text(size_t i) const {
    const VARIANT* v = arg(i);
    if (v == nullptr) return std::nullopt;
    VARIANT text;
    VariantInit(&text);
    if (VariantChangeType(&text, v, 0, VT_BSTR) != S_OK) return std::nullopt;
    std::wstring out(text.bstrVal != nullptr ? text.bstrVal : L"", SysStringLen(text.bstrVal));
    VariantClear(&text);
    return out;
  }
  std::optional<LONG> Long(size_t i) const {
    const VARIANT* v = arg(i);
    if (v == nullptr) return std::nullopt;
    switch (v->vt) {
      case VT_I2:
        return v->iVal;
      case VT_I4:
      case VT_INT:
        return v->lVal;
      case VT_UI1:
        return v->bVal;
      case VT_UI2:
        return v->uiVal;
      case VT_BOOL:
        return v->boolVal != 0 ? -1 : 0;
      default:
        return std::nullopt;
    }
  }
  std::optional<bool> Bool(size_t i) const {
    const auto number = Long(i);
    if (!number) return std::nullopt;
    return *number != 0;
  }
  std::optional<DATE> Date(size_t i) const {
    const VARIANT* v = arg(i);
    if (v == nullptr || v->vt != VT_DATE || !std::isfinite(v->date)) return std::nullopt;
    return v->date;
  }

 private:
  std::vector<const VARIANT*> args_;
  EXCEPINFO* exception_;
  UINT* argument_error_;
};

// Reference counting, name lookup and the argument rules of Invoke for every object.
class DispatchObject : public ComObject<IDispatch> {
 public:
  HRESULT GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_INVALIDARG;
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }

  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT name_count, LCID, DISPID* ids) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (names == nullptr || ids == nullptr || name_count == 0) return E_INVALIDARG;
    // None of these members has named parameters.
    HRESULT result = name_count > 1 ? DISP_E_UNKNOWNNAME : S_OK;
    for (UINT i = 1; i < name_count; ++i) ids[i] = DISPID_UNKNOWN;
    ids[0] = DISPID_UNKNOWN;
    if (names[0] == nullptr) return DISP_E_UNKNOWNNAME;
    const std::wstring wanted = ToLower(names[0]);
    const auto list = members();
    for (size_t m = 0; m < list.size(); ++m) {
      if (ToLower(list[m].name) == wanted) {
        ids[0] = static_cast<DISPID>(m + 1);
        return result;
      }
    }
    return DISP_E_UNKNOWNNAME;
  }

  HRESULT Invoke(DISPID member, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* exception, UINT* argument_error) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    const auto list = members();
    if (member < 1 || static_cast<size_t>(member) > list.size()) return DISP_E_MEMBERNOTFOUND;
    const Member& m = list[member - 1];
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    if (params == nullptr) params = &none;
    if (params->cArgs > 0 && params->rgvarg == nullptr) return E_INVALIDARG;
    if (params->cNamedArgs > 0 && params->rgdispidNamedArgs == nullptr) return E_INVALIDARG;
    if (result != nullptr) VariantInit(result);

    const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    if (put) {
      if (m.kind != Kind::kGetPut) return DISP_E_MEMBERNOTFOUND;
      if (params->cArgs != 1 || params->cNamedArgs != 1 ||
          params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) {
        return DISP_E_PARAMNOTFOUND;
      }
    } else {
      const WORD needed = m.kind == Kind::kMethod ? DISPATCH_METHOD : DISPATCH_PROPERTYGET;
      if ((flags & needed) == 0) return DISP_E_MEMBERNOTFOUND;
      if (params->cNamedArgs > 0) return DISP_E_NONAMEDARGS;
      if (params->cArgs > m.max_args) return DISP_E_BADPARAMCOUNT;
    }
    std::vector<const VARIANT*> args;
    for (UINT i = 0; i < params->cArgs; ++i) {
      const VARIANT* v = &params->rgvarg[params->cArgs - 1 - i];
      if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal != nullptr) v = v->pvarVal;
      const bool missing =
          v->vt == VT_EMPTY || (v->vt == VT_ERROR && v->scode == DISP_E_PARAMNOTFOUND);
      args.push_back(missing ? nullptr : v);
    }
    if (!put) {
      for (UINT i = 0; i < m.min_args; ++i) {
        if (i >= args.size() || args[i] == nullptr) return DISP_E_PARAMNOTOPTIONAL;
      }
    }
    VARIANT ignored;
    VariantInit(&ignored);
    const Call call(std::move(args), exception, argument_error);
    if (Faults* faults = member_faults(); faults != nullptr) {
      if (const HRESULT code = faults->TakeMember(m.name); code != S_OK) {
        return call.Raise(L"The operation failed.", code);
      }
    }
    const HRESULT hr = Dispatch(member - 1, put, call, result != nullptr ? result : &ignored);
    VariantClear(&ignored);
    return hr;
  }

 protected:
  DispatchObject() : ComObject(IID_IDispatch) {}
  virtual std::span<const Member> members() const = 0;
  // Runs member `index` of members(); for a put the value is argument 0.
  virtual HRESULT Dispatch(size_t index, bool put, const Call& call, VARIANT* result) = 0;
  // The faults a test switched on for this object's members; none for most objects.
  virtual Faults* member_faults() const { return nullptr; }

  static HRESULT SetText(VARIANT* result, const std::wstring& text) {
    result->vt = VT_BSTR;
    result->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return result->bstrVal != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  static HRESULT SetLong(VARIANT* result, LONG value) {
    result->vt = VT_I4;
    result->lVal = value;
    return S_OK;
  }
  static HRESULT SetBool(VARIANT* result, bool value) {
    result->vt = VT_BOOL;
    result->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  // Hands over one reference that the caller already owns.
  static HRESULT SetObject(VARIANT* result, IDispatch* object) {
    result->vt = VT_DISPATCH;
    result->pdispVal = object;
    return S_OK;
  }
  static HRESULT SetUnknown(VARIANT* result, IUnknown* object) {
    result->vt = VT_UNKNOWN;
    result->punkVal = object;
    return S_OK;
  }
};

// ---- times: UTC file times in the store, local automation dates in the object model ----

// Outlook's "none" date, 4501-01-01, for a time an item does not have.
inline constexpr DATE kNoneDate = 949998.0;

// The machine's local automation date of a UTC file time, and back.
std::optional<DATE> LocalDate(FileTime utc);
std::optional<FileTime> UtcFileTime(DATE local_date);
// Local midnight at or before (or, rounding up, at or after) a UTC time.
std::optional<FileTime> LocalMidnight(FileTime utc, bool round_up);
// "IPM.Appointment" and its subclasses, in any letter case.
bool IsAppointmentClass(const std::wstring& message_class);

}  // namespace calendar_mirrow_addin::sim
