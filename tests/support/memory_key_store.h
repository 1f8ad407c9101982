#pragma once

#include <map>
#include <string>

#include "base/key_store.h"

namespace calendar_mirrow_addin::testing {

// A key store in memory, registered as the process-wide one for its lifetime.
struct MemoryKeyStore : KeyStore {
  MemoryKeyStore() { SetKeyStore(this); }
  ~MemoryKeyStore() override { SetKeyStore(nullptr); }
  std::wstring Get(const std::wstring& key) override { return values[key]; }
  void Set(const std::wstring& key, const std::wstring& value) override { values[key] = value; }
  std::map<std::wstring, std::wstring> values;
};

}  // namespace calendar_mirrow_addin::testing
