// Running the server as a systemd service: installing and removing its unit
// ("-install", "-uninstall") and running under systemd ("-StartService", the
// argument of the unit's ExecStart).
//
// The unit KestrunServer.service lives in /etc/systemd/system, or in
// $KESTRUN_UNIT_DIR when that is set (then systemd itself is left alone).
// Install and remove report failures on standard output; the program then
// exits with status 0 in every case.
//
// Under systemd (the process was given a notify socket, as Type=notify
// units are) the server serves as from a console, tells systemd once it is
// ready, and takes SIGTERM as the stop request: "Kestrun Service Shutting
// Down", every job killed, STOPPING reported, two seconds for the killed jobs
// when there were any, "Kestrun Service Shut Down", status 0.
#pragma once

#include <string>

namespace kestrun {

struct ServerProcess;

inline constexpr const char* kServiceUnitName = "KestrunServer.service";
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

// True when systemd started this process as a service. When it did, marks
// `process` as a service (its interrupt becomes the stop sequence) and
// returns; the caller then starts the server. From a console: false at once.
bool RunAsService(ServerProcess& process);

// The stop sequence above; ends the process unless STOPPING could not be
// reported (then it logs "Failed to stop service, error=%d" and returns).
void StopService(ServerProcess& process);

// The file name of the program as typed: `argv0` after its last "/" or "\".
std::string ProgramFileName(const std::string& argv0);

}  // namespace kestrun
