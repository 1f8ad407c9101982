#pragma once

#include <string>
#include <string_view>

namespace calendar_mirrow_addin::platform {

// Per-user named binary values grouped under a key path, the way the user's registry hive
// holds them on Windows (for example "Software\\Nexora\\Tidewell" / "LastFullFetchTime").
// Key paths and value names match without regard to ASCII letter case, as in the
// registry. On Linux each key path is one small file under
// "<config>/Nexora/Tidewell/store/", replaced atomically on every change.

// False when the value (or its key path) does not exist or cannot be read.
bool ReadStoreValue(const std::string& key_path, const std::string& name, std::string* bytes);

// Creates or replaces the value. False when it could not be stored; the previous
// content is then unchanged.
bool WriteStoreValue(const std::string& key_path, const std::string& name, std::string_view bytes);

// Removes the value. False when there was no such value or it could not be removed.
bool DeleteStoreValue(const std::string& key_path, const std::string& name);

}  // namespace calendar_mirrow_addin::platform
