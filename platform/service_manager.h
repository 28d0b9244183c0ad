// The system's service manager: installing and removing the server's service,
// running the process under the manager and telling it the service's state.
//
// One interface over two kinds of manager: systemd, which keeps a service as
// a unit file and stops it with SIGTERM (service_manager_posix.cpp), and the
// Windows service control manager, which keeps a service database and calls
// the process back to stop it (service_manager_win32.cpp).
//
// Install and remove are meant for the main thread of a short-lived command;
// the Report functions may be called from any thread.
#pragma once

#include <functional>
#include <string>

namespace kestrun {

// What the service is and how the manager starts it.
struct ServiceDefinition {
  std::string name;         // the service's name ("KestrunServer")
  std::string displayName;  // the name shown to administrators
  std::string description;
  std::string program;   // full path of the program, "/" or "\" separated
  std::string argument;  // the one argument the manager starts it with
  // Managers that keep services as unit files: the unit's whole text, and the
  // folder to write it to (empty: the system's own folder, after which the
  // manager is told to reload and to enable the unit). A manager with a
  // service database ignores both.
  std::string unitText;
  std::string unitFolder;
};

// How an install or a remove ended.
enum class ServiceStep {
  kDone,
  kNoManager,         // the manager itself could not be opened
  kCreateFailed,      // install: refused, also because the service exists
  kNotInstalled,      // remove: no such service could be opened
  kDeleteFailed,      // remove: the manager refused to delete it
  kNoUnitFolder,      // install (unit files): `subject` does not exist
  kUnitFolderIsFile,  // install (unit files): `subject` is no folder
  kUnitNotWritten,    // install (unit files): `subject` could not be written
};

struct ServiceChange {
  ServiceStep step = ServiceStep::kDone;
  std::string subject;  // the path or name the step concerns
  int error = 0;        // the system's error code, where there is one
};

// Creates the service: own process, started automatically at system start,
// normal error control, run as the local system account, no dependencies.
ServiceChange InstallSystemService(const ServiceDefinition& service);

// Removes the service. kNotInstalled when there is none to remove.
ServiceChange RemoveSystemService(const ServiceDefinition& service);

// Runs this process as the service `service.name` when the service manager
// started it. Returns false at once when it did not (a program started from a
// console). Otherwise `serve` is called on the thread that is to serve, after
// the manager was told that the service runs; `serve` does not return. `stop`
// is called when the manager asks the service to stop, on the manager's
// thread, with serving still going on; it reports the stop with
// ReportServiceStopped. A manager that stops services with a signal (systemd)
// never calls `stop`: the process's interrupt handling does that work. Returns
// true when the manager let go of the process (every service stopped).
bool RunUnderServiceManager(const ServiceDefinition& service, const std::function<void()>& serve,
                            const std::function<void()>& stop);

// Tells the manager that the service serves (systemd: READY=1; the Windows
// manager was told before `serve` was called, so nothing more is sent).
void ReportServiceReady();

// Tells the manager that the service stops (systemd: STOPPING=1; Windows: the
// stopped state, exit code 0). Returns 0, or the system's error code when the
// manager could not be told.
int ReportServiceStopped();

}  // namespace kestrun
