#pragma once

// Starts tests/webcal/https_fixture.py and scripts it over its stdin/stdout; the script
// describes the commands. The fixture ends when this object closes its stdin.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace calendar_mirrow_addin::testing {

struct RecordedRequest {
  std::string method, target, body;
  std::vector<std::pair<std::string, std::string>> headers;

  std::string Header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
      if (key == name) return value;
    }
    return "<absent>";
  }
};

inline std::string Json(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, c < 0x20 ? "\\u%04x" : "%c", c);
    out += c == '"' || c == '\\' ? std::string{'\\', static_cast<char>(c)} : escaped;
  }
  return out + "\"";
}

class HttpsFixture {
 public:
  HttpsFixture() {
    signal(SIGPIPE, SIG_IGN);  // a fixture that died fails the test instead of killing it
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const std::string script = std::string(TIDEWELL_SOURCE_DIR) + "/tests/webcal/https_fixture.py";
    char* argv[] = {const_cast<char*>("python3"), const_cast<char*>(script.c_str()), nullptr};
    if (posix_spawnp(&pid_, "python3", &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    commands_ = fdopen(in[1], "w");
    replies_ = fdopen(out[0], "r");
    // Blocks until the fixture listens (or ends, when it could not start).
    std::istringstream ready(ReadLine());
    std::string word;
    ready >> word >> address_ >> other_address_ >> proxy_port_ >> ca_file_;
    ready_ = word == "ready";
  }
  ~HttpsFixture() {
    if (commands_ != nullptr) fclose(commands_);  // end of input stops the fixture
    if (replies_ != nullptr) fclose(replies_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  HttpsFixture(const HttpsFixture&) = delete;
  HttpsFixture& operator=(const HttpsFixture&) = delete;

  bool ready() const { return ready_; }
  // The two origins; both serve the same script.
  const std::string& address() const { return address_; }
  const std::string& other_address() const { return other_address_; }
  std::string proxy() const { return address_ + ":" + std::to_string(proxy_port_); }
  const std::string& ca_file() const { return ca_file_; }
  std::wstring Url(const std::string& path) const {
    const std::string text = "https://" + address_ + path;
    return std::wstring(text.begin(), text.end());
  }

  // Sends one command with its further JSON members (after a comma) and returns the replies.
  std::vector<std::string> Command(const std::string& name, const std::string& fields = "") {
    const std::string line = "{\"cmd\":" + Json(name) + fields + "}\n";
    if (commands_ == nullptr || std::fputs(line.c_str(), commands_) < 0 ||
        std::fflush(commands_) != 0) {
      return {"<fixture gone>"};
    }
    std::vector<std::string> lines;
    for (std::string reply = ReadLine(); reply != "end"; reply = ReadLine()) {
      if (reply.empty()) return {"<fixture gone>"};
      lines.push_back(reply);
    }
    return lines;
  }
  void Reset() { Command("reset"); }
  // Scripts the answer for a path: `fields` are the JSON members the script describes.
  void Serve(const std::string& path, const std::string& fields) {
    Command("serve", ",\"path\":" + Json(path) + "," + fields);
  }
  std::vector<RecordedRequest> Requests() {
    std::vector<RecordedRequest> requests;
    for (const std::string& line : Command("requests")) {
      const std::string kind = line.substr(0, line.find(' '));
      if (kind == "request") {
        std::istringstream(line.substr(8)) >> requests.emplace_back().method >>
            requests.back().target;
      } else if (kind == "header" && !requests.empty()) {
        const size_t colon = line.find(": ");
        requests.back().headers.emplace_back(line.substr(7, colon - 7), line.substr(colon + 2));
      } else if (kind == "body" && !requests.empty()) {
        for (size_t i = 5; i + 1 < line.size(); i += 2) {
          requests.back().body += static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16));
        }
      }
    }
    return requests;
  }

 private:
  std::string ReadLine() {
    std::string line;
    for (int c = replies_ ? std::fgetc(replies_) : EOF; c != EOF && c != '\n';
         c = std::fgetc(replies_)) {
      line += static_cast<char>(c);
    }
    return line;
  }

  pid_t pid_ = -1;
  FILE* commands_ = nullptr;
  FILE* replies_ = nullptr;
  bool ready_ = false;
  std::string address_, other_address_, ca_file_;
  int proxy_port_ = 0;
};

}  // namespace calendar_mirrow_addin::testing
