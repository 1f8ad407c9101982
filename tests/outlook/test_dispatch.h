#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/com/oleaut.h"

namespace calendar_mirrow_addin::testing {

// An IDispatch that knows a few names, each answered by a handler, and records the kind
// of every invocation. Unknown names fail the lookup with DISP_E_UNKNOWNNAME.
class TestDispatch : public IDispatch {
 public:
  using Handler =
      std::function<HRESULT(WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception)>;
  void Answer(std::wstring name, Handler handler) { members_.push_back({name, handler}); }

  std::vector<WORD> flags;  // of each invocation
  ULONG references = 1;
  // Every call used IID_NULL and the user's default locale, and got a zeroed record.
  bool sound_calls = true;

  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG AddRef() override { return ++references; }
  ULONG Release() override { return --references; }
  HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID locale,
                        DISPID* ids) override {
    sound_calls &= IsEqualIID(riid, IID_NULL) && locale == LOCALE_USER_DEFAULT && count == 1;
    for (size_t i = 0; i < members_.size(); ++i) {
      if (members_[i].first != names[0]) continue;
      ids[0] = static_cast<DISPID>(i);
      return S_OK;
    }
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT Invoke(DISPID member, REFIID riid, LCID locale, WORD kind, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* exception, UINT* argument_error) override {
    sound_calls &= IsEqualIID(riid, IID_NULL) && locale == LOCALE_USER_DEFAULT && !argument_error &&
                   exception && !exception->bstrDescription;
    flags.push_back(kind);
    return members_[member].second(kind, params, result, exception);
  }

 private:
  std::vector<std::pair<std::wstring, Handler>> members_;
};

}  // namespace calendar_mirrow_addin::testing
