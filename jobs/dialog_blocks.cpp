// The blocks of dialog data that requests carry, decoded into a run's
// environment.
#include <string>

#include "jobs/script_environment.h"
#include "protocol/xdrwrap.h"

namespace kestrun {

namespace {

// N strings set as <prefix>1 .. <prefix>N.
void ReadNumberedValues(XDRWRAP& request, EnvironmentBlock& block, std::string_view prefix) {
  const int32_t count = request.GetLong();
  std::string name(prefix);
  for (int32_t n = 1; n <= count; ++n) {
    name.resize(prefix.size());
    name += std::to_string(n);
    SetVariable(block, name, request.GetString());
  }
}

// `count` name/value pairs: each with a name is set under that name and joins
// the variable set, which is then set as `setName` unless it is empty.
void ReadListBoxVariables(XDRWRAP& request, EnvironmentBlock& block, int32_t count,
                          std::string_view setName) {
  std::string set;
  for (int32_t k = 0; k < count; ++k) {
    std::string name = request.GetString();
    std::string value = request.GetString();
    if (name.empty()) continue;
    SetVariable(block, name, value);
    AddListBoxVariableName(set, name);
  }
  if (!set.empty()) SetVariable(block, setName, set);
}

bool IsDigitOrUnderscore(char c) {
  return (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

void AddListBoxVariableName(std::string& set, std::string_view name) {
  while (!name.empty() && IsDigitOrUnderscore(name.back())) name.remove_suffix(1);
  if (set.empty()) {
    set.assign(name);
    return;
  }
  // A whole-word test: " NAME " within " SET ", so that ORDER is not taken
  // for a part of ORDERS.
  const std::string padded = " " + set + " ";
  const std::string word = " " + std::string(name) + " ";
  if (padded.find(word) != std::string::npos) return;
  set.append(1, ' ').append(name);
}

void ReadFieldBlock(XDRWRAP& request, EnvironmentBlock& block) {
  ReadNumberedValues(request, block, "KESFIELD");
}

void ReadPassedFieldBlock(XDRWRAP& request, EnvironmentBlock& block) {
  ReadNumberedValues(request, block, "KESPASSEDFIELD");
}

void ReadListBoxBlock(XDRWRAP& request, EnvironmentBlock& block) {
  const int32_t selections = request.GetLong();
  SetVariable(block, "KESLISTBOXSELECTIONS", std::to_string(selections));
  const int32_t variables = request.GetLong();
  const int32_t columns = request.GetLong();
  SetVariable(block, "KESLISTBOXCOLUMNS", std::to_string(columns));
  for (int32_t i = 1; i <= columns; ++i)
    SetVariable(block, "KESHEADING_" + std::to_string(i), request.GetString());
  ReadListBoxVariables(request, block, variables, "KESLISTBOXVARIABLES");
}

void ReadPassedListBoxBlock(XDRWRAP& request, EnvironmentBlock& block) {
  const int32_t selections = request.GetLong();
  SetVariable(block, "KESPASSEDLISTBOXSELECTIONS", std::to_string(selections));
  const int32_t variables = request.GetLong();
  ReadListBoxVariables(request, block, variables, "KESPASSEDLISTBOXVARIABLES");
}

}  // namespace kestrun
