// The system's service manager (systemd): writing and removing a unit file,
// asking the manager to reload or enable units, and telling it the state of
// the service this process runs as.
//
// Every call may be made from any thread. Implemented in
// service_manager_posix.cpp.
#pragma once

#include <string>
#include <vector>

namespace kestrun {

// Creates the file at `path` with `text`, failing with EEXIST when it exists
// already. Returns 0 or the system's error code.
int CreateNewFile(const std::string& path, const std::string& text);

// True when the system was booted with systemd as its service manager.
bool ServiceManagerRunning();

// Runs "systemctl ARGS..." and waits for it; its exit code, or -1 when it
// could not be started.
int RunServiceControl(const std::vector<std::string>& arguments);

// Sends a state text ("READY=1", "STOPPING=1", "STATUS=...") to the service
// manager over the notify socket it gave this process. Returns >0 when sent,
// 0 when the process has no notify socket, a negative error code otherwise.
int NotifyServiceManager(const std::string& state);

}  // namespace kestrun
