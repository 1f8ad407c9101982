// `tidewell` run as a person runs it: a fresh home folder per test, the password on
// standard input, the outcome read from the exit status and the two output streams.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "addin/user_info.h"
#include "base/text.h"
#include "cli/arguments.h"
#include "cli/settings_file.h"
#include "platform/profile.h"
#include "sim/outlook/store.h"
#include "tests/platform/env_guard.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin::testing {
namespace {

class CliTest : public ::testing::Test {
 protected:
  // The same folders for this process, so that it can read what the command wrote.
  CliTest()
      : data_("XDG_DATA_HOME", (home_.path() / "data").c_str()),
        config_("XDG_CONFIG_HOME", (home_.path() / "config").c_str()),
        store_env_("TIDEWELL_OUTLOOK_STORE", nullptr) {}

  Outcome Run(const std::vector<std::string>& words, const std::string& input = "") {
    std::vector<std::string> argv{TIDEWELL_EXE};
    argv.insert(argv.end(), words.begin(), words.end());
    return ChildProcess(
               argv, EnvironmentWith({"HOME=" + home_.path().string(), "TZ=Europe/Berlin"}), input)
        .Finish(60);
  }

  std::filesystem::path DataFile(const char* name) const {
    return home_.path() / "data/Nexora/Tidewell/data_files" / name;
  }

  TempDir home_;
  EnvGuard data_, config_, store_env_;
};

TEST_F(CliTest, StatusAndOneLineReasons) {
  struct Case {
    std::vector<std::string> words;
    std::string input;
    int status;
    std::string expected;  // in stdout for status 0, else in stderr
  };
  const Case cases[] = {
      {{"--help"}, "", 0, "usage: tidewell account|outlook|diag|web"},
      {{"outlook", "add", "--help"}, "", 0, "--weekly MO,WE"},
      {{"bogus"}, "", 2, "unknown command bogus"},
      {{"outlook", "list", "--subject", "x"}, "", 2, "unknown option --subject for list"},
      {{"outlook", "add", "--subject"}, "", 2, "--subject needs a value"},
      {{"account", "--email", "ann@nexora.example", "--password=x"},
       "",
       2,
       "unknown option --password"},
      {{"account", "--email", "ann@nexora.example"}, "pw\n", 2, "give --password-stdin"},
      {{"account", "--email", "ann@nexora.example", "--password-stdin"}, "", 1, "no password"},
      {{"account", "--email", "ann@nexora.example", "--calendar", "a\nb", "--password-stdin"},
       "pw\n",
       2,
       "line break"},
      {{"account", "--show"}, "", 1, "no account is stored"},
      {{"account", "--email", "ann@nexora.example", "--server", "http://www.nexora.example",
        "--password-stdin"},
       "pw\n",
       2,
       "not an https:// address"},
      {{"diag", "convert", "2026-12-08T09:00", "--from", "Mars/Base", "--to", "UTC"},
       "",
       1,
       "unknown time zone Mars/Base"},
      {{"diag", "uid-from-goid", "12Z4"}, "", 1, "not a hexadecimal id: 12Z4"},
      {{"outlook", "add", "--subject", "x", "--start", "2026-13-01T09:00", "--end",
        "2026-12-01T10:00"},
       "",
       1,
       "not a time: \"2026-13-01T09:00\""},
      {{"outlook", "add", "--subject", "x", "--start", "2026-12-01T09:00", "--end",
        "2026-12-01T10:00", "--zone", "Nowhere/City"},
       "",
       1,
       "unknown time zone Nowhere/City"},
      {{"outlook", "add", "--subject", "x", "--start", "2026-12-01T09:00", "--end",
        "2026-12-01T10:00", "--count", "3"},
       "",
       2,
       "--count needs --daily"},
      {{"outlook", "show", "00"}, "", 1, "no item 00"},
  };
  for (const Case& c : cases) {
    const Outcome outcome = Run(c.words, c.input);
    SCOPED_TRACE(c.words.front() + " " + (c.words.size() > 1 ? c.words[1] : ""));
    EXPECT_EQ(outcome.status, c.status) << outcome.err;
    EXPECT_NE((c.status == 0 ? outcome.out : outcome.err).find(c.expected), std::string::npos)
        << outcome.out << outcome.err;
    if (c.status == 1) {
      EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1);
    }
  }
}

TEST_F(CliTest, AccountIsStoredProtectedAndShownWithoutThePassword) {
  const std::string password = "Tr0ub4dor&3";
  std::filesystem::create_directories(DataFile("").parent_path());
  std::ofstream(DataFile("settings.txt")) << "[General]\nProfile=Work\n[Other]\nNXCAL_ID=keep\n";
  const Outcome set =
      Run({"account", "--email", "ann@nexora.example", "--calendar", "team", "--mode",
           "outlook-to-web", "--server", "https://127.0.0.1:8443", "--password-stdin"},
          password + "\r\n");
  ASSERT_EQ(set.status, 0) << set.err;
  const Outcome show = Run({"account", "--show"});
  ASSERT_EQ(show.status, 0) << show.err;
  EXPECT_EQ(show.out, "email: ann@nexora.example\nmode: outlook-to-web\ncalendar: team\n");
  for (const Outcome* o : {&set, &show}) {
    EXPECT_EQ((o->out + o->err).find(password), std::string::npos);
  }

  const std::string file = ReadFileText(DataFile("user_info_2.txt"));
  EXPECT_EQ(file.find(password), std::string::npos);
  EXPECT_EQ(file.find("54007200"), std::string::npos);  // "Tr" as stored before protection
  struct stat info {};
  ASSERT_EQ(stat(DataFile("user_info_2.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  UserInfo read;
  ASSERT_TRUE(LoadUserInfo(Utf8ToWide(DataFile("user_info_2.txt").string()), read));
  EXPECT_EQ(read.password, Utf8ToWide(password));  // the line end is not part of it
  EXPECT_EQ(read.sync_mode, 3);
  EXPECT_EQ(read.delay_minutes, 120);
  const std::string settings = DataFile("settings.txt").string();
  EXPECT_EQ(platform::GetProfileString(settings, L"General", L"PROFILE", L""), L"Work");
  EXPECT_EQ(platform::GetProfileString(settings, L"Other", L"NXCAL_ID", L""), L"keep");
  EXPECT_EQ(platform::GetProfileString(settings, L"General", L"NXCAL_SERVER", L""),
            L"https://127.0.0.1:8443");

  // A second run without --mode keeps the stored mode and changes the e-mail.
  ASSERT_EQ(Run({"account", "--email", "bob@nexora.example", "--password-stdin"}, "x\n").status, 0);
  EXPECT_EQ(Run({"account", "--show"}).out,
            "email: bob@nexora.example\nmode: outlook-to-web\ncalendar: team\n");
}

TEST_F(CliTest, OutlookSeriesRoundTrip) {
  const Outcome series =
      Run({"outlook", "add", "--subject", "Standup", "--start", "2026-12-07T09:00", "--end",
           "2026-12-07T09:30", "--weekly", "mo,WE", "--count", "4"});
  ASSERT_EQ(series.status, 0) << series.err;
  const std::string id = series.out.substr(0, series.out.find('\n'));
  const Outcome single = Run({"outlook", "add", "--subject", "Lunch", "--start",
                              "2026-12-08T12:00Z", "--end", "2026-12-08T13:00Z"});
  ASSERT_EQ(single.status, 0) << single.err;
  const std::string lunch = single.out.substr(0, single.out.find('\n'));

  EXPECT_EQ(Run({"outlook", "edit", id, "--occurrence", "2026-12-09T09:00", "--move-to",
                 "2026-12-10T11:00"})
                .status,
            0);
  EXPECT_EQ(Run({"outlook", "edit", id, "--occurrence", "2026-12-14T09:00", "--cancel"}).status, 0);
  const Outcome again =
      Run({"outlook", "edit", id, "--occurrence", "2026-12-14T09:00", "--cancel"});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("no occurrence of the series starts at 2026-12-14T09:00"),
            std::string::npos);

  const Outcome listed = Run({"outlook", "list", "--from", "2026-12-08", "--to", "2026-12-31"});
  ASSERT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(listed.out, id +
                            "\t2026-12-07T09:00\t2026-12-07T09:30\tseries\tStandup\n"
                            "\toccurrence\t2026-12-10T11:00\t2026-12-10T11:30\tStandup\tchanged "
                            "from 2026-12-09T09:00\n"
                            "\toccurrence\t2026-12-16T09:00\t2026-12-16T09:30\tStandup\n" +
                            lunch + "\t2026-12-08T13:00\t2026-12-08T14:00\tsingle\tLunch\n");
  const Outcome shown = Run({"outlook", "show", id});
  EXPECT_NE(shown.out.find("days: MO,WE"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("exception: 2026-12-09T09:00 now 2026-12-10T11:00"), std::string::npos);
  EXPECT_NE(shown.out.find("exception: 2026-12-14T09:00 cancelled"), std::string::npos);

  EXPECT_EQ(Run({"outlook", "edit", lunch, "--subject", "Long lunch", "--end", "2026-12-08T14:30"})
                .status,
            0);
  EXPECT_EQ(Run({"outlook", "delete", id}).status, 0);
  EXPECT_EQ(Run({"outlook", "list"}).out,
            lunch + "\t2026-12-08T13:00\t2026-12-08T14:30\tsingle\tLong lunch\n");
}

// A series keeps the wall-clock time of its own zone across daylight-saving changes that
// the machine's zone makes on other dates, and lists its occurrences in the machine's time.
TEST_F(CliTest, OutlookSeriesLivesInItsZone) {
  const Outcome series =
      Run({"outlook", "add", "--subject", "Call", "--start", "2026-03-02T09:00", "--end",
           "2026-03-02T09:30", "--zone", "America/New_York", "--weekly", "MO", "--count", "3"});
  ASSERT_EQ(series.status, 0) << series.err;
  const std::string id = series.out.substr(0, series.out.find('\n'));
  EXPECT_EQ(Run({"outlook", "list", "--from", "2026-03-01", "--to", "2026-03-31"}).out,
            id + "\t2026-03-02T15:00\t2026-03-02T15:30\tseries\tCall\n"
                 "\toccurrence\t2026-03-02T15:00\t2026-03-02T15:30\tCall\n"
                 "\toccurrence\t2026-03-09T14:00\t2026-03-09T14:30\tCall\n"
                 "\toccurrence\t2026-03-16T14:00\t2026-03-16T14:30\tCall\n");
  // Without --zone a series takes the machine's zone and keeps its time there.
  const Outcome daily = Run({"outlook", "add", "--subject", "Gym", "--start", "2026-03-28T07:00",
                             "--end", "2026-03-28T08:00", "--daily", "--count", "2"});
  ASSERT_EQ(daily.status, 0) << daily.err;
  const std::string gym = daily.out.substr(0, daily.out.find('\n'));
  EXPECT_EQ(Run({"outlook", "list", "--from", "2026-03-28", "--to", "2026-03-30"}).out,
            gym +
                "\t2026-03-28T07:00\t2026-03-28T08:00\tseries\tGym\n"
                "\toccurrence\t2026-03-28T07:00\t2026-03-28T08:00\tGym\n"
                "\toccurrence\t2026-03-29T07:00\t2026-03-29T08:00\tGym\n");
}

TEST_F(CliTest, StoreHeldByAnotherProgramIsReportedPlainly) {
  const std::string path = (home_.path() / "held.sqlite").string();
  std::string error;
  auto held = sim::Store::Open(path, &error);
  ASSERT_TRUE(held) << error;
  const Outcome outcome = Run({"outlook", "--store", path, "list"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "tidewell: the store is in use (is `tidewell host` running?)\n");
}

TEST_F(CliTest, DiagLookups) {
  const Outcome goid = Run({"diag", "goid-from-uid", "abc-123@nexora.example"});
  ASSERT_EQ(goid.status, 0);
  EXPECT_EQ(goid.out.rfind("040000008200E00074C5B7101A82E008", 0), 0u) << goid.out;
  const Outcome uid = Run({"diag", "uid-from-goid", goid.out.substr(0, goid.out.size() - 1)});
  EXPECT_EQ(uid.out, "abc-123@nexora.example\n");
  const Outcome rule = Run({"diag", "rrule",
                            "DTSTART;TZID=Europe/Berlin:20260105T090000\n"
                            "DTEND;TZID=Europe/Berlin:20260105T100000\n"
                            "RRULE:FREQ=WEEKLY;BYDAY=MO;COUNT=6"});
  EXPECT_NE(rule.out.find("start: 2026-01-05T08:00:00.000Z (Europe/Berlin)"), std::string::npos);
  EXPECT_NE(rule.out.find("RRULE:FREQ=WEEKLY;COUNT=6;BYDAY=MO\n"), std::string::npos) << rule.out;
  EXPECT_EQ(Run({"diag", "rrule", "RRULE:FREQ=HOURLY"}).status, 1);
  struct Conversion {
    std::vector<std::string> words;
    std::string expected;
  };
  const Conversion conversions[] = {
      {{"2026-12-08T09:00", "--from", "Europe/Berlin", "--to", "America/New_York"},
       "2026-12-08T03:00:00\n"},
      {{"2026-07-08T09:00Z", "--to", "Europe/Berlin"}, "2026-07-08T11:00:00\n"},
      {{"2026-07-08T09:00", "--from", "Asia/Tokyo", "--to", "utc"}, "2026-07-08T00:00:00Z\n"},
  };
  for (const Conversion& c : conversions) {
    std::vector<std::string> words{"diag", "convert"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    EXPECT_EQ(Run(words).out, c.expected);
  }
}

TEST(SettingsFileTest, SetsOneKeyAndKeepsTheRest) {
  struct Case {
    std::string before;
    std::string after;
  };
  const Case cases[] = {
      {"", "[General]\nNXCAL_ID=v\n"},
      {"; note\n[general]\nnxcal_id = old\nPROFILE=p\n",
       "; note\n[general]\nNXCAL_ID=v\nPROFILE=p\n"},
      {"[General]\nPROFILE=p\n\n[Other]\nNXCAL_ID=x\n",
       "[General]\nPROFILE=p\nNXCAL_ID=v\n\n[Other]\nNXCAL_ID=x\n"},
      {"[Other]\nA=1", "[Other]\nA=1\n\n[General]\nNXCAL_ID=v\n"},
      {"[General]\r\nA=1\r\n", "[General]\r\nA=1\r\nNXCAL_ID=v\r\n"},
      // Only the first section of the name is read, so only that one is changed.
      {"[General]\nA=1\n[General]\nNXCAL_ID=y\n",
       "[General]\nA=1\nNXCAL_ID=v\n[General]\nNXCAL_ID=y\n"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(cli::WithSetting(c.before, "General", "NXCAL_ID", "v"), c.after);
}

TEST(SettingsFileTest, RefusesValuesThatWouldNotReadBack) {
  const std::pair<std::string, bool> cases[] = {
      {"team-2", true},
      {std::string(259, 'a'), true},
      {std::string(260, 'a'), false},
      {"a\nNXCAL_ID=b", false},
      {"a\rb", false},
      {" lead", false},
      {"trail ", false},
      {"\"quoted\"", false},
      {"", false},
      {"tab\there", false},
  };
  for (const auto& [value, usable] : cases) {
    EXPECT_EQ(!cli::SettingValueProblem(value).has_value(), usable) << value;
  }
}

TEST(ArgumentsTest, ReadsOptionsFlagsAndPositionals) {
  static const cli::OptionSpec kOptions[] = {{"name", true}, {"flag", false}};
  struct Case {
    std::vector<std::string> words;
    bool ok;
    std::string name;  // the value of --name, or the error
  };
  const Case cases[] = {
      {{"a", "--name", "v", "--flag"}, true, "v"},
      {{"--name=x=y", "b"}, true, "x=y"},
      {{"--", "--name"}, true, ""},
      {{"--name"}, false, "--name needs a value"},
      {{"--name=a", "--name=b"}, false, "--name is given twice"},
      {{"--flag=1"}, false, "--flag takes no value"},
      {{"-x"}, false, "unknown option -x"},
  };
  for (const Case& c : cases) {
    cli::Arguments args;
    std::string error;
    ASSERT_EQ(args.Parse(c.words, kOptions, &error), c.ok) << error;
    EXPECT_EQ(c.ok ? args.Value("name").value_or("") : error, c.name);
  }
}

}  // namespace
}  // namespace calendar_mirrow_addin::testing
