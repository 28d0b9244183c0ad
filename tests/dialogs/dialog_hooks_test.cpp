// The preload seams of GET_DIALOG_DATA and CANCEL_DIALOG, through the
// dispatcher of this process: what is started, released and ended, and when.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/environment.h"
#include "config/server_config.h"
#include "jobs/preload.h"
#include "launch/running_jobs.h"
#include "protocol/request_types.h"
#include "tests/config/conf_fixture.h"
#include "tests/support/dispatcher_exchange.h"

namespace kestrun {
namespace {

using Lines = std::vector<std::string>;

struct PreloadSeams : testing::Test {
  void SetUp() override {
    home.Write("d.dlg", "Name: [____]\n");
    const std::string d = "  dialog = " + home.File("d.dlg") + "\n";
    home.WriteConf("PRE:\n" + d + "  preload = /bin/true\n  param = p0\n\n" + "REFUSED:\n" + d +
                   "  preload = /x/refused\n  allowifjobrunning = {OTHER}\n\n" + "PREVAL:\n" + d +
                   "  preload = /x/preval\n  prevalidatewith = /bin/false\n\n" + "ND:\n" + d +
                   "  preload = /x/nd\n");
    testconf::LoadCapturing(config);
    server.config = &config;
    server.runningJobs = &table;
    server.preloadHooks = std::make_shared<PreloadHooks>();
    server.preloadHooks->start = [this](const PreloadStart& s) {
      started.push_back(s.arguments);
      startReason = GetEnvLocked("KESREASON", s.environment).value_or("-");
      EXPECT_EQ(s.clientNode, "pc1");
      EXPECT_EQ(s.clientProcessId, 77u);
    };
    server.preloadHooks->release = [this](std::string_view node, uint32_t pid,
                                          std::string_view program) {
      released.push_back(std::string(node) + "/" + std::to_string(pid) + "/" +
                         std::string(program));
    };
    server.preloadHooks->killAll = [this](std::string_view node, uint32_t pid) {
      killed.push_back(std::string(node) + "/" + std::to_string(pid));
    };
  }
  int32_t AskDialog(const std::string& job, bool noDialog) {
    XDRWRAP m;
    m.BeginEncode();
    m.AddEnum(GET_DIALOG_DATA);
    for (const std::string& s : {job, std::string("ann"), std::string("pc1")}) m.AddString(s);
    for (int32_t n : {77, noDialog ? 1 : 0, 1}) m.AddLong(n);
    m.AddString("c1");
    m.AddLong(0);
    std::optional<XDRWRAP> reply = test::ExchangeWithDispatcher(server, m);
    EXPECT_TRUE(reply.has_value());
    return reply ? reply->GetEnum() : -1;
  }

  testconf::TempHome home;
  ServerConfig config{home.ConfPath()};
  RunningJobTable table;
  ServerContext server;
  std::vector<Lines> started;
  std::string startReason;
  Lines released, killed;
};

TEST_F(PreloadSeams, StartedForADialogAndReleasedOnEveryRefusal) {
  EXPECT_EQ(AskDialog("pre", false), 1);
  EXPECT_EQ(started, (std::vector<Lines>{{"/bin/true", "p0", "c1"}}));
  EXPECT_EQ(startReason, "PRELOAD");
  EXPECT_TRUE(released.empty());

  for (auto [job, noDialog] : {std::pair{"REFUSED", false}, {"PREVAL", false}, {"ND", true}})
    EXPECT_EQ(AskDialog(job, noDialog), 0) << job;
  EXPECT_EQ(started.size(), 1u);
  EXPECT_EQ(released, (Lines{"pc1/77//x/refused", "pc1/77//x/preval", "pc1/77//x/nd"}));
}

TEST_F(PreloadSeams, CancelEndsThePreloadsOfThatClient) {
  XDRWRAP m;
  m.BeginEncode();
  m.AddEnum(CANCEL_DIALOG);
  for (const char* s : {"PRE", "ann", "pc9"}) m.AddString(s);
  m.AddLong(12);
  ASSERT_TRUE(test::ExchangeWithDispatcher(server, m).has_value());
  EXPECT_EQ(killed, Lines{"pc9/12"});
}

}  // namespace
}  // namespace kestrun
