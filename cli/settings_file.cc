#include "cli/settings_file.h"

#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "platform/files.h"
#include "platform/profile.h"

namespace calendar_mirrow_addin::cli {

namespace {

constexpr size_t kMaxValueUnits = 259;  // the reader's buffer holds 260 with its terminator

std::string_view Trimmed(std::string_view text) {
  const auto blank = [](char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
  };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

bool SameName(std::string_view a, std::string_view b) {
  return ToLower(Utf8ToWide(a)) == ToLower(Utf8ToWide(b));
}

// The section name of a "[name]" line, or none for another line.
std::optional<std::string_view> SectionOf(std::string_view line) {
  line = Trimmed(line);
  if (line.size() < 2 || line.front() != '[') return std::nullopt;
  const size_t close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trimmed(line.substr(1, close - 1));
}

bool IsKeyLine(std::string_view line, std::string_view key) {
  line = Trimmed(line);
  if (line.empty() || line.front() == ';') return false;
  const size_t equals = line.find('=');
  return equals != std::string_view::npos && SameName(Trimmed(line.substr(0, equals)), key);
}

size_t Utf16Units(const std::wstring& text) {
  size_t units = 0;
  for (wchar_t c : text) units += static_cast<uint32_t>(c) > 0xFFFF ? 2 : 1;
  return units;
}

}  // namespace

std::optional<std::string> SettingValueProblem(const std::string& value) {
  for (unsigned char c : value) {
    if (c == '\n' || c == '\r') return "the value holds a line break";
    if (c < 0x20 || c == 0x7F) return "the value holds a control character";
  }
  if (value.empty()) return "the value is empty";
  if (Trimmed(value).size() != value.size() || value.front() == ' ' || value.back() == ' ') {
    return "the value begins or ends with a blank";
  }
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return "the value is wrapped in quotes";
  }
  if (Utf16Units(Utf8ToWide(value)) > kMaxValueUnits) {
    return "the value is longer than 259 characters";
  }
  return std::nullopt;
}

std::string WithSetting(const std::string& content, const std::string& section,
                        const std::string& key, const std::string& value) {
  std::vector<std::string> lines;
  std::string eol = "\n";
  {
    size_t start = 0;
    while (start < content.size()) {
      size_t end = content.find('\n', start);
      if (end == std::string::npos) end = content.size();
      lines.emplace_back(content, start, end - start);
      start = end + 1;
    }
    if (!lines.empty() && !lines.front().empty() && lines.front().back() == '\r') eol = "\r\n";
  }
  const std::string entry = key + "=" + value;
  auto line_of = [&](const std::string& text) { return text + (eol == "\r\n" ? "\r" : ""); };
  // The first section of the name: the reader searches no other.
  size_t first = lines.size(), last = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    const auto name = SectionOf(lines[i]);
    if (!name) continue;
    if (first == lines.size()) {
      if (SameName(*name, section)) first = i;
    } else {
      last = i;
      break;
    }
  }
  if (first == lines.size()) {
    if (!lines.empty() && !Trimmed(lines.back()).empty()) lines.push_back(line_of(""));
    lines.push_back(line_of("[" + section + "]"));
    lines.push_back(line_of(entry));
  } else {
    size_t insert_at = first + 1;
    bool replaced = false;
    for (size_t i = first + 1; i < last; ++i) {
      if (IsKeyLine(lines[i], key)) {
        lines[i] = line_of(entry);
        replaced = true;
        break;
      }
      if (!Trimmed(lines[i]).empty()) insert_at = i + 1;
    }
    if (!replaced)
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insert_at), line_of(entry));
  }
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

bool WriteSetting(const std::string& path, const std::string& section, const std::string& key,
                  const std::string& value, std::string* error) {
  if (const auto problem = SettingValueProblem(value)) {
    *error = *problem;
    return false;
  }
  std::string content;
  {
    std::ifstream in(path, std::ios::binary);
    if (in) {
      std::ostringstream read;
      read << in.rdbuf();
      if (in.bad()) {
        *error = "cannot read " + path;
        return false;
      }
      content = read.str();
    }
  }
  if (!platform::ReplaceFileAtomically(path, WithSetting(content, section, key, value), error)) {
    return false;
  }
  const std::wstring back =
      platform::GetProfileString(path, Utf8ToWide(section), Utf8ToWide(key), L"");
  if (back != Utf8ToWide(value)) {
    *error = "the settings file does not read back the value written";
    return false;
  }
  return true;
}

}  // namespace calendar_mirrow_addin::cli
