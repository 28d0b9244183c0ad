// The environment of a run: environment files, the dialog-data blocks and the
// list-box variable set.
#include "jobs/script_environment.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "config/server_config.h"

namespace kestrun {
namespace {

namespace fs = std::filesystem;

// A scratch directory removed with its contents at the end of the test.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "kes-env-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~ScratchDir() { fs::remove_all(path_); }
  std::string File(const std::string& name, const std::string& text) const {
    const std::string p = path_ + "/" + name;
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(path_ + "/" + name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string Value(const EnvironmentBlock& block, const std::string& name) {
  return LookupVariable(block, name).value_or("<unset>");
}

TEST(EnvironmentFileLines, CommentCutAfterLineEndsAndTheBlankBeforeItKept) {
  EXPECT_EQ(EnvironmentFileSetting("A=1 #comment\r\n"), "A=1 ");
  EXPECT_EQ(EnvironmentFileSetting("A=1\r\r\n\n"), "A=1");
  EXPECT_EQ(EnvironmentFileSetting(" B = 2 \n"), " B = 2 ");
  EXPECT_EQ(EnvironmentFileSetting("URL=http://x/#frag=1\n"), "URL=http://x/");
  EXPECT_EQ(EnvironmentFileSetting("C=\n"), "C=");
}

TEST(EnvironmentFileLines, LinesWithoutEqualsAndCommentsAreIgnored) {
  EXPECT_EQ(EnvironmentFileSetting("just words\n"), std::nullopt);
  EXPECT_EQ(EnvironmentFileSetting("# X=1 in a comment\n"), std::nullopt);
  EXPECT_EQ(EnvironmentFileSetting("NAME # =later\n"), std::nullopt);
  EXPECT_EQ(EnvironmentFileSetting("\r\n"), std::nullopt);
}

class EnvironmentFiles : public ::testing::Test {
 protected:
  EnvironmentFiles() : config_(dir_.path() + "/kestrun.conf") {
    config_.SetLogFile(dir_.path() + "/server.log");
  }
  ScratchDir dir_;
  ServerConfig config_;
};

TEST_F(EnvironmentFiles, EachSettingIsAppliedInFileOrderAndReplacesByExactName) {
  const std::string path =
      dir_.File("job.env", "PATH=/opt/tools\nA=1 # one\nnot a setting\nA=2\npath=lower\n");
  EnvironmentBlock block{"HOME=/root", "PATH=/usr/bin", "Z=26"};
  ApplyEnvironmentFile(config_, path, block);
  EXPECT_EQ(block,
            (EnvironmentBlock{"HOME=/root", "PATH=/opt/tools", "Z=26", "A=2", "path=lower"}));
  EXPECT_EQ(dir_.Read("server.log"), "");
}

TEST_F(EnvironmentFiles, ALineLongerThan4095CharactersIsReadAsSeveralLines) {
  const std::string first = "LONG=" + std::string(4090, 'x');  // exactly 4095 characters
  const std::string path = dir_.File("long.env", first + "TAIL=2\nNEXT=3\n");
  EnvironmentBlock block;
  ApplyEnvironmentFile(config_, path, block);
  EXPECT_EQ(block, (EnvironmentBlock{first, "TAIL=2", "NEXT=3"}));
}

TEST_F(EnvironmentFiles, AFileThatCannotBeOpenedIsLoggedAndChangesNothing) {
  const std::string missing = dir_.path() + "/missing.env";
  EnvironmentBlock block{"A=1"};
  ApplyEnvironmentFile(config_, missing, block);
  EXPECT_EQ(block, EnvironmentBlock{"A=1"});
  const std::string log = dir_.Read("server.log");
  // "YYYY-MM-DD hh:mm:ss " and then the message.
  ASSERT_EQ(log.size(),
            20 + std::string("Could not open environment file \"\"\n").size() + missing.size());
  EXPECT_EQ(log.substr(20), "Could not open environment file \"" + missing + "\"\n");
}

TEST_F(EnvironmentFiles, TheJobFileIsAppliedAfterTheGlobalOneOverTheServerEnvironment) {
  const std::string global = dir_.File("global.env", "SHARED=global\nONLYGLOBAL=g\n");
  const std::string jobFile = dir_.File("job.env", "SHARED=job\nKESENVTEST_PATH=C:\\tools\n");
  dir_.File("kestrun.conf", "port = 7411\nenvironment = " + global +
                                "\n\nWithFile:\n  program = /bin/true\n  environment = " + jobFile +
                                "\n\nWithout:\n  program = /bin/true\n");
  ::setenv("KESENVTEST_PATH", "/server/path", 1);
  ::setenv("SHARED", "server", 1);
  LoadServerConfig(config_);

  std::optional<JobDefinition> withFile = FindJobForUser(config_, "withfile", std::nullopt);
  ASSERT_TRUE(withFile);
  const EnvironmentBlock run = BuildScriptEnvironment(config_, &*withFile);
  EXPECT_EQ(Value(run, "SHARED"), "job");
  EXPECT_EQ(Value(run, "ONLYGLOBAL"), "g");
  EXPECT_EQ(Value(run, "KESENVTEST_PATH"), "C:\\tools");
  EXPECT_EQ(std::ranges::count_if(run.entries(),
                                  [](const std::string& e) { return e.starts_with("SHARED="); }),
            1);

  std::optional<JobDefinition> without = FindJobForUser(config_, "WITHOUT", std::nullopt);
  ASSERT_TRUE(without);
  const EnvironmentBlock other = BuildScriptEnvironment(config_, &*without);
  EXPECT_EQ(Value(other, "SHARED"), "global");
  EXPECT_EQ(Value(other, "KESENVTEST_PATH"), "/server/path");
  // The server's own environment is untouched by either run.
  EXPECT_STREQ(std::getenv("KESENVTEST_PATH"), "/server/path");
  EXPECT_STREQ(std::getenv("SHARED"), "server");
  ::unsetenv("KESENVTEST_PATH");
  ::unsetenv("SHARED");
}

TEST(ListBoxVariableSet, BaseNamesLoseTrailingDigitsAndUnderscoresAndAppearOnce) {
  ListBoxVariableSet set;
  for (const char* name : {"CUSTOMER1", "CUSTOMER2", "ORDER_1", "ROW_12", "ROW3", "ORDERS_2"})
    set.Add(name);
  EXPECT_EQ(set.text(), "CUSTOMER ORDER ROW ORDERS");
  // ORDER is a whole word of the set even though ORDERS begins with it.
  set.Add("ORDER9");
  EXPECT_EQ(set.text(), "CUSTOMER ORDER ROW ORDERS");
}

TEST(DialogBlocks, ListBoxBlockSetsCountsHeadingsVariablesAndTheirSet) {
  const messages::ListBoxBlock listBox{
      2,
      {"Customer", "Order"},
      {{"CUSTOMER1", "Smith"}, {"CUSTOMER2", "Jones"}, {"", "ignored"}, {"ORDER_1", "77"}}};
  EnvironmentBlock block;
  ClientVariableFilter filter(block);
  SetListBoxBlock(listBox, block, filter);
  EXPECT_EQ(block, (EnvironmentBlock{"KESLISTBOXSELECTIONS=2", "KESLISTBOXCOLUMNS=2",
                                     "KESHEADING_1=Customer", "KESHEADING_2=Order",
                                     "CUSTOMER1=Smith", "CUSTOMER2=Jones", "ORDER_1=77",
                                     "KESLISTBOXVARIABLES=CUSTOMER ORDER"}));
}

TEST(DialogBlocks, ListBoxBlockWithoutVariablesSetsNoVariableSet) {
  EnvironmentBlock block;
  ClientVariableFilter filter(block);
  SetListBoxBlock({}, block, filter);
  EXPECT_EQ(block, (EnvironmentBlock{"KESLISTBOXSELECTIONS=0", "KESLISTBOXCOLUMNS=0"}));
  EXPECT_EQ(LookupVariable(block, "KESLISTBOXVARIABLES"), std::nullopt);
}

TEST(DialogBlocks, FieldAndPassedBlocksNumberTheirValuesFromOne) {
  EnvironmentBlock block{"KESFIELD2=old"};
  SetFieldBlock({{"alpha", "", "two words"}}, block);
  ClientVariableFilter filter(EnvironmentBlock{});
  SetPassedBlocks({{{"passed"}}, {5, {{"ROW_1", "r1"}}}}, block, filter);
  EXPECT_EQ(block, (EnvironmentBlock{"KESFIELD2=", "KESFIELD1=alpha", "KESFIELD3=two words",
                                     "KESPASSEDFIELD1=passed", "KESPASSEDLISTBOXSELECTIONS=5",
                                     "ROW_1=r1", "KESPASSEDLISTBOXVARIABLES=ROW"}));
}

TEST(DialogBlocks, ClientVariablesAreSetOnlyUnderRowNamesTheRunDoesNotHold) {
  struct Case {
    const char* name;
    bool set;
  };
  const Case cases[] = {
      {"ORDER_1", true},
      {"HOST_1", true},
      {"CUSTOMER2", true},
      {"x9", true},
      {"Row_10_2", true},
      // Not a row name: no digit at the end, or not an identifier.
      {"Customer", false},
      {"_x9", false},
      {"9LIVES1", false},
      {"1", false},
      {"A B1", false},
      {"A=B1", false},
      {"A\nB1", false},
      // What interpreters, loaders and shells read.
      {"PYTHONWARNINGS", false},
      {"BROWSER", false},
      {"NODE_OPTIONS", false},
      {"GIT_CONFIG_COUNT", false},
      {"GIT_CONFIG_KEY_0", false},
      {"GIT_CONFIG_VALUE_0", false},
      {"GIT_TRACE2", false},
      {"PERL5LIB", false},
      {"PYTHONPATH", false},
      {"JAVA_TOOL_OPTIONS", false},
      {"OPENSSL_CONF", false},
      {"LESSOPEN", false},
      {"LUA_INIT_5_4", false},
      {"GST_PLUGIN_PATH_1_0", false},
      {"PS4", false},
      {"BASH_ENV", false},
      {"LD_PRELOAD", false},
      {"LD_PRELOAD1", false},
      {"LD_LIBRARY_PATH_1", false},
      {"BASH_FUNC_x1", false},
      {"PATH", false},
      {"PATH_1", true},  // a column "Path"
      // The server's own names, and one the run already holds.
      {"KESFIELD1", false},
      {"KESHEADING_1", false},
      {"HOME2", false},
  };
  messages::PassedBlocks passed;
  for (const Case& c : cases) passed.listBox.variables.emplace_back(c.name, "v");
  // What the server's environment and the environment files gave the run.
  EnvironmentBlock block{"PATH=/usr/bin", "HOME2=/root"};
  ClientVariableFilter filter(block);
  SetPassedBlocks(passed, block, filter);
  std::vector<std::string> refused;
  for (const Case& c : cases) {
    const std::optional<std::string> value = LookupVariable(block, c.name);
    EXPECT_EQ(value == "v", c.set) << c.name;
    if (!c.set) refused.push_back(c.name);
  }
  EXPECT_EQ(filter.refused(), refused);
  EXPECT_FALSE(filter.tooMany());
  EXPECT_EQ(LookupVariable(block, "PATH"), "/usr/bin");
  EXPECT_EQ(LookupVariable(block, "KESPASSEDLISTBOXVARIABLES"), "ORDER HOST CUSTOMER x Row PATH");
}

// Passed blocks of `count` variables ROW<k>=v from k = `first`.
messages::PassedBlocks PassedRows(int32_t first, int32_t count) {
  messages::PassedBlocks passed;
  for (int32_t k = first; k < first + count; ++k)
    passed.listBox.variables.emplace_back("ROW" + std::to_string(k), "v");
  return passed;
}

TEST(DialogBlocks, ARequestTakesAtMost1000ListBoxVariablesOverAllItsBlocks) {
  EnvironmentBlock block;
  ClientVariableFilter filter(block);
  SetPassedBlocks(PassedRows(0, 600), block, filter);
  SetPassedBlocks(PassedRows(600, 400), block, filter);
  EXPECT_FALSE(filter.tooMany());
  EXPECT_EQ(LookupVariable(block, "ROW999"), "v");
  // The 1001st is refused with its block.
  SetPassedBlocks(PassedRows(1000, 1), block, filter);
  EXPECT_TRUE(filter.tooMany());
  EXPECT_EQ(LookupVariable(block, "ROW1000"), std::nullopt);
  EXPECT_EQ(block.size(), 1u + 1000 + 1);  // selections, the rows, their set
  EXPECT_TRUE(filter.refused().empty());
}

TEST(Variables, SetReplacesTheFirstEntryOfExactlyThatNameOnly) {
  EnvironmentBlock block{"A=1", "B=3"};
  SetVariable(block, "A", "2");
  SetVariable(block, "a", "low");
  SetVariable(block, "C", "x=y");
  EXPECT_EQ(block, (EnvironmentBlock{"A=2", "B=3", "a=low", "C=x=y"}));
  EXPECT_EQ(LookupVariable(block, "C"), "x=y");
  EXPECT_EQ(LookupVariable(block, "c"), std::nullopt);
}

}  // namespace
}  // namespace kestrun
