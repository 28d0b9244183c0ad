// kes_dialog_preview: prints the dialog script of one job of a kestrun.conf,
// as a client would receive it, so that a dialog can be looked at without a
// server and a client (scripts/screenshot-dialog.sh renders it).
//
//   kes_dialog_preview CONF JOB OUT
//
// The script goes to the file OUT (standard output carries the configuration
// reader's notes).
//
// Field values and choices come from the lists written in kestrun.conf; the
// job's list-box script and dialog script are run, populate scripts are not.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "config/server_config.h"
#include "dialogs/dialog_script.h"
#include "launch/execute.h"

extern char** environ;

using namespace kestrun;

namespace {

// Lines end at a line feed or at a run of carriage returns (a run directly
// followed by a line feed ends one line only).
std::vector<std::string> CutLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' || text[i] == '\r') {
      while (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\r') ++i;
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      lines.push_back(std::move(line));
      line.clear();
    } else {
      line.push_back(text[i]);
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

std::vector<std::string> Environment(const JobDefinition& job, const char* reason) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  env.push_back("KESJOBNAME=" + job.name);
  env.push_back("KESDIALOGNAME=" + job.name);
  env.push_back(std::string("KESREASON=") + reason);
  env.push_back("KESCLIENTNODENAME=preview");
  env.push_back("KESCLIENTUSERNAME=preview");
  return env;
}

std::optional<std::string> Capture(const JobDefinition& job, const std::string& program,
                                   const char* reason) {
  RunningJobTable table;
  ExecutionContext context{table, {}};
  const CaptureOutcome run =
      ExecuteAndCapture(context, {program}, "preview", 0, Environment(job, reason));
  if (run.result != 0 || run.exitStatus != 0) {
    std::cerr << "kes_dialog_preview: " << program << " failed (result " << run.result << ", exit "
              << run.exitStatus << ")\n";
    return std::nullopt;
  }
  return run.capture.stdoutData;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: kes_dialog_preview CONF JOB OUT\n";
    return 2;
  }
  ServerConfig config(argv[1]);
  LoadServerConfig(config);
  const std::optional<JobDefinition> job = FindJobForUser(config, argv[2], std::nullopt);
  if (!job) {
    std::cerr << "kes_dialog_preview: no job " << argv[2] << "\n";
    return 1;
  }
  std::optional<std::string> text;
  if (!job->dialog.empty()) {
    std::ifstream file(job->dialog, std::ios::binary);
    if (!file) {
      std::cerr << "kes_dialog_preview: cannot open " << job->dialog << "\n";
      return 1;
    }
    std::stringstream s;
    s << file.rdbuf();
    text = s.str();
  } else if (!job->dialogScript.empty()) {
    text = Capture(*job, job->dialogScript, "DIALOG");
  }
  if (!text) {
    std::cerr << "kes_dialog_preview: job " << argv[2] << " has no dialog\n";
    return 1;
  }
  DialogSources sources;
  sources.getListBoxValuesFromScript =
      [](const ListBoxScriptCall& call) -> std::optional<std::vector<std::string>> {
    if (call.job.listBoxScript.empty()) return std::nullopt;
    std::optional<std::string> out = Capture(call.job, call.job.listBoxScript, "LISTBOX");
    if (!out) return std::nullopt;
    return CutLines(*out);
  };
  sources.menuJob = MenuJobsOf(config);
  const std::vector<std::string> lines = CutLines(*text), arguments{""};
  const std::vector<std::string> environment = Environment(*job, "DIALOG");
  std::ofstream(argv[3], std::ios::binary) << GenerateDialogScript(
      config,
      DialogInput{*job, job->fields, lines, arguments, "preview", 0, "preview", environment},
      sources);
  return 0;
}
