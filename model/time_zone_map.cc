#include "model/time_zone_map.h"

#include <cwctype>
#include <span>
#include <string_view>

#include "base/logger.h"
#include "model/windows_zone_data.h"

namespace calendar_mirrow_addin {

namespace {

// ERROR_FILE_NOT_FOUND and ERROR_INVALID_DATA, as the registry would report them.
constexpr int32_t kErrorFileNotFound = 2;
constexpr int32_t kErrorInvalidData = 13;

// Registry key names are compared without regard to letter case.
bool SameKey(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  }
  return true;
}

}  // namespace

TimeZoneMap& TimeZoneMap::Instance() {
  static TimeZoneMap map;
  return map;
}

TimeZoneMap::TimeZoneMap() {
  std::unordered_map<std::wstring, std::wstring> rule_by_key;
  std::unordered_map<std::wstring, std::wstring> label_by_key;
  for (const OlsonZone& zone : PreferredOlsonTable()) {
    std::wstring label;
    ZoneRule rule;
    if (ReadRegistryZone(zone.windows_key, label, rule) != 0) continue;
    olson_by_fuzzy_rule_[ZoneRuleFuzzyKey(rule)] = zone.olson;
    olson_by_label_[label] = zone.olson;
    rule_by_key[zone.windows_key] = ZoneRuleToHex(rule);
    label_by_key[zone.windows_key] = label;
  }
  // The fixed table answers first; the fallback only names identifiers it lacks (current
  // tz names, link names), resolved through the tz database and the Unicode CLDR mapping.
  for (const std::span<const OlsonZone> table : {OlsonZoneTable(), FallbackZoneTable()}) {
    for (const OlsonZone& zone : table) {
      const auto rule = rule_by_key.find(zone.windows_key);
      if (rule == rule_by_key.end()) continue;  // unknown to both lookups
      if (rule_by_olson_.try_emplace(zone.olson, rule->second).second) {
        label_by_olson_[zone.olson] = label_by_key[zone.windows_key];
      }
    }
  }
}

bool TimeZoneMap::GetZoneRule(const std::wstring& olson, ZoneRule& out) const {
  const auto found = rule_by_olson_.find(olson);
  return found != rule_by_olson_.end() && ZoneRuleFromHex(found->second, &out);
}

bool TimeZoneMap::GetDisplayLabel(const std::wstring& olson, std::wstring& label) const {
  const auto found = label_by_olson_.find(olson);
  if (found == label_by_olson_.end()) return false;
  label = found->second;
  return true;
}

bool TimeZoneMap::FindOlsonName(const ZoneRule& rule, const std::wstring& label,
                                std::wstring& olson) const {
  if (const auto by_label = olson_by_label_.find(label); by_label != olson_by_label_.end()) {
    olson = by_label->second;
    return true;
  }
  LogInfo(L"Unable to get by label " + label);
  if (rule_by_olson_.contains(label)) {
    olson = label;
    return true;
  }
  const auto by_rule = olson_by_fuzzy_rule_.find(ZoneRuleFuzzyKey(rule));
  if (by_rule == olson_by_fuzzy_rule_.end()) return false;
  olson = by_rule->second;
  return true;
}

bool TimeZoneMap::UtcToZoneLocal(const SystemTime& utc, const std::wstring& olson,
                                 SystemTime& local) const {
  if (olson.empty()) {
    local = utc;
    return true;
  }
  ZoneRule rule;
  return GetZoneRule(olson, rule) && RuleUtcToLocal(rule, utc, &local);
}

bool TimeZoneMap::ZoneLocalToUtc(const SystemTime& local, const std::wstring& olson,
                                 SystemTime& utc) const {
  if (olson.empty()) {
    utc = local;
    return true;
  }
  ZoneRule rule;
  return GetZoneRule(olson, rule) && RuleLocalToUtc(rule, local, &utc);
}

// Without a registry the zone data comes from the table compiled in from the Windows data
// file, which records what the registry holds for each key.
int32_t TimeZoneMap::ReadRegistryZone(const std::wstring& windows_key, std::wstring& label,
                                      ZoneRule& rule) {
  for (const WindowsZoneData& zone : WindowsZoneTable()) {
    if (!SameKey(zone.key, windows_key)) continue;
    ZoneRule read;
    if (!ZoneRuleFromTziHex(zone.tzi_hex, &read)) return kErrorInvalidData;
    rule = read;
    label = zone.label;
    return 0;
  }
  return kErrorFileNotFound;
}

}  // namespace calendar_mirrow_addin
