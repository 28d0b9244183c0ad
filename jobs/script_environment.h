// The environment of one run of a job's program or script.
//
// Every program the server starts for a job gets a block of NAME=value
// strings built for that run alone: a copy of the server's own environment,
// then the global environment file of kestrun.conf, then the job's own file,
// then the KES variables that the request sets (who asked, why, and what the
// user entered in the dialog). The block becomes the child's environment and
// the table against which its arguments are expanded.
//
// A block belongs to the request that built it and is changed only by that
// request's thread, so it takes no lock; only the copy of the server's own
// environment is read under the environment lock. Any thread may call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "base/environment.h"
#include "protocol/messages/dialog_blocks.h"

namespace kestrun {

class ServerConfig;
struct JobDefinition;

// Longest line an environment file yields in one piece; a longer line is read
// as several lines of at most this many characters.
inline constexpr size_t kEnvironmentLineLength = 4095;

// A new environment for one run: the server's process environment as it is
// now (copied under the environment lock), then the global environment file
// of `config`, then, when `job` is given, the job's environment file. A file
// that cannot be opened is logged and skipped. Without a PATH from any of
// them, PATH is DefaultSearchPath() (platform/process.h).
EnvironmentBlock BuildScriptEnvironment(const ServerConfig& config, const JobDefinition* job);

// Sets every NAME=value line of the environment file at `path` into `block`,
// in file order. A file that cannot be opened adds the line
// "Could not open environment file "<path>"" to the server log and changes
// nothing.
void ApplyEnvironmentFile(const ServerConfig& config, const std::string& path,
                          EnvironmentBlock& block);

// What one line of an environment file sets: the line without its trailing
// carriage returns and line feeds and without everything from its first "#"
// on, when what is left still holds a "="; nullopt for every other line.
// Blanks are kept on both sides of the "=".
std::optional<std::string> EnvironmentFileSetting(std::string_view line);

// Sets NAME=value in `block`, replacing the first entry of that exact name.
void SetVariable(EnvironmentBlock& block, std::string_view name, std::string_view value);
// The value of the first entry named `name` (exact case), or nullopt.
std::optional<std::string> LookupVariable(const EnvironmentBlock& block, std::string_view name);

// Which job a script of a dialog runs for, for whom and why.
struct ScriptReason {
  std::string_view job;
  std::string_view node;
  std::string_view user;
  std::string_view reason;        // KESREASON: POPULATE, LISTBOX, VALIDATION, ...
  std::string_view currentField;  // KESCURRENTFIELD
  std::string_view changedField;  // KESCHANGEDFIELD
};
// Sets, in this order, KESDIALOGNAME and KESJOBNAME (both the job),
// KESCLIENTNODENAME, KESCLIENTUSERNAME, KESREASON, KESCURRENTFIELD and
// KESCHANGEDFIELD.
void SetReasonVariables(EnvironmentBlock& block, const ScriptReason& why);

// Most list-box variables one request may send, over all its blocks; a
// request that sends more is refused whole.
inline constexpr int32_t kMaxListBoxVariables = 1000;
// The answer to such a request, and the end of its log line.
inline constexpr const char* kTooManyListBoxVariables =
    "Too many list-box variables (more than 1000)";

// A list-box variable set: the base names of the variables taken (trailing
// digits and underscores removed: ROW_12 and ROW3 both give ROW), each once,
// in the order first seen, separated by single blanks. Adding a name costs
// constant time on average: a hash set of the base names is kept beside the
// text.
class ListBoxVariableSet {
 public:
  void Add(std::string_view name);
  const std::string& text() const { return text_; }
  bool empty() const { return text_.empty(); }

 private:
  std::string text_;
  std::unordered_set<std::string> bases_;
};

// A name without its trailing digits and underscores (ORDER_1 gives ORDER).
std::string_view ListBoxBaseName(std::string_view name);

// True for a name a client may set in a run's environment. A list-box
// variable names one row of the list box, so its name is an identifier that
// ends in digits ([A-Za-z][A-Za-z0-9_]*[0-9]: CUSTOMER1, ORDER_1). Every name
// an interpreter, loader or shell reads (PYTHONWARNINGS, NODE_OPTIONS,
// GIT_CONFIG_COUNT, PERL5LIB, PATH, ...) lacks that shape; as a second
// fence the name and its base are also checked against the variables a
// loader, a shell or an interpreter acts on (LD_*, BASH_FUNC_*, GIT_*,
// LUA_*, GST_*, PS4, ...), and the server's own KES* names are refused.
// A column heading such as "Path" still gives a usable name (PATH_1).
bool IsSafeClientVariableName(std::string_view name);

// Which client-sent list-box variables a run takes: safe names (above) that
// the run's environment did not already hold when the filter was made (the
// server's environment and the environment files), at most
// kMaxListBoxVariables of them per request. Refused names are kept for the
// log, which can name the client only once the request has been read. One
// filter serves every block of one request.
class ClientVariableFilter {
 public:
  explicit ClientVariableFilter(const EnvironmentBlock& given);
  // Counts `count` more variables sent by the request; false once the
  // request has sent more than kMaxListBoxVariables in all, after which
  // nothing more is taken.
  bool Admit(int32_t count);
  // True when `name` may be set; otherwise records it as refused.
  bool Accepts(std::string_view name);
  const std::vector<std::string>& refused() const { return refused_; }
  // The request sent more than kMaxListBoxVariables variables: the handler
  // refuses it.
  bool tooMany() const { return tooMany_; }

 private:
  std::unordered_set<std::string> given_;  // names of the run's environment
  std::vector<std::string> refused_;
  int64_t sent_ = 0;
  bool tooMany_ = false;
};

// The dialog blocks a request carries (protocol/messages/dialog_blocks.h),
// set into `block`:
// - field block: KESFIELD1..KESFIELD<N>;
// - list-box block: KESLISTBOXSELECTIONS, KESLISTBOXCOLUMNS (the number of
//   headings), KESHEADING_<i>, then the name/value pairs (each whose name
//   `filter` accepts is set and joins the variable set; none when `filter`
//   does not admit them all), and KESLISTBOXVARIABLES when the set is not
//   empty;
// - passed blocks: KESPASSEDFIELD<n>, KESPASSEDLISTBOXSELECTIONS, the pairs
//   as above, and KESPASSEDLISTBOXVARIABLES when that set is not empty.
// Every variable is set through an index of the block built once per block,
// so a block costs time linear in its size.
void SetFieldBlock(const messages::FieldBlock& fields, EnvironmentBlock& block);
void SetListBoxBlock(const messages::ListBoxBlock& listBox, EnvironmentBlock& block,
                     ClientVariableFilter& filter);
void SetPassedBlocks(const messages::PassedBlocks& passed, EnvironmentBlock& block,
                     ClientVariableFilter& filter);
// All four, in that order.
void SetDialogBlocks(const messages::DialogBlocks& blocks, EnvironmentBlock& block,
                     ClientVariableFilter& filter);

}  // namespace kestrun
