// Running the server as a system service: installing it, removing it, and
// running under the service manager ("-install", "-uninstall" and
// "-StartService" on the command line).
//
// Not bound to a service manager yet. Until it is, these behave as they do
// when the service manager cannot be reached: install and remove say so on
// standard output, and running as a service returns at once. In every case
// the program then exits with status 0.
#pragma once

#include <string>

namespace kestrun {

// Installs the service that runs "<homeDirectory>/<programFileName>
// -StartService".
void InstallService(const std::string& homeDirectory, const std::string& programFileName);
void UninstallService();
// Hands the process to the service manager; returns when the service ends
// (at once when the process was not started by the service manager).
void RunAsService();

// The file name of the program as typed: `argv0` after its last "/" or "\".
std::string ProgramFileName(const std::string& argv0);

}  // namespace kestrun
