#pragma once

// Starts tests/webcal/https_fixture.py and scripts it: commands go to it through a named
// pipe, replies come back on its standard output; the script describes the commands. The
// fixture ends when this object closes the pipe.

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin::testing {

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
    const std::string pipe = (folder_.path() / "commands").string();
    // Opened for reading too, so that opening does not wait for the fixture. Not inherited:
    // the fixture must see the end of its input when this object closes it.
    const int fd = mkfifo(pipe.c_str(), 0600) == 0 ? open(pipe.c_str(), O_RDWR | O_CLOEXEC) : -1;
    if (fd < 0 || (commands_ = fdopen(fd, "w")) == nullptr) return;
    replies_ = popen(
        ("exec python3 '" TIDEWELL_SOURCE_DIR "/tests/webcal/https_fixture.py' '" + pipe + "'")
            .c_str(),
        "r");
    // Blocks until the fixture listens (or ends, when it could not start).
    std::istringstream ready(ReadLine());
    std::string word;
    ready >> word >> address_ >> other_address_ >> proxy_port_ >> ca_file_;
    ready_ = word == "ready";
  }
  ~HttpsFixture() {
    if (commands_ != nullptr) fclose(commands_);
    if (replies_ != nullptr) pclose(replies_);
  }

  bool ready() const { return ready_; }
  // The two origins; both serve the same script.
  const std::string& address() const { return address_; }
  const std::string& other_address() const { return other_address_; }
  std::string proxy() const { return address_ + ":" + std::to_string(proxy_port_); }
  const std::string& ca_file() const { return ca_file_; }  // the certificate to trust
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
      if (reply.empty()) {  // it ended: nothing may be written into a pipe nobody reads
        fclose(commands_);
        commands_ = nullptr;
        return {"<fixture gone>"};
      }
      lines.push_back(reply);
    }
    return lines;
  }
  void Reset() { Command("reset"); }
  // Scripts the answer for a path: `fields` are the JSON members the script describes.
  void Serve(const std::string& path, const std::string& fields) {
    Command("serve", ",\"path\":" + Json(path) + "," + fields);
  }
  // Per request "<method> <target> | <each named header or <absent>> | <body>".
  std::vector<std::string> Requests(const std::string& header_names = "") {
    return Command("requests", ",\"headers\":[" + header_names + "]");
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

  TempDir folder_;  // holds the pipe
  FILE* commands_ = nullptr;
  FILE* replies_ = nullptr;
  bool ready_ = false;
  std::string address_, other_address_, ca_file_;
  int proxy_port_ = 0;
};

}  // namespace calendar_mirrow_addin::testing
