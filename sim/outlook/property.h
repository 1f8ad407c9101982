#pragma once

// Property values of the simulated store: one value per MAPI tag, typed by the tag's low
// 16 bits, and their conversion to and from the MAPI records handed across the interfaces.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/com/mapi.h"

namespace calendar_mirrow_addin::sim {

using Bytes = std::vector<uint8_t>;

// Orders byte strings for map keys (memcmp, then length).
struct BytesLess {
  bool operator()(const Bytes& a, const Bytes& b) const;
};

// Integers (PT_I2, PT_LONG, PT_BOOLEAN, PT_I8, PT_SYSTIME as a file time, PT_ERROR), floating
// point (PT_DOUBLE, PT_FLOAT, PT_APPTIME), wide text (PT_UNICODE, PT_STRING8) or bytes
// (PT_BINARY, PT_CLSID).
using PropData = std::variant<int64_t, double, std::wstring, Bytes>;

// Properties by full tag; an item holds at most one tag per property id.
using PropMap = std::map<ULONG, PropData>;

// Whether the store can hold a value of this type (multi-valued and object types it cannot).
bool IsStorableType(ULONG type);

// The stored form of a MAPI value; none for a type the store cannot hold.
std::optional<PropData> FromSPropValue(const SPropValue& value);

// Fills `out` (tag included) from a stored value; strings and bytes are allocated with
// MAPIAllocateMore linked to `parent`. False when memory runs out.
bool ToSPropValue(ULONG tag, const PropData& data, LPVOID parent, SPropValue* out);

// A PT_ERROR value for the property id of `tag`.
void ErrorSPropValue(ULONG tag, SCODE code, SPropValue* out);

// Upper-case hexadecimal, two digits per byte; and back (none for odd lengths or non-digits).
std::wstring HexText(const Bytes& bytes);
std::optional<Bytes> ParseHex(std::wstring_view text);

// Property sets as MAPI publishes them.
inline constexpr GUID kPsetidAppointment = {
    0x00062002, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID kPsetidCommon = {
    0x00062008, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID kPsetidMeeting = {
    0x6ED8DA90, 0x450B, 0x101B, {0x98, 0xDA, 0x00, 0xAA, 0x00, 0x3F, 0x13, 0x05}};
inline constexpr GUID kPsPublicStrings = {
    0x00020329, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// Named properties the object model keeps its appointment fields in (set, long id, type).
struct NamedProp {
  GUID set;
  LONG id;
  ULONG type;
};
inline constexpr NamedProp kGlobalObjectId = {kPsetidMeeting, 0x0003, PT_BINARY};
inline constexpr NamedProp kCleanGlobalObjectId = {kPsetidMeeting, 0x0023, PT_BINARY};
inline constexpr NamedProp kBusyStatus = {kPsetidAppointment, 0x8205, PT_LONG};
inline constexpr NamedProp kLocation = {kPsetidAppointment, 0x8208, PT_UNICODE};
inline constexpr NamedProp kStartWhole = {kPsetidAppointment, 0x820D, PT_SYSTIME};
inline constexpr NamedProp kEndWhole = {kPsetidAppointment, 0x820E, PT_SYSTIME};
inline constexpr NamedProp kDuration = {kPsetidAppointment, 0x8213, PT_LONG};
inline constexpr NamedProp kSubType = {kPsetidAppointment, 0x8215, PT_BOOLEAN};  // all day
inline constexpr NamedProp kStateFlags = {kPsetidAppointment, 0x8217, PT_LONG};
inline constexpr NamedProp kResponseStatus = {kPsetidAppointment, 0x8218, PT_LONG};
inline constexpr NamedProp kRecurring = {kPsetidAppointment, 0x8223, PT_BOOLEAN};
inline constexpr NamedProp kReminderDelta = {kPsetidCommon, 0x8501, PT_LONG};
inline constexpr NamedProp kReminderSet = {kPsetidCommon, 0x8503, PT_BOOLEAN};
inline constexpr NamedProp kCommonStart = {kPsetidCommon, 0x8516, PT_SYSTIME};
inline constexpr NamedProp kCommonEnd = {kPsetidCommon, 0x8517, PT_SYSTIME};

inline constexpr ULONG kPrSubjectW = PROP_TAG(PT_UNICODE, 0x0037);
inline constexpr ULONG kPrSensitivity = PROP_TAG(PT_LONG, 0x0036);
inline constexpr ULONG kPrBodyW = PROP_TAG(PT_UNICODE, 0x1000);
inline constexpr ULONG kPrDisplayNameW = PR_DISPLAY_NAME_W;
inline constexpr ULONG kPrRecipientTrackStatus = PROP_TAG(PT_LONG, 0x5FFF);
inline constexpr SCODE kMapiErrorComputed = static_cast<SCODE>(0x8004011Au);

}  // namespace calendar_mirrow_addin::sim
