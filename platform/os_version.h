#pragma once

#include <string>
#include <string_view>

namespace calendar_mirrow_addin::platform {

// The operating system as the web service's client identity names it: on Windows
// "Win-<major>.<minor>/SP-<service pack major>.<minor>", on Linux "Linux-<major>.<minor>"
// of the running kernel.
std::wstring OsVersionText();

// "Linux-<major>.<minor>" from a kernel release such as "6.1.0-18-amd64": its first two
// numbers (held below a billion), 0 for one that is missing.
std::wstring LinuxVersionText(std::string_view release);

}  // namespace calendar_mirrow_addin::platform
