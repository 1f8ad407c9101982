#include "base/key_store.h"

namespace calendar_mirrow_addin {

namespace {

KeyStore*& Registered() {
  static KeyStore* store = nullptr;
  return store;
}

}  // namespace

KeyStore* GetKeyStore() { return Registered(); }

void SetKeyStore(KeyStore* store) { Registered() = store; }

}  // namespace calendar_mirrow_addin
