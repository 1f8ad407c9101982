#include "sim/outlook/series.h"

#include <limits.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "sim/outlook/dispatch_object.h"
#include "sim/outlook/recurrence_dates.h"
#include "sim/outlook/store.h"

namespace calendar_mirrow_addin::sim {
namespace {

constexpr size_t kZoneStructSize = 48;

uint16_t U16(std::span<const uint8_t> d, size_t at) {
  return static_cast<uint16_t>(d[at] | d[at + 1] << 8);
}
int32_t I32(std::span<const uint8_t> d, size_t at) {
  return static_cast<int32_t>(static_cast<uint32_t>(d[at]) | static_cast<uint32_t>(d[at + 1]) << 8 |
                              static_cast<uint32_t>(d[at + 2]) << 16 |
                              static_cast<uint32_t>(d[at + 3]) << 24);
}
void PutU16(Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void PutI32(Bytes& out, int32_t v) {
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i)));
}

// A SYSTEMTIME: year, month, day of week, day, hour, minute, second, milliseconds.
ZoneTransition ReadTransition(std::span<const uint8_t> d, size_t at) {
  return {U16(d, at),     U16(d, at + 2), U16(d, at + 4),
          U16(d, at + 6), U16(d, at + 8), U16(d, at + 10)};
}
void PutTransition(Bytes& out, const ZoneTransition& t) {
  for (uint16_t v :
       {t.year, t.month, t.day_of_week, t.day, t.hour, t.minute, uint16_t{0}, uint16_t{0}}) {
    PutU16(out, v);
  }
}

bool ValidTransition(const ZoneTransition& t) {
  return t.month >= 1 && t.month <= 12 && t.day_of_week <= 6 && t.day >= 1 && t.day <= 31 &&
         t.hour < 24 && t.minute < 60;
}

// The local moment of a transition in `year`; none when it names no date of that year.
std::optional<LocalMinutes> TransitionIn(const ZoneTransition& t, int year) {
  const int minute = t.hour * 60 + t.minute;
  if (t.year != 0) return ToLocalMinutes({year, t.month, t.day}, minute);
  const auto first = ToLocalMinutes({year, t.month, 1});
  const auto next =
      t.month == 12 ? ToLocalMinutes({year + 1, 1, 1}) : ToLocalMinutes({year, t.month + 1, 1});
  if (!first || !next) return std::nullopt;
  const int64_t days = (*next - *first) / kMinutesPerDay;
  int64_t day = Mod(t.day_of_week - DayOfWeekOf(*first), 7) + 7 * (t.day - 1);
  while (day >= days) day -= 7;  // the fifth is the last
  return *first + day * kMinutesPerDay + minute;
}

// The machine's offset from UTC (seconds east) at `t`.
std::optional<long> MachineOffsetAt(time_t t) {
  tm local{};
  if (localtime_r(&t, &local) == nullptr) return std::nullopt;
  return local.tm_gmtoff;
}

// A change of the machine's offset, at its first second, as the n-th weekday of its month
// on the clock that the change ends.
ZoneTransition TransitionAt(time_t at, long before) {
  const time_t wall = at + before;
  tm t{};
  gmtime_r(&wall, &t);
  tm next_month{};
  next_month.tm_year = t.tm_year;
  next_month.tm_mon = t.tm_mon + 1;
  next_month.tm_mday = 0;  // normalised to the last day of t's month
  timegm(&next_month);
  const int week = t.tm_mday + 7 > next_month.tm_mday ? 5 : (t.tm_mday - 1) / 7 + 1;
  return {0,
          static_cast<uint16_t>(t.tm_mon + 1),
          static_cast<uint16_t>(t.tm_wday),
          static_cast<uint16_t>(week),
          static_cast<uint16_t>(t.tm_hour),
          static_cast<uint16_t>(t.tm_min)};
}

}  // namespace

std::optional<ZoneRule> MachineZoneRule(int year) {
  tzset();  // TZ may have changed since the last look
  tm first{};
  first.tm_year = year - 1900;
  first.tm_mday = 1;
  const time_t begin = timegm(&first);
  first.tm_year += 1;
  const time_t end = timegm(&first);
  const auto start_offset = MachineOffsetAt(begin);
  if (begin == -1 || end == -1 || !start_offset) return std::nullopt;
  struct Change {
    time_t at;
    long before, after;
  };
  std::vector<Change> changes;
  long previous = *start_offset;
  for (time_t day = begin; day < end && changes.size() <= 2; day += 86400) {
    const auto next = MachineOffsetAt(day + 86400);
    if (!next) return std::nullopt;
    if (*next == previous) continue;
    time_t low = day, high = day + 86400;  // the old offset at low, the new one at high
    while (high - low > 1) {
      const time_t middle = low + (high - low) / 2;
      (MachineOffsetAt(middle) == previous ? low : high) = middle;
    }
    changes.push_back({high, previous, *next});
    previous = *next;
  }
  ZoneRule rule;
  if (changes.empty()) {
    rule.bias = static_cast<int32_t>(-previous / 60);
    return rule;
  }
  if (changes.size() != 2 || changes[0].after != changes[1].before) return std::nullopt;
  const long standard = std::min(changes[0].before, changes[0].after);
  const long daylight = std::max(changes[0].before, changes[0].after);
  rule.bias = static_cast<int32_t>(-standard / 60);
  rule.daylight_bias = static_cast<int32_t>(-(daylight - standard) / 60);
  for (const Change& change : changes) {
    (change.after > change.before ? rule.daylight_date : rule.standard_date) =
        TransitionAt(change.at, change.before);
  }
  return rule;
}

std::wstring MachineZoneName() {
  std::string name;
  if (const char* tz = std::getenv("TZ"); tz != nullptr && *tz != 0) {
    name = tz[0] == ':' ? tz + 1 : tz;
  } else {
    char link[PATH_MAX];
    const ssize_t size = readlink("/etc/localtime", link, sizeof link - 1);
    if (size > 0) name.assign(link, static_cast<size_t>(size));
  }
  if (const size_t at = name.find("zoneinfo/"); at != std::string::npos) name.erase(0, at + 9);
  return name.empty() || name[0] == '/' ? std::wstring() : Utf8ToWide(name);
}

std::optional<ZoneRule> ParseTimeZoneStruct(std::span<const uint8_t> d) {
  if (d.size() != kZoneStructSize) return std::nullopt;
  ZoneRule rule;
  rule.bias = I32(d, 0);
  rule.standard_bias = I32(d, 4);
  rule.daylight_bias = I32(d, 8);
  // Each date is preceded by a year of its own (wStandardYear, wDaylightYear) that only
  // repeats the date's year.
  rule.standard_date = ReadTransition(d, 14);
  rule.daylight_date = ReadTransition(d, 32);
  // Biases beyond a day, or transitions that name no date, make no zone.
  for (int32_t b : {rule.bias, rule.standard_bias, rule.daylight_bias}) {
    if (b < -kMinutesPerDay || b > kMinutesPerDay) return std::nullopt;
  }
  if (rule.standard_date.month != 0 &&
      (!ValidTransition(rule.standard_date) || !ValidTransition(rule.daylight_date))) {
    return std::nullopt;
  }
  return rule;
}

Bytes TimeZoneStructBytes(const ZoneRule& rule) {
  Bytes out;
  PutI32(out, rule.bias);
  PutI32(out, rule.standard_bias);
  PutI32(out, rule.daylight_bias);
  PutU16(out, rule.standard_date.year);
  PutTransition(out, rule.standard_date);
  PutU16(out, rule.daylight_date.year);
  PutTransition(out, rule.daylight_date);
  return out;
}

bool SeriesZone::IsDaylight(LocalMinutes local) const {
  if (!rule_ || rule_->standard_date.month == 0) return false;
  const int year = ToLocalDate(local).year;
  const auto starts = TransitionIn(rule_->daylight_date, year);
  const auto ends = TransitionIn(rule_->standard_date, year);
  if (!starts || !ends) return false;
  // Southern zones start daylight time late in the year and end it early in the next.
  return *starts < *ends ? local >= *starts && local < *ends : local >= *starts || local < *ends;
}

std::optional<FileTime> SeriesZone::ToUtc(LocalMinutes local) const {
  if (!rule_) return UtcFileTime(DateOfMinutes(local));
  const int64_t offset =
      rule_->bias + (IsDaylight(local) ? rule_->daylight_bias : rule_->standard_bias);
  const int64_t utc = local + offset;
  if (utc < 0 || utc > kNeverEndDate + kMinutesPerDay) return std::nullopt;
  return static_cast<FileTime>(utc) * kTicksPerMinute;
}

std::optional<LocalMinutes> SeriesZone::FromUtc(FileTime utc) const {
  if (!rule_) {
    const auto date = LocalDate(utc);
    return date ? MinutesOfDate(*date) : std::nullopt;
  }
  if (utc % kTicksPerMinute != 0) return std::nullopt;
  const int64_t minutes = static_cast<int64_t>(utc / kTicksPerMinute);
  const LocalMinutes daylight = minutes - rule_->bias - rule_->daylight_bias;
  if (IsDaylight(daylight)) return daylight;
  return minutes - rule_->bias - rule_->standard_bias;
}

DATE DateOfMinutes(LocalMinutes minutes) {
  const auto date = ToLocalDate(minutes);
  const int64_t minute = Mod(minutes, kMinutesPerDay);
  SYSTEMTIME system{static_cast<WORD>(date.year),
                    static_cast<WORD>(date.month),
                    0,
                    static_cast<WORD>(date.day),
                    static_cast<WORD>(minute / 60),
                    static_cast<WORD>(minute % 60),
                    0,
                    0};
  DATE out = 0;
  SystemTimeToVariantTime(&system, &out);
  return out;
}

std::optional<LocalMinutes> MinutesOfDate(DATE date) {
  SYSTEMTIME system{};
  if (VariantTimeToSystemTime(date, &system) == 0) return std::nullopt;
  if (system.wSecond != 0 || system.wMilliseconds != 0) return std::nullopt;
  return ToLocalMinutes({system.wYear, system.wMonth, system.wDay},
                        system.wHour * 60 + system.wMinute);
}

namespace {

// Values as tag, kind and value: 0 an integer (eight bytes), 1 text (a length and four bytes
// a character), 2 a floating-point number (its eight bytes), 3 bytes (a length and the bytes).
class FieldWriter {
 public:
  void U32(uint64_t v) {
    for (int i = 0; i < 4; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  void U64(uint64_t v) {
    U32(v);
    U32(v >> 32);
  }
  void Props(const PropMap& props) {
    U32(props.size());
    for (const auto& [tag, value] : props) {
      U32(tag);
      if (const auto* number = std::get_if<int64_t>(&value)) {
        out_.push_back(0);
        U64(static_cast<uint64_t>(*number));
      } else if (const auto* text = std::get_if<std::wstring>(&value)) {
        out_.push_back(1);
        U32(text->size());
        for (wchar_t c : *text) U32(static_cast<uint32_t>(c));
      } else if (const auto* real = std::get_if<double>(&value)) {
        out_.push_back(2);
        uint64_t bits = 0;
        std::memcpy(&bits, real, sizeof bits);
        U64(bits);
      } else {
        const auto& bytes = std::get<Bytes>(value);
        out_.push_back(3);
        U32(bytes.size());
        out_.insert(out_.end(), bytes.begin(), bytes.end());
      }
    }
  }
  Bytes& out() { return out_; }

 private:
  Bytes out_;
};

class FieldReader {
 public:
  explicit FieldReader(std::span<const uint8_t> data) : data_(data) {}
  bool U32(uint32_t* v) {
    if (data_.size() - at_ < 4) return false;
    *v = static_cast<uint32_t>(I32(data_, at_));
    at_ += 4;
    return true;
  }
  bool U64(uint64_t* v) {
    uint32_t low = 0;
    uint32_t high = 0;
    if (!U32(&low) || !U32(&high)) return false;
    *v = uint64_t{high} << 32 | low;
    return true;
  }
  // Lengths beyond what is left are refused before anything is allocated.
  bool Props(PropMap* map) {
    uint32_t count = 0;
    if (!U32(&count)) return false;
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t tag = 0;
      uint32_t length = 0;
      uint64_t bits = 0;
      if (!U32(&tag) || at_ >= data_.size()) return false;
      switch (data_[at_++]) {
        case 0:
          if (!U64(&bits)) return false;
          (*map)[tag] = static_cast<int64_t>(bits);
          break;
        case 1: {
          if (!U32(&length) || length > (data_.size() - at_) / 4) return false;
          std::wstring text;
          for (uint32_t c = 0; c < length; ++c) {
            uint32_t unit = 0;
            U32(&unit);
            text.push_back(static_cast<wchar_t>(unit));
          }
          (*map)[tag] = std::move(text);
          break;
        }
        case 2: {
          if (!U64(&bits)) return false;
          double real = 0;
          std::memcpy(&real, &bits, sizeof real);
          (*map)[tag] = real;
          break;
        }
        case 3:
          if (!U32(&length) || length > data_.size() - at_) return false;
          (*map)[tag] = Bytes(data_.begin() + at_, data_.begin() + at_ + length);
          at_ += length;
          break;
        default:
          return false;
      }
    }
    return true;
  }
  bool done() const { return at_ == data_.size(); }

 private:
  std::span<const uint8_t> data_;
  size_t at_ = 0;
};

}  // namespace

Bytes EncodeExceptionFields(const ExceptionFields& fields) {
  FieldWriter out;
  out.U32(fields.size());
  for (const auto& [original, props] : fields) {
    out.U32(original);
    out.Props(props);
  }
  return std::move(out.out());
}

std::optional<ExceptionFields> DecodeExceptionFields(std::span<const uint8_t> data) {
  FieldReader in(data);
  ExceptionFields fields;
  uint32_t count = 0;
  if (!in.U32(&count)) return std::nullopt;
  for (uint32_t e = 0; e < count; ++e) {
    uint32_t original = 0;
    if (!in.U32(&original) || !in.Props(&fields[original])) return std::nullopt;
  }
  if (!in.done()) return std::nullopt;
  return fields;
}

Bytes EncodeExceptionRecipients(const ExceptionRecipients& recipients) {
  FieldWriter out;
  out.U32(recipients.size());
  for (const auto& [original, rows] : recipients) {
    out.U32(original);
    out.U32(rows.size());
    for (const PropMap& row : rows) out.Props(row);
  }
  return std::move(out.out());
}

std::optional<ExceptionRecipients> DecodeExceptionRecipients(std::span<const uint8_t> data) {
  FieldReader in(data);
  ExceptionRecipients recipients;
  uint32_t count = 0;
  if (!in.U32(&count)) return std::nullopt;
  for (uint32_t e = 0; e < count; ++e) {
    uint32_t original = 0;
    uint32_t rows = 0;
    if (!in.U32(&original) || !in.U32(&rows)) return std::nullopt;
    auto& list = recipients[original];
    list.clear();
    for (uint32_t r = 0; r < rows; ++r) {  // each row takes four bytes at least
      if (!in.Props(&list.emplace_back())) return std::nullopt;
    }
  }
  if (!in.done()) return std::nullopt;
  return recipients;
}

std::optional<PropMap> SeriesProps(Store& store, const RecurrencePatternData& pattern,
                                   const SeriesZone& zone) {
  const Bytes blob = EncodeAppointmentRecur(pattern);
  const auto first = Occurrences(pattern, 1);
  if (blob.empty() || !first || first->empty()) return std::nullopt;
  // The item's own times are those of the pattern's first day, whatever became of it.
  const LocalMinutes start = LocalMinutes{pattern.start_date} + pattern.start_time_offset;
  const LocalMinutes end = LocalMinutes{pattern.start_date} + pattern.end_time_offset;
  const auto start_utc = zone.ToUtc(start);
  const auto end_utc = zone.ToUtc(end);
  const auto clip_start = zone.ToUtc(pattern.start_date);
  const auto clip_end = zone.ToUtc(FloorDiv(pattern.end_date, kMinutesPerDay) * kMinutesPerDay);
  if (!start_utc || !end_utc || !clip_start || !clip_end || *end_utc < *start_utc) {
    return std::nullopt;
  }
  PropMap props;
  props[store.NamedTag(kApptRecur)] = blob;
  props[store.NamedTag(kRecurring)] = int64_t{1};
  props[store.NamedTag(kClipStart)] = static_cast<int64_t>(*clip_start);
  props[store.NamedTag(kClipEnd)] = static_cast<int64_t>(*clip_end);
  for (const NamedProp& prop : {kStartWhole, kCommonStart})
    props[store.NamedTag(prop)] = static_cast<int64_t>(*start_utc);
  for (const NamedProp& prop : {kEndWhole, kCommonEnd})
    props[store.NamedTag(prop)] = static_cast<int64_t>(*end_utc);
  props[store.NamedTag(kDuration)] =
      static_cast<int64_t>(pattern.end_time_offset) - pattern.start_time_offset;
  return props;
}

}  // namespace calendar_mirrow_addin::sim
