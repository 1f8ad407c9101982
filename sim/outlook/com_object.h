#pragma once

// COM reference counting and the QueryInterface of an object that offers IUnknown and one
// interface of its own, for the objects of the simulation that need nothing more. Created
// with one reference that belongs to the caller, freed by the last Release.

#include <atomic>

#include "platform/com/unknown.h"

namespace calendar_mirrow_addin::sim {

template <typename Interface>
class ComObject : public Interface {
 public:
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, own_iid_)) return E_NOINTERFACE;
    *object = static_cast<Interface*>(this);
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  explicit ComObject(const IID& own_iid) : own_iid_(own_iid) {}
  virtual ~ComObject() = default;

 private:
  const IID own_iid_;
  std::atomic<ULONG> references_{1};
};

}  // namespace calendar_mirrow_addin::sim
