#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace calendar_mirrow_addin {

// The codec between a meeting's binary global object id (the GLOBAL_OBJID named property)
// and the textual `ical_uid` that the sync engine matches events by.
//
// Layout: a 16-byte class id, the instance date (year high byte, year low byte, month,
// day; zero for a whole series), an 8-byte creation time, 8 reserved bytes, the data size
// (32-bit little-endian) and the data from offset 40. Ids that carry a textual UID hold
// as data "vCal-Uid", the bytes 01 00 00 00, the UID's 8-bit text and a zero byte.
//
// UIDs are converted to and from 8-bit text as UTF-8, the platform's code page on Linux
// and what the web calendar uses for UIDs.

inline constexpr size_t kGlobalObjectIdTextOffset = 52;

// The UID an id stands for: for an id of the text form, its UID text, followed by
// "|yyyymmdd" when the id names one instance of a series; for any other id, the whole id
// in upper-case hexadecimal. Empty for an empty id or a text-form id without text.
std::wstring UidFromGlobalObjectId(std::span<const uint8_t> id);

// The id bytes for a UID. A 112-digit upper-case hexadecimal UID that begins with the
// class id and a zero instance date (as read from an id made elsewhere, or generated
// below) is decoded back into its 56 bytes. Any other UID becomes a text-form id; a
// "|yyyymmdd" suffix sets the instance date and is not part of the stored text.
std::vector<uint8_t> GlobalObjectIdBytesFromUid(const std::wstring& uid);

// A new UID of 112 hexadecimal digits: the class id, a zero instance date, four zero
// bytes and a new GUID twice. Empty when no GUID could be made.
std::wstring GenerateUid();

}  // namespace calendar_mirrow_addin
