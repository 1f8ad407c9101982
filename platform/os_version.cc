#include "platform/os_version.h"

#include <cstddef>
#include <cstdint>

namespace calendar_mirrow_addin::platform {

namespace {

// The number at `*at`, held below a billion so that it stays an int whatever the text;
// `*at` moves past the digits and the dot after them.
int32_t NumberAt(std::string_view text, size_t* at) {
  constexpr int32_t kCap = 999'999'999;
  int32_t value = 0;
  for (; *at < text.size() && text[*at] >= '0' && text[*at] <= '9'; ++*at) {
    value = value > (kCap - 9) / 10 ? kCap : value * 10 + (text[*at] - '0');
  }
  if (*at < text.size() && text[*at] == '.') ++*at;
  return value;
}

}  // namespace

std::wstring LinuxVersionText(std::string_view release) {
  size_t at = 0;
  const int32_t major = NumberAt(release, &at);
  const int32_t minor = NumberAt(release, &at);
  return L"Linux-" + std::to_wstring(major) + L"." + std::to_wstring(minor);
}

}  // namespace calendar_mirrow_addin::platform
