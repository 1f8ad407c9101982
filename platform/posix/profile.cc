#include "platform/profile.h"

#include <cwctype>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>

#include "platform/utf8.h"

namespace calendar_mirrow_addin::platform {

namespace {

constexpr size_t kMaxUtf16Units = 259;

bool ReadWholeFile(const std::string& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream content;
  content << in.rdbuf();
  *bytes = content.str();
  return true;
}

std::wstring_view Trimmed(std::wstring_view text) {
  auto blank = [](wchar_t c) { return std::iswspace(static_cast<wint_t>(c)) != 0; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

bool SameName(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::wstring_view Unquoted(std::wstring_view value) {
  if (value.size() >= 2 && value.front() == value.back() &&
      (value.front() == L'"' || value.front() == L'\'')) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// Characters above U+FFFF take two units in the Windows buffer.
std::wstring CappedToBuffer(std::wstring_view value) {
  size_t units = 0;
  size_t keep = 0;
  for (; keep < value.size(); ++keep) {
    units += value[keep] > 0xFFFF ? 2 : 1;
    if (units > kMaxUtf16Units) break;
  }
  return std::wstring(value.substr(0, keep));
}

// The section name of a "[name]" line; a header without "]" runs to the end of the line.
std::wstring_view SectionName(std::wstring_view line) {
  line.remove_prefix(1);
  const size_t close = line.find(L']');
  return Trimmed(close == std::wstring_view::npos ? line : line.substr(0, close));
}

std::optional<std::wstring_view> FindValue(std::wstring_view text, std::wstring_view section,
                                           std::wstring_view key) {
  bool inside = false;
  for (size_t begin = 0; begin <= text.size();) {
    size_t end = text.find(L'\n', begin);
    if (end == std::wstring_view::npos) end = text.size();
    const std::wstring_view line = Trimmed(text.substr(begin, end - begin));
    begin = end + 1;
    if (line.empty() || line.front() == L';') continue;
    if (line.front() == L'[') {
      if (inside) return std::nullopt;  // Only the first section of that name counts.
      inside = SameName(SectionName(line), section);
      continue;
    }
    const size_t equals = line.find(L'=');
    if (!inside || equals == std::wstring_view::npos) continue;
    if (SameName(Trimmed(line.substr(0, equals)), key)) return Trimmed(line.substr(equals + 1));
  }
  return std::nullopt;
}

}  // namespace

std::wstring GetProfileString(const std::string& path, const std::wstring& section,
                              const std::wstring& key, const std::wstring& default_value) {
  std::string bytes;
  if (!ReadWholeFile(path, &bytes)) return default_value;
  std::string_view content = bytes;
  if (content.starts_with("\xEF\xBB\xBF")) content.remove_prefix(3);
  const std::wstring text = Utf8ToWide(content);
  const std::optional<std::wstring_view> value = FindValue(text, Trimmed(section), Trimmed(key));
  if (!value) return default_value;
  return CappedToBuffer(Unquoted(*value));
}

}  // namespace calendar_mirrow_addin::platform
