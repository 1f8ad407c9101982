#include "addin/user_info.h"

#include "addin/hex_codec.h"
#include "addin/protected_map.h"
#include "addin/settings.h"
#include "base/logger.h"
#include "base/text.h"

namespace calendar_mirrow_addin {

namespace {

std::wstring Decoded(const ProtectedMap& map, const std::string& key) {
  const auto it = map.find(key);
  return it == map.end() ? std::wstring() : HexDecode(it->second);
}

}  // namespace

std::wstring UserInfoFilePath() { return DataFilePath(L"user_info_2.txt"); }

bool LoadUserInfo(UserInfo& info) { return LoadUserInfo(UserInfoFilePath(), info); }

bool LoadUserInfo(const std::wstring& path, UserInfo& info) {
  ProtectedMap map;
  if (!ReadProtectedMap(path, map)) {
    LogSevere(L"Failed to load user info");
    return false;
  }
  info.email = Decoded(map, "email");
  info.password = Decoded(map, "password");
  info.delay_minutes = ParseDecimal(Decoded(map, "delay_minutes"));
  info.sync_mode = ParseDecimal(Decoded(map, "sync_mode"));
  return true;
}

}  // namespace calendar_mirrow_addin
