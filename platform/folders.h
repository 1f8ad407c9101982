#pragma once

#include <string>

namespace calendar_mirrow_addin::platform {

// The user's local application-data folder as UTF-8, without a trailing separator:
// $XDG_DATA_HOME, else ~/.local/share on Linux; the shell's local application-data
// folder on Windows. Empty when neither can be determined.
std::string LocalAppDataFolder();

// The user's per-user configuration folder as UTF-8, without a trailing separator:
// $XDG_CONFIG_HOME, else ~/.config on Linux. Per-user secrets (the data-protection key)
// and stored values live below it. Empty when it cannot be determined.
std::string LocalConfigFolder();

}  // namespace calendar_mirrow_addin::platform
