#pragma once

// Starts the web calendar stand-in (sim/webcal_server/server.py) on a loopback address of
// its own with an in-memory store or one kept in a folder, and calls its admin API. The server
// stops when this object closes its standard input.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/http.h"
#include "tests/support/temp_dir.h"

namespace calendar_mirrow_addin::testing {

class WebcalServer {
 public:
  // In memory, in a folder of its own.
  WebcalServer() : data_(folder_.path().string()) { Start(); }
  // Persistent: certificates, admin secret and database in `folder`, which the caller keeps
  // so that the calendar outlives a restart of the process.
  explicit WebcalServer(const std::filesystem::path& folder)
      : data_(folder.string()), memory_(false) {
    Start();
  }
  ~WebcalServer() { Stop(); }
  WebcalServer(const WebcalServer&) = delete;
  WebcalServer& operator=(const WebcalServer&) = delete;

  // Ends the process and starts it again on the same folder and address: the links a
  // client cached name that address. False when it did not come up.
  bool Restart() {
    Stop();
    Start();
    return ready();
  }

  bool ready() const { return ready_ && admin_session_ != nullptr; }
  const std::string& service_url() const { return service_; }  // "https://127.0.0.N"
  const std::string& accounts_url() const { return accounts_; }
  const std::string& ca_file() const { return ca_file_; }
  const std::string& secret() const { return secret_; }

  // One admin call; the JSON answer, or "<status N>" when the server did not answer 2xx.
  std::string Admin(const std::string& method, const std::string& path,
                    const std::string& json = "") {
    platform::HttpRequestSpec request;
    request.method = method;
    request.url = service_ + "/admin/" + path;
    request.headers = "X-Admin-Secret: " + secret_ + "\r\nContent-Type: application/json";
    request.body = json;
    std::string error;
    auto exchange = admin_session_ ? admin_session_->Send(request, &error) : nullptr;
    if (!exchange) return "<no answer: " + error + ">";
    std::string body;
    char buffer[16384];
    size_t read = 0;
    while (exchange->ReadBody(buffer, sizeof buffer, &read) && read > 0) body.append(buffer, read);
    const uint32_t status = exchange->status();
    if (status < 200 || status > 299) return "<status " + std::to_string(status) + ">";
    return body;
  }

 private:
  void Start() {
    int to_server[2], from_server[2];
    if (pipe2(to_server, O_CLOEXEC) != 0) return;
    if (pipe2(from_server, O_CLOEXEC) != 0) return;
    const std::string script = TIDEWELL_SOURCE_DIR "/sim/webcal_server/server.py";
    // After the first start the address is kept: "https://" is eight characters.
    const std::string address = service_.size() > 8 ? service_.substr(8) : "";
    std::vector<const char*> args = {"python3", script.c_str(), "--data", data_.c_str()};
    if (memory_) args.push_back("--memory");
    if (!address.empty()) {
      args.push_back("--address");
      args.push_back(address.c_str());
    }
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(to_server[0], 0);
      dup2(from_server[1], 1);
      execvp("python3", const_cast<char* const*>(args.data()));
      _exit(127);
    }
    close(to_server[0]);
    close(from_server[1]);
    stdin_ = to_server[1];
    stdout_ = fdopen(from_server[0], "r");
    std::istringstream line(ReadLine());
    std::string word, service, accounts, ca, secret;
    line >> word >> service >> accounts >> ca >> secret;
    ready_ = word == "ready" && Field(service, "service=", &service_) &&
             Field(accounts, "accounts=", &accounts_) && Field(ca, "ca=", &ca_file_) &&
             Field(secret, "secret=", &secret_);
    std::string error;
    if (ready_) admin_session_ = platform::OpenHttpSession("Tidewell-test", ca_file_, &error);
  }
  void Stop() {
    admin_session_.reset();
    if (stdin_ >= 0) close(stdin_);
    if (stdout_ != nullptr) fclose(stdout_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    stdin_ = -1;
    stdout_ = nullptr;
    pid_ = -1;
    ready_ = false;
  }
  static bool Field(const std::string& word, const std::string& name, std::string* value) {
    if (word.rfind(name, 0) != 0) return false;
    *value = word.substr(name.size());
    return true;
  }
  std::string ReadLine() {
    std::string line;
    for (int c = stdout_ ? std::fgetc(stdout_) : EOF; c != EOF && c != '\n';
         c = std::fgetc(stdout_)) {
      line += static_cast<char>(c);
    }
    return line;
  }

  TempDir folder_;  // the in-memory server's certificates
  std::string data_;
  bool memory_ = true;
  pid_t pid_ = -1;
  int stdin_ = -1;
  FILE* stdout_ = nullptr;
  bool ready_ = false;
  std::string service_, accounts_, ca_file_, secret_;
  std::unique_ptr<platform::HttpSession> admin_session_;
};

}  // namespace calendar_mirrow_addin::testing
