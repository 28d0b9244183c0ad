// kesclient: the reference command-line client of KestrunServer.
//
// main reads the options, finds the server, user and node, and hands over to
// the command's function; each command returns the exit status (see
// exit_status.h).
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/client_config.h"
#include "client/text_escape.h"
#include "platform/home_directory.h"
#include "platform/this_process.h"
#include "protocol/socket.h"
#include "protocol/udp.h"
#include "tools/kesclient/console.h"
#include "tools/kesclient/dialog.h"
#include "tools/kesclient/dock.h"
#include "tools/kesclient/exit_status.h"
#include "tools/kesclient/history.h"
#include "tools/kesclient/listing.h"
#include "tools/kesclient/requests.h"
#include "tools/kesclient/run_job.h"

namespace {

using namespace kestrun::client;

const char kUsage[] =
    "usage: kesclient [-s SERVER] [-p PORT] [-u USER] [-n NODE] [-T] COMMAND [ARG...]\n"
    "\n"
    "commands:\n"
    "  run JOB [ARG...]  run JOB with the given arguments; standard input goes to the\n"
    "                    job, its output comes back as it is written; the exit status\n"
    "                    is the job's exit code\n"
    "  jobs [--json | --names]\n"
    "                    list the jobs you may run, with their help text (--json:\n"
    "                    one JSON object per line; --names: the names alone)\n"
    "  active [--json]   list the running jobs\n"
    "  dialog [-eval TCL] [-nd] [-y] [--trust-server] JOB [ARG...]\n"
    "                    show JOB's dialog and run the job with what was entered\n"
    "                    (needs an X display); -eval runs TCL in the dialog once it\n"
    "                    is built, -nd runs a job without user interface at once,\n"
    "                    -y reads and overwrites the files the server names for\n"
    "                    the job's streams without asking; the server's dialog\n"
    "                    script runs in a safe Tcl interpreter (no files, programs\n"
    "                    or network): --trust-server runs it in a full one, able\n"
    "                    to do anything you can, for a server you trust whose\n"
    "                    dialog scripts need that\n"
    "  echo [VALUE]      check that the server answers\n"
    "  dock [--print] [--port N] [--accept HOST]...\n"
    "                    stay docked and show the server's notifications (--print:\n"
    "                    as lines; --accept: also those sent from HOST, a relay)\n"
    "  menu [--port N]   list the jobs of your tray menu\n"
    "  history [JOB] [-n N] [--user USER] [--json] [--server NAME | --all]\n"
    "                    the newest N (default 20) runs recorded by the server, of\n"
    "                    the jobs you may run: ID, JOB, USER@NODE, STARTED, DURATION,\n"
    "                    RESULT; --json: one JSON object per line; --server, --all:\n"
    "                    from the history the servers share (one server's, every\n"
    "                    server's), with a SERVER column\n"
    "  output [--server NAME] ID\n"
    "                    the output the server kept of run ID, standard output and\n"
    "                    standard error as they came; --server: of server NAME's\n"
    "                    run, from the history the servers share\n"
    "\n"
    "options:\n"
    "  -s SERVER  server host, or the name of a server in client.conf or in the\n"
    "             kestrun.conf beside this program\n"
    "  -p PORT    server port\n"
    "  -u USER    user name to run as (default: client.conf's user, else your\n"
    "             login name)\n"
    "  -n NODE    node name to report (default: client.conf's node, else this\n"
    "             host's name)\n"
    "  -T         never run the job under the terminal wrapper\n"
    "  -h         show this help\n"
    "\n"
    "Without -s and -p the server comes from KESTRUN_SERVER=HOST[:PORT], then from\n"
    "~/.config/kestrun/client.conf, then from the kestrun.conf beside this program\n"
    "(host localhost).\n"
    "\n"
    "Ctrl+C while a job runs asks the server to stop it when the job allows\n"
    "stopping; a second Ctrl+C leaves at once, the job running on.\n"
    "\n"
    "exit status: the job's exit code when a job ran (run, dialog); 0 when another\n"
    "command succeeded; 255 when kesclient itself failed (usage, no display,\n"
    "connection, refusal by the server, dialog cancelled or failed, unreadable\n"
    "reply), standard error saying which; 130 interrupted; 141 the job's output\n"
    "could not be written (its reader went away)\n";

// What the command line says, before any file is read.
struct Options {
  std::string server;  // -s
  int port = 0;        // -p
  std::optional<std::string> user;
  std::optional<std::string> node;
  bool noTerminal = false;
  std::string command;
  std::vector<std::string> args;  // after the command
};

// The server and who asks, once every source was read.
struct Target {
  ServerAddress server;
  std::string user;
  std::string node;
};

// The directory of this program; "." when it cannot be told.
std::string ProgramDirectory() {
  const std::string home = kestrun::HomeDirectory();
  return home.empty() ? "." : home;
}

// Refusals carry the server's text: printed escaped like every other text
// from it.
int Fail(const std::string& message, int status = kExitClientFailure) {
  std::fprintf(stderr, "kesclient: %s\n", EscapeControlCharacters(message).c_str());
  return status;
}

// Reads the options up to the command; none when they are not usable, with
// *status set (0 after -h).
std::optional<Options> ParseOptions(int argc, char** argv, int* status) {
  Options o;
  int opt;
  while ((opt = ::getopt(argc, argv, "+s:p:u:n:Th")) != -1) {
    switch (opt) {
      case 's':
        o.server = optarg;
        break;
      case 'p':
        o.port = std::atoi(optarg);
        break;
      case 'u':
        o.user = optarg;
        break;
      case 'n':
        o.node = optarg;
        break;
      case 'T':
        o.noTerminal = true;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        *status = 0;
        return std::nullopt;
      default:
        std::fputs(kUsage, stderr);
        *status = kExitClientFailure;
        return std::nullopt;
    }
  }
  if (optind >= argc) {
    std::fputs(kUsage, stderr);
    *status = kExitClientFailure;
    return std::nullopt;
  }
  o.command = argv[optind];
  o.args.assign(argv + optind + 1, argv + argc);
  return o;
}

// Only what is needed is read: -p with no -s names the server fully, so no
// kestrun.conf is read then; client.conf may still give the user and node.
Target FindTarget(const Options& o) {
  ServerSources sources;
  sources.serverOption = o.server;
  sources.portOption = o.port;
  if (const char* v = std::getenv("KESTRUN_SERVER"); v && *v)
    sources.variable = ParseServerVariable(v);
  if (const std::string path = UserClientConfigPath(); !path.empty())
    sources.user = LoadUserClientConfig(path);
  if (o.port <= 0 || !o.server.empty())
    sources.beside = LoadClientConfig(ProgramDirectory() + "/kestrun.conf");
  Target t;
  t.server = ResolveServer(sources);
  t.user = o.user ? *o.user : !sources.user.user.empty() ? sources.user.user : LoginName();
  t.node = o.node                       ? *o.node
           : !sources.user.node.empty() ? sources.user.node
                                        : kestrun::net::LocalHostName();
  return t;
}

// Ctrl+C handling on a thread of its own. While a job runs, the first
// interrupt asks the server to stop a stoppable job, or says that the job
// cannot be stopped; any other interrupt, and SIGTERM, leaves at once.
class InterruptWatcher {
 public:
  explicit InterruptWatcher(ServerAddress server) : server_(std::move(server)) {
    WatchInterrupts([this](bool ctrlC) { return ctrlC && FirstInterrupt(); });
  }
  // The job `job` started; stopId 0 when it does not allow stopping.
  void Started(const std::string& job, uint32_t stopId) {
    std::lock_guard lock(mutex_);
    job_ = job;
    stopId_ = stopId;
    running_ = true;
  }
  // The run ended; true when a stop had been asked for.
  bool Ended() {
    std::lock_guard lock(mutex_);
    running_ = false;
    return std::exchange(stopAsked_, false);
  }

 private:
  // Acts on the first interrupt of a run; false when kesclient should leave.
  bool FirstInterrupt() {
    std::unique_lock lock(mutex_);
    if (!running_ || warned_) return false;
    warned_ = true;
    if (stopId_ == 0) {
      std::fprintf(stderr, "kesclient: %s cannot be stopped; Ctrl+C again leaves it running\n",
                   EscapeControlCharacters(job_).c_str());
      return true;
    }
    const uint32_t id = stopId_;
    stopAsked_ = true;
    lock.unlock();  // the stop request talks to the server
    std::fputs("kesclient: stop requested\n", stderr);
    return SendStop(server_, id);
  }

  ServerAddress server_;
  std::mutex mutex_;  // guards the run's state below
  std::string job_;
  uint32_t stopId_ = 0;
  bool running_ = false;
  bool warned_ = false;     // the first interrupt of this process was handled
  bool stopAsked_ = false;  // a stop request went to the server
};

// Lives until the process ends: its thread may still see a late signal.
// Made before any other thread, so that every thread keeps the interrupts
// blocked and only the watcher takes them.
InterruptWatcher& Watcher(const ServerAddress& server) {
  static InterruptWatcher watcher(server);
  return watcher;
}

int RunAndReport(const ServerAddress& server, const RunRequest& request, int inputFd, int outFd,
                 int errFd) {
  InterruptWatcher& watcher = Watcher(server);
  const RunOutcome out = RunJob(server, request, inputFd, outFd, errFd, [&](const StartHeader& h) {
    watcher.Started(request.job, h.stopId);
  });
  const bool stopped = watcher.Ended();
  switch (out.kind) {
    case RunOutcome::Kind::Ran:
      if (out.nothingRan) Fail(request.job + " has no program on the server: nothing ran");
      if (stopped) Fail(request.job + " stopped (exit " + std::to_string(out.exitCode) + ")");
      return out.exitCode;
    case RunOutcome::Kind::Refused:
      return Fail(out.message);
    case RunOutcome::Kind::OutputClosed:
      // A closed pipe ends the client quietly, with the status a shell
      // reports for a program ended by SIGPIPE.
      if (out.message != std::strerror(EPIPE))
        std::fprintf(stderr, "kesclient: cannot write the job's output: %s\n", out.message.c_str());
      return kExitOutputClosed;
    case RunOutcome::Kind::Failed:
      break;
  }
  return Fail(out.message);
}

// The job, its arguments and who asks.
RunRequest JobRequest(const Options& o, const Target& t,
                      std::vector<std::string>::const_iterator job) {
  RunRequest r;
  r.job = *job;
  r.args.assign(job + 1, o.args.end());
  r.user = t.user;
  r.node = t.node;
  r.noTerminal = o.noTerminal;
  r.processId = static_cast<int32_t>(kestrun::CurrentProcessId());
  return r;
}

int RunCommand(const Options& o, const Target& t) {
  if (o.args.empty()) return Fail("run: which job?");
  return RunAndReport(t.server, JobRequest(o, t, o.args.begin()), kStandardInput, kStandardOutput,
                      kStandardError);
}

int DialogCommandLine(const Options& o, const Target& t) {
  DialogOptions options;
  auto at = o.args.begin();
  for (; at != o.args.end() && (*at)[0] == '-'; ++at) {
    if (*at == "--") {
      ++at;
      break;
    }
    if (*at == "-nd") {
      options.noDialog = true;
    } else if (*at == "-y") {
      options.assumeYes = true;
    } else if (*at == "--trust-server") {
      options.trustServer = true;
    } else if (*at == "-eval" && at + 1 != o.args.end()) {
      options.eval = *++at;
    } else {
      return Fail("dialog: unknown option " + *at);
    }
  }
  if (at == o.args.end()) return Fail("dialog: which job?");
  Watcher(t.server);
  return DialogCommand(t.server, JobRequest(o, t, at), options,
                       [&](RunRequest& r, int in, int out, int err) {
                         return RunAndReport(t.server, r, in, out, err);
                       });
}

// The list commands take --json; `jobs` also --names.
std::optional<ListFormat> ListOptions(const std::vector<std::string>& args, bool* names) {
  ListFormat format =
      IsTerminal(kStandardOutput) ? ListFormat::ColumnsWithHeader : ListFormat::Columns;
  for (const std::string& a : args) {
    if (a == "--json") {
      format = ListFormat::Json;
    } else if (a == "--names" && names) {
      *names = true;
    } else {
      return std::nullopt;
    }
  }
  return format;
}

int JobsCommand(const Options& o, const Target& t) {
  bool names = false;
  const std::optional<ListFormat> format = ListOptions(o.args, &names);
  if (!format) return Fail("jobs: takes --json or --names");
  std::string failure;
  auto jobs = ListJobs(t.server, t.user, &failure);
  if (!jobs) return Fail(failure);
  if (names) {
    PrintJobNames(stdout, *jobs);
  } else {
    PrintJobs(stdout, *jobs, *format);
  }
  return 0;
}

int ActiveCommand(const Options& o, const Target& t) {
  const std::optional<ListFormat> format = ListOptions(o.args, nullptr);
  if (!format) return Fail("active: takes --json");
  std::string failure;
  auto jobs = ListActiveJobs(t.server, &failure);
  if (!jobs) return Fail(failure);
  PrintActiveJobs(stdout, *jobs, *format);
  return 0;
}

int EchoCommand(const Options& o, const Target& t) {
  const int32_t value = o.args.empty() ? 1 : std::atoi(o.args.front().c_str());
  std::string failure;
  auto answer = Echo(t.server, value, &failure);
  if (!answer) return Fail(failure);
  std::printf("%d\n", *answer);
  return 0;
}

int DockCommandLine(const Options& o, const Target& t) {
  return DockCommand(t.server, {t.user, t.node}, o.args);
}

int MenuCommandLine(const Options& o, const Target& t) {
  return MenuCommand(t.server, {t.user, t.node}, o.args);
}

// Every failure of `history` and `output` is kesclient's own.
HistoryContext HistoryAsker(const Target& t) {
  return {t.user, t.node, kExitClientFailure, kExitClientFailure, kExitClientFailure};
}

int HistoryCommandLine(const Options& o, const Target& t) {
  return HistoryCommand(t.server, HistoryAsker(t), o.args);
}

int OutputCommandLine(const Options& o, const Target& t) {
  return OutputCommand(t.server, HistoryAsker(t), o.args);
}

struct Command {
  const char* name;
  int (*run)(const Options&, const Target&);
};

constexpr Command kCommands[] = {
    {"run", RunCommand},       {"dialog", DialogCommandLine},   {"jobs", JobsCommand},
    {"active", ActiveCommand}, {"echo", EchoCommand},           {"dock", DockCommandLine},
    {"menu", MenuCommandLine}, {"history", HistoryCommandLine}, {"output", OutputCommandLine},
};

}  // namespace

int main(int argc, char** argv) {
  int status = 0;
  const std::optional<Options> options = ParseOptions(argc, argv, &status);
  if (!options) return status;
  const Command* command = nullptr;
  for (const Command& c : kCommands)
    if (options->command == c.name) command = &c;
  if (command == nullptr) {
    std::fprintf(stderr, "kesclient: unknown command %s\n", options->command.c_str());
    std::fputs(kUsage, stderr);
    return kExitClientFailure;
  }
  const Target target = FindTarget(*options);
  if (target.server.port <= 0) {
    return Fail(
        "no server port: use -p PORT, KESTRUN_SERVER=HOST:PORT, a port in "
        "~/.config/kestrun/client.conf or the port of the kestrun.conf beside kesclient");
  }
  kestrun::net::StartSockets();
  return command->run(*options, target);
}
