#pragma once

#include <span>

namespace calendar_mirrow_addin {

// One Windows time-zone key as the registry holds it: the key name, its "Display" label
// and its 44-byte "TZI" value as 88 hex digits.
struct WindowsZoneData {
  const wchar_t* key;
  const wchar_t* label;
  const char* tzi_hex;
};

// The zone data compiled in from model/windows_zones.tsv, in file order. It stands in for
// the registry where there is none.
std::span<const WindowsZoneData> WindowsZoneTable();

}  // namespace calendar_mirrow_addin
