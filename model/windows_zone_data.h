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

// An Olson (tz database) identifier and the Windows zone key it goes with.
struct OlsonZone {
  const wchar_t* olson;
  const wchar_t* windows_key;
};

// The zone data compiled in from model/windows_zones.tsv, in file order. It stands in for
// the registry where there is none.
std::span<const WindowsZoneData> WindowsZoneTable();
// From model/olson_zones.tsv: the preferred identifier of each Windows zone, in file order
// (the order decides ties on the way back), and every identifier converted with a Windows
// zone's rule.
std::span<const OlsonZone> PreferredOlsonTable();
std::span<const OlsonZone> OlsonZoneTable();
// From model/zone_fallback.tsv: the Windows zone of tz names that OlsonZoneTable() lacks.
std::span<const OlsonZone> FallbackZoneTable();

}  // namespace calendar_mirrow_addin
