#include "sim/outlook/seed.h"

#include <cstring>

#include "sim/outlook/series.h"

namespace calendar_mirrow_addin::sim {

namespace {

constexpr uint8_t kGlobalObjectIdClass[16] = {0x04, 0x00, 0x00, 0x00, 0x82, 0x00, 0xE0, 0x00,
                                              0x74, 0xC5, 0xB7, 0x10, 0x1A, 0x82, 0xE0, 0x08};
constexpr int64_t kTicksPerMinute = 600'000'000;

}  // namespace

Bytes MakeOutlookGlobalObjectId(FileTime created) {
  // Instance date, reserved bytes and the unused size bytes stay zero.
  Bytes id(56, 0);
  std::memcpy(id.data(), kGlobalObjectIdClass, 16);
  for (size_t i = 0; i < 8; ++i) id[20 + i] = static_cast<uint8_t>(created >> (8 * i));
  id[36] = 16;
  GUID random{};
  CoCreateGuid(&random);
  std::memcpy(id.data() + 40, &random, sizeof(GUID));
  return id;
}

Bytes AddAppointment(Store& store, const AppointmentSeed& seed) {
  const FileTime end = seed.end != 0 ? seed.end : seed.start + 30 * kTicksPerMinute;
  PropMap props;
  props[PR_MESSAGE_CLASS_W] = seed.message_class;
  props[kPrSubjectW] = seed.subject;
  if (!seed.body.empty()) props[kPrBodyW] = seed.body;
  props[store.NamedTag(kLocation)] = seed.location;
  for (const NamedProp& prop : {kStartWhole, kCommonStart}) {
    props[store.NamedTag(prop)] = static_cast<int64_t>(seed.start);
  }
  for (const NamedProp& prop : {kEndWhole, kCommonEnd}) {
    props[store.NamedTag(prop)] = static_cast<int64_t>(end);
  }
  props[store.NamedTag(kDuration)] = static_cast<int64_t>(
      (static_cast<int64_t>(end) - static_cast<int64_t>(seed.start)) / kTicksPerMinute);
  props[store.NamedTag(kSubType)] = int64_t{seed.all_day ? 1 : 0};
  props[store.NamedTag(kBusyStatus)] = int64_t{seed.busy_status};
  props[store.NamedTag(kStateFlags)] = int64_t{seed.meeting_status};
  if (seed.global_object_id) {
    props[store.NamedTag(kGlobalObjectId)] = *seed.global_object_id;
    props[store.NamedTag(kCleanGlobalObjectId)] = *seed.global_object_id;
  }
  int64_t number = 0;
  if (store.Save(&number, props, {}) != S_OK) return {};
  return store.items().at(number).entry_id;
}

Bytes AddRecurringAppointment(Store& store, const AppointmentSeed& seed, const RecurrenceView& view,
                              const std::optional<Bytes>& zone_struct,
                              const std::wstring& zone_label) {
  const auto pattern = PatternFromView(view);
  const std::optional<ZoneRule> rule =
      zone_struct ? ParseTimeZoneStruct(*zone_struct) : std::nullopt;
  if (!pattern || (zone_struct && !rule)) return {};
  auto props = SeriesProps(store, *pattern, SeriesZone(rule));
  if (!props) return {};
  if (zone_struct) {
    (*props)[store.NamedTag(kTimeZoneStruct)] = *zone_struct;
    (*props)[store.NamedTag(kTimeZoneDescription)] = zone_label;
  }
  const Bytes id = AddAppointment(store, seed);
  const StoredItem* item = id.empty() ? nullptr : store.Find(id);
  if (item == nullptr) return {};
  int64_t number = item->number;
  return store.Save(&number, *props, {}) == S_OK ? id : Bytes();
}

std::optional<PropData> NamedValue(Store& store, const StoredItem& item, const NamedProp& prop) {
  const auto* found = item.Find(store.NamedTag(prop));
  if (found == nullptr) return std::nullopt;
  return found->second;
}

}  // namespace calendar_mirrow_addin::sim
