#include "model/time_zone_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
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
  std::wstring label;
  ZoneRule rule;
};

RegistryZone Registry(const std::wstring& windows_key) {
  RegistryZone zone;
  EXPECT_EQ(TimeZoneMap::ReadRegistryZone(windows_key, zone.label, zone.rule), 0)
      << WideToUtf8(windows_key);
  return zone;
}

TEST(TimeZoneMapRegistryTest, EveryRowOfTheDataFileIsCompiledIn) {
  std::ifstream in(TIDEWELL_WINDOWS_ZONES_TSV);
  int rows = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    ++rows;
    // Key, label and TZI value, separated by tabs.
    const std::wstring wide = Utf8ToWide(line);
    const std::vector<std::wstring_view> fields = SplitTokens(wide, L"\t");
    ASSERT_GE(fields.size(), 3u) << line;
    const RegistryZone zone = Registry(std::wstring(fields[0]));
    EXPECT_EQ(zone.label, fields[1]) << line;
    ZoneRule expected;
    ASSERT_TRUE(ZoneRuleFromTziHex(WideToUtf8(std::wstring(fields[2])), &expected)) << line;
    EXPECT_EQ(ZoneRuleToHex(zone.rule), ZoneRuleToHex(expected)) << line;
  }
  EXPECT_EQ(rows, 87);
}

TEST(TimeZoneMapRegistryTest, KeysMatchInAnyCaseAndUnknownKeysAreNotFound) {
  const RegistryZone eastern = Registry(L"eastern STANDARD time");
  EXPECT_EQ(eastern.label, L"(UTC-05:00) Eastern Time (US & Canada)");
  EXPECT_EQ(ZoneRuleToHex(eastern.rule), ZoneRuleToHex(Registry(L"Eastern Standard Time").rule));
  for (const std::wstring key : {L"", L"Nowhere Standard Time", L"Eastern Standard Time ",
                                 L"Eastern", L"America/New_York"}) {
    RegistryZone zone{L"untouched", {7, 0, 0, {}, {}}};
    EXPECT_EQ(TimeZoneMap::ReadRegistryZone(key, zone.label, zone.rule), 2) << WideToUtf8(key);
    EXPECT_EQ(zone.label, L"untouched");
    EXPECT_EQ(zone.rule.bias, 7);
  }
}

TEST(TimeZoneMapTest, OlsonIdentifiersTakeTheRuleAndLabelOfTheirWindowsZone) {
  const std::pair<const wchar_t*, const wchar_t*> kSamples[] = {
      {L"America/Indiana/Indianapolis", L"Eastern Standard Time"},
      {L"Europe/Sarajevo", L"Central European Standard Time"},
      {L"Europe/Warsaw", L"Central Europe Standard Time"},
      {L"Asia/Istanbul", L"FLE Standard Time"},
      {L"Europe/Istanbul", L"GTB Standard Time"},
      {L"America/Mazatlan", L"Mexico Standard Time 2"},
      // Not Mexico Standard Time, although that zone's label leads back to it.
      {L"America/Mexico_City", L"Central Standard Time (Mexico)"},
      // Unknown. The first two serve only the way back from an Outlook zone (US Eastern and
      // Dateline Standard Time) and have no rule to convert with.
      {L"America/Indianapolis", nullptr},
      {L"Etc/GMT+12", nullptr},
      {L"Mars/Olympus_Mons", nullptr},
      {L"america/new_york", nullptr},
  };
  for (const auto& [olson, windows_key] : kSamples) {
    SCOPED_TRACE(WideToUtf8(olson));
    const bool known = windows_key != nullptr;
    const RegistryZone expected = known ? Registry(windows_key) : RegistryZone{L"untouched", {}};
    RegistryZone found{L"untouched", {}};
    EXPECT_EQ(Map().GetZoneRule(olson, found.rule), known);
    EXPECT_EQ(ZoneRuleToHex(found.rule), ZoneRuleToHex(expected.rule));
    EXPECT_EQ(Map().GetDisplayLabel(olson, found.label), known);
    EXPECT_EQ(found.label, expected.label);
    SystemTime out;
    EXPECT_EQ(Map().UtcToZoneLocal(testing::At(2026, 1, 1), olson, out), known);
    EXPECT_EQ(Map().ZoneLocalToUtc(testing::At(2026, 1, 1), olson, out), known);
  }
}

TEST(TimeZoneMapTest, TheEmptyIdentifierIsUtcAndInvalidTimesFail) {
  const SystemTime when{2026, 7, 3, 9, 13, 45, 30, 250};
  SystemTime out;
  ASSERT_TRUE(Map().UtcToZoneLocal(when, L"", out));
  EXPECT_EQ(std::memcmp(&out, &when, sizeof when), 0);
  out = SystemTime{};
  ASSERT_TRUE(Map().ZoneLocalToUtc(when, L"", out));
  EXPECT_EQ(std::memcmp(&out, &when, sizeof when), 0);
  EXPECT_FALSE(Map().UtcToZoneLocal(testing::At(2026, 2, 30), L"Europe/Paris", out));
  EXPECT_FALSE(Map().ZoneLocalToUtc(testing::At(2026, 2, 30), L"Europe/Paris", out));
}

// By label, then by the label as an identifier, then by the rule with transition hours
// ignored. Only a label match logs nothing.
TEST(TimeZoneMapTest, FindsTheOlsonIdentifierOfAnOutlookZone) {
  const ZoneRule unrelated;
  // The W. Europe rule with the transition hours of another source, and two real changes.
  ZoneRule berlin = Registry(L"W. Europe Standard Time").rule;
  berlin.standard_date.hour = 1;
  berlin.daylight_date.hour = 1;
  ZoneRule other_minute = berlin;
  other_minute.daylight_date.minute = 30;
  ZoneRule other_bias = berlin;
  other_bias.bias = -90;
  // A label from another Windows language.
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
      // Identifiers as labels; the second cannot convert, and the rule matches nothing.
      {unrelated, L"Europe/Vienna", L"Europe/Vienna", false},
      {unrelated, L"America/Indianapolis", L"(none)", false},
      {berlin, foreign, L"Europe/Berlin", false},
      {other_minute, foreign, L"(none)", false},
      {other_bias, foreign, L"(none)", false},
      // Zones sharing a rule resolve to the later row of the first table: Eastern and US
      // Eastern, though the latter has no rule of its own; Central Europe, Central
      // European, Romance and W. Europe; E. Europe, FLE, GTB and Middle East, which differ
      // in transition hours only; the two Mexican rows.
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

// What the tz database says about a zone (generated by tests/model/tz_expectations.py).
struct TzTransition {
  int64_t utc;  // seconds since 1970
  int32_t before;
  int32_t after;  // offsets, minutes east of UTC
};
struct TzZone {
  const wchar_t* olson;
  int32_t initial_offset;
  std::vector<TzTransition> transitions;
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
  int32_t offset = zone.initial_offset;
  for (const TzTransition& t : zone.transitions) {
    if (t.utc <= utc) offset = t.after;
  }
  return int64_t{offset} * 60;
}

// The instant a local time is read as: the earliest showing it (the daylight one of a
// repeated time); one in a skipped hour takes the daylight offset, as Windows does.
int64_t ExpectedUtc(const TzZone& zone, int64_t local) {
  std::vector<int64_t> offsets = {int64_t{zone.initial_offset} * 60};
  for (const TzTransition& t : zone.transitions) {
    if (local >= t.utc + t.before * 60 && local < t.utc + t.after * 60) return local - t.after * 60;
    offsets.push_back(int64_t{t.after} * 60);
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
  // Zones whose Windows rule no longer matches the tz rules (Pacific SA, Egypt, Greenland,
  // E. Europe, GTB and Greenwich Standard Time among them) are left out of the table; the
  // generating script lists them with the reason.
  ASSERT_GE(std::size(kTzZones), 20u);
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
    for (const TzTransition& t : zone.transitions) {
      for (int64_t at = -3 * 3600; good && at <= 3 * 3600; at += 900) {
        good = agrees(t.utc + at) && agrees(t.utc + t.before * 60 + at);
      }
    }
  }
}

}  // namespace
}  // namespace calendar_mirrow_addin
