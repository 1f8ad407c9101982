#include "base/app_folders.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <system_error>
#include <vector>

#include "base/local_time.h"
#include "base/text.h"
#include "platform/files.h"
#include "platform/folders.h"

namespace calendar_mirrow_addin {

namespace fs = std::filesystem;

namespace {

fs::path ToPath(const std::wstring& path) { return fs::path(WideToUtf8(path)); }

std::wstring WithoutTrailingSeparator(std::wstring path) {
  while (path.size() > 1 && (path.back() == L'/' || path.back() == L'\\')) path.pop_back();
  return path;
}

}  // namespace

std::wstring ApplicationDataFolder() {
  const std::string base = platform::LocalAppDataFolder();
  if (base.empty()) return std::wstring();
  return Utf8ToWide(base) + L"/Nexora/Tidewell/";
}

bool EnsureFolder(const std::wstring& path) {
  return platform::CreatePrivateFolder(WideToUtf8(path));
}

std::wstring LogFileName(const SystemTime& utc) {
  // Room for every field at its widest (five digits each), not just for valid times.
  wchar_t text[48];
  const int length = std::swprintf(text, std::size(text), L"%04d%02d%02dT%02d%02d%02dZ.log",
                                   utc.year, utc.month, utc.day, utc.hour, utc.minute, utc.second);
  if (length < 0 || static_cast<size_t>(length) >= std::size(text)) return std::wstring();
  return std::wstring(text, static_cast<size_t>(length));
}

void PruneLogFiles(const std::wstring& logs_folder, size_t keep) {
  std::error_code error;
  std::vector<std::string> names;
  for (fs::directory_iterator it(ToPath(logs_folder), error), end; !error && it != end;
       it.increment(error)) {
    if (!it->is_regular_file(error)) continue;
    std::string name = it->path().filename().string();
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0) names.push_back(name);
  }
  if (names.size() <= keep) return;
  std::sort(names.begin(), names.end());
  for (size_t i = 0; i < names.size() - keep; ++i) {
    fs::remove(ToPath(logs_folder) / names[i], error);
  }
}

std::unique_ptr<Logger> CreateLoadLogger(const std::wstring& app_data_folder) {
  if (app_data_folder.empty()) return nullptr;
  const std::wstring logs = WithoutTrailingSeparator(app_data_folder) + L"/logs";
  if (!EnsureFolder(logs)) return nullptr;
  PruneLogFiles(logs);
  const std::wstring name = LogFileName(UtcNow());
  if (name.empty()) return nullptr;
  return std::make_unique<Logger>(Logger::INFO, logs, name);
}

}  // namespace calendar_mirrow_addin
