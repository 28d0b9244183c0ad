// The blocks of dialog data that requests carry, decoded into a run's
// environment.
#include <algorithm>
#include <functional>
#include <string>
#include <string_view>

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
                          std::string_view setName, ClientVariableFilter& filter) {
  std::string set;
  for (int32_t k = 0; k < count; ++k) {
    std::string name = request.GetString();
    std::string value = request.GetString();
    if (name.empty() || !filter.Accepts(name)) continue;
    SetVariable(block, name, value);
    AddListBoxVariableName(set, name);
  }
  if (!set.empty()) SetVariable(block, setName, set);
}

bool IsDigitOrUnderscore(char c) {
  return (c >= '0' && c <= '9') || c == '_';
}

bool IsIdentifier(std::string_view name) {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
  for (const char c : name) {
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!letter && !IsDigitOrUnderscore(c)) return false;
  }
  return true;
}

// Variables that make a loader or a shell run code or read files, and those
// the C library distrusts in privileged programs.
constexpr std::string_view kRefusedNames[] = {
    "BASH_ENV",     "ENV",         "SHELLOPTS",     "BASHOPTS",         "PS4",
    "IFS",          "CDPATH",      "GLOBIGNORE",    "PROMPT_COMMAND",   "KESTRUNHOME",
    "GCONV_PATH",   "GETCONF_DIR", "HOSTALIASES",   "LOCALDOMAIN",      "LOCPATH",
    "MALLOC_TRACE", "NIS_PATH",    "NLSPATH",       "RESOLV_HOST_CONF", "RES_OPTIONS",
    "TMPDIR",       "TZDIR",       "PYTHONSTARTUP", "PERL5OPT",
};
constexpr std::string_view kRefusedPrefixes[] = {"LD_", "BASH_FUNC_", "MALLOC_", "GLIBC_"};

}  // namespace

bool IsSafeClientVariableName(std::string_view name) {
  if (!IsIdentifier(name)) return false;
  for (std::string_view refused : kRefusedNames)
    if (name == refused) return false;
  for (std::string_view prefix : kRefusedPrefixes)
    if (name.starts_with(prefix)) return false;
  return true;
}

ClientVariableFilter::ClientVariableFilter(const EnvironmentBlock& given) {
  given_.reserve(given.size());
  for (const std::string& entry : given) given_.push_back(entry.substr(0, entry.find('=')));
  std::sort(given_.begin(), given_.end());
}

bool ClientVariableFilter::Accepts(std::string_view name) {
  if (IsSafeClientVariableName(name) &&
      !std::binary_search(given_.begin(), given_.end(), name, std::less<>())) {
    return true;
  }
  refused_.emplace_back(name);
  return false;
}

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

void ReadListBoxBlock(XDRWRAP& request, EnvironmentBlock& block, ClientVariableFilter& filter) {
  const int32_t selections = request.GetLong();
  SetVariable(block, "KESLISTBOXSELECTIONS", std::to_string(selections));
  const int32_t variables = request.GetLong();
  const int32_t columns = request.GetLong();
  SetVariable(block, "KESLISTBOXCOLUMNS", std::to_string(columns));
  for (int32_t i = 1; i <= columns; ++i)
    SetVariable(block, "KESHEADING_" + std::to_string(i), request.GetString());
  ReadListBoxVariables(request, block, variables, "KESLISTBOXVARIABLES", filter);
}

void ReadPassedListBoxBlock(XDRWRAP& request, EnvironmentBlock& block,
                            ClientVariableFilter& filter) {
  const int32_t selections = request.GetLong();
  SetVariable(block, "KESPASSEDLISTBOXSELECTIONS", std::to_string(selections));
  const int32_t variables = request.GetLong();
  ReadListBoxVariables(request, block, variables, "KESPASSEDLISTBOXVARIABLES", filter);
}

}  // namespace kestrun
