#include "addin/settings.h"

#include "base/app_folders.h"
#include "base/text.h"
#include "platform/profile.h"

namespace calendar_mirrow_addin {

std::wstring DataFilesFolder() {
  const std::wstring app_data = ApplicationDataFolder();
  return app_data.empty() ? std::wstring() : app_data + L"data_files/";
}

std::wstring DataFilePath(const std::wstring& file_name) {
  const std::wstring folder = DataFilesFolder();
  return folder.empty() ? std::wstring() : folder + file_name;
}

std::wstring GetSetting(const std::wstring& key, const std::wstring& default_value) {
  return GetSetting(DataFilePath(L"settings.txt"), key, default_value);
}

std::wstring GetSetting(const std::wstring& settings_path, const std::wstring& key,
                        const std::wstring& default_value) {
  if (settings_path.empty()) return default_value;
  return platform::GetProfileString(WideToUtf8(settings_path), L"General", key, default_value);
}

}  // namespace calendar_mirrow_addin
