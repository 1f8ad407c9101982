#include "addin/registration.h"

#include <cstdint>
#include <string_view>
#include <vector>

#include "addin/shared_tray_link.h"
#include "base/string_table.h"
#include "base/text.h"
#include "platform/store.h"

namespace calendar_mirrow_addin {

namespace {

struct Entry {
  std::string key;
  std::string name;  // empty: the key's default value
  std::string bytes;
};

std::string Narrow(const std::wstring& text) { return WideToUtf8(text); }

// Every value registration writes, in writing order.
std::vector<Entry> Entries(const std::string& module_path) {
  const std::wstring class_id = LoadResourceString(IDS_ADDIN_CLASS_ID);
  const std::wstring prog_id = LoadResourceString(IDS_PROG_ID);  // "Nexora.Tidewell"
  const std::wstring prog_id_1 = prog_id + L".1";
  const std::wstring product = LoadResourceString(IDS_PRODUCT_NAME);
  const std::string root = kClassesRoot;
  const std::string clsid_key = root + "\\CLSID\\" + Narrow(class_id);
  const std::string addin_key = std::string(kOutlookAddinsKey) + "\\" + Narrow(prog_id);
  return {
      {root + "\\" + Narrow(prog_id_1), "", StoreText(product)},
      {root + "\\" + Narrow(prog_id_1) + "\\CLSID", "", StoreText(class_id)},
      {root + "\\" + Narrow(prog_id), "", StoreText(product)},
      {root + "\\" + Narrow(prog_id) + "\\CLSID", "", StoreText(class_id)},
      {root + "\\" + Narrow(prog_id) + "\\CurVer", "", StoreText(prog_id_1)},
      {clsid_key, "", StoreText(product)},
      {clsid_key + "\\ProgID", "", StoreText(prog_id_1)},
      {clsid_key + "\\VersionIndependentProgID", "", StoreText(prog_id)},
      {clsid_key + "\\InprocServer32", "", StoreText(Utf8ToWide(module_path))},
      {addin_key, "FriendlyName", StoreText(product)},
      {addin_key, "Description", StoreText(product)},
      {addin_key, "LoadBehavior", StoreDword(8)},
      {addin_key, "CommandLineSafe", StoreDword(0)},
  };
}

// Removes a value; one that is not there is fine.
bool Remove(const std::string& key, const std::string& name) {
  std::string ignored;
  return platform::DeleteStoreValue(key, name) || !platform::ReadStoreValue(key, name, &ignored);
}

}  // namespace

bool ParseGuid(std::wstring_view text, GUID* guid) {
  // Positions of the hyphens and braces; every other character is a hexadecimal digit.
  if (text.size() != 38 || text.front() != L'{' || text.back() != L'}') return false;
  uint8_t bytes[16] = {};
  size_t count = 0;
  for (size_t i = 1; i + 1 < text.size();) {
    if (i == 9 || i == 14 || i == 19 || i == 24) {
      if (text[i++] != L'-') return false;
      continue;
    }
    int value = 0;
    for (int half = 0; half < 2; ++half, ++i) {
      const wchar_t c = text[i];
      const int digit = c >= L'0' && c <= L'9'   ? c - L'0'
                        : c >= L'a' && c <= L'f' ? c - L'a' + 10
                        : c >= L'A' && c <= L'F' ? c - L'A' + 10
                                                 : -1;
      if (digit < 0) return false;
      value = value * 16 + digit;
    }
    bytes[count++] = static_cast<uint8_t>(value);
  }
  guid->Data1 = static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
                static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
  guid->Data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
  guid->Data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
  for (int i = 0; i < 8; ++i) guid->Data4[i] = bytes[8 + i];
  return true;
}

std::string StoreText(const std::wstring& text) {
  std::string bytes;
  for (char16_t unit : ToUtf16(text)) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  bytes.append(2, '\0');
  return bytes;
}

std::string StoreDword(uint32_t value) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return bytes;
}

HRESULT RegisterServer(const std::string& module_path) {
  if (module_path.empty()) return E_FAIL;
  // The class id key is replaced whole: a value an older registration left there (a
  // threading model, say) would otherwise stay.
  const std::string clsid_key =
      std::string(kClassesRoot) + "\\CLSID\\" + Narrow(LoadResourceString(IDS_ADDIN_CLASS_ID));
  Remove(clsid_key + "\\InprocServer32", "ThreadingModel");
  for (const Entry& entry : Entries(std::string())) {
    if (entry.key.starts_with(clsid_key)) Remove(entry.key, entry.name);
  }
  for (const Entry& entry : Entries(module_path)) {
    if (!platform::WriteStoreValue(entry.key, entry.name, entry.bytes)) return E_FAIL;
  }
  return S_OK;
}

HRESULT UnregisterServer() {
  bool all = true;
  for (const Entry& entry : Entries(std::string())) all = Remove(entry.key, entry.name) && all;
  return all ? S_OK : E_FAIL;
}

}  // namespace calendar_mirrow_addin
