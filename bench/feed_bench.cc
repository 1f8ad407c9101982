// Feed processing through GetNxCalXML (download over loopback TLS, inflate, the SAX pass
// for progress and the DOM) against bare inflate + parse of the same bytes from memory,
// in the same run. The feed is 25,000 entries as the web calendar stand-in writes them;
// it is then served as a static body, so the stand-in's own speed does not count.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <zlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <pugixml.hpp>
#include <string>

#include "platform/http.h"
#include "platform/xml.h"
#include "tests/support/memory_key_store.h"
#include "tests/support/webcal_client.h"
#include "tests/support/webcal_server.h"
#include "tests/webcal/https_fixture.h"
#include "webcal/nxcal_connection.h"

namespace calendar_mirrow_addin {
namespace {

constexpr int kEntries = 25000;
constexpr double kMiB = 1024.0 * 1024.0;
constexpr char kFeedPath[] = "/calendar/feeds/default/private/full";

std::string ReadAll(platform::HttpExchange* exchange) {
  std::string body;
  char buffer[65536];
  size_t read = 0;
  while (exchange->ReadBody(buffer, sizeof buffer, &read) && read > 0) body.append(buffer, read);
  return body;
}

// Logs in to the stand-in and fetches its gzip feed of kEntries entries as raw bytes.
std::string FeedFromStandIn() {
  testing::WebcalServer server;
  if (!server.ready()) return "";
  server.Admin("POST", "accounts", R"({"email":"bench@nexora.example","password":"pw"})");
  server.Admin("POST", "entries",
               R"({"email":"bench@nexora.example","calendar":"default","generate":{"count":)" +
                   std::to_string(kEntries) + "}}");
  std::string error;
  auto session = platform::OpenHttpSession("Tidewell-bench", server.ca_file(), &error);
  platform::HttpRequestSpec login;
  login.method = "POST";
  login.url = server.accounts_url() + "/accounts/ClientLogin";
  login.headers = "Content-Type: application/x-www-form-urlencoded";
  login.body =
      "Email=bench%40nexora.example&Passwd=pw&source=bench&service=cl&accountType=hosted_or_nexora";
  auto answer = session ? session->Send(login, &error) : nullptr;
  const std::string lines = answer ? ReadAll(answer.get()) : "";
  const size_t auth = lines.find("Auth=");
  if (auth == std::string::npos) return "";
  const std::string token = lines.substr(auth + 5, lines.find('\n', auth) - auth - 5);
  platform::HttpRequestSpec get;
  get.method = "GET";
  get.url = server.service_url() + kFeedPath + "?max-results=25000";
  get.headers = "Authorization: NexoraLogin auth=" + token + "\r\nAccept-Encoding: gzip";
  for (int hop = 0; hop < 2; ++hop) {  // the first answer hands out the session parameter
    answer = session->Send(get, &error);
    std::string location;
    if (!answer || !answer->Header("Location", &location)) break;
    get.url = location;
  }
  return answer && answer->status() == 200 ? ReadAll(answer.get()) : "";
}

std::string Inflate(const std::string& compressed) {
  z_stream inflater{};
  inflateInit2(&inflater, 31);
  inflater.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  inflater.avail_in = static_cast<uInt>(compressed.size());
  std::string out;
  char block[65536];
  int result = Z_OK;
  while (result == Z_OK) {
    inflater.next_out = reinterpret_cast<Bytef*>(block);
    inflater.avail_out = sizeof block;
    result = inflate(&inflater, Z_NO_FLUSH);
    out.append(block, sizeof block - inflater.avail_out);
  }
  inflateEnd(&inflater);
  return result == Z_STREAM_END ? out : "";
}

// The process's peak resident memory since the last reset, in bytes (Linux).
long PeakResidentBytes(bool reset) {
  if (reset) std::ofstream("/proc/self/clear_refs") << "5";
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6)) * 1024;
  }
  return 0;
}

struct Setup {
  Setup() {
    for (const char* name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
      unsetenv(name);
    }
    feed = FeedFromStandIn();
    if (feed.empty() || !fixture.ready()) return;
    file = std::filesystem::temp_directory_path() / ("tidewell-feed-bench-" + fixture.address());
    std::ofstream(file, std::ios::binary) << feed;
    fixture.Serve("/accounts/ClientLogin", R"("body": "Auth=token\n")");
    fixture.Serve(kFeedPath, R"("headers": [["Content-Encoding", "gzip"]], "framing": "chunked",)"
                             R"( "body_file": )" +
                                 testing::Json(file.string()));
    std::string error;
    session = platform::OpenHttpSession("Tidewell-bench", fixture.ca_file(), &error);
    at.Parse(fixture.Url("/"));
  }
  ~Setup() {
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
  }

  testing::MemoryKeyStore store;
  testing::HttpsFixture fixture;
  std::string feed;
  std::filesystem::path file;
  std::unique_ptr<platform::HttpSession> session;
  Url at;
};

double SecondsOf(const auto& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_GetNxCalXMLAgainstBareParse(benchmark::State& state) {
  static Setup setup;
  if (!setup.session) {
    state.SkipWithError("the stand-in, the fixture or the session could not be set up");
    return;
  }
  double feed_seconds = 0, bare_seconds = 0;
  long peak = 0;
  size_t entries = 0;
  for (auto _ : state) {
    NxCalConnection connection(setup.session.get(), L"default", setup.at, setup.at,
                               L"bench@nexora.example", L"pw", L"bench");
    NullProgressMonitor progress;
    std::wstring error;
    auto document = std::make_unique<platform::XmlDocument>();
    const long before = PeakResidentBytes(true);
    double seconds = SecondsOf([&] {
      if (connection.GetNxCalXML(nullptr, document.get(), &error, &progress)) document->Root();
    });
    peak = std::max(peak, PeakResidentBytes(false) - before);
    entries =
        document->Root().Select(L"feed/entry").value_or(std::vector<platform::XmlNode>{}).size();
    seconds += SecondsOf([&] { document.reset(); });
    bare_seconds += SecondsOf([&] {
      std::string text = Inflate(setup.feed);
      pugi::xml_document document;
      benchmark::DoNotOptimize(document.load_buffer_inplace(text.data(), text.size()));
    });
    if (entries != static_cast<size_t>(kEntries)) {
      state.SkipWithError("the feed did not arrive whole");
      return;
    }
    feed_seconds += seconds;
    state.SetIterationTime(seconds);
  }
  state.counters["gzip_MiB"] = static_cast<double>(setup.feed.size()) / kMiB;
  state.counters["ratio_vs_bare_parse"] = feed_seconds / bare_seconds;
  state.counters["peak_MiB"] = static_cast<double>(peak) / kMiB;
}
BENCHMARK(BM_GetNxCalXMLAgainstBareParse)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

}  // namespace
}  // namespace calendar_mirrow_addin

namespace calendar_mirrow_addin {
namespace {

constexpr int kCalendarEvents = 10000;
constexpr int kChangedEvents = kCalendarEvents / 100;

// The body bytes of the last request the stand-in served.
long LastBodyBytes(testing::WebcalServer& server) {
  const std::string log = server.Admin("GET", "log");
  const size_t at = log.rfind("\"bytes\": ");
  return at == std::string::npos ? -1 : std::stol(log.substr(at + 9));
}

// A calendar of 10,000 events of which 1% changed since the last run: the incremental
// fetch (cached base, delta request, merge, store, events) against a full download.
void BM_IncrementalFetchAgainstFull(benchmark::State& state) {
  for (const char* name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
    unsetenv(name);
  }
  testing::WebcalServer server;
  testing::WebcalClient client(&server);
  if (!server.ready() || !client.ResetServer()) {
    state.SkipWithError("the stand-in could not be set up");
    return;
  }
  server.Admin("POST", "entries",
               R"({"email":"ann@nexora.example","calendar":"default","generate":{"count":)" +
                   std::to_string(kCalendarEvents) + "}}");
  const auto fetch = [&] {
    auto calendar = client.Open();
    std::wstring error;
    NullProgressMonitor progress;
    const auto start = std::chrono::steady_clock::now();
    const bool fetched = calendar->LoadEvents(nullptr, error, &progress);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return fetched && calendar->events().size() == static_cast<size_t>(kCalendarEvents) ? seconds
                                                                                        : -1.0;
  };
  double full_seconds = 0, incremental_seconds = 0;
  long full_bytes = 0, incremental_bytes = 0;
  int round = 0;
  for (auto _ : state) {
    client.ForgetCache();
    // Change detection has a one-second resolution: the changes come ten seconds later.
    server.Admin("POST", "clock", R"({"now":")" + WideToUtf8(FormatIso(*DateTime::Now())) + "\"}");
    const double full = fetch();
    full_bytes = LastBodyBytes(server);
    server.Admin("POST", "clock", R"({"advance_seconds":10})");
    for (int i = 1; i <= kChangedEvents; ++i) {
      server.Admin("POST", "edit",
                   R"({"email":"ann@nexora.example","uid":"gen-)" +
                       std::to_string(i * 97 % kCalendarEvents + 1) +
                       R"(@nexora.example","title":"Changed )" + std::to_string(round) + "\"}");
    }
    const double incremental = fetch();
    incremental_bytes = LastBodyBytes(server);
    if (full < 0 || incremental < 0) {
      state.SkipWithError("a fetch failed");
      return;
    }
    full_seconds += full;
    incremental_seconds += incremental;
    state.SetIterationTime(incremental);
    ++round;
  }
  state.counters["full_ms"] = 1000 * full_seconds / round;
  state.counters["full_KiB"] = full_bytes / 1024.0;
  state.counters["incremental_KiB"] = incremental_bytes / 1024.0;
  state.counters["bytes_ratio"] = static_cast<double>(incremental_bytes) / full_bytes;
  state.counters["time_ratio"] = incremental_seconds / full_seconds;
}
BENCHMARK(BM_IncrementalFetchAgainstFull)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace
}  // namespace calendar_mirrow_addin
