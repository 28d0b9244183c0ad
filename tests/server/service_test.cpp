// The server as a systemd service: the unit that -install writes (checked by
// systemd-analyze where it is installed), the install and remove messages in
// a temporary unit directory, and the stop sequence of a server started with
// -StartService under a notify socket of the test's own.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "server/service.h"
#include "tests/jobs/run_client.h"
#include "tests/support/server_home.h"

namespace kestrun {
namespace {

using std::chrono::seconds;
using test::EnvChange;
using test::ProgramResult;
using test::TestHome;

const std::string kBanner = "Kestrun Server Version 2.3\n";

ProgramResult RunOption(const TestHome& home, const std::string& option,
                        const std::string& unitDir) {
  return test::RunProgram({home.Program(), option},
                          {{"KESREASON", std::nullopt}, {"KESTRUN_UNIT_DIR", unitDir}});
}

TEST(ServiceUnit, TextNamesTheProgramAndQuotesItsPath) {
  EXPECT_EQ(ServiceUnitText("/opt/kes 1", "KestrunServer"),
            "[Unit]\nDescription=Allows pre-configured jobs to run on this node on request "
            "from Kestrun Clients\nAfter=network-online.target\nWants=network-online.target\n\n["
            "Service]\nType=notify\nExecStart=\"/opt/kes "
            "1/KestrunServer\" -StartService\nRestart=no\n\n[Install]\nWantedBy=multi-user."
            "target\n");
  EXPECT_NE(ServiceUnitText("/a%b$c", "K").find("ExecStart=\"/a%%b$$c/K\""), std::string::npos);
}

// Each step in order against one unit directory: message and status 0.
TEST(ServiceInstall, MessagesInOrder) {
  TestHome home;
  const std::string dir = home.path() + "/units";
  std::filesystem::create_directory(dir);
  struct Step {
    const char* option;
    std::string unitDir;
    const char* message;
    bool unitAfter;
  } const steps[] = {
      {"-install", dir, "", true},
      {"-install", dir, "CreateService failed.\n", true},
      {"-uninstall", dir, "", false},
      {"-uninstall", dir, "Could not open the Kestrun Service\n", false},
      {"-uninstall", dir + "/missing", "Could not remove service\n", false},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(std::string(step.option) + " in " + step.unitDir);
    const ProgramResult r = RunOption(home, step.option, step.unitDir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kBanner + step.message);
    EXPECT_EQ(std::filesystem::exists(dir + "/KestrunServer.service"), step.unitAfter);
  }
}

TEST(ServiceInstall, UnitPassesSystemdVerification) {
  if (access("/usr/bin/systemd-analyze", X_OK) != 0) {
    GTEST_SKIP() << "systemd-analyze is not installed (Debian package systemd)";
  }
  TestHome home;
  const std::string dir = home.path() + "/units";
  std::filesystem::create_directory(dir);
  ASSERT_EQ(RunOption(home, "-install", dir).status, 0);
  const std::string unit = home.ReadFile("units/KestrunServer.service");
  EXPECT_NE(unit.find("ExecStart=\"" + home.Program() + "\" -StartService\n"), std::string::npos);
  const ProgramResult v =
      test::RunProgram({"/usr/bin/systemd-analyze", "verify", dir + "/KestrunServer.service"});
  EXPECT_EQ(v.status, 0) << v.out << v.err;
}

// An install that cannot write its unit says why and exits 1.
TEST(ServiceInstall, AFolderThatCannotBeWrittenIsNamed) {
  TestHome home;
  const std::string dir = home.path() + "/units";
  std::filesystem::create_directory(dir);
  home.WriteFile("plain", "");
  struct Case {
    std::string unitDir;
    std::string err;
  } const cases[] = {
      {dir + "/missing",
       "Could not add service: the unit folder \"" + dir + "/missing\" does not exist\n"},
      {home.path() + "/plain",
       "Could not add service: the unit folder \"" + home.path() + "/plain\" is not a folder\n"},
      {"/proc/self", "Could not add service: cannot write \"/proc/self/KestrunServer.service\": "},
  };
  for (const Case& c : cases) {
    const ProgramResult r = RunOption(home, "-install", c.unitDir);
    EXPECT_EQ(r.status, 1) << c.unitDir;
    EXPECT_EQ(r.err.substr(0, c.err.size()), c.err);
    EXPECT_EQ(r.out, kBanner);
  }
}

// A line feed in the program's path would end the unit's ExecStart line and
// start a directive of its own; any control byte in the path is refused
// before a unit is written.
TEST(ServiceInstall, ProgramPathWithAControlByteIsRefused) {
  TestHome home;
  const std::string dir = home.path() + "/units";
  std::filesystem::create_directory(dir);
  struct Case {
    std::string folder;
    std::string shown;
  } const cases[] = {
      {"evil\nExecStartPre=touch pwned\n", "evil\\nExecStartPre=touch pwned\\n"},
      {"tab\there", "tab\\there"},
      {"del\x7f", "del\\x7F"},
  };
  for (const Case& c : cases) {
    const std::string folder = home.path() + "/" + c.folder;
    std::filesystem::create_directory(folder);
    std::filesystem::copy_file(home.Program(), folder + "/KestrunServer");
    const ProgramResult r =
        test::RunProgram({folder + "/KestrunServer", "-install"},
                         {{"KESREASON", std::nullopt}, {"KESTRUN_UNIT_DIR", dir}});
    EXPECT_EQ(r.status, 1) << c.shown;
    EXPECT_EQ(r.out, kBanner);
    EXPECT_EQ(r.err, "Could not add service: the program's path \"" + home.path() + "/" + c.shown +
                         "/KestrunServer\" holds a control character\n");
    EXPECT_FALSE(std::filesystem::exists(dir + "/KestrunServer.service"));
  }
}

// A datagram socket standing in for systemd's notify socket.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    timeval wait{10, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  }
  ~NotifySocket() { close(fd_); }
  bool bound() const { return bound_; }
  // The next state text, empty after 10 s without one.
  std::string Next() const {
    char buffer[512];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

TEST(ServiceRun, StartedFromAConsoleReturnsAtOnce) {
  TestHome home;
  const ProgramResult r =
      test::RunProgram({home.Program(), "-StartService"},
                       {{"KESREASON", std::nullopt}, {"NOTIFY_SOCKET", std::nullopt}});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kBanner);
}

struct StopCase {
  const char* name;
  bool withJob;
};

class ServiceStop : public testing::TestWithParam<StopCase> {};

TEST_P(ServiceStop, ReportsReadyThenStopsOnSigterm) {
  TestHome home;
  const int port = test::FreePort();
  home.WriteStandardConfig(port,
                           "SLEEPER:\n  program = /bin/sh\n  param = -c\n  param = echo up; exec "
                           "sleep 30\n  usetty = off\n");
  NotifySocket notify(home.path() + "/notify");
  ASSERT_TRUE(notify.bound());
  test::ChildProcess server(
      {home.Program(), "-StartService"},
      {{"KESREASON", std::nullopt}, {"NOTIFY_SOCKET", home.path() + "/notify"}});
  EXPECT_EQ(notify.Next(), "READY=1");
  ASSERT_TRUE(server.WaitForStdout("Listening on port " + std::to_string(port), seconds(10)));
  std::optional<test::RunClient> run;
  if (GetParam().withJob) {
    run.emplace(port, test::RunFields("SLEEPER"));
    ASSERT_TRUE(run->connected());
    run->Header();
    test::RunOutput output;
    ASSERT_TRUE(run->ReadOutputUntil("up", output));  // the job runs
  }
  const auto signalled = std::chrono::steady_clock::now();
  server.Signal(SIGTERM);
  EXPECT_EQ(notify.Next(), "STOPPING=1");
  EXPECT_EQ(server.WaitExit(seconds(10)), 0);
  // The two seconds for killed jobs come after STOPPING, and only with jobs.
  const bool waited =
      std::chrono::steady_clock::now() - signalled >= std::chrono::milliseconds(1900);
  EXPECT_EQ(waited, GetParam().withJob);
  const std::string log = home.Log();
  const size_t down = log.find("Kestrun Service Shutting Down");
  const size_t done = log.find("Kestrun Service Shut Down");
  ASSERT_NE(down, std::string::npos) << log;
  ASSERT_NE(done, std::string::npos) << log;
  EXPECT_LT(down, done);
  const size_t killing = log.find("Killing Running Kestrun Job \"SLEEPER\"");
  EXPECT_EQ(killing != std::string::npos, GetParam().withJob) << log;
  if (GetParam().withJob) {
    EXPECT_LT(killing, done);
  }
  EXPECT_EQ(log.find("Shutting Down Kestrun"), std::string::npos) << "not the console sequence";
}

INSTANTIATE_TEST_SUITE_P(Cases, ServiceStop,
                         testing::Values(StopCase{"NoJobs", false}, StopCase{"WithAJob", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrun
