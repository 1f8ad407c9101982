#include "platform/guid.h"

#include <openssl/rand.h>

namespace calendar_mirrow_addin::platform {

std::optional<std::array<uint8_t, 16>> NewGuid() {
  std::array<uint8_t, 16> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) return std::nullopt;
  // Version 4 in the high nibble of Data3 (little-endian, so its second byte) and the
  // RFC 4122 variant in the first byte of Data4.
  bytes[7] = static_cast<uint8_t>((bytes[7] & 0x0F) | 0x40);
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
  return bytes;
}

}  // namespace calendar_mirrow_addin::platform
