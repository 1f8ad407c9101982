#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace calendar_mirrow_addin::platform {

// The MD5 digest (RFC 1321) of `bytes`. Used to name files after an account, not for
// security. On Linux it comes from the system's cryptography library.
std::array<uint8_t, 16> Md5(std::string_view bytes);

}  // namespace calendar_mirrow_addin::platform
