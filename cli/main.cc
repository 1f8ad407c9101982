// `tidewell`: the tray-application stand-in for Linux and the support tools around it.

#include <iostream>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "cli/commands.h"

namespace {

constexpr char kUsage[] = "tidewell account|outlook|diag|web|host|sync [--help] ...";
constexpr char kHelp[] =
    "  account   set the e-mail, password, calendar id and sync mode\n"
    "  outlook   look into and change the simulated Outlook calendar\n"
    "  diag      support lookups: global object ids, recurrence text, time zones, logs\n"
    "  web       run the web calendar stand-in in the foreground\n"
    "  host      host the add-in over the simulated Outlook (sync starts one when needed)\n"
    "  sync      sync once: progress, messages, the deletion question; Ctrl-C cancels\n"
    "Each command takes --help.\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace calendar_mirrow_addin::cli;
  const std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + argc);
  const std::string command = words.empty() ? "" : words.front();
  const std::vector<std::string> rest(words.begin() + (words.empty() ? 0 : 1), words.end());
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << "usage: " << kUsage << "\n" << kHelp;
    return kExitOk;
  }
  if (command == "account") return RunAccount(rest);
  if (command == "outlook") return RunOutlook(rest);
  if (command == "diag") return RunDiag(rest);
  if (command == "web") return RunWeb(rest);
  if (command == "host") return RunHost(rest);
  if (command == "sync") return RunSync(rest);
  return UsageError(command.empty() ? "no command given" : "unknown command " + command, kUsage);
}
