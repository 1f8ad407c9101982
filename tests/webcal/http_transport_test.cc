#include "webcal/http_transport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/key_store.h"
#include "base/text.h"
#include "platform/ui.h"
#include "tests/platform/env_guard.h"
#include "tests/support/temp_dir.h"
#include "tests/webcal/https_fixture.h"

namespace calendar_mirrow_addin {
namespace {

using testing::CapturedLog;
using ::testing::ElementsAre;
using testing::EnvGuard;
using testing::HttpsFixture;
using testing::ScriptedResponse;

// --- Url ---------------------------------------------------------------------------------

TEST(UrlTest, ParsesPartsAndRendersThemBack) {
  Url url;
  ASSERT_TRUE(url.Parse(L"HTTPS://www.nexora.example:8443/calendar/feeds?alt=atom&max=5"));
  EXPECT_EQ(L"https", url.scheme());
  EXPECT_EQ(L"www.nexora.example", url.host());
  EXPECT_EQ(8443, url.port());
  EXPECT_EQ(L"/calendar/feeds", url.path());
  EXPECT_EQ(L"?alt=atom&max=5", url.extra());
  EXPECT_EQ(L"https://www.nexora.example:8443/calendar/feeds?alt=atom&max=5", url.ToString());

  ASSERT_TRUE(url.Parse(L"http://nexora.example?x=1#top"));
  EXPECT_EQ(80, url.port());
  EXPECT_EQ(L"/?x=1", url.Target());  // no fragment in the request
  EXPECT_EQ(L"http://nexora.example?x=1#top", url.ToString());

  ASSERT_TRUE(url.Parse(L"https://[::1]:443/a"));
  EXPECT_EQ(L"::1", url.host());
  EXPECT_EQ(L"https://[::1]/a", url.ToString());  // the default port is not spelled out
}

TEST(UrlTest, RefusesWhatIsNoAbsoluteUrlOrTooLongAndKeepsTheOldValue) {
  const std::wstring longest_path = L"/" + std::wstring(2047, L'p');
  Url url;
  ASSERT_TRUE(url.Parse(L"https://h" + longest_path));
  for (const std::wstring& bad :
       {std::wstring(L"www.nexora.example/feeds"), std::wstring(L"https://:443/"),
        std::wstring(L"https://h:0/"), std::wstring(L"https://h:65536/"),
        std::wstring(L"https://h:8x/"), std::wstring(L"https://user:pw@h/"),
        std::wstring(L"https://h/a\r\nX-Injected: 1"), std::wstring(L"https://[::1/"),
        L"https://h" + longest_path + L"p"}) {
    EXPECT_FALSE(url.Parse(bad)) << WideToUtf8(bad);
  }
  EXPECT_FALSE(url.SetPath(longest_path + L"p"));
  EXPECT_FALSE(url.SetPath(L"/a?b"));
  EXPECT_EQ(longest_path, url.path());
}

TEST(UrlTest, AddQueryParameterAppendsUnescapedAndParsesAgain) {
  Url url;
  ASSERT_TRUE(url.Parse(L"https://www.nexora.example/feeds"));
  url = AddQueryParameter(url, L"sid", L"a/b");
  EXPECT_EQ(L"?sid=a/b", url.extra());
  url = AddQueryParameter(url, L"max", L"5");
  EXPECT_EQ(L"https://www.nexora.example/feeds?sid=a/b&max=5", url.ToString());
  // Text that no longer parses yields an empty URL instead of a request without the key.
  EXPECT_EQ(L"", AddQueryParameter(url, L"bad", L"a b").host());
}

// --- ReadStreamText ----------------------------------------------------------------------

// Hands out scripted pieces, then a final result.
class ScriptedStream : public StubStream {
 public:
  ScriptedStream(std::vector<std::string> pieces, HRESULT last)
      : pieces_(std::move(pieces)), last_(last) {}
  HRESULT Read(void* buffer, ULONG size, ULONG* read) override {
    *read = 0;
    if (next_ == pieces_.size()) return last_;
    const std::string& piece = pieces_[next_++];
    EXPECT_LE(piece.size(), size);
    std::memcpy(buffer, piece.data(), piece.size());
    *read = static_cast<ULONG>(piece.size());
    return S_OK;
  }

 private:
  std::vector<std::string> pieces_;
  HRESULT last_;
  size_t next_ = 0;
};

TEST(HttpReadStreamTextTest, DecodesUtf8AcrossReadsAndFailsOnAFailingRead) {
  std::wstring text = L"unchanged";
  EXPECT_EQ(E_FAIL, ReadStreamText(nullptr, &text));

  ScriptedStream split({"caf\xc3", "\xa9 ", std::string(8192, 'x')}, S_OK);
  ASSERT_EQ(S_OK, ReadStreamText(&split, &text));
  EXPECT_EQ(L"caf\u00e9 " + std::wstring(8192, L'x'), text);

  // A body cut off under a gzip stream ends in S_FALSE; that is no end of data.
  for (HRESULT failure : {S_FALSE, E_FAIL}) {
    ScriptedStream cut({"<feed>"}, failure);
    text = L"unchanged";
    EXPECT_EQ(E_FAIL, ReadStreamText(&cut, &text));
    EXPECT_EQ(L"unchanged", text);
  }
}

// --- The transport against the HTTPS fixture ---------------------------------------------

class MemoryKeyStore : public KeyStore {
 public:
  std::wstring Get(const std::wstring& key) override {
    const auto found = values.find(key);
    return found == values.end() ? L"" : found->second;
  }
  void Set(const std::wstring& key, const std::wstring& value) override { values[key] = value; }

  std::map<std::wstring, std::wstring> values;
};

std::string ReadAllBytes(IStream* stream, HRESULT* result) {
  std::string bytes;
  char buffer[8192];
  ULONG read = 0;
  while ((*result = stream->Read(buffer, sizeof buffer, &read)) == S_OK && read > 0) {
    bytes.append(buffer, read);
  }
  return bytes;
}

class HttpTransportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { fixture_ = new HttpsFixture(); }
  static void TearDownTestSuite() {
    delete fixture_;
    fixture_ = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(fixture_->ready()) << "the HTTPS fixture did not start";
    fixture_->Reset();
    std::string error;
    session_ = platform::OpenHttpSession("Tidewell-test/1.0", fixture_->ca_file(), &error);
    ASSERT_TRUE(session_) << error;
    SetKeyStore(&store_);
  }
  void TearDown() override {
    SetKeyStore(nullptr);
    platform::SetProxyCredentialPrompt(nullptr);
  }

  static Url At(const std::string& path) {
    Url url;
    EXPECT_TRUE(url.Parse(fixture_->Url(path)));
    return url;
  }
  static std::string Logged(const std::string& path) {
    return "Sending GET request to https://" + fixture_->address() + path + "\n";
  }
  std::vector<std::string> Targets() {
    std::vector<std::string> targets;
    for (const auto& request : fixture_->Requests()) targets.push_back(request.target);
    return targets;
  }

  static HttpsFixture* fixture_;
  // Whatever proxy the machine names, these tests talk to the fixture only.
  EnvGuard proxies_[6] = {{"https_proxy", nullptr}, {"HTTPS_PROXY", nullptr},
                          {"all_proxy", nullptr},   {"ALL_PROXY", nullptr},
                          {"no_proxy", nullptr},    {"NO_PROXY", nullptr}};
  CapturedLog log_;
  MemoryKeyStore store_;
  std::unique_ptr<platform::HttpSession> session_;
};

HttpsFixture* HttpTransportTest::fixture_ = nullptr;

TEST_F(HttpTransportTest, ReachesHttpsOn443WhateverSchemeAndPortTheUrlNames) {
  fixture_->Serve("/feeds", {.body = "caf\xc3\xa9 \xe2\x9c\x93"});
  Url url;
  ASSERT_TRUE(url.Parse(Utf8ToWide("http://" + fixture_->address() + ":8080/feeds?max=5")));
  std::wstring text;
  uint32_t status = 0;
  ASSERT_TRUE(HttpRequest(session_.get(), url, kHttpMethodGet, L"", L"", L"", &text, &status));
  EXPECT_EQ(200u, status);
  EXPECT_EQ(L"caf\u00e9 \u2713", text);
  EXPECT_THAT(Targets(), ElementsAre("/feeds?max=5"));
  EXPECT_EQ(Logged("/feeds?max=5"), log_.Text());
}

TEST_F(HttpTransportTest, HttpSendSendsHeadersAndBodyFollowsOne302AndReturnsASecondOne) {
  const std::string base = "https://" + fixture_->address();
  fixture_->Serve(
      "/moved",
      {.status = 302, .headers = {{"Location", "http://" + fixture_->address() + ":8080/here"}}});
  fixture_->Serve("/here", {.status = 201, .body = "arrived"});
  fixture_->Serve("/a", {.status = 302, .headers = {{"Location", base + "/b"}}});
  fixture_->Serve("/b", {.status = 302, .headers = {{"Location", base + "/c"}}});
  fixture_->Serve("/nowhere", {.status = 302});
  std::wstring text;
  uint32_t status = 0;
  Url final_url;
  ASSERT_TRUE(HttpSend(session_.get(), At("/moved"), kHttpMethodPost,
                       L"Authorization: Token abc\r\nX-Nexora-Client: tidewell\r\n",
                       L"<entry>Zo\u00eb \u2603</entry>", &text, &status, &final_url));
  EXPECT_EQ(201u, status);
  EXPECT_EQ(L"arrived", text);
  EXPECT_EQ(Utf8ToWide("http://" + fixture_->address() + ":8080/here"), final_url.ToString());

  ASSERT_TRUE(
      HttpSend(session_.get(), At("/a"), kHttpMethodPut, L"", L"x", &text, &status, &final_url));
  EXPECT_EQ(302u, status);
  EXPECT_EQ(Utf8ToWide(base + "/b"), final_url.ToString());
  EXPECT_FALSE(HttpSend(session_.get(), At("/nowhere"), kHttpMethodPut, L"", L"x", &text, &status,
                        &final_url));  // a 302 without a Location

  EXPECT_THAT(Targets(), ElementsAre("/moved", "/here", "/a", "/b", "/nowhere"));
  const auto requests = fixture_->Requests();
  for (int i : {0, 1}) {  // the redirected request is the same request
    EXPECT_EQ("POST", requests[i].method);
    EXPECT_EQ("application/atom+xml", requests[i].Header("Content-Type"));
    EXPECT_EQ("Token abc", requests[i].Header("Authorization"));
    EXPECT_EQ("tidewell", requests[i].Header("X-Nexora-Client"));
    EXPECT_EQ("Tidewell-test/1.0", requests[i].Header("User-Agent"));
    EXPECT_EQ("<entry>Zo\xc3\xab \xe2\x98\x83</entry>", requests[i].body);
  }
  EXPECT_EQ("PUT", requests[3].method);
  EXPECT_THAT(log_.Text(), ::testing::StartsWith("Sending POST request to " + base + "/moved\n" +
                                                 "Sending POST request to " + base + "/here\n"));
}

TEST_F(HttpTransportTest, HttpGetFollowsOne302AndHttpGetOnceNone) {
  const std::string base = "https://" + fixture_->address();
  fixture_->Serve("/g1", {.status = 302, .headers = {{"Location", base + "/g2?s=1"}}});
  fixture_->Serve("/g2", {.body = "feed"});
  fixture_->Serve("/h1", {.status = 302, .headers = {{"Location", base + "/h2"}}});
  fixture_->Serve("/h2", {.status = 302, .headers = {{"Location", base + "/h3"}}});
  uint32_t status = 0;
  Url final_url;
  auto stream = HttpGet(session_.get(), At("/g1"), L"X-A: 1", &status, &final_url);
  ASSERT_TRUE(stream);
  std::wstring text;
  ASSERT_EQ(S_OK, ReadStreamText(stream.get(), &text));
  EXPECT_EQ(L"feed", text);
  EXPECT_EQ(200u, status);
  EXPECT_EQ(L"?s=1", final_url.extra());

  EXPECT_TRUE(HttpGet(session_.get(), At("/h1"), L"", &status, &final_url));
  EXPECT_EQ(302u, status);
  EXPECT_EQ(Utf8ToWide(base + "/h2"), final_url.ToString());
  EXPECT_TRUE(HttpGetOnce(session_.get(), At("/g1"), L"", &status));
  EXPECT_EQ(302u, status);

  const auto requests = fixture_->Requests();
  EXPECT_THAT(Targets(), ElementsAre("/g1", "/g2?s=1", "/h1", "/h2", "/g1"));
  EXPECT_EQ("1", requests[1].Header("X-A"));
  EXPECT_EQ("<absent>", requests[1].Header("Content-Type"));
  EXPECT_THAT(log_.Text(), ::testing::StartsWith(Logged("/g1") + Logged("/g2?s=1")));
}

TEST_F(HttpTransportTest, DecompressesOnlyTheLowerCaseGzipCoding) {
  const std::string feed = "<feed>" + std::string(50000, 'e') + "</feed>";
  fixture_->Serve("/lower",
                  {.headers = {{"Content-Encoding", "gzip"}}, .body = feed, .gzip = true});
  fixture_->Serve("/upper",
                  {.headers = {{"Content-Encoding", "GZIP"}}, .body = feed, .gzip = true});
  uint32_t status = 0;
  std::wstring text;
  ASSERT_TRUE(
      HttpRequest(session_.get(), At("/lower"), kHttpMethodGet, L"", L"", L"", &text, &status));
  EXPECT_EQ(Utf8ToWide(feed), text);

  auto stream = HttpGetOnce(session_.get(), At("/upper"), L"", &status);
  ASSERT_TRUE(stream);
  HRESULT result = E_FAIL;
  const std::string raw = ReadAllBytes(stream.get(), &result);
  EXPECT_EQ(S_OK, result);
  EXPECT_EQ("\x1f\x8b", raw.substr(0, 2));  // still the gzip file
}

TEST_F(HttpTransportTest, RefusesAServerItCannotTrust) {
  fixture_->Serve("/feeds", {.body = "secret"});
  std::string error;
  EXPECT_FALSE(platform::OpenHttpSession("Tidewell-test", "/nonexistent/ca.pem", &error));
  EXPECT_THAT(error, ::testing::HasSubstr("/nonexistent/ca.pem"));
  auto untrusting = platform::OpenHttpSession("Tidewell-test", "", &error);
  ASSERT_TRUE(untrusting) << error;
  std::wstring text;
  uint32_t status = 0;
  EXPECT_FALSE(
      HttpRequest(untrusting.get(), At("/feeds"), kHttpMethodGet, L"", L"", L"", &text, &status));
  EXPECT_FALSE(HttpGet(untrusting.get(), At("/feeds"), L"", &status, nullptr));
  EXPECT_EQ(0u, status);
  EXPECT_TRUE(fixture_->Requests().empty());
}

TEST_F(HttpTransportTest, ABodyCutOffByTheNetworkIsAFailure) {
  fixture_->Serve("/length", {.body = std::string(100000, 'l'), .cut_after = 50000});
  fixture_->Serve("/chunks",
                  {.body = std::string(100000, 'c'), .chunked = true, .cut_after = 70000});
  fixture_->Serve("/whole", {.body = std::string(100000, 'w'), .chunked = true});
  fixture_->Serve("/zipped", {.headers = {{"Content-Encoding", "gzip"}},
                              .body = "0123456789",
                              .repeat = 100000,
                              .gzip = true,
                              .cut_after = 1000});
  std::wstring text;
  uint32_t status = 0;
  for (const auto& [path, whole] :
       {std::pair{"/length", false}, {"/chunks", false}, {"/whole", true}}) {
    EXPECT_EQ(whole,
              HttpRequest(session_.get(), At(path), kHttpMethodGet, L"", L"", L"", &text, &status))
        << path;
    EXPECT_EQ(200u, status);
  }
  EXPECT_EQ(100000u, text.size());
  auto stream = HttpGet(session_.get(), At("/zipped"), L"", &status, nullptr);
  ASSERT_TRUE(stream);
  EXPECT_EQ(E_FAIL, ReadStreamText(stream.get(), &text));
}

TEST_F(HttpTransportTest, BodyIsFetchedAsTheReaderAsks) {
  const std::string body = std::string(100000, 'a') + std::string(200000, 'b');
  fixture_->Serve("/held", {.body = body, .gate = "rest", .gate_at = 100000});
  uint32_t status = 0;
  // The head arrives while the server still holds most of the body back.
  auto stream = HttpGetOnce(session_.get(), At("/held"), L"", &status);
  ASSERT_TRUE(stream);
  EXPECT_EQ(200u, status);
  std::string bytes(body.size(), '\0');
  ULONG total = 0;
  while (total < 100000) {
    ULONG read = 0;
    ASSERT_EQ(S_OK, stream->Read(&bytes[total], 100000 - total, &read));
    ASSERT_GT(read, 0u);
    total += read;
  }
  EXPECT_EQ("waiting", fixture_->OpenGate("rest"));
  HRESULT result = E_FAIL;
  EXPECT_EQ(body, bytes.substr(0, total) + ReadAllBytes(stream.get(), &result));
  EXPECT_EQ(S_OK, result);
}

TEST_F(HttpTransportTest, DroppingTheStreamEarlyStopsTheDownload) {
  constexpr long kTotal = 32L * 1024 * 1024;
  fixture_->Serve("/big", {.body = "0123456789abcdef", .repeat = kTotal / 16});
  uint32_t status = 0;
  auto stream = HttpGetOnce(session_.get(), At("/big"), L"", &status);
  ASSERT_TRUE(stream);
  char buffer[65536];
  ULONG read = 0;
  ASSERT_EQ(S_OK, stream->Read(buffer, sizeof buffer, &read));
  stream.reset();
  std::istringstream finished(fixture_->WaitFinished("/big"));
  std::string word;
  int aborted = 0;
  long sent = 0;
  finished >> word >> aborted >> sent;
  EXPECT_EQ("finished", word);
  EXPECT_EQ(1, aborted);
  EXPECT_LT(sent, kTotal);
}

// --- Proxy authentication ----------------------------------------------------------------

TEST_F(HttpTransportTest, ProxyCredentialsFromTheStoreThenFromTheUser) {
  const std::string proxy_url =
      "http://" + fixture_->address() + ":" + std::to_string(fixture_->proxy_port());
  EnvGuard https_proxy{"https_proxy", proxy_url.c_str()};
  std::vector<std::string> prompted_with;
  const auto prompt_answers = [&](const char* password) {  // null: no prompt, which cancels
    platform::SetProxyCredentialPrompt(nullptr);
    if (password == nullptr) return;
    platform::SetProxyCredentialPrompt(
        [&prompted_with, password](const std::string&, std::string* name, std::string* secret) {
          prompted_with.push_back(*name);
          *name = "ann";
          *secret = password;
          return true;
        });
  };
  struct Case {
    const wchar_t* remembered;  // the password remembered for "ann", or none
    const char* typed;          // what the user answers, or none (cancel)
    std::vector<std::string> prompted_with, logged, connects;
    const wchar_t* stored;  // the password remembered afterwards
  };
  const std::string cached = "Using cached proxy credentials",
                    again = "Requesting credentials take 2",
                    ask = "Requesting credentials from user", cancel = "User cancels";
  const Case cases[] = {
      {nullptr, "s3cret", {""}, {ask}, {"407", "200"}, L"s3cret"},
      {L"s3cret", nullptr, {}, {cached}, {"407", "200"}, L"s3cret"},
      {L"old", "s3cret", {"ann"}, {cached, again}, {"407", "407", "200"}, L"s3cret"},
      {L"old",
       "wrong",
       {"ann"},
       {cached, again, "Credentials are wrong again"},
       {"407", "407", "407"},
       L"old"},
      {nullptr, nullptr, {}, {ask, cancel, cancel}, {"407"}, nullptr},
      {L"old", nullptr, {}, {cached, again, cancel, cancel}, {"407", "407"}, L"old"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("typed ") + (c.typed ? c.typed : "nothing"));
    fixture_->Reset();
    fixture_->AcceptProxyCredentials("ann", "s3cret");
    fixture_->Serve("/p", {.body = "through"});
    std::string error;
    session_ = platform::OpenHttpSession("Tidewell-test/1.0", fixture_->ca_file(), &error);
    store_.values.clear();
    if (c.remembered != nullptr) {
      store_.Set(kProxyUserNameKey, L"ann");
      store_.Set(kProxyPasswordKey, c.remembered);
    }
    prompted_with.clear();
    prompt_answers(c.typed);
    log_.Clear();
    const bool through = c.connects.back() == "200";
    std::wstring text = L"unchanged";
    uint32_t status = 0;
    EXPECT_EQ(through,
              HttpRequest(session_.get(), At("/p"), kHttpMethodGet, L"", L"", L"", &text, &status));
    EXPECT_EQ(through ? 200u : 407u, status);
    EXPECT_EQ(through ? L"through" : L"unchanged", text);
    EXPECT_EQ(c.prompted_with, prompted_with);
    std::string logged = Logged("/p") + "Need to use proxy authentication.\n";
    for (const auto& line : c.logged) logged += line + "\n";
    EXPECT_EQ(logged, log_.Text());
    std::vector<std::string> connects;
    for (const auto& line : fixture_->Connects())
      connects.push_back(line.substr(line.rfind(' ') + 1));
    EXPECT_EQ(c.connects, connects);
    EXPECT_EQ(c.stored != nullptr ? L"ann" : L"", store_.Get(kProxyUserNameKey));
    EXPECT_EQ(c.stored != nullptr ? c.stored : L"", store_.Get(kProxyPasswordKey));
    EXPECT_EQ(through ? 1u : 0u, fixture_->Requests().size());
  }

  // Without a key store nothing is remembered, and nothing breaks.
  SetKeyStore(nullptr);
  prompted_with.clear();
  prompt_answers("s3cret");
  std::string error;
  session_ = platform::OpenHttpSession("Tidewell-test/1.0", fixture_->ca_file(), &error);
  std::wstring text;
  uint32_t status = 0;
  EXPECT_TRUE(HttpRequest(session_.get(), At("/p"), kHttpMethodGet, L"", L"", L"", &text, &status));
  EXPECT_THAT(prompted_with, ElementsAre(""));
}

}  // namespace
}  // namespace calendar_mirrow_addin
