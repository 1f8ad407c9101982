#pragma once

#include <string>
#include <string_view>

namespace calendar_mirrow_addin::platform {

// Replaces the file at `path` (UTF-8) with `bytes` so that a crash at any moment leaves
// either the old or the new content, and so that writers racing on the same file (the
// tray application and the add-in) each publish only whole files: the bytes go to a
// temporary file of a unique name beside it, are flushed to disk, and that file is renamed
// over the old one. The result is private to the user. On failure the old file is
// untouched, the temporary file is removed and `error` says why.
bool ReplaceFileAtomically(const std::string& path, std::string_view bytes, std::string* error);

// Appends `bytes` to the file at `path`, creating it private to the user when missing, and
// closes it again so that the bytes have left the process when the call returns.
bool AppendToFile(const std::string& path, std::string_view bytes);

// Creates the folder at `path` and its missing parents private to the user, and narrows an
// existing folder of this user that others could enter. True when it is a folder afterwards.
bool CreatePrivateFolder(const std::string& path);

}  // namespace calendar_mirrow_addin::platform
