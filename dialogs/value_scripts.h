// Value scripts: the job scripts that supply a dialog's values while the
// server builds it (a field's populate script, the dialog's populate script,
// the list-box script), and the cutting of a script's output into lines.
//
// Values are handed over RAW, exactly as the script wrote them (apart from
// the line ends): the dialog script generator escapes every value for the
// place it writes it into.
//
// Every script runs with ExecuteAndCapture in capture mode on the calling
// thread (the request thread of GET_DIALOG_DATA), which waits for its end
// without a time-out. A preloaded program of the same client may take a run
// over (the context's RunHooks). Nothing here keeps state between calls; any
// thread may call with its own environment block.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/environment.h"
#include "config/job_definition.h"
#include "core/context.h"
#include "launch/execute.h"

namespace kestrun {

// The lines of a script's standard output. The last byte is dropped only when
// it is a line feed; the rest is cut at line feeds, stopping at the first
// empty piece; each piece then loses a final carriage return when it has one.
// CR LF and LF output give the same lines, and no character of a line is
// lost. Empty output gives no line.
std::vector<std::string> ScriptOutputLines(std::string_view output);

// Who asked for the dialog.
struct ValueScriptClient {
  std::string_view node;
  int32_t processId = 0;
  std::string_view user;
};

struct ValueScriptResult {
  // One record per output line (`value` the line, enabled, nothing else);
  // empty when the script wrote nothing or could not run.
  std::vector<FieldDefinition> values;
  bool failed = false;  // the script ran and ended with a non-zero exit code
  std::string error;    // "PopulateWith script failed to execute" when it could not run
};

// Runs `script` with `parameters` for field `fieldNumber` (0 for the dialog's
// populate script). `jobName` is turned into upper case in place. With
// `environment` null the job is looked up for the user and a block is built
// for this run alone; otherwise the KES variables are set into the caller's
// block (KESFIELD1, 2, ... are blanked while they are present). Logs
// "<user>@<node> Running Field Populate Script ..." and its outcome.
ValueScriptResult GetValuesFromScript(ServerContext& server, std::string_view script,
                                      std::string& jobName, const ValueScriptClient& client,
                                      const std::vector<std::string>& parameters,
                                      int32_t fieldNumber, EnvironmentBlock* environment);

// Runs the populate script of every field of `fields` that has one (fields
// numbered from 1), one after another: the field's `values` get the lines and
// `enabled` becomes false when the script failed. Other fields are left alone.
void RunAnyFieldPopulateScripts(ServerContext& server, std::vector<FieldDefinition>& fields,
                                std::string& jobName, const ValueScriptClient& client,
                                const std::vector<std::string>& parameters,
                                EnvironmentBlock& environment);

// RunAnyFieldPopulateScripts, and entry k of `joined` (created when missing:
// empty value, enabled) receives copies of field k's values, updates and
// enabled flag, its own value kept. `joined` ends up at least as long as
// `fields`.
void JoinWithFieldValues(ServerContext& server, std::vector<FieldDefinition>& fields,
                         std::string& jobName, const ValueScriptClient& client,
                         const std::vector<std::string>& parameters, EnvironmentBlock& environment,
                         std::vector<FieldDefinition>& joined);

struct ListBoxValues {
  std::optional<std::vector<std::string>> rows;  // nullopt: no script, or it failed
  // "listbox script failed to execute", or the standard error of a failing
  // script; empty otherwise.
  std::string error;
};

// Runs the job's list-box script (`listboxscript`/`populatelistboxwith`)
// with `arguments` (element 0 replaced by the script for the run, the rest
// its arguments) and the KES variables of a list-box run set into
// `environment`. The rows are the output lines as written.
ListBoxValues GetListBoxValuesFromScript(ServerContext& server, const JobDefinition& job,
                                         const ValueScriptClient& client,
                                         std::vector<std::string>& arguments,
                                         EnvironmentBlock& environment);

// Sets KESFIELD1, KESFIELD2, ... to the empty string for as long as the next
// one is present in `environment`.
void BlankFieldVariables(EnvironmentBlock& environment);

}  // namespace kestrun
