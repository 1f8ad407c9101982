#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "base/system_time.h"
#include "model/zone_rule.h"

namespace calendar_mirrow_addin {

// Connects tz-database (Olson) identifiers with Windows zones: the rule needed to
// convert times, the display label, and the way back from an Outlook zone (label plus
// rule) to an Olson identifier. Built once per process, then only read.
class TimeZoneMap {
 public:
  static TimeZoneMap& Instance();

  bool GetZoneRule(const std::wstring& olson, ZoneRule& out) const;
  bool GetDisplayLabel(const std::wstring& olson, std::wstring& label) const;
  // The Olson identifier for an Outlook zone: by label, then the label itself when it is
  // a known identifier, then by the rule with transition hours ignored.
  bool FindOlsonName(const ZoneRule& rule, const std::wstring& label, std::wstring& olson) const;
  // An empty identifier means UTC.
  bool UtcToZoneLocal(const SystemTime& utc, const std::wstring& olson, SystemTime& local) const;
  bool ZoneLocalToUtc(const SystemTime& local, const std::wstring& olson, SystemTime& utc) const;

  // The zone data of a Windows zone key: 0 on success, else a Windows error code
  // (2, not found, for an unknown key).
  static int32_t ReadRegistryZone(const std::wstring& windows_key, std::wstring& label,
                                  ZoneRule& rule);

 private:
  TimeZoneMap();

  std::unordered_map<std::wstring, std::wstring> rule_by_olson_;
  std::unordered_map<std::wstring, std::wstring> olson_by_fuzzy_rule_;
  std::unordered_map<std::wstring, std::wstring> label_by_olson_;
  std::unordered_map<std::wstring, std::wstring> olson_by_label_;
};

}  // namespace calendar_mirrow_addin
