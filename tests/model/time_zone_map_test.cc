#include "model/time_zone_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/text.h"
#include "tests/support/system_time_builders.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

using testing::Show;

const TimeZoneMap& Map() { return TimeZoneMap::Instance(); }

struct RegistryZone {
  std::wstring label = L"untouched";
  ZoneRule rule{7, 0, 0, {}, {}};
};

RegistryZone Registry(const std::wstring& windows_key) {
  RegistryZone zone;
  EXPECT_EQ(TimeZoneMap::ReadRegistryZone(windows_key, zone.label, zone.rule), 0)
      << WideToUtf8(windows_key);
  return zone;
}

// The data rows of a file of the model folder, split at tabs.
std::vector<std::vector<std::wstring>> DataRows(const char* name) {
  std::ifstream in(std::string(TIDEWELL_MODEL_DIR) + "/" + name);
  EXPECT_TRUE(in.is_open()) << name;
  std::vector<std::vector<std::wstring>> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::wstring wide = Utf8ToWide(line);
    rows.emplace_back();
    for (std::wstring_view field : SplitTokens(wide, L"\t")) rows.back().emplace_back(field);
  }
  return rows;
}

// Each Windows zone as its data file has it, with a label that states its standard offset;
// each identifier with the rule and label of the Windows zone its table names.
TEST(TimeZoneMapRegistryTest, EveryRowOfTheDataFilesIsCompiledIn) {
  const auto zones = DataRows("windows_zones.tsv");
  EXPECT_EQ(zones.size(), 87u);
  for (const auto& row : zones) {
    ASSERT_EQ(row.size(), 4u);
    SCOPED_TRACE(WideToUtf8(row[0]));
    const RegistryZone zone = Registry(row[0]);
    EXPECT_EQ(zone.label, row[1]);
    ZoneRule expected;
    ASSERT_TRUE(ZoneRuleFromTziHex(WideToUtf8(row[2]), &expected));
    EXPECT_EQ(ZoneRuleToHex(zone.rule), ZoneRuleToHex(expected));
    const int offset = -(zone.rule.bias + zone.rule.standard_bias);
    wchar_t utc[16];
    std::swprintf(utc, std::size(utc), L"(UTC%lc%02d:%02d) ", offset < 0 ? L'-' : L'+',
                  std::abs(offset) / 60, std::abs(offset) % 60);
    EXPECT_TRUE(zone.label.starts_with(utc)) << WideToUtf8(utc);
  }
  std::vector<std::pair<std::wstring, std::wstring>> ids;  // identifier, Windows key
  for (const auto& row : DataRows("olson_zones.tsv")) {
    ASSERT_EQ(row.size(), 3u);
    if (row[0] != L"zone") continue;
    for (std::wstring_view olson : SplitTokens(row[2], L" ")) ids.emplace_back(olson, row[1]);
  }
  EXPECT_EQ(ids.size(), 366u);
  for (const auto& row : DataRows("zone_fallback.tsv")) ids.emplace_back(row.at(0), row.at(1));
  for (const auto& [olson, windows_key] : ids) {
    SCOPED_TRACE(WideToUtf8(olson));
    const RegistryZone expected = Registry(windows_key);
    RegistryZone found;
    EXPECT_TRUE(Map().GetZoneRule(olson, found.rule));
    EXPECT_EQ(ZoneRuleToHex(found.rule), ZoneRuleToHex(expected.rule));
    EXPECT_TRUE(Map().GetDisplayLabel(olson, found.label));
    EXPECT_EQ(found.label, expected.label);
  }
}

// Registry keys match in any case. Unknown keys and identifiers leave every output alone;
// the empty identifier is UTC.
TEST(TimeZoneMapTest, UnknownKeysAndIdentifiersGiveNothing) {
  EXPECT_EQ(Registry(L"eastern STANDARD time").label, L"(UTC-05:00) Eastern Time (US & Canada)");
  for (const std::wstring key : {L"", L"Eastern Standard Time ", L"Eastern", L"America/New_York"}) {
    RegistryZone zone;
    EXPECT_EQ(TimeZoneMap::ReadRegistryZone(key, zone.label, zone.rule), 2) << WideToUtf8(key);
    EXPECT_EQ(zone.label, L"untouched");
    EXPECT_EQ(zone.rule.bias, 7);
  }
  // Lord Howe's Windows zone is not compiled in.
  for (const std::wstring olson :
       {L"Australia/Lord_Howe", L"Mars/Olympus_Mons", L"america/new_york"}) {
    RegistryZone zone;
    SystemTime out;
    EXPECT_FALSE(Map().GetZoneRule(olson, zone.rule) || Map().GetDisplayLabel(olson, zone.label) ||
                 Map().UtcToZoneLocal(testing::At(2026, 1, 1), olson, out) ||
                 Map().ZoneLocalToUtc(testing::At(2026, 1, 1), olson, out))
        << WideToUtf8(olson);
    EXPECT_EQ(zone.label + L" " + std::to_wstring(zone.rule.bias), L"untouched 7");
  }
  const SystemTime when{2026, 7, 3, 9, 13, 45, 30, 250};
  SystemTime out;
  ASSERT_TRUE(Map().UtcToZoneLocal(when, L"", out));
  EXPECT_EQ(std::memcmp(&out, &when, sizeof when), 0);
  out = SystemTime{};
  ASSERT_TRUE(Map().ZoneLocalToUtc(when, L"", out));
  EXPECT_EQ(std::memcmp(&out, &when, sizeof when), 0);
}

// By label, then by the label as an identifier, then by the rule with transition hours
// ignored. Only a label match logs nothing.
TEST(TimeZoneMapTest, FindsTheOlsonIdentifierOfAnOutlookZone) {
  const ZoneRule unrelated;
  // The W. Europe rule with the transition hours of another source, under a label from
  // another Windows language.
  ZoneRule berlin = Registry(L"W. Europe Standard Time").rule;
  berlin.standard_date.hour = 1;
  berlin.daylight_date.hour = 1;
  const std::wstring foreign = L"(UTC+01:00) Amsterdam, Berlin, Bern, Rom, Stockholm, Wien \u00e9";
  const std::wstring unknown = L"(UTC) Nowhere";
  const struct {
    ZoneRule rule;
    std::wstring label;
    const wchar_t* olson;
    bool by_label;
  } kCases[] = {
      {unrelated, L"(UTC-05:00) Eastern Time (US & Canada)", L"America/New_York", true},
      // Armenian and Caucasus Standard Time share this label; the later row wins.
      {unrelated, L"(UTC+04:00) Yerevan", L"Europe/Samara", true},
      // Zones that only the first table knows.
      {unrelated, L"(UTC-12:00) International Date Line West", L"Etc/GMT+12", true},
      {unrelated, L"(UTC-06:00) Mexico City", L"America/Mexico_City", true},
      {unrelated, L"(UTC-05:00) Indiana (East)", L"America/Indianapolis", true},
      // Mexico Standard Time 2 now has Mazatlan's rule, and leads back to it.
      {unrelated, L"(UTC-07:00) Mazatlan", L"America/Mazatlan", true},
      {unrelated, L"(UTC-06:00) Chihuahua", L"America/Chihuahua", true},
      // Identifiers as labels, also those only the fallback table knows; the last cannot
      // convert, and the rule matches nothing.
      {unrelated, L"Europe/Vienna", L"Europe/Vienna", false},
      {unrelated, L"America/Indianapolis", L"America/Indianapolis", false},
      {unrelated, L"Australia/Lord_Howe", L"(none)", false},
      {berlin, foreign, L"Europe/Berlin", false},
      // Zones sharing a rule resolve to the later row of the first table: Eastern and US
      // Eastern; Central Europe, Central European, Romance and W. Europe; E. Europe, FLE,
      // GTB and Middle East, which differ in transition hours only; Mexico and Mountain
      // (Mexico), both UTC-6 without daylight time.
      {Registry(L"Eastern Standard Time").rule, unknown, L"America/Indianapolis", false},
      {Registry(L"Romance Standard Time").rule, unknown, L"Europe/Berlin", false},
      {Registry(L"FLE Standard Time").rule, unknown, L"Asia/Beirut", false},
      {Registry(L"Mexico Standard Time").rule, unknown, L"America/Chihuahua", false},
  };
  for (const auto& [rule, label, olson, by_label] : kCases) {
    testing::CapturedLog log;
    std::wstring found;
    EXPECT_EQ(Map().FindOlsonName(rule, label, found) ? found : L"(none)", olson)
        << WideToUtf8(label);
    EXPECT_EQ(log.Text(), by_label ? "" : "Unable to get by label " + WideToUtf8(label) + "\n");
  }
}

// What the tz database says about a zone (generated by tests/model/tz_expectations.py):
// the offset on 2025-01-01 and the changes {UTC seconds since 1970, before, after}, offsets
// in minutes east of UTC.
struct TzZone {
  const wchar_t* olson;
  int32_t initial_offset;
  std::vector<std::array<int64_t, 3>> transitions;
};

const TzZone kTzZones[] = {
#include "tests/model/tz_expectations.inc"
};

SystemTime FromUnixSeconds(int64_t seconds) {
  return *FileTimeToSystemTime(kUnixEpochFileTime + seconds * kFileTimeTicksPerSecond);
}

int64_t ToUnixSeconds(const SystemTime& time) {
  return static_cast<int64_t>(*SystemTimeToFileTime(time) - kUnixEpochFileTime) /
         kFileTimeTicksPerSecond;
}

int64_t OffsetSecondsAt(const TzZone& zone, int64_t utc) {
  int64_t offset = zone.initial_offset;
  for (const auto& [at, before, after] : zone.transitions) offset = at <= utc ? after : offset;
  return offset * 60;
}

// The instant a local time is read as: the earliest showing it (the daylight one of a
// repeated time); one in a skipped hour takes the daylight offset, as Windows does.
int64_t ExpectedUtc(const TzZone& zone, int64_t local) {
  std::vector<int64_t> offsets = {int64_t{zone.initial_offset} * 60};
  for (const auto& [at, before, after] : zone.transitions) {
    if (local >= at + before * 60 && local < at + after * 60) return local - after * 60;
    offsets.push_back(after * 60);
  }
  int64_t earliest = INT64_MAX;
  for (int64_t offset : offsets) {
    if (OffsetSecondsAt(zone, local - offset) == offset)
      earliest = std::min(earliest, local - offset);
  }
  return earliest;
}

// Every hour of 2025-2027 read both as UTC and as local time, and every quarter hour within
// three hours of a transition on either clock.
TEST(TimeZoneMapConversionTest, AgreesWithTheTzDatabaseThrough2025To2027) {
  // Identifiers that the tables send by design to a zone with other rules (Casablanca,
  // Istanbul, Bucharest...) are left out of the table; scripts/zone_rules.py lists them.
  ASSERT_GE(std::size(kTzZones), 40u);
  for (const TzZone& zone : kTzZones) {
    // Only the first disagreement of a zone is reported.
    const auto agrees = [&](int64_t at) {
      const SystemTime in = FromUnixSeconds(at);
      const int64_t want_local = at + OffsetSecondsAt(zone, at);
      const int64_t want_utc = ExpectedUtc(zone, at);
      SystemTime local, utc;
      const bool good = Map().UtcToZoneLocal(in, zone.olson, local) &&
                        Map().ZoneLocalToUtc(in, zone.olson, utc) &&
                        ToUnixSeconds(local) == want_local && ToUnixSeconds(utc) == want_utc;
      EXPECT_TRUE(good) << WideToUtf8(zone.olson) << " " << Show(in) << ": as UTC " << Show(local)
                        << " local, tz says " << Show(FromUnixSeconds(want_local)) << "; as local "
                        << Show(utc) << " UTC, tz says " << Show(FromUnixSeconds(want_utc));
      return good;
    };
    bool good = true;
    for (int64_t at = 1735689600; good && at <= 1830297600; at += 3600) good = agrees(at);
    for (const auto& [at, before, after] : zone.transitions) {
      for (int64_t step = -3 * 3600; good && step <= 3 * 3600; step += 900) {
        good = agrees(at + step) && agrees(at + before * 60 + step);
      }
    }
  }
}

}  // namespace
}  // namespace calendar_mirrow_addin
