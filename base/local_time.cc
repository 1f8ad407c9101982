#include "base/local_time.h"

#include <algorithm>

#include "platform/clock.h"

namespace calendar_mirrow_addin {

namespace {

constexpr int64_t kSecondsPerDay = 86'400;

int64_t UnixSeconds(FileTime file_time) {
  return (static_cast<int64_t>(file_time) - static_cast<int64_t>(kUnixEpochFileTime)) /
         kFileTimeTicksPerSecond;
}

std::optional<SystemTime> Shift(FileTime file_time, int64_t seconds) {
  const auto shifted = AddTicks(file_time, seconds * kFileTimeTicksPerSecond);
  if (!shifted) return std::nullopt;
  return FileTimeToSystemTime(*shifted);
}

}  // namespace

SystemTime UtcNow() {
  const int64_t ms = platform::UtcNowMillis();
  const auto file_time =
      static_cast<FileTime>(kUnixEpochFileTime + ms * kFileTimeTicksPerMillisecond);
  return FileTimeToSystemTime(file_time).value_or(SystemTime{});
}

std::optional<SystemTime> MachineUtcToLocal(const SystemTime& utc) {
  const auto file_time = SystemTimeToFileTime(utc);
  if (!file_time) return std::nullopt;
  int32_t offset = 0;
  if (!platform::LocalOffsetAt(UnixSeconds(*file_time), &offset)) return std::nullopt;
  return Shift(*file_time, offset);
}

std::optional<SystemTime> MachineLocalToUtc(const SystemTime& local) {
  const auto wall = SystemTimeToFileTime(local);
  if (!wall) return std::nullopt;
  const int64_t wall_seconds = UnixSeconds(*wall);
  // The offsets a day before and a day after bracket any single transition; each gives a
  // candidate instant that is right when the zone really has that offset there.
  int32_t before = 0;
  int32_t after = 0;
  if (!platform::LocalOffsetAt(wall_seconds - kSecondsPerDay, &before) ||
      !platform::LocalOffsetAt(wall_seconds + kSecondsPerDay, &after)) {
    return std::nullopt;
  }
  auto fits = [&](int32_t offset) {
    int32_t actual = 0;
    return platform::LocalOffsetAt(wall_seconds - offset, &actual) && actual == offset;
  };
  const bool before_fits = fits(before);
  const bool after_fits = fits(after);
  int32_t offset = before;
  if (before_fits != after_fits) {
    offset = before_fits ? before : after;
  } else {
    // Both fit (the repeated hour) or neither does (the skipped hour): daylight time,
    // which is the larger offset.
    offset = before > after ? before : after;
  }
  return Shift(*wall, -static_cast<int64_t>(offset));
}

std::optional<ZoneBiases> MachineZoneBiases(const SystemTime& at) {
  int32_t offsets[2] = {0, 0};
  for (int i = 0; i < 2; ++i) {
    SystemTime probe{};
    probe.year = at.year;
    probe.month = i == 0 ? 1 : 7;
    probe.day = 1;
    probe.hour = 12;
    const auto file_time = SystemTimeToFileTime(probe);
    if (!file_time || !platform::LocalOffsetAt(UnixSeconds(*file_time), &offsets[i])) {
      return std::nullopt;
    }
  }
  const int32_t standard = std::min(offsets[0], offsets[1]);
  const int32_t daylight = std::max(offsets[0], offsets[1]);
  return ZoneBiases{-standard / 60, 0, -(daylight - standard) / 60};
}

}  // namespace calendar_mirrow_addin
