// `kesclient run` against the built KestrunServer: binary data through a job
// in both directions, the job's exit status as the client's, and a client
// whose reader goes away.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "protocol/transport.h"
#include "tests/support/child_process.h"
#include "tests/support/server_home.h"
#include "tests/support/waiting.h"

extern char** environ;

namespace kestrun::test {
namespace {

const std::string kChild = KES_JOB_CHILD;

using ClientRun = ProgramResult;

class KesclientRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = std::make_unique<TestHome>();
    const std::string child = "  program = " + kChild + "\n  usetty = off\n";
    server_ = std::make_unique<RunningServer>(
        *home_, std::vector<EnvChange>{},
        "\nCAT:\n" + child + "  param = cat\n\nEXIT7:\n" + child +
            "  param = exit\n  param = 7\n\nSTREAM:\n" + child +
            "  param = stream\n  param = 1000000000\n" + "\nNOPROG:\n  title = Nothing\n\nHOLD:\n" +
            child + "  param = cat\n  allowstop = off\n");
  }
  static void TearDownTestSuite() {
    test::StopServerChecked(server_.get());
    server_.reset();
    home_.reset();
  }
  void SetUp() override { ASSERT_TRUE(server_->ready()); }

  static std::unique_ptr<TestHome> home_;
  static std::unique_ptr<RunningServer> server_;
};

std::unique_ptr<TestHome> KesclientRun::home_;
std::unique_ptr<RunningServer> KesclientRun::server_;

TEST_F(KesclientRun, TenMegabytesOfRandomBytesComeBackByteForByte) {
  std::string data(10 * 1024 * 1024, '\0');
  std::mt19937_64 random(20261207);
  for (size_t i = 0; i < data.size(); i += 8) {
    const uint64_t v = random();
    for (size_t k = 0; k < 8; ++k) data[i + k] = static_cast<char>(v >> (8 * k));
  }
  home_->WriteFile("random.bin", data);
  const ClientRun run =
      RunKesclient(*home_, server_->port(), "ann", {"run", "cat"}, home_->path() + "/random.bin");
  EXPECT_EQ(run.status, 0) << run.err;
  ASSERT_EQ(run.out.size(), data.size());
  EXPECT_TRUE(run.out == data);
  EXPECT_EQ(run.err, "");
}

TEST_F(KesclientRun, TheClientsExitStatusIsTheJobs) {
  const ClientRun run = RunKesclient(*home_, server_->port(), "ann", {"run", "EXIT7"});
  EXPECT_EQ(run.status, 7) << run.err;
  EXPECT_EQ(run.out, "");
}

TEST_F(KesclientRun, AnUnknownJobIsReportedWithTheServersMessage) {
  const ClientRun run = RunKesclient(*home_, server_->port(), "ann", {"run", "NOSUCH"});
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(run.err, "kesclient: Kestrun Job not found\n");
  EXPECT_NE(home_->Log().find(" ann@pcK attempts to invoke job \"NOSUCH\" - job does not exist"),
            std::string::npos);
}

// The process id of the running job `name` as `kesclient active` lists it.
pid_t ActiveJobPid(const TestHome& home, int port, const std::string& name) {
  const ClientRun active = RunKesclient(home, port, "ann", {"active"});
  size_t line = 0;
  while (line < active.out.size()) {
    const size_t end = active.out.find('\n', line);
    const std::string text = active.out.substr(line, end - line);
    if (text.rfind(name + " ", 0) == 0) return std::atoi(text.c_str() + name.size());
    if (end == std::string::npos) break;
    line = end + 1;
  }
  return -1;
}

// Starts kesclient with standard input and output on the given descriptors
// (standard error: `errPath`); -1 when it could not be started.
pid_t SpawnKesclient(int port, const std::string& node, const std::vector<std::string>& args,
                     int inputFd, int outputFd, const std::string& errPath) {
  std::vector<std::string> argv{
      BinDirectory() + "/kesclient", "-p", std::to_string(port), "-u", "ann", "-n", node};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> raw;
  for (std::string& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inputFd, 0);
  posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// Exit status of `pid` once it ended; -1 when it did not exit normally.
int ExitStatus(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

bool LogGets(const TestHome& home, const std::string& text) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (home.Log().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

TEST_F(KesclientRun, AReaderThatGoesAwayEndsTheClientButNotTheJob) {
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t pid = SpawnKesclient(server_->port(), "pcP", {"run", "stream"}, devNull, out[1],
                                   home_->path() + "/reader.err");
  ::close(devNull);
  ::close(out[1]);
  ASSERT_GT(pid, 0);
  char first[4096];
  EXPECT_GT(::read(out[0], first, sizeof first), 0);  // the job's output arrives
  ::close(out[0]);                                    // ... and nobody reads on
  EXPECT_EQ(ExitStatus(pid), 141);
  EXPECT_EQ(home_->ReadFile("reader.err"), "");

  // The job was not ended with the client: it is still listed as running.
  const pid_t job = ActiveJobPid(*home_, server_->port(), "STREAM");
  ASSERT_GT(job, 0);
  EXPECT_EQ(::kill(job, SIGKILL), 0);
  EXPECT_TRUE(LogGets(*home_, " ann@pcP - Communication failure with client\n"));
}

TEST_F(KesclientRun, CtrlCAsksTheServerToStopAStoppableJob) {
  int in[2], out[2];
  ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  const pid_t pid = SpawnKesclient(server_->port(), "pcS", {"run", "cat"}, in[0], out[1],
                                   home_->path() + "/stop.err");
  ::close(in[0]);
  ::close(out[1]);
  ASSERT_GT(pid, 0);
  // Once a line came back through the job, the run is on with its stop id.
  ASSERT_EQ(::write(in[1], "ping\n", 5), 5);
  char echo[5];
  size_t got = 0;
  while (got < sizeof echo) {
    const ssize_t n = ::read(out[0], echo + got, sizeof echo - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ASSERT_EQ(std::string(echo, got), "ping\n");
  ::kill(pid, SIGINT);
  // The job is ended by the server (exit code 1) and the client reports it.
  EXPECT_EQ(ExitStatus(pid), 1);
  ::close(in[1]);
  ::close(out[0]);
  EXPECT_EQ(home_->ReadFile("stop.err"),
            "kesclient: stop requested\nkesclient: cat stopped (exit 1)\n");
  EXPECT_TRUE(LogGets(*home_, "User Requests Process Stop\n"));
  EXPECT_TRUE(LogGets(*home_, "Process stopped successfully\n"));
}

// A port where nothing listens: the client names the reason, not only the
// failure.
TEST(KesclientErrors, ARefusedConnectionIsNamed) {
  int port = 0;
  std::optional<Socket> listener = CreateListenSocket(&port);
  ASSERT_TRUE(listener);
  listener->Close();
  const std::string where = "127.0.0.1:" + std::to_string(port);
  const ProgramResult r = RunProgram(
      {BinDirectory() + "/kesclient", "-s", "127.0.0.1", "-p", std::to_string(port), "echo"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "kesclient: cannot connect to " + where + ": Connection refused\n");
}

TEST_F(KesclientRun, AJobWithoutAProgramSaysThatNothingRan) {
  const ClientRun run = RunKesclient(*home_, server_->port(), "ann", {"run", "noprog"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "kesclient: noprog has no program on the server: nothing ran\n");
}

// Ctrl+C on a job that does not allow stopping says so and leaves the job
// alone; a second Ctrl+C leaves.
TEST_F(KesclientRun, CtrlCOnAJobThatCannotBeStoppedWarnsFirst) {
  int in[2], out[2];
  ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  const std::string errPath = home_->path() + "/hold.err";
  const pid_t pid = SpawnKesclient(server_->port(), "pcH", {"run", "hold"}, in[0], out[1], errPath);
  ::close(in[0]);
  ::close(out[1]);
  ASSERT_GT(pid, 0);
  char echo[5];
  ASSERT_EQ(::write(in[1], "ping\n", 5), 5);
  ASSERT_EQ(::read(out[0], echo, 5), 5);
  ::kill(pid, SIGINT);
  const std::string warning = "kesclient: hold cannot be stopped; Ctrl+C again leaves it running\n";
  ASSERT_TRUE(WaitUntil([&] { return home_->ReadFile("hold.err") == warning; }));
  // The run goes on: the job still echoes.
  ASSERT_EQ(::write(in[1], "pong\n", 5), 5);
  ASSERT_EQ(::read(out[0], echo, 5), 5);
  EXPECT_EQ(std::string(echo, 5), "pong\n");
  ::kill(pid, SIGINT);
  EXPECT_EQ(ExitStatus(pid), 130);
  ::close(in[1]);
  ::close(out[0]);
  EXPECT_EQ(home_->ReadFile("hold.err"), warning);
  const pid_t job = ActiveJobPid(*home_, server_->port(), "HOLD");
  if (job > 0) ::kill(job, SIGKILL);
}

// Every failure of kesclient itself ends with 255, whatever the job could
// exit with; the message says which failure it was.
TEST_F(KesclientRun, ClientFailuresEndWith255) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } const cases[] = {
      {{"run"}, "kesclient: run: which job?\n"},
      {{"frobnicate"}, "kesclient: unknown command frobnicate\n"},
      {{"jobs", "--xml"}, "kesclient: jobs: takes --json or --names\n"},
      {{"dialog", "-q", "x"}, "kesclient: dialog: unknown option -q\n"},
  };
  for (const Case& c : cases) {
    const ClientRun run = RunKesclient(*home_, server_->port(), "ann", c.args);
    EXPECT_EQ(run.status, 255) << c.args[0];
    EXPECT_EQ(run.err.substr(0, c.err.size()), c.err);
  }
}

TEST_F(KesclientRun, ListsAsJsonAndNames) {
  ClientRun run = RunKesclient(*home_, server_->port(), "ann", {"jobs", "--names"});
  EXPECT_EQ(run.out, "CAT\nEXIT7\nSTREAM\nNOPROG\nHOLD\n");
  run = RunKesclient(*home_, server_->port(), "ann", {"jobs", "--json"});
  EXPECT_EQ(run.out.substr(0, run.out.find('\n') + 1), "{\"name\":\"CAT\",\"help\":\"\"}\n");
  run = RunKesclient(*home_, server_->port(), "ann", {"active", "--json"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");  // nothing runs
}

// On a terminal the lists open with a header line (script(1) gives kesclient
// one); into a file or pipe they do not.
TEST_F(KesclientRun, ListsHaveAHeaderLineOnATerminal) {
  if (::access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "script (util-linux) is missing";
  const std::string command = BinDirectory() + "/kesclient -p " + std::to_string(server_->port()) +
                              " -u ann jobs --names; " + BinDirectory() + "/kesclient -p " +
                              std::to_string(server_->port()) + " -u ann jobs";
  const ProgramResult r = RunProgram({"/usr/bin/script", "-qec", command, "/dev/null"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("CAT\r\nEXIT7"), std::string::npos) << r.out;  // --names: no header
  EXPECT_NE(r.out.find("JOB                  HELP\r\nCAT "), std::string::npos) << r.out;
  const ClientRun plain = RunKesclient(*home_, server_->port(), "ann", {"jobs"});
  EXPECT_EQ(plain.out.rfind("CAT ", 0), 0u) << plain.out;
}

// Without -s and -p, KESTRUN_SERVER names the server; with no port anywhere
// the message names the places a port can come from.
TEST_F(KesclientRun, TheServerVariableAndTheMissingPortMessage) {
  const std::string bin = BinDirectory() + "/kesclient";
  const std::vector<EnvChange> noUserConfig{{"HOME", home_->path()},
                                            {"XDG_CONFIG_HOME", std::nullopt}};
  std::vector<EnvChange> env = noUserConfig;
  env.push_back({"KESTRUN_SERVER", "127.0.0.1:" + std::to_string(server_->port())});
  ProgramResult r = RunProgram({bin, "echo", "42"}, env);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "42\n");
  env = noUserConfig;
  env.push_back({"KESTRUN_SERVER", std::nullopt});
  r = RunProgram({bin, "echo"}, env);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err,
            "kesclient: no server port: use -p PORT, KESTRUN_SERVER=HOST:PORT, a port in "
            "~/.config/kestrun/client.conf or the port of the kestrun.conf beside kesclient\n");
}

// A user's start loads the C library and nothing more.
TEST(KesclientLinking, OnlyTheCLibraryAndTheLoaderAreShared) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizer builds link their run-time libraries";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  GTEST_SKIP() << "sanitizer builds link their run-time libraries";
#endif
#endif
  const ProgramResult r = RunProgram({"/usr/bin/ldd", BinDirectory() + "/kesclient"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> shared;
  size_t line = 0;
  while (line < r.out.size()) {
    const size_t end = std::min(r.out.find('\n', line), r.out.size());
    const size_t first = r.out.find_first_not_of(" \t", line);
    if (first < end) {
      std::string name = r.out.substr(first, r.out.find_first_of(" \t", first) - first);
      name = name.substr(name.rfind('/') + 1);
      if (name != "linux-vdso.so.1") shared.push_back(name);  // the kernel's, not a file
    }
    line = end + 1;
  }
  EXPECT_EQ(shared, (std::vector<std::string>{"libc.so.6", "ld-linux-x86-64.so.2"})) << r.out;
}

}  // namespace
}  // namespace kestrun::test
