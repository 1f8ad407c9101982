#include "webcal/http_transport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "base/key_store.h"
#include "base/text.h"
#include "platform/ui.h"
#include "tests/platform/env_guard.h"
#include "tests/support/temp_dir.h"
#include "tests/webcal/https_fixture.h"
#include "webcal/byte_array_streams.h"

namespace calendar_mirrow_addin {
namespace {

using testing::CapturedLog;
using ::testing::ElementsAre;
using testing::EnvGuard;
using testing::HttpsFixture;
using ::testing::StartsWith;

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

  // AddQueryParameter appends unescaped; text that no longer parses yields an empty URL
  // instead of a request without the key.
  url = AddQueryParameter(AddQueryParameter(url, L"sid", L"a/b"), L"max", L"5");
  EXPECT_EQ(L"https://[::1]/a?sid=a/b&max=5", url.ToString());
  EXPECT_EQ(L"?sid=a/b&max=5", url.extra());
  EXPECT_EQ(L"", AddQueryParameter(url, L"bad", L"a b").host());
}

TEST(UrlTest, RefusesWhatIsNoAbsoluteUrlOrTooLongAndKeepsTheOldValue) {
  const std::wstring longest_path = L"/" + std::wstring(2047, L'p');
  Url url;
  ASSERT_TRUE(url.Parse(L"https://h" + longest_path));
  for (std::wstring bad : {L"www.nexora.example/feeds", L"https://:443/", L"https://h:0/",
                           L"https://h:65536/", L"https://h:8x/", L"https://user:pw@h/",
                           L"https://h/a\r\nX-Injected: 1", L"https://[::1/", L"https://h/long"}) {
    if (bad == L"https://h/long") bad = L"https://h" + longest_path + L"p";
    EXPECT_FALSE(url.Parse(bad)) << WideToUtf8(bad);
  }
  EXPECT_FALSE(url.SetPath(longest_path + L"p"));
  EXPECT_FALSE(url.SetPath(L"/a?b"));
  EXPECT_EQ(longest_path, url.path());
}

// Hands out "<feed>", then fails with `last`.
struct FailingStream : StubStream {
  explicit FailingStream(HRESULT last) : last(last) {}
  HRESULT Read(void* buffer, ULONG, ULONG* read) override {
    *read = sent ? 0 : 6;
    if (!sent) std::memcpy(buffer, "<feed>", 6);
    return std::exchange(sent, true) ? last : S_OK;
  }
  HRESULT last;
  bool sent = false;
};

TEST(HttpReadStreamTextTest, DecodesUtf8AcrossReadsAndFailsOnAFailingRead) {
  std::wstring text = L"unchanged";
  EXPECT_EQ(E_FAIL, ReadStreamText(nullptr, &text));
  const std::string bytes = std::string(8191, 'x') + "\xc3\xa9 ";  // split by the 8K reads
  ByteArrayReadStream split(bytes.data(), bytes.size());
  ASSERT_EQ(S_OK, ReadStreamText(&split, &text));
  EXPECT_EQ(std::wstring(8191, L'x') + L"\u00e9 ", text);
  // A body cut off under a gzip stream ends in S_FALSE; that is no end of data.
  for (HRESULT failure : {S_FALSE, E_FAIL}) {
    FailingStream cut(failure);
    text = L"unchanged";
    EXPECT_EQ(E_FAIL, ReadStreamText(&cut, &text));
    EXPECT_EQ(L"unchanged", text);
  }
}

struct MemoryKeyStore : KeyStore {
  std::wstring Get(const std::wstring& key) override {
    return values.contains(key) ? values[key] : L"";
  }
  void Set(const std::wstring& key, const std::wstring& value) override { values[key] = value; }
  std::map<std::wstring, std::wstring> values;
};

class HttpTransportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { fixture_ = new HttpsFixture(); }
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
  static std::string Logged(const std::string& path, const std::string& method = "GET") {
    return "Sending " + method + " request to https://" + fixture_->address() + path + "\n";
  }
  // A GET through HttpRequest into text_ and status_.
  bool Get(const std::string& path, platform::HttpSession* session = nullptr) {
    return HttpRequest(session ? session : session_.get(), At(path), kHttpMethodGet, L"", L"", L"",
                       &text_, &status_);
  }
  static inline HttpsFixture* fixture_ = nullptr;
  // Whatever proxy the machine names, these tests talk to the fixture only.
  EnvGuard proxies_[6] = {{"https_proxy", nullptr}, {"HTTPS_PROXY", nullptr},
                          {"all_proxy", nullptr},   {"ALL_PROXY", nullptr},
                          {"no_proxy", nullptr},    {"NO_PROXY", nullptr}};
  CapturedLog log_;
  MemoryKeyStore store_;
  std::unique_ptr<platform::HttpSession> session_;
  std::wstring text_ = L"unchanged";
  uint32_t status_ = 0;
};

TEST_F(HttpTransportTest, SendsOverHttps443AndFollowsOne302ButReturnsASecond) {
  const std::string base = "https://" + fixture_->address();
  const std::string plain = "http://" + fixture_->address() + ":8080";
  fixture_->Serve("/moved", {.status = 302, .headers = {{"Location", plain + "/here?s=1"}}});
  fixture_->Serve("/here", {.status = 201, .body = "caf\xc3\xa9 \xe2\x9c\x93"});
  fixture_->Serve("/a", {.status = 302, .headers = {{"Location", base + "/b"}}});
  fixture_->Serve("/b", {.status = 302, .headers = {{"Location", base + "/c"}}});
  fixture_->Serve("/nowhere", {.status = 302});
  Url moved, final_url;
  ASSERT_TRUE(moved.Parse(Utf8ToWide(plain + "/moved?max=5")));
  ASSERT_TRUE(HttpSend(session_.get(), moved, kHttpMethodPost,
                       L"Authorization: Token abc\r\nX-Nexora-Client: tidewell\r\n",
                       L"<entry>Zo\u00eb \u2603</entry>", &text_, &status_, &final_url));
  EXPECT_EQ(201u, status_);
  EXPECT_EQ(L"caf\u00e9 \u2713", text_);
  EXPECT_EQ(Utf8ToWide(plain + "/here?s=1"), final_url.ToString());
  EXPECT_EQ(Logged("/moved?max=5", "POST") + Logged("/here?s=1", "POST"), log_.Text());

  ASSERT_TRUE(
      HttpSend(session_.get(), At("/a"), kHttpMethodPut, L"", L"x", &text_, &status_, &final_url));
  EXPECT_EQ(302u, status_);
  EXPECT_EQ(Utf8ToWide(base + "/b"), final_url.ToString());
  EXPECT_FALSE(HttpSend(session_.get(), At("/nowhere"), kHttpMethodPut, L"", L"x", &text_, &status_,
                        &final_url));  // a 302 without a Location

  // HttpGet follows likewise; HttpGetOnce follows nothing.
  auto stream = HttpGet(session_.get(), moved, L"X-A: 1", &status_, &final_url);
  ASSERT_TRUE(stream);
  ASSERT_EQ(S_OK, ReadStreamText(stream.get(), &text_));
  EXPECT_EQ(L"caf\u00e9 \u2713", text_);
  EXPECT_EQ(201u, status_);
  EXPECT_TRUE(HttpGet(session_.get(), At("/a"), L"", &status_, &final_url));
  EXPECT_EQ(302u, status_);
  EXPECT_EQ(Utf8ToWide(base + "/b"), final_url.ToString());
  EXPECT_TRUE(HttpGetOnce(session_.get(), moved, L"", &status_));
  EXPECT_EQ(302u, status_);

  const auto requests = fixture_->Requests();
  std::vector<std::string> targets;
  for (const auto& request : requests) targets.push_back(request.target);
  EXPECT_THAT(targets, ElementsAre("/moved?max=5", "/here?s=1", "/a", "/b", "/nowhere",
                                   "/moved?max=5", "/here?s=1", "/a", "/b", "/moved?max=5"));
  for (int i : {0, 1}) {  // the redirected request is the same request
    EXPECT_EQ("POST", requests[i].method);
    EXPECT_EQ("application/atom+xml", requests[i].Header("Content-Type"));
    EXPECT_EQ("Token abc", requests[i].Header("Authorization"));
    EXPECT_EQ("tidewell", requests[i].Header("X-Nexora-Client"));
    EXPECT_EQ("Tidewell-test/1.0", requests[i].Header("User-Agent"));
    EXPECT_EQ("<entry>Zo\xc3\xab \xe2\x98\x83</entry>", requests[i].body);
  }
  EXPECT_EQ("PUT", requests[3].method);
  EXPECT_EQ("GET", requests[6].method);
  EXPECT_EQ("1", requests[6].Header("X-A"));
  EXPECT_EQ("<absent>", requests[6].Header("Content-Type"));
}

TEST_F(HttpTransportTest, DecompressesOnlyTheLowerCaseGzipCoding) {
  const std::string feed = "<feed>" + std::string(50000, 'e') + "</feed>";
  for (const char* coding : {"gzip", "GZIP"}) {
    fixture_->Serve(std::string("/") + coding,
                    {.headers = {{"Content-Encoding", coding}}, .body = feed, .gzip = true});
  }
  ASSERT_TRUE(Get("/gzip"));
  EXPECT_EQ(Utf8ToWide(feed), text_);
  auto stream = HttpGetOnce(session_.get(), At("/GZIP"), L"", &status_);
  ASSERT_TRUE(stream);
  char magic[2];
  ULONG read = 0;
  ASSERT_EQ(S_OK, stream->Read(magic, 2, &read));
  EXPECT_EQ("\x1f\x8b", std::string(magic, read));  // still the gzip file
}

TEST_F(HttpTransportTest, RefusesAServerItCannotTrust) {
  fixture_->Serve("/feeds", {.body = "secret"});
  std::string error;
  EXPECT_FALSE(platform::OpenHttpSession("Tidewell-test", "/nonexistent/ca.pem", &error));
  EXPECT_THAT(error, ::testing::HasSubstr("/nonexistent/ca.pem"));
  auto untrusting = Open("");
  ASSERT_TRUE(untrusting);
  EXPECT_FALSE(Get("/feeds", untrusting.get()));
  EXPECT_FALSE(HttpGet(untrusting.get(), At("/feeds"), L"", &status_, nullptr));
  EXPECT_EQ(0u, status_);
  EXPECT_EQ(L"unchanged", text_);
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
  EXPECT_FALSE(Get("/length"));
  EXPECT_FALSE(Get("/chunks"));
  EXPECT_EQ(L"unchanged", text_);
  EXPECT_TRUE(Get("/whole"));
  EXPECT_EQ(std::wstring(100000, L'w'), text_);
  EXPECT_EQ(200u, status_);
  auto stream = HttpGet(session_.get(), At("/zipped"), L"", &status_, nullptr);
  ASSERT_TRUE(stream);
  EXPECT_EQ(E_FAIL, ReadStreamText(stream.get(), &text_));
}

TEST_F(HttpTransportTest, BodyIsFetchedAsTheReaderAsksAndDroppingItStopsTheDownload) {
  const std::string body = std::string(100000, 'a') + std::string(200000, 'b');
  fixture_->Serve("/held", {.body = body, .gate = "rest", .gate_at = 100000});
  constexpr long kTotal = 32L * 1024 * 1024;
  fixture_->Serve("/big", {.body = "0123456789abcdef", .repeat = kTotal / 16});
  // The head arrives while the server still holds most of the body back.
  auto stream = HttpGetOnce(session_.get(), At("/held"), L"", &status_);
  ASSERT_TRUE(stream);
  EXPECT_EQ(200u, status_);
  std::string bytes(100000, '\0');
  for (ULONG total = 0, read = 0; total < bytes.size(); total += read) {
    ASSERT_EQ(S_OK, stream->Read(&bytes[total], bytes.size() - total, &read));
    ASSERT_GT(read, 0u);
  }
  EXPECT_EQ("waiting", fixture_->OpenGate("rest"));
  std::wstring rest;
  ASSERT_EQ(S_OK, ReadStreamText(stream.get(), &rest));
  EXPECT_EQ(body, bytes + WideToUtf8(rest));

  stream = HttpGetOnce(session_.get(), At("/big"), L"", &status_);
  ASSERT_TRUE(stream);
  ULONG read = 0;
  ASSERT_EQ(S_OK, stream->Read(bytes.data(), 65536, &read));
  stream.reset();
  const std::string finished = fixture_->WaitFinished("/big");  // "finished <aborted> <sent>"
  ASSERT_THAT(finished, StartsWith("finished 1 "));
  EXPECT_LT(std::stol(finished.substr(11)), kTotal);
}

TEST_F(HttpTransportTest, ProxyCredentialsFromTheStoreThenFromTheUser) {
  const std::string proxy_url =
      "http://" + fixture_->address() + ":" + std::to_string(fixture_->proxy_port());
  EnvGuard https_proxy{"https_proxy", proxy_url.c_str()};
  std::vector<std::string> prompted_with;
  const char* typed = nullptr;  // what the user answers; null cancels at the prompt
  platform::SetProxyCredentialPrompt(
      [&](const std::string&, std::string* name, std::string* secret) {
        prompted_with.push_back(*name);
        if (typed == nullptr) return false;
        *name = "ann";
        *secret = typed;
        return true;
      });
  struct Case {
    const wchar_t* remembered;  // the password remembered for "ann", or none
    const char* typed;          // what the user answers, or none (cancel)
    std::vector<std::string> prompted_with, logged, connects;
    const wchar_t* stored;  // the password remembered afterwards
  };
  const std::string cached = "Using cached proxy credentials",
                    again = "Requesting credentials take 2", wrong = "Credentials are wrong again",
                    ask = "Requesting credentials from user", cancel = "User cancels";
  const Case cases[] = {
      {nullptr, "s3cret", {""}, {ask}, {"407", "200"}, L"s3cret"},
      {L"s3cret", nullptr, {}, {cached}, {"407", "200"}, L"s3cret"},
      {L"old", "s3cret", {"ann"}, {cached, again}, {"407", "407", "200"}, L"s3cret"},
      {L"old", "wrong", {"ann"}, {cached, again, wrong}, {"407", "407", "407"}, L"old"},
      {nullptr, nullptr, {""}, {ask, cancel, cancel}, {"407"}, nullptr},
      {L"old", nullptr, {"ann"}, {cached, again, cancel, cancel}, {"407", "407"}, L"old"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("typed ") + (c.typed ? c.typed : "nothing"));
    fixture_->Reset();
    fixture_->AcceptProxyCredentials("ann", "s3cret");
    fixture_->Serve("/p", {.body = "through"});
    session_ = Open(fixture_->ca_file());
    store_.values.clear();
    if (c.remembered)
      store_.values = {{kProxyUserNameKey, L"ann"}, {kProxyPasswordKey, c.remembered}};
    prompted_with.clear();
    typed = c.typed;
    log_.Clear();
    text_ = L"unchanged";
    const bool through = c.connects.back() == "200";
    EXPECT_EQ(through, Get("/p"));
    EXPECT_EQ(through ? 200u : 407u, status_);
    EXPECT_EQ(through ? L"through" : L"unchanged", text_);
    EXPECT_EQ(c.prompted_with, prompted_with);
    std::string logged = Logged("/p") + "Need to use proxy authentication.\n";
    for (const auto& line : c.logged) logged += line + "\n";
    EXPECT_EQ(logged, log_.Text());
    std::vector<std::string> connects;
    for (const auto& line : fixture_->Connects()) connects.push_back(line.substr(line.size() - 3));
    EXPECT_EQ(c.connects, connects);
    EXPECT_EQ(c.stored != nullptr ? L"ann" : L"", store_.Get(kProxyUserNameKey));
    EXPECT_EQ(c.stored != nullptr ? c.stored : L"", store_.Get(kProxyPasswordKey));
    EXPECT_EQ(through ? 1u : 0u, fixture_->Requests().size());
  }

  // Without a key store nothing is remembered, and nothing breaks.
  SetKeyStore(nullptr);
  prompted_with.clear();
  typed = "s3cret";
  session_ = Open(fixture_->ca_file());
  EXPECT_TRUE(Get("/p"));
  EXPECT_THAT(prompted_with, ElementsAre(""));
}

}  // namespace
}  // namespace calendar_mirrow_addin
