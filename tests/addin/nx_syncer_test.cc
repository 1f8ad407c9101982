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
#include "addin/settings.h"
#include "addin/tray_link.h"
#include "addin/user_info.h"
#include "outlook/com_ref.h"
#include "outlook/outlook.h"
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

constexpr char kPassword[] = "pw-Secret&1";
const std::wstring kError2006 = L"Tidewell: Error syncing your calendar. Error code: 2006.";
const std::wstring kOffline = L"Please connect to the internet to use Tidewell.";

TEST(NxSyncerRulesTest, DirectionComesFromTheSettingElseTheStoredMode) {
  const std::tuple<int32_t, const wchar_t*, SyncMode> kCases[] = {
      {2, L"", kSyncToRight}, {3, L"", kSyncToLeft},       {1, L"", kTwoWay},
      {0, L"", kTwoWay},      {3, L"NXCAL", kSyncToRight}, {2, L"OUTLOOK", kSyncToLeft},
      {2, L"nxcal", kTwoWay}, {3, L"Outlook", kTwoWay},    {2, L"BOTH", kTwoWay}};
  for (const auto& [stored, setting, expected] : kCases) {
    EXPECT_EQ(NxSyncer::Direction(stored, setting), expected) << stored << " " << setting;
  }
}

TEST(NxSyncerRulesTest, NamesAndTextsDerivedFromTheAccount) {
  const std::pair<const wchar_t*, const wchar_t*> kEmails[] = {
      {L"bob", L"bob@nexora.example"},
      {L"", L"@nexora.example"},
      {L"bob@elsewhere.nexora.example", L"bob@elsewhere.nexora.example"},
      {L"bob@", L"bob@"}};
  for (const auto& [given, completed] : kEmails)
    EXPECT_EQ(NxSyncer::CompleteEmail(given), completed);
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
// script, the process-wide key store in memory and no proxy.
class NxSyncerTest : public ::testing::Test {
 protected:
  struct Box {
    std::wstring text, caption;
    MessageBoxButtons buttons;
  };

  NxSyncerTest() {
    fs::create_directories(DataFiles());
    platform::SetMessageBoxHandler(
        [this](const std::wstring& text, const std::wstring& caption, MessageBoxButtons buttons) {
          boxes_.push_back({text, caption, buttons});
          if (answers_.empty()) return MessageBoxAnswer::kOk;
          const MessageBoxAnswer answer = answers_.front();
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
  std::vector<std::string> DataFileNames() const {
    std::vector<std::string> names;
    for (const auto& file : fs::directory_iterator(DataFiles())) {
      names.push_back(file.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
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
  std::vector<MessageBoxAnswer> answers_;
  std::vector<Box> boxes_;
  std::vector<std::wstring> statuses_;
  std::shared_ptr<sim::Store> store_ = sim::Store::Open("", nullptr);
  ComRef<IDispatch> outlook_{sim::NewApplication(store_)};
};

TEST_F(NxSyncerTest, MessageBoxGivesTheSafeAnswerWithoutAHandlerOrForAWrongOne) {
  using A = MessageBoxAnswer;
  const std::tuple<MessageBoxButtons, A, A> kCases[] = {
      {MessageBoxButtons::kYesNo, A::kYes, A::kYes},
      {MessageBoxButtons::kYesNo, A::kOk, A::kNo},
      {MessageBoxButtons::kOk, A::kNo, A::kOk}};
  for (const auto& [buttons, given, expected] : kCases) {
    answers_ = {given};
    EXPECT_EQ(platform::ShowMessageBox(L"t", L"c", buttons), expected);
  }
  EXPECT_EQ(boxes_.size(), 3u);
  platform::SetMessageBoxHandler(nullptr);
  EXPECT_EQ(platform::ShowMessageBox(L"t", L"c", MessageBoxButtons::kYesNo), A::kNo);
  EXPECT_EQ(platform::ShowMessageBox(L"t", L"c", MessageBoxButtons::kOk), A::kOk);
}

TEST_F(NxSyncerTest, ConfirmDeletionsAsksPerSideAboveTenAndStopsAtTheFirstNo) {
  const std::wstring kWebSide =
      L"Tidewell has detected that you have deleted 11 events from your Outlook calendar. This "
      L"will delete 11 events from your Nexora Calendar.\nProceed with the operation?";
  const std::wstring kOutlookSide =
      L"Tidewell has detected that you have deleted 50 events from your Nexora Calendar. This "
      L"will delete 50 events from your Outlook calendar.\nProceed with the operation?";
  using A = MessageBoxAnswer;
  const struct {
    int32_t web_deletes, outlook_deletes;
    std::vector<A> answers;
    bool proceed;
    std::vector<std::wstring> texts;
  } kCases[] = {
      {10, 10, {}, true, {}},
      {11, 50, {A::kYes, A::kYes}, true, {kWebSide, kOutlookSide}},
      {11, 50, {A::kNo, A::kYes}, false, {kWebSide}},
      {11, 50, {A::kYes, A::kNo}, false, {kWebSide, kOutlookSide}},
      {0, 50, {A::kYes}, true, {kOutlookSide}},
  };
  for (const auto& c : kCases) {
    boxes_.clear();
    answers_ = c.answers;
    SyncStats stats;
    stats.left.deletes = c.web_deletes;
    stats.right.deletes = c.outlook_deletes;
    stats.left.imports = stats.right.updates = 99;  // only deletions count
    EXPECT_EQ(NxSyncer::ConfirmDeletions(stats), c.proceed);
    ASSERT_EQ(boxes_.size(), c.texts.size()) << c.web_deletes << "/" << c.outlook_deletes;
    for (size_t i = 0; i < boxes_.size(); ++i) {
      EXPECT_EQ(boxes_[i].text, c.texts[i]);
      EXPECT_EQ(boxes_[i].caption, L"Tidewell: Warning");
      EXPECT_EQ(boxes_[i].buttons, MessageBoxButtons::kYesNo);
    }
  }
}

TEST_F(NxSyncerTest, IdentityNamesProductSystemOutlookAndStoredMode) {
  testing::TestDispatch application;
  const auto text = [](const wchar_t* value) {
    return [value](WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*) {
      result->vt = VT_BSTR;
      result->bstrVal = SysAllocString(value);
      return S_OK;
    };
  };
  application.Answer(L"Name", text(L"Outlook"));
  EXPECT_EQ(ClientIdentity(&application), L"");  // no Version
  application.Answer(L"Version", text(L"16.0.0.17928"));
  const std::wstring os = platform::OsVersionText();
  EXPECT_TRUE(std::regex_match(os, std::wregex(L"Linux-[0-9]+\\.[0-9]+"))) << os;
  const std::wstring prefix = L"Nexora-Mirrow-0.9.4.1 " + os + L" Outlook-16.0.0.17928 Mode-";
  EXPECT_EQ(ClientIdentity(&application), prefix + L"1");  // no account file: the default
  WriteUserInfo(L"ann@nexora.example", L"pw", 3);
  EXPECT_EQ(ClientIdentity(&application), prefix + L"3");
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
    EXPECT_EQ(messages[0].rfind(kError2006, 0), 0u) << WideToUtf8(messages[0]);
    const std::string log = log_.Text();
    EXPECT_NE(log.find(c.user_line), std::string::npos) << log;
    EXPECT_NE(log.find("SEVERE: Unable to logon into Outlook.\n"), std::string::npos);
    EXPECT_EQ(log.find(kPassword), std::string::npos);
    EXPECT_EQ(log.find("Sync data file to use"), std::string::npos);
    EXPECT_EQ(DataFileNames(), (std::vector<std::string>{"settings.txt", "user_info_2.txt"}));
    ASSERT_EQ(boxes_.size(), c.asks ? 1u : 0u);
    if (c.asks) {
      EXPECT_EQ(boxes_[0].text,
                L"Username and password do not match. You provided . Please enter your full "
                L"email address (including @nexora.example).");
      EXPECT_EQ(boxes_[0].caption, L"Error");
      EXPECT_EQ(boxes_[0].buttons, MessageBoxButtons::kOk);
      EXPECT_NE(log.find("SEVERE: Empty email address\n"), std::string::npos);
    }
  }
}

TEST_F(NxSyncerTest, OfflineRunsStaySilentUnlessManualAndCancelledRunsPostNothing) {
  WriteUserInfo(L"ann@nexora.example", Utf8ToWide(kPassword), 1);
  // Nothing listens there: the log-in cannot connect.
  WriteSettings("NXCAL_SERVER=https://127.0.0.1:1\nORVIA_SERVER=https://127.0.0.1:1\n");
  OpenSession("");
  const struct {
    bool manual, stop;
    std::vector<std::wstring> posted;
  } kCases[] = {{false, false, {}}, {true, false, {kOffline}}, {true, true, {}}};
  for (const auto& c : kCases) {
    EXPECT_EQ(Run(outlook_.get(), c.manual, c.stop), c.posted) << c.manual << c.stop;
    EXPECT_EQ(DataFileNames(), (std::vector<std::string>{"settings.txt", "user_info_2.txt"}));
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
    ASSERT_EQ(server_.Admin("POST", "accounts",
                            std::string(R"({"email":"ann@nexora.example","password":")") +
                                kPassword + R"("})")[0],
              '{');
    OpenSession(server_.ca_file());
    WriteUserInfo(L"ann@nexora.example", Utf8ToWide(kPassword), 1);
  }
  void Settings(const std::string& more) {
    WriteSettings("NXCAL_SERVER=" + server_.service_url() +
                  "\nORVIA_SERVER=" + server_.accounts_url() + "\n" + more);
  }
  static std::string EditDelete(const std::string& uid) {
    return R"({"email":"ann@nexora.example","uid":")" + uid + R"(","delete":true})";
  }
  std::string WebEntries() { return server_.Admin("GET", "entries?email=ann@nexora.example"); }
  std::vector<std::wstring> OutlookTitles() {
    Outlook outlook(outlook_.get(), L"ann@nexora.example");
    std::wstring folder, error;
    std::vector<std::wstring> titles;
    if (outlook.Logon(L"", &folder) != S_OK || !outlook.LoadEvents(nullptr, error, nullptr)) {
      return titles;
    }
    for (auto& [id, event] : outlook.mutable_events()) {
      outlook.Load(event.get());
      titles.push_back(event->title());
    }
    std::sort(titles.begin(), titles.end());
    return titles;
  }

  testing::WebcalServer server_;
};

TEST_F(NxSyncerWebTest, LoadFailuresPostTheCalendarsTextOrThePresetOne) {
  Settings("");
  ASSERT_EQ(server_.Admin("POST", "faults",
                          R"({"method":"GET","path_prefix":"/calendar/","status":503})")[0],
            '{');
  auto posted = Run(outlook_.get(), false);
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].rfind(L"Tidewell: Error syncing your calendar. Error code: 2016.", 0), 0u)
      << WideToUtf8(posted[0]);
  // The token of the first run would still let the second in.
  ASSERT_EQ(server_.Admin("POST", "tokens/expire", "{}")[0], '{');
  WriteUserInfo(L"ann", L"wrong", 1);
  EXPECT_EQ(Run(outlook_.get(), false),
            std::vector<std::wstring>{L"Username and password do not match. You provided "
                                      L"ann@nexora.example. Please enter your full email address "
                                      L"(including @nexora.example)."});
}

TEST_F(NxSyncerWebTest, RunsSyncEachWayInTheConfiguredDirectionAndAskBeforeManyDeletions) {
  ASSERT_EQ(
      server_.Admin("POST", "entries",
                    R"({"email":"ann@nexora.example","calendar":"default","entries":[)"
                    R"({"uid":"web-1@nexora.example","title":"Web standup",)"
                    R"("start":"2026-05-04T09:00:00.000Z","end":"2026-05-04T09:30:00.000Z"}]})")[0],
      '{');
  ASSERT_EQ(server_.Admin("POST", "entries",
                          R"({"email":"ann@nexora.example","calendar":"default",)"
                          R"("generate":{"count":10,"start":"2026-05-06T09:00:00Z"}})")[0],
            '{');
  sim::AppointmentSeed seed;
  seed.subject = L"Outlook lunch";
  seed.start = 134'224'560'000'000'000ULL;  // 2026-05-05T12:00:00Z
  ASSERT_FALSE(sim::AddAppointment(*store_, seed).empty());

  // Web calendar to Outlook only: the Outlook event stays where it is.
  Settings("SYNC_MODE=NXCAL\n");
  EXPECT_EQ(Run(outlook_.get(), false), std::vector<std::wstring>{}) << log_.Text();
  const auto titles = OutlookTitles();
  EXPECT_EQ(titles.size(), 12u);
  EXPECT_EQ(titles.back(), L"Web standup");  // sorted: Event n, Outlook lunch, Web standup
  EXPECT_EQ(WebEntries().find("Outlook lunch"), std::string::npos);
  EXPECT_EQ(statuses_.at(0), L"Logging into Nexora Calendar");
  const std::string sync_data = WideToUtf8(NxSyncer::SyncDataFileName(
      L"ann@nexora.example", L"default", sim::HexText(store_->folder_entry_id())));
  EXPECT_TRUE(fs::exists(DataFiles() / sync_data)) << log_.Text();
  EXPECT_NE(log_.Text().find("Sync data file to use: " + sync_data + "\n"), std::string::npos);

  // Both ways.
  Settings("");
  EXPECT_EQ(Run(outlook_.get(), false), std::vector<std::wstring>{}) << log_.Text();
  EXPECT_NE(WebEntries().find("Outlook lunch"), std::string::npos);
  EXPECT_EQ(OutlookTitles().size(), 12u);
  EXPECT_EQ(log_.Text().find(kPassword), std::string::npos);

  // Eleven events deleted on the web: declined, Outlook keeps them; accepted, they go.
  ASSERT_TRUE(server_.Admin("POST", "edit", EditDelete("web-1@nexora.example"))[0] == '{');
  for (int n = 1; n <= 10; ++n) {
    ASSERT_EQ(server_.Admin("POST", "edit",
                            EditDelete("gen-" + std::to_string(n) + "@nexora.example"))[0],
              '{');
  }
  answers_ = {MessageBoxAnswer::kNo};
  EXPECT_EQ(Run(outlook_.get(), false), std::vector<std::wstring>{});
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_NE(boxes_[0].text.find(L"deleted 11 events from your Nexora Calendar"),
            std::wstring::npos);
  EXPECT_EQ(OutlookTitles().size(), 12u);
  answers_ = {MessageBoxAnswer::kYes};
  EXPECT_EQ(Run(outlook_.get(), false), std::vector<std::wstring>{});
  EXPECT_EQ(boxes_.size(), 2u);
  EXPECT_EQ(OutlookTitles(), std::vector<std::wstring>{L"Outlook lunch"});
}

}  // namespace
}  // namespace calendar_mirrow_addin
