// The built KestrunServer with kesgp_file as its group processor, driven over
// loopback: job visibility by group, the group requests, a group file changed
// while the server runs, start-up failures of the binding and a reload with a
// broken path.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>

#include "protocol/messages/groups.h"
#include "protocol/messages/jobs_admin.h"
#include "server/dispatcher.h"
#include "tests/plugins/group_home.h"
#include "tests/support/ask.h"
#include "tests/support/server_home.h"

namespace kestrun::testplugins {
namespace {

using test::EnvChange;
using test::RunningServer;
using test::TestHome;

const char* const kGroupFile =
    "Admins:alice\n"
    "Operators:carol\n"
    "admins:erin\n";

// The global lines and jobs after port and logfile.
std::string Extra(const std::string& pluginPath) {
  return "groupprocessor=" + pluginPath + "\n\n" + kGroupJobs;
}

// Sets the modification time of a file of the home `seconds` from now.
void Touch(const TestHome& home, const std::string& name, int seconds) {
  const timespec when{std::time(nullptr) + seconds, 0};
  const timespec times[2] = {when, when};
  ASSERT_EQ(utimensat(AT_FDCWD, (home.path() + "/" + name).c_str(), times, 0), 0);
}

// The names of the jobs SHOW_HELP_TEXT lists for `user`.
Names VisibleJobs(int port, const std::string& user) {
  const auto reply =
      test::Ask<messages::ShowHelpTextReply>(port, messages::ShowHelpTextRequest{user, {}});
  EXPECT_TRUE(reply);
  Names jobs;
  if (!reply) return jobs;
  for (const messages::JobHelpEntry& job : reply->jobs) {
    jobs.push_back(job.name);
    EXPECT_TRUE(job.attributeValues.empty());
  }
  return jobs;
}

Names Ask(int port, RequestType type, const std::string& name) {
  using messages::GroupNamesReply;
  const std::optional<GroupNamesReply> reply =
      type == GET_GROUPS_FOR_USER
          ? test::Ask<GroupNamesReply>(port, messages::GetGroupsForUserRequest{name})
          : test::Ask<GroupNamesReply>(port, messages::GetUsersInGroupRequest{name});
  EXPECT_TRUE(reply);
  return reply ? reply->names : Names{};
}

class GroupServer : public testing::Test {
 protected:
  void Start() {
    home.WriteFile("groups.txt", kGroupFile);
    server = std::make_unique<RunningServer>(
        home, std::vector<EnvChange>{{"KESGP_FILE", home.path() + "/groups.txt"}},
        Extra(KESGP_FILE_PATH));
    ASSERT_TRUE(server->ready()) << server->process().Stderr();
  }
  TestHome home;
  std::unique_ptr<RunningServer> server;
};

TEST_F(GroupServer, GroupRestrictedJobsAreListedOnlyForMembers) {
  Start();
  const int port = server->port();
  // "Admins,Operators" admits a member of Operators, on every request.
  for (int k = 0; k < 3; ++k) EXPECT_EQ(VisibleJobs(port, "carol"), (Names{"BACKUP", "OPEN"}));
  // "admins" is not "Admins"; "Admins, Operators" holds " Operators".
  EXPECT_EQ(VisibleJobs(port, "erin"), (Names{"OPEN"}));
  EXPECT_EQ(VisibleJobs(port, "alice"), (Names{"BACKUP", "RESTORE", "SPACED", "OPEN"}));
  EXPECT_EQ(VisibleJobs(port, "zed"), (Names{"OPEN"}));
  const std::string log = home.Log();
  EXPECT_NE(log.find("kesgp_initialise in Group Processor \"" + std::string(KESGP_FILE_PATH) +
                     "\" returns 0"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Group Processor initialised successfully"), std::string::npos);
}

TEST_F(GroupServer, GroupRequestsAnswerFromTheGroupFile) {
  Start();
  const int port = server->port();
  EXPECT_EQ(Ask(port, GET_GROUPS_FOR_USER, "carol"), (Names{"Operators"}));
  EXPECT_EQ(Ask(port, GET_GROUPS_FOR_USER, "nobody"), Names{});
  EXPECT_EQ(Ask(port, GET_USERS_IN_GROUP, "Admins"), (Names{"alice"}));
  EXPECT_EQ(Ask(port, GET_USERS_IN_GROUP, "Missing"), Names{});
}

TEST_F(GroupServer, AChangedGroupFileTakesEffectAtTheUsersNextRequest) {
  Start();
  const int port = server->port();
  EXPECT_EQ(VisibleJobs(port, "carol"), (Names{"BACKUP", "OPEN"}));
  home.WriteFile("groups.txt", "Admins:alice,carol\n");
  Touch(home, "groups.txt", 5);
  EXPECT_EQ(VisibleJobs(port, "carol"), (Names{"BACKUP", "RESTORE", "SPACED", "OPEN"}));
  EXPECT_EQ(VisibleJobs(port, "erin"), (Names{"OPEN"}));
}

TEST_F(GroupServer, AReloadWithABrokenPathKeepsTheEarlierBinding) {
  Start();
  const int port = server->port();
  const std::string broken = home.path() + "/gone/kesgp_file.so";
  home.WriteStandardConfig(port, Extra(broken));
  Touch(home, "kestrun.conf", 5);
  // The reload happens before this request is served.
  EXPECT_EQ(Ask(port, GET_USERS_IN_GROUP, "Admins"), (Names{"alice"}));
  EXPECT_EQ(VisibleJobs(port, "carol"), (Names{"BACKUP", "OPEN"}));
  const std::string log = home.Log();
  EXPECT_EQ(test::CountOf(log, "Could not find or open Group Processor \"" + broken + "\"\n"), 1u)
      << log;
  EXPECT_EQ(server->process().Stderr().find("Group Processor"), std::string::npos);
  EXPECT_EQ(server->Stop(), 0);
}

TEST_F(GroupServer, AFailedInitialisationIsLoggedAndRefusesGroupJobs) {
  server = std::make_unique<RunningServer>(
      home, std::vector<EnvChange>{{"KESGP_FILE", home.path() + "/no-such-groups.txt"}},
      Extra(KESGP_FILE_PATH));
  ASSERT_TRUE(server->ready()) << server->process().Stderr();
  EXPECT_EQ(VisibleJobs(server->port(), "alice"), (Names{"OPEN"}));
  EXPECT_EQ(Ask(server->port(), GET_USERS_IN_GROUP, "Admins"), Names{});
  const std::string log = home.Log();
  EXPECT_NE(log.find("kesgp_initialise in Group Processor \"" + std::string(KESGP_FILE_PATH) +
                     "\" returns 2\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Group Processor failed to initialise\n"), std::string::npos);
}

// --- start-up failures ---

struct StartupFailure {
  const char* library;  // empty: a path that does not exist
  const char* missing;  // the export reported missing
};

class GroupServerStartup : public testing::TestWithParam<StartupFailure> {};

TEST_P(GroupServerStartup, EndsWithStatusOneAndTheMessage) {
  TestHome home;
  const StartupFailure failure = GetParam();
  const std::string path =
      *failure.library != '\0' ? failure.library : home.path() + "/missing/kesgp.so";
  home.WriteStandardConfig(test::FreePort(), Extra(path));
  const test::ProgramResult result = test::RunProgram({home.Program()});
  EXPECT_EQ(result.status, 1);
  std::string message;
  if (*failure.library == '\0') {
    message = "Could not find or open Group Processor \"" + path + "\"";
    // The loader's own description comes first.
    EXPECT_EQ(result.err, path + ": cannot open shared object file: No such file or directory\n" +
                              message + "\n");
  } else {
    message = std::string("Could not locate function \"") + failure.missing +
              "\" in Group Processor \"" + path + "\"";
    EXPECT_EQ(result.err, message + "\n");
  }
  EXPECT_EQ(LogLines(home.Log()), Names{message});
  EXPECT_EQ(result.out.find("Listening"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    EachBrokenLibrary, GroupServerStartup,
    testing::Values(StartupFailure{"", ""},
                    StartupFailure{TINY_NO_INITIALISE_PATH, "kesgp_initialise"},
                    StartupFailure{TINY_NO_TIMESTAMP_PATH, "kesgp_get_last_update_timestamp"},
                    StartupFailure{TINY_NO_GROUPS_PATH, "kesgp_get_groups_for_user"},
                    StartupFailure{TINY_NO_USERS_PATH, "kesgp_get_users_in_group"},
                    StartupFailure{TINY_NO_DELETE_PATH, "kesgp_delete_group_list"}),
    [](const testing::TestParamInfo<StartupFailure>& info) {
      return *info.param.missing != '\0' ? std::string("Without_") + info.param.missing
                                         : std::string("MissingLibrary");
    });

}  // namespace
}  // namespace kestrun::testplugins
