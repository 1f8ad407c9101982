#pragma once

// The small argument reader every subcommand shares: "--name value", "--name=value", flags,
// positional words, "--" to end the options and "--help" everywhere.

#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace calendar_mirrow_addin::cli {

// Exit statuses of the tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct OptionSpec {
  const char* name;  // without the leading "--"
  bool takes_value;
};

class Arguments {
 public:
  // Reads `words` against `options`. False with the reason in `error` for an unknown
  // option, a missing or unexpected value, or an option given twice.
  bool Parse(std::span<const std::string> words, std::span<const OptionSpec> options,
             std::string* error);

  bool help() const { return help_; }
  bool Has(const std::string& name) const { return values_.count(name) != 0; }
  // The value of an option that takes one; none when it was not given.
  std::optional<std::string> Value(const std::string& name) const;
  const std::vector<std::string>& positional() const { return positional_; }
  // The names of the options given, in name order.
  std::vector<std::string> names() const;

 private:
  bool help_ = false;
  std::map<std::string, std::string> values_;
  std::vector<std::string> positional_;
};

// Reads a subcommand's words, printing the help or the usage error itself: the exit status
// when the command is already done that way, none when it goes on.
std::optional<int> ParseCommand(Arguments& args, std::span<const std::string> words,
                                std::span<const OptionSpec> options, const std::string& usage,
                                const std::string& help);

// `text` with control characters shown as "?", so that it stays on one line.
std::string OneLine(const std::string& text);
// Prints "tidewell: <reason>" and the usage line to stderr; returns kExitUsage.
int UsageError(const std::string& reason, const std::string& usage);
// Prints "tidewell: <reason>" to stderr; returns kExitFailure.
int Failure(const std::string& reason);

}  // namespace calendar_mirrow_addin::cli
