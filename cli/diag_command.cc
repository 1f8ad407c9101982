// `tidewell diag`: lookups for support staff, each a pure function of its input (and the
// user's folders for `logs`).

#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>

#include "base/app_folders.h"
#include "base/text.h"
#include "cli/arguments.h"
#include "cli/commands.h"
#include "cli/times.h"
#include "model/recurrence.h"
#include "model/time_zone_map.h"
#include "outlook/global_object_id.h"

namespace calendar_mirrow_addin::cli {

namespace {

constexpr char kUsage[] =
    "tidewell diag uid-from-goid HEX | goid-from-uid UID | rrule TEXT|- | "
    "convert TIME --from ZONE --to ZONE | logs";
constexpr char kHelp[] =
    "  uid-from-goid HEX   the UID a meeting's global object id stands for\n"
    "  goid-from-uid UID   the global object id (hexadecimal) of a UID\n"
    "  rrule TEXT          parse recurrence text (DTSTART/RRULE lines; - reads standard\n"
    "                      input) and print it as this system writes it\n"
    "  convert TIME        a wall-clock time of zone --from (an Olson name or UTC) in zone\n"
    "                      --to; TIME like 2026-12-08T09:00, or ending in Z for UTC\n"
    "  logs                the folder of the add-in's log files\n";
constexpr size_t kMaxInput = 1 << 20;

std::optional<std::vector<uint8_t>> ParseHexBytes(const std::string& text) {
  if (text.empty() || text.size() % 2 != 0) return std::nullopt;
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() / 2);
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = digit(text[i]), low = digit(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(high * 16 + low));
  }
  return bytes;
}

// "UTC" (any case) and "Z" are UTC, which the zone map names with empty text.
std::optional<std::wstring> ZoneArgument(const std::string& name) {
  const std::wstring wide = Utf8ToWide(name);
  if (ToLower(wide) == L"utc" || wide == L"Z") return std::wstring();
  ZoneRule rule;
  if (!TimeZoneMap::Instance().GetZoneRule(wide, rule)) return std::nullopt;
  return wide;
}

int Convert(const Arguments& args) {
  if (args.positional().size() != 2) return UsageError("convert takes one time", kUsage);
  if (!args.Has("to")) return UsageError("--to is required", kUsage);
  const auto typed = ParseTypedTime(args.positional()[1]);
  if (!typed || typed->date_only) {
    return Failure("not a time: \"" + args.positional()[1] + "\" (use 2026-12-08T09:00)");
  }
  if (!typed->utc && !args.Has("from")) return UsageError("--from is required", kUsage);
  if (typed->utc && args.Has("from"))
    return UsageError("a time ending in Z takes no --from", kUsage);
  std::wstring from;
  if (args.Has("from")) {
    const auto zone = ZoneArgument(*args.Value("from"));
    if (!zone) return Failure("unknown time zone " + *args.Value("from"));
    from = *zone;
  }
  const auto to = ZoneArgument(*args.Value("to"));
  if (!to) return Failure("unknown time zone " + *args.Value("to"));
  SystemTime utc = typed->fields;
  if (!typed->utc && !from.empty() &&
      !TimeZoneMap::Instance().ZoneLocalToUtc(typed->fields, from, utc)) {
    return Failure("the time cannot be placed in " + *args.Value("from"));
  }
  SystemTime local;
  if (!TimeZoneMap::Instance().UtcToZoneLocal(utc, *to, local)) {
    return Failure("the time cannot be converted to " + *args.Value("to"));
  }
  char text[40];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", local.year, local.month,
                local.day, local.hour, local.minute, local.second);
  std::cout << text << (to->empty() ? "Z" : "") << "\n";
  return kExitOk;
}

int RRule(const Arguments& args) {
  if (args.positional().size() != 2) return UsageError("rrule takes one text", kUsage);
  std::string text = args.positional()[1];
  if (text == "-") {
    text.clear();
    char buffer[8192];
    while (std::cin.read(buffer, sizeof buffer) || std::cin.gcount() > 0) {
      text.append(buffer, static_cast<size_t>(std::cin.gcount()));
      if (text.size() > kMaxInput) return Failure("the recurrence text is longer than 1 MiB");
    }
  }
  const auto recurrence = ParseRecurrence(Utf8ToWide(text));
  if (!recurrence) return Failure("the recurrence text is not understood");
  static const char* const kFrequencies[] = {"daily", "monthly", "weekly", "yearly"};
  const int frequency = recurrence->frequency();
  std::cout << "frequency: " << (frequency >= 0 && frequency <= 3 ? kFrequencies[frequency] : "?")
            << "\ninterval: " << recurrence->interval() << "\n";
  if (recurrence->start() != nullptr) {
    std::cout << "start: " << WideToUtf8(FormatIso(*recurrence->start()));
    if (!recurrence->tzid().empty()) std::cout << " (" << WideToUtf8(recurrence->tzid()) << ")";
    std::cout << "\n";
  }
  std::cout << "duration: " << recurrence->duration() << " seconds\n";
  if (recurrence->count() > 0) std::cout << "count: " << recurrence->count() << "\n";
  if (recurrence->until() != nullptr) {
    std::cout << "until: " << WideToUtf8(FormatIso(*recurrence->until())) << "\n";
  }
  std::string written = WideToUtf8(GenerateICal(*recurrence));
  // Shown with plain line ends, one property a line.
  std::string shown;
  for (char c : written) {
    if (c != '\r') shown.push_back(c);
  }
  std::cout << "written as:\n" << shown;
  if (!shown.empty() && shown.back() != '\n') std::cout << "\n";
  return kExitOk;
}

}  // namespace

int RunDiag(const std::vector<std::string>& words) {
  static const OptionSpec kOptions[] = {{"from", true}, {"to", true}};
  Arguments args;
  if (const auto done = ParseCommand(args, words, kOptions, kUsage, kHelp)) return *done;
  const std::string action = args.positional().empty() ? "" : args.positional().front();
  if (action != "convert" && (args.Has("from") || args.Has("to"))) {
    return UsageError("--from and --to belong to convert", kUsage);
  }
  const size_t count = args.positional().size();
  if (action == "uid-from-goid") {
    if (count != 2) return UsageError("uid-from-goid takes one id", kUsage);
    const auto bytes = ParseHexBytes(args.positional()[1]);
    if (!bytes) return Failure("not a hexadecimal id: " + args.positional()[1]);
    const std::wstring uid = UidFromGlobalObjectId(*bytes);
    if (uid.empty()) return Failure("the id holds no UID");
    std::cout << OneLine(WideToUtf8(uid)) << "\n";
    return kExitOk;
  }
  if (action == "goid-from-uid") {
    if (count != 2) return UsageError("goid-from-uid takes one UID", kUsage);
    if (args.positional()[1].empty()) return Failure("the UID is empty");
    static const char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (uint8_t byte : GlobalObjectIdBytesFromUid(Utf8ToWide(args.positional()[1]))) {
      hex.push_back(kDigits[byte >> 4]);
      hex.push_back(kDigits[byte & 15]);
    }
    std::cout << hex << "\n";
    return kExitOk;
  }
  if (action == "rrule") return RRule(args);
  if (action == "convert") return Convert(args);
  if (action == "logs") {
    if (count != 1) return UsageError("logs takes no argument", kUsage);
    const std::wstring folder = ApplicationDataFolder();
    if (folder.empty()) return Failure("the application-data folder is unknown (set HOME)");
    std::cout << WideToUtf8(folder) << "logs/\n";
    return kExitOk;
  }
  return UsageError(action.empty() ? "no action given" : "unknown action " + action, kUsage);
}

}  // namespace calendar_mirrow_addin::cli
