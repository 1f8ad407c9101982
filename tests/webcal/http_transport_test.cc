// URLs and the HTTPS transport. The transport tests talk to tests/webcal/https_fixture.py
// on a loopback address of its own.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "base/key_store.h"
#include "base/text.h"
#include "platform/ui.h"
#include "tests/platform/env_guard.h"
#include "tests/support/memory_key_store.h"
#include "tests/support/temp_dir.h"
#include "tests/webcal/https_fixture.h"
#include "webcal/http_transport.h"

namespace calendar_mirrow_addin {
namespace {

using ::testing::ElementsAre;
using testing::EnvGuard;
using ::testing::HasSubstr;
using testing::Json;
using testing::MemoryKeyStore;

TEST(UrlTest, ParsesPartsRendersThemBackAndRefusesWhatIsNoAbsoluteUrl) {
  Url url;
  ASSERT_TRUE(url.Parse(L"HTTPS://www.nexora.example:8443/calendar/feeds?alt=atom&max=5"));
  EXPECT_EQ(
      std::tuple(url.scheme(), url.host(), url.port(), url.path(), url.extra()),
      std::tuple(L"https", L"www.nexora.example", 8443, L"/calendar/feeds", L"?alt=atom&max=5"));
  ASSERT_TRUE(url.Parse(L"http://nexora.example?x=1#top"));
  EXPECT_EQ(std::tuple(80, std::wstring(L"/?x=1")), std::tuple(url.port(), url.Target()));
  ASSERT_TRUE(url.Parse(L"https://[::1]:443/a"));
  EXPECT_EQ(L"::1", url.host());
  // Appended unescaped; text that no longer parses gives an empty URL, not one without the key.
  url = AddQueryParameter(AddQueryParameter(url, L"sid", L"a/b"), L"max", L"5");
  EXPECT_EQ(L"https://[::1]/a?sid=a/b&max=5", url.ToString());  // the default port left out
  EXPECT_EQ(L"", AddQueryParameter(url, L"bad", L"a b").host());

  const std::wstring too_long = L"https://h/" + std::wstring(2048, L'p');
  for (const std::wstring bad :
       {L"www.nexora.example/feeds", L"https://:443/", L"https://h:0/", L"https://h:65536/",
        L"https://h:8x/", L"https://user@h/", L"https://h/a\r\nX-Injected: 1", L"https://[::1/",
        too_long.c_str()}) {
    EXPECT_FALSE(url.Parse(bad)) << WideToUtf8(bad);
  }
}

TEST(UrlTest, ResolvesReferencesAgainstItAndComparesOrigins) {
  Url base;
  ASSERT_TRUE(base.Parse(L"https://www.nexora.example/calendar/feeds/default?max=5#top"));
  const std::wstring at = L"https://www.nexora.example/calendar/feeds/";
  const std::pair<const wchar_t*, std::wstring> cases[] = {
      {L"full?nxsessionid=abc", at + L"full?nxsessionid=abc"},
      {L"./a/../b/./c/..", at + L"b/"},
      {L"../../../../up", L"https://www.nexora.example/up"},
      {L"/root/./x", L"https://www.nexora.example/root/x"},
      {L"?other", at + L"default?other"},
      {L"#end", at + L"default?max=5#end"},
      {L"", at + L"default?max=5"},
      {L"//other.nexora.example:8443/x", L"https://other.nexora.example:8443/x"},
      {L"HTTP://other.nexora.example/y/../z", L"http://other.nexora.example/y/../z"},
      {L"bad path", L""},
      {L"mailto:a@nexora.example", L""},
      {L"//", L""}};
  for (const auto& [reference, expected] : cases) {
    Url resolved = base;
    EXPECT_EQ(!expected.empty(), base.Resolve(reference, &resolved)) << WideToUtf8(reference);
    EXPECT_EQ(expected.empty() ? base.ToString() : expected, resolved.ToString());
  }
  Url other;
  for (const auto& [text, same] : {std::pair(L"https://WWW.Nexora.example:443/x", true),
                                   std::pair(L"http://www.nexora.example:443/", false),
                                   std::pair(L"https://www.nexora.example:8443/", false),
                                   std::pair(L"https://other.nexora.example/", false)}) {
    ASSERT_TRUE(other.Parse(text));
    EXPECT_EQ(same, base.SameOrigin(other)) << WideToUtf8(text);
  }
}

class HttpTransportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { fixture_ = new testing::HttpsFixture(); }
  static void TearDownTestSuite() { delete fixture_; }
  void SetUp() override {
    ASSERT_TRUE(fixture_->ready()) << "the HTTPS fixture did not start";
    fixture_->Reset();
    session_ = Open(fixture_->ca_file());
    ASSERT_TRUE(session_);
    SetKeyStore(&store_);
  }
  void TearDown() override {
    SetKeyStore(nullptr);
    platform::SetProxyCredentialPrompt(nullptr);
  }

  static std::unique_ptr<platform::HttpSession> Open(const std::string& ca_file) {
    std::string error;
    auto session = platform::OpenHttpSession("Tidewell-test/1.0", ca_file, &error);
    EXPECT_TRUE(session) << error;
    return session;
  }
  static Url At(const std::string& path) {
    Url url;
    EXPECT_TRUE(url.Parse(fixture_->Url(path)));
    return url;
  }
  // A GET through HttpRequest into text_ and status_.
  bool Get(const std::string& path, platform::HttpSession* session = nullptr) {
    return HttpRequest(session ? session : session_.get(), At(path), kHttpMethodGet, L"", L"", L"",
                       &text_, &status_);
  }
  void Redirect(const std::string& path, const std::string& location) {
    fixture_->Serve(path, R"("status": 302, "headers": [["Location", )" + Json(location) + "]]");
  }

  static inline testing::HttpsFixture* fixture_ = nullptr;
  // Whatever proxy the machine names, these tests talk to the fixture only.
  EnvGuard proxies_[6] = {{"https_proxy", nullptr}, {"HTTPS_PROXY", nullptr},
                          {"all_proxy", nullptr},   {"ALL_PROXY", nullptr},
                          {"no_proxy", nullptr},    {"NO_PROXY", nullptr}};
  testing::CapturedLog log_;
  MemoryKeyStore store_;
  std::unique_ptr<platform::HttpSession> session_;
  std::wstring text_ = L"unchanged";
  uint32_t status_ = 0;
};

TEST_F(HttpTransportTest, FollowsOne302WithTheTokenOnlyToTheSameOrigin) {
  const std::string here = "https://" + fixture_->address(),
                    other = "https://" + fixture_->other_address();
  const std::pair<std::string, std::string> cases[] = {
      // Location, where it leads
      {here + "/dir/here?s=1", here + "/dir/here?s=1"},
      {"here?s=1", here + "/dir/here?s=1"},
      {"../dir/./here", here + "/dir/here"},
      // Other origins: the extra headers stay behind.
      {other + "/dir/here", other + "/dir/here"},
      {"http://" + fixture_->address() + ":8080/dir/here",
       "http://" + fixture_->address() + ":8080/dir/here"}};
  for (const auto& [location, target] : cases) {
    SCOPED_TRACE(location);
    const bool same_origin = target.rfind(here + "/", 0) == 0;
    fixture_->Reset();
    fixture_->Serve("/dir/here", R"("status": 201, "body": "caf\u00e9 \u2713")");
    Redirect("/dir/moved", location);
    Url final_url;
    ASSERT_TRUE(HttpSend(session_.get(), At("/dir/moved?max=5"), kHttpMethodPost,
                         L"Authorization: Token abc\r\nX-Nexora-Client: tidewell\r\n",
                         L"<entry>Zo\u00eb \u2603</entry>", &text_, &status_, &final_url));
    EXPECT_EQ(std::tuple(201u, std::wstring(L"caf\u00e9 \u2713"), Utf8ToWide(target)),
              std::tuple(status_, text_, final_url.ToString()));
    ASSERT_TRUE(HttpGet(session_.get(), At("/dir/moved"), L"Authorization: Token abc", &status_,
                        &final_url));
    EXPECT_EQ(201u, status_);
    // The redirected request is the same request, over https on port 443.
    const std::string to = target.substr(target.find('/', 8)) + " | " +
                           WideToUtf8(final_url.host()) + " | " +
                           (same_origin ? "Token abc | " : "<absent> | ");
    const auto requests = fixture_->Requests(
        R"("Host", "Authorization", "X-Nexora-Client", "Content-Type", "User-Agent")");
    ASSERT_EQ(4u, requests.size());
    EXPECT_EQ("POST " + to + (same_origin ? "tidewell" : "<absent>") +
                  " | application/atom+xml | Tidewell-test/1.0 | <entry>Zo\xc3\xab \xe2\x98\x83"
                  "</entry>",
              requests[1]);
    EXPECT_EQ("GET " + to + "<absent> | <absent> | Tidewell-test/1.0 | ", requests[3]);
  }
}

TEST_F(HttpTransportTest, ReturnsASecond302AndFailsOnOneWithoutALocation) {
  const std::string base = "https://" + fixture_->address();
  Redirect("/a", base + "/b");
  Redirect("/b", base + "/c");
  fixture_->Serve("/nowhere", R"("status": 302)");
  Url final_url;
  ASSERT_TRUE(
      HttpSend(session_.get(), At("/a"), kHttpMethodPut, L"", L"x", &text_, &status_, &final_url));
  EXPECT_EQ(std::tuple(302u, Utf8ToWide(base + "/b")), std::tuple(status_, final_url.ToString()));
  EXPECT_FALSE(HttpSend(session_.get(), At("/nowhere"), kHttpMethodPut, L"", L"x", &text_, &status_,
                        &final_url));  // a 302 without a Location
  EXPECT_TRUE(HttpGet(session_.get(), At("/a"), L"", &status_, &final_url));
  EXPECT_EQ(302u, status_);
  EXPECT_TRUE(HttpGetOnce(session_.get(), At("/a"), L"", &status_));
  EXPECT_EQ(302u, status_);
  EXPECT_THAT(fixture_->Requests(), ElementsAre("PUT /a | x", "PUT /b | x", "PUT /nowhere | x",
                                                "GET /a | ", "GET /b | ", "GET /a | "));
}

TEST_F(HttpTransportTest, DecompressesOnlyTheLowerCaseGzipCodingAndTrustsOnlyItsAuthorities) {
  // A two-byte character split by the 8K reads.
  const std::string feed =
      "<feed>" + std::string(8185, 'e') + "\xc3\xa9" + std::string(50000, 'e') + "</feed>";
  for (const std::string coding : {"gzip", "GZIP"}) {
    fixture_->Serve("/" + coding, R"("headers": [["Content-Encoding", ")" + coding +
                                      R"("]], "gzip": true, "body": )" + Json(feed));
  }
  ASSERT_TRUE(Get("/gzip"));
  EXPECT_TRUE(text_ == Utf8ToWide(feed));
  auto stream = HttpGetOnce(session_.get(), At("/GZIP"), L"", &status_);
  ASSERT_TRUE(stream);
  char magic[2];
  ULONG read = 0;
  ASSERT_EQ(S_OK, stream->Read(magic, 2, &read));
  EXPECT_EQ("\x1f\x8b", std::string(magic, read));  // still the gzip file

  std::string error;
  EXPECT_FALSE(platform::OpenHttpSession("Tidewell-test", "/nonexistent/ca.pem", &error));
  EXPECT_THAT(error, HasSubstr("/nonexistent/ca.pem"));
  auto untrusting = Open("");
  ASSERT_TRUE(untrusting);
  fixture_->Reset();
  status_ = 0;
  text_ = L"unchanged";
  EXPECT_FALSE(Get("/gzip", untrusting.get()));
  EXPECT_FALSE(HttpGet(untrusting.get(), At("/gzip"), L"", &status_, nullptr));
  EXPECT_EQ(std::tuple(0u, std::wstring(L"unchanged")), std::tuple(status_, text_));
  EXPECT_TRUE(fixture_->Requests().empty());
}

TEST_F(HttpTransportTest, ABodyCutOffByTheNetworkIsAFailure) {
  const std::string body = R"("body": "b", "repeat": 100000, )",
                    gzip = R"("gzip": true, "headers": [["Content-Encoding", "gzip"]], )";
  const std::pair<std::string, bool> cases[] = {
      // the response, and whether it is whole
      {body + R"("cut_after": 50000)", false},
      {body + R"("framing": "chunked", "cut_after": 70000)", false},
      {body + R"("framing": "close")", false},  // dropped without TLS's close message
      {body + R"("framing": "chunked")", true},
      {body + R"("framing": "close", "close_notify": true)", true},
      {gzip + body + R"("cut_after": 50)", false},
      {gzip + body + R"("framing": "close")", false}};
  for (const auto& [response, whole] : cases) {
    SCOPED_TRACE(response);
    fixture_->Serve("/feed", response);
    text_ = L"unchanged";
    EXPECT_EQ(whole, Get("/feed"));
    EXPECT_TRUE(text_ == (whole ? std::wstring(100000, L'b') : L"unchanged"));
  }
}

TEST_F(HttpTransportTest, BodyIsFetchedAsTheReaderAsksSoDroppingItStopsTheDownload) {
  constexpr long kTotal = 32L * 1024 * 1024;
  fixture_->Serve("/big",
                  R"("body": "0123456789abcdef", "repeat": )" + std::to_string(kTotal / 16));
  auto stream = HttpGetOnce(session_.get(), At("/big"), L"", &status_);
  ASSERT_TRUE(stream);
  EXPECT_EQ(200u, status_);
  std::string bytes(65536, '\0');
  ULONG read = 0;
  ASSERT_EQ(S_OK, stream->Read(bytes.data(), 65536, &read));
  EXPECT_EQ("0123456789abcdef", bytes.substr(0, 16));
  stream.reset();
  const auto finished = fixture_->Command("wait_finished", R"(, "path": "/big")").at(0);
  ASSERT_THAT(finished, ::testing::StartsWith("finished 1 "));
  EXPECT_LT(std::stol(finished.substr(11)), kTotal);
}

TEST_F(HttpTransportTest, ProxyCredentialsFromTheStoreThenFromTheUser) {
  std::vector<std::string> prompts;  // the proxy and the user name each prompt showed
  const char* typed = nullptr;       // what the user answers; null cancels at the prompt
  platform::SetProxyCredentialPrompt(
      [&](const std::string& shown, std::string* name, std::string* secret) {
        prompts.push_back(shown + " " + *name);
        *name = "ann";
        *secret = typed ? typed : "";
        return typed != nullptr;
      });
  const std::string cached = "Using cached proxy credentials\n",
                    take2 = "Requesting credentials take 2\n",
                    wrong = "Credentials are wrong again\n",
                    ask = "Requesting credentials from user\n", cancel = "User cancels\n";
  // What the proxy asks for, the password remembered for "ann" and what the user types (or
  // none: cancel), the prompts and log lines, the proxy's answers (each attempt with
  // credentials meets its challenge first), and the password remembered afterwards.
  const std::tuple<const char*, const wchar_t*, const char*, int, std::string, const char*,
                   const wchar_t*>
      cases[] = {
          {"Basic", nullptr, "s3cret", 1, ask, "407 407 200", L"s3cret"},
          {"Basic", L"s3cret", nullptr, 0, cached, "407 407 200", L"s3cret"},
          {"Basic", L"old", "s3cret", 1, cached + take2, "407 407 407 407 200", L"s3cret"},
          {"Basic", L"old", "bad", 1, cached + take2 + wrong, "407 407 407 407 407", L"old"},
          {"Basic", nullptr, nullptr, 1, ask + cancel + cancel, "407", L""},
          {"Basic", L"old", nullptr, 1, cached + take2 + cancel + cancel, "407 407 407", L"old"},
          {"Digest", nullptr, "s3cret", 1, ask, "407 407 200", L"s3cret"}};
  const std::string proxy_url = "http://" + fixture_->proxy();
  EnvGuard https_proxy{"https_proxy", proxy_url.c_str()};
  for (const auto& [scheme, remembered, answer, prompted, logged, connects, stored] : cases) {
    SCOPED_TRACE(std::string(scheme) + " typed " + (answer ? answer : "nothing"));
    fixture_->Reset();
    fixture_->Command("proxy", R"(, "user": "ann", "password": "s3cret", "scheme": ")" +
                                   std::string(scheme) + "\"");
    fixture_->Serve("/p", R"("body": "through")");
    session_ = Open(fixture_->ca_file());
    store_.values.clear();
    if (remembered) store_.values = {{kProxyUserNameKey, L"ann"}, {kProxyPasswordKey, remembered}};
    prompts.clear();
    typed = answer;
    log_.Clear();
    text_ = L"unchanged";
    const bool through = std::string(connects).ends_with("200");
    EXPECT_EQ(through, Get("/p"));
    // The prompt names the proxy, and the user name tried last.
    EXPECT_EQ(std::tuple(through ? 200u : 407u, through ? L"through" : L"unchanged",
                         std::vector(prompted, fixture_->proxy() + (remembered ? " ann" : " "))),
              std::tuple(status_, text_, prompts));
    EXPECT_EQ("Sending GET request to https://" + fixture_->address() +
                  "/p\nNeed to use proxy authentication.\n" + logged,
              log_.Text());
    std::string answers;
    for (const auto& status : fixture_->Command("connects")) answers += " " + status;
    EXPECT_EQ(std::string(" ") + connects, answers);
    EXPECT_EQ(std::tuple(std::wstring(*stored ? L"ann" : L""), std::wstring(stored)),
              std::tuple(store_.Get(kProxyUserNameKey), store_.Get(kProxyPasswordKey)));
    EXPECT_EQ(through ? 1u : 0u, fixture_->Requests().size());
  }
  // Without a key store nothing is remembered, and nothing breaks.
  SetKeyStore(nullptr);
  prompts.clear();
  typed = "s3cret";
  EXPECT_TRUE(Get("/p"));
  // Credentials written into the proxy setting are never shown.
  const std::string with_user = "http://bob:hidden@" + fixture_->proxy() + "/";
  EnvGuard https_proxy_with_user{"https_proxy", with_user.c_str()};
  typed = nullptr;
  EXPECT_FALSE(Get("/p"));
  EXPECT_THAT(prompts, ElementsAre(fixture_->proxy() + " ", fixture_->proxy() + " "));
}

}  // namespace
}  // namespace calendar_mirrow_addin
