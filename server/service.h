// Running the server as a system service: installing and removing it
// ("-install", "-uninstall") and running under the service manager
// ("-StartService", the argument the installed service starts it with).
// The manager is the system's (platform/service_manager.h): systemd, or the
// Windows service control manager.
//
// Under systemd the unit KestrunServer.service lives in /etc/systemd/system,
// or in $KESTRUN_UNIT_DIR when that is set (then systemd itself is left
// alone). On Windows the service "KestrunServer" ("Kestrun Server") runs
// "<home>\<program> -StartService" as the local system account, started
// automatically. Install and remove report failures on standard output
// ("Could not add service", "CreateService failed.", "Could not remove
// service", "Could not open the Kestrun Service", "Failed to delete the
// Kestrun Service"); the program then exits with status 0.
//
// Under the manager the server serves as from a console and takes the
// manager's stop request (SIGTERM under systemd, the stop control on Windows)
// as: "Kestrun Service Shutting Down", every job killed, the stop reported,
// two seconds for the killed jobs when there were any, "Kestrun Service Shut
// Down", status 0.
#pragma once

#include <string>

namespace kestrun {

struct ServerProcess;

inline constexpr const char* kServiceName = "KestrunServer";
inline constexpr const char* kServiceDisplayName = "Kestrun Server";
inline constexpr const char* kServiceDescription =
    "Allows pre-configured jobs to run on this node on request from Kestrun Clients";

// The unit file's text for the program at "<homeDirectory>/<programFileName>".
std::string ServiceUnitText(const std::string& homeDirectory, const std::string& programFileName);

// A program path ("<homeDirectory>/<programFileName>") holding a byte below
// 0x20 or DEL is refused before anything is written: "Could not add service:
// the program's path "%s" holds a control character" on standard error
// (the path escaped), exit status 1. Other failures are reported on standard
// output and return.
void InstallService(const std::string& homeDirectory, const std::string& programFileName);
void UninstallService();

// Serves as the service when the service manager started this process
// (`argv0` is the program as started): marks `process` as a service and
// starts the server on the manager's serving thread. Returns when the process
// was not started by the manager (from a console: at once), or when the
// manager let go of it; the caller then exits with status 0.
void RunAsService(ServerProcess& process, const std::string& argv0);

// The stop sequence above, up to "Kestrun Service Shut Down"; the caller
// then ends the process with status 0. False when the stop could not be
// reported (logged as "Failed to stop service, error=%d"): the process keeps
// running and the manager decides what happens next.
bool StopService(ServerProcess& process);

// The file name of the program as typed: `argv0` after its last "/" or "\".
std::string ProgramFileName(const std::string& argv0);

}  // namespace kestrun
