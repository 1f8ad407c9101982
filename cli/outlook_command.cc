// `tidewell outlook`: the simulated Outlook calendar looked into and changed as a person
// would in Outlook, through the object model only (the same calls the add-in's own Outlook
// gets), so that what this command does is what a user's edits do.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/text.h"
#include "cli/arguments.h"
#include "cli/commands.h"
#include "cli/outlook_session.h"
#include "cli/times.h"
#include "model/time_zone_map.h"
#include "model/zone_rule.h"
#include "outlook/com_ref.h"
#include "outlook/dispatch_values.h"
#include "outlook/mapi_access.h"
#include "outlook/outlook.h"

namespace calendar_mirrow_addin::cli {

namespace {

constexpr char kUsage[] =
    "tidewell outlook [--store PATH] list|show|add|edit|delete ... (--help on each)";
constexpr char kListUsage[] = "tidewell outlook list [--from TIME --to TIME] [--zone OLSON]";
constexpr char kShowUsage[] = "tidewell outlook show ID";
constexpr char kAddUsage[] =
    "tidewell outlook add --subject S --start TIME [--end TIME] [--all-day] [--location L] "
    "[--body B] [--zone OLSON] [--daily | --weekly MO,WE,... | --monthly | --yearly] "
    "[--interval N] [--count N | --until DATE]";
constexpr char kEditUsage[] =
    "tidewell outlook edit ID [--subject S] [--location L] [--body B] [--start TIME] [--end TIME] "
    "[--zone OLSON] [--occurrence ORIGINAL_START (--move-to TIME | --cancel)]";
constexpr char kDeleteUsage[] = "tidewell outlook delete ID";
constexpr char kTimesHelp[] =
    "Times: 2026-12-08T09:00 (local to --zone, else to this machine), 2026-12-08T08:00Z (UTC)\n"
    "or a date 2026-12-08. Times are printed in this machine's zone.\n"
    "The store is --store PATH, else $TIDEWELL_OUTLOOK_STORE, else outlook.sqlite in the\n"
    "application-data folder.\n";

constexpr LONG kFolderCalendar = 9;
constexpr LONG kAppointmentItem = 1;
constexpr int kMaxListDays = 732;  // every day of the range is asked of every series

// ---- late-bound calls with the object model's own failure text ----

std::string Reason(const wchar_t* name, HRESULT hr, const EXCEPINFO& exception) {
  std::string text = WideToUtf8(name) + ": ";
  if (exception.bstrDescription != nullptr && exception.bstrDescription[0] != 0) {
    return text + WideToUtf8(exception.bstrDescription);
  }
  char code[32];
  std::snprintf(code, sizeof code, "failed (0x%08X)", static_cast<unsigned>(hr));
  return text + code;
}

// GetIDsOfNames and Invoke; `args` in IDispatch order (last argument first).
bool Invoke(IDispatch* object, const wchar_t* name, WORD flags, VARIANT* args, UINT count,
            VARIANT* result, std::string* error) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  EXCEPINFO exception{};
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (SUCCEEDED(hr)) {
    DISPID named = DISPID_PROPERTYPUT;
    const bool put = flags == DISPATCH_PROPERTYPUT;
    DISPPARAMS params{args, put ? &named : nullptr, count, put ? 1u : 0u};
    hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &exception,
                        nullptr);
  }
  if (FAILED(hr)) *error = Reason(name, hr, exception);
  SysFreeString(exception.bstrSource);
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrHelpFile);
  return SUCCEEDED(hr);
}

bool Get(IDispatch* object, const wchar_t* name, Variant& value, std::string* error) {
  return Invoke(object, name, DISPATCH_PROPERTYGET, nullptr, 0, &value.value, error);
}

bool GetObject(IDispatch* object, const wchar_t* name, ComRef<IDispatch>& out, std::string* error) {
  Variant value;
  if (!Get(object, name, value, error)) return false;
  out = TakeDispatch(value.value);
  if (!out) *error = WideToUtf8(name) + ": no object";
  return static_cast<bool>(out);
}

bool Call(IDispatch* object, const wchar_t* name, VARIANT* arg, Variant& value,
          std::string* error) {
  return Invoke(object, name, DISPATCH_METHOD, arg, arg != nullptr ? 1 : 0, &value.value, error);
}

bool CallObject(IDispatch* object, const wchar_t* name, VARIANT* arg, ComRef<IDispatch>& out,
                std::string* error) {
  Variant value;
  if (!Call(object, name, arg, value, error)) return false;
  out = TakeDispatch(value.value);
  if (!out) *error = WideToUtf8(name) + ": no object";
  return static_cast<bool>(out);
}

bool Put(IDispatch* object, const wchar_t* name, Variant& value, std::string* error) {
  return Invoke(object, name, DISPATCH_PROPERTYPUT, &value.value, 1, nullptr, error);
}

bool PutTextValue(IDispatch* object, const wchar_t* name, const std::string& text,
                  std::string* error) {
  Variant value;
  value.value.vt = VT_BSTR;
  value.value.bstrVal = SysAllocString(Utf8ToWide(text).c_str());
  return Put(object, name, value, error);
}

bool PutLongValue(IDispatch* object, const wchar_t* name, LONG number, std::string* error) {
  Variant value;
  SetLong(value.value, number);
  return Put(object, name, value, error);
}

bool PutDateValue(IDispatch* object, const wchar_t* name, DATE date, std::string* error) {
  Variant value;
  value.value.vt = VT_DATE;
  value.value.date = date;
  return Put(object, name, value, error);
}

std::string Text(IDispatch* object, const wchar_t* name) {
  Variant value;
  std::string ignored;
  if (!Get(object, name, value, &ignored)) return "(unreadable)";
  switch (value.value.vt) {
    case VT_BSTR:
      return value.value.bstrVal != nullptr ? WideToUtf8(value.value.bstrVal) : "";
    case VT_I4:
      return std::to_string(value.value.lVal);
    case VT_I2:
      return std::to_string(value.value.iVal);
    case VT_BOOL:
      return value.value.boolVal != 0 ? "yes" : "no";
    case VT_DATE:
      return FormatAutomationDate(value.value.date, false);
    default:
      return "";
  }
}

std::optional<DATE> DateOf(IDispatch* object, const wchar_t* name) {
  Variant value;
  std::string ignored;
  if (!Get(object, name, value, &ignored) || value.value.vt != VT_DATE) return std::nullopt;
  return value.value.date;
}

std::optional<LONG> LongOf(IDispatch* object, const wchar_t* name) {
  Variant value;
  std::string ignored;
  if (!Get(object, name, value, &ignored) || value.value.vt != VT_I4) return std::nullopt;
  return value.value.lVal;
}

bool BoolOf(IDispatch* object, const wchar_t* name) {
  Variant value;
  std::string ignored;
  return Get(object, name, value, &ignored) && value.value.vt == VT_BOOL &&
         value.value.boolVal != 0;
}

// A value that is a single line when printed: stored texts may hold anything.
std::string Shown(const std::string& text) { return OneLine(text); }

// ---- the session ----

struct Session {
  OutlookApplication outlook;
  ComRef<IDispatch> ns;
};

bool OpenSession(const Arguments& args, Session& session, std::string* error) {
  if (!OpenOutlookApplication(args.Value("store"), &session.outlook, error)) return false;
  Variant mapi;
  mapi.value.vt = VT_BSTR;
  mapi.value.bstrVal = SysAllocString(L"MAPI");
  return CallObject(session.outlook.application.get(), L"GetNamespace", &mapi.value, session.ns,
                    error) &&
         Invoke(session.ns.get(), L"Logon", DISPATCH_METHOD, nullptr, 0, nullptr, error);
}

bool ItemById(Session& session, const std::string& id, ComRef<IDispatch>& item,
              std::string* error) {
  Variant text;
  text.value.vt = VT_BSTR;
  text.value.bstrVal = SysAllocString(Utf8ToWide(id).c_str());
  if (CallObject(session.ns.get(), L"GetItemFromID", &text.value, item, error)) return true;
  *error = "no item " + id + " (" + *error + ")";
  return false;
}

// ---- list ----

struct Occurrence {
  DATE start = 0;
  DATE end = 0;
  std::string subject;
  std::optional<DATE> moved_from;
};

// The zone Outlook keeps with a series: its pattern's times are wall-clock times there.
// None when the series has no readable one (its times are then the machine's).
std::optional<ZoneRule> SeriesZoneRule(IDispatch* series) {
  NamedPropertyValue zone;
  ZoneRule rule;
  if (FAILED(zone.Read(series, PSETID_Appointment, dispidTimeZoneStruct)) ||
      PROP_TYPE(zone.value->ulPropTag) != PT_BINARY ||
      !ZoneRuleFromHex(EntryIdText(zone.value->Value.bin), &rule)) {
    return std::nullopt;
  }
  return rule;
}

// A wall-clock time of the series' zone as the machine's automation date, which is what
// GetOccurrence is asked with.
std::optional<DATE> MachineDateOf(DATE series_local, const std::optional<ZoneRule>& zone) {
  SYSTEMTIME fields{};
  if (!zone) return series_local;
  if (!VariantTimeToSystemTime(series_local, &fields)) return std::nullopt;
  const SystemTime local{fields.wYear,   fields.wMonth,       0,
                         fields.wDay,    fields.wHour,        fields.wMinute,
                         fields.wSecond, fields.wMilliseconds};
  SystemTime utc;
  if (!RuleLocalToUtc(*zone, local, &utc)) return std::nullopt;
  return AutomationDateOf(DateTime::FromSystemTime(utc));
}

// The occurrences of a series that start in [from, to), both automation dates: each day
// around the range asked for an occurrence at the pattern's time (a wall-clock time of the
// series' zone, up to a day away from the machine's), and the changed ones from the series'
// exceptions.
std::vector<Occurrence> OccurrencesIn(IDispatch* series, DATE from, DATE to, bool all_day) {
  std::vector<Occurrence> found;
  ComRef<IDispatch> pattern, exceptions;
  std::string error;
  if (!CallObject(series, L"GetRecurrencePattern", nullptr, pattern, &error)) return found;
  const auto time = DateOf(pattern.get(), L"StartTime");
  std::vector<DATE> originals;  // changed or cancelled: not asked for again
  if (GetObject(pattern.get(), L"Exceptions", exceptions, &error)) {
    const LONG count = LongOf(exceptions.get(), L"Count").value_or(0);
    for (LONG i = 1; i <= count; ++i) {
      Variant index;
      SetLong(index.value, i);
      ComRef<IDispatch> exception, item;
      if (!CallObject(exceptions.get(), L"Item", &index.value, exception, &error)) continue;
      const auto original = DateOf(exception.get(), L"OriginalDate");
      if (!original) continue;
      originals.push_back(*original);
      if (BoolOf(exception.get(), L"Deleted") ||
          !GetObject(exception.get(), L"AppointmentItem", item, &error)) {
        continue;
      }
      const auto start = DateOf(item.get(), L"Start"), end = DateOf(item.get(), L"End");
      if (!start || !end || *start < from || *start >= to) continue;
      found.push_back({*start, *end, Text(item.get(), L"Subject"), *original});
    }
  }
  const double fraction = time ? *time - std::floor(*time) : 0.0;
  // All-day series float: their dates are the same in every zone.
  const std::optional<ZoneRule> zone = all_day ? std::nullopt : SeriesZoneRule(series);
  for (double day = std::floor(from) - (zone ? 2 : 0); day < to + (zone ? 2 : 0); day += 1) {
    const auto machine = MachineDateOf(all_day ? day : day + fraction, zone);
    if (!machine) continue;
    const DATE at = *machine;
    if (at < from || at >= to) continue;
    bool changed = false;
    for (DATE original : originals) changed = changed || std::fabs(original - at) < 1e-6;
    if (changed) continue;
    Variant when;
    when.value.vt = VT_DATE;
    when.value.date = at;
    ComRef<IDispatch> occurrence;
    if (!CallObject(pattern.get(), L"GetOccurrence", &when.value, occurrence, &error)) continue;
    const auto start = DateOf(occurrence.get(), L"Start"), end = DateOf(occurrence.get(), L"End");
    if (start && end) found.push_back({*start, *end, Text(occurrence.get(), L"Subject"), {}});
  }
  std::sort(found.begin(), found.end(),
            [](const Occurrence& a, const Occurrence& b) { return a.start < b.start; });
  return found;
}

int List(Session& session, const Arguments& args) {
  if (args.positional().size() != 1) return UsageError("list takes no argument", kListUsage);
  const std::wstring zone = Utf8ToWide(args.Value("zone").value_or(""));
  std::optional<DATE> from, to;
  if (args.Has("from") != args.Has("to"))
    return UsageError("give both --from and --to", kListUsage);
  std::string error;
  if (args.Has("from")) {
    for (auto [name, slot] : {std::pair{"from", &from}, std::pair{"to", &to}}) {
      const auto utc = ParseTimeArgument(*args.Value(name), zone, &error);
      if (!utc) return Failure(error);
      *slot = AutomationDateOf(*utc);
      if (!*slot) return Failure(std::string("--") + name + " is out of range");
    }
    if (*to <= *from) return Failure("--to is not after --from");
    if (*to - *from > kMaxListDays) return Failure("the range is longer than two years");
  }
  ComRef<IDispatch> folder, items;
  Variant calendar;
  SetLong(calendar.value, kFolderCalendar);
  if (!CallObject(session.ns.get(), L"GetDefaultFolder", &calendar.value, folder, &error) ||
      !GetObject(folder.get(), L"Items", items, &error)) {
    return Failure(error);
  }
  const LONG count = LongOf(items.get(), L"Count").value_or(0);
  for (LONG i = 1; i <= count; ++i) {
    Variant index;
    SetLong(index.value, i);
    ComRef<IDispatch> item;
    if (!CallObject(items.get(), L"Item", &index.value, item, &error)) return Failure(error);
    const bool all_day = BoolOf(item.get(), L"AllDayEvent");
    const bool recurring = BoolOf(item.get(), L"IsRecurring");
    const auto start = DateOf(item.get(), L"Start"), end = DateOf(item.get(), L"End");
    std::vector<Occurrence> occurrences;
    if (from) {
      if (recurring) {
        occurrences = OccurrencesIn(item.get(), *from, *to, all_day);
        if (occurrences.empty()) continue;
      } else if (!start || !end || *start >= *to || *end <= *from) {
        continue;
      }
    }
    std::cout << Text(item.get(), L"EntryID") << "\t"
              << (start ? FormatAutomationDate(*start, all_day) : "(none)") << "\t"
              << (end ? FormatAutomationDate(*end, all_day) : "(none)") << "\t"
              << (recurring ? "series" : "single") << "\t" << Shown(Text(item.get(), L"Subject"))
              << "\n";
    for (const Occurrence& o : occurrences) {
      std::cout << "\toccurrence\t" << FormatAutomationDate(o.start, all_day) << "\t"
                << FormatAutomationDate(o.end, all_day) << "\t" << Shown(o.subject);
      if (o.moved_from)
        std::cout << "\tchanged from " << FormatAutomationDate(*o.moved_from, all_day);
      std::cout << "\n";
    }
  }
  return kExitOk;
}

// ---- show ----

constexpr const char* kDayNames[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};

std::string DayList(LONG mask) {
  std::string out;
  for (int day = 0; day < 7; ++day) {
    if ((mask & (1 << day)) == 0) continue;
    if (!out.empty()) out += ',';
    out += kDayNames[day];
  }
  return out.empty() ? "-" : out;
}

// "09:30" of an automation date.
std::string TimeOfDay(DATE date) {
  const long minutes = std::lround((date - std::floor(date)) * 24 * 60) % (24 * 60);
  char text[8];
  std::snprintf(text, sizeof text, "%02ld:%02ld", minutes / 60, minutes % 60);
  return text;
}

void ShowPattern(IDispatch* item) {
  ComRef<IDispatch> pattern, exceptions;
  std::string error;
  if (!CallObject(item, L"GetRecurrencePattern", nullptr, pattern, &error)) {
    std::cout << "pattern: " << Shown(error) << "\n";
    return;
  }
  static const char* const kTypes[] = {"daily", "weekly", "monthly",          "monthly by weekday",
                                       "?",     "yearly", "yearly by weekday"};
  const LONG type = LongOf(pattern.get(), L"RecurrenceType").value_or(-1);
  std::cout << "pattern: " << (type >= 0 && type <= 6 ? kTypes[type] : "unknown") << ", every "
            << Text(pattern.get(), L"Interval") << "\n"
            << "days: " << DayList(LongOf(pattern.get(), L"DayOfWeekMask").value_or(0))
            << ", day of month " << Text(pattern.get(), L"DayOfMonth") << ", month "
            << Text(pattern.get(), L"MonthOfYear") << ", instance "
            << Text(pattern.get(), L"Instance") << "\n";
  const auto first = DateOf(pattern.get(), L"PatternStartDate");
  const auto last = DateOf(pattern.get(), L"PatternEndDate");
  const auto time = DateOf(pattern.get(), L"StartTime");
  std::cout << "pattern start: " << (first ? FormatAutomationDate(*first, true) : "(none)")
            << " at " << (time ? TimeOfDay(*time) : "?") << " for "
            << Text(pattern.get(), L"Duration") << " minutes\n";
  if (BoolOf(pattern.get(), L"NoEndDate")) {
    std::cout << "pattern end: never\n";
  } else {
    std::cout << "pattern end: " << (last ? FormatAutomationDate(*last, true) : "(none)") << " ("
              << Text(pattern.get(), L"Occurrences") << " occurrences)\n";
  }
  if (!GetObject(pattern.get(), L"Exceptions", exceptions, &error)) return;
  const LONG count = LongOf(exceptions.get(), L"Count").value_or(0);
  for (LONG i = 1; i <= count; ++i) {
    Variant index;
    SetLong(index.value, i);
    ComRef<IDispatch> exception, occurrence;
    if (!CallObject(exceptions.get(), L"Item", &index.value, exception, &error)) continue;
    const auto original = DateOf(exception.get(), L"OriginalDate");
    std::cout << "exception: " << (original ? FormatAutomationDate(*original, false) : "?");
    if (BoolOf(exception.get(), L"Deleted")) {
      std::cout << " cancelled\n";
    } else if (GetObject(exception.get(), L"AppointmentItem", occurrence, &error)) {
      std::cout << " now " << Text(occurrence.get(), L"Start") << " - "
                << Text(occurrence.get(), L"End") << " "
                << Shown(Text(occurrence.get(), L"Subject")) << "\n";
    } else {
      std::cout << " unreadable\n";
    }
  }
}

int Show(Session& session, const Arguments& args) {
  if (args.positional().size() != 2) return UsageError("show takes one item id", kShowUsage);
  ComRef<IDispatch> item;
  std::string error;
  if (!ItemById(session, args.positional()[1], item, &error)) return Failure(error);
  static const std::pair<const char*, const wchar_t*> kFields[] = {
      {"id", L"EntryID"},
      {"subject", L"Subject"},
      {"start", L"Start"},
      {"end", L"End"},
      {"all day", L"AllDayEvent"},
      {"location", L"Location"},
      {"busy status", L"BusyStatus"},
      {"sensitivity", L"Sensitivity"},
      {"reminder", L"ReminderSet"},
      {"reminder minutes", L"ReminderMinutesBeforeStart"},
      {"meeting status", L"MeetingStatus"},
      {"recurring", L"IsRecurring"},
      {"last modified", L"LastModificationTime"},
  };
  for (const auto& [label, name] : kFields) {
    std::cout << label << ": " << Shown(Text(item.get(), name)) << "\n";
  }
  // The body may run over lines; each is indented so that it cannot pass for a field.
  std::cout << "body:";
  const std::string body = Text(item.get(), L"Body");
  size_t start = 0;
  while (start < body.size()) {
    size_t end = body.find('\n', start);
    if (end == std::string::npos) end = body.size();
    std::cout << "\n  " << Shown(body.substr(start, end - start));
    start = end + 1;
  }
  std::cout << "\n";
  ComRef<IDispatch> recipients;
  if (GetObject(item.get(), L"Recipients", recipients, &error)) {
    const LONG count = LongOf(recipients.get(), L"Count").value_or(0);
    for (LONG i = 1; i <= count; ++i) {
      Variant index;
      SetLong(index.value, i);
      ComRef<IDispatch> recipient;
      if (!CallObject(recipients.get(), L"Item", &index.value, recipient, &error)) continue;
      std::cout << "recipient: " << Shown(Text(recipient.get(), L"Name")) << " <"
                << Shown(Text(recipient.get(), L"Address")) << "> type "
                << Text(recipient.get(), L"Type") << "\n";
    }
  }
  if (BoolOf(item.get(), L"IsRecurring")) ShowPattern(item.get());
  return kExitOk;
}

// ---- add and edit ----

// A whole number in [low, high] typed as plain digits.
std::optional<LONG> Count(const std::string& text, LONG low, LONG high) {
  if (text.empty() || text.size() > 6) return std::nullopt;
  LONG value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return std::nullopt;
  return value;
}

std::optional<LONG> DayMask(const std::string& text) {
  LONG mask = 0;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    const std::wstring day = ToLower(Utf8ToWide(text.substr(start, end - start)));
    int found = -1;
    for (int i = 0; i < 7; ++i) {
      if (day == ToLower(Utf8ToWide(kDayNames[i]))) found = i;
    }
    if (found < 0) return std::nullopt;
    mask |= 1 << found;
    start = end + 1;
  }
  return mask;
}

// The automation date of a time argument.
std::optional<DATE> DateArgument(const Arguments& args, const char* name, const std::wstring& zone,
                                 bool date_only, std::string* error) {
  auto utc = ParseTimeArgument(*args.Value(name), zone, error);
  if (!utc) return std::nullopt;
  if (date_only && !utc->date_only) {
    *error = std::string("--") + name + " must be a date for an all-day event";
    return std::nullopt;
  }
  const auto date = AutomationDateOf(*utc);
  if (!date) *error = std::string("--") + name + " is out of range";
  return date;
}

// Subject, location and body as given.
bool PutTexts(IDispatch* item, const Arguments& args, std::string* error) {
  static const std::pair<const char*, const wchar_t*> kTexts[] = {
      {"subject", L"Subject"}, {"location", L"Location"}, {"body", L"Body"}};
  for (const auto& [option, member] : kTexts) {
    if (const auto text = args.Value(option); text && !PutTextValue(item, member, *text, error)) {
      return false;
    }
  }
  return true;
}

// The series the options ask for, written through the item's recurrence pattern.
bool PutPattern(IDispatch* item, const Arguments& args, DATE start, std::string* error) {
  LONG type = -1;
  for (const auto& [option, value] : {std::pair{"daily", 0}, std::pair{"weekly", 1},
                                      std::pair{"monthly", 2}, std::pair{"yearly", 5}}) {
    if (args.Has(option)) type = value;
  }
  ComRef<IDispatch> pattern;
  SYSTEMTIME local{};
  if (!VariantTimeToSystemTime(start, &local)) {
    *error = "the start is out of range";
    return false;
  }
  if (!CallObject(item, L"GetRecurrencePattern", nullptr, pattern, error) ||
      !PutLongValue(pattern.get(), L"RecurrenceType", type, error)) {
    return false;
  }
  bool ok = true;
  if (type == 1)
    ok = PutLongValue(pattern.get(), L"DayOfWeekMask", *DayMask(*args.Value("weekly")), error);
  if (type == 5) ok = PutLongValue(pattern.get(), L"MonthOfYear", local.wMonth, error);
  if (ok && (type == 2 || type == 5))
    ok = PutLongValue(pattern.get(), L"DayOfMonth", local.wDay, error);
  if (ok && args.Has("interval")) {
    ok = PutLongValue(pattern.get(), L"Interval", *Count(*args.Value("interval"), 1, 999), error);
  }
  if (ok && args.Has("count")) {
    ok = PutLongValue(pattern.get(), L"Occurrences", *Count(*args.Value("count"), 1, 999), error);
  }
  if (ok && args.Has("until")) {
    const auto until = DateArgument(args, "until", L"", false, error);
    if (!until) return false;
    if (*until < std::floor(start)) {
      *error = "--until is before the start";
      return false;
    }
    ok = PutDateValue(pattern.get(), L"PatternEndDate", *until, error);
  }
  return ok;
}

// Checks the series options; the reason of a usage error, or empty.
std::string PatternOptionsProblem(const Arguments& args) {
  int kinds = 0;
  for (const char* option : {"daily", "weekly", "monthly", "yearly"})
    kinds += args.Has(option) ? 1 : 0;
  if (kinds > 1) return "give one of --daily, --weekly, --monthly, --yearly";
  if (kinds == 0) {
    for (const char* option : {"interval", "count", "until"}) {
      if (args.Has(option))
        return std::string("--") + option + " needs --daily, --weekly, --monthly or --yearly";
    }
    return "";
  }
  if (args.Has("count") && args.Has("until")) return "give --count or --until, not both";
  if (args.Has("weekly") && !DayMask(*args.Value("weekly"))) {
    return "--weekly takes days like MO,WE,FR";
  }
  if (args.Has("interval") && !Count(*args.Value("interval"), 1, 999))
    return "--interval is 1 to 999";
  if (args.Has("count") && !Count(*args.Value("count"), 1, 999)) return "--count is 1 to 999";
  if (args.Has("until") && !ParseTypedTime(*args.Value("until"))) return "--until takes a date";
  return "";
}

// Outlook keeps the zone a series was made in with it, its rule and its label: the
// pattern's times are wall-clock times of that zone, and the add-in reads them so.
bool PutSeriesZone(IDispatch* item, const std::wstring& zone, std::string* error) {
  ZoneRule rule;
  std::wstring label;
  if (!TimeZoneMap::Instance().GetZoneRule(zone, rule)) {
    *error = "unknown time zone " + WideToUtf8(zone);
    return false;
  }
  if (!TimeZoneMap::Instance().GetDisplayLabel(zone, label)) label = zone;
  auto bytes = EntryIdBytes(ZoneRuleToHex(rule));
  SPropValue structure{}, text{};
  structure.Value.bin =
      SBinary{static_cast<ULONG>(bytes ? bytes->size() : 0), bytes ? bytes->data() : nullptr};
  text.Value.lpszW = label.data();
  if (!bytes ||
      FAILED(
          SetNamedProperty(item, PSETID_Appointment, dispidTimeZoneStruct, structure, PT_BINARY)) ||
      FAILED(SetNamedProperty(item, PSETID_Appointment, PidLidTimeZoneDescription, text,
                              PT_UNICODE))) {
    *error = "the series' time zone cannot be stored";
    return false;
  }
  return true;
}

int Add(Session& session, const Arguments& args) {
  if (args.positional().size() != 1) return UsageError("add takes no argument", kAddUsage);
  if (!args.Has("subject") || !args.Has("start")) {
    return UsageError("--subject and --start are required", kAddUsage);
  }
  const bool all_day = args.Has("all-day");
  if (!all_day && !args.Has("end")) return UsageError("--end is required", kAddUsage);
  if (const std::string problem = PatternOptionsProblem(args); !problem.empty()) {
    return UsageError(problem, kAddUsage);
  }
  const std::wstring zone = Utf8ToWide(args.Value("zone").value_or(""));
  std::string error;
  const auto start = DateArgument(args, "start", zone, all_day, &error);
  if (!start) return Failure(error);
  DATE end = *start + 1;  // an all-day event without an end lasts the day
  if (args.Has("end")) {
    const auto given = DateArgument(args, "end", zone, all_day, &error);
    if (!given) return Failure(error);
    end = *given;
  }
  if (end < *start || (all_day && end <= *start)) return Failure("the end is before the start");
  const bool series =
      args.Has("daily") || args.Has("weekly") || args.Has("monthly") || args.Has("yearly");
  // A timed series lives in a zone: the one its times are typed in; without --zone,
  // Outlook gives it the machine's when it becomes a series.
  const std::wstring series_zone = series && !all_day ? zone : L"";

  ComRef<IDispatch> item;
  Variant kind, ignored;
  SetLong(kind.value, kAppointmentItem);
  bool ok =
      CallObject(session.outlook.application.get(), L"CreateItem", &kind.value, item, &error) &&
      PutTexts(item.get(), args, &error) && PutDateValue(item.get(), L"Start", *start, &error) &&
      PutDateValue(item.get(), L"End", end, &error);
  if (ok && all_day) {
    Variant flag;
    SetBool(flag.value, true);
    ok = Put(item.get(), L"AllDayEvent", flag, &error);
  }
  if (!ok || !Call(item.get(), L"Save", nullptr, ignored, &error)) return Failure(error);
  // The zone goes on the saved item before it becomes a series; a series that cannot be
  // completed is taken out again rather than left half made.
  if (series && ((!series_zone.empty() && !PutSeriesZone(item.get(), series_zone, &error)) ||
                 !PutPattern(item.get(), args, *start, &error) ||
                 !Call(item.get(), L"Save", nullptr, ignored, &error))) {
    std::string ignored_error;
    Call(item.get(), L"Delete", nullptr, ignored, &ignored_error);
    return Failure(error);
  }
  std::cout << Text(item.get(), L"EntryID") << "\n";
  return kExitOk;
}

int Edit(Session& session, const Arguments& args) {
  if (args.positional().size() != 2) return UsageError("edit takes one item id", kEditUsage);
  const bool occurrence_edit = args.Has("occurrence");
  if ((args.Has("move-to") || args.Has("cancel")) && !occurrence_edit) {
    return UsageError("--move-to and --cancel need --occurrence", kEditUsage);
  }
  if (args.Has("move-to") && args.Has("start"))
    return UsageError("give --move-to or --start", kEditUsage);
  const bool changes = args.Has("subject") || args.Has("location") || args.Has("body") ||
                       args.Has("start") || args.Has("end") || args.Has("move-to");
  if (args.Has("cancel") && changes)
    return UsageError("--cancel takes no other change", kEditUsage);
  if (!changes && !args.Has("cancel")) return UsageError("nothing to change", kEditUsage);

  const std::wstring zone = Utf8ToWide(args.Value("zone").value_or(""));
  std::string error;
  std::optional<DATE> start, end, original;
  for (auto [name, slot] : {std::pair{"start", &start}, std::pair{"move-to", &start},
                            std::pair{"end", &end}, std::pair{"occurrence", &original}}) {
    if (!args.Has(name)) continue;
    *slot = DateArgument(args, name, zone, false, &error);
    if (!*slot) return Failure(error);
  }
  if (start && end && *end < *start) return Failure("the end is before the start");

  ComRef<IDispatch> item;
  if (!ItemById(session, args.positional()[1], item, &error)) return Failure(error);
  ComRef<IDispatch> target;
  if (original) {
    ComRef<IDispatch> pattern;
    if (!BoolOf(item.get(), L"IsRecurring")) return Failure("the item is not a recurring series");
    Variant when;
    when.value.vt = VT_DATE;
    when.value.date = *original;
    if (!CallObject(item.get(), L"GetRecurrencePattern", nullptr, pattern, &error))
      return Failure(error);
    if (!CallObject(pattern.get(), L"GetOccurrence", &when.value, target, &error)) {
      return Failure("no occurrence of the series starts at " + *args.Value("occurrence") + " (" +
                     error + ")");
    }
  } else {
    target = std::move(item);
  }
  Variant ignored;
  if (args.Has("cancel")) {
    if (!Call(target.get(), L"Delete", nullptr, ignored, &error)) return Failure(error);
    std::cout << "cancelled the occurrence of " << FormatAutomationDate(*original, false) << "\n";
    return kExitOk;
  }
  const bool ok = PutTexts(target.get(), args, &error) &&
                  (!start || PutDateValue(target.get(), L"Start", *start, &error)) &&
                  (!end || PutDateValue(target.get(), L"End", *end, &error)) &&
                  Call(target.get(), L"Save", nullptr, ignored, &error);
  if (!ok) return Failure(error);
  std::cout << "saved: " << Text(target.get(), L"Start") << "\t" << Text(target.get(), L"End")
            << "\t" << Shown(Text(target.get(), L"Subject")) << "\n";
  return kExitOk;
}

int Delete(Session& session, const Arguments& args) {
  if (args.positional().size() != 2) return UsageError("delete takes one item id", kDeleteUsage);
  ComRef<IDispatch> item;
  std::string error;
  Variant ignored;
  if (!ItemById(session, args.positional()[1], item, &error) ||
      !Call(item.get(), L"Delete", nullptr, ignored, &error)) {
    return Failure(error);
  }
  std::cout << "deleted " << args.positional()[1] << "\n";
  return kExitOk;
}

}  // namespace

int RunOutlook(const std::vector<std::string>& words) {
  static const OptionSpec kOptions[] = {
      {"store", true},    {"from", true},       {"to", true},       {"zone", true},
      {"subject", true},  {"start", true},      {"end", true},      {"all-day", false},
      {"location", true}, {"body", true},       {"daily", false},   {"weekly", true},
      {"monthly", false}, {"yearly", false},    {"interval", true}, {"count", true},
      {"until", true},    {"occurrence", true}, {"move-to", true},  {"cancel", false}};
  Arguments args;
  std::string error;
  if (!args.Parse(words, kOptions, &error)) return UsageError(error, kUsage);
  const std::string action = args.positional().empty() ? "" : args.positional().front();
  using Runner = int (*)(Session&, const Arguments&);
  struct Action {
    const char* usage;
    Runner run;
    std::vector<std::string> options;  // besides --store
  };
  static const std::map<std::string, Action> kActions = {
      {"list", {kListUsage, List, {"from", "to", "zone"}}},
      {"show", {kShowUsage, Show, {}}},
      {"add",
       {kAddUsage,
        Add,
        {"subject", "start", "end", "all-day", "location", "body", "zone", "daily", "weekly",
         "monthly", "yearly", "interval", "count", "until"}}},
      {"edit",
       {kEditUsage,
        Edit,
        {"subject", "location", "body", "start", "end", "zone", "occurrence", "move-to",
         "cancel"}}},
      {"delete", {kDeleteUsage, Delete, {}}}};
  const auto found = kActions.find(action);
  if (args.help()) {
    std::cout << "usage: " << (found != kActions.end() ? found->second.usage : kUsage) << "\n"
              << kTimesHelp;
    return kExitOk;
  }
  if (found == kActions.end()) {
    return UsageError(action.empty() ? "no action given" : "unknown action " + action, kUsage);
  }
  for (const std::string& name : args.names()) {
    const auto& allowed = found->second.options;
    if (name != "store" && std::find(allowed.begin(), allowed.end(), name) == allowed.end()) {
      return UsageError("unknown option --" + name + " for " + action, found->second.usage);
    }
  }
  Session session;
  if (!OpenSession(args, session, &error)) return Failure(error);
  return found->second.run(session, args);
}

}  // namespace calendar_mirrow_addin::cli
