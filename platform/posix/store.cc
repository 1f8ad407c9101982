#include "platform/store.h"

#include <errno.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "platform/posix/private_folder.h"

namespace calendar_mirrow_addin::platform {

namespace {

// File layout: the magic, then per value its name and its bytes, each preceded by its
// length as 32-bit little-endian.
constexpr std::string_view kMagic = "TWS1";
// Leaves room below the usual 255-byte name limit for the ".tmp" of the atomic write.
constexpr size_t kMaxFileNameSize = 200;

using Values = std::vector<std::pair<std::string, std::string>>;

char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

// The file name of a key path: letters folded to lower case (key paths ignore case),
// lower-case letters, digits, "-" and "_" kept, every other byte as "%XX". The mapping is
// one-to-one and the result never holds "/" or ".", so no key path can reach outside
// the store folder or collide with another key path or a temporary file.
std::string FileNameOf(std::string_view key_path) {
  std::string name;
  for (char raw : key_path) {
    const char c = FoldAscii(raw);
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_') {
      name.push_back(c);
    } else {
      const auto byte = static_cast<unsigned char>(c);
      name += '%';
      name += "0123456789ABCDEF"[byte >> 4];
      name += "0123456789ABCDEF"[byte & 0x0F];
    }
  }
  return name;
}

// Path of the key path's file, or empty when the key path cannot be stored.
std::string FilePathOf(const std::string& key_path) {
  const std::string name = FileNameOf(key_path);
  if (name.empty() || name.size() > kMaxFileNameSize) return std::string();
  const std::string folder = posix::ProductConfigFolder("store");
  return folder.empty() ? std::string() : folder + "/" + name;
}

void AppendSized(std::string* out, std::string_view bytes) {
  const auto size = static_cast<uint32_t>(bytes.size());
  for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<char>(size >> shift));
  out->append(bytes);
}

bool TakeSized(std::string_view* in, std::string* bytes) {
  if (in->size() < 4) return false;
  uint32_t size = 0;
  for (int i = 3; i >= 0; --i) size = (size << 8) | static_cast<unsigned char>((*in)[i]);
  in->remove_prefix(4);
  if (size > in->size()) return false;
  bytes->assign(in->substr(0, size));
  in->remove_prefix(size);
  return true;
}

std::optional<Values> Parse(std::string_view content) {
  if (!content.starts_with(kMagic)) return std::nullopt;
  content.remove_prefix(kMagic.size());
  Values values;
  while (!content.empty()) {
    std::pair<std::string, std::string> value;
    if (!TakeSized(&content, &value.first) || !TakeSized(&content, &value.second)) {
      return std::nullopt;
    }
    values.push_back(std::move(value));
  }
  return values;
}

std::string Serialize(const Values& values) {
  std::string content(kMagic);
  for (const auto& [name, bytes] : values) {
    AppendSized(&content, name);
    AppendSized(&content, bytes);
  }
  return content;
}

enum class Load { kLoaded, kMissing, kCorrupt, kUnreadable };

Load LoadValues(const std::string& path, Values* values) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return access(path.c_str(), F_OK) != 0 && errno == ENOENT ? Load::kMissing : Load::kUnreadable;
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) return Load::kUnreadable;
  std::optional<Values> parsed = Parse(content.str());
  if (!parsed) return Load::kCorrupt;
  *values = std::move(*parsed);
  return Load::kLoaded;
}

Values::iterator Find(Values& values, std::string_view name) {
  auto it = values.begin();
  while (it != values.end() && !SameName(it->first, name)) ++it;
  return it;
}

bool Save(const std::string& path, const Values& values) {
  if (values.empty()) return unlink(path.c_str()) == 0 || errno == ENOENT;
  return ReplaceFileAtomically(path, Serialize(values), nullptr);
}

}  // namespace

bool ReadStoreValue(const std::string& key_path, const std::string& name, std::string* bytes) {
  const std::string path = FilePathOf(key_path);
  Values values;
  if (path.empty() || LoadValues(path, &values) != Load::kLoaded) return false;
  const auto it = Find(values, name);
  if (it == values.end()) return false;
  *bytes = it->second;
  return true;
}

bool WriteStoreValue(const std::string& key_path, const std::string& name, std::string_view bytes) {
  if (name.size() > UINT32_MAX || bytes.size() > UINT32_MAX) return false;
  const std::string path = FilePathOf(key_path);
  if (path.empty()) return false;
  Values values;
  // A corrupt file holds nothing readable any more; it is replaced rather than left to
  // block every later write. A file that merely cannot be read now is left alone.
  if (LoadValues(path, &values) == Load::kUnreadable) return false;
  const auto it = Find(values, name);
  if (it == values.end()) {
    values.emplace_back(name, std::string(bytes));
  } else {
    it->second.assign(bytes);
  }
  return Save(path, values);
}

bool DeleteStoreValue(const std::string& key_path, const std::string& name) {
  const std::string path = FilePathOf(key_path);
  Values values;
  if (path.empty() || LoadValues(path, &values) != Load::kLoaded) return false;
  const auto it = Find(values, name);
  if (it == values.end()) return false;
  values.erase(it);
  return Save(path, values);
}

}  // namespace calendar_mirrow_addin::platform
