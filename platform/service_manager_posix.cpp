// systemd as the service manager: the service is a unit file, the process
// tells systemd its state over the notify socket systemd gave it (Type=notify),
// and systemd stops it with SIGTERM.
#include "platform/service_manager.h"

#include <fcntl.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/filesystem.h"
#include "platform/job_files.h"
#include "platform/process.h"
#include "platform/this_process.h"
#include "platform/unique_fd.h"

namespace kestrun {

namespace {

constexpr const char* kSystemUnitFolder = "/etc/systemd/system";

// Creates the file at `path` with `text`, failing with EEXIST when it exists
// already. Returns 0 or the system's error code.
int CreateNewFile(const std::string& path, const std::string& text) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!fd) return errno;
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      ::unlink(path.c_str());  // never leave half a unit behind
      return error;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

// True when the system was booted with systemd as its service manager.
bool ServiceManagerRunning() {
  return sd_booted() > 0;
}

// Runs "systemctl ARGS..." and waits for it; its exit code, or -1 when it
// could not be started.
int RunServiceControl(const std::vector<std::string>& arguments) {
  LaunchOptions options;
  options.program = "systemctl";
  options.arguments.push_back("systemctl");
  options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
  options.environment = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
  options.descriptors = {kInvalidFile, 1, 2};
  options.searchPath = "/usr/sbin:/usr/bin:/sbin:/bin";
  int error = 0;
  std::optional<Process> process = LaunchProcess(options, &error);
  if (!process) return -1;
  const ProcessEnd end = process->Reap();
  return end.signaled || end.waitError != 0 ? -1 : end.code;
}

// The systemd directory is reloaded and the unit enabled or disabled there;
// another folder (for tests and staging) is only written.
bool ManagedFolder(const ServiceDefinition& service) {
  return service.unitFolder.empty() && ServiceManagerRunning();
}

std::string FolderOf(const ServiceDefinition& service) {
  return service.unitFolder.empty() ? kSystemUnitFolder : service.unitFolder;
}

}  // namespace

ServiceChange InstallSystemService(const ServiceDefinition& service) {
  const std::string folder = FolderOf(service);
  const std::optional<FileStatus> status = GetFileStatus(folder);
  if (!status) return {ServiceStep::kNoUnitFolder, folder, ENOENT};
  if (status->isRegular) return {ServiceStep::kUnitFolderIsFile, folder, ENOTDIR};
  const std::string unit = folder + "/" + service.name + ".service";
  const int error = CreateNewFile(unit, service.unitText);
  if (error == EEXIST) return {ServiceStep::kCreateFailed, unit, error};
  if (error != 0) return {ServiceStep::kUnitNotWritten, unit, error};
  if (ManagedFolder(service)) {
    RunServiceControl({"daemon-reload"});
    RunServiceControl({"enable", service.name + ".service"});
  }
  return {};
}

ServiceChange RemoveSystemService(const ServiceDefinition& service) {
  const std::string folder = FolderOf(service);
  const std::optional<FileStatus> status = GetFileStatus(folder);
  if (!status || status->isRegular) return {ServiceStep::kNoManager, folder, ENOTDIR};
  const std::string unit = folder + "/" + service.name + ".service";
  if (!GetFileStatus(unit)) return {ServiceStep::kNotInstalled, unit, ENOENT};
  if (ManagedFolder(service)) RunServiceControl({"disable", service.name + ".service"});
  if (!RemoveFile(unit)) return {ServiceStep::kDeleteFailed, unit, errno};
  if (ManagedFolder(service)) RunServiceControl({"daemon-reload"});
  return {};
}

bool RunUnderServiceManager(const ServiceDefinition&, const std::function<void()>& serve,
                            const std::function<void()>&) {
  // Type=notify units get a notify socket; without one there is no service
  // manager to serve under. Only the main thread runs at this point, so the
  // environment is read directly.
  const std::optional<std::string> socket = ReadProcessVariable("NOTIFY_SOCKET");
  if (!socket || socket->empty()) return false;
  serve();
  return true;
}

void ReportServiceReady() {
  sd_notify(0, "READY=1");
}

int ReportServiceStopped() {
  const int sent = sd_notify(0, "STOPPING=1");
  return sent < 0 ? -sent : 0;
}

}  // namespace kestrun
