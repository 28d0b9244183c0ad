#include "platform/service_manager.h"

#include <fcntl.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>

#include "platform/process.h"
#include "platform/unique_fd.h"

namespace kestrun {

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

bool ServiceManagerRunning() {
  return sd_booted() > 0;
}

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

int NotifyServiceManager(const std::string& state) {
  return sd_notify(0, state.c_str());
}

}  // namespace kestrun
