#pragma once

#include <string>

namespace calendar_mirrow_addin {

// "<application-data folder>data_files/", the folder of the user files, the sync data and
// the cached feeds (it ends in a separator). Empty when the application-data folder is
// unknown, so that no caller falls back on a path relative to the working folder.
std::wstring DataFilesFolder();

// A file of the data-files folder, or empty when the folder is unknown.
std::wstring DataFilePath(const std::wstring& file_name);

// The value of `key` in section "General" of the settings file, else `default_value`.
// Values are cut to 259 characters; a missing file or key gives the default silently.
std::wstring GetSetting(const std::wstring& key, const std::wstring& default_value);

// The same over the settings file at `settings_path`.
std::wstring GetSetting(const std::wstring& settings_path, const std::wstring& key,
                        const std::wstring& default_value);

}  // namespace calendar_mirrow_addin
