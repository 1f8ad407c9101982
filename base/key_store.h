#pragma once

#include <string>

namespace calendar_mirrow_addin {

// The process-wide protected key/value store: remembered log-in token, session parameter
// and proxy credentials. Values are read from and written to their file on every call.
class KeyStore {
 public:
  virtual ~KeyStore() = default;
  // The value of `key`, or empty text when absent or unreadable.
  virtual std::wstring Get(const std::wstring& key) = 0;
  virtual void Set(const std::wstring& key, const std::wstring& value) = 0;
};

// The registered store, or null when none is registered (callers then skip remembering).
KeyStore* GetKeyStore();
// Registers the store (borrowed; it must outlive its registration); null unregisters.
void SetKeyStore(KeyStore* store);

}  // namespace calendar_mirrow_addin
