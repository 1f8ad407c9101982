// The Linux side of the platform seam: atomic replacement, the settings file, the folders,
// the per-user store, machine-zone times and data protection.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "base/app_folders.h"
#include "base/local_time.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/profile.h"
#include "platform/protect.h"
#include "platform/store.h"
#include "tests/platform/env_guard.h"
#include "tests/support/system_time_builders.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin {
namespace {

namespace fs = std::filesystem;
using platform::DeleteStoreValue;
using platform::ProtectData;
using platform::UnprotectData;
using platform::WriteStoreValue;
using testing::At;
using testing::EnvGuard;
using testing::ReadFileText;
using testing::Show;

// The tray application and the add-in both replace the same protected files. Whatever the
// interleaving, a reader meets one writer's whole file, never a mixture or a part, and no
// writer fails because of the other.
TEST(ReplaceFileAtomicallyTest, RacingWritersPublishOnlyWholeFiles) {
  testing::TempDir dir;
  const std::string path = (dir.path() / "user_properties.txt").string();
  const std::string contents[] = {std::string(200000, 'a'), std::string(150000, 'b')};
  ASSERT_TRUE(platform::ReplaceFileAtomically(path, contents[0], nullptr));
  std::atomic<int> failures = 0, running = 2, torn = 0;
  {
    std::vector<std::jthread> writers;
    for (const std::string& content : contents) {
      writers.emplace_back([&] {
        for (int i = 0; i < 100; ++i) {
          failures += !platform::ReplaceFileAtomically(path, content, nullptr);
        }
        --running;
      });
    }
    while (running > 0) {
      const std::string seen = ReadFileText(path);
      torn += seen != contents[0] && seen != contents[1];
    }
  }
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);  // no temporary left
  EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST(ProfileTest, ReadsTheFirstGeneralSectionWithItsNamingQuotingAndLengthRules) {
  testing::TempDir dir;
  const std::string path = (dir.path() / "settings.txt").string();
  EXPECT_EQ(platform::GetProfileString(path, L"General", L"EMAIL", L"a@b"), L"a@b");  // no file
  const std::string file =
      "EMAIL=before-any-section\n; SYNC_MODE=commented\n[Other]\nEMAIL=other@x\n"
      "  [ general ]  \n  sync_mode =  OUTLOOK  \nNXCAL_ID=\"  spaced id  \"\n"
      "PROFILE='Work'\nMIXED=\"half'\nLONE=\"\nURL=https://host/a=b\nEMPTY=\n"
      "ID=first\nID=second\nNOVALUE\n[GENERAL]\nID=third\nEMAIL=later@x\n";
  const std::string long_value = std::string(258, 'c') + "\xF0\x9F\x98\x80";
  const std::tuple<std::string, const wchar_t*, const wchar_t*, std::wstring> cases[] = {
      {file, L"SYNC_MODE", L"General", L"OUTLOOK"},
      {file, L"nxcal_id", L"General", L"  spaced id  "},
      {file, L"PROFILE", L"General", L"Work"},
      {file, L"MIXED", L"General", L"\"half'"},
      {file, L"LONE", L"General", L"\""},
      {file, L"URL", L"General", L"https://host/a=b"},
      {file, L"EMPTY", L"General", L""},
      {file, L"ID", L"General", L"first"},
      {file, L"EMAIL", L"General", L"-"},
      {file, L"NOVALUE", L"General", L"-"},
      {file, L"ID", L"Missing", L"-"},
      // UTF-8 with a byte-order mark and CR LF; values cut to 259 UTF-16 units, a last
      // character needing two units where only one is left being left out whole.
      {"\xEF\xBB\xBF[General]\r\nNAME=J\xC3\xBCrgen \xF0\x9F\x98\x80\r\n", L"NAME", L"General",
       L"J\u00fcrgen \U0001F600"},
      {"[General]\nK=" + std::string(400, 'b') + "\n", L"K", L"General", std::wstring(259, L'b')},
      {"[General]\nK=" + long_value + "\n", L"K", L"General", std::wstring(258, L'c')}};
  for (const auto& [content, key, section, expected] : cases) {
    testing::WriteFileText(path, content);
    EXPECT_EQ(platform::GetProfileString(path, section, key, L"-"), expected) << WideToUtf8(key);
  }
}

TEST(FoldersTest, ComeFromAbsoluteXdgVariablesElseHome) {
  EnvGuard home("HOME", "/home/ana/");
  for (const char* xdg : {"/srv/x/", "relative/path", static_cast<const char*>(nullptr)}) {
    EnvGuard data("XDG_DATA_HOME", xdg), config("XDG_CONFIG_HOME", xdg);
    const bool used = xdg != nullptr && xdg[0] == '/';  // relative ones are invalid
    EXPECT_EQ(platform::LocalAppDataFolder(), used ? "/srv/x" : "/home/ana/.local/share");
    EXPECT_EQ(platform::LocalConfigFolder(), used ? "/srv/x" : "/home/ana/.config");
    EXPECT_EQ(ApplicationDataFolder(),
              used ? L"/srv/x/Nexora/Tidewell/" : L"/home/ana/.local/share/Nexora/Tidewell/");
  }
}

class StoreTest : public ::testing::Test {
 protected:
  fs::path StoreFolder() const { return home_.path() / "Nexora" / "Tidewell" / "store"; }
  std::string Read(const std::string& key_path, const std::string& name) {
    std::string bytes = "<absent>";
    platform::ReadStoreValue(key_path, name, &bytes);
    return bytes;
  }

  testing::TempDir home_;
  EnvGuard config_{"XDG_CONFIG_HOME", home_.path().c_str()};
};

TEST_F(StoreTest, ValuesRoundTripIgnoringCaseAndDeleteOneAtATime) {
  const std::string key = "Software\\Nexora\\Tidewell", binary("\x00\x01\xff\n=", 5);
  ASSERT_TRUE(WriteStoreValue(key, "LastFetch", binary));
  ASSERT_TRUE(WriteStoreValue(key, "Other", "old"));
  ASSERT_TRUE(WriteStoreValue(key, "OTHER", ""));
  EXPECT_EQ(std::tuple(Read("SOFTWARE\\nexora\\TIDEWELL", "lastfetch"), Read(key, "other"),
                       Read(key, "Missing")),
            std::tuple(binary, "", "<absent>"));
  EXPECT_TRUE(DeleteStoreValue(key, "lastfetch"));
  EXPECT_FALSE(DeleteStoreValue(key, "LastFetch"));
  EXPECT_EQ(Read(key, "Other"), "");
  EXPECT_TRUE(DeleteStoreValue(key, "Other"));
  EXPECT_TRUE(fs::is_empty(StoreFolder()));  // The file goes with its last value.

  // A damaged file reads as absent and is replaced on the next write.
  ASSERT_TRUE(WriteStoreValue(key, "A", "1"));
  const fs::path file = fs::directory_iterator(StoreFolder())->path();
  const std::string good = ReadFileText(file);
  testing::WriteFileText(file, good.substr(0, good.size() - 1));  // Length says more.
  EXPECT_EQ(Read(key, "A"), "<absent>");
  ASSERT_TRUE(WriteStoreValue(key, "B", "2"));
  EXPECT_EQ(Read(key, "B"), "2");
  EXPECT_EQ(Read(key, "A"), "<absent>");
}

TEST_F(StoreTest, KeyPathsStayInsideTheStoreAndNeverCollide) {
  const std::string paths[] = {"../../escape", "..", "a/b", "a\\b", "a_b", "a%5Cb", "/etc/x"};
  for (const std::string& path : paths) ASSERT_TRUE(WriteStoreValue(path, "v", path)) << path;
  for (const std::string& path : paths) EXPECT_EQ(Read(path, "v"), path);
  size_t files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(home_.path())) {
    if (!entry.is_regular_file()) continue;
    EXPECT_EQ(entry.path().parent_path(), StoreFolder()) << entry.path();
    ++files;
  }
  EXPECT_EQ(files, std::size(paths));  // One file each; no temporary files left over.
  EXPECT_FALSE(WriteStoreValue("", "v", "x"));
  EXPECT_FALSE(WriteStoreValue(std::string(300, 'k'), "v", "x"));
}

TEST(MachineTimeTest, ConvertsThroughTheMachineZoneAndRefusesInvalidFields) {
  // POSIX rule strings need no zone database on the machine.
  const char* new_york = "EST5EDT,M3.2.0,M11.1.0";
  const char* sydney = "AEST-10AEDT,M10.1.0,M4.1.0/3";
  const struct {
    const char* zone;
    bool to_utc;
    SystemTime from;
    std::vector<int> day_hour_minute;  // expected
  } cases[] = {
      {new_york, false, At(2026, 1, 15, 17, 0), {15, 12, 0}},
      {new_york, false, At(2026, 7, 15, 16, 0), {15, 12, 0}},
      {new_york, true, At(2026, 7, 15, 22, 30), {16, 2, 30}},  // the date changes too
      // 2026-03-08 02:30 does not exist and 2026-11-01 01:30 happens twice: both are read
      // as daylight time; just outside them the ordinary offsets apply.
      {new_york, true, At(2026, 3, 8, 2, 30), {8, 6, 30}},
      {new_york, true, At(2026, 11, 1, 1, 30), {1, 5, 30}},
      {new_york, true, At(2026, 3, 8, 1, 59), {8, 6, 59}},
      {new_york, true, At(2026, 3, 8, 3, 0), {8, 7, 0}},
      {new_york, true, At(2026, 11, 1, 2, 0), {1, 7, 0}},
      // Southern zone: daylight time spans the year end; the repeated hour is in April.
      {sydney, false, At(2026, 12, 31, 14, 0), {1, 1, 0}},
      {sydney, false, At(2026, 6, 30, 14, 0), {1, 0, 0}},
      {sydney, true, At(2026, 4, 5, 2, 30), {4, 15, 30}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.zone << " " << c.to_utc << " " << Show(c.from));
    testing::EnvGuard tz("TZ", c.zone);
    const auto t = c.to_utc ? MachineLocalToUtc(c.from) : MachineUtcToLocal(c.from);
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(std::vector<int>({t->day, t->hour, t->minute}), c.day_hour_minute);
  }
  testing::EnvGuard tz("TZ", "UTC0");
  EXPECT_FALSE(MachineLocalToUtc(At(2026, 2, 30, 0, 0)));
  EXPECT_FALSE(MachineUtcToLocal(At(2026, 13, 1, 0, 0)));
}

class ProtectTest : public ::testing::Test {
 protected:
  std::string Protect(std::string_view plain, const std::wstring& description = L"desc") {
    std::string blob;
    EXPECT_TRUE(ProtectData(plain, description, &blob));
    return blob;
  }

  testing::TempDir home_;
  testing::EnvGuard config_{"XDG_CONFIG_HOME", home_.path().c_str()};
  std::string plain_;
};

TEST_F(ProtectTest, RoundTripsAnyBytesWithAFreshNonceAndFailsOnAnyChange) {
  // Concurrent first uses agree on one key, and any bytes round-trip.
  std::string blobs[8];
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < 8; ++i)
      threads.emplace_back([&blobs, i, this] { blobs[i] = Protect("x"); });
  }
  for (const std::string& each : blobs) EXPECT_TRUE(UnprotectData(each, &plain_));
  for (const std::string& plain :
       {std::string(), std::string("a\0\xff\n", 4), std::string(1e5, 'x')}) {
    std::string back = "stale";
    ASSERT_TRUE(UnprotectData(Protect(plain, L"User options \u00e9"), &back));
    EXPECT_EQ(back, plain);
  }
  EXPECT_EQ(Protect(std::string(1000, 'x')).find(std::string(32, 'x')), std::string::npos);
  EXPECT_NE(Protect("same"), Protect("same"));
  // Layout: magic 0-3, version 4, length 5-8, "desc" 9-12, nonce 13-24, data, tag (last 16).
  const std::string blob = Protect("user=4A00\n");
  ASSERT_EQ(blob.size(), 13u + 12 + 10 + 16);
  std::vector<std::string> bad = {blob + '\0', blob.substr(0, 50), blob.substr(0, 40), ""};
  for (size_t at : {0, 4, 5, 10, 15, 30, 50}) {
    bad.push_back(blob);
    bad.back()[at] ^= 0x01;
  }
  for (const std::string& altered : bad) {
    std::string plain = "untouched";
    EXPECT_FALSE(UnprotectData(altered, &plain)) << altered.size();
    EXPECT_EQ(plain, "untouched");
  }
}

TEST_F(ProtectTest, KeyFileIsCreatedOnceOwnerOnlyAndNeverReplacedOrTrustedWhenExposed) {
  const fs::path key_file = home_.path() / "Nexora" / "Tidewell" / "protect.key";
  const std::string blob = Protect("secret");
  EXPECT_EQ(fs::status(key_file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  const std::string key = ReadFileText(key_file);
  EXPECT_EQ(key.size(), 32u);
  Protect("again");
  EXPECT_EQ(ReadFileText(key_file), key);
  EXPECT_EQ(std::distance(fs::directory_iterator(key_file.parent_path()), {}), 1);

  // A key others could have planted or read is refused, naming the file; a damaged key is
  // never replaced; a well-formed other key (another user's) reads nothing.
  struct Case {
    std::string content;
    mode_t mode;
    uid_t owner;          // added to this user's id
    const char* problem;  // null: the key is used
  } cases[] = {{key, 0644, 0, "is open to other users"},
               {key, 0620, 0, "is open to other users"},
               {key, 0600, 4242, "belongs to another user"},
               {"short", 0600, 0, "is damaged"},
               {std::string(33, 'k'), 0600, 0, "is damaged"},
               {std::string(32, 'k'), 0600, 0, nullptr},
               {key, 0600, 0, nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.problem ? c.problem : "usable");
    testing::WriteFileText(key_file, c.content);
    ASSERT_EQ(0, chmod(key_file.c_str(), c.mode));
    ASSERT_EQ(0, chown(key_file.c_str(), geteuid() + c.owner, getegid()));
    std::string plain, again, problem;
    EXPECT_EQ(UnprotectData(blob, &plain, &problem), c.content == key && !c.problem);
    EXPECT_EQ(ProtectData("x", L"d", &again, &problem), !c.problem);
    EXPECT_EQ(problem, c.problem ? "the key file " + key_file.string() + " " + c.problem : "");
    EXPECT_EQ(ReadFileText(key_file), c.content);
    ASSERT_EQ(0, chown(key_file.c_str(), geteuid(), getegid()));
  }
}

}  // namespace
}  // namespace calendar_mirrow_addin
