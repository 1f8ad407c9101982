#include "platform/folders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace calendar_mirrow_addin::platform {

namespace {

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  const passwd* entry = getpwuid(getuid());
  if (entry != nullptr && entry->pw_dir != nullptr) return entry->pw_dir;
  return std::string();
}

std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::string LocalAppDataFolder() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  // The XDG rules say a relative value is invalid and must be ignored.
  if (xdg != nullptr && xdg[0] == '/') return WithoutTrailingSlash(xdg);
  std::string home = HomeFolder();
  if (home.empty()) return std::string();
  return WithoutTrailingSlash(home) + "/.local/share";
}

std::string LocalConfigFolder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return WithoutTrailingSlash(xdg);
  std::string home = HomeFolder();
  if (home.empty()) return std::string();
  return WithoutTrailingSlash(home) + "/.config";
}

}  // namespace calendar_mirrow_addin::platform
