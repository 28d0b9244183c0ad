// The dialog script generator: turns a job's dialog definition (a plain-text
// picture of the screen), its settings and its current field values into the
// Tcl/Tk script that a client runs to show the dialog.
//
// GenerateDialogScript is a pure function of its inputs apart from three
// things that reach the outside through named seams: the banner picture file
// named by `bannergraphic` (read and checked here), the list-box rows
// (DialogSources::getListBoxValuesFromScript, which runs the job's list-box script) and the
// jobs offered on the list box's right-click menu (DialogSources::menuJob).
// Problems are logged with LogMessage; every input, however malformed, yields
// a script that Tk can run. Any thread may call; nothing is kept between calls.
//
// The script's contract with the client: it expects the variables `hsize`,
// `bsize`, `btfamily`, `platform` and `framecolour` and the procedures `cbc`,
// `ebc`, `bbc`, `apply`, `dblclick`, `cascade` and `autorefresh`; when
// `tkwait variable button` returns, `button` is "ok" or "cancel", `name`N holds
// field N, `NumFields`, `wn`N and `wt`N describe the fields and `lbNumColumns`
// the list box.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/job_definition.h"

namespace kestrun {

class ServerConfig;

// What a run of the list-box script is given.
struct ListBoxScriptCall {
  const JobDefinition& job;
  const std::vector<std::string>& arguments;
  std::string_view node;
  int32_t clientProcessId = 0;
  std::string_view user;
  const std::vector<std::string>& environment;  // NAME=value entries
};

// ListBoxRowSource (filled by GetListBoxValuesFromScript, dialogs/value_scripts.h): the output
// lines of the job's list-box script (as written, one row each), or nullopt when the job has none
// or it failed.
using ListBoxRowSource =
    std::function<std::optional<std::vector<std::string>>(const ListBoxScriptCall&)>;

struct DialogSources {
  // Left empty, the list box gets no rows.
  ListBoxRowSource getListBoxValuesFromScript;
  // The menu label of job `name` (its title, or its name when it has none)
  // when the job exists and `user` may run it; nullopt otherwise. Left empty,
  // no right-click entry gets a command.
  std::function<std::optional<std::string>(std::string_view name, std::string_view user)> menuJob;
};

// The menuJob seam answered from the live configuration (FindJobForUser).
std::function<std::optional<std::string>(std::string_view, std::string_view)> MenuJobsOf(
    const ServerConfig& config);

struct DialogInput {
  const JobDefinition& job;
  const std::vector<FieldDefinition>& fields;  // in dialog order, values as written
  const std::vector<std::string>& lines;       // the definition, cut into lines
  const std::vector<std::string>& arguments;
  std::string_view node;
  int32_t clientProcessId = 0;
  std::string_view user;
  const std::vector<std::string>& environment;  // NAME=value entries
};

// The whole script; never empty. `config` is used for logging only.
std::string GenerateDialogScript(const ServerConfig& config, const DialogInput& input,
                                 const DialogSources& sources);

}  // namespace kestrun
