// The preload seams of GET_DIALOG_DATA and CANCEL_DIALOG, through the
// dispatcher of this process: what is started, released and ended, and when.
#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "base/environment.h"
#include "config/server_config.h"
#include "jobs/preload.h"
#include "launch/running_jobs.h"
#include "protocol/messages/dialog.h"
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
      startReason = EnvironmentBlock(s.environment).Get("KESREASON").value_or("-");
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
  // True when the dialog's script came back.
  bool AskDialog(const std::string& job, bool noDialog) {
    XDRWRAP m;
    messages::EncodeRequest(
        m, messages::GetDialogDataRequest{job, "ann", "pc1", 77, noDialog, {"c1"}, std::nullopt});
    std::optional<XDRWRAP> reply = test::ExchangeWithDispatcher(server, m);
    EXPECT_TRUE(reply.has_value());
    return reply && std::holds_alternative<messages::DialogScriptReply>(
                        messages::DecodeGetDialogDataReply(*reply));
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
  EXPECT_TRUE(AskDialog("pre", false));
  EXPECT_EQ(started, (std::vector<Lines>{{"/bin/true", "p0", "c1"}}));
  EXPECT_EQ(startReason, "PRELOAD");
  EXPECT_TRUE(released.empty());

  for (auto [job, noDialog] : {std::pair{"REFUSED", false}, {"PREVAL", false}, {"ND", true}})
    EXPECT_FALSE(AskDialog(job, noDialog)) << job;
  EXPECT_EQ(started.size(), 1u);
  EXPECT_EQ(released, (Lines{"pc1/77//x/refused", "pc1/77//x/preval", "pc1/77//x/nd"}));
}

TEST_F(PreloadSeams, CancelEndsThePreloadsOfThatClient) {
  XDRWRAP m;
  messages::EncodeRequest(m, messages::CancelDialogRequest{"PRE", "ann", "pc9", 12});
  ASSERT_TRUE(test::ExchangeWithDispatcher(server, m).has_value());
  EXPECT_EQ(killed, Lines{"pc9/12"});
}

}  // namespace
}  // namespace kestrun
