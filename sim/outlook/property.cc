#include "sim/outlook/property.h"

#include <algorithm>
#include <cstring>

#include "base/text.h"

namespace calendar_mirrow_addin::sim {

bool BytesLess::operator()(const Bytes& a, const Bytes& b) const {
  const size_t common = std::min(a.size(), b.size());
  const int order = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
  return order != 0 ? order < 0 : a.size() < b.size();
}

bool IsStorableType(ULONG type) {
  switch (type) {
    case PT_I2:
    case PT_LONG:
    case PT_BOOLEAN:
    case PT_I8:
    case PT_SYSTIME:
    case PT_ERROR:
    case PT_DOUBLE:
    case PT_FLOAT:
    case PT_APPTIME:
    case PT_UNICODE:
    case PT_STRING8:
    case PT_BINARY:
    case PT_CLSID:
      return true;
    default:
      return false;
  }
}

namespace {

// Built in place: GCC 12 misreads the temporaries of a brace-initialised variant.
std::optional<PropData> Text(std::wstring_view text) {
  std::optional<PropData> data(std::in_place);
  data->emplace<std::wstring>(text);
  return data;
}

}  // namespace

std::optional<PropData> FromSPropValue(const SPropValue& value) {
  const auto& v = value.Value;
  switch (PROP_TYPE(value.ulPropTag)) {
    case PT_I2:
      return PropData{int64_t{v.i}};
    case PT_LONG:
      return PropData{int64_t{v.l}};
    case PT_ERROR:
      return PropData{int64_t{v.err}};
    case PT_BOOLEAN:
      return PropData{int64_t{v.b != 0 ? 1 : 0}};
    case PT_I8:
      return PropData{int64_t{v.li.QuadPart}};
    case PT_SYSTIME:
      return PropData{
          static_cast<int64_t>((uint64_t{v.ft.dwHighDateTime} << 32) | v.ft.dwLowDateTime)};
    case PT_DOUBLE:
      return PropData{v.dbl};
    case PT_APPTIME:
      return PropData{v.at};
    case PT_FLOAT:
      return PropData{double{v.flt}};
    case PT_UNICODE:
      return Text(v.lpszW != nullptr ? v.lpszW : L"");
    case PT_STRING8:
      return Text(Utf8ToWide(v.lpszA != nullptr ? v.lpszA : ""));
    case PT_BINARY:
      if (v.bin.cb > 0 && v.bin.lpb == nullptr) return std::nullopt;
      return PropData{Bytes(v.bin.lpb, v.bin.lpb + v.bin.cb)};
    case PT_CLSID:
      if (v.lpguid == nullptr) return std::nullopt;
      return PropData{Bytes(reinterpret_cast<const uint8_t*>(v.lpguid),
                            reinterpret_cast<const uint8_t*>(v.lpguid) + sizeof(GUID))};
    default:
      return std::nullopt;
  }
}

namespace {

template <typename T>
T* More(size_t count, LPVOID parent) {
  if (count > ULONG{0xFFFFFFFF} / sizeof(T)) return nullptr;
  LPVOID buffer = nullptr;
  if (MAPIAllocateMore(static_cast<ULONG>(count * sizeof(T)), parent, &buffer) != S_OK) {
    return nullptr;
  }
  return static_cast<T*>(buffer);
}

}  // namespace

bool ToSPropValue(ULONG tag, const PropData& data, LPVOID parent, SPropValue* out) {
  std::memset(out, 0, sizeof(*out));
  out->ulPropTag = tag;
  auto& v = out->Value;
  const int64_t number = std::holds_alternative<int64_t>(data) ? std::get<int64_t>(data) : 0;
  const double real = std::holds_alternative<double>(data) ? std::get<double>(data) : 0.0;
  switch (PROP_TYPE(tag)) {
    case PT_I2:
      v.i = static_cast<short>(number);
      return true;
    case PT_LONG:
      v.l = static_cast<LONG>(number);
      return true;
    case PT_ERROR:
      v.err = static_cast<SCODE>(number);
      return true;
    case PT_BOOLEAN:
      v.b = number != 0 ? 1 : 0;
      return true;
    case PT_I8:
      v.li.QuadPart = number;
      return true;
    case PT_SYSTIME:
      v.ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(number));
      v.ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(number) >> 32);
      return true;
    case PT_DOUBLE:
      v.dbl = real;
      return true;
    case PT_APPTIME:
      v.at = real;
      return true;
    case PT_FLOAT:
      v.flt = static_cast<float>(real);
      return true;
    case PT_UNICODE: {
      const std::wstring* text = std::get_if<std::wstring>(&data);
      const std::wstring empty;
      if (text == nullptr) text = &empty;
      v.lpszW = More<wchar_t>(text->size() + 1, parent);
      if (v.lpszW == nullptr) return false;
      std::memcpy(v.lpszW, text->c_str(), (text->size() + 1) * sizeof(wchar_t));
      return true;
    }
    case PT_STRING8: {
      const std::wstring* text = std::get_if<std::wstring>(&data);
      const std::string utf8 = text != nullptr ? WideToUtf8(*text) : std::string();
      v.lpszA = More<char>(utf8.size() + 1, parent);
      if (v.lpszA == nullptr) return false;
      std::memcpy(v.lpszA, utf8.c_str(), utf8.size() + 1);
      return true;
    }
    case PT_BINARY:
    case PT_CLSID: {
      const Bytes* bytes = std::get_if<Bytes>(&data);
      const Bytes empty;
      if (bytes == nullptr) bytes = &empty;
      if (PROP_TYPE(tag) == PT_CLSID) {
        if (bytes->size() != sizeof(GUID)) return false;
        v.lpguid = More<GUID>(1, parent);
        if (v.lpguid == nullptr) return false;
        std::memcpy(v.lpguid, bytes->data(), sizeof(GUID));
        return true;
      }
      v.bin.cb = static_cast<ULONG>(bytes->size());
      v.bin.lpb = More<BYTE>(bytes->empty() ? 1 : bytes->size(), parent);
      if (v.bin.lpb == nullptr) return false;
      if (!bytes->empty()) std::memcpy(v.bin.lpb, bytes->data(), bytes->size());
      return true;
    }
    default:
      return false;
  }
}

void ErrorSPropValue(ULONG tag, SCODE code, SPropValue* out) {
  std::memset(out, 0, sizeof(*out));
  out->ulPropTag = CHANGE_PROP_TYPE(tag, PT_ERROR);
  out->Value.err = code;
}

std::wstring HexText(const Bytes& bytes) {
  static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring text;
  text.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 0xF]);
  }
  return text;
}

std::optional<Bytes> ParseHex(std::wstring_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  auto digit = [](wchar_t c) -> int {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    return -1;
  };
  Bytes bytes;
  bytes.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = digit(text[i]);
    const int low = digit(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(high * 16 + low));
  }
  return bytes;
}

}  // namespace calendar_mirrow_addin::sim
