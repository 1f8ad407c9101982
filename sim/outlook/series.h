#pragma once

// A recurring series as the store keeps it: the zone its pattern is written in (the 48-byte
// time-zone structure), the conversion of the pattern's local times to UTC and back, and the
// properties that must change together whenever the pattern does.

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/system_time.h"
#include "platform/com/oleaut.h"
#include "sim/outlook/property.h"
#include "sim/outlook/recurrence.h"

namespace calendar_mirrow_addin::sim {

class Store;

// Named properties of a series.
inline constexpr NamedProp kApptRecur = {kPsetidAppointment, 0x8216, PT_BINARY};
inline constexpr NamedProp kTimeZoneStruct = {kPsetidAppointment, 0x8233, PT_BINARY};
inline constexpr NamedProp kTimeZoneDescription = {kPsetidAppointment, 0x8234, PT_UNICODE};
inline constexpr NamedProp kClipStart = {kPsetidAppointment, 0x8235, PT_SYSTIME};
inline constexpr NamedProp kClipEnd = {kPsetidAppointment, 0x8236, PT_SYSTIME};

// Where the simulation keeps what Outlook keeps in the message embedded for each changed
// occurrence, by original start: the fields the exception records cannot hold (the body, the
// sensitivity, the meeting status, user and other properties set on the occurrence) and its
// own recipient rows. A changed occurrence without rows of its own has the series' ones.
inline constexpr GUID kPsetidSimSeries = {
    0x5E21E5A0, 0x7C1D, 0x4B4E, {0x9A, 0x3D, 0x1F, 0x52, 0x6C, 0x0B, 0x8E, 0x41}};
inline constexpr NamedProp kExceptionFields = {kPsetidSimSeries, 0x0001, PT_BINARY};
inline constexpr NamedProp kExceptionRecipients = {kPsetidSimSeries, 0x0002, PT_BINARY};
using ExceptionFields = std::map<uint32_t, PropMap>;
using ExceptionRecipients = std::map<uint32_t, std::vector<PropMap>>;
// None for data truncated, of an unknown kind, or with bytes left over.
Bytes EncodeExceptionFields(const ExceptionFields& fields);
std::optional<ExceptionFields> DecodeExceptionFields(std::span<const uint8_t> data);
Bytes EncodeExceptionRecipients(const ExceptionRecipients& recipients);
std::optional<ExceptionRecipients> DecodeExceptionRecipients(std::span<const uint8_t> data);

// One transition of a zone: with year 0, the `day`-th (5: last) `day_of_week` of `month`;
// otherwise that fixed date. Month 0 means the zone has no daylight time.
struct ZoneTransition {
  uint16_t year = 0;
  uint16_t month = 0;
  uint16_t day_of_week = 0;
  uint16_t day = 0;
  uint16_t hour = 0;
  uint16_t minute = 0;
};

// The time-zone structure: UTC = local + bias + standard or daylight bias (minutes).
struct ZoneRule {
  int32_t bias = 0;
  int32_t standard_bias = 0;
  int32_t daylight_bias = 0;
  ZoneTransition standard_date;  // daylight time ends (in daylight time)
  ZoneTransition daylight_date;  // daylight time starts (in standard time)
};

std::optional<ZoneRule> ParseTimeZoneStruct(std::span<const uint8_t> data);
Bytes TimeZoneStructBytes(const ZoneRule& rule);

// The machine's zone as Outlook describes it on a new series: the rule of `year` (the
// transitions the C library knows for that year, each as the n-th weekday of its month),
// none when the offset changes other than never or twice that year; and its name (the
// Olson id of TZ or /etc/localtime, empty when unknown).
std::optional<ZoneRule> MachineZoneRule(int year);
std::wstring MachineZoneName();

// The series' zone: its rule, or the machine's zone when the series has none.
class SeriesZone {
 public:
  explicit SeriesZone(std::optional<ZoneRule> rule) : rule_(rule) {}
  std::optional<FileTime> ToUtc(LocalMinutes local) const;
  std::optional<LocalMinutes> FromUtc(FileTime utc) const;

 private:
  bool IsDaylight(LocalMinutes local) const;
  std::optional<ZoneRule> rule_;
};

// Local minutes as an automation date (no zone involved), and back to the whole minute;
// none when the date is out of range or not on a whole minute.
DATE DateOfMinutes(LocalMinutes minutes);
std::optional<LocalMinutes> MinutesOfDate(DATE date);

// The values the pattern decides on the series item: the pattern itself, the recurring flag,
// the clip range and the first occurrence as the item's start and end (UTC). None when the
// pattern cannot be stored or has no occurrence, or its times cannot be placed in the zone.
std::optional<PropMap> SeriesProps(Store& store, const RecurrencePatternData& pattern,
                                   const SeriesZone& zone);

}  // namespace calendar_mirrow_addin::sim
