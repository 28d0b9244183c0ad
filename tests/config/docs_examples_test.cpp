// Every fenced `kestrun.conf` block of the documentation is a file the server
// reads without a syntax error, an unknown directive or another problem of
// the file itself. Programs, dialog files and plug-ins the examples name need
// not exist on the machine that runs the tests.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/config_reader.h"
#include "tests/config/conf_fixture.h"

namespace kestrun {
namespace {

namespace fs = std::filesystem;

struct Example {
  std::string where;  // file and line of the opening fence
  std::string text;
};

std::vector<Example> ExamplesOf(const fs::path& file) {
  std::ifstream in(file);
  std::vector<Example> out;
  std::string line;
  int number = 0;
  bool inside = false;
  while (std::getline(in, line)) {
    ++number;
    if (!inside && line == "```kestrun.conf") {
      inside = true;
      out.push_back({file.filename().string() + ":" + std::to_string(number), ""});
    } else if (inside && line == "```") {
      inside = false;
    } else if (inside) {
      out.back().text += line + "\n";
    }
  }
  return out;
}

// Problems that depend on the machine rather than on the file.
bool AboutTheMachine(const ConfigProblem& p) {
  return p.reason.find(" is missing") != std::string::npos ||
         p.reason.find("the group processor does not load") != std::string::npos;
}

TEST(DocsExamples, EveryKestrunConfBlockLoads) {
  std::vector<fs::path> files{fs::path(KES_SOURCE_DIR) / "README.md"};
  for (const auto& entry : fs::directory_iterator(fs::path(KES_SOURCE_DIR) / "docs"))
    if (entry.path().extension() == ".md") files.push_back(entry.path());
  testconf::TempHome home;
  size_t blocks = 0;
  for (const fs::path& file : files) {
    for (const Example& example : ExamplesOf(file)) {
      ++blocks;
      home.WriteConf(example.text);
      for (const ConfigProblem& p : CheckServerConfig(home.ConfPath())) {
        if (!AboutTheMachine(p))
          ADD_FAILURE() << example.where << " (line " << p.line << " of the block): " << p.reason;
      }
    }
  }
  EXPECT_GE(blocks, 10u);  // the reference pages are there
}

}  // namespace
}  // namespace kestrun
