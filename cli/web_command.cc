// `tidewell web`: the web calendar stand-in in the foreground, for a person trying the
// system by hand. Its output (the address, the certificate and the admin secret) goes
// straight to this terminal.

#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "base/app_folders.h"
#include "base/text.h"
#include "cli/arguments.h"
#include "cli/commands.h"

namespace calendar_mirrow_addin::cli {

namespace {

constexpr char kUsage[] = "tidewell web [--data DIR] [--address 127.0.0.N] [--server-script PATH]";
constexpr char kHelp[] =
    "Runs the web calendar stand-in until interrupted (Ctrl-C). It prints its address, its\n"
    "certificate authority and the admin secret.\n"
    "  --data DIR            folder of its database and certificates (default: webcal/ in\n"
    "                        the application-data folder)\n"
    "  --address ADDRESS     the loopback address to listen on (default: a free one)\n"
    "  --server-script PATH  the stand-in's server.py\n";

volatile sig_atomic_t g_child = 0;

void ForwardSignal(int signal_number) {
  if (g_child > 0) kill(static_cast<pid_t>(g_child), signal_number);
}

// A loopback address: the stand-in must not be reachable from other machines.
bool IsLoopbackAddress(const std::string& address) {
  if (address.rfind("127.", 0) != 0) return false;
  int dots = 0, digits = 0;
  for (size_t i = 4; i < address.size(); ++i) {
    if (address[i] == '.') {
      if (digits == 0 || digits > 3) return false;
      ++dots;
      digits = 0;
    } else if (address[i] >= '0' && address[i] <= '9') {
      ++digits;
    } else {
      return false;
    }
  }
  return dots == 2 && digits > 0 && digits <= 3;
}

}  // namespace

int RunWeb(const std::vector<std::string>& words) {
  static const OptionSpec kOptions[] = {{"data", true}, {"address", true}, {"server-script", true}};
  Arguments args;
  if (const auto done = ParseCommand(args, words, kOptions, kUsage, kHelp)) return *done;
  if (!args.positional().empty())
    return UsageError("unexpected argument " + args.positional()[0], kUsage);
  const std::string script =
      args.Value("server-script")
          .value_or(std::string(TIDEWELL_SOURCE_DIR) + "/sim/webcal_server/server.py");
  struct stat info {};
  if (stat(script.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return Failure("the web stand-in is not found at " + script + " (give --server-script)");
  }
  std::string data = args.Value("data").value_or("");
  if (data.empty()) {
    const std::wstring folder = ApplicationDataFolder();
    if (folder.empty())
      return Failure("the application-data folder is unknown (set HOME or give --data)");
    data = WideToUtf8(folder) + "webcal";
    if (!EnsureFolder(Utf8ToWide(data))) return Failure("cannot create " + data);
  }
  std::vector<std::string> command = {"python3", script, "--data", data, "--foreground"};
  if (const auto address = args.Value("address")) {
    if (!IsLoopbackAddress(*address))
      return UsageError("--address must be a loopback address 127.x.y.z", kUsage);
    command.insert(command.end(), {"--address", *address});
  }
  std::vector<char*> argv;
  for (std::string& word : command) argv.push_back(word.data());
  argv.push_back(nullptr);

  std::cout.flush();
  const pid_t child = fork();
  if (child < 0) return Failure("cannot start the web stand-in");
  if (child == 0) {
    execvp(argv[0], argv.data());
    _exit(127);
  }
  g_child = child;
  struct sigaction forward {};
  forward.sa_handler = ForwardSignal;
  sigaction(SIGTERM, &forward, nullptr);
  sigaction(SIGINT, &forward, nullptr);
  sigaction(SIGHUP, &forward, nullptr);
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return Failure("lost the web stand-in");
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 127) return Failure("cannot run python3");
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return kExitOk;
  if (WIFSIGNALED(status) && (WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGTERM))
    return kExitOk;
  return Failure("the web stand-in stopped with status " +
                 std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)));
}

}  // namespace calendar_mirrow_addin::cli
