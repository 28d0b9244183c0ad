// KestrunServer: the job server, its service modes and its administrative
// command line, chosen by the first argument.
//
//   (none)          serve requests on the port of kestrun.conf
//   -install        install the system service (any case)
//   -uninstall      remove it (any case)
//   -StartService   run under the service manager (exactly this case)
//   anything else   administrative command against the running server
#include <cstdio>
#include <string>
#include <vector>

#include "config/text.h"
#include "platform/home_directory.h"
#include "platform/interrupts.h"
#include "protocol/socket.h"
#include "server/environment.h"
#include "server/server_process.h"
#include "server/service.h"

using namespace kestrun;

int main(int argc, char** argv) {
  // Before any thread exists: threads inherit the blocked interrupts, which
  // only the interrupt watcher takes.
  net::StartSockets();
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
    if (EqualsNoCase(args[1], "-uninstall")) {
      UninstallService();
      ExitProcess(0);
    }
    if (args[1] == "-StartService") {
      RunAsService();
      ExitProcess(0);
    }
  }
  StartServer(process, args);
}
