#pragma once

// Starts tests/webcal/https_fixture.py and scripts it over its stdin/stdout; see the script
// for the command protocol. The fixture ends when this object closes its stdin.

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

// What the server answers for one path.
struct ScriptedResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers{};
  std::string body{};       // sent as UTF-8
  std::string body_file{};  // or the bytes of this file
  long repeat = 1;
  bool gzip = false;  // compress the body (the Content-Encoding header is up to `headers`)
  bool chunked = false;
  long cut_after = -1;  // close the connection after this many body bytes
  std::string gate{};   // hold the body after `gate_at` bytes until the gate is opened
  long gate_at = 0;
};

struct RecordedRequest {
  std::string method;
  std::string target;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  std::string Header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
      if (key == name) return value;
    }
    return "<absent>";
  }
};

inline std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

inline std::string HexToBytes(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

class HttpsFixture {
 public:
  HttpsFixture() {
    // A fixture that died must fail the test, not kill it on the next write.
    signal(SIGPIPE, SIG_IGN);
    int to_child[2];
    int from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0) return;
    if (pipe2(from_child, O_CLOEXEC) != 0) {
      close(to_child[0]);
      close(to_child[1]);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
    posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
    const std::string script = std::string(TIDEWELL_SOURCE_DIR) + "/tests/webcal/https_fixture.py";
    char* argv[] = {const_cast<char*>("python3"), const_cast<char*>(script.c_str()), nullptr};
    const int spawned = posix_spawnp(&pid_, "python3", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(to_child[0]);
    close(from_child[1]);
    commands_ = fdopen(to_child[1], "w");
    replies_ = fdopen(from_child[0], "r");
    if (spawned != 0) pid_ = -1;
    // Blocks until the fixture listens (or ends, when it could not start).
    std::istringstream ready(ReadLine());
    std::string word;
    ready >> word >> address_ >> https_port_ >> proxy_port_ >> ca_file_;
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
  const std::string& address() const { return address_; }
  int proxy_port() const { return proxy_port_; }
  const std::string& ca_file() const { return ca_file_; }
  std::wstring Url(const std::string& path_and_query) const {
    const std::string text = "https://" + address_ + path_and_query;
    return std::wstring(text.begin(), text.end());
  }

  // Sends one command object and returns the reply lines before "end".
  std::vector<std::string> Command(const std::string& json) {
    std::vector<std::string> lines;
    if (commands_ == nullptr || std::fputs((json + "\n").c_str(), commands_) < 0 ||
        std::fflush(commands_) != 0) {
      return {"<fixture gone>"};
    }
    for (std::string line = ReadLine(); line != "end"; line = ReadLine()) {
      if (line.empty()) return {"<fixture gone>"};
      lines.push_back(line);
    }
    return lines;
  }

  void Serve(const std::string& path, const ScriptedResponse& response) {
    std::string headers;
    for (const auto& [name, value] : response.headers) {
      headers += (headers.empty() ? "[" : ",[") + JsonString(name) + "," + JsonString(value) + "]";
    }
    Command("{\"cmd\":\"serve\",\"path\":" + JsonString(path) +
            ",\"status\":" + std::to_string(response.status) + ",\"headers\":[" + headers +
            "],\"body\":" + JsonString(response.body) +
            (response.body_file.empty() ? "" : ",\"body_file\":" + JsonString(response.body_file)) +
            ",\"repeat\":" + std::to_string(response.repeat) +
            ",\"gzip\":" + (response.gzip ? "true" : "false") +
            ",\"chunked\":" + (response.chunked ? "true" : "false") + ",\"cut_after\":" +
            std::to_string(response.cut_after) + ",\"gate\":" + JsonString(response.gate) +
            ",\"gate_at\":" + std::to_string(response.gate_at) + "}");
  }

  void Reset() { Command("{\"cmd\":\"reset\"}"); }
  void AcceptProxyCredentials(const std::string& user, const std::string& password) {
    Command("{\"cmd\":\"proxy\",\"user\":" + JsonString(user) +
            ",\"password\":" + JsonString(password) + "}");
  }
  // "waiting" when a response was held at the gate, "idle" otherwise.
  std::string OpenGate(const std::string& name) {
    const auto reply = Command("{\"cmd\":\"open_gate\",\"name\":" + JsonString(name) + "}");
    return reply.empty() ? "" : reply[0];
  }
  // Waits until the response for `path` has ended: "finished <aborted 0|1> <bytes sent>".
  std::string WaitFinished(const std::string& path) {
    const auto reply = Command("{\"cmd\":\"wait_finished\",\"path\":" + JsonString(path) + "}");
    return reply.empty() ? "" : reply[0];
  }
  // "connect <target> <status>" per CONNECT the proxy received.
  std::vector<std::string> Connects() { return Command("{\"cmd\":\"connects\"}"); }

  std::vector<RecordedRequest> Requests() {
    std::vector<RecordedRequest> requests;
    for (const std::string& line : Command("{\"cmd\":\"requests\"}")) {
      if (line.rfind("request ", 0) == 0) {
        std::istringstream words(line.substr(8));
        requests.emplace_back();
        words >> requests.back().method >> requests.back().target;
      } else if (line.rfind("header ", 0) == 0 && !requests.empty()) {
        const size_t colon = line.find(": ");
        requests.back().headers.emplace_back(line.substr(7, colon - 7), line.substr(colon + 2));
      } else if (line.rfind("body ", 0) == 0 && !requests.empty()) {
        requests.back().body = HexToBytes(line.substr(5));
      }
    }
    return requests;
  }

 private:
  std::string ReadLine() {
    std::string line;
    if (replies_ == nullptr) return line;
    for (int c = std::fgetc(replies_); c != EOF && c != '\n'; c = std::fgetc(replies_)) {
      line += static_cast<char>(c);
    }
    return line;
  }

  pid_t pid_ = -1;
  FILE* commands_ = nullptr;
  FILE* replies_ = nullptr;
  bool ready_ = false;
  std::string address_;
  int https_port_ = 0;
  int proxy_port_ = 0;
  std::string ca_file_;
};

}  // namespace calendar_mirrow_addin::testing
