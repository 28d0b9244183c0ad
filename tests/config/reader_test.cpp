// The reader of kestrun.conf: line kinds, globals, stanzas and what a reload
// keeps.
#include <gtest/gtest.h>

#include "base/environment.h"
#include "config/server_config.h"
#include "tests/config/conf_fixture.h"

namespace kestrun {
namespace {

using testconf::LoadedHome;
using testconf::TempHome;

TEST(ConfigLines, KeyAndValueAreCutAtTheFirstEquals) {
  LoadedHome h("J:\nTitle = b = c\nProgram\t=\t run.bat # nightly\n");
  EXPECT_EQ(h.Job(0).title, "b = c");
  EXPECT_EQ(h.Job(0).program, "run.bat");
}

TEST(ConfigLines, HeaderKeepsBlanksBeforeTheColonAndIsUpperCased) {
  LoadedHome h("  Nightly Copy :\t \nProgram = x\n");
  ASSERT_EQ(h.JobCount(), 1u);
  EXPECT_EQ(h.Job(0).name, "  NIGHTLY COPY ");
}

TEST(ConfigLines, CommentLinesDoNotEndAStanzaButBlankLinesDo) {
  LoadedHome h("A:\nTitle = t\n   # note\nProgram = p\n\nHelpText = h\n");
  EXPECT_EQ(h.Job(0).program, "p");
  EXPECT_EQ(h.Job(0).helpText, "");
  EXPECT_EQ(h.printed.out, "Unknown directive \"HelpText\" at line 6 of kestrun.conf\n");
}

TEST(ConfigLines, DirectiveWhoseValueEndsInAColonIsNotAHeader) {
  LoadedHome h("Job=1:\n");
  EXPECT_EQ(h.JobCount(), 0u);
  EXPECT_EQ(h.printed.out, "Unknown directive \"Job\" at line 1 of kestrun.conf\n");
}

TEST(ConfigLines, CrLfLineEndsReadAsLf) {
  LoadedHome h("Port = 9000\r\n\r\nA:\r\nTitle = t\r\n");
  EXPECT_EQ(h.config.port(), 9000);
  EXPECT_EQ(h.Job(0).name, "A");
  EXPECT_EQ(h.Job(0).title, "t");
}

TEST(ConfigLines, LongLinesAreSplitEvery1023Bytes) {
  // 1023 bytes without a line end, then "\n": the rest is a blank line of its
  // own, which ends the stanza, and counts as line 3.
  const std::string title = "Title = " + std::string(1015, 't');
  LoadedHome h("A:\n" + title + "\nProgram = p\n");
  EXPECT_EQ(h.Job(0).title, std::string(1015, 't'));
  EXPECT_EQ(h.Job(0).program, "");
  EXPECT_EQ(h.printed.out, "Unknown directive \"Program\" at line 4 of kestrun.conf\n");
}

TEST(ConfigLines, SplitRemainderIsReadAsTheNextLine) {
  const std::string first = "HelpText = " + std::string(1023 - 11, 'h');
  LoadedHome h("A:\n" + first + "Title = rest\n");
  EXPECT_EQ(h.Job(0).helpText, std::string(1012, 'h'));
  EXPECT_EQ(h.Job(0).title, "rest");
}

TEST(ConfigLines, ALineEndsAtANulByte) {
  LoadedHome h(std::string("A:\nTitle = ab\0cd\nProgram = p\n", 29));
  EXPECT_EQ(h.Job(0).title, "ab");
  EXPECT_EQ(h.Job(0).program, "p");
}

TEST(Globals, AreTakenOutsideStanzas) {
  TempHome other;
  LoadedHome h(
      "Port = 8123\nServer = alpha\nRelayServer = relay\nRelayPort = 77\nLogFile = "
      "$NOT_EXPANDED/k.log\nEnvironment = /etc/env\nBannerGraphic = b.gif\nBanner = yes\n"
      "ClientPort = 5\n");
  EXPECT_EQ(h.config.port(), 8123);
  EXPECT_EQ(h.config.server(), "alpha");
  EXPECT_EQ(h.config.relayServer(), "relay");
  EXPECT_EQ(h.config.relayPort(), 77);
  EXPECT_EQ(h.config.logFile(), "$NOT_EXPANDED/k.log");
  EXPECT_EQ(h.config.environment(), "/etc/env");
  EXPECT_EQ(h.config.bannerGraphic(), "b.gif");
  EXPECT_TRUE(h.config.banner());
  EXPECT_EQ(h.printed.out, "");
  EXPECT_EQ(h.printed.err, "");
}

TEST(Globals, ValuesAreExpandedAtReadTime) {
  PutEnvLocked("KES_READER_TEST_HOST=relay.example");
  LoadedHome h("RelayServer = ${KES_READER_TEST_HOST}:x\nPort = 12abc\n");
  EXPECT_EQ(h.config.relayServer(), "relay.example:x");
  EXPECT_EQ(h.config.port(), 12);
}

TEST(Globals, ConsoleAddressIsWhatOtherMachinesReach) {
  const struct {
    const char* settings;
    const char* address;
  } cases[] = {
      {"", ""},
      {"webport = 7480\n", "http://127.0.0.1:7480"},
      {"webport = 7480\nwebaddress = 0.0.0.0\n", "http://build-07:7480"},
      {"webport = 7480\nwebaddress = ::\n", "http://build-07:7480"},
      {"webport = 7480\nwebaddress = fe80::1\n", "http://[fe80::1]:7480"},
      {"webport = 7480\nwebaddress = 10.1.2.3\nwebcert = c.pem\nwebkey = k.pem\n",
       "https://10.1.2.3:7480"},
      {"webport = 7480\nwebcert = c.pem\n", "http://127.0.0.1:7480"},
      {"webport = 7480\nweburl = https://kestrun.example.org/b7/\n",
       "https://kestrun.example.org/b7"},
      {"weburl = https://kestrun.example.org\n", ""},
  };
  for (const auto& c : cases) {
    LoadedHome h(c.settings);
    EXPECT_EQ(ConsoleAddress(h.config.web(), "build-07"), c.address) << c.settings;
    EXPECT_EQ(h.printed.err, "") << c.settings;
  }
}

TEST(Globals, PortDefaultsToMinusOne) {
  LoadedHome h("RelayPort = x\n");
  EXPECT_EQ(h.config.port(), -1);
  EXPECT_EQ(h.config.relayPort(), 0);
}

TEST(Globals, JobDirectivesOutsideAStanzaAreUnknown) {
  LoadedHome h("Program = x\nA:\nTitle = t\n");
  EXPECT_EQ(h.printed.out, "Unknown directive \"Program\" at line 1 of kestrun.conf\n");
}

TEST(Globals, BannerAppliesToStanzasWhoseHeaderComesAfterIt) {
  LoadedHome h("A:\nTitle = a\n\nBanner = on\nB:\nTitle = b\n");
  EXPECT_FALSE(h.Job(0).banner);
  EXPECT_TRUE(h.Job(1).banner);
}

TEST(Stanzas, StayInFileOrderAndDuplicatesBothBecomeJobs) {
  LoadedHome h("A:\nTitle = first\n\nB:\nTitle = b\n\nA:\nTitle = second\n");
  ASSERT_EQ(h.JobCount(), 3u);
  EXPECT_EQ(h.Job(0).name, "A");
  EXPECT_EQ(h.Job(1).name, "B");
  EXPECT_EQ(h.Job(2).title, "second");
  for (int k = 0; k < 3; ++k) {
    std::optional<JobDefinition> job = FindJobForUser(h.config, "a", std::nullopt);
    ASSERT_TRUE(job);
    EXPECT_EQ(job->title, "first");
  }
}

// A job name becomes part of its log files' names: one that could climb out
// of log/ or that carries control characters is refused with its stanza, and
// the stanza's directives reach no other job.
TEST(Stanzas, NamesThatLeaveTheFolderOrHoldControlCharactersAreLeftOut) {
  TempHome logs;
  LoadedHome h("LogFile = " + logs.File("k.log") +
               "\nGOOD:\nTitle = good\n../../x:\nTitle = evil\nautorun = on\nautoruntimes = 00:00\n"
               "\nA/B:\n\nA..B:\n\nTAB\tX:\n\nDEL\x7f:\n\nDOTS.OK:\nTitle = dots\n");
  ASSERT_EQ(h.JobCount(), 2u);
  EXPECT_EQ(h.Job(0).name, "GOOD");
  EXPECT_EQ(h.Job(0).title, "good");
  EXPECT_EQ(h.Job(1).name, "DOTS.OK");
  EXPECT_TRUE(h.config.Snapshot()->schedule.empty());
  EXPECT_FALSE(FindJobForUser(h.config, "../../x", std::nullopt));
  const std::string refused[][2] = {
      {"../../x", "4"}, {"A/B", "9"}, {"A..B", "11"}, {"TAB\\tX", "13"}, {"DEL\\x7F", "15"}};
  std::string warnings;
  const std::string log = logs.Read("k.log");
  for (const auto& [name, line] : refused) {
    warnings += "WARNING: invalid job name \"" + name + "\" at line " + line +
                " of kestrun.conf - job left out\n";
    const std::string logged =
        " Invalid job name \"" + name + "\" at line " + line + " of kestrun.conf - job left out\n";
    EXPECT_NE(log.find(logged), std::string::npos) << logged << log;
  }
  EXPECT_EQ(h.printed.err, warnings);
  EXPECT_EQ(h.printed.out, "");
}

TEST(Stanzas, NewJobHasTheDefaults) {
  LoadedHome h("J:\n");
  const JobDefinition& j = h.Job(0);
  EXPECT_EQ(j.stdinMode, StreamMode::Display);
  EXPECT_EQ(j.stdoutMode, StreamMode::Display);
  EXPECT_EQ(j.stderrMode, StreamMode::Popup);
  EXPECT_TRUE(j.allowStop);
  EXPECT_TRUE(j.useTty);
  EXPECT_TRUE(j.autoStretch);
  EXPECT_FALSE(j.banner);
  EXPECT_FALSE(j.applyButton);
  EXPECT_EQ(j.listBox, ListBoxMode::Off);
  EXPECT_EQ(j.selection, SelectionMode::Multiple);
  EXPECT_EQ(j.paramCount(), 0);
  EXPECT_FALSE(j.group.has_value());
  EXPECT_TRUE(j.fields.empty());
}

TEST(Lookup, FindsJobsWithoutRegardToCase) {
  LoadedHome h("Nightly:\nProgram = n.sh\n");
  EXPECT_EQ(h.Job(0).name, "NIGHTLY");
  bool denied = true;
  std::optional<JobDefinition> job = FindJobForUser(h.config, "nightly", "alice", &denied);
  ASSERT_TRUE(job);
  EXPECT_EQ(job->program, "n.sh");
  EXPECT_FALSE(denied);
  EXPECT_FALSE(FindJobForUser(h.config, "nightly2", "alice", &denied));
  EXPECT_FALSE(denied);
}

TEST(Lookup, GroupRestrictedJobs) {
  LoadedHome h("Admin:\nGroup = Admins\n");
  bool denied = false;
  EXPECT_TRUE(FindJobForUser(h.config, "ADMIN", std::nullopt, &denied));
  EXPECT_FALSE(denied);
  // No group processor is bound, so nobody is in any group.
  EXPECT_FALSE(FindJobForUser(h.config, "ADMIN", "alice", &denied));
  EXPECT_TRUE(denied);
  EXPECT_FALSE(FindJobForUser(h.config, "missing", "alice", &denied));
  EXPECT_FALSE(denied);
}

TEST(Lookup, CopyKeepsParametersInOrderAndSharesNothing) {
  LoadedHome h("J:\nParam1 = a\nParams = {b, c,}\nParam = $X\n");
  std::optional<JobDefinition> copy = FindJobForUser(h.config, "j", std::nullopt);
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->paramCount(), 4);
  EXPECT_EQ(copy->params, (std::vector<std::string>{"a", "b", " c", "$X"}));
  copy->params[0] = "changed";
  EXPECT_EQ(h.Job(0).params[0], "a");
}

TEST(Reload, KeepsFirstReadSettingsAndRereadsTheRest) {
  TempHome home;
  home.WriteConf("Port = 1000\nServer = s1\nLogFile = " + home.File("a.log") +
                 "\nRelayServer = r1\nRelayPort = 11\nBannerGraphic = g.gif\nEnvironment = e\n"
                 "Banner = on\n\nA:\nTitle = one\n");
  ServerConfig config(home.ConfPath());
  testconf::LoadCapturing(config);
  home.WriteConf("Port = 2000\nServer = s2\nLogFile = " + home.File("b.log") +
                 "\n\nB:\nTitle = two\n");
  testconf::ReloadCapturing(config);
  EXPECT_EQ(config.port(), 1000);
  EXPECT_EQ(config.server(), "s1");
  EXPECT_EQ(config.logFile(), home.File("a.log"));
  EXPECT_EQ(config.relayServer(), "");
  EXPECT_EQ(config.relayPort(), 11);
  EXPECT_EQ(config.bannerGraphic(), "");
  EXPECT_EQ(config.environment(), "");
  EXPECT_TRUE(config.banner());
  EXPECT_TRUE(config.Snapshot()->jobs.at(0).banner);
  ASSERT_EQ(config.Jobs().size(), 1u);
  EXPECT_EQ(config.Jobs()[0].name, "B");
  EXPECT_FALSE(FindJobForUser(config, "A", std::nullopt));
}

TEST(Reload, GroupProcessorPathIsKeptUnlessSetAgain) {
  // A real plug-in: the first read binds it (and would end the process if it
  // could not). A reload naming a missing library keeps the path it had.
  TempHome home;
  const std::string plugin = KES_GP_FILE;
  home.WriteConf("LogFile = " + home.File("k.log") + "\nGroupProcessor = " + plugin + "\n");
  ServerConfig config(home.ConfPath());
  testconf::LoadCapturing(config);
  EXPECT_EQ(config.groupProcessorPath(), plugin);
  home.WriteConf("Port = 1\n");
  testconf::ReloadCapturing(config);
  EXPECT_EQ(config.groupProcessorPath(), plugin);
  home.WriteConf("GroupProcessor = /nonexistent/other.so\n");
  testconf::ReloadCapturing(config);
  EXPECT_EQ(config.groupProcessorPath(), "/nonexistent/other.so");
}

TEST(Reload, ConfigFileChangedFollowsTheModificationTime) {
  TempHome home;
  home.WriteConf("Port = 1\n");
  ServerConfig config(home.ConfPath());
  EXPECT_TRUE(ConfigFileChanged(config));  // never read
  testconf::LoadCapturing(config);
  EXPECT_FALSE(ConfigFileChanged(config));
  const auto later = std::filesystem::last_write_time(home.ConfPath()) + std::chrono::seconds(2);
  std::filesystem::last_write_time(home.ConfPath(), later);
  EXPECT_TRUE(ConfigFileChanged(config));
  testconf::ReloadCapturing(config);
  EXPECT_FALSE(ConfigFileChanged(config));
  std::filesystem::remove(home.ConfPath());
  EXPECT_FALSE(ConfigFileChanged(config));
}

TEST(Reload, UnreadableFileKeepsTheCurrentJobs) {
  TempHome home;
  home.WriteConf("LogFile = " + home.File("k.log") + "\nA:\nTitle = t\n");
  ServerConfig config(home.ConfPath());
  testconf::LoadCapturing(config);
  std::filesystem::remove(home.ConfPath());
  const testconf::Printed p = testconf::ReloadCapturing(config);
  EXPECT_EQ(p.err, "Could not find or open config file \"" + home.ConfPath() + "\"\n");
  ASSERT_EQ(config.Jobs().size(), 1u);
  EXPECT_NE(home.Read("k.log").find("Could not find or open config file"), std::string::npos);
}

using ReaderDeathTest = testing::Test;

TEST_F(ReaderDeathTest, MissingFileEndsTheFirstReadWithStatus1) {
  TempHome home;
  ServerConfig config(home.ConfPath());
  EXPECT_EXIT(LoadServerConfig(config), testing::ExitedWithCode(1),
              "Could not find or open config file \"" + home.ConfPath() + "\"\n");
}

TEST_F(ReaderDeathTest, SyntaxErrorEndsTheFirstReadWithStatus1) {
  TempHome home;
  home.WriteConf("A:\nName: x\n");
  ServerConfig config(home.ConfPath());
  EXPECT_EXIT(LoadServerConfig(config), testing::ExitedWithCode(1),
              "Syntax error at line 2 in " + home.ConfPath() + "\n");
}

TEST(Reload, SyntaxErrorLineIsSkippedAndLogged) {
  TempHome home;
  home.WriteConf("LogFile = " + home.File("k.log") + "\nA:\nTitle = t\n");
  ServerConfig config(home.ConfPath());
  testconf::LoadCapturing(config);
  home.WriteConf("A:\nName: x\nTitle = u\n");
  const testconf::Printed p = testconf::ReloadCapturing(config);
  EXPECT_EQ(p.err, "");
  EXPECT_EQ(config.Jobs()[0].title, "u");
  const std::string log = home.Read("k.log");
  EXPECT_NE(log.find(" Syntax error at line 2 in " + home.ConfPath() + "\n"), std::string::npos);
}

}  // namespace
}  // namespace kestrun
