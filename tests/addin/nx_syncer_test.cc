// One sync run as the add-in makes it: the rules it derives from the account and settings,
// the questions it asks, what it reports to the tray application, and a real run between
// the web calendar stand-in and the simulated Outlook.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <tuple>

#include "addin/hex_codec.h"
#include "addin/nx_syncer.h"
#include "addin/protected_map.h"
#include "addin/tray_link.h"
#include "addin/user_info.h"
#include "outlook/com_ref.h"
#include "platform/os_version.h"
#include "platform/ui.h"
#include "sim/outlook/object_model.h"
#include "sim/outlook/seed.h"
#include "tests/outlook/test_dispatch.h"
#include "tests/platform/env_guard.h"
#include "tests/support/memory_key_store.h"
#include "tests/support/temp_dir.h"
#include "tests/support/webcal_server.h"

namespace calendar_mirrow_addin {
namespace {

namespace fs = std::filesystem;
using platform::MessageBoxAnswer;
using platform::MessageBoxButtons;
using testing::EnvGuard;
using A = MessageBoxAnswer;

constexpr char kPassword[] = "pw-Secret&1";

TEST(NxSyncerRulesTest, DirectionAndNamesDerivedFromTheAccount) {
  const std::tuple<int32_t, const wchar_t*, SyncMode> kDirections[] = {
      {2, L"", kSyncToRight}, {3, L"", kSyncToLeft},       {1, L"", kTwoWay},
      {0, L"", kTwoWay},      {3, L"NXCAL", kSyncToRight}, {2, L"OUTLOOK", kSyncToLeft},
      {2, L"nxcal", kTwoWay}, {3, L"Outlook", kTwoWay},    {2, L"BOTH", kTwoWay}};
  for (const auto& [stored, setting, expected] : kDirections) {
    EXPECT_EQ(NxSyncer::Direction(stored, setting), expected) << stored << " " << setting;
  }
  const std::pair<const wchar_t*, const wchar_t*> kEmails[] = {
      {L"bob", L"bob@nexora.example"},
      {L"", L"@nexora.example"},
      {L"bob@elsewhere.nexora.example", L"bob@elsewhere.nexora.example"},
      {L"bob@", L"bob@"}};
  for (const auto& [given, completed] : kEmails) {
    EXPECT_EQ(NxSyncer::CompleteEmail(given), completed);
  }
  // Digests computed apart from this code; the second in UTF-8.
  EXPECT_EQ(NxSyncer::SyncDataFileName(L"ann@nexora.example", L"default", L"00AB12"),
            L"F4D56A2A9930BE8D5FA724033F46BDE2");
  EXPECT_EQ(NxSyncer::SyncDataFileName(L"j\u00fcrgen@nexora.example", L"work", L""),
            L"D50811D2498AB2F88D19675CCDB8C5A2");
  const std::pair<const char*, const wchar_t*> kReleases[] = {
      {"6.1.0-18-amd64", L"Linux-6.1"},
      {"4", L"Linux-4.0"},
      {"generic", L"Linux-0.0"},
      {"99999999999999999999.3", L"Linux-999999999.3"}};
  for (const auto& [release, text] : kReleases) {
    EXPECT_EQ(platform::LinuxVersionText(release), text) << release;
  }
}

// The account files in a private application-data folder, message boxes answered from a
// script (and recorded), the process-wide key store in memory and no proxy.
class NxSyncerTest : public ::testing::Test {
 protected:
  NxSyncerTest() {
    fs::create_directories(DataFiles());
    platform::SetMessageBoxHandler(
        [this](const std::wstring& text, const std::wstring& caption, MessageBoxButtons buttons) {
          boxes_.push_back(std::tuple(text, caption, buttons));
          if (answers_.empty()) return A::kOk;
          const A answer = answers_.front();
          answers_.erase(answers_.begin());
          return answer;
        });
  }
  ~NxSyncerTest() override { platform::SetMessageBoxHandler(nullptr); }

  fs::path DataFiles() const { return dir_.path() / "data/Nexora/Tidewell/data_files"; }
  void WriteUserInfo(const std::wstring& email, const std::wstring& password, int sync_mode) {
    ASSERT_TRUE(WriteProtectedMap(UserInfoFilePath(),
                                  {{"email", HexEncode(email)},
                                   {"password", HexEncode(password)},
                                   {"sync_mode", HexEncode(std::to_wstring(sync_mode))}},
                                  L"tray"));
  }
  void WriteSettings(const std::string& lines) {
    testing::WriteFileText(DataFiles() / "settings.txt", "[General]\n" + lines);
  }
  // Only the two files a test writes: no sync data was made.
  bool NoSyncData() const { return std::distance(fs::directory_iterator(DataFiles()), {}) == 2; }
  // One run; the messages it posted.
  std::vector<std::wstring> Run(IDispatch* application, bool manual, bool stop = false) {
    InProcessTrayLink tray;
    if (stop) tray.RequestStop();
    NxSyncer({&tray, session_.get(), L"Tidewell-test"}).Sync(application, manual);
    statuses_ = tray.StatusHistory();
    return tray.Messages();
  }
  void OpenSession(const std::string& ca_file) {
    std::string error;
    session_ = platform::OpenHttpSession("Tidewell-test", ca_file, &error, 10);
    ASSERT_NE(session_, nullptr) << error;
  }

  testing::TempDir dir_;
  EnvGuard data_{"XDG_DATA_HOME", (dir_.path() / "data").c_str()};
  EnvGuard config_{"XDG_CONFIG_HOME", (dir_.path() / "config").c_str()};
  EnvGuard zone_{"TZ", "UTC"};
  EnvGuard proxies_[4] = {{"https_proxy", nullptr},
                          {"HTTPS_PROXY", nullptr},
                          {"all_proxy", nullptr},
                          {"ALL_PROXY", nullptr}};
  testing::MemoryKeyStore keys_;
  testing::CapturedLog log_;
  std::unique_ptr<platform::HttpSession> session_;
  std::vector<A> answers_;
  std::vector<std::tuple<std::wstring, std::wstring, MessageBoxButtons>> boxes_;
  std::vector<std::wstring> statuses_;
  std::shared_ptr<sim::Store> store_ = sim::Store::Open("", nullptr);
  ComRef<IDispatch> outlook_{sim::NewApplication(store_)};
};

// A wrong answer for the buttons, or no handler at all, gives the safe answer.
TEST_F(NxSyncerTest, MessageBoxGivesTheSafeAnswerWithoutAHandlerOrForAWrongOne) {
  const std::tuple<MessageBoxButtons, A, A> kCases[] = {
      {MessageBoxButtons::kYesNo, A::kYes, A::kYes},
      {MessageBoxButtons::kYesNo, A::kOk, A::kNo},
      {MessageBoxButtons::kOk, A::kNo, A::kOk}};
  for (const auto& [buttons, given, expected] : kCases) {
    answers_ = {given};
    EXPECT_EQ(platform::ShowMessageBox(L"t", L"c", buttons), expected);
  }
  platform::SetMessageBoxHandler(nullptr);
  EXPECT_EQ(platform::ShowMessageBox(L"t", L"c", MessageBoxButtons::kYesNo), A::kNo);
  EXPECT_EQ(platform::ShowMessageBox(L"t", L"c", MessageBoxButtons::kOk), A::kOk);
}

TEST_F(NxSyncerTest, ConfirmDeletionsAsksPerSideAboveTenAndStopsAtTheFirstNo) {
  const auto text = [](const wchar_t* count, const wchar_t* from, const wchar_t* to) {
    return std::tuple(std::wstring(L"Tidewell has detected that you have deleted ") + count +
                          L" events from your " + from + L". This will delete " + count +
                          L" events from your " + to + L".\nProceed with the operation?",
                      std::wstring(L"Tidewell: Warning"), MessageBoxButtons::kYesNo);
  };
  const auto web_side = text(L"11", L"Outlook calendar", L"Nexora Calendar");
  const auto outlook_side = text(L"50", L"Nexora Calendar", L"Outlook calendar");
  const struct {
    int32_t web_deletes, outlook_deletes;
    std::vector<A> answers;
    bool proceed;
    std::vector<std::tuple<std::wstring, std::wstring, MessageBoxButtons>> boxes;
  } kCases[] = {
      {10, 10, {}, true, {}},
      {11, 50, {A::kYes, A::kYes}, true, {web_side, outlook_side}},
      {11, 50, {A::kNo, A::kYes}, false, {web_side}},
      {11, 50, {A::kYes, A::kNo}, false, {web_side, outlook_side}},
      {0, 50, {A::kYes}, true, {outlook_side}},
  };
  for (const auto& c : kCases) {
    boxes_.clear();
    answers_ = c.answers;
    SyncStats stats;
    stats.left.deletes = c.web_deletes;
    stats.right.deletes = c.outlook_deletes;
    stats.left.imports = stats.right.updates = 99;  // only deletions count
    EXPECT_EQ(NxSyncer::ConfirmDeletions(stats), c.proceed);
    EXPECT_EQ(boxes_, c.boxes) << c.web_deletes << "/" << c.outlook_deletes;
  }
}

TEST_F(NxSyncerTest, IdentityNamesProductSystemOutlookAndStoredMode) {
  testing::TestDispatch application;
  application.Answer(L"Name", [](WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*) {
    result->vt = VT_BSTR;
    result->bstrVal = SysAllocString(L"Outlook");
    return S_OK;
  });
  EXPECT_EQ(ClientIdentity(&application), L"");  // no Version
  const std::wstring os = platform::OsVersionText();
  EXPECT_TRUE(std::regex_match(os, std::wregex(L"Linux-[0-9]+\\.[0-9]+"))) << os;
  const std::wstring prefix = L"Nexora-Mirrow-0.9.4.1 " + os + L" Outlook-16.0.0.0 Mode-";
  EXPECT_EQ(ClientIdentity(outlook_.get()), prefix + L"1");  // no account file: the default
  WriteUserInfo(L"ann@nexora.example", L"pw", 3);
  EXPECT_EQ(ClientIdentity(outlook_.get()), prefix + L"3");
}

TEST_F(NxSyncerTest, AccountRulesBeforeTheOutlookLogOnWhichFailsWithoutSyncData) {
  const struct {
    const wchar_t* stored;
    const char* setting;
    const char* user_line;
    bool asks;
  } kCases[] = {
      {L"", "", "user = @nexora.example\n", true},
      {L"bob", "", "user = bob@nexora.example\n", false},
      {L"bob", "EMAIL=carol@other.nexora.example\n", "user = carol@other.nexora.example\n", false},
  };
  testing::TestDispatch refusing;  // answers nothing, so GetNamespace fails
  OpenSession("");
  for (const auto& c : kCases) {
    log_.Clear();
    boxes_.clear();
    WriteUserInfo(c.stored, Utf8ToWide(kPassword), 1);
    WriteSettings(c.setting);
    const auto messages = Run(&refusing, false);
    ASSERT_EQ(messages.size(), 1u) << c.user_line;
    EXPECT_TRUE(
        messages[0].starts_with(L"Tidewell: Error syncing your calendar. Error code: 2006."))
        << WideToUtf8(messages[0]);
    const std::string log = log_.Text();
    EXPECT_NE(log.find(c.user_line), std::string::npos) << log;
    EXPECT_NE(log.find("SEVERE: Unable to logon into Outlook.\n"), std::string::npos);
    EXPECT_EQ(log.find(kPassword), std::string::npos);
    EXPECT_TRUE(NoSyncData());
    ASSERT_EQ(boxes_.size(), c.asks ? 1u : 0u);
    if (c.asks) {
      EXPECT_EQ(boxes_[0], std::tuple(std::wstring(L"Username and password do not match. You "
                                                   L"provided . Please enter your full email "
                                                   L"address (including @nexora.example)."),
                                      std::wstring(L"Error"), MessageBoxButtons::kOk));
      EXPECT_NE(log.find("SEVERE: Empty email address\n"), std::string::npos);
    }
  }
}

TEST_F(NxSyncerTest, OfflineRunsStaySilentUnlessManualAndCancelledRunsPostNothing) {
  WriteUserInfo(L"ann@nexora.example", Utf8ToWide(kPassword), 1);
  // Nothing listens there: the log-in cannot connect.
  WriteSettings("NXCAL_SERVER=https://127.0.0.1:1\nORVIA_SERVER=https://127.0.0.1:1\n");
  OpenSession("");
  const std::wstring offline = L"Please connect to the internet to use Tidewell.";
  const struct {
    bool manual, stop;
    std::vector<std::wstring> posted;
  } kCases[] = {{false, false, {}}, {true, false, {offline}}, {true, true, {}}};
  for (const auto& c : kCases) {
    EXPECT_EQ(Run(outlook_.get(), c.manual, c.stop), c.posted) << c.manual << c.stop;
    EXPECT_TRUE(NoSyncData());
  }
  // An address that is not HTTPS would carry the password in clear text: no log-in at all.
  WriteSettings("ORVIA_SERVER=http://127.0.0.1:1\n");
  log_.Clear();
  EXPECT_EQ(Run(outlook_.get(), true), std::vector<std::wstring>{});
  EXPECT_NE(log_.Text().find("SEVERE: Unable to login into NxCal.\n"), std::string::npos);
}

// Against the web calendar stand-in.
class NxSyncerWebTest : public NxSyncerTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ready());
    Admin("POST", "accounts",
          std::string(R"({"email":"ann@nexora.example","password":")") + kPassword + R"("})");
    OpenSession(server_.ca_file());
    WriteUserInfo(L"ann@nexora.example", Utf8ToWide(kPassword), 1);
  }
  void Admin(const char* method, const std::string& path, const std::string& json) {
    ASSERT_EQ(server_.Admin(method, path, json)[0], '{') << path << " " << json;
  }
  void Settings(const std::string& more) {
    WriteSettings("NXCAL_SERVER=" + server_.service_url() +
                  "\nORVIA_SERVER=" + server_.accounts_url() + "\n" + more);
  }
  void DeleteOnTheWeb(const std::string& uid) {
    Admin("POST", "edit", R"({"email":"ann@nexora.example","uid":")" + uid + R"(","delete":true})");
  }
  std::vector<std::wstring> OutlookTitles() const {
    std::vector<std::wstring> titles;
    for (const auto& [number, item] : store_->items()) {
      const auto* subject = item.Find(sim::kPrSubjectW);
      titles.push_back(subject != nullptr ? std::get<std::wstring>(subject->second) : L"");
    }
    std::sort(titles.begin(), titles.end());
    return titles;
  }

  testing::WebcalServer server_;
};

TEST_F(NxSyncerWebTest, RunsInTheConfiguredDirectionAskBeforeManyDeletionsAndPostFailures) {
  Admin("POST", "entries",
        R"({"email":"ann@nexora.example","calendar":"default","entries":[)"
        R"({"uid":"web-1@nexora.example","title":"Web standup",)"
        R"("start":"2026-05-04T09:00:00.000Z","end":"2026-05-04T09:30:00.000Z"}]})");
  Admin("POST", "entries",
        R"({"email":"ann@nexora.example","calendar":"default",)"
        R"("generate":{"count":10,"start":"2026-05-06T09:00:00Z"}})");
  sim::AppointmentSeed seed;
  seed.subject = L"Outlook lunch";
  seed.start = 134'224'560'000'000'000ULL;  // 2026-05-05T12:00:00Z
  ASSERT_FALSE(sim::AddAppointment(*store_, seed).empty());
  const auto on_the_web = [&](const char* title) {
    return server_.Admin("GET", "entries?email=ann@nexora.example", "").find(title) !=
           std::string::npos;
  };

  // Web calendar to Outlook only: the Outlook event stays where it is.
  Settings("SYNC_MODE=NXCAL\n");
  EXPECT_EQ(Run(outlook_.get(), false), std::vector<std::wstring>{}) << log_.Text();
  const auto titles = OutlookTitles();
  EXPECT_EQ(titles.size(), 12u);
  EXPECT_EQ(titles.back(), L"Web standup");  // sorted: Event n, Outlook lunch, Web standup
  EXPECT_FALSE(on_the_web("Outlook lunch"));
  EXPECT_EQ(statuses_.at(0), L"Logging into Nexora Calendar");
  const std::string sync_data = WideToUtf8(NxSyncer::SyncDataFileName(
      L"ann@nexora.example", L"default", sim::HexText(store_->folder_entry_id())));
  EXPECT_TRUE(fs::exists(DataFiles() / sync_data)) << log_.Text();
  EXPECT_NE(log_.Text().find("Sync data file to use: " + sync_data + "\n"), std::string::npos);

  // Both ways.
  Settings("");
  EXPECT_EQ(Run(outlook_.get(), false), std::vector<std::wstring>{}) << log_.Text();
  EXPECT_TRUE(on_the_web("Outlook lunch"));
  EXPECT_EQ(OutlookTitles().size(), 12u);
  EXPECT_EQ(log_.Text().find(kPassword), std::string::npos);

  // Eleven events deleted on the web: declined, Outlook keeps them; accepted, they go.
  DeleteOnTheWeb("web-1@nexora.example");
  for (int n = 1; n <= 10; ++n) DeleteOnTheWeb("gen-" + std::to_string(n) + "@nexora.example");
  answers_ = {A::kNo};
  EXPECT_EQ(Run(outlook_.get(), false), std::vector<std::wstring>{});
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_NE(std::get<0>(boxes_[0]).find(L"deleted 11 events from your Nexora Calendar"),
            std::wstring::npos);
  EXPECT_EQ(OutlookTitles().size(), 12u);
  answers_ = {A::kYes};
  EXPECT_EQ(Run(outlook_.get(), false), std::vector<std::wstring>{});
  EXPECT_EQ(boxes_.size(), 2u);
  EXPECT_EQ(OutlookTitles(), std::vector<std::wstring>{L"Outlook lunch"});

  // A calendar that cannot be loaded posts its text; a refused log-in the preset one (the
  // token of the last run would still let the next in).
  Admin("POST", "faults", R"({"method":"GET","path_prefix":"/calendar/","status":503})");
  auto posted = Run(outlook_.get(), false);
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_TRUE(posted[0].starts_with(L"Tidewell: Error syncing your calendar. Error code: 2016."))
      << WideToUtf8(posted[0]);
  Admin("POST", "tokens/expire", "{}");
  WriteUserInfo(L"ann", L"wrong", 1);
  EXPECT_EQ(Run(outlook_.get(), false),
            std::vector<std::wstring>{L"Username and password do not match. You provided "
                                      L"ann@nexora.example. Please enter your full email address "
                                      L"(including @nexora.example)."});
}

}  // namespace
}  // namespace calendar_mirrow_addin
