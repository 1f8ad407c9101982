#include "cli/arguments.h"

#include <algorithm>
#include <iostream>

namespace calendar_mirrow_addin::cli {

bool Arguments::Parse(std::span<const std::string> words, std::span<const OptionSpec> options,
                      std::string* error) {
  bool options_ended = false;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (options_ended || word.size() < 2 || word.compare(0, 2, "--") != 0) {
      if (!options_ended && word.size() > 1 && word[0] == '-' && word != "-") {
        *error = "unknown option " + word;
        return false;
      }
      positional_.push_back(word);
      continue;
    }
    if (word == "--") {
      options_ended = true;
      continue;
    }
    const size_t equals = word.find('=');
    const std::string name = word.substr(2, equals == std::string::npos ? equals : equals - 2);
    if (name == "help" && equals == std::string::npos) {
      help_ = true;
      continue;
    }
    const auto spec = std::find_if(options.begin(), options.end(),
                                   [&](const OptionSpec& o) { return name == o.name; });
    if (spec == options.end()) {
      *error = "unknown option --" + name;
      return false;
    }
    if (values_.count(name) != 0) {
      *error = "--" + name + " is given twice";
      return false;
    }
    std::string value;
    if (equals != std::string::npos) {
      if (!spec->takes_value) {
        *error = "--" + name + " takes no value";
        return false;
      }
      value = word.substr(equals + 1);
    } else if (spec->takes_value) {
      if (i + 1 >= words.size()) {
        *error = "--" + name + " needs a value";
        return false;
      }
      value = words[++i];
    }
    values_[name] = value;
  }
  return true;
}

std::optional<std::string> Arguments::Value(const std::string& name) const {
  const auto it = values_.find(name);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

// Reasons quote what the user typed; control characters in it would break the one line
// (or drive the terminal), so they are shown as "?".
std::string OneLine(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return out;
}

std::vector<std::string> Arguments::names() const {
  std::vector<std::string> out;
  for (const auto& entry : values_) out.push_back(entry.first);
  return out;
}

std::optional<int> ParseCommand(Arguments& args, std::span<const std::string> words,
                                std::span<const OptionSpec> options, const std::string& usage,
                                const std::string& help) {
  std::string error;
  if (!args.Parse(words, options, &error)) return UsageError(error, usage);
  if (!args.help()) return std::nullopt;
  std::cout << "usage: " << usage << "\n" << help;
  return kExitOk;
}

int UsageError(const std::string& reason, const std::string& usage) {
  std::cerr << "tidewell: " << OneLine(reason) << "\nusage: " << usage << "\n";
  return kExitUsage;
}

int Failure(const std::string& reason) {
  std::cerr << "tidewell: " << OneLine(reason) << "\n";
  return kExitFailure;
}

}  // namespace calendar_mirrow_addin::cli
