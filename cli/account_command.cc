// `tidewell account`: the account record the add-in reads at every run, and the calendar id
// in the settings file. The password is read from the terminal without echo or from
// standard input, never from the command line (where other users could see it).

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <iostream>
#include <optional>
#include <string>

#include "addin/hex_codec.h"
#include "addin/protected_map.h"
#include "addin/settings.h"
#include "addin/user_info.h"
#include "base/app_folders.h"
#include "base/text.h"
#include "cli/arguments.h"
#include "cli/commands.h"
#include "cli/settings_file.h"

namespace calendar_mirrow_addin::cli {

namespace {

constexpr char kUsage[] =
    "tidewell account --email ADDRESS [--calendar ID] [--mode both|web-to-outlook|outlook-to-web] "
    "[--server URL] [--accounts-server URL] [--password-stdin] | tidewell account --show";
constexpr char kHelp[] =
    "Sets the account the add-in syncs with. The password is asked for on the terminal\n"
    "(not echoed), or read as one line from standard input with --password-stdin.\n"
    "  --email ADDRESS   the account's e-mail address\n"
    "  --calendar ID     the web calendar's id (settings.txt, NXCAL_ID; default \"default\")\n"
    "  --mode MODE       both (default), web-to-outlook or outlook-to-web\n"
    "  --server URL      the web calendar service (settings.txt, NXCAL_SERVER; https only)\n"
    "  --accounts-server URL  the account service that logs in (ORVIA_SERVER; https only)\n"
    "  --password-stdin  read the password from standard input\n"
    "  --show            print the stored account (never the password)\n";
constexpr char kDescription[] = "Tidewell account";

struct Mode {
  const char* name;
  int32_t value;
};
constexpr Mode kModes[] = {{"both", 1}, {"web-to-outlook", 2}, {"outlook-to-web", 3}};

std::string ModeName(int32_t value) {
  for (const Mode& mode : kModes) {
    if (mode.value == value) return mode.name;
  }
  return "unknown (" + std::to_string(value) + ")";
}

// The terminal's settings while echo is off, for the interrupt handler to put back.
termios g_saved_terminal;

void RestoreTerminalAndExit(int) {
  tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_terminal);
  _exit(130);
}

// One line of standard input without its line end; false at end of input before any byte.
bool ReadLine(std::string* line) {
  line->clear();
  if (!std::getline(std::cin, *line) && line->empty()) return false;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

bool ReadPasswordFromTerminal(std::string* password) {
  if (tcgetattr(STDIN_FILENO, &g_saved_terminal) != 0) return false;
  termios quiet = g_saved_terminal;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;
  struct sigaction restore {
  }, old_int{}, old_term{};
  restore.sa_handler = RestoreTerminalAndExit;
  sigaction(SIGINT, &restore, &old_int);
  sigaction(SIGTERM, &restore, &old_term);
  std::cerr << "Password: " << std::flush;
  bool read = false;
  if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0) {
    read = ReadLine(password);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved_terminal);
  }
  sigaction(SIGINT, &old_int, nullptr);
  sigaction(SIGTERM, &old_term, nullptr);
  return read;
}

bool ValidEmail(const std::string& email) {
  if (email.empty() || email.find('@') == std::string::npos) return false;
  for (unsigned char c : email) {
    if (c <= 0x20 || c == 0x7F) return false;
  }
  return true;
}

// The service addresses a person may point the add-in at, with their settings keys.
struct ServerOption {
  const char* option;
  const char* key;
};
constexpr ServerOption kServerOptions[] = {{"server", "NXCAL_SERVER"},
                                           {"accounts-server", "ORVIA_SERVER"}};

// Why `url` cannot be a service address; none when it can. The password travels to it, so
// only HTTPS is taken.
std::optional<std::string> ServerUrlProblem(const std::string& url) {
  if (url.rfind("https://", 0) != 0 || url.size() == 8) return "not an https:// address: " + url;
  return SettingValueProblem(url);
}

int Show() {
  UserInfo info;
  if (!LoadUserInfo(info)) {
    return Failure(
        "no account is stored (or it cannot be read); set one with tidewell account --email");
  }
  std::cout << "email: " << WideToUtf8(info.email) << "\n"
            << "mode: " << ModeName(info.sync_mode) << "\n"
            << "calendar: " << WideToUtf8(GetSetting(L"NXCAL_ID", L"default")) << "\n";
  return kExitOk;
}

}  // namespace

int RunAccount(const std::vector<std::string>& words) {
  static const OptionSpec kOptions[] = {
      {"email", true},           {"calendar", true},        {"mode", true}, {"server", true},
      {"accounts-server", true}, {"password-stdin", false}, {"show", false}};
  Arguments args;
  if (const auto done = ParseCommand(args, words, kOptions, kUsage, kHelp)) return *done;
  if (!args.positional().empty()) {
    return UsageError("unexpected argument " + args.positional().front(), kUsage);
  }
  if (args.Has("show")) {
    if (args.names().size() > 1) {
      return UsageError("--show takes no other option", kUsage);
    }
    return Show();
  }
  const auto email = args.Value("email");
  if (!email) return UsageError("--email is required", kUsage);
  if (!ValidEmail(*email)) return UsageError("not an e-mail address: " + *email, kUsage);

  const std::wstring user_info_path = UserInfoFilePath();
  if (user_info_path.empty()) return Failure("the application-data folder is unknown (set HOME)");
  // What is not given now is kept from the stored record.
  UserInfo stored;
  ProtectedMap old_map;
  if (ReadProtectedMap(user_info_path, old_map)) LoadUserInfo(user_info_path, stored);
  int32_t mode = stored.sync_mode >= 1 && stored.sync_mode <= 3 ? stored.sync_mode : 1;
  if (const auto name = args.Value("mode")) {
    mode = 0;
    for (const Mode& m : kModes) {
      if (*name == m.name) mode = m.value;
    }
    if (mode == 0) return UsageError("unknown sync mode " + *name, kUsage);
  }
  const auto calendar = args.Value("calendar");
  if (calendar) {
    if (const auto problem = SettingValueProblem(*calendar)) {
      return UsageError("unusable calendar id: " + *problem, kUsage);
    }
  }

  for (const ServerOption& server : kServerOptions) {
    const auto url = args.Value(server.option);
    if (!url) continue;
    if (const auto problem = ServerUrlProblem(*url)) {
      return UsageError("unusable --" + std::string(server.option) + ": " + *problem, kUsage);
    }
  }

  std::string password;
  if (args.Has("password-stdin")) {
    if (!ReadLine(&password)) return Failure("no password on standard input");
  } else if (isatty(STDIN_FILENO)) {
    if (!ReadPasswordFromTerminal(&password)) return Failure("no password was entered");
  } else {
    return UsageError(
        "standard input is not a terminal: give --password-stdin to read the password from it",
        kUsage);
  }
  if (password.empty()) return Failure("the password is empty");

  if (!EnsureFolder(DataFilesFolder())) return Failure("cannot create the data folder");
  ProtectedMap map;
  map["email"] = HexEncode(Utf8ToWide(*email));
  map["password"] = HexEncode(Utf8ToWide(password));
  map["delay_minutes"] =
      HexEncode(DecimalText(old_map.count("delay_minutes") ? stored.delay_minutes : 120));
  map["sync_mode"] = HexEncode(DecimalText(mode));
  password.assign(password.size(), '\0');
  if (!WriteProtectedMap(user_info_path, map, Utf8ToWide(kDescription))) {
    return Failure("cannot write the account file " + WideToUtf8(user_info_path));
  }
  std::string error;
  if (calendar && !WriteSetting(WideToUtf8(DataFilePath(L"settings.txt")), "General", "NXCAL_ID",
                                *calendar, &error)) {
    return Failure("cannot write the calendar id: " + error);
  }
  for (const ServerOption& server : kServerOptions) {
    const auto url = args.Value(server.option);
    if (url && !WriteSetting(WideToUtf8(DataFilePath(L"settings.txt")), "General", server.key, *url,
                             &error)) {
      return Failure("cannot write the " + std::string(server.key) + " setting: " + error);
    }
  }
  std::cout << "email: " << *email << "\n"
            << "mode: " << ModeName(mode) << "\n"
            << "calendar: " << WideToUtf8(GetSetting(L"NXCAL_ID", L"default")) << "\n";
  return kExitOk;
}

}  // namespace calendar_mirrow_addin::cli
