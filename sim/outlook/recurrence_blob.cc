// The binary form of a recurrence: reading and writing PidLidAppointmentRecur.

#include <limits>

#include "sim/outlook/recurrence.h"

namespace calendar_mirrow_addin::sim {
namespace {

// Reads little-endian values, failing (and staying failed) instead of running past the end.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> data) : data_(data) {}

  bool ok() const { return ok_; }
  size_t remaining() const { return ok_ ? data_.size() - pos_ : 0; }

  uint32_t U16() { return static_cast<uint32_t>(Take(2)); }
  uint32_t U32() { return static_cast<uint32_t>(Take(4)); }

  // Skips `count` bytes of a reserved block.
  void Skip(uint64_t count) {
    if (count > remaining()) ok_ = false;
    if (ok_) pos_ += static_cast<size_t>(count);
  }

  std::string Narrow(uint32_t length) {
    if (length > remaining()) ok_ = false;
    if (!ok_) return {};
    std::string text(reinterpret_cast<const char*>(data_.data() + pos_), length);
    pos_ += length;
    return text;
  }

  // `units` UTF-16 code units.
  std::wstring Wide(uint32_t units) {
    if (uint64_t{units} * 2 > remaining()) ok_ = false;
    if (!ok_) return {};
    std::wstring text;
    text.reserve(units);
    for (uint32_t i = 0; i < units; ++i) {
      const uint32_t unit = U16();
      if constexpr (sizeof(wchar_t) == 4) {
        // Joins a surrogate pair into its code point; a lone surrogate stays as it is.
        if (unit >= 0xDC00 && unit <= 0xDFFF && !text.empty()) {
          const uint32_t high = static_cast<uint32_t>(text.back());
          if (high >= 0xD800 && high <= 0xDBFF) {
            text.back() = static_cast<wchar_t>(0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00));
            continue;
          }
        }
      }
      text.push_back(static_cast<wchar_t>(unit));
    }
    return text;
  }

  // A count of records of at least `min_size` bytes each, refused when the rest of the data
  // could not hold them, so that nothing is sized by an unchecked count.
  std::optional<uint32_t> Count(uint32_t count, size_t min_size) {
    if (!ok_ || uint64_t{count} * min_size > remaining()) {
      ok_ = false;
      return std::nullopt;
    }
    return count;
  }

 private:
  uint64_t Take(size_t size) {
    if (size > remaining()) ok_ = false;
    if (!ok_) return 0;
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i) value |= uint64_t{data_[pos_ + i]} << (8 * i);
    pos_ += size;
    return value;
  }

  std::span<const uint8_t> data_;
  size_t pos_ = 0;
  bool ok_ = true;
};

class Writer {
 public:
  void U16(uint32_t value) { Put(value, 2); }
  void U32(uint32_t value) { Put(value, 4); }
  void Narrow(const std::string& text) { out_.insert(out_.end(), text.begin(), text.end()); }
  void Wide(const std::u16string& units) {
    for (char16_t unit : units) U16(unit);
  }
  Bytes Take() { return std::move(out_); }

 private:
  void Put(uint32_t value, int size) {
    for (int i = 0; i < size; ++i) out_.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
  Bytes out_;
};

std::u16string Utf16(const std::wstring& text) {
  std::u16string units;
  units.reserve(text.size());
  for (wchar_t c : text) {
    const uint32_t code = static_cast<uint32_t>(c);
    if (code > 0xFFFF && code <= 0x10FFFF) {
      units.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(code > 0xFFFF ? 0xFFFD : code));
    }
  }
  return units;
}

constexpr uint16_t kSubjectOrLocation = kOverrideSubject | kOverrideLocation;
// Times, original start and flags: the least an exception record can hold.
constexpr size_t kMinExceptionInfoSize = 14;
// Reserved block sizes of an extended exception record.
constexpr size_t kMinExtendedExceptionSize = 8;

bool KnownFrequency(uint32_t value) { return value >= 0x200A && value <= 0x200D; }

bool KnownPatternType(uint32_t value) {
  return value <= 0x0004 || (value >= 0x000A && value <= 0x000C);
}

bool KnownEndType(uint32_t value) {
  return (value >= 0x2021 && value <= 0x2023) || value == 0xFFFFFFFF;
}

bool HasWeekMask(PatternType type) {
  return type == PatternType::kWeek || type == PatternType::kMonthNth ||
         type == PatternType::kHjMonthNth;
}

bool HasDayOfMonth(PatternType type) {
  return type == PatternType::kMonth || type == PatternType::kMonthEnd ||
         type == PatternType::kHjMonth || type == PatternType::kHjMonthEnd;
}

bool IsMonthForm(PatternType type) {
  return type != PatternType::kDay && type != PatternType::kWeek;
}

bool ReadException(Reader& in, RecurrenceException* x) {
  x->start = in.U32();
  x->end = in.U32();
  x->original_start = in.U32();
  x->override_flags = static_cast<uint16_t>(in.U16());
  const auto text = [&in](std::string* out) {
    const uint32_t length = in.U16();
    const uint32_t length2 = in.U16();
    // The first length counts a terminator that is not stored.
    if (length != length2 + 1) return false;
    *out = in.Narrow(length2);
    return true;
  };
  if ((x->override_flags & kOverrideSubject) != 0 && !text(&x->subject)) return false;
  if ((x->override_flags & kOverrideMeetingType) != 0) x->meeting_type = in.U32();
  if ((x->override_flags & kOverrideReminderDelta) != 0) x->reminder_delta = in.U32();
  if ((x->override_flags & kOverrideReminder) != 0) x->reminder_set = in.U32();
  if ((x->override_flags & kOverrideLocation) != 0 && !text(&x->location)) return false;
  if ((x->override_flags & kOverrideBusyStatus) != 0) x->busy_status = in.U32();
  if ((x->override_flags & kOverrideAttachment) != 0) x->attachment = in.U32();
  if ((x->override_flags & kOverrideSubType) != 0) x->sub_type = in.U32();
  if ((x->override_flags & kOverrideAppointmentColor) != 0) x->appointment_color = in.U32();
  return in.ok();
}

bool ReadExtendedException(Reader& in, uint32_t writer_version2, RecurrenceException* x) {
  if (writer_version2 >= 0x3009) {
    const uint32_t size = in.U32();
    if (size < 4) return false;
    x->change_highlight = in.U32();
    in.Skip(size - 4);
  }
  in.Skip(in.U32());
  if ((x->override_flags & kSubjectOrLocation) != 0) {
    // Repeats the times of the exception record; that record is the one kept.
    in.U32();
    in.U32();
    in.U32();
    if ((x->override_flags & kOverrideSubject) != 0) x->wide_subject = in.Wide(in.U16());
    if ((x->override_flags & kOverrideLocation) != 0) x->wide_location = in.Wide(in.U16());
  }
  in.Skip(in.U32());
  return in.ok();
}

}  // namespace

bool IsValidPattern(const RecurrencePatternData& p) {
  if (p.reader_version != kRecurReaderVersion || p.writer_version != kRecurWriterVersion ||
      p.reader_version2 != kRecurReaderVersion2 || p.writer_version2 < 0x3006) {
    return false;
  }
  if (!KnownFrequency(static_cast<uint32_t>(p.frequency)) ||
      !KnownPatternType(static_cast<uint32_t>(p.pattern_type)) ||
      !KnownEndType(static_cast<uint32_t>(p.end_type))) {
    return false;
  }
  // Daily: whole days up to 999 of them; weeks and months: up to 99 (yearly forms count
  // months, 12 a year).
  switch (p.pattern_type) {
    case PatternType::kDay:
      if (p.period == 0 || p.period % kMinutesPerDay != 0 || p.period > 999 * kMinutesPerDay)
        return false;
      break;
    case PatternType::kWeek:
      if (p.period == 0 || p.period > 99) return false;
      break;
    default:
      if (p.period == 0 || p.period > 99 * 12) return false;
  }
  switch (p.frequency) {
    case RecurFrequency::kDaily:  // every N days, or the every-weekday form
      if (IsMonthForm(p.pattern_type)) return false;
      break;
    case RecurFrequency::kWeekly:
      if (p.pattern_type != PatternType::kWeek) return false;
      break;
    default:
      if (!IsMonthForm(p.pattern_type)) return false;
  }
  if (HasWeekMask(p.pattern_type) && (p.day_of_week_mask & 0x7F) == 0) return false;
  if (HasDayOfMonth(p.pattern_type) && (p.day_of_month < 1 || p.day_of_month > 31)) return false;
  if ((p.pattern_type == PatternType::kMonthNth || p.pattern_type == PatternType::kHjMonthNth) &&
      (p.nth < 1 || p.nth > 5)) {
    return false;
  }
  return p.first_day_of_week <= 6 && p.exceptions.size() == p.modified_instance_dates.size() &&
         p.exceptions.size() <= std::numeric_limits<uint16_t>::max() &&
         p.start_time_offset <= p.end_time_offset;
}

Bytes EncodeAppointmentRecur(const RecurrencePatternData& p) {
  if (!IsValidPattern(p)) return {};
  Writer out;
  out.U16(p.reader_version);
  out.U16(p.writer_version);
  out.U16(static_cast<uint16_t>(p.frequency));
  out.U16(static_cast<uint16_t>(p.pattern_type));
  out.U16(p.calendar_type);
  out.U32(p.first_date_time);
  out.U32(p.period);
  out.U32(p.sliding_flag);
  if (HasWeekMask(p.pattern_type)) out.U32(p.day_of_week_mask);
  if (HasDayOfMonth(p.pattern_type)) out.U32(p.day_of_month);
  if (p.pattern_type == PatternType::kMonthNth || p.pattern_type == PatternType::kHjMonthNth)
    out.U32(p.nth);
  out.U32(static_cast<uint32_t>(p.end_type));
  out.U32(p.occurrence_count);
  out.U32(p.first_day_of_week);
  for (const auto* dates : {&p.deleted_instance_dates, &p.modified_instance_dates}) {
    if (dates->size() > std::numeric_limits<uint32_t>::max()) return {};
    out.U32(static_cast<uint32_t>(dates->size()));
    for (uint32_t date : *dates) out.U32(date);
  }
  out.U32(p.start_date);
  out.U32(p.end_date);
  out.U32(p.reader_version2);
  out.U32(p.writer_version2);
  out.U32(p.start_time_offset);
  out.U32(p.end_time_offset);
  out.U16(static_cast<uint32_t>(p.exceptions.size()));
  // 16-bit lengths; the narrow ones also count a terminator.
  constexpr size_t kMaxText = std::numeric_limits<uint16_t>::max() - 1;
  const auto narrow = [&out](const std::string& text) {
    if (text.size() > kMaxText) return false;
    out.U16(static_cast<uint32_t>(text.size() + 1));
    out.U16(static_cast<uint32_t>(text.size()));
    out.Narrow(text);
    return true;
  };
  for (const RecurrenceException& x : p.exceptions) {
    out.U32(x.start);
    out.U32(x.end);
    out.U32(x.original_start);
    out.U16(x.override_flags);
    if ((x.override_flags & kOverrideSubject) != 0 && !narrow(x.subject)) return {};
    if ((x.override_flags & kOverrideMeetingType) != 0) out.U32(x.meeting_type);
    if ((x.override_flags & kOverrideReminderDelta) != 0) out.U32(x.reminder_delta);
    if ((x.override_flags & kOverrideReminder) != 0) out.U32(x.reminder_set);
    if ((x.override_flags & kOverrideLocation) != 0 && !narrow(x.location)) return {};
    if ((x.override_flags & kOverrideBusyStatus) != 0) out.U32(x.busy_status);
    if ((x.override_flags & kOverrideAttachment) != 0) out.U32(x.attachment);
    if ((x.override_flags & kOverrideSubType) != 0) out.U32(x.sub_type);
    if ((x.override_flags & kOverrideAppointmentColor) != 0) out.U32(x.appointment_color);
  }
  out.U32(0);  // reserved block 1
  for (const RecurrenceException& x : p.exceptions) {
    if (p.writer_version2 >= 0x3009) {
      out.U32(4);
      out.U32(x.change_highlight);
    }
    out.U32(0);
    if ((x.override_flags & kSubjectOrLocation) != 0) {
      out.U32(x.start);
      out.U32(x.end);
      out.U32(x.original_start);
      for (auto [flag, text] : {std::pair{kOverrideSubject, &x.wide_subject},
                                std::pair{kOverrideLocation, &x.wide_location}}) {
        if ((x.override_flags & flag) == 0) continue;
        const std::u16string units = Utf16(*text);
        if (units.size() > std::numeric_limits<uint16_t>::max()) return {};
        out.U16(static_cast<uint32_t>(units.size()));
        out.Wide(units);
      }
    }
    out.U32(0);
  }
  out.U32(0);  // reserved block 2
  return out.Take();
}

std::optional<RecurrencePatternData> DecodeAppointmentRecur(std::span<const uint8_t> data) {
  Reader in(data);
  RecurrencePatternData p;
  p.reader_version = static_cast<uint16_t>(in.U16());
  p.writer_version = static_cast<uint16_t>(in.U16());
  const uint32_t frequency = in.U16();
  const uint32_t pattern_type = in.U16();
  if (!in.ok() || !KnownFrequency(frequency) || !KnownPatternType(pattern_type))
    return std::nullopt;
  p.frequency = static_cast<RecurFrequency>(frequency);
  p.pattern_type = static_cast<PatternType>(pattern_type);
  p.calendar_type = static_cast<uint16_t>(in.U16());
  p.first_date_time = in.U32();
  p.period = in.U32();
  p.sliding_flag = in.U32();
  if (HasWeekMask(p.pattern_type)) p.day_of_week_mask = in.U32();
  if (HasDayOfMonth(p.pattern_type)) p.day_of_month = in.U32();
  if (p.pattern_type == PatternType::kMonthNth || p.pattern_type == PatternType::kHjMonthNth)
    p.nth = in.U32();
  const uint32_t end_type = in.U32();
  if (!in.ok() || !KnownEndType(end_type)) return std::nullopt;
  p.end_type = static_cast<EndType>(end_type);
  p.occurrence_count = in.U32();
  p.first_day_of_week = in.U32();
  for (auto* dates : {&p.deleted_instance_dates, &p.modified_instance_dates}) {
    const auto count = in.Count(in.U32(), 4);
    if (!count) return std::nullopt;
    dates->resize(*count);
    for (uint32_t& date : *dates) date = in.U32();
  }
  p.start_date = in.U32();
  p.end_date = in.U32();
  p.reader_version2 = in.U32();
  p.writer_version2 = in.U32();
  p.start_time_offset = in.U32();
  p.end_time_offset = in.U32();
  const auto exceptions = in.Count(in.U16(), kMinExceptionInfoSize);
  if (!exceptions || *exceptions != p.modified_instance_dates.size()) return std::nullopt;
  p.exceptions.resize(*exceptions);
  for (RecurrenceException& x : p.exceptions) {
    if (!ReadException(in, &x)) return std::nullopt;
  }
  in.Skip(in.U32());
  if (!in.Count(*exceptions, kMinExtendedExceptionSize)) return std::nullopt;
  for (RecurrenceException& x : p.exceptions) {
    if (!ReadExtendedException(in, p.writer_version2, &x)) return std::nullopt;
  }
  // The last reserved block's size is missing from some stored values (the published
  // sample of a Hebrew-calendar series ends right before it); its absence means no block.
  if (in.remaining() != 0) in.Skip(in.U32());
  if (!in.ok() || in.remaining() != 0 || !IsValidPattern(p)) return std::nullopt;
  return p;
}

std::optional<Bytes> WithEndType(std::span<const uint8_t> data, uint32_t end_type) {
  const auto pattern = DecodeAppointmentRecur(data);
  if (!pattern) return std::nullopt;
  // The field follows 22 bytes of header and the type's own fields of four bytes each.
  size_t at = 22;
  if (HasWeekMask(pattern->pattern_type)) at += 4;
  if (HasDayOfMonth(pattern->pattern_type)) at += 4;
  if (pattern->pattern_type == PatternType::kMonthNth ||
      pattern->pattern_type == PatternType::kHjMonthNth) {
    at += 4;
  }
  Bytes out(data.begin(), data.end());
  for (size_t i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(end_type >> (8 * i));
  return out;
}

}  // namespace calendar_mirrow_addin::sim
