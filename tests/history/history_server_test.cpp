// The run history through the built KestrunServer and kesclient: runs
// recorded with their output, `kesclient history` and `output`, visibility
// by group, refusals of bad queries, and a kill -9 in the middle of a burst.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "history/sqlite.h"
#include "protocol/messages/history.h"
#include "tests/jobs/run_client.h"
#include "tests/support/server_home.h"
#include "tests/support/waiting.h"

extern char** environ;

namespace kestrun::test {
namespace {

const std::string kChild = KES_JOB_CHILD;

using ClientRun = ProgramResult;

std::string Jobs() {
  const std::string child = "  program = " + kChild + "\n  usetty = off\n";
  return "groupprocessor = " KES_GROUP_PLUGIN "\n\nBOTH:\n" + child + "  param = both\n\nEXIT3:\n" +
         child + "  param = exit\n  param = 3\n\nSECRET:\n" + child +
         "  param = exit\n  param = 0\n  group = Admins\n\nBIG:\n" + child +
         "  param = stream\n  param = 5000\n  historyoutput = 1000\n\nCODE:\n" + child +
         "  param = exit\n\nCAT:\n" + child + "  param = cat\n\nWIDECAT:\n" + child +
         "  param = cat\n  historyoutput = 300001\n";
}

class HistoryServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = std::make_unique<TestHome>();
    home_->WriteFile("groups.txt", "Admins:bob\n");
    server_ = std::make_unique<RunningServer>(
        *home_, std::vector<EnvChange>{{"KESGP_FILE", home_->path() + "/groups.txt"}}, Jobs());
  }
  static void TearDownTestSuite() {
    StopServerChecked(server_.get());
    server_.reset();
    home_.reset();
  }
  void SetUp() override { ASSERT_TRUE(server_->ready()); }
  static ClientRun Client(const std::string& user, const std::vector<std::string>& args) {
    return RunKesclient(*home_, server_->port(), user, args);
  }
  // The id of the newest record of `job` that `user` sees.
  static int64_t NewestId(const std::string& user, const std::string& job) {
    const ClientRun run = Client(user, {"history", job, "-n", "1", "--json"});
    std::smatch m;
    if (!std::regex_search(run.out, m, std::regex("^\\{\"id\":([0-9]+),"))) return 0;
    return std::stoll(m[1]);
  }

  static std::unique_ptr<TestHome> home_;
  static std::unique_ptr<RunningServer> server_;
};

std::unique_ptr<TestHome> HistoryServer::home_;
std::unique_ptr<RunningServer> HistoryServer::server_;

TEST_F(HistoryServer, KesclientShowsTheRunsAndTheirOutputAsTheyCame) {
  ASSERT_EQ(Client("ann", {"run", "BOTH"}).status, 0);
  ASSERT_EQ(Client("ann", {"run", "EXIT3", "x y"}).status, 3);
  const ClientRun table = Client("ann", {"history", "-n", "2"});
  EXPECT_EQ(table.status, 0) << table.err;
  EXPECT_TRUE(table.out.starts_with(
      "ID       JOB                  USER@NODE                STARTED             DURATION  "
      "RESULT\n"))
      << table.out;
  EXPECT_NE(table.out.find(" EXIT3                ann@pcK "), std::string::npos) << table.out;
  EXPECT_NE(table.out.find("s    exit 3\n"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find("s    exit 0\n"), std::string::npos) << table.out;

  const ClientRun json = Client("ann", {"history", "exit3", "-n", "1", "--json"});
  EXPECT_EQ(json.status, 0);
  EXPECT_TRUE(std::regex_match(
      json.out,
      std::regex("\\{\"id\":[0-9]+,\"job\":\"EXIT3\",\"user\":\"ann\",\"node\":\"pcK\","
                 "\"address\":\"127.0.0.1\",\"origin\":\"client\",\"arguments\":\\[\"exit\","
                 "\"3\",\"x y\"\\],\"fields\":\\[\\],\"listbox\":\\[\\],\"started\":[0-9]+,"
                 "\"ended\":[0-9]+,\"pid\":[1-9][0-9]*,\"exit_code\":3,\"outcome\":\"exited\","
                 "\"ended_by\":\"\",\"output_bytes\":0,\"message\":\"\"\\}\n")))
      << json.out;

  const ClientRun output = Client("ann", {"output", std::to_string(NewestId("ann", "BOTH"))});
  EXPECT_EQ(output.status, 0);
  EXPECT_EQ(output.out, "out\n");
  EXPECT_EQ(output.err, "err\n");
}

TEST_F(HistoryServer, OutputOverTheJobsCapKeepsHeadAndTailAndSaysWhatWasLeftOut) {
  ASSERT_EQ(Client("ann", {"run", "BIG"}).status, 0);
  const ClientRun output = Client("ann", {"output", std::to_string(NewestId("ann", "BIG"))});
  std::string all;
  for (int i = 0; i < 5000; ++i) all.push_back(static_cast<char>('a' + i % (64 * 1024) % 26));
  EXPECT_EQ(output.status, 0);
  EXPECT_EQ(output.out, all.substr(0, 500) + all.substr(4500));
  EXPECT_EQ(output.err, "[... 4000 bytes left out ...]\n");
}

// Megabytes of random bytes through a window of 150001 bytes: the client
// gets every byte, the history the first 150000 and the last 150001, with
// reads of every size crossing the window's edges on the way.
TEST_F(HistoryServer, FarOverTheCapTheClientGetsAllAndTheHistoryHeadAndTail) {
  std::string data(6 * 1024 * 1024 + 12345, '\0');
  std::mt19937_64 random(20261208);
  for (char& c : data) c = static_cast<char>(random());
  home_->WriteFile("random.bin", data);
  const ClientRun run = RunKesclient(*home_, server_->port(), "ann", {"run", "WIDECAT"},
                                     home_->path() + "/random.bin");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.out == data);
  const ClientRun output = Client("ann", {"output", std::to_string(NewestId("ann", "WIDECAT"))});
  EXPECT_EQ(output.status, 0);
  ASSERT_EQ(output.out.size(), 300001u);
  EXPECT_TRUE(output.out == data.substr(0, 150000) + data.substr(data.size() - 150001));
  EXPECT_EQ(output.err, "[... " + std::to_string(data.size() - 300001) + " bytes left out ...]\n");
}

TEST_F(HistoryServer, RecordsAreVisibleToWhoMayRunTheJob) {
  EXPECT_EQ(Client("ann", {"run", "SECRET"}).status, 255);  // denied, and recorded
  EXPECT_EQ(Client("bob", {"run", "SECRET"}).status, 0);
  EXPECT_EQ(Client("ann", {"history", "SECRET", "--json"}).out, "");
  const ClientRun bob = Client("bob", {"history", "SECRET", "--json"});
  EXPECT_EQ(CountOf(bob.out, "\n"), 2u) << bob.out;
  EXPECT_NE(bob.out.find("\"user\":\"ann\""), std::string::npos);
  EXPECT_NE(bob.out.find("\"outcome\":\"denied\""), std::string::npos);
  EXPECT_NE(bob.out.find("\"message\":\"Kestrun Job not found\""), std::string::npos);
  const std::string id = std::to_string(NewestId("bob", "SECRET"));
  const ClientRun ann = Client("ann", {"output", id});
  EXPECT_EQ(ann.status, 255);
  EXPECT_EQ(ann.err, "kesclient: Run " + id + " not found\n");
  EXPECT_EQ(Client("bob", {"output", id}).status, 0);
}

TEST_F(HistoryServer, BadQueriesGetAClearRefusal) {
  struct Case {
    std::variant<messages::HistoryQueryRequest, messages::RunOutputRequest,
                 messages::ServersQueryRequest, messages::ServerOutputRequest>
        request;
    std::string refusal;
  };
  const std::string limits = "The number of runs asked for must be between 1 and 1000";
  const std::vector<Case> cases = {
      {messages::HistoryQueryRequest{"ann", "pc", "", "", 0, 0}, limits},
      {messages::HistoryQueryRequest{"ann", "pc", "", "", 0, 1001}, limits},
      {messages::HistoryQueryRequest{"ann", "pc", std::string(256, 'J'), "", 0, 5},
       "The job name is longer than 255 bytes"},
      {messages::RunOutputRequest{"ann", "pc", 987654321}, "Run 987654321 not found"},
      {messages::RunOutputRequest{"ann", "pc", -1}, "Run -1 not found"},
      {messages::ServersQueryRequest{{"ann", "pc", "", "", 0, 5}, std::string(256, 'S')},
       "The server name is longer than 255 bytes"},
      {messages::ServerOutputRequest{{"ann", "pc", 1}, std::string(256, 'S')},
       "The server name is longer than 255 bytes"},
  };
  for (const Case& c : cases) {
    XDRWRAP request;
    std::visit([&](const auto& r) { messages::EncodeRequest(request, r); }, c.request);
    std::optional<XDRWRAP> reply = Exchange(server_->port(), request);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->GetEnum(), 0);
    EXPECT_EQ(reply->GetString(), c.refusal);
  }
}

// The newest record of `job` as the server reports it to bob.
messages::RunSummary Newest(int port, const std::string& job) {
  XDRWRAP request;
  messages::EncodeRequest(request, messages::HistoryQueryRequest{"bob", "pc", job, "", 0, 1});
  std::optional<XDRWRAP> reply = Exchange(port, request);
  if (!reply) return {};
  auto decoded = messages::DecodeHistoryQueryReply(*reply);
  auto* runs = std::get_if<messages::HistoryQueryReply>(&decoded);
  return runs && !runs->runs.empty() ? runs->runs[0] : messages::RunSummary{};
}

// The process id of the running `job`, once the server lists it; 0 if it
// never does.
int32_t ActivePid(int port, const std::string& job) {
  int32_t pid = 0;
  WaitUntil([&] {
    XDRWRAP active;
    active.BeginEncode();
    active.AddEnum(GET_ACTIVE_JOBS);
    std::optional<XDRWRAP> list = Exchange(port, active);
    for (std::string name; list && !(name = list->GetString()).empty();) {
      list->GetString();
      list->GetString();
      const int32_t id = list->GetLong();
      list->GetLong();
      if (name == job) pid = id;
    }
    return pid != 0;
  });
  return pid;
}

TEST_F(HistoryServer, WhoEndedARunIsRecorded) {
  // A stop request with the run's stop id.
  RunClient stopped(server_->port(), RunFields("CAT").User("carl").Node("pc2"));
  const uint32_t stopId = stopped.Header()[2];
  ASSERT_NE(stopId, 0u);
  ASSERT_NE(ActivePid(server_->port(), "CAT"), 0);
  XDRWRAP stop;
  stop.BeginEncode();
  stop.AddEnum(STOP_REQUEST);
  stop.AddLong(static_cast<int32_t>(stopId));
  ASSERT_TRUE(Exchange(server_->port(), stop));
  stopped.ReadOutput();
  EXPECT_EQ(stopped.Reply().exitCode, 1);
  const messages::RunSummary s = Newest(server_->port(), "CAT");
  EXPECT_EQ(s.outcome, "stopped");
  EXPECT_EQ(s.endedBy, "STOP_REQUEST of carl@pc2");
  EXPECT_EQ(Client("bob", {"history", "CAT", "-n", "1"}).out.find("stopped by carl@pc2\n") !=
                std::string::npos,
            true);

  // KILL_JOB by its process id.
  RunClient killed(server_->port(), RunFields("CAT"));
  killed.Header();
  const int32_t pid = ActivePid(server_->port(), "CAT");
  ASSERT_NE(pid, 0);
  XDRWRAP kill;
  kill.BeginEncode();
  kill.AddEnum(KILL_JOB);
  kill.AddLong(pid);
  ASSERT_TRUE(Exchange(server_->port(), kill));
  killed.ReadOutput();
  killed.Reply();
  const messages::RunSummary k = Newest(server_->port(), "CAT");
  EXPECT_EQ(k.outcome, "killed");
  EXPECT_EQ(k.endedBy, "KILL_JOB");
  EXPECT_EQ(k.pid, pid);
  EXPECT_NE(Client("bob", {"history", "CAT", "-n", "1"}).out.find("    killed by admin\n"),
            std::string::npos);
}

// Runs CODE with exit codes 0..199 from eight threads; the server is killed
// with SIGKILL once half the replies are in.
TEST(HistoryCrash, KillNineDuringABurstLosesNoRunWhoseReplyArrived) {
  TestHome home;
  auto server = std::make_unique<RunningServer>(home, std::vector<EnvChange>{}, Jobs());
  ASSERT_TRUE(server->ready());
  constexpr int kRuns = 200;
  std::atomic<int> next{0};
  std::mutex lock;
  std::map<int, int> replied;  // exit code asked -> exit code replied; guarded by lock
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i; (i = next++) < kRuns;) {
        RunClient client(server->port(), RunFields("CODE").Params({std::to_string(i)}));
        if (!client.connected()) continue;
        client.Header();
        client.ReadOutput();
        const RunReply reply = client.Reply();
        if (reply.status != 1) continue;
        std::lock_guard<std::mutex> guard(lock);
        replied[i] = reply.exitCode;
      }
    });
  }
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> guard(lock);
    return replied.size() >= kRuns / 2;
  }));
  server->process().Signal(SIGKILL);
  for (std::thread& t : threads) t.join();
  ASSERT_EQ(server->process().WaitExit(std::chrono::seconds(10)), 128 + SIGKILL);

  const std::string path = home.path() + "/history.db";
  {
    std::string error;
    std::optional<sql::Database> db =
        sql::Database::Open(path, sql::Database::Mode::ReadOnly, &error);
    ASSERT_TRUE(db) << error;
    EXPECT_EQ(db->QueryText("PRAGMA integrity_check"), "ok");
  }
  server = std::make_unique<RunningServer>(home, std::vector<EnvChange>{}, Jobs());
  ASSERT_TRUE(server->ready());
  XDRWRAP request;
  messages::EncodeRequest(request, messages::HistoryQueryRequest{"ann", "pc", "CODE", "", 0, 1000});
  std::optional<XDRWRAP> reply = Exchange(server->port(), request);
  ASSERT_TRUE(reply);
  auto decoded = messages::DecodeHistoryQueryReply(*reply);
  ASSERT_TRUE(std::holds_alternative<messages::HistoryQueryReply>(decoded));
  std::map<int, messages::RunSummary> recorded;
  for (const messages::RunSummary& run : std::get<messages::HistoryQueryReply>(decoded).runs) {
    EXPECT_TRUE(run.outcome == "exited" || run.outcome == "interrupted" ||
                run.outcome == "connection-lost")
        << run.outcome;
    ASSERT_EQ(run.arguments.size(), 2u);
    recorded[std::stoi(run.arguments[1])] = run;
  }
  for (const auto& [code, exitCode] : replied) {
    ASSERT_EQ(recorded.count(code), 1u) << "run " << code << " replied but not recorded";
    EXPECT_EQ(recorded[code].outcome, "exited");
    EXPECT_EQ(recorded[code].exitCode, exitCode);
    EXPECT_EQ(exitCode, code);
  }
  StopServerChecked(server.get());
}

}  // namespace
}  // namespace kestrun::test
