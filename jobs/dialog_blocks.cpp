// The blocks of dialog data that requests carry, set into a run's
// environment, and the rule for the variable names a client may send.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "jobs/script_environment.h"

namespace kestrun {

namespace {

// A refused name is kept for its log line, which shows no more than this of
// it anyway: a client's megabyte-long name is not copied around.
constexpr size_t kLoggedNameLength = 1024;

// A block being read into a run's environment, one NAME=value text reused
// for every variable.
class BlockWriter {
 public:
  explicit BlockWriter(EnvironmentBlock& block) : block_(block) {}
  void Set(std::string_view name, std::string_view value) {
    text_.clear();
    text_.append(name).append(1, '=').append(value);
    block_.Put(text_);
  }

 private:
  EnvironmentBlock& block_;
  std::string text_;  // reused for every NAME=value
};

// The values set as <prefix>1 .. <prefix>N.
void SetNumberedValues(const std::vector<std::string>& values, EnvironmentBlock& block,
                       std::string_view prefix) {
  BlockWriter writer(block);
  std::string name(prefix);
  for (size_t n = 1; n <= values.size(); ++n) {
    name.resize(prefix.size());
    name += std::to_string(n);
    writer.Set(name, values[n - 1]);
  }
}

// The name/value pairs: each with a name `filter` accepts is set under that
// name and joins the variable set, which is then set as `setName` unless it
// is empty. None is taken when the filter does not admit them all.
void SetListBoxVariables(const std::vector<messages::NameValue>& pairs, EnvironmentBlock& block,
                         std::string_view setName, ClientVariableFilter& filter) {
  const bool admitted = filter.Admit(static_cast<int32_t>(pairs.size()));
  BlockWriter writer(block);
  ListBoxVariableSet set;
  for (const auto& [name, value] : pairs) {
    if (!admitted || name.empty() || !filter.Accepts(name)) continue;
    writer.Set(name, value);
    set.Add(name);
  }
  if (!set.empty()) writer.Set(setName, set.text());
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// [A-Za-z][A-Za-z0-9_]*[0-9]: the name of one row's value.
bool IsRowVariableName(std::string_view name) {
  if (name.size() < 2 || !IsLetter(name.front()) || !IsDigit(name.back())) return false;
  return std::all_of(name.begin(), name.end(),
                     [](char c) { return IsLetter(c) || IsDigit(c) || c == '_'; });
}

// Variables that make a loader, a shell or an interpreter run code or read
// files, and those the C library distrusts in privileged programs. Checked
// against a name and against its base, as a fence behind the shape rule.
constexpr std::string_view kRefusedNames[] = {
    // shells (PS4 is expanded, commands included, for every traced command)
    "BASH_ENV", "ENV", "SHELLOPTS", "BASHOPTS", "PS1", "PS2", "PS3", "PS4", "IFS", "CDPATH",
    "GLOBIGNORE", "PROMPT_COMMAND",
    // the C library
    "GCONV_PATH", "GETCONF_DIR", "HOSTALIASES", "LOCALDOMAIN", "LOCPATH", "MALLOC_TRACE",
    "NIS_PATH", "NLSPATH", "RESOLV_HOST_CONF", "RES_OPTIONS", "TMPDIR", "TZDIR",
    // interpreters
    "PYTHONSTARTUP", "PERL5OPT"};
// Prefixes of the same kind, checked against the base. Most interpreter
// variables cannot pass the shape rule; these families hold names that end
// in digits: the loader (LD_, DYLD_), bash functions, the C library's
// tunables, git (GIT_CONFIG_KEY_0 and GIT_CONFIG_VALUE_0 configure it,
// GIT_TRACE2 names a file it writes), Lua (LUA_INIT_5_4 runs code) and
// GStreamer (GST_PLUGIN_PATH_1_0 loads libraries). The KES names belong to
// the server: a request sets its own.
constexpr std::string_view kRefusedPrefixes[] = {"LD_",  "DYLD_", "BASH_FUNC_", "MALLOC_", "GLIBC_",
                                                 "GIT_", "LUA_",  "GST_",       "KES"};

bool IsRefusedName(std::string_view name) {
  return std::find(std::begin(kRefusedNames), std::end(kRefusedNames), name) !=
         std::end(kRefusedNames);
}

}  // namespace

std::string_view ListBoxBaseName(std::string_view name) {
  while (!name.empty() && (IsDigit(name.back()) || name.back() == '_')) name.remove_suffix(1);
  return name;
}

bool IsSafeClientVariableName(std::string_view name) {
  if (!IsRowVariableName(name)) return false;
  const std::string_view base = ListBoxBaseName(name);
  if (IsRefusedName(name) || IsRefusedName(base)) return false;
  for (std::string_view prefix : kRefusedPrefixes)
    if (base.starts_with(prefix)) return false;
  return true;
}

ClientVariableFilter::ClientVariableFilter(const EnvironmentBlock& given) {
  given_.reserve(given.size());
  for (const std::string& entry : given.entries()) given_.emplace(entry.substr(0, entry.find('=')));
}

bool ClientVariableFilter::Admit(int32_t count) {
  if (count > 0) sent_ += count;
  if (sent_ > kMaxListBoxVariables) tooMany_ = true;
  return !tooMany_;
}

bool ClientVariableFilter::Accepts(std::string_view name) {
  if (IsSafeClientVariableName(name) && given_.find(std::string(name)) == given_.end()) return true;
  refused_.emplace_back(name.substr(0, kLoggedNameLength));
  return false;
}

void ListBoxVariableSet::Add(std::string_view name) {
  const std::string_view base = ListBoxBaseName(name);
  if (!bases_.emplace(base).second) return;
  if (!text_.empty()) text_.append(1, ' ');
  text_.append(base);
}

void SetFieldBlock(const messages::FieldBlock& fields, EnvironmentBlock& block) {
  SetNumberedValues(fields.values, block, "KESFIELD");
}

void SetListBoxBlock(const messages::ListBoxBlock& listBox, EnvironmentBlock& block,
                     ClientVariableFilter& filter) {
  SetVariable(block, "KESLISTBOXSELECTIONS", std::to_string(listBox.selections));
  SetVariable(block, "KESLISTBOXCOLUMNS", std::to_string(listBox.headings.size()));
  {
    BlockWriter writer(block);
    for (size_t i = 1; i <= listBox.headings.size(); ++i)
      writer.Set("KESHEADING_" + std::to_string(i), listBox.headings[i - 1]);
  }
  SetListBoxVariables(listBox.variables, block, "KESLISTBOXVARIABLES", filter);
}

void SetPassedBlocks(const messages::PassedBlocks& passed, EnvironmentBlock& block,
                     ClientVariableFilter& filter) {
  SetNumberedValues(passed.fields.values, block, "KESPASSEDFIELD");
  SetVariable(block, "KESPASSEDLISTBOXSELECTIONS", std::to_string(passed.listBox.selections));
  SetListBoxVariables(passed.listBox.variables, block, "KESPASSEDLISTBOXVARIABLES", filter);
}

void SetDialogBlocks(const messages::DialogBlocks& blocks, EnvironmentBlock& block,
                     ClientVariableFilter& filter) {
  SetFieldBlock(blocks.fields, block);
  SetListBoxBlock(blocks.listBox, block, filter);
  SetPassedBlocks(blocks.passed, block, filter);
}

}  // namespace kestrun
