#include "base/logger.h"

#include <cstdio>
#include <utility>

#include "base/text.h"
#include "platform/files.h"

namespace calendar_mirrow_addin {

namespace {

std::unique_ptr<Logger>& GlobalSlot() {
  static std::unique_ptr<Logger> logger;
  return logger;
}

std::wstring IndentContinuationLines(const std::wstring& text, const std::wstring& indent) {
  if (indent.empty()) return text;
  std::wstring out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    out.push_back(c);
    if (c == L'\n') out += indent;
  }
  return out;
}

// First white-space-delimited word of a small text file; empty when it cannot be opened.
bool ReadFirstWord(const std::wstring& path, std::string* word) {
  std::FILE* file = std::fopen(WideToUtf8(path).c_str(), "r");
  if (file == nullptr) return false;
  char buffer[64] = {};
  // The width keeps an overlong first word from overrunning the buffer.
  const int read = std::fscanf(file, "%63s", buffer);
  std::fclose(file);
  *word = read == 1 ? buffer : "";
  return true;
}

}  // namespace

Logger::Logger(int32_t threshold, std::wstring log_folder, std::wstring file_name)
    : log_folder_(std::move(log_folder)), file_name_(std::move(file_name)), threshold_(threshold) {}

std::wstring Logger::FilePath() const { return log_folder_ + L"/" + file_name_; }

void Logger::Log(int32_t level, const std::wstring& text) {
  if (!IsLoggable(level)) return;
  std::string line = WideToUtf8(indent_);
  if (level == SEVERE) line += "SEVERE: ";
  line += WideToUtf8(IndentContinuationLines(text, indent_));
  line += '\n';
  // Owner-only: the log holds the session parameter. A failure drops the entry, as
  // logging never fails its caller.
  platform::AppendToFile(WideToUtf8(FilePath()), line);
}

void Logger::LoadLevel() {
  std::string word;
  if (!ReadFirstWord(log_folder_ + L"/.level", &word) &&
      !ReadFirstWord(log_folder_ + L"/level.txt", &word)) {
    return;
  }
  if (word.empty()) return;
  static constexpr std::pair<const char*, Level> kNames[] = {
      {"VERBOSE", VERBOSE}, {"PROGRESS", PROGRESS}, {"INFO", INFO},
      {"SEVERE", SEVERE},   {"NONE", NONE},
  };
  for (const auto& [name, level] : kNames) {
    if (word == name) threshold_ = level;
  }
  Log(VERBOSE, Utf8ToWide(word));
}

Logger::Block::Block(Logger* logger, std::wstring name, int32_t level)
    : name_(std::move(name)), logger_(logger), level_(level) {
  if (logger_ == nullptr || !logger_->IsLoggable(level_)) return;
  logger_->Log(level_, name_ + L" {");
  logger_->indent_ += L"  ";
}

Logger::Block::~Block() {
  if (logger_ == nullptr || !logger_->IsLoggable(level_)) return;
  if (logger_->indent_.size() >= 2) logger_->indent_.resize(logger_->indent_.size() - 2);
  logger_->Log(level_, L"} //" + name_);
}

Logger* GetLogger() { return GlobalSlot().get(); }

std::unique_ptr<Logger> SetLogger(std::unique_ptr<Logger> logger) {
  std::swap(GlobalSlot(), logger);
  return logger;
}

void Log(int32_t level, const std::wstring& text) {
  if (Logger* logger = GetLogger()) logger->Log(level, text);
}

}  // namespace calendar_mirrow_addin
