#pragma once

// A program run as a child with its standard input given and both output streams on pipes,
// read as it runs: a test waits for a text in the output or for the exit, each up to a
// deadline, and what was read so far goes into the failure message.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

namespace calendar_mirrow_addin::testing {

struct Outcome {
  int status = -1;  // the exit status; -1 when killed by a signal or by the deadline
  std::string out;
  std::string err;
};

// This process's environment, as NAME=VALUE texts, without the names `drop` picks and with
// `set` put in place of the same names (the first of two entries is the one a program sees).
inline std::vector<std::string> EnvironmentWith(
    const std::vector<std::string>& set,
    const std::function<bool(const std::string& name)>& drop = nullptr) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const std::string& given : set) replaced = replaced || given.rfind(name + "=", 0) == 0;
    if (!replaced && !(drop && drop(name))) env.push_back(text);
  }
  env.insert(env.end(), set.begin(), set.end());
  return env;
}

class ChildProcess {
 public:
  // `words` start with the program's path; `env` holds NAME=VALUE texts. The input is
  // written before the child runs and then closed, so it must fit a pipe (64 KiB).
  ChildProcess(const std::vector<std::string>& words, const std::vector<std::string>& env,
               const std::string& input) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
      return;
    std::vector<char*> argv, envp;
    for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
    for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {  // only async-signal-safe calls until exec
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    (void)!write(in[1], input.data(), input.size());
    for (int fd : {in[0], in[1], out[1], err[1]}) close(fd);
    fds_[0] = out[0];
    fds_[1] = err[0];
    for (int fd : fds_) fcntl(fd, F_SETFL, O_NONBLOCK);
  }
  ~ChildProcess() {
    if (pid_ > 0 && !ended_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : fds_) {
      if (fd >= 0) close(fd);
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  const std::string& out() const { return text_[0]; }
  const std::string& err() const { return text_[1]; }
  std::string Shown() const { return "stdout:\n" + text_[0] + "stderr:\n" + text_[1]; }

  // Reads until `text` shows in standard output (or, unless `out_only`, in either stream);
  // false when the child ended without it or the deadline passed.
  bool ReadUntil(const std::string& text, int seconds, bool out_only = false) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (text_[0].find(text) == std::string::npos &&
           (out_only || text_[1].find(text) == std::string::npos)) {
      if (ended_ || std::chrono::steady_clock::now() > deadline) return false;
      Pump();
    }
    return true;
  }

  // Reads until the child ends; one that outlives the deadline is killed (status -1).
  // Output its own children still write after it ended is not waited for.
  Outcome Finish(int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!ended_ && std::chrono::steady_clock::now() < deadline) Pump();
    if (!ended_ && pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      ended_ = true;
      text_[1] += "\n(killed at the deadline of " + std::to_string(seconds) + " s)";
    }
    return {status_, text_[0], text_[1]};
  }

 private:
  // Waits up to 100 ms for output, reads what there is, and notes the child's end.
  void Pump() {
    pollfd polled[2];
    nfds_t count = 0;
    for (int fd : fds_) {
      if (fd >= 0) polled[count++] = {fd, POLLIN, 0};
    }
    poll(polled, count, 100);  // with both streams closed, only the 100 ms
    int status = 0;
    if (!ended_ && pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
      ended_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // After the end, everything written before it is in the pipes: read to empty.
    for (int i = 0; i < 2; ++i) {
      char buffer[4096];
      ssize_t got = 0;
      while (fds_[i] >= 0 && (got = read(fds_[i], buffer, sizeof buffer)) != 0) {
        if (got < 0) break;  // nothing more now
        text_[i].append(buffer, static_cast<size_t>(got));
      }
      if (fds_[i] >= 0 && got == 0) {
        close(fds_[i]);
        fds_[i] = -1;
      }
    }
    if (pid_ <= 0) ended_ = true;
  }

  pid_t pid_ = -1;
  int fds_[2] = {-1, -1};
  std::string text_[2];
  bool ended_ = false;
  int status_ = -1;
};

}  // namespace calendar_mirrow_addin::testing
