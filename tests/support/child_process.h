// Test support: start a program of the build as a child process with its
// standard output and error captured, wait for text to appear in them, and
// wait for the process to end. Used by every test that drives a real binary.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kestrun::test {

// One change to the inherited environment: set (value) or unset (nullopt).
struct EnvChange {
  std::string name;
  std::optional<std::string> value;
};

// A running child. Its standard input is /dev/null; standard output and error
// are read by two threads of ours into memory. The destructor kills the child
// (SIGKILL) if it still runs and reaps it, so no test leaves a process behind.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::vector<EnvChange>& env = {},
               const std::string& workingDirectory = "");
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }

  std::string Stdout() const;
  std::string Stderr() const;
  // Waits until standard output (or error) contains `text`; false on timeout
  // or when the stream ended without it.
  bool WaitForStdout(std::string_view text, std::chrono::milliseconds timeout);
  bool WaitForStderr(std::string_view text, std::chrono::milliseconds timeout);

  void Signal(int signal) const;
  // Exit status (or 128 + signal number) once the process ended and both
  // streams are drained; nullopt on timeout.
  std::optional<int> WaitExit(std::chrono::milliseconds timeout);

 private:
  struct Stream {
    int fd = -1;
    std::string text;
    bool ended = false;
    std::thread reader;
  };
  void ReadStream(Stream& s);
  bool WaitFor(Stream& s, std::string_view text, std::chrono::milliseconds timeout);
  void Reap(int options);

  pid_t pid_ = -1;
  int pidfd_ = -1;
  std::optional<int> status_;
  mutable std::mutex lock_;  // guards the two streams' text and ended flags
  std::condition_variable changed_;
  Stream out_, err_;
};

struct ProgramResult {
  int status = -1;  // exit status, 128 + signal, or -1 when it did not end in time
  std::string out;
  std::string err;
};

// Runs a program to its end (killed after `timeout`).
ProgramResult RunProgram(const std::vector<std::string>& argv,
                         const std::vector<EnvChange>& env = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace kestrun::test
