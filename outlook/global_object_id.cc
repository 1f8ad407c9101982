#include "outlook/global_object_id.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "model/date_time.h"
#include "platform/com/unknown.h"

namespace calendar_mirrow_addin {

namespace {

constexpr std::array<uint8_t, 16> kClassId = {0x04, 0x00, 0x00, 0x00, 0x82, 0x00, 0xE0, 0x00,
                                              0x74, 0xC5, 0xB7, 0x10, 0x1A, 0x82, 0xE0, 0x08};
constexpr std::array<uint8_t, 12> kTextPrefix = {'v', 'C', 'a',  'l',  '-',  'U',
                                                 'i', 'd', 0x01, 0x00, 0x00, 0x00};
constexpr size_t kInstanceOffset = 16;
constexpr size_t kSizeOffset = 36;
constexpr size_t kDataOffset = 40;
// The class id and a zero instance date in hexadecimal: how every binary UID begins.
constexpr std::wstring_view kHexPrefix = L"040000008200E00074C5B7101A82E00800000000";
constexpr size_t kBinaryUidDigits = 112;
constexpr wchar_t kHexDigits[] = L"0123456789ABCDEF";

// The text form is recognised by its fixed bytes alone: the instance date varies, and
// the size field is not trusted (older versions wrote 0x32 there whatever the length).
bool IsTextForm(std::span<const uint8_t> id) {
  if (id.size() < kGlobalObjectIdTextOffset) return false;
  return std::equal(kClassId.begin(), kClassId.end(), id.begin()) &&
         std::all_of(id.begin() + 20, id.begin() + kSizeOffset, [](uint8_t b) { return b == 0; }) &&
         std::equal(kTextPrefix.begin(), kTextPrefix.end(), id.begin() + kDataOffset);
}

std::wstring HexText(std::span<const uint8_t> bytes) {
  std::wstring text;
  text.reserve(bytes.size() * 2);
  for (const uint8_t b : bytes) {
    text.push_back(kHexDigits[b >> 4]);
    text.push_back(kHexDigits[b & 0x0F]);
  }
  return text;
}

int UpperHexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// Only the exact text UidFromGlobalObjectId gives for a binary id decodes back into it,
// so that every UID survives a write and a read unchanged.
bool IsBinaryUid(const std::wstring& uid) {
  return uid.size() == kBinaryUidDigits && uid.starts_with(kHexPrefix) &&
         std::all_of(uid.begin(), uid.end(), [](wchar_t c) { return UpperHexValue(c) >= 0; });
}

}  // namespace

std::wstring UidFromGlobalObjectId(std::span<const uint8_t> id) {
  if (!IsTextForm(id)) return HexText(id);
  // The last byte is the text's terminating zero.
  const size_t end = std::max(kGlobalObjectIdTextOffset, id.size() - 1);
  const auto* text = reinterpret_cast<const char*>(id.data()) + kGlobalObjectIdTextOffset;
  std::wstring uid = Utf8ToWide(std::string_view(text, end - kGlobalObjectIdTextOffset));
  const int year = id[kInstanceOffset] * 256 + id[kInstanceOffset + 1];
  if (year != 0) {
    wchar_t suffix[32];
    std::swprintf(suffix, std::size(suffix), L"|%04d%02d%02d", year, id[kInstanceOffset + 2],
                  id[kInstanceOffset + 3]);
    uid += suffix;
  }
  return uid;
}

std::vector<uint8_t> GlobalObjectIdBytesFromUid(const std::wstring& uid) {
  std::vector<uint8_t> id;
  if (IsBinaryUid(uid)) {
    id.reserve(kBinaryUidDigits / 2);
    for (size_t i = 0; i < uid.size(); i += 2) {
      id.push_back(static_cast<uint8_t>(UpperHexValue(uid[i]) * 16 + UpperHexValue(uid[i + 1])));
    }
    // Digits that spell a text-form id would read back as its text, not as these digits.
    if (!IsTextForm(id)) return id;
    id.clear();
  }

  std::wstring_view text = uid;
  std::unique_ptr<DateTime> instance;
  const size_t bar = uid.find(L'|');
  if (bar != std::wstring::npos) {
    instance = ParseICal(text.substr(bar + 1), std::wstring());
    // A "|" not followed by a date is part of the UID: cutting there would store a
    // different UID, which the next sync would take for another event.
    if (instance) text = text.substr(0, bar);
  }
  const std::string bytes = WideToUtf8(text);
  // The data is the text prefix, the UID and its terminating zero.
  const uint32_t size = static_cast<uint32_t>(kTextPrefix.size() + bytes.size() + 1);

  id.reserve(kGlobalObjectIdTextOffset + bytes.size() + 1);
  id.insert(id.end(), kClassId.begin(), kClassId.end());
  if (instance) {
    id.push_back(static_cast<uint8_t>(instance->year >> 8));
    id.push_back(static_cast<uint8_t>(instance->year & 0xFF));
    id.push_back(static_cast<uint8_t>(instance->month));
    id.push_back(static_cast<uint8_t>(instance->day));
  } else {
    id.insert(id.end(), 4, 0);
  }
  id.insert(id.end(), kSizeOffset - id.size(), 0);
  for (int shift = 0; shift < 32; shift += 8) id.push_back(static_cast<uint8_t>(size >> shift));
  id.insert(id.end(), kTextPrefix.begin(), kTextPrefix.end());
  id.insert(id.end(), bytes.begin(), bytes.end());
  id.push_back(0);
  return id;
}

std::wstring GenerateUid() {
  GUID guid{};
  if (FAILED(CoCreateGuid(&guid))) return std::wstring();
  // The GUID's bytes as they lie in memory.
  std::array<uint8_t, sizeof(GUID)> bytes{};
  std::memcpy(bytes.data(), &guid, bytes.size());
  const std::wstring digits = HexText(bytes);
  return std::wstring(kHexPrefix) + L"00000000" + digits + digits;
}

}  // namespace calendar_mirrow_addin
