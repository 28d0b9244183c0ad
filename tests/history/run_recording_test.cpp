// What a client run's record holds of its dialog: password fields masked,
// list-box variables of the selection.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "jobs/run_recording.h"

namespace kestrun {
namespace {

TEST(RunRecording, PasswordFieldsAreTheFieldsWrittenWithAStar) {
  struct Case {
    const char* definition;
    std::vector<int32_t> passwords;
  };
  const std::vector<Case> cases = {
      {"Name [        ]\nPassword [********]\n", {2}},
      {">Tab one\n- Frame [*]\nUser [  ] Pin [**]\n-\n{choice} [*", {2, 4}},
      {"no fields at all\n", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(PasswordFields(c.definition), c.passwords) << c.definition;
}

TEST(RunRecording, FieldValuesAreMaskedWhereTheDefinitionSaysOrCannotBeRead) {
  const std::vector<std::string> env = {"KESFIELD2=secret", "KESFIELD1=ann", "KESFIELDX=no",
                                        "KESFIELD10=ten", "PATH=/bin"};
  JobDefinition job;
  job.dialog = "/nonexistent/dialog.def";
  EXPECT_EQ(RecordedFields(&job, env), (std::vector<std::string>{"1=***", "2=***", "10=***"}));
  EXPECT_EQ(RecordedFields(nullptr, {"PATH=/bin"}), std::vector<std::string>{});
  job.dialog = ::testing::TempDir() + "recording_dialog.def";
  std::ofstream(job.dialog) << "User [    ]\nPassword [****]\n";
  EXPECT_EQ(RecordedFields(&job, env), (std::vector<std::string>{"1=ann", "2=***", "10=ten"}));
  std::remove(job.dialog.c_str());
}

TEST(RunRecording, TheListBoxSelectionIsItsVariables) {
  const EnvironmentBlock env = {"KESLISTBOXVARIABLES=CUSTOMER ORDER",
                                "CUSTOMER=acme",
                                "CUSTOMER_2=bolt",
                                "ORDERS=x",
                                "ORDER_1=7",
                                "OTHER=1"};
  EXPECT_EQ(RecordedListBox(env),
            (std::vector<std::string>{"CUSTOMER=acme", "CUSTOMER_2=bolt", "ORDER_1=7"}));
}

}  // namespace
}  // namespace kestrun
