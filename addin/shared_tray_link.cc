#include "addin/shared_tray_link.h"

#include "base/string_table.h"

namespace calendar_mirrow_addin {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

std::u16string ToUtf16(std::wstring_view text) {
  std::u16string out;
  out.reserve(text.size());
  if constexpr (sizeof(wchar_t) == 2) {
    for (wchar_t c : text) out.push_back(static_cast<char16_t>(c));
  } else {
    for (wchar_t wide : text) {
      auto c = static_cast<char32_t>(wide);
      if (c > 0x10FFFF || IsHighSurrogate(c) || IsLowSurrogate(c)) c = kReplacement;
      if (c < 0x10000) {
        out.push_back(static_cast<char16_t>(c));
      } else {
        c -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
      }
    }
  }
  return out;
}

std::wstring ReadBlockText(std::span<const uint8_t> bytes) {
  std::u16string units;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto unit = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    if (unit == 0) break;
    units.push_back(unit);
  }
  std::wstring out;
  out.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    const char32_t c = units[i];
    if constexpr (sizeof(wchar_t) == 2) {
      out.push_back(static_cast<wchar_t>(c));
    } else if (IsHighSurrogate(c) && i + 1 < units.size() && IsLowSurrogate(units[i + 1])) {
      out.push_back(static_cast<wchar_t>(0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00)));
    } else {
      out.push_back(
          static_cast<wchar_t>(IsHighSurrogate(c) || IsLowSurrogate(c) ? kReplacement : c));
    }
  }
  return out;
}

bool WriteBlockText(platform::NamedMutex* mutex, platform::SharedBlock* block,
                    std::wstring_view text) {
  if (mutex == nullptr || block == nullptr) return false;
  const std::u16string units = ToUtf16(text);
  // The block's own size: an object the tray application created first keeps its size.
  const std::span<uint8_t> bytes = block->bytes();
  if (units.size() >= bytes.size() / 2) return false;  // (length + 1) * 2 > size
  const platform::NamedMutex::Lock lock = mutex->Acquire(platform::kWaitForever);
  if (lock != platform::NamedMutex::Lock::kAcquired &&
      lock != platform::NamedMutex::Lock::kAbandoned) {
    return false;
  }
  // Little-endian UTF-16, as the Windows tray reads it, whatever this machine's order.
  size_t at = 0;
  for (char16_t unit : units) {
    bytes[at++] = static_cast<uint8_t>(unit & 0xFF);
    bytes[at++] = static_cast<uint8_t>(unit >> 8);
  }
  bytes[at++] = 0;
  bytes[at] = 0;
  mutex->Release();
  return true;
}

void SharedTrayLink::PostTrayMessage(const std::wstring& text) {
  WriteBlockText(objects_.message_mutex, objects_.message_block, text);
  if (objects_.message_event != nullptr) objects_.message_event->Set();
}

void SharedTrayLink::SetTrayStatus(const std::wstring& text) {
  WriteBlockText(objects_.status_mutex, objects_.status_block, text);
}

bool SharedTrayLink::IsStopRequested() {
  // Manual reset: looking does not consume the request.
  return objects_.stop_event != nullptr && objects_.stop_event->Wait(0);
}

std::wstring SharedTrayLink::LoadResourceString(int id) {
  return calendar_mirrow_addin::LoadResourceString(id);
}

}  // namespace calendar_mirrow_addin
