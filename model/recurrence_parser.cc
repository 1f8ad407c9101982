#include "model/recurrence.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/logger.h"
#include "base/system_time.h"
#include "base/text.h"

namespace calendar_mirrow_addin {

namespace {

using Parameters = std::map<std::wstring, std::wstring>;

constexpr int64_t kMaxDuration = std::numeric_limits<int32_t>::max();

constexpr std::array<std::pair<std::wstring_view, Frequency>, 4> kFrequencies = {{
    {L"DAILY", kFrequencyDaily},
    {L"MONTHLY", kFrequencyMonthly},
    {L"WEEKLY", kFrequencyWeekly},
    {L"YEARLY", kFrequencyYearly},
}};

constexpr std::array<std::pair<std::wstring_view, int32_t>, 7> kDays = {{
    {L"SU", kSunday},
    {L"MO", kMonday},
    {L"TU", kTuesday},
    {L"WE", kWednesday},
    {L"TH", kThursday},
    {L"FR", kFriday},
    {L"SA", kSaturday},
}};

// Index of Monday in kDays: the week start every reader assumes when a rule names none.
constexpr int32_t kMondayIndex = 1;

// Rule parts that would need a finer grain than the calendars can express.
constexpr std::array<std::wstring_view, 5> kUnsupportedParameters = {
    L"BYSECOND", L"BYMINUTE", L"BYHOUR", L"BYWEEKNO", L"BYYEARDAY"};

struct DurationUnit {
  wchar_t letter;
  int64_t seconds;
};
constexpr std::array<DurationUnit, 2> kDateUnits = {{{L'D', 86400}, {L'W', 604800}}};
constexpr std::array<DurationUnit, 3> kTimeUnits = {{{L'H', 3600}, {L'M', 60}, {L'S', 1}}};

// Logs why the text is refused; always false so that callers can return it.
bool Refuse(const std::wstring& message, int32_t level = Logger::INFO) {
  Log(level, message);
  return false;
}

// Removes every occurrence of `fold`, scanning once: a removal never makes the text
// shift under a second search, so hostile input with millions of folds stays linear.
std::wstring RemoveAll(std::wstring_view text, std::wstring_view fold) {
  std::wstring kept;
  kept.reserve(text.size());
  size_t from = 0;
  for (size_t at = text.find(fold); at != std::wstring_view::npos; at = text.find(fold, from)) {
    kept.append(text.substr(from, at - from));
    from = at + fold.size();
  }
  kept.append(text.substr(from));
  return kept;
}

// The embedded zone definition is not read: zones are resolved by name.
std::vector<std::wstring_view> WordsOutsideTimeZones(std::wstring_view text) {
  std::vector<std::wstring_view> words;
  bool in_zone = false;
  for (std::wstring_view word : SplitTokens(text, L" \t\r\n\v\f")) {
    if (in_zone) {
      in_zone = word != L"END:VTIMEZONE";
    } else if (word == L"BEGIN:VTIMEZONE") {
      in_zone = true;
    } else {
      words.push_back(word);
    }
  }
  return words;
}

const std::wstring* Present(const Parameters& parameters, const std::wstring& key) {
  const auto it = parameters.find(key);
  return it == parameters.end() || it->second.empty() ? nullptr : &it->second;
}

// Lists are not supported where a single number is expected; they read as 0.
int32_t SingleNumber(std::wstring_view value) {
  return value.find(L',') == std::wstring_view::npos ? ParseDecimal(value) : 0;
}

bool ReadFrequency(const Parameters& parameters, Recurrence& recurrence) {
  const auto it = parameters.find(L"FREQ");
  const std::wstring value = it == parameters.end() ? std::wstring() : it->second;
  const auto known = std::find_if(kFrequencies.begin(), kFrequencies.end(),
                                  [&](const auto& entry) { return entry.first == value; });
  if (known == kFrequencies.end()) {
    return Refuse(L"Unsupported frequency: " + value, Logger::SEVERE);
  }
  recurrence.set_frequency(known->second);
  return true;
}

bool ReadLimits(const Parameters& parameters, Recurrence& recurrence) {
  if (const std::wstring* until = Present(parameters, L"UNTIL")) {
    auto value = ParseICal(*until, std::wstring());
    if (value == nullptr) return Refuse(L"Unable to parse until date");
    recurrence.set_until(std::move(value));
  }
  // A negative count means nothing; read as no count it survives the writer, which leaves
  // it out.
  const std::wstring* count = Present(parameters, L"COUNT");
  recurrence.set_count(count != nullptr ? std::max(ParseDecimal(*count), -1) : -1);
  // A step below one means nothing; read as one it matches what the writer produces
  // (it leaves such an interval out), so the two calendars agree on the series.
  const std::wstring* interval = Present(parameters, L"INTERVAL");
  recurrence.set_interval(interval != nullptr ? std::max(ParseDecimal(*interval), 1) : 1);
  return true;
}

bool ReadByDay(const Parameters& parameters, Recurrence& recurrence) {
  if (const std::wstring* by_day = Present(parameters, L"BYDAY")) {
    return ParseByDay(*by_day, recurrence) || Refuse(L"Unsuported use of BYDAY");
  }
  const Frequency frequency = recurrence.frequency();
  if (frequency == kFrequencyDaily || frequency == kFrequencyWeekly) {
    recurrence.set_days_of_week(0);
  }
  return true;
}

bool ReadByMonthDay(const Parameters& parameters, Recurrence& recurrence) {
  const std::wstring* value = Present(parameters, L"BYMONTHDAY");
  if (value == nullptr) return true;
  const Frequency frequency = recurrence.frequency();
  const int32_t day = SingleNumber(*value);
  if ((frequency != kFrequencyMonthly && frequency != kFrequencyYearly) || day < 1 || day > 31) {
    return Refuse(L"Unsuported use of BYMONTHDAY");
  }
  recurrence.set_month_day(day);
  return true;
}

bool ReadByMonth(const Parameters& parameters, Recurrence& recurrence) {
  const std::wstring* value = Present(parameters, L"BYMONTH");
  if (value == nullptr) return true;
  const int32_t month = SingleNumber(*value);
  if (recurrence.frequency() != kFrequencyYearly || month < 1 || month > 12) {
    return Refuse(L"Unsuported use of BYMONTH");
  }
  recurrence.set_month(month);
  return true;
}

// The record holds one position (first to fourth, or last) among the days of a period.
// Any other position, or a position on top of numbered days (1MO,1WE;BYSETPOS=2), would
// have to be widened into a different series, so it is refused instead.
bool ReadBySetPos(const Parameters& parameters, Recurrence& recurrence) {
  const std::wstring* value = Present(parameters, L"BYSETPOS");
  if (value == nullptr) return true;
  const std::wstring* by_day = Present(parameters, L"BYDAY");
  const bool numbered_days =
      by_day != nullptr && by_day->find_first_of(L"0123456789") != std::wstring::npos;
  const int32_t position = SingleNumber(*value);
  if (numbered_days || position == 0 || position < -1 || position > 4) {
    return Refuse(L"Unsuported ical parameter");
  }
  recurrence.set_ordwk(position == -1 ? 5 : position);
  return true;
}

// The record has no week start; Monday is what every reader assumes without one. Only
// a known day is accepted, and whether it changes the series is decided once the start is
// known (see WeekStartChangesSeries).
bool ReadWeekStart(const Parameters& parameters, int32_t& week_start) {
  const std::wstring* value = Present(parameters, L"WKST");
  if (value == nullptr) return true;
  const auto known = std::find_if(kDays.begin(), kDays.end(),
                                  [&](const auto& entry) { return entry.first == *value; });
  if (known == kDays.end()) return Refuse(L"Unsuported ical parameter");
  week_start = static_cast<int32_t>(known - kDays.begin());
  return true;
}

// What the reading of one text carries besides the record.
struct ParseState {
  bool rule_seen = false;
  int32_t week_start = kMondayIndex;
};

bool ReadRRule(std::wstring_view value, Recurrence& recurrence, ParseState& state) {
  const Parameters parameters = ParseRRuleParameters(value);
  if (!ReadFrequency(parameters, recurrence) || !ReadLimits(parameters, recurrence)) return false;
  for (std::wstring_view key : kUnsupportedParameters) {
    if (Present(parameters, std::wstring(key)) != nullptr) {
      return Refuse(L"Unsuported ical parameter");
    }
  }
  return ReadByDay(parameters, recurrence) && ReadByMonthDay(parameters, recurrence) &&
         ReadByMonth(parameters, recurrence) && ReadBySetPos(parameters, recurrence) &&
         ReadWeekStart(parameters, state.week_start);
}

// The zone follows "TZID=" (in "DTSTART;TZID=America/New_York"). Looking it up instead of
// cutting at a fixed offset keeps a short or unusual name from reading past its end.
std::wstring StartZone(std::wstring_view name) {
  constexpr std::wstring_view kTzid = L"TZID=";
  const size_t at = name.find(kTzid);
  return at == std::wstring_view::npos ? std::wstring()
                                       : std::wstring(name.substr(at + kTzid.size()));
}

bool ReadStart(std::wstring_view name, std::wstring_view value, Recurrence& recurrence) {
  recurrence.set_tzid(StartZone(name));
  auto start = ParseICal(value, recurrence.tzid());
  if (start == nullptr) return Refuse(L"Unable to parse start date");
  recurrence.set_start(std::move(start));
  return true;
}

// The end is read in the start's zone and measured from the start, so DTSTART must come
// first. An end before the start is refused rather than turned into a zero or wrapped
// length; a span too long for the duration field saturates, like DURATION does.
bool ReadEnd(std::wstring_view value, Recurrence& recurrence) {
  const DateTime* start = recurrence.start();
  if (start == nullptr) return Refuse(L"Unable to parse end date");
  const auto end = ParseICal(value, recurrence.tzid());
  if (end == nullptr || *end < *start) return Refuse(L"Unable to parse end date");
  const uint64_t seconds = SecondsBetween(*end, *start);
  recurrence.set_duration(static_cast<int32_t>(std::min<uint64_t>(seconds, kMaxDuration)));
  return true;
}

bool ReadDuration(std::wstring_view value, Recurrence& recurrence) {
  int32_t seconds = 0;
  if (!ParseDuration(value, &seconds)) return Refuse(L"Unable to parse duration");
  recurrence.set_duration(seconds);
  return true;
}

bool ReadContentLine(std::wstring_view word, Recurrence& recurrence, ParseState& state) {
  const auto pieces = SplitTokens(word, L":");
  if (pieces.size() != 2) return Refuse(L"Malformed line");
  const std::wstring_view name = pieces[0];
  const std::wstring_view value = pieces[1];
  if (name.starts_with(L"DTSTART")) return ReadStart(name, value, recurrence);
  if (name.starts_with(L"DTEND")) return ReadEnd(value, recurrence);
  if (name == L"DURATION") return ReadDuration(value, recurrence);
  if (name == L"RRULE") {
    state.rule_seen = true;
    return ReadRRule(value, recurrence, state);
  }
  return true;  // EXDATE, RDATE and the like are not used.
}

// The start as a wall-clock date in its own zone: monthly and yearly rules take their
// implied day and month from it, and weeks are counted from it.
SystemTime LocalStart(const Recurrence& recurrence) {
  const DateTime& start = *recurrence.start();
  SystemTime local = start.ToSystemTime();
  SystemTime converted;
  if (!start.date_only && ToZoneLocalTime(start, recurrence.tzid(), converted)) local = converted;
  return local;
}

// Monthly and yearly rules that name no day repeat on the start's day (and month). Both
// are taken from the local date, so that a start late in the evening west of UTC does not
// pair one date's day with the next date's month.
void ApplyImpliedDate(Recurrence& recurrence, const SystemTime& local) {
  const Frequency frequency = recurrence.frequency();
  const bool no_weekday = recurrence.days_of_week() < 1;
  if (no_weekday && recurrence.month_day() < 1 &&
      (frequency == kFrequencyMonthly || frequency == kFrequencyYearly)) {
    recurrence.set_month_day(local.day);
  }
  if (no_weekday && recurrence.month() < 1 && frequency == kFrequencyYearly) {
    recurrence.set_month(local.month);
  }
}

// A week start only matters to a weekly rule that skips weeks: every other week from a
// Tuesday on Tuesday and Sunday means the Sunday before the Tuesday when weeks start on
// Sunday, and the Sunday after it when they start on Monday. The series changes exactly
// when some chosen day lies on the other side of the start's day under the two counts.
bool WeekStartChangesSeries(const Recurrence& recurrence, int32_t week_start, int32_t start_day) {
  if (recurrence.frequency() != kFrequencyWeekly || recurrence.interval() < 2) return false;
  const auto offset = [start_day](int32_t day, int32_t first) {
    return (day - first + 7) % 7 - (start_day - first + 7) % 7;
  };
  for (int32_t day = 0; day < 7; ++day) {
    if ((recurrence.days_of_week() & (1 << day)) == 0) continue;
    if (offset(day, week_start) != offset(day, kMondayIndex)) return true;
  }
  return false;
}

// 0 for anything but the two-letter day names.
int32_t DayBit(std::wstring_view day) {
  const auto known = std::find_if(kDays.begin(), kDays.end(),
                                  [&](const auto& entry) { return entry.first == day; });
  return known == kDays.end() ? 0 : known->second;
}

// Digits build a number that the next unit letter multiplies into the total; none for a
// letter that is not one of `units`.
std::optional<int64_t> AddDurationPart(std::wstring_view part, std::span<const DurationUnit> units,
                                       int64_t total) {
  int64_t number = 0;
  for (const wchar_t c : part) {
    if (c >= L'0' && c <= L'9') {
      number = std::min(number * 10 + (c - L'0'), kMaxDuration);
      continue;
    }
    const auto unit = std::find_if(units.begin(), units.end(),
                                   [c](const DurationUnit& u) { return u.letter == c; });
    if (unit == units.end()) return std::nullopt;
    total = std::min(total + number * unit->seconds, kMaxDuration);
    number = 0;
  }
  return total;
}

}  // namespace

// Continuation lines start with a blank or a tab after the line break; lone CR and LF
// breaks are unfolded too. Each kind of fold is removed in its own pass, in this order.
std::wstring UnfoldICal(std::wstring_view text) {
  std::wstring unfolded(text);
  for (std::wstring_view fold : {L"\r\n ", L"\r\n\t", L"\r\t", L"\r ", L"\n\t", L"\n "}) {
    unfolded = RemoveAll(unfolded, fold);
  }
  return unfolded;
}

std::map<std::wstring, std::wstring> ParseRRuleParameters(std::wstring_view value) {
  Parameters parameters;
  for (std::wstring_view piece : SplitTokens(value, L";")) {
    const size_t equals = piece.find(L'=');
    if (equals == std::wstring_view::npos) continue;
    parameters[Trim(piece.substr(0, equals))] = Trim(piece.substr(equals + 1));
  }
  return parameters;
}

bool ParseByDay(std::wstring_view value, Recurrence& recurrence) {
  const auto pieces = SplitTokens(value, L",");
  if (pieces.empty()) return false;
  recurrence.set_days_of_week(0);
  int32_t days = 0;
  int32_t ordinal = 0;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const std::wstring_view piece = pieces[i];
    if (piece.size() < 2) return false;
    const int32_t piece_ordinal = ParseDecimal(piece.substr(0, piece.size() - 2));
    if (i == 0 && (piece_ordinal < -1 || piece_ordinal > 4)) {
      return Refuse(L"Unsupported value of ordwk");
    }
    // The record holds one position for the set of days, so numbered days must stand
    // alone: 1MO,1WE (the first Monday and the first Wednesday) is not the first of the
    // Mondays and Wednesdays, and reading it so would lose half the series.
    if (i > 0 && (piece_ordinal != ordinal || ordinal != 0)) {
      return Refuse(L"Multiple values of ordwk are not supported");
    }
    ordinal = piece_ordinal;
    const int32_t bit = DayBit(piece.substr(piece.size() - 2));
    if (bit == 0) return Refuse(L"Unsupported value of weekday");
    days |= bit;
  }
  if (days == 0) return Refuse(L"Days of week not provided");
  recurrence.set_days_of_week(days);
  if (ordinal == -1) {
    recurrence.set_ordwk(5);
  } else if (ordinal >= 1) {
    recurrence.set_ordwk(ordinal);
  }
  return true;
}

// Only durations with a time part are accepted (PT3600S, P1DT2H); P1D is refused. A sign
// before the P is ignored. Totals beyond the 32-bit range saturate.
bool ParseDuration(std::wstring_view text, int32_t* seconds) {
  const auto pieces = SplitTokens(text, L"T");
  if (pieces.size() != 2) return false;
  std::wstring_view date = pieces[0];
  if (date.empty()) return false;
  if (date.front() != L'P') date.remove_prefix(1);
  if (date.starts_with(L'P')) date.remove_prefix(1);
  const auto days = AddDurationPart(date, kDateUnits, 0);
  const auto total = days ? AddDurationPart(pieces[1], kTimeUnits, *days) : std::nullopt;
  if (!total) return false;
  *seconds = static_cast<int32_t>(*total);
  return true;
}

std::unique_ptr<Recurrence> ParseRecurrence(std::wstring_view text) {
  auto recurrence = std::make_unique<Recurrence>();
  recurrence->set_text(std::wstring(text));
  ParseState state;
  const std::wstring unfolded = UnfoldICal(text);  // The words below are views into it.
  for (std::wstring_view word : WordsOutsideTimeZones(unfolded)) {
    if (!ReadContentLine(word, *recurrence, state)) return nullptr;
  }
  if (!state.rule_seen) {
    Refuse(L"We don't support recurrence without RRULE.");
    return nullptr;
  }
  if (recurrence->start() == nullptr) {
    Refuse(L"Could not retreive either start date or duration");
    return nullptr;
  }
  const SystemTime local = LocalStart(*recurrence);
  const int32_t start_day = DayOfWeek(local.year, local.month, local.day);
  if (WeekStartChangesSeries(*recurrence, state.week_start, start_day)) {
    Refuse(L"Unsuported ical parameter");
    return nullptr;
  }
  ApplyImpliedDate(*recurrence, local);
  return recurrence;
}

}  // namespace calendar_mirrow_addin
