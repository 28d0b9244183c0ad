// Test support: a temporary server home (a directory holding a copy of
// KestrunServer and its kestrun.conf), the server running in it, and a client
// that sends one request over loopback.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/xdrwrap.h"
#include "tests/support/child_process.h"

namespace kestrun::test {

// A port that was free a moment ago (bound to 0 and released).
int FreePort();

// A fresh directory under the temporary directory with KestrunServer copied
// in; removed with everything in it when destroyed.
class TestHome {
 public:
  TestHome();
  ~TestHome();
  TestHome(const TestHome&) = delete;
  TestHome& operator=(const TestHome&) = delete;

  const std::string& path() const { return path_; }
  // The server program of this home.
  std::string Program() const { return path_ + "/KestrunServer"; }
  std::string LogPath() const { return path_ + "/server.log"; }

  // Writes kestrun.conf with exactly this text.
  void WriteConfig(const std::string& text) const;
  // kestrun.conf with the port, the log file in the home, and `extra` lines.
  void WriteStandardConfig(int port, const std::string& extra = "") const;
  void WriteFile(const std::string& name, const std::string& text) const;
  std::string ReadFile(const std::string& name) const;
  std::string Log() const { return ReadFile("server.log"); }
  // Copies another program of the build (build/bin/<name>) into the home.
  void CopyProgram(const std::string& name) const;

 private:
  std::string path_;
};

// The build's directory of programs (build/bin).
std::string BinDirectory();

// The command line of the built kesclient asking the server at
// 127.0.0.1:`port` as `user`@`node`, followed by `rest`.
std::vector<std::string> KesclientCommand(int port, const std::string& user,
                                          const std::string& node,
                                          const std::vector<std::string>& rest);

// Runs that kesclient as `user`@pcK with its standard input read from
// `inputPath` and its two output streams written to files of the home (any
// amount of output), and waits for its end.
ProgramResult RunKesclient(const TestHome& home, int port, const std::string& user,
                           const std::vector<std::string>& args,
                           const std::string& inputPath = "/dev/null");

// KestrunServer serving in a home: started with the standard configuration on
// a free port, and ready once it printed its listening line.
class RunningServer {
 public:
  explicit RunningServer(const TestHome& home, const std::vector<EnvChange>& env = {},
                         const std::string& extraConfig = "");
  int port() const { return port_; }
  bool ready() const { return ready_; }
  ChildProcess& process() { return *process_; }
  // Asks the server to stop with SIGTERM and returns its exit status.
  std::optional<int> Stop(std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  int port_ = 0;
  bool ready_ = false;
  std::unique_ptr<ChildProcess> process_;
};

// Sends `request` (with the connection magic) to the server on loopback and
// reads the reply. nullopt when the connection fails or no reply comes.
std::optional<XDRWRAP> Exchange(int port, XDRWRAP& request,
                                std::chrono::milliseconds wait = std::chrono::seconds(10));

// Counts the occurrences of `text` in `in`.
size_t CountOf(const std::string& in, const std::string& text);

}  // namespace kestrun::test
