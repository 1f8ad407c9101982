#include "model/time_zone_map.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "base/logger.h"
#include "base/text.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

const TimeZoneMap& Map() { return TimeZoneMap::Instance(); }

std::string Narrow(const std::wstring& text) { return WideToUtf8(text); }

ZoneRule RegistryRule(const std::wstring& windows_key) {
  std::wstring label;
  ZoneRule rule;
  EXPECT_EQ(TimeZoneMap::ReadRegistryZone(windows_key, label, rule), 0) << Narrow(windows_key);
  return rule;
}

std::wstring RegistryLabel(const std::wstring& windows_key) {
  std::wstring label;
  ZoneRule rule;
  EXPECT_EQ(TimeZoneMap::ReadRegistryZone(windows_key, label, rule), 0) << Narrow(windows_key);
  return label;
}

// The Olson identifier found for an Outlook zone, or "(none)".
std::wstring Find(const ZoneRule& rule, const std::wstring& label) {
  std::wstring olson;
  return Map().FindOlsonName(rule, label, olson) ? olson : L"(none)";
}

// --- Compiled-in registry data ---------------------------------------------------------

struct DataRow {
  std::wstring key;
  std::wstring label;
  std::string tzi;
};

std::vector<DataRow> ReadDataFile() {
  std::ifstream in(TIDEWELL_WINDOWS_ZONES_TSV);
  std::vector<DataRow> rows;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t first = line.find('\t');
    const size_t second = line.find('\t', first + 1);
    const size_t third = line.find('\t', second + 1);
    rows.push_back({Utf8ToWide(line.substr(0, first)),
                    Utf8ToWide(line.substr(first + 1, second - first - 1)),
                    line.substr(second + 1, third - second - 1)});
  }
  return rows;
}

TEST(TimeZoneMapRegistryTest, EveryRowOfTheDataFileIsCompiledIn) {
  const std::vector<DataRow> rows = ReadDataFile();
  ASSERT_EQ(rows.size(), 87u);
  for (const DataRow& row : rows) {
    SCOPED_TRACE(Narrow(row.key));
    std::wstring label;
    ZoneRule rule;
    ASSERT_EQ(TimeZoneMap::ReadRegistryZone(row.key, label, rule), 0);
    EXPECT_EQ(label, row.label);
    ZoneRule expected;
    ASSERT_TRUE(ZoneRuleFromTziHex(row.tzi, &expected));
    EXPECT_EQ(ZoneRuleToHex(rule), ZoneRuleToHex(expected));
  }
}

TEST(TimeZoneMapRegistryTest, KeysMatchInAnyCaseAndUnknownKeysAreNotFound) {
  EXPECT_EQ(ZoneRuleToHex(RegistryRule(L"eastern STANDARD time")),
            ZoneRuleToHex(RegistryRule(L"Eastern Standard Time")));
  EXPECT_EQ(RegistryLabel(L"Eastern Standard Time"), L"(UTC-05:00) Eastern Time (US & Canada)");

  for (const std::wstring key : {L"", L"Nowhere Standard Time", L"Eastern Standard Time ",
                                 L"Eastern", L"America/New_York"}) {
    std::wstring label = L"untouched";
    ZoneRule rule;
    rule.bias = 7;
    EXPECT_EQ(TimeZoneMap::ReadRegistryZone(key, label, rule), 2) << Narrow(key);
    EXPECT_EQ(label, L"untouched");
    EXPECT_EQ(rule.bias, 7);
  }
}

// --- Olson identifier to Windows zone --------------------------------------------------

TEST(TimeZoneMapTest, OlsonIdentifiersTakeTheRuleAndLabelOfTheirWindowsZone) {
  const std::pair<const wchar_t*, const wchar_t*> kSamples[] = {
      {L"America/New_York", L"Eastern Standard Time"},
      {L"America/Indiana/Indianapolis", L"Eastern Standard Time"},
      {L"Africa/Abidjan", L"Greenwich Standard Time"},
      {L"Pacific/Wallis", L"Fiji Standard Time"},
      {L"Europe/Sarajevo", L"Central European Standard Time"},
      {L"Europe/Warsaw", L"Central Europe Standard Time"},
      {L"Asia/Istanbul", L"FLE Standard Time"},
      {L"Europe/Istanbul", L"GTB Standard Time"},
      {L"America/Mazatlan", L"Mexico Standard Time 2"},
      {L"America/Mexico_City", L"Central Standard Time (Mexico)"},
      {L"Asia/Yerevan", L"Armenian Standard Time"},
      {L"Indian/Maldives", L"West Asia Standard Time"},
      {L"Australia/Darwin", L"AUS Central Standard Time"},
  };
  for (const auto& [olson, windows_key] : kSamples) {
    SCOPED_TRACE(Narrow(olson));
    ZoneRule rule;
    ASSERT_TRUE(Map().GetZoneRule(olson, rule));
    EXPECT_EQ(ZoneRuleToHex(rule), ZoneRuleToHex(RegistryRule(windows_key)));
    std::wstring label;
    ASSERT_TRUE(Map().GetDisplayLabel(olson, label));
    EXPECT_EQ(label, RegistryLabel(windows_key));
  }
}

TEST(TimeZoneMapTest, IdentifiersOutsideTheSecondTableAreUnknown) {
  // America/Indianapolis is what a US Eastern Outlook zone maps to, yet it has no rule of
  // its own; neither have the other zones known only by their Windows side.
  for (const wchar_t* olson :
       {L"America/Indianapolis", L"Etc/GMT+12", L"Mars/Olympus_Mons", L"america/new_york", L""}) {
    SCOPED_TRACE(Narrow(olson));
    ZoneRule rule;
    EXPECT_FALSE(Map().GetZoneRule(olson, rule));
    std::wstring label = L"untouched";
    EXPECT_FALSE(Map().GetDisplayLabel(olson, label));
    EXPECT_EQ(label, L"untouched");
  }
}

// --- Outlook zone to Olson identifier --------------------------------------------------

// Installs a logger writing into a fresh folder for the life of the object.
class CapturedLog {
 public:
  CapturedLog()
      : previous_(SetLogger(std::make_unique<Logger>(Logger::INFO, dir_.wpath(), L"test.log"))) {}
  ~CapturedLog() { SetLogger(std::move(previous_)); }
  std::string Text() const { return testing::ReadFileText(dir_.path() / "test.log"); }

 private:
  testing::TempDir dir_;
  std::unique_ptr<Logger> previous_;
};

TEST(TimeZoneMapFindTest, FindsTheZoneByItsLabelWithoutLogging) {
  CapturedLog log;
  const ZoneRule unrelated;
  EXPECT_EQ(Find(unrelated, L"(UTC-05:00) Eastern Time (US & Canada)"), L"America/New_York");
  EXPECT_EQ(Find(unrelated, L"(UTC+05:45) Kathmandu"), L"Asia/Katmandu");
  // Armenian and Caucasus Standard Time share this label; the later row wins.
  EXPECT_EQ(Find(unrelated, L"(UTC+04:00) Yerevan"), L"Europe/Samara");
  EXPECT_EQ(log.Text(), "");
}

TEST(TimeZoneMapFindTest, AnUnknownLabelIsLoggedThenTriedAsAnOlsonIdentifier) {
  CapturedLog log;
  const ZoneRule unrelated;
  EXPECT_EQ(Find(unrelated, L"Europe/Vienna"), L"Europe/Vienna");
  // Not an identifier the map can convert, and the rule matches nothing.
  EXPECT_EQ(Find(unrelated, L"America/Indianapolis"), L"(none)");
  EXPECT_EQ(log.Text(),
            "Unable to get by label Europe/Vienna\n"
            "Unable to get by label America/Indianapolis\n");
}

TEST(TimeZoneMapFindTest, AnUnknownLabelFallsBackToTheRuleIgnoringTransitionHours) {
  CapturedLog log;
  // A label from another Windows language, with the transition hours of another source.
  ZoneRule rule = RegistryRule(L"W. Europe Standard Time");
  rule.standard_date.hour = 1;
  rule.daylight_date.hour = 1;
  const std::wstring label = L"(UTC+01:00) Amsterdam, Berlin, Bern, Rom, Stockholm, Wien \u00e9";
  EXPECT_EQ(Find(rule, label), L"Europe/Berlin");
  EXPECT_EQ(log.Text(), "Unable to get by label " + Narrow(label) + "\n");

  ZoneRule other_minute = rule;
  other_minute.daylight_date.minute = 30;
  EXPECT_EQ(Find(other_minute, label), L"(none)");
  ZoneRule other_bias = rule;
  other_bias.bias = -90;
  EXPECT_EQ(Find(other_bias, label), L"(none)");
}

TEST(TimeZoneMapFindTest, ZonesSharingARuleResolveToTheLaterRowOfTheFirstTable) {
  const std::wstring unknown = L"(UTC) Nowhere";
  // Eastern and US Eastern Standard Time: the latter wins, although its identifier has no
  // rule of its own.
  EXPECT_EQ(Find(RegistryRule(L"Eastern Standard Time"), unknown), L"America/Indianapolis");
  EXPECT_EQ(Find(RegistryRule(L"Pacific Standard Time"), unknown), L"America/Tijuana");
  // Central Europe, Central European, Romance and W. Europe Standard Time.
  EXPECT_EQ(Find(RegistryRule(L"Romance Standard Time"), unknown), L"Europe/Berlin");
  // Arab, Arabic, E. Africa, Jordan and Russian Standard Time.
  EXPECT_EQ(Find(RegistryRule(L"Arab Standard Time"), unknown), L"Europe/Moscow");
  // E. Europe, FLE, GTB and Middle East Standard Time differ only in their transition
  // hours, so they share a fuzzy key.
  EXPECT_EQ(Find(RegistryRule(L"FLE Standard Time"), unknown), L"Asia/Beirut");
  // The two derived Mexican rows.
  EXPECT_EQ(Find(RegistryRule(L"Mexico Standard Time"), unknown), L"America/Chihuahua");
}

TEST(TimeZoneMapFindTest, ZonesOnlyInTheFirstTableServeTheWayBack) {
  const ZoneRule unrelated;
  EXPECT_EQ(Find(unrelated, L"(UTC-12:00) International Date Line West"), L"Etc/GMT+12");
  EXPECT_EQ(Find(unrelated, L"(UTC-06:00) Mexico City"), L"America/Mexico_City");
  EXPECT_EQ(Find(unrelated, L"(UTC-05:00) Indiana (East)"), L"America/Indianapolis");

  // Mexico City converts with Central Standard Time (Mexico); the other two do not convert.
  std::wstring label;
  ASSERT_TRUE(Map().GetDisplayLabel(L"America/Mexico_City", label));
  EXPECT_EQ(label, L"(UTC-06:00) Guadalajara, Mexico City, Monterrey");
  SystemTime out;
  EXPECT_FALSE(Map().UtcToZoneLocal(SystemTime{2026, 1, 0, 1}, L"Etc/GMT+12", out));
  EXPECT_FALSE(Map().ZoneLocalToUtc(SystemTime{2026, 1, 0, 1}, L"America/Indianapolis", out));
}

// --- Conversions -------------------------------------------------------------------------

SystemTime FromUnixSeconds(int64_t seconds) {
  return *FileTimeToSystemTime(kUnixEpochFileTime +
                               static_cast<uint64_t>(seconds * kFileTimeTicksPerSecond));
}

int64_t ToUnixSeconds(const SystemTime& time) {
  return static_cast<int64_t>(*SystemTimeToFileTime(time) - kUnixEpochFileTime) /
         kFileTimeTicksPerSecond;
}

std::string Show(int64_t seconds) {
  const SystemTime t = FromUnixSeconds(seconds);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute);
  return text;
}

TEST(TimeZoneMapConversionTest, EmptyIdentifierIsUtcAndUnknownOnesFail) {
  const SystemTime when{2026, 7, 3, 9, 13, 45, 30, 250};
  SystemTime out;
  ASSERT_TRUE(Map().UtcToZoneLocal(when, L"", out));
  EXPECT_EQ(std::memcmp(&out, &when, sizeof when), 0);
  out = SystemTime{};
  ASSERT_TRUE(Map().ZoneLocalToUtc(when, L"", out));
  EXPECT_EQ(std::memcmp(&out, &when, sizeof when), 0);

  EXPECT_FALSE(Map().UtcToZoneLocal(when, L"Nowhere/City", out));
  EXPECT_FALSE(Map().ZoneLocalToUtc(when, L"Nowhere/City", out));
  const SystemTime invalid{2026, 2, 0, 30};
  EXPECT_FALSE(Map().UtcToZoneLocal(invalid, L"Europe/Paris", out));
  EXPECT_FALSE(Map().ZoneLocalToUtc(invalid, L"Europe/Paris", out));
}

TEST(TimeZoneMapConversionTest, SkippedAndRepeatedLocalTimesReadAsDaylightTime) {
  struct Case {
    const wchar_t* olson;
    SystemTime local;
    const char* utc;
  };
  const Case kCases[] = {
      // Skipped hours: the daylight offset applies, so the result lies before the jump.
      {L"America/New_York", {2026, 3, 0, 8, 2, 30}, "2026-03-08T06:30"},
      {L"Europe/London", {2026, 3, 0, 29, 1, 15}, "2026-03-29T00:15"},
      {L"Australia/Sydney", {2026, 10, 0, 4, 2, 45}, "2026-10-03T15:45"},
      {L"Australia/Adelaide", {2026, 10, 0, 4, 2, 30}, "2026-10-03T16:00"},
      {L"America/St_Johns", {2027, 3, 0, 14, 2, 0}, "2027-03-14T04:30"},
      // Repeated hours: the first, daylight, occurrence.
      {L"America/New_York", {2026, 11, 0, 1, 1, 30}, "2026-11-01T05:30"},
      {L"Europe/Paris", {2026, 10, 0, 25, 2, 59}, "2026-10-25T00:59"},
      {L"Pacific/Auckland", {2026, 4, 0, 5, 2, 0}, "2026-04-04T13:00"},
  };
  for (const Case& c : kCases) {
    SystemTime utc;
    ASSERT_TRUE(Map().ZoneLocalToUtc(c.local, c.olson, utc)) << Narrow(c.olson);
    EXPECT_EQ(Show(ToUnixSeconds(utc)), c.utc) << Narrow(c.olson);
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

const std::vector<TzZone>& TzZones() {
  static const std::vector<TzZone> zones = {
#include "tests/model/tz_expectations.inc"
  };
  return zones;
}

constexpr int64_t kRangeStart = 1735689600;  // 2025-01-01T00:00Z
constexpr int64_t kRangeEnd = 1830297600;    // 2028-01-01T00:00Z

int64_t OffsetSecondsAt(const TzZone& zone, int64_t utc) {
  int32_t offset = zone.initial_offset;
  for (const TzTransition& t : zone.transitions) {
    if (t.utc <= utc) offset = t.after;
  }
  return int64_t{offset} * 60;
}

// The earliest instant showing `local` on the zone's clocks, as tz reads a repeated time.
int64_t EarliestUtcShowing(const TzZone& zone, int64_t local) {
  std::vector<int64_t> offsets = {int64_t{zone.initial_offset} * 60};
  for (const TzTransition& t : zone.transitions) offsets.push_back(int64_t{t.after} * 60);
  int64_t earliest = INT64_MAX;
  for (int64_t offset : offsets) {
    const int64_t utc = local - offset;
    if (OffsetSecondsAt(zone, utc) == offset && utc < earliest) earliest = utc;
  }
  return earliest;
}

// Every hour of the range, and every quarter hour within three hours of a transition.
std::vector<int64_t> CheckedInstants(const TzZone& zone) {
  std::vector<int64_t> instants;
  for (int64_t utc = kRangeStart; utc <= kRangeEnd; utc += 3600) instants.push_back(utc);
  for (const TzTransition& t : zone.transitions) {
    for (int64_t utc = t.utc - 3 * 3600; utc <= t.utc + 3 * 3600; utc += 900) {
      instants.push_back(utc);
    }
  }
  return instants;
}

// Collects the first few mismatches of a zone so that a broken rule does not flood the log.
class Mismatches {
 public:
  void Add(const std::string& text) {
    if (++count_ <= 5) texts_ += "\n  " + text;
  }
  int count() const { return count_; }
  const std::string& texts() const { return texts_; }

 private:
  int count_ = 0;
  std::string texts_;
};

void CheckZoneAgainstTz(const TzZone& zone, Mismatches& mismatches) {
  for (int64_t utc : CheckedInstants(zone)) {
    const int64_t expected_local = utc + OffsetSecondsAt(zone, utc);
    SystemTime local;
    if (!Map().UtcToZoneLocal(FromUnixSeconds(utc), zone.olson, local)) {
      mismatches.Add("to local failed at " + Show(utc));
      continue;
    }
    if (ToUnixSeconds(local) != expected_local) {
      mismatches.Add(Show(utc) + "Z -> " + Show(ToUnixSeconds(local)) + ", tz says " +
                     Show(expected_local));
    }
    const int64_t expected_utc = EarliestUtcShowing(zone, expected_local);
    SystemTime back;
    if (!Map().ZoneLocalToUtc(FromUnixSeconds(expected_local), zone.olson, back)) {
      mismatches.Add("to UTC failed at " + Show(expected_local));
    } else if (ToUnixSeconds(back) != expected_utc) {
      mismatches.Add(Show(expected_local) + " -> " + Show(ToUnixSeconds(back)) + "Z, tz says " +
                     Show(expected_utc) + "Z");
    }
  }
}

// Zones whose Windows rule no longer matches the tz rules (Pacific SA, Egypt, Greenland,
// E. Europe, GTB and Greenwich Standard Time among them) are left out of the table; the
// generating script lists them with the reason.
TEST(TimeZoneMapConversionTest, AgreesWithTheTzDatabaseThrough2025To2027) {
  ASSERT_GE(TzZones().size(), 20u);
  for (const TzZone& zone : TzZones()) {
    Mismatches mismatches;
    CheckZoneAgainstTz(zone, mismatches);
    EXPECT_EQ(mismatches.count(), 0) << Narrow(zone.olson) << mismatches.texts();
  }
}

// Local times in a skipped hour never come from a UTC instant; Windows reads them with
// the daylight offset, i.e. as the instant that is that far past the jump's start.
TEST(TimeZoneMapConversionTest, SkippedLocalTimesOfEveryTzTransitionUseTheDaylightOffset) {
  int checked = 0;
  for (const TzZone& zone : TzZones()) {
    for (const TzTransition& t : zone.transitions) {
      if (t.after <= t.before) continue;
      for (int64_t local = t.utc + t.before * 60; local < t.utc + t.after * 60; local += 900) {
        SystemTime utc;
        ASSERT_TRUE(Map().ZoneLocalToUtc(FromUnixSeconds(local), zone.olson, utc));
        EXPECT_EQ(Show(ToUnixSeconds(utc)), Show(local - t.after * 60))
            << Narrow(zone.olson) << " local " << Show(local);
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 0);
}

}  // namespace
}  // namespace calendar_mirrow_addin
