#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace calendar_mirrow_addin::platform {

// A new globally unique identifier, as the 16 bytes of a GUID record in memory order
// (Data1 to Data3 little-endian, then Data4). None when the system cannot make one.
// Windows takes it from CoCreateGuid; Linux makes a random (version 4) one.
std::optional<std::array<uint8_t, 16>> NewGuid();

}  // namespace calendar_mirrow_addin::platform
