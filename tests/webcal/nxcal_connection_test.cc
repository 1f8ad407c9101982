// The service connection: the text rules on their own, then log-in, session parameter,
// feeds and faults against the web calendar stand-in, and the entry writes against the
// scripted HTTPS fixture.

#include "webcal/nxcal_connection.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "base/string_table.h"
#include "base/text.h"
#include "tests/platform/env_guard.h"
#include "tests/support/memory_key_store.h"
#include "tests/support/temp_dir.h"
#include "tests/support/webcal_server.h"
#include "tests/webcal/https_fixture.h"

namespace calendar_mirrow_addin {
namespace {

using ::testing::HasSubstr;
using testing::Json;
using ::testing::Not;

constexpr wchar_t kAnn[] = L"ann@nexora.example";
constexpr wchar_t kPassword[] = L"p&ss=w\u00f6rd";  // sent as p%26ss%3Dw%C3%B6rd

TEST(NxCalConnectionText, EncodesFormValuesEntryIdsAndHeaders) {
  EXPECT_EQ(L"p%26ss%3Dw%C3%B6rd%20x", NxCalConnection::UrlEncode(L"p&ss=w\u00f6rd x"));
  const std::pair<const wchar_t*, const wchar_t*> ids[] = {
      {L"abc", L"_c5h66"},
      {L"\u00e9", L"_oekg"},  // the UTF-8 bytes
      {L"", L"_"},
      {L"k3j9@nexora.example", L"k3j9"},
      {L"a@nexora.example@nexora.example", L"a"},
      {L"a@NEXORA.example", L"_c504shao9t942bj5f1gmqs3cck"}};
  for (const auto& [uid, id] : ids) EXPECT_EQ(id, NxCalConnection::EntryId(uid));

  NxCalConnection connection(nullptr, L"default", Url(), Url(), kAnn, kPassword, L"src-1");
  EXPECT_EQ(L"Authorization: NexoraLogin auth=\nUser-Agent:src-1(gzip)\nAccept-Encoding: gzip",
            connection.MakeHeaders(true));
  EXPECT_EQ(
      L"Username and password do not match. You provided a%d@x. Please enter your full "
      L"email address (including @nexora.example).",
      FormatResourceString(IDS_LOGIN_FAILED, {L"a%d@x"}));
  EXPECT_THAT(WideToUtf8(FormatResourceString(IDS_ERROR_CODE, {L"2014"})),
              HasSubstr("Error code: 2014. Please"));
  EXPECT_EQ(L"", LoadResourceString(145));
}

// Records what a fetch reports.
struct RecordingMonitor : NullProgressMonitor {
  void BeginTask(const std::wstring& name, int total) override {
    calls.push_back(WideToUtf8(name) + "/" + std::to_string(total));
  }
  void SubTask(const std::wstring& item) override { calls.push_back(WideToUtf8(item)); }
  bool IsCanceled() override { return calls.size() > cancel_after; }
  void Done() override { calls.push_back("done"); }
  std::vector<std::string> calls;
  size_t cancel_after = SIZE_MAX;
};

int Count(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// What every connection test has: no proxy, a key store and a log of its own.
class ConnectionTest : public ::testing::Test {
 protected:
  // Whatever proxy the machine names, these tests talk to loopback servers only.
  testing::EnvGuard proxies_[4] = {{"https_proxy", nullptr},
                                   {"HTTPS_PROXY", nullptr},
                                   {"all_proxy", nullptr},
                                   {"ALL_PROXY", nullptr}};
  testing::MemoryKeyStore store_;
  testing::CapturedLog log_;
  std::unique_ptr<platform::HttpSession> session_;
};

class NxCalServiceTest : public ConnectionTest {
 protected:
  static void SetUpTestSuite() { server_ = new testing::WebcalServer(); }
  static void TearDownTestSuite() { delete server_; }
  void SetUp() override {
    ASSERT_TRUE(server_->ready()) << "the web calendar stand-in did not start";
    AdminOk("POST", "reset");
    for (const char* email : {"ann@nexora.example", "bob@nexora.example"}) {
      AdminOk("POST", "accounts",
              R"({"email":")" + std::string(email) + R"(","password":"p&ss=w\u00f6rd"})");
    }
    SetClock("2026-03-01T10:00:00.000Z");
    Seed(
        R"({"uid":"one@nexora.example","title":"One","start":"2026-03-02T09:00:00.000Z","end":"2026-03-02T10:00:00.000Z"},
            {"uid":"two","title":"Two","start":"2026-03-03","end":"2026-03-04"},
            {"uid":"three","title":"Three","start":"2026-03-05T09:00:00.000Z","end":"2026-03-05T10:00:00.000Z"})");
    std::string error;
    session_ = platform::OpenHttpSession("Tidewell-test", server_->ca_file(), &error, 2);
    ASSERT_TRUE(session_) << error;
  }

  // An admin call that must succeed (its answers start with "<" only on failure).
  static void AdminOk(const std::string& method, const std::string& path,
                      const std::string& json = "{}") {
    const std::string answer = server_->Admin(method, path, json);
    ASSERT_NE('<', answer.empty() ? '<' : answer[0]) << path << ": " << answer;
  }
  static void SetClock(const std::string& now) {
    AdminOk("POST", "clock", R"({"now":")" + now + R"("})");
  }
  static void Seed(const std::string& entries) {
    AdminOk("POST", "entries",
            R"({"email":"ann@nexora.example","calendar":"default","entries":[)" + entries + "]}");
  }
  // The log of the requests served (JSON), once it holds at least `count` of them.
  static std::string Served(int count = 0) {
    return server_->Admin("GET", "log?count=" + std::to_string(count));
  }

  std::unique_ptr<NxCalConnection> Connect(const std::wstring& email = kAnn,
                                           const std::wstring& password = kPassword) {
    Url service, accounts;
    EXPECT_TRUE(service.Parse(Utf8ToWide(server_->service_url())));
    EXPECT_TRUE(accounts.Parse(Utf8ToWide(server_->accounts_url())));
    return std::make_unique<NxCalConnection>(session_.get(), L"default", service, accounts, email,
                                             password, L"Tidewell-test-1.0");
  }
  // The ids of the entries a fetch put into `document`.
  static std::vector<std::wstring> EntryTitles(platform::XmlDocument* document) {
    std::vector<std::wstring> titles;
    for (const auto& entry :
         document->Root().Select(L"feed/entry").value_or(std::vector<platform::XmlNode>{})) {
      titles.push_back(entry.SelectSingle(L"title").text());
    }
    return titles;
  }

  static inline testing::WebcalServer* server_ = nullptr;
  std::wstring error_;
  RecordingMonitor monitor_;
};

TEST_F(NxCalServiceTest, FetchesTheFeedWithProgressAndRemembersTokenAndSessionPerEmail) {
  platform::XmlDocument document;
  ASSERT_TRUE(Connect()->GetNxCalXML(nullptr, &document, &error_, &monitor_)) << log_.Text();
  EXPECT_THAT(EntryTitles(&document), ::testing::UnorderedElementsAre(L"One", L"Two", L"Three"));
  EXPECT_EQ((std::vector<std::string>{"Loading events from Nexora Calendar/3", "1 out of 3",
                                      "2 out of 3", "3 out of 3", "done"}),
            monitor_.calls);
  EXPECT_TRUE(log_.Contains("Going to process response"));
  EXPECT_EQ(kAnn, store_.values[kConnectionUserIdKey]);
  EXPECT_FALSE(store_.values[kConnectionSessionIdKey].empty());
  std::string served = Served();
  EXPECT_EQ(1, Count(served, "/accounts/ClientLogin"));
  EXPECT_EQ(1, Count(served, "\"status\": 302"));  // the session parameter handed out once

  // A second connection of the same account needs neither a log-in nor a new session.
  platform::XmlDocument again;
  ASSERT_TRUE(Connect()->GetNxCalXML(nullptr, &again, &error_, &monitor_));
  served = Served();
  EXPECT_EQ(1, Count(served, "/accounts/ClientLogin"));
  EXPECT_EQ(1, Count(served, "\"status\": 302"));

  // Another account's connection logs in itself.
  platform::XmlDocument other;
  ASSERT_TRUE(Connect(L"bob@nexora.example")->GetNxCalXML(nullptr, &other, &error_, &monitor_));
  EXPECT_EQ(2, Count(Served(), "/accounts/ClientLogin"));
  EXPECT_EQ(L"bob@nexora.example", store_.values[kConnectionUserIdKey]);
  EXPECT_TRUE(EntryTitles(&other).empty());
}

TEST_F(NxCalServiceTest, AWrongPasswordIsRefusedWithTheLogInMessage) {
  auto connection = Connect(kAnn, L"wrong");
  platform::XmlDocument document;
  EXPECT_FALSE(connection->GetNxCalXML(nullptr, &document, &error_, &monitor_));
  EXPECT_EQ(FormatResourceString(IDS_LOGIN_FAILED, {kAnn}), error_);
  EXPECT_TRUE(log_.Contains("Authentication failed"));
  EXPECT_TRUE(connection->auth_token().empty());
  EXPECT_EQ(0, Count(Served(), "/calendar/"));  // nothing asked without a token
}

TEST_F(NxCalServiceTest, AnExpiredTokenCostsOneLogInAndOneRepeat) {
  auto connection = Connect();
  platform::XmlDocument document;
  ASSERT_TRUE(connection->GetNxCalXML(nullptr, &document, &error_, &monitor_));
  const std::wstring first_token = connection->auth_token();
  AdminOk("POST", "tokens/expire");

  std::wstring entry;
  ASSERT_TRUE(connection->GetEntry(L"two", L"", false, &entry, &error_)) << log_.Text();
  EXPECT_THAT(WideToUtf8(entry), HasSubstr("<title type=\"text\">Two</title>"));
  EXPECT_NE(first_token, connection->auth_token());
  const std::string served = Served();
  EXPECT_EQ(2, Count(served, "/accounts/ClientLogin"));
  EXPECT_EQ(1, Count(served, "\"status\": 401"));
  // Absent and deleted entries are not found; deleted ones are with showdeleted.
  EXPECT_FALSE(connection->GetEntry(L"nothing", L"", false, &entry, &error_));
  Seed(R"({"uid":"gone","title":"Gone","start":"2026-03-06","end":"2026-03-07","deleted":true})");
  EXPECT_FALSE(connection->GetEntry(L"gone", L"", false, &entry, &error_));
  EXPECT_TRUE(connection->GetEntry(L"gone", L"", true, &entry, &error_));
  EXPECT_THAT(WideToUtf8(entry), HasSubstr("#event.canceled"));
}

// Whatever goes wrong with the feed, the fetch fails with a message and leaves no document.
TEST_F(NxCalServiceTest, FaultsEndTheFetchWithoutAPartialDocument) {
  const std::pair<const char*, std::wstring> faults[] = {
      {R"("status":503)", L""},
      {R"("status":500)", L""},
      {R"("drop":true)", LoadResourceString(IDS_NO_CONNECTION)},
      {R"("cut_after":300)", LoadResourceString(IDS_NO_CONNECTION)},
      {R"("corrupt_gzip":true)", LoadResourceString(IDS_NO_CONNECTION)},
      {R"("malformed_xml":true)", LoadResourceString(IDS_XML_ERROR)},
      {R"("delay_seconds":30)", LoadResourceString(IDS_NO_CONNECTION)}};
  auto connection = Connect();
  platform::XmlDocument first;  // the session parameter handed out before the faults
  ASSERT_TRUE(connection->GetNxCalXML(nullptr, &first, &error_, &monitor_));
  for (const auto& [fault, message] : faults) {
    AdminOk("POST", "faults",
            R"({"method":"GET","path_prefix":"/calendar/feeds/","count":1,)" + std::string(fault) +
                "}");
    platform::XmlDocument document;
    error_.clear();
    EXPECT_FALSE(connection->GetNxCalXML(nullptr, &document, &error_, &monitor_)) << fault;
    EXPECT_EQ(message, error_) << fault;
    EXPECT_FALSE(document.Root().SelectSingle(L"feed")) << fault;
  }
  // The service is fine again afterwards.
  platform::XmlDocument document;
  EXPECT_TRUE(connection->GetNxCalXML(nullptr, &document, &error_, &monitor_));
}

TEST_F(NxCalServiceTest, CancellingStopsTheDownloadEarly) {
  AdminOk("POST", "entries",
          R"({"email":"ann@nexora.example","calendar":"default","generate":{"count":25000}})");
  auto connection = Connect();
  platform::XmlDocument whole;
  ASSERT_TRUE(connection->GetNxCalXML(nullptr, &whole, &error_, &monitor_));
  monitor_.calls.clear();
  monitor_.cancel_after = 100;
  platform::XmlDocument cut;
  log_.Clear();
  EXPECT_FALSE(connection->GetNxCalXML(nullptr, &cut, &error_, &monitor_));
  EXPECT_FALSE(log_.Contains("Error SAX parsing"));
  // The cancelled download stopped far before the end of what the whole one took.
  const std::string served = Served(4);
  std::vector<long> sizes;
  const std::regex bytes(R"("bytes": (\d+))");
  for (auto it = std::sregex_iterator(served.begin(), served.end(), bytes);
       it != std::sregex_iterator(); ++it) {
    sizes.push_back(std::stol((*it)[1]));
  }
  ASSERT_GE(sizes.size(), 2u);
  EXPECT_LT(sizes.back() * 4, sizes[sizes.size() - 2]) << served;
}

TEST_F(NxCalServiceTest, NoSecretReachesTheLog) {
  auto connection = Connect();
  platform::XmlDocument document;
  ASSERT_TRUE(connection->GetNxCalXML(nullptr, &document, &error_, &monitor_));
  AdminOk("POST", "tokens/expire");
  std::wstring entry;
  ASSERT_TRUE(connection->GetEntry(L"one@nexora.example", L"", false, &entry, &error_));
  connection->AddEntry(L"<entry/>", &entry, &error_);
  const std::string text = log_.Text();
  ASSERT_FALSE(connection->auth_token().empty());
  for (const std::wstring& secret : {std::wstring(kPassword), NxCalConnection::UrlEncode(kPassword),
                                     connection->auth_token(), Utf8ToWide(server_->secret())}) {
    EXPECT_THAT(text, Not(HasSubstr(WideToUtf8(secret))));
  }
}

// Entry writes and the redirect rules, against scripted answers.
class NxCalScriptedTest : public ConnectionTest {
 protected:
  static void SetUpTestSuite() { fixture_ = new testing::HttpsFixture(); }
  static void TearDownTestSuite() { delete fixture_; }
  void SetUp() override {
    ASSERT_TRUE(fixture_->ready());
    fixture_->Reset();
    fixture_->Serve("/accounts/ClientLogin", R"("body": "SID=s\nLSID=l\nAuth= tok1 \n")");
    std::string error;
    session_ = platform::OpenHttpSession("Tidewell-test", fixture_->ca_file(), &error);
    ASSERT_TRUE(session_) << error;
    Url at;
    ASSERT_TRUE(at.Parse(fixture_->Url("/")));
    connection_ = std::make_unique<NxCalConnection>(session_.get(), L"default", at, at, kAnn,
                                                    kPassword, L"src");
    ASSERT_TRUE(edit_.Parse(fixture_->Url("/calendar/feeds/default/private/full/x/7")));
  }
  std::vector<std::string> Requests() { return fixture_->Requests(R"("Accept-Encoding")"); }

  static inline testing::HttpsFixture* fixture_ = nullptr;
  std::unique_ptr<NxCalConnection> connection_;
  Url edit_;
  std::wstring response_, error_;
};

TEST_F(NxCalScriptedTest, WritesEntriesAndReportsTheirStatuses) {
  fixture_->Serve("/calendar/feeds/default/private/full",
                  R"("status": 409, "body": "<a><b/></a>")");
  EXPECT_EQ(409, connection_->AddEntry(L"<entry><x/></entry>", &response_, &error_));
  EXPECT_EQ(L"tok1", connection_->auth_token());  // trimmed
  EXPECT_TRUE(log_.Contains("NxCalConnection::AddEntry -> status_code = 409"));
  EXPECT_TRUE(log_.Contains("<entry>\n"));  // the dump, one element per line
  EXPECT_FALSE(log_.Contains("SEVERE"));

  fixture_->Serve("/calendar/feeds/default/private/full/x/7", R"("status": 200, "body": "<e/>")");
  EXPECT_EQ(200, connection_->UpdateEntry(edit_, L"<entry/>", true, &response_, &error_));
  EXPECT_EQ(L"<e/>", response_);
  EXPECT_TRUE(connection_->DeleteEntry(edit_, &error_));
  fixture_->Serve("/calendar/feeds/default/private/full/x/7", R"("status": 404, "body": "no")");
  EXPECT_FALSE(connection_->DeleteEntry(edit_, &error_));

  const auto requests = Requests();
  ASSERT_EQ(5u, requests.size());
  EXPECT_THAT(requests[0], HasSubstr("POST /accounts/ClientLogin | <absent> | Email=ann%40nexora%2E"
                                     "example&Passwd=p%26ss%3Dw%C3%B6rd&source=src&service=cl"));
  EXPECT_THAT(requests[1], HasSubstr("POST /calendar/feeds/default/private/full | <absent> |"));
  EXPECT_THAT(requests[2], HasSubstr("PUT /calendar/feeds/default/private/full/x/7?showdeleted="
                                     "true | gzip | <entry/>"));
  EXPECT_THAT(requests[3], HasSubstr("DELETE /calendar/feeds/default/private/full/x/7 | <absent>"));
}

TEST_F(NxCalScriptedTest, ARepeatedRefusalAfterANewLogInReachesTheCaller) {
  fixture_->Serve("/calendar/feeds/default/private/full/x/7", R"("status": 401, "body": "")");
  EXPECT_EQ(401, connection_->UpdateEntry(edit_, L"<entry/>", false, &response_, &error_));
  const auto requests = Requests();
  EXPECT_EQ(2, std::count_if(requests.begin(), requests.end(), [](const std::string& line) {
              return line.rfind("POST /accounts/ClientLogin", 0) == 0;
            }));
  EXPECT_EQ(2, std::count_if(requests.begin(), requests.end(),
                             [](const std::string& line) { return line.rfind("PUT ", 0) == 0; }));
}

TEST_F(NxCalScriptedTest, TheSessionParameterOfARedirectGoesOnEveryLaterRequest) {
  fixture_->Serve("/calendar/feeds/default/private/full/_c5h66_20080307T090000Z",
                  R"("status": 302, "headers": [["Location", "/s?nxsessionid=abc&x=1"]])");
  fixture_->Serve("/s", R"("body": "<entry/>")");
  std::wstring entry;
  ASSERT_TRUE(connection_->GetEntry(L"abc", L"20080307T090000Z", false, &entry, &error_));
  EXPECT_EQ(L"abc", connection_->session_id());
  EXPECT_EQ(L"abc", store_.values[kConnectionSessionIdKey]);
  connection_->GetEntry(L"abc", L"", true, &entry, &error_);
  connection_->DeleteEntry(edit_, &error_);
  const auto requests = Requests();
  ASSERT_EQ(5u, requests.size());
  EXPECT_THAT(requests[3], HasSubstr("GET /calendar/feeds/default/private/full/_c5h66"
                                     "?showdeleted=true&nxsessionid=abc |"));
  EXPECT_THAT(requests[4], HasSubstr("DELETE /calendar/feeds/default/private/full/x/7"
                                     "?nxsessionid=abc |"));
}

TEST_F(NxCalScriptedTest, NoAnswerGivesTheConnectionMessage) {
  fixture_->Serve("/calendar/feeds/default/private/full", R"("cut_after": 0, "body": "<entry/>")");
  fixture_->Serve("/calendar/feeds/default/private/full/x/7",
                  R"("cut_after": 0, "body": "<entry/>")");
  EXPECT_EQ(0, connection_->AddEntry(L"<entry/>", &response_, &error_));
  EXPECT_EQ(-1, connection_->UpdateEntry(edit_, L"<entry/>", false, &response_, &error_));
  EXPECT_FALSE(connection_->DeleteEntry(edit_, &error_));
  EXPECT_EQ(LoadResourceString(IDS_NO_CONNECTION), error_);
  EXPECT_TRUE(log_.Contains("NxCalConnection::UpdateEntry -> GetWithRedirect FAILED!!"));
  // A log-in service that cannot be reached: nothing is sent.
  fixture_->Serve("/accounts/ClientLogin", R"("cut_after": 0, "body": "Auth=x")");
  NxCalConnection fresh(session_.get(), L"default", edit_, edit_, L"c@nexora.example", L"p", L"s");
  error_.clear();
  EXPECT_EQ(0, fresh.AddEntry(L"<entry/>", &response_, &error_));
  EXPECT_EQ(LoadResourceString(IDS_NO_CONNECTION), error_);
  EXPECT_TRUE(log_.Contains("Failed connecting to authentication server"));
}

}  // namespace
}  // namespace calendar_mirrow_addin
