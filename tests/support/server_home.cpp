#include "tests/support/server_home.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "protocol/transport.h"

extern char** environ;

namespace kestrun::test {

namespace fs = std::filesystem;

int FreePort() {
  int port = 0;
  std::optional<Socket> s = CreateListenSocket(&port);
  return s ? port : 0;
}

std::string BinDirectory() {
  return KES_TEST_BIN_DIR;
}

std::vector<std::string> KesclientCommand(int port, const std::string& user,
                                          const std::string& node,
                                          const std::vector<std::string>& rest) {
  std::vector<std::string> argv{BinDirectory() + "/kesclient",
                                "-s",
                                "127.0.0.1",
                                "-p",
                                std::to_string(port),
                                "-u",
                                user,
                                "-n",
                                node};
  argv.insert(argv.end(), rest.begin(), rest.end());
  return argv;
}

ProgramResult RunKesclient(const TestHome& home, int port, const std::string& user,
                           const std::vector<std::string>& args, const std::string& inputPath) {
  std::vector<std::string> argv = KesclientCommand(port, user, "pcK", args);
  std::vector<char*> raw;
  for (std::string& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  const std::string outPath = home.path() + "/client.out";
  const std::string errPath = home.path() + "/client.err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, inputPath.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ProgramResult run;
  if (rc != 0) return run;
  int status = 0;
  if (::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.status = WEXITSTATUS(status);
  run.out = home.ReadFile("client.out");
  run.err = home.ReadFile("client.err");
  return run;
}

TestHome::TestHome() {
  std::string pattern = (fs::temp_directory_path() / "kestrun-home-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  CopyProgram("KestrunServer");
}

TestHome::~TestHome() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void TestHome::CopyProgram(const std::string& name) const {
  const fs::path from = fs::path(BinDirectory()) / name;
  const fs::path to = fs::path(path_) / name;
  // A hard link is as good as a copy for the program's own path and much
  // cheaper; copy when the two directories are on different file systems.
  std::error_code error;
  fs::create_hard_link(from, to, error);
  if (error) fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

void TestHome::WriteConfig(const std::string& text) const {
  WriteFile("kestrun.conf", text);
}

void TestHome::WriteStandardConfig(int port, const std::string& extra) const {
  WriteConfig("port=" + std::to_string(port) + "\nlogfile=" + LogPath() + "\n" + extra);
}

void TestHome::WriteFile(const std::string& name, const std::string& text) const {
  std::ofstream(fs::path(path_) / name, std::ios::binary | std::ios::trunc) << text;
}

std::string TestHome::ReadFile(const std::string& name) const {
  std::ifstream in(fs::path(path_) / name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

RunningServer::RunningServer(const TestHome& home, const std::vector<EnvChange>& env,
                             const std::string& extraConfig) {
  port_ = FreePort();
  home.WriteStandardConfig(port_, extraConfig);
  process_ = std::make_unique<ChildProcess>(std::vector<std::string>{home.Program()}, env);
  ready_ = process_->WaitForStdout("Listening on port " + std::to_string(port_),
                                   std::chrono::seconds(20));
}

std::optional<int> RunningServer::Stop(std::chrono::milliseconds timeout) {
  process_->Signal(SIGTERM);
  return process_->WaitExit(timeout);
}

std::optional<XDRWRAP> Exchange(int port, XDRWRAP& request, std::chrono::milliseconds wait) {
  std::optional<ServerConnection> c = ConnectToServer(port, "127.0.0.1");
  if (!c) return std::nullopt;
  SendRequest(request, *c);
  XDRWRAP reply;
  try {
    ReceiveMessage(reply, c->socket.get(), wait);
  } catch (const DecodeFailure&) {
    return std::nullopt;
  }
  return reply;
}

size_t CountOf(const std::string& in, const std::string& text) {
  size_t n = 0;
  for (size_t at = in.find(text); at != std::string::npos; at = in.find(text, at + text.size()))
    ++n;
  return n;
}

}  // namespace kestrun::test
