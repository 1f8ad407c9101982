#include <sys/utsname.h>

#include "platform/os_version.h"

namespace calendar_mirrow_addin::platform {

std::wstring OsVersionText() {
  utsname name{};
  return LinuxVersionText(uname(&name) == 0 ? name.release : "");
}

}  // namespace calendar_mirrow_addin::platform
