#pragma once

#include <errno.h>
#include <sys/stat.h>

#include <string>

#include "platform/folders.h"

// The product's folder under the user's configuration folder, where the data-protection
// key and the stored values live. Folders created here are private to the user (0700):
// the key file must not become readable through a group-writable parent.
namespace calendar_mirrow_addin::platform::posix {

// Creates `path` and its missing parents with mode 0700; true when it is a folder after.
inline bool MakePrivateFolders(const std::string& path) {
  if (path.empty() || path[0] != '/') return false;
  for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const std::string prefix = path.substr(0, end);
    if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (end == std::string::npos) break;
  }
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// "<config>/Nexora/Tidewell" followed by "/" and `child` when given, created when
// missing. Empty when the configuration folder is unknown or cannot be created.
inline std::string ProductConfigFolder(const std::string& child = std::string()) {
  const std::string config = LocalConfigFolder();
  if (config.empty()) return std::string();
  std::string folder = config + "/Nexora/Tidewell";
  if (!child.empty()) folder += "/" + child;
  return MakePrivateFolders(folder) ? folder : std::string();
}

}  // namespace calendar_mirrow_addin::platform::posix
