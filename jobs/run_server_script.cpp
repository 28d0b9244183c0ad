#include "jobs/run_server_script.h"

#include <array>
#include <cassert>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/safe_format.h"
#include "base/text.h"
#include "config/server_config.h"
#include "jobs/job_running_rule.h"
#include "jobs/preload.h"
#include "jobs/run_recording.h"
#include "jobs/script_environment.h"
#include "launch/command_line.h"
#include "launch/execute.h"
#include "platform/error_text.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "protocol/messages/run.h"
#include "protocol/run_stream.h"
#include "protocol/transport.h"

namespace kestrun {

namespace {

constexpr std::chrono::milliseconds kNoTimeout{-1};
constexpr const char* kDefaultTitle = "Kestrun";
// The system's text for E2BIG, written out so that the reply and the log
// read the same on every platform.
constexpr const char* kArgumentListTooLong = "Argument list too long";

using messages::RunScriptRan;
using messages::RunScriptRefused;
using RunRequest = messages::RunServerScriptRequest;

// The console lines of a request go to standard output whatever the log
// does. They are gathered and written with one call when the request has been
// read (or abandoned), so lines of concurrent requests do not mix and a run
// costs one write, not ten.
class ConsoleLines {
 public:
  ConsoleLines() = default;
  ConsoleLines(const ConsoleLines&) = delete;
  ConsoleLines& operator=(const ConsoleLines&) = delete;
  ~ConsoleLines() { Flush(); }

  __attribute__((format(printf, 2, 3))) void Add(const char* format, ...) {
    va_list args;
    va_start(args, format);
    text_ += SafeStringPrintfV(format, args);
    va_end(args);
  }
  void Flush() {
    if (text_.empty()) return;
    std::fwrite(text_.data(), 1, text_.size(), stdout);
    std::fflush(stdout);
    text_.clear();
  }

 private:
  std::string text_;
};

// Sends run-stream bytes on the connection; 0 or the system's error code.
template <size_t N>
int SendBytes(SocketHandle socket, const std::array<unsigned char, N>& bytes) {
  const SendPiece piece{bytes.data(), bytes.size()};
  return net::SendAll(socket, {&piece, 1});
}

// A zero start header and the end word: the job was not started.
void SendRefusalBytes(SocketHandle socket) {
  SendBytes(socket, runstream::RefusalBytes());
}
// The job is not started: the refusal bytes, then the refusal.
void Refuse(RequestContext& rc, const RunScriptRefused& refusal) {
  SendRefusalBytes(rc.socket);
  refusal.Encode(rc.reply);
}
void SendEndWord(SocketHandle socket) {
  SendBytes(socket, runstream::EncodeWord(0));
}

runstream::StartHeader StartHeaderOf(const JobDefinition& job) {
  return {static_cast<uint32_t>(job.stdoutMode), static_cast<uint32_t>(job.stderrMode),
          job.allowStop ? CurrentThreadId() : 0u, job.systemTray ? 1u : 0u,
          job.systemTray && job.systemTrayHold ? 1u : 0u};
}

bool ShowsOnTerminal(StreamMode mode) {
  return mode == StreamMode::Display || mode == StreamMode::Report;
}

// The terminal wrapper makes sense only where the client shows the stream as
// it arrives, and the client may ask to go without it.
bool UseTerminal(const JobDefinition& job, bool noTerminal) {
  return job.useTty && !noTerminal &&
         (ShowsOnTerminal(job.stdoutMode) || ShowsOnTerminal(job.stderrMode));
}

// The request's console lines, in field order.
void ShowRequest(const RunRequest& r, ConsoleLines& console) {
  console.Add("ProgramID=[%s] ClientUserName=[%s]\n", r.programId.c_str(), r.clientUser.c_str());
  console.Add("NumParams=%zu\n", r.parameters.size());
  for (const std::string& parameter : r.parameters) console.Add("Param=[%s]\n", parameter.c_str());
  console.Add("Doing the KESFIELD and Passed Stuff\n");
  console.Add("Done all that, looking for Node Name and what not\n");
  console.Add("NodeName=[%s] ClientPID=%d\n", r.clientNode.c_str(), r.clientProcessId);
  console.Add("StandardInFileName=[%s]\n", r.stdinFileName.c_str());
}

// The dialog blocks into the run's environment, then the request's own KES
// variables, which therefore win over anything a block sent under their names.
void SetRunVariables(const RunRequest& r, EnvironmentBlock& env, ClientVariableFilter& filter) {
  SetDialogBlocks(r.blocks, env, filter);
  SetVariable(env, "KESDIALOGNAME", r.programId);
  SetVariable(env, "KESJOBNAME", r.programId);
  SetVariable(env, "KESSTDINFILENAME", r.stdinFileName);
  SetVariable(env, "KESCLIENTNODENAME", r.clientNode);
  SetVariable(env, "KESCLIENTUSERNAME", r.clientUser);
  SetVariable(env, "KESREASON", "SCRIPT");
  SetVariable(env, "KESCURRENTFIELD", "");
  SetVariable(env, "KESCHANGEDFIELD", "");
}

void CommunicationFailure(const ServerConfig& config, const RunRequest& r) {
  LogMessage(config, "%s@%s - Communication failure with client", r.clientUser.c_str(),
             r.clientNode.c_str());
}

// The run's record in the history: `arguments` without the program path.
history::RunStart RecordStart(const RequestContext& rc, const RunRequest& r,
                              const std::vector<std::string>& arguments, const JobDefinition* job,
                              const EnvironmentBlock& env) {
  history::RunStart start;
  start.job = r.programId;
  start.user = r.clientUser;
  start.node = r.clientNode;
  start.address = AddressText(rc.peerAddress);
  if (rc.origin != nullptr) start.origin = rc.origin;
  start.arguments = arguments;
  start.fields = RecordedFields(job, env.entries());
  start.listBox = RecordedListBox(env);
  return start;
}

// Starts the job that passed every check and answers with its outcome.
// `arguments` holds the program path in element 0.
void StartJob(RequestContext& rc, const RunRequest& r, const JobDefinition& job,
              const std::vector<std::string>& arguments, const EnvironmentBlock& env) {
  const ServerConfig& config = *rc.server.config;
  const char* user = r.clientUser.c_str();
  const char* node = r.clientNode.c_str();
  const char* program = arguments[0].c_str();
  // A client that is already gone gets no job: nobody would see it run.
  if (SendBytes(rc.socket, runstream::EncodeStartHeader(StartHeaderOf(job))) != 0)
    return CommunicationFailure(config, r);
  if (job.systemTray) {
    // The tray client says when it is ready; the value does not matter.
    unsigned char ready[4];
    try {
      ReadExactly(rc.socket, ready, sizeof ready, kNoTimeout);
    } catch (const DecodeFailure&) {
      return CommunicationFailure(config, r);
    }
  }
  const bool useTerminal = UseTerminal(job, r.noTerminal);
  LogMessage(config, "%s@%s Executing Script \"%s\"", user, node, program);
  ExecutionContext execution{*rc.server.runningJobs, rc.server.runHooks};
  RunDescription run;
  run.jobName = job.name;
  run.lockValue = LockValueOf(job.lockParameter, arguments);
  run.preload = !job.preload.empty();
  run.clientNode = r.clientNode;
  run.clientProcessId = static_cast<uint32_t>(r.clientProcessId);
  run.clientUser = r.clientUser;
  run.useTerminal = useTerminal;
  run.arguments = arguments;
  run.environment = env.entries();
  RunRecording recording(
      rc.server.history,
      RecordStart(rc, r, std::vector<std::string>(arguments.begin() + 1, arguments.end()), &job,
                  env),
      StartHeaderOf(job).stopId);
  run.outputTap = recording.tap();
  if (rc.server.notifyJobState || rc.runStarted) {
    run.stateChanged = [&rc, &job, &recording](bool started) {
      if (rc.server.notifyJobState) rc.server.notifyJobState(job, started);
      if (started && rc.runStarted) rc.runStarted(recording.id());
    };
  }
  const RunOutcome out = Execute(execution, run, rc.socket);
  recording.Finish(out, out.result != 0 && out.result != kStreamFailure
                            ? RunScriptRefused::LaunchFailed(SystemErrorText(out.result)).message
                            : std::string());
  if (out.result == 0) {
    LogMessage(config, "%s@%s Script \"%s\" exits code %d", user, node, program, out.exitStatus);
    SendEndWord(rc.socket);
    RunScriptRan{out.exitStatus, job.title.empty() ? kDefaultTitle : job.title}.Encode(rc.reply);
    return;
  }
  if (out.result == kStreamFailure) return CommunicationFailure(config, r);
  const std::string error = SystemErrorText(out.result);
  SendEndWord(rc.socket);
  RunScriptRefused::LaunchFailed(error).Encode(rc.reply);
  LogMessage(config, "%s@%s - failed to execute script \"%s\" - %s", user, node, program,
             error.c_str());
}

}  // namespace

void RunServerScript(RequestContext& rc) {
  assert(rc.server.config != nullptr && rc.server.runningJobs != nullptr);
  const ServerConfig& config = *rc.server.config;
  ConsoleLines console;
  console.Add("In RunServerScript\n");
  RunRequest r = RunRequest::Decode(rc.request);
  r.programId = UpperCase(r.programId);
  ShowRequest(r, console);

  bool denied = false;
  const std::optional<JobDefinition> job =
      FindJobForUser(config, r.programId, r.clientUser, &denied);
  // The job's own parameters come first, then the client's; element 0 is
  // reserved for the program path.
  std::vector<std::string> arguments;
  if (job) arguments = job->params;
  arguments.insert(arguments.end(), r.parameters.begin(), r.parameters.end());
  JobRunRefusal refusal;
  if (job) refusal = CheckJobRunningRules(*job, arguments, *rc.server.runningJobs);

  EnvironmentBlock env = BuildScriptEnvironment(config, job ? &*job : nullptr);
  ClientVariableFilter filter(env);
  SetRunVariables(r, env, filter);
  console.Flush();
  for (const std::string& refused : filter.refused()) {
    LogMessage(config, "%s@%s - list-box variable %s refused", r.clientUser.c_str(),
               r.clientNode.c_str(), refused.c_str());
  }
  const char* user = r.clientUser.c_str();
  const char* node = r.clientNode.c_str();
  const char* name = r.programId.c_str();
  history::RunHistory* const history = rc.server.history;
  auto refused = [&](const char* outcome, const std::string& message) {
    RecordRefusedRun(history, RecordStart(rc, r, arguments, job ? &*job : nullptr, env), outcome,
                     message);
  };
  if (filter.tooMany()) {
    LogMessage(config, "%s@%s could not invoke job \"%s\" - %s", user, node, name,
               kTooManyListBoxVariables);
    refused(history::kRefused, kTooManyListBoxVariables);
    return Refuse(rc, {kTooManyListBoxVariables});
  }
  // Bounded while it runs: a parameter that names a long variable many times
  // would otherwise take all the server's memory before the launch failed.
  std::optional<std::vector<std::string>> expanded =
      ExpandArguments(arguments, env.entries(), ArgumentSpaceLimit());
  if (!expanded) {
    LogMessage(config, "%s@%s could not invoke job \"%s\" - %s", user, node, name,
               kArgumentListTooLong);
    const RunScriptRefused tooLong = RunScriptRefused::LaunchFailed(kArgumentListTooLong);
    refused(history::kLaunchFailed, tooLong.message);
    return Refuse(rc, tooLong);
  }
  arguments = std::move(*expanded);

  if (refusal.refused) {
    LogMessage(config, "%s@%s could not invoke job \"%s\" - denied due to Deny/Allow job", user,
               node, name);
    const std::string message = RefusalMessage(refusal, r.clientUser, r.clientNode, r.programId);
    refused(history::kRefused, message);
    return Refuse(rc, {message});
  }
  if (!job) {
    if (denied)
      LogMessage(config, "%s@%s could not invoke job \"%s\" - denied by group permission", user,
                 node, name);
    else
      LogMessage(config, "%s@%s attempts to invoke job \"%s\" - job does not exist", user, node,
                 name);
    const RunScriptRefused notFound = RunScriptRefused::JobNotFound();
    refused(denied ? history::kDenied : history::kRefused, notFound.message);
    return Refuse(rc, notFound);
  }
  LogMessage(config, "%s@%s invoking job \"%s\"", user, node, name);
  if (job->program.empty()) {
    LogMessage(config, "%s@%s No Program directive for Job \"%s\" in kestrun.conf", user, node,
               name);
    // A job without a program has no use for the program preloaded for it.
    KillPreload(rc.server, r.clientNode, static_cast<uint32_t>(r.clientProcessId));
    SendRefusalBytes(rc.socket);
    RunScriptRan{0, job->title}.Encode(rc.reply);
    return;
  }
  arguments.insert(arguments.begin(), job->program);
  StartJob(rc, r, *job, arguments, env);
}

}  // namespace kestrun
