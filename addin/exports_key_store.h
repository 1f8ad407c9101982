#pragma once

#include <memory>
#include <string>

#include "base/key_store.h"

namespace calendar_mirrow_addin::Exports {

// The process-wide key store over the protected file "data_files/user_properties.txt":
// every Get and Set reads the file again, nothing is kept in memory.
class ExportsKeyStore : public KeyStore {
 public:
  // The store over the user-properties file of the data-files folder.
  ExportsKeyStore();
  explicit ExportsKeyStore(std::wstring path);

  // The decoded value, or empty text when the key is absent or the file unreadable.
  std::wstring Get(const std::wstring& key) override;
  // Reads the file (an unreadable one counts as empty, so it is replaced by a file
  // holding only this key), sets the value and writes the file back atomically. A key
  // that could not be stored intact (empty, or holding "=", a line feed or outer blanks)
  // is refused. Failures are logged, not reported.
  void Set(const std::wstring& key, const std::wstring& value) override;

  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

// Path of the user-properties file, or empty when the data-files folder is unknown.
std::wstring UserPropertiesFilePath();

}  // namespace calendar_mirrow_addin::Exports
