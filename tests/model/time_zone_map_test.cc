#include "model/time_zone_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "base/text.h"
#include "tests/support/system_time_builders.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

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
  std::vector<std::vector<std::wstring>> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::wstring wide = Utf8ToWide(line);  // the fields are views into it
    rows.emplace_back();
    for (auto field : SplitTokens(wide, L"\t")) rows.back().emplace_back(field);
  }
  return rows;
}

// Each Windows zone as its data file has it; each identifier with the rule and label of the
// Windows zone its table names.
TEST(TimeZoneMapRegistryTest, EveryRowOfTheDataFilesIsCompiledIn) {
  const auto zones = DataRows("windows_zones.tsv");
  EXPECT_EQ(zones.size(), 87u);
  for (const auto& row : zones) {
    SCOPED_TRACE(WideToUtf8(row.at(0)));
    const RegistryZone zone = Registry(row[0]);
    ZoneRule expected;
    ASSERT_TRUE(ZoneRuleFromTziHex(WideToUtf8(row.at(2)), &expected));
    EXPECT_EQ(zone.label + L" " + ZoneRuleToHex(zone.rule),
              row[1] + L" " + ZoneRuleToHex(expected));
  }
  std::vector<std::pair<std::wstring, std::wstring>> ids;  // identifier, Windows key
  for (const auto& row : DataRows("olson_zones.tsv")) {
    if (row.at(0) != L"zone") continue;
    for (std::wstring_view olson : SplitTokens(row.at(2), L" ")) ids.emplace_back(olson, row[1]);
  }
  EXPECT_EQ(ids.size(), 366u);
  for (const auto& row : DataRows("zone_fallback.tsv")) ids.emplace_back(row.at(0), row.at(1));
  for (const auto& [olson, windows_key] : ids) {
    const RegistryZone expected = Registry(windows_key);
    RegistryZone found;
    EXPECT_TRUE(Map().GetZoneRule(olson, found.rule) && Map().GetDisplayLabel(olson, found.label));
    EXPECT_EQ(found.label + L" " + ZoneRuleToHex(found.rule),
              expected.label + L" " + ZoneRuleToHex(expected.rule))
        << WideToUtf8(olson);
  }
}

// Registry keys match in any case. Unknown keys and identifiers leave every output alone;
// the empty identifier is UTC.
TEST(TimeZoneMapTest, UnknownKeysAndIdentifiersGiveNothing) {
  EXPECT_EQ(Registry(L"eastern STANDARD time").label, L"(UTC-05:00) Eastern Time (US & Canada)");
  // Lord Howe's Windows zone is not compiled in.
  for (const std::wstring name : {L"Australia/Lord_Howe", L"Mars/Olympus_Mons", L"america/new_york",
                                  L"Eastern Standard Time "}) {
    RegistryZone zone;
    SystemTime out;
    EXPECT_EQ(TimeZoneMap::ReadRegistryZone(name, zone.label, zone.rule), 2) << WideToUtf8(name);
    EXPECT_FALSE(Map().GetZoneRule(name, zone.rule) || Map().GetDisplayLabel(name, zone.label) ||
                 Map().UtcToZoneLocal(testing::At(2026, 1, 1), name, out) ||
                 Map().ZoneLocalToUtc(testing::At(2026, 1, 1), name, out))
        << WideToUtf8(name);
    EXPECT_EQ(zone.label + L" " + std::to_wstring(zone.rule.bias), L"untouched 7");
  }
  const SystemTime when{2026, 7, 3, 9, 13, 45, 30, 250};
  SystemTime local, utc;
  ASSERT_TRUE(Map().UtcToZoneLocal(when, L"", local) && Map().ZoneLocalToUtc(when, L"", utc));
  EXPECT_EQ(std::memcmp(&local, &when, sizeof when) | std::memcmp(&utc, &when, sizeof when), 0);
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
  // Rule and label given; the identifier found; whether by label.
  const std::tuple<ZoneRule, std::wstring, const wchar_t*, bool> kCases[] = {
      {unrelated, L"(UTC-05:00) Eastern Time (US & Canada)", L"America/New_York", true},
      // Armenian and Caucasus Standard Time share this label; the later row wins.
      {unrelated, L"(UTC+04:00) Yerevan", L"Europe/Samara", true},
      // A zone that only the first table knows.
      {unrelated, L"(UTC-12:00) International Date Line West", L"Etc/GMT+12", true},
      // Mexico Standard Time 2 now has Mazatlan's rule, and leads back to it.
      {unrelated, L"(UTC-07:00) Mazatlan", L"America/Mazatlan", true},
      // Identifiers as labels, here one only the fallback table knows; the last cannot
      // convert, and the rule matches nothing.
      {unrelated, L"America/Indianapolis", L"America/Indianapolis", false},
      {unrelated, L"Australia/Lord_Howe", L"(none)", false},
      {berlin, L"(UTC+01:00) Amsterdam, Berlin, Bern, Rom, Stockholm, Wien", L"Europe/Berlin",
       false},
      // Zones sharing a rule resolve to the later row of the first table: Eastern and US
      // Eastern; E. Europe, FLE, GTB and Middle East, which differ in transition hours only.
      {Registry(L"Eastern Standard Time").rule, L"(UTC) Nowhere", L"America/Indianapolis", false},
      {Registry(L"FLE Standard Time").rule, L"(UTC) Nowhere", L"Asia/Beirut", false},
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

SystemTime FromUnix(int64_t seconds) {
  return *FileTimeToSystemTime(kUnixEpochFileTime + seconds * kFileTimeTicksPerSecond);
}

int64_t ToUnix(const SystemTime& time) {
  return (int64_t(*SystemTimeToFileTime(time)) - int64_t(kUnixEpochFileTime)) / 10'000'000;
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
  ASSERT_GE(std::size(kTzZones), 40u);
  for (const TzZone& zone : kTzZones) {
    // Only the first disagreement of a zone is reported.
    const auto agrees = [&](int64_t at) {
      const SystemTime in = FromUnix(at);
      const int64_t want_local = at + OffsetSecondsAt(zone, at), want_utc = ExpectedUtc(zone, at);
      SystemTime local, utc;
      const bool good = Map().UtcToZoneLocal(in, zone.olson, local) &&
                        Map().ZoneLocalToUtc(in, zone.olson, utc) && ToUnix(local) == want_local &&
                        ToUnix(utc) == want_utc;
      EXPECT_TRUE(good) << WideToUtf8(zone.olson) << " at " << at
                        << " (seconds since 1970): " << ToUnix(local) << " local and "
                        << ToUnix(utc) << " UTC; tz says " << want_local << " and " << want_utc;
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
