// The desktop commands where kesclient has no desktop side: the Windows
// build shows no Tcl/Tk dialogs and has no tray. The commands say where they
// are found instead and fail without asking the server anything.
#include <cstdio>

#include "tools/kesclient/dialog.h"
#include "tools/kesclient/dock.h"
#include "tools/kesclient/exit_status.h"

namespace kestrun::client {

int DialogCommand(const ServerAddress&, const RunRequest&, const DialogOptions&, const JobRunner&) {
  std::fputs(
      "kesclient: dialogs need the Linux client or the web console; this kesclient runs "
      "jobs without a dialog (kesclient run JOB ARG...)\n",
      stderr);
  return kExitClientFailure;
}

int DockCommand(const ServerAddress&, const DockIdentity&, const std::vector<std::string>&) {
  std::fputs("kesclient: docking needs the Linux client or the web console\n", stderr);
  return kExitClientFailure;
}

int MenuCommand(const ServerAddress&, const DockIdentity&, const std::vector<std::string>&) {
  std::fputs("kesclient: the tray menu needs the Linux client or the web console\n", stderr);
  return kExitClientFailure;
}

}  // namespace kestrun::client
