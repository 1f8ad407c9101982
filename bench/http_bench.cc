// Throughput of fetching a large gzip-encoded feed through HttpGet (TLS on loopback, the
// pull-based body and the gzip stream), as a ratio against inflating the same bytes from
// memory in the same run, so the number means the same on fast and slow machines.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "platform/http.h"
#include "tests/webcal/https_fixture.h"
#include "webcal/http_transport.h"
#include "webcal/url.h"

namespace calendar_mirrow_addin {
namespace {

constexpr double kMiB = 1024.0 * 1024.0;
constexpr size_t kCompressedBytes = 50u * 1024 * 1024;
constexpr size_t kBlock = 16384;

// Feed-like text with enough variety that it compresses roughly as real entries do.
std::string FeedPiece(uint64_t* seed) {
  static const char* const kWords[] = {"meeting", "review",  "lunch", "Nexora", "planning",
                                       "call",    "offsite", "1:1",   "retro",  "launch"};
  std::string piece = "<entry><id>";
  for (int i = 0; i < 8; ++i) {
    *seed = *seed * 6364136223846793005ULL + 1442695040888963407ULL;
    piece += std::to_string(*seed >> 40) + (i == 0 ? "</id><title>" : " ");
    piece += kWords[(*seed >> 20) % 10];
  }
  return piece + "</title></entry>\n";
}

// Gzip data of kCompressedBytes (give or take one piece) and the size it inflates to. The
// fastest level keeps the set-up short; inflating costs about the same at any level.
struct Feed {
  std::string compressed;
  size_t inflated_size = 0;
};

Feed MakeFeed() {
  Feed feed;
  z_stream deflater{};
  deflateInit2(&deflater, Z_BEST_SPEED, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  uint64_t seed = 2026;
  char out[kBlock];
  for (int flush = Z_NO_FLUSH; flush != Z_FINISH;) {
    std::string input;
    while (input.size() < 1024 * 1024) input += FeedPiece(&seed);
    feed.inflated_size += input.size();
    flush = feed.compressed.size() >= kCompressedBytes ? Z_FINISH : Z_NO_FLUSH;
    deflater.next_in = reinterpret_cast<Bytef*>(input.data());
    deflater.avail_in = static_cast<uInt>(input.size());
    do {
      deflater.next_out = reinterpret_cast<Bytef*>(out);
      deflater.avail_out = sizeof out;
      deflate(&deflater, flush);
      feed.compressed.append(out, sizeof out - deflater.avail_out);
    } while (deflater.avail_out == 0 || deflater.avail_in > 0);
  }
  deflateEnd(&deflater);
  return feed;
}

size_t InflateFromMemory(const std::string& compressed) {
  z_stream inflater{};
  inflateInit2(&inflater, 31);
  inflater.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  inflater.avail_in = static_cast<uInt>(compressed.size());
  char out[kBlock];
  size_t total = 0;
  int result = Z_OK;
  while (result == Z_OK) {
    inflater.next_out = reinterpret_cast<Bytef*>(out);
    inflater.avail_out = sizeof out;
    result = inflate(&inflater, Z_NO_FLUSH);
    total += sizeof out - inflater.avail_out;
    benchmark::DoNotOptimize(out);
  }
  inflateEnd(&inflater);
  return result == Z_STREAM_END ? total : 0;
}

// The fixture, the feed it serves and a session that trusts it, made once per run.
struct Setup {
  Setup() {
    for (const char* name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
      unsetenv(name);
    }
    if (!fixture.ready()) return;
    feed = MakeFeed();
    file = std::filesystem::temp_directory_path() / ("tidewell-bench-feed-" + fixture.address());
    std::ofstream(file, std::ios::binary) << feed.compressed;
    fixture.Serve("/feed", R"("headers": [["Content-Encoding", "gzip"]], "body_file": )" +
                               testing::Json(file.string()));
    std::string error;
    session = platform::OpenHttpSession("Tidewell-bench", fixture.ca_file(), &error);
    url.Parse(fixture.Url("/feed"));
  }
  ~Setup() {
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
  }

  testing::HttpsFixture fixture;
  Feed feed;
  std::filesystem::path file;
  std::unique_ptr<platform::HttpSession> session;
  Url url;
};

size_t ReadThroughHttp(Setup& setup) {
  uint32_t status = 0;
  auto stream = HttpGet(setup.session.get(), setup.url, L"", &status, nullptr);
  if (!stream || status != 200) return 0;
  char buffer[kBlock];
  size_t total = 0;
  ULONG read = 0;
  while (stream->Read(buffer, sizeof buffer, &read) == S_OK && read > 0) total += read;
  return total;
}

double SecondsOf(const auto& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_HttpGetGzipFeed(benchmark::State& state) {
  static Setup setup;
  if (!setup.session) {
    state.SkipWithError("the HTTPS fixture or the session could not be set up");
    return;
  }
  double http_seconds = 0;
  double memory_seconds = 0;
  for (auto _ : state) {
    size_t fetched = 0;
    const double seconds = SecondsOf([&] { fetched = ReadThroughHttp(setup); });
    size_t inflated = 0;
    memory_seconds += SecondsOf([&] { inflated = InflateFromMemory(setup.feed.compressed); });
    if (fetched != setup.feed.inflated_size || inflated != fetched) {
      state.SkipWithError("the feed did not arrive whole");
      return;
    }
    http_seconds += seconds;
    state.SetIterationTime(seconds);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * setup.feed.inflated_size));
  state.counters["gzip_MiB"] = static_cast<double>(setup.feed.compressed.size()) / kMiB;
  state.counters["inflated_MiB"] = static_cast<double>(setup.feed.inflated_size) / kMiB;
  state.counters["ratio_vs_memory_inflate"] = memory_seconds / http_seconds;
}
BENCHMARK(BM_HttpGetGzipFeed)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace calendar_mirrow_addin
