// KestrunServer: the job server, its service modes and its administrative
// command line, chosen by the first argument.
//
//   (none)          serve requests on the port of kestrun.conf
//   -install        install the system service (any case)
//   -uninstall      remove it (any case)
//   -StartService   run under the service manager (exactly this case)
//   -check [FILE]   read kestrun.conf (or FILE) as the server would and print
//                   every problem (any case)
//   anything else   administrative command against the running server
#include <cstdio>
#include <string>
#include <vector>

#include "base/environment.h"
#include "base/text.h"
#include "config/config_reader.h"
#include "platform/home_directory.h"
#include "platform/interrupts.h"
#include "platform/memory.h"
#include "protocol/socket.h"
#include "server/server_process.h"
#include "server/service.h"

using namespace kestrun;

namespace {

// Prints each problem as "FILE:LINE: REASON" on standard output; 0 when
// there is none, 1 otherwise.
int CheckConfig(const std::string& path) {
  const std::vector<ConfigProblem> problems = CheckServerConfig(path);
  for (const ConfigProblem& p : problems) {
    if (p.line > 0)
      std::printf("%s:%d: %s\n", path.c_str(), p.line, p.reason.c_str());
    else
      std::printf("%s: %s\n", path.c_str(), p.reason.c_str());
  }
  if (problems.empty()) std::printf("%s: no problems found\n", path.c_str());
  return problems.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread exists, so that every thread inherits the result:
  // - SIGPIPE is ignored (StartSockets) and also blocked: a client that goes
  //   away, or a job that closes its input while a pump writes to it, shows
  //   as EPIPE on that one write and never ends the server;
  // - SIGINT and SIGTERM are blocked; only the interrupt watcher takes them.
  // - blocks of 512 KB and more (a run's output window and its batches for
  //   the history, at the default cap) go back to the system when freed: the
  //   memory of many runs at once is given back when they end. Smaller ones
  //   stay in the heaps: with 128 KB, blocks that come and go as a run's
  //   output streams at full speed were mapped anew each time, and the
  //   server's CPU for 1 GB through kesclient grew by half.
  // Jobs are launched with default dispositions and an empty mask.
  ReturnLargeBlocksWhenFreed(512 * 1024);
  net::StartSockets();
  BlockBrokenPipeSignal();
  BlockInterruptSignals();
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  const std::string home = HomeDirectory();
  PutEnvLocked("KESTRUNHOME=" + home);
  static ServerProcess process(home);

  if (!GetEnvLocked("KESREASON")) std::fputs("Kestrun Server Version 2.3\n", stdout);

  const std::vector<std::string> args(argv, argv + argc);
  if (args.size() > 1) {
    if (EqualsNoCase(args[1], "-install")) {
      InstallService(home, ProgramFileName(args[0]));
      ExitProcess(0);
    }
    if (EqualsNoCase(args[1], "-check"))
      ExitProcess(CheckConfig(args.size() > 2 ? args[2] : home + "/kestrun.conf"));
    if (EqualsNoCase(args[1], "-uninstall")) {
      UninstallService();
      ExitProcess(0);
    }
    if (args[1] == "-StartService") {
      RunAsService(process, args[0]);
      ExitProcess(0);
    }
  }
  StartServer(process, args);
}
