#pragma once

#include <map>
#include <string>
#include <string_view>

namespace calendar_mirrow_addin {

// The entries of a protected key/value file: ASCII keys to encoded (HexEncode) values.
// std::string orders its keys by unsigned byte value, the order the file is written in.
using ProtectedMap = std::map<std::string, std::string>;

// Reads and unprotects the file at `path`. False when the file cannot be read or does
// not unprotect (missing, half-written, altered, another user's); `map` is then unchanged,
// otherwise it is replaced by the file's entries.
bool ReadProtectedMap(const std::wstring& path, ProtectedMap& map);

// Protects the entries with `description` and replaces the file at `path` atomically, so
// a reader never meets a half-written file made by this call. False when an entry would
// not read back as written (see FormatProtectedMap) or protecting or writing fails; the
// old file is then untouched.
bool WriteProtectedMap(const std::wstring& path, const ProtectedMap& map,
                       const std::wstring& description);

// The plain text before protection: "key=value\n" per entry in key order, no header.
// False when a key is empty, holds "=" or LF, or has blanks at either end, or when a
// value holds LF or has blanks at either end: such an entry would come back changed or
// would forge other entries. Every map ParseProtectedMap gives can be formatted.
bool FormatProtectedMap(const ProtectedMap& map, std::string* plain);

// Reads plain text: pieces between LFs (empty ones skipped), the key before the first "="
// and the value after it, both trimmed (so CR LF reads like LF); the first occurrence of a
// key wins; pieces without "=" or with an empty key are ignored.
ProtectedMap ParseProtectedMap(std::string_view plain);

}  // namespace calendar_mirrow_addin
