// kesclient: the reference command-line client of KestrunServer.
#include <limits.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/client_config.h"
#include "client/text_escape.h"
#include "protocol/socket.h"
#include "tools/kesclient/dialog.h"
#include "tools/kesclient/dock.h"
#include "tools/kesclient/history.h"
#include "tools/kesclient/requests.h"
#include "tools/kesclient/run_job.h"

namespace {

using namespace kestrun::client;

constexpr int kExitUsage = 2;
constexpr int kExitNoServer = 3;
constexpr int kExitRefused = 4;
constexpr int kExitInterrupted = 130;
constexpr int kExitOutputClosed = 141;

const char kUsage[] =
    "usage: kesclient [-s SERVER] [-p PORT] [-u USER] [-n NODE] [-T] COMMAND [ARG...]\n"
    "\n"
    "commands:\n"
    "  run JOB [ARG...]  run JOB with the given arguments; standard input goes to the\n"
    "                    job, its output comes back as it is written; the exit status\n"
    "                    is the job's exit code\n"
    "  jobs              list the jobs you may run, with their help text\n"
    "  active            list the running jobs\n"
    "  dialog [-eval TCL] [-nd] [-y] [--trust-server] JOB [ARG...]\n"
    "                    show JOB's dialog and run the job with what was entered\n"
    "                    (needs a display); -eval runs TCL in the dialog once it\n"
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
    "  history [JOB] [-n N] [--user USER] [--json]\n"
    "                    the newest N (default 20) runs recorded by the server, of\n"
    "                    the jobs you may run: ID, JOB, USER@NODE, STARTED, DURATION,\n"
    "                    RESULT; --json: one JSON object per line\n"
    "  output ID         the output the server kept of run ID, standard output and\n"
    "                    standard error as they came\n"
    "\n"
    "options:\n"
    "  -s SERVER  server host, or the name of a server stanza in the kestrun.conf\n"
    "             beside this program (default localhost)\n"
    "  -p PORT    server port (default: the stanza's port, else the global port of\n"
    "             that kestrun.conf)\n"
    "  -u USER    user name to run as (default: your login name)\n"
    "  -n NODE    node name to report (default: this host's name)\n"
    "  -T         never run the job under the terminal wrapper\n"
    "  -h         show this help\n"
    "\n"
    "Ctrl+C while a job that allows stopping runs asks the server to stop it; a\n"
    "second Ctrl+C leaves at once.\n"
    "\n"
    "exit status: the job's exit code (run, dialog), 0 (other commands), 2 usage error\n"
    "or no display, 3 server unreachable or connection failed, 4 refused by the server,\n"
    "5 dialog cancelled, 6 the dialog failed, 130 interrupted, 141 the job's output\n"
    "could not be written (its reader went away)\n";

std::string ProgramDirectory() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  std::string p(path, static_cast<size_t>(n));
  const auto slash = p.rfind('/');
  return slash == std::string::npos ? "." : p.substr(0, slash);
}

std::string LoginName() {
  if (const char* u = std::getenv("USER"); u && *u) return u;
  if (passwd* pw = ::getpwuid(::getuid())) return pw->pw_name;
  return "unknown";
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

// Refusals carry the server's text: printed escaped like every other text
// from it.
int Fail(const std::string& message, int status) {
  std::fprintf(stderr, "kesclient: %s\n", EscapeControlCharacters(message).c_str());
  return status;
}

// Ctrl+C handling on a thread of its own: the first interrupt of a stoppable
// job asks the server to stop it, any other interrupt leaves.
class InterruptWatcher {
 public:
  explicit InterruptWatcher(ServerAddress server) : server_(std::move(server)) {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    std::thread([this] { Watch(); }).detach();
  }
  void SetStopId(uint32_t id) {
    std::lock_guard lock(mutex_);
    stopId_ = id;
  }

 private:
  void Watch() {
    for (;;) {
      int sig = 0;
      if (sigwait(&set_, &sig) != 0) continue;
      uint32_t id;
      {
        std::lock_guard lock(mutex_);
        id = std::exchange(stopId_, 0);
      }
      if (sig == SIGINT && id != 0) {
        std::fputs("kesclient: asking the server to stop the job\n", stderr);
        if (SendStop(server_, id)) continue;
      }
      std::_Exit(kExitInterrupted);
    }
  }
  ServerAddress server_;
  sigset_t set_;
  std::mutex mutex_;  // guards stopId_
  uint32_t stopId_ = 0;
};

// Lives until the process ends: its thread may still see a late signal.
// Made before any other thread, so that every thread keeps the interrupts
// blocked and only the watcher takes them.
InterruptWatcher& Watcher(const ServerAddress& server) {
  static InterruptWatcher watcher(server);
  return watcher;
}

int RunCommand(const ServerAddress& server, const RunRequest& request, int inputFd, int outFd,
               int errFd) {
  InterruptWatcher& watcher = Watcher(server);
  const RunOutcome out = RunJob(server, request, inputFd, outFd, errFd,
                                [&](const StartHeader& h) { watcher.SetStopId(h.stopId); });
  switch (out.kind) {
    case RunOutcome::Kind::Ran:
      return out.exitCode;
    case RunOutcome::Kind::Refused:
      return Fail(out.message, kExitRefused);
    case RunOutcome::Kind::OutputClosed:
      // A closed pipe ends the client quietly, with the status a shell
      // reports for a program ended by SIGPIPE.
      if (out.message != std::strerror(EPIPE))
        std::fprintf(stderr, "kesclient: cannot write the job's output: %s\n", out.message.c_str());
      return kExitOutputClosed;
    case RunOutcome::Kind::Failed:
      break;
  }
  return Fail(out.message, kExitNoServer);
}

}  // namespace

int main(int argc, char** argv) {
  // Only what a command needs is looked up: -h reads no file, and the user,
  // node and configuration are found only when the options do not give them.
  std::string serverOption;
  int portOption = 0;
  RunRequest request;
  bool userGiven = false;
  bool nodeGiven = false;
  int opt;
  while ((opt = ::getopt(argc, argv, "+s:p:u:n:Th")) != -1) {
    switch (opt) {
      case 's':
        serverOption = optarg;
        break;
      case 'p':
        portOption = std::atoi(optarg);
        break;
      case 'u':
        request.user = optarg;
        userGiven = true;
        break;
      case 'n':
        request.node = optarg;
        nodeGiven = true;
        break;
      case 'T':
        request.noTerminal = true;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        return 0;
      default:
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
  }
  if (optind >= argc) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  // A -p without -s names the server fully; otherwise -s may name a stanza
  // and the port may come from the file.
  const bool needConfig = portOption <= 0 || !serverOption.empty();
  const ClientConfig config =
      needConfig ? LoadClientConfig(ProgramDirectory() + "/kestrun.conf") : ClientConfig{};
  const ServerAddress server = ResolveServer(config, serverOption, portOption);
  if (server.port <= 0) return Fail("no server port: use -p PORT", kExitUsage);
  const std::string command = argv[optind++];
  kestrun::net::StartSockets();
  std::string failure;

  // The job and its arguments, and who asks where they were not given.
  const auto nameJob = [&](RunRequest& r, char** first, char** last) {
    r.job = *first;
    r.args.assign(first + 1, last);
    if (!userGiven) r.user = LoginName();
    if (!nodeGiven) r.node = HostName();
    r.processId = static_cast<int32_t>(::getpid());
  };

  if (command == "run") {
    if (optind >= argc) return Fail("run: which job?", kExitUsage);
    nameJob(request, argv + optind, argv + argc);
    return RunCommand(server, request, STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO);
  }
  if (command == "dialog") {
    DialogOptions options;
    for (; optind < argc && argv[optind][0] == '-'; ++optind) {
      const std::string option = argv[optind];
      if (option == "--") {
        ++optind;
        break;
      }
      if (option == "-nd") {
        options.noDialog = true;
      } else if (option == "-y") {
        options.assumeYes = true;
      } else if (option == "--trust-server") {
        options.trustServer = true;
      } else if (option == "-eval" && optind + 1 < argc) {
        options.eval = argv[++optind];
      } else {
        return Fail("dialog: unknown option " + option, kExitUsage);
      }
    }
    if (optind >= argc) return Fail("dialog: which job?", kExitUsage);
    nameJob(request, argv + optind, argv + argc);
    Watcher(server);
    return DialogCommand(server, request, options, [&](RunRequest& r, int in, int out, int err) {
      return RunCommand(server, r, in, out, err);
    });
  }
  if (command == "jobs") {
    auto jobs = ListJobs(server, userGiven ? request.user : LoginName(), &failure);
    if (!jobs) return Fail(failure, kExitNoServer);
    // Every text from the server is shown with its control characters escaped.
    for (const JobHelp& j : *jobs) {
      std::printf("%-20s %s\n", EscapeControlCharacters(j.name).c_str(),
                  EscapeControlCharacters(j.helpText).c_str());
    }
    return 0;
  }
  if (command == "active") {
    auto jobs = ListActiveJobs(server, &failure);
    if (!jobs) return Fail(failure, kExitNoServer);
    for (const ActiveJob& j : *jobs) {
      const std::time_t start = j.startTime;
      char when[32];
      std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", std::localtime(&start));
      // The user name is whatever the running job's client claimed.
      std::printf("%-20s %-8d %-12s %s %s\n", EscapeControlCharacters(j.name).c_str(), j.processId,
                  EscapeControlCharacters(j.user).c_str(), when,
                  EscapeControlCharacters(j.lockValue).c_str());
    }
    return 0;
  }
  if (command == "echo") {
    const int32_t value = optind < argc ? std::atoi(argv[optind]) : 1;
    auto answer = Echo(server, value, &failure);
    if (!answer) return Fail(failure, kExitNoServer);
    std::printf("%d\n", *answer);
    return 0;
  }
  if (command == "dock" || command == "menu") {
    const DockIdentity who{request.user, request.node};
    const std::vector<std::string> rest(argv + optind, argv + argc);
    return command == "dock" ? DockCommand(server, who, rest) : MenuCommand(server, who, rest);
  }
  if (command == "history" || command == "output") {
    const HistoryContext who{userGiven ? request.user : LoginName(),
                             nodeGiven ? request.node : HostName(), kExitUsage, kExitNoServer,
                             kExitRefused};
    const std::vector<std::string> rest(argv + optind, argv + argc);
    return command == "history" ? HistoryCommand(server, who, rest)
                                : OutputCommand(server, who, rest);
  }
  std::fprintf(stderr, "kesclient: unknown command %s\n", command.c_str());
  std::fputs(kUsage, stderr);
  return kExitUsage;
}
