// The built KestrunServer running scheduled jobs in a temporary home: one
// server, several jobs due every minute, one minute boundary (of the server's
// clock, set ahead so that it comes about ten seconds after the start, not
// up to a minute later). Checks the
// log files (names, contents, retention), a dependent started by exit code
// with the parent variables, the run listed with user "SCHEDULER", bad
// dependents logged while the server keeps serving, and no thread or
// descriptor left in the server once the runs are over.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "server/dispatcher.h"
#include "tests/support/ask.h"
#include "tests/support/server_home.h"
#include "tests/support/waiting.h"

namespace kestrun::test {
namespace {

using namespace std::chrono_literals;

const std::string kChild = KES_JOB_CHILD;
// Due in every minute of every day.
const std::string kEveryMinute =
    " autorun = on\n autoruninterval = 1\n autoruntimes = 00:00-23:59\n";

std::string StatusField(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field + ":", 0) == 0) return line.substr(field.size() + 1);
  return "";
}

size_t Descriptors(pid_t pid) {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
    ++n;
  return n;
}

std::set<std::string> LogFiles(const TestHome& home) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(home.path() + "/log"))
    names.insert(e.path().filename().string());
  return names;
}

// The (job, user) pairs of GET_ACTIVE_JOBS.
std::vector<std::pair<std::string, std::string>> ActiveJobs(int port) {
  std::vector<std::pair<std::string, std::string>> jobs;
  const auto reply = Ask<messages::GetActiveJobsReply>(port, messages::GetActiveJobsRequest{});
  if (!reply) return jobs;
  for (const messages::ActiveJobEntry& job : reply->jobs)
    jobs.emplace_back(job.jobName, job.clientUser);
  return jobs;
}

bool Echoes(int port) {
  return test::Echoes(port, 42);
}

TEST(ScheduledServer, JobsRunAtTheMinuteWithLogFilesDependentsAndSchedulerUser) {
  TestHome home;
  std::filesystem::create_directory(home.path() + "/log");
  ASSERT_EQ(::mkfifo((home.path() + "/hold").c_str(), 0600), 0);
  home.WriteFile("in", "fed from a file\n");
  // Six older runs of LOGGED: retention 5 keeps the newest four and the new one.
  for (int k = 0; k < 6; ++k)
    home.WriteFile("log/LOGGED-2020010" + std::to_string(k + 1) + "-0000.log", "old");
  const std::string jobs =
      "LOGGED:\n program = " + kChild + "\n param = both\n logfileretention = 5\n" + kEveryMinute +
      "\nPARENT:\n program = " + kChild + "\n param = exit\n param = 3\n" +
      " autorunonfailure = {CHILD,NOSUCH}\n autorunonsuccess = LOGGED\n" + kEveryMinute +
      "\nCHILD:\n program = " + kChild +
      "\n param = env\n param = KESPARENTJOB\n param = KESPARENTLOG\n param = KESPARENTEXITCODE\n"
      " param = KESREASON\n param = KESJOBNAME\n"
      "\nHOLD:\n program = " +
      kChild + "\n param = cat-then-wait\n param = " + home.path() +
      "/hold\n autorunstandardinput = $KESTRUNHOME/in\n" + kEveryMinute;
  // The server's clock reads second 50 of a minute as it starts.
  const int64_t ahead = (50 - std::time(nullptr) % 60 + 60) % 60;
  RunningServer server(
      home, {{"KESREASON", std::nullopt}, {"KESTRUN_CLOCK_AHEAD", std::to_string(ahead)}}, jobs);
  ASSERT_TRUE(server.ready());
  const pid_t pid = server.process().pid();
  const std::string threadsBefore = StatusField(pid, "Threads");
  const size_t descriptorsBefore = Descriptors(pid);

  // The baseline holds only if no run had started yet.
  ASSERT_EQ(home.Log().find("SCHEDULER"), std::string::npos) << "a minute began during start-up";

  // The first minute boundary: HOLD's program copies its input file and then
  // opens the FIFO, which lets a writer open it too (before that, a
  // non-blocking open finds no reader).
  int writer = -1;
  ASSERT_TRUE(WaitUntil(
      [&] {
        writer = ::open((home.path() + "/hold").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        return writer >= 0;
      },
      75s));
  ASSERT_EQ(::fcntl(writer, F_SETFL, 0), 0);
  EXPECT_TRUE(WaitUntil([&] {
    for (const auto& [job, user] : ActiveJobs(server.port()))
      if (job == "HOLD" && user == "SCHEDULER") return true;
    return false;
  }));
  ::close(writer);
  ASSERT_TRUE(WaitUntil([&] { return CountOf(home.Log(), "SCHEDULER: Script") == 4; }));

  const std::string log = home.Log();
  for (const char* line :
       {"SCHEDULER: Running timed job \"LOGGED\"", "SCHEDULER: Running timed job \"PARENT\"",
        "SCHEDULER: Running dependent job \"CHILD\"",
        "SCHEDULER: Dependent job \"NOSUCH\" of PARENT does not exist",
        "SCHEDULER: Running timed job \"HOLD\""})
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  EXPECT_EQ(CountOf(log, "SCHEDULER: Running"), 4u) << log;

  // Every run of this minute is named with the same stamp.
  std::string minute;
  for (const std::string& name : LogFiles(home))
    if (name.rfind("HOLD-", 0) == 0) minute = name.substr(5, 13);
  EXPECT_EQ(home.ReadFile("log/CHILD-" + minute + ".log"),
            "KESPARENTJOB=PARENT\nKESPARENTLOG=" + home.path() + "/log/PARENT-" + minute +
                ".log\nKESPARENTEXITCODE=3\nKESREASON=TIMED\nKESJOBNAME=CHILD\n");
  EXPECT_EQ(home.ReadFile("log/LOGGED-" + minute + ".log"), "out\nerr\n");
  EXPECT_EQ(home.ReadFile("log/HOLD-" + minute + ".log"), "fed from a file\n");
  EXPECT_EQ(home.ReadFile("log/PARENT-" + minute + ".log"), "");
  EXPECT_EQ(LogFiles(home),
            (std::set<std::string>{"LOGGED-20200103-0000.log", "LOGGED-20200104-0000.log",
                                   "LOGGED-20200105-0000.log", "LOGGED-20200106-0000.log",
                                   "LOGGED-" + minute + ".log", "PARENT-" + minute + ".log",
                                   "CHILD-" + minute + ".log", "HOLD-" + minute + ".log"}));

  EXPECT_TRUE(Echoes(server.port()));
  EXPECT_TRUE(WaitUntil([&] { return StatusField(pid, "Threads") == threadsBefore; }))
      << StatusField(pid, "Threads") << " threads, " << threadsBefore << " before";
  EXPECT_TRUE(WaitUntil([&] { return Descriptors(pid) == descriptorsBefore; }))
      << Descriptors(pid) << " descriptors, " << descriptorsBefore << " before";
  EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
}  // namespace kestrun::test
