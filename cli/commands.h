#pragma once

// The subcommands of `tidewell`. Each takes the words after its name and returns the exit
// status (cli/arguments.h); results go to stdout, messages and errors to stderr.

#include <string>
#include <vector>

namespace calendar_mirrow_addin::cli {

int RunAccount(const std::vector<std::string>& words);
int RunOutlook(const std::vector<std::string>& words);
int RunDiag(const std::vector<std::string>& words);
int RunWeb(const std::vector<std::string>& words);
int RunHost(const std::vector<std::string>& words);
int RunSync(const std::vector<std::string>& words);

}  // namespace calendar_mirrow_addin::cli
