// The environment of one run of a job's program or script.
//
// Every program the server starts for a job gets a vector of NAME=value
// strings built for that run alone: a copy of the server's own environment,
// then the global environment file of kestrun.conf, then the job's own file,
// then the KES variables that the request sets (who asked, why, and what the
// user entered in the dialog). The vector becomes the child's environment and
// the table against which its arguments are expanded.
//
// A vector belongs to the request that built it and is changed only by that
// request's thread. Every read and write of a variable goes through
// GetEnvLocked/PutEnvLocked, which hold the environment lock for that one
// variable; callers must hold no lock of their own. Any thread may call.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/environment.h"

namespace kestrun {

class ServerConfig;
class XDRWRAP;
struct JobDefinition;

// Longest line an environment file yields in one piece; a longer line is read
// as several lines of at most this many characters.
inline constexpr size_t kEnvironmentLineLength = 4095;

// A new environment for one run: the server's process environment as it is
// now (copied under the environment lock), then the global environment file
// of `config`, then, when `job` is given, the job's environment file. A file
// that cannot be opened is logged and skipped.
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

// Adds `name` to a list-box variable set (base names separated by single
// blanks): trailing digits and underscores are removed (ROW_12 and ROW3 both
// give ROW), and the base name is appended unless it is already a whole word
// of the set.
void AddListBoxVariableName(std::string& set, std::string_view name);

// True for a name a client may set in a run's environment: a plain
// identifier ([A-Za-z_][A-Za-z0-9_]*) that neither the dynamic loader nor a
// shell acts on (LD_*, BASH_FUNC_*, BASH_ENV, ENV, SHELLOPTS, BASHOPTS, PS4,
// IFS, KESTRUNHOME, and the variables the C library ignores for privileged
// programs: GCONV_PATH, HOSTALIASES, LOCALDOMAIN, LOCPATH, NLSPATH,
// RES_OPTIONS, TMPDIR, TZDIR, ...).
bool IsSafeClientVariableName(std::string_view name);

// Which client-sent list-box variables a run takes: names that are safe and
// that the run's environment did not already hold when the filter was made
// (the server's environment and the environment files). Refused names are
// kept for the log, which can name the client only once the request has
// been read.
class ClientVariableFilter {
 public:
  explicit ClientVariableFilter(const EnvironmentBlock& given);
  // True when `name` may be set; otherwise records it as refused.
  bool Accepts(std::string_view name);
  const std::vector<std::string>& refused() const { return refused_; }

 private:
  std::vector<std::string> given_;  // sorted names of the run's environment
  std::vector<std::string> refused_;
};

// The four blocks of dialog data that requests carry. Each reads its fields
// from `request` in order and sets its variables into `block`:
// - field block: long N, then N strings set as KESFIELD1..KESFIELD<N>;
// - list-box block: long S (KESLISTBOXSELECTIONS), long V, long C
//   (KESLISTBOXCOLUMNS), C headings (KESHEADING_<i>), V name/value pairs
//   (each whose name `filter` accepts is set and joins the variable set), and
//   KESLISTBOXVARIABLES when the set is not empty;
// - passed-field block: as the field block, with KESPASSEDFIELD<n>;
// - passed list-box block: long S (KESPASSEDLISTBOXSELECTIONS), long V, V
//   pairs, and KESPASSEDLISTBOXVARIABLES when the set is not empty.
// A count larger than the fields that follow raises DecodeFailure (the
// request is abandoned); negative counts read nothing.
void ReadFieldBlock(XDRWRAP& request, EnvironmentBlock& block);
void ReadListBoxBlock(XDRWRAP& request, EnvironmentBlock& block, ClientVariableFilter& filter);
void ReadPassedFieldBlock(XDRWRAP& request, EnvironmentBlock& block);
void ReadPassedListBoxBlock(XDRWRAP& request, EnvironmentBlock& block,
                            ClientVariableFilter& filter);

}  // namespace kestrun
