#pragma once

#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "base/logger.h"
#include "base/text.h"

namespace calendar_mirrow_addin::testing {

// A fresh folder under the system's temporary folder, removed with its content.
class TempDir {
 public:
  TempDir() {
    std::random_device random;
    do {
      path_ = std::filesystem::temp_directory_path() /
              ("tidewell-test-" + std::to_string(random()) + std::to_string(random()));
    } while (!std::filesystem::create_directory(path_));
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::wstring wpath() const { return Utf8ToWide(path_.string()); }

 private:
  std::filesystem::path path_;
};

inline std::string ReadFileText(const std::filesystem::path& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

inline void WriteFileText(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Runs `step` while no file may grow past `bytes`, so that writing a larger file fails.
template <typename Step>
inline void WithFileSizeLimit(rlim_t bytes, Step step) {
  rlimit before{};
  getrlimit(RLIMIT_FSIZE, &before);
  rlimit limit = before;
  limit.rlim_cur = bytes;
  signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &limit);
  step();
  setrlimit(RLIMIT_FSIZE, &before);
}

// Installs a process-wide logger writing into a temporary folder for the test's life and
// gives the text logged so far.
class CapturedLog {
 public:
  explicit CapturedLog(int32_t threshold = Logger::VERBOSE)
      : previous_(SetLogger(std::make_unique<Logger>(threshold, dir_.wpath(), L"test.log"))) {}
  ~CapturedLog() { SetLogger(std::move(previous_)); }

  std::string Text() const { return ReadFileText(dir_.path() / "test.log"); }
  bool Contains(const std::string& part) const { return Text().find(part) != std::string::npos; }
  void Clear() const { std::filesystem::remove(dir_.path() / "test.log"); }

 private:
  TempDir dir_;
  std::unique_ptr<Logger> previous_;
};

}  // namespace calendar_mirrow_addin::testing
