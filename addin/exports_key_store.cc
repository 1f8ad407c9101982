#include "addin/exports_key_store.h"

#include <utility>

#include "addin/hex_codec.h"
#include "addin/protected_map.h"
#include "addin/settings.h"
#include "base/logger.h"
#include "base/text.h"

namespace calendar_mirrow_addin::Exports {

namespace {

constexpr wchar_t kDescription[] = L"User options";

}  // namespace

std::wstring UserPropertiesFilePath() { return DataFilePath(L"user_properties.txt"); }

ExportsKeyStore::ExportsKeyStore() : ExportsKeyStore(UserPropertiesFilePath()) {}

ExportsKeyStore::ExportsKeyStore(std::wstring path) : path_(std::move(path)) {}

std::wstring ExportsKeyStore::Get(const std::wstring& key) {
  ProtectedMap map;
  ReadProtectedMap(path_, map);
  const auto it = map.find(WideToUtf8(key));
  return it == map.end() ? std::wstring() : HexDecode(it->second);
}

void ExportsKeyStore::Set(const std::wstring& key, const std::wstring& value) {
  ProtectedMap map;
  ReadProtectedMap(path_, map);
  map[WideToUtf8(key)] = HexEncode(value);
  // The value is hexadecimal, so only a malformed key can make the write refuse.
  if (!WriteProtectedMap(path_, map, kDescription)) {
    LogSevere(L"ExportsKeyStore::Set -> cannot store key " + key);
  }
}

}  // namespace calendar_mirrow_addin::Exports
