#include "addin/protected_map.h"

#include <fstream>
#include <sstream>

#include "base/logger.h"
#include "base/text.h"
#include "platform/files.h"
#include "platform/protect.h"

namespace calendar_mirrow_addin {

namespace {

bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view TrimBytes(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool ReadsBackUnchanged(std::string_view text) {
  return TrimBytes(text) == text && text.find('\n') == std::string_view::npos;
}

bool ReadWholeFile(const std::wstring& path, std::string* bytes) {
  std::ifstream in(WideToUtf8(path), std::ios::binary);
  if (!in) return false;
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) return false;
  *bytes = content.str();
  return true;
}

}  // namespace

bool FormatProtectedMap(const ProtectedMap& map, std::string* plain) {
  std::string text;
  for (const auto& [key, value] : map) {
    if (key.empty() || key.find('=') != std::string::npos || !ReadsBackUnchanged(key) ||
        !ReadsBackUnchanged(value)) {
      platform::WipeBytes(&text);
      return false;
    }
    text.append(key).append("=").append(value).append("\n");
  }
  *plain = std::move(text);
  return true;
}

ProtectedMap ParseProtectedMap(std::string_view plain) {
  ProtectedMap map;
  for (size_t begin = 0; begin < plain.size();) {
    size_t end = plain.find('\n', begin);
    if (end == std::string_view::npos) end = plain.size();
    const std::string_view piece = plain.substr(begin, end - begin);
    begin = end + 1;
    const size_t equals = piece.find('=');
    if (equals == std::string_view::npos) continue;
    // An empty key could not be written back, and would then block every later write.
    const std::string_view key = TrimBytes(piece.substr(0, equals));
    if (!key.empty()) map.emplace(key, TrimBytes(piece.substr(equals + 1)));
  }
  return map;
}

bool ReadProtectedMap(const std::wstring& path, ProtectedMap& map) {
  std::string blob;
  std::string plain;
  std::string key_problem;
  if (path.empty() || !ReadWholeFile(path, &blob)) return false;
  if (!platform::UnprotectData(blob, &plain, &key_problem)) {
    if (!key_problem.empty()) LogSevere(L"ReadProtectedMap -> " + Utf8ToWide(key_problem));
    return false;
  }
  map = ParseProtectedMap(plain);
  platform::WipeBytes(&plain);
  return true;
}

bool WriteProtectedMap(const std::wstring& path, const ProtectedMap& map,
                       const std::wstring& description) {
  std::string plain;
  if (path.empty() || !FormatProtectedMap(map, &plain)) return false;
  std::string blob;
  std::string key_problem;
  const bool protected_ok = platform::ProtectData(plain, description, &blob, &key_problem);
  platform::WipeBytes(&plain);
  if (!key_problem.empty()) LogSevere(L"WriteProtectedMap -> " + Utf8ToWide(key_problem));
  return protected_ok && platform::ReplaceFileAtomically(WideToUtf8(path), blob, nullptr);
}

}  // namespace calendar_mirrow_addin
