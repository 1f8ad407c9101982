#pragma once

#include <string>
#include <string_view>

namespace calendar_mirrow_addin::platform {

// Protects bytes for the current user: only this user on this machine can unprotect
// them, and any change to the result is detected. `description` travels inside the blob
// (authenticated, but not checked on reading), like the label of a per-user data-protection
// blob on Windows. On Linux the key is a random per-user key file in the configuration
// folder, created on first use. A key file that is not the user's own, or that other users
// could read or write, is refused. False (and `blob` untouched) on failure; when the
// failure is the key's, `key_problem` says why (naming the file).
bool ProtectData(std::string_view plain, const std::wstring& description, std::string* blob,
                 std::string* key_problem = nullptr);

// Recovers the bytes of a blob made by ProtectData. False (and `plain` untouched) when the
// blob is truncated, altered, of an unknown version, or protected with another key, or
// when the key is refused as for ProtectData (then `key_problem` says why).
bool UnprotectData(std::string_view blob, std::string* plain, std::string* key_problem = nullptr);

// Overwrites the bytes with zeros in a way the compiler may not elide, then empties the
// string. For buffers that held unprotected secrets.
void WipeBytes(std::string* bytes);

}  // namespace calendar_mirrow_addin::platform
