#pragma once

// What the simulated Outlook's tests share: a COM releaser (so ASan sees every object
// freed), owning VARIANTs, and calls by name made as the add-in's helpers make them.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "base/text.h"
#include "platform/com/mapi_interfaces.h"
#include "platform/com/oleaut.h"
#include "sim/outlook/object_model.h"
#include "sim/outlook/store.h"

namespace calendar_mirrow_addin::sim {

inline constexpr FileTime kMonday = 133'219'296'000'000'000ULL;  // 2023-02-27T00:00:00Z
inline constexpr int64_t kHour = 36'000'000'000;

// A store in memory whose clock stands at kMonday.
inline std::shared_ptr<Store> MemoryStore() {
  auto store = Store::Open("", nullptr);
  store->SetClock([] { return kMonday; });
  return store;
}

template <typename T>
struct Ref {
  T* p = nullptr;
  Ref() = default;
  explicit Ref(T* borrowed) : p(borrowed) {}
  Ref(Ref&& other) noexcept : p(std::exchange(other.p, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    std::swap(p, other.p);
    return *this;
  }
  ~Ref() {
    if (p != nullptr) p->Release();
  }
  T* operator->() const { return p; }
  T** put() { return &p; }
};

struct Var {
  VARIANT v;
  Var() { VariantInit(&v); }
  Var(LONG n) : Var() {  // NOLINT: arguments read as literals
    v.vt = VT_I4;
    v.lVal = n;
  }
  Var(const wchar_t* text) : Var() {  // NOLINT
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(text);
  }
  static Var Date(DATE date) {
    Var var;
    var.v.vt = VT_DATE;
    var.v.date = date;
    return var;
  }
  Var(const Var& other) : Var() { VariantCopy(&v, &other.v); }
  Var(Var&& other) noexcept : v(other.v) { VariantInit(&other.v); }
  Var& operator=(Var other) noexcept {
    std::swap(v, other.v);
    return *this;
  }
  ~Var() { VariantClear(&v); }
  std::wstring text() const {
    if (v.vt != VT_BSTR) return L"<not text>";
    return v.bstrVal != nullptr ? v.bstrVal : L"";
  }
};

struct Outcome {
  HRESULT hr = S_OK;
  Var value;
  std::wstring description;  // the EXCEPINFO text
};

constexpr WORD kGet = DISPATCH_PROPERTYGET;
constexpr WORD kPut = DISPATCH_PROPERTYPUT;
constexpr WORD kMethod = DISPATCH_METHOD;

// Looks the name up and invokes it; `args` in parameter order.
inline Outcome Call(IDispatch* object, const wchar_t* name, WORD flags,
                    std::vector<Var> args = {}) {
  Outcome out;
  DISPID id = 0;
  std::wstring copy = name;
  LPOLESTR names[] = {copy.data()};
  out.hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (out.hr != S_OK) return out;
  std::vector<VARIANT> reversed;
  for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.push_back(it->v);
  DISPID put_id = DISPID_PROPERTYPUT;
  const bool put = flags == kPut;
  DISPPARAMS params{reversed.data(), put ? &put_id : nullptr, static_cast<UINT>(reversed.size()),
                    put ? 1u : 0u};
  EXCEPINFO info{};
  out.hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                          put ? nullptr : &out.value.v, &info, nullptr);
  if (info.bstrDescription != nullptr) out.description = info.bstrDescription;
  SysFreeString(info.bstrSource);
  SysFreeString(info.bstrDescription);
  return out;
}

// A property's (or a method's) value; the call must succeed.
inline Var Get(IDispatch* object, const wchar_t* name, std::vector<Var> args = {}) {
  Outcome out = Call(object, name, kGet | kMethod, std::move(args));
  EXPECT_EQ(out.hr, S_OK) << WideToUtf8(name) << " " << WideToUtf8(out.description);
  return std::move(out.value);
}
inline HRESULT Put(IDispatch* object, const wchar_t* name, Var value) {
  return Call(object, name, kPut, {std::move(value)}).hr;
}

// The object a call returns (the reference moves to the caller); null for Nothing.
inline Ref<IDispatch> Object(Var&& value) {
  EXPECT_EQ(value.v.vt, VT_DISPATCH);
  if (value.v.vt != VT_DISPATCH) return {};
  value.v.vt = VT_EMPTY;
  return Ref<IDispatch>(value.v.pdispVal);
}
inline Ref<IDispatch> GetObj(IDispatch* object, const wchar_t* name, std::vector<Var> args = {}) {
  return Object(Get(object, name, std::move(args)));
}

// An item through the object model of `application`.
inline Ref<IDispatch> ItemOf(IDispatch* application, const Bytes& entry_id) {
  Ref<IDispatch> ns = GetObj(application, L"GetNamespace", {L"MAPI"});
  return GetObj(ns.p, L"GetItemFromID", {HexText(entry_id).c_str()});
}

// An item's MAPI message, through its MAPIOBJECT.
inline Ref<IMessage> MessageOf(IDispatch* item) {
  const Var mapi = Get(item, L"MAPIOBJECT");
  Ref<IMessage> message;
  EXPECT_EQ(mapi.v.vt, VT_UNKNOWN);
  if (mapi.v.vt == VT_UNKNOWN) {
    EXPECT_EQ(mapi.v.punkVal->QueryInterface(IID_IMessage, reinterpret_cast<void**>(message.put())),
              S_OK);
  }
  return message;
}

}  // namespace calendar_mirrow_addin::sim
