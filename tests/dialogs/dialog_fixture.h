// Shared set-up of the dialog tests: a configuration that logs into a
// temporary home, and generating a script with list-box rows handed in.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "config/server_config.h"
#include "dialogs/dialog_script.h"
#include "tests/config/conf_fixture.h"

namespace kestrun::test {

inline FieldDefinition Value(std::string text) {
  FieldDefinition f;
  f.value = std::move(text);
  return f;
}

inline FieldDefinition Field(std::string value, std::vector<std::string> choices = {},
                             std::vector<int32_t> updates = {}, bool enabled = true) {
  FieldDefinition f;
  f.value = std::move(value);
  for (std::string& c : choices) f.values.push_back(Value(std::move(c)));
  for (int32_t u : updates) f.updates.push_back(FieldUpdate{u});
  f.enabled = enabled;
  return f;
}

inline std::vector<FieldDefinition> ValueList(std::vector<std::string> values) {
  std::vector<FieldDefinition> list;
  for (std::string& v : values) list.push_back(Value(std::move(v)));
  return list;
}

struct DialogTest : testing::Test {
  DialogTest() : config(home.ConfPath()) { config.SetLogFile(home.File("k.log")); }

  // The script for `lines`; `rows` stand for the list-box script's output.
  std::string Generate(const std::vector<std::string>& lines,
                       std::optional<std::vector<std::string>> rows = std::nullopt) {
    DialogSources sources;
    sources.getListBoxValuesFromScript = [rows, this](const ListBoxScriptCall&) {
      ++listBoxRuns;
      return rows;
    };
    sources.menuJob = [](std::string_view name, std::string_view) -> std::optional<std::string> {
      if (name == "ALLOWED") return "Allowed job";
      return std::nullopt;
    };
    const std::vector<std::string> arguments{"prog"};
    return GenerateDialogScript(
        config, DialogInput{job, fields, lines, arguments, "node1", 77, "alice", environment},
        sources);
  }

  // The log with its time stamps cut off.
  std::string Logged() const {
    std::string log;
    std::istringstream in(home.Read("k.log"));
    for (std::string line; std::getline(in, line);) log += line.substr(20) + "\n";
    return log;
  }

  testconf::TempHome home;
  ServerConfig config;
  JobDefinition job;
  std::vector<FieldDefinition> fields;
  std::vector<std::string> environment;
  int listBoxRuns = 0;
};

// True when `script` holds `line` as one whole line.
inline bool HasLine(const std::string& script, const std::string& line) {
  return ("\n" + script).find("\n" + line + "\n") != std::string::npos;
}

}  // namespace kestrun::test
