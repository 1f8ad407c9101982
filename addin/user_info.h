#pragma once

#include <cstdint>
#include <string>

namespace calendar_mirrow_addin {

// The account record the tray application writes into "data_files/user_info_2.txt".
struct UserInfo {
  std::wstring email;
  std::wstring password;
  int32_t delay_minutes = 120;  // Read with the record; the add-in does not use it.
  int32_t sync_mode = 1;        // 1 both ways, 2 web calendar to Outlook, 3 the reverse.
};

// Path of the user-info file, or empty when the data-files folder is unknown.
std::wstring UserInfoFilePath();

// Fills `info` from the user-info file. A key missing from the file reads as empty text,
// so a missing number becomes 0 (not the record's default). When the file cannot be read
// or unprotected, logs "Failed to load user info" at SEVERE, leaves `info` as it was and
// returns false.
bool LoadUserInfo(UserInfo& info);
bool LoadUserInfo(const std::wstring& path, UserInfo& info);

}  // namespace calendar_mirrow_addin
