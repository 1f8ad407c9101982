#pragma once

#include <string>
#include <string_view>

namespace calendar_mirrow_addin::platform {

// Replaces the file at `path` (UTF-8) with `bytes` so that a crash at any moment leaves
// either the old or the new content: the bytes go to a temporary file beside it, are
// flushed to disk, and the temporary file is renamed over the old one. On failure the
// old file is untouched, the temporary file is removed and `error` says why.
bool ReplaceFileAtomically(const std::string& path, std::string_view bytes, std::string* error);

// Appends `bytes` to the file at `path`, creating it when missing, and closes it again so
// that the bytes have left the process when the call returns.
bool AppendToFile(const std::string& path, std::string_view bytes);

}  // namespace calendar_mirrow_addin::platform
