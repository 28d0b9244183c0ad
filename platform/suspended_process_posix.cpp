#include "platform/suspended_process.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

#include "platform/c_strings_posix.h"
#include "platform/pipe.h"

namespace kestrun {

namespace {

// A close-on-exec copy of `fd` at or above `floor`.
int Lift(int fd, int floor) {
  return ::fcntl(fd, F_DUPFD_CLOEXEC, floor);
}

// The child between fork and exec: only async-signal-safe calls.
[[noreturn]] void RunChild(const std::vector<int>& sources, int gate, int status, int gateWrite,
                           int statusRead, bool newGroup, const char* program, char* const* argv,
                           char* const* envp) {
  // The launcher's ends: held here they would keep the child's own pipes open.
  ::close(gateWrite);
  ::close(statusRead);
  if (newGroup) ::setpgid(0, 0);
  const int count = static_cast<int>(sources.size());
  for (int i = 0; i < count; ++i) {
    if (sources[i] >= 0) {
      ::dup2(sources[i], i);
    } else {
      const int null = ::open("/dev/null", O_RDWR);
      if (null != i && null >= 0) {
        ::dup2(null, i);
        ::close(null);
      }
    }
  }
  struct sigaction def {};
  def.sa_handler = SIG_DFL;
  for (int s = 1; s < NSIG; ++s) ::sigaction(s, &def, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  // Hold until the launcher writes its byte (or is gone: end of file).
  char byte;
  while (::read(gate, &byte, 1) < 0 && errno == EINTR) {
  }
  ::execve(program, argv, envp);
  const int error = errno;
  (void)!::write(status, &error, sizeof error);
  ::_exit(127);
}

}  // namespace

int SuspendedStart::Resume() {
  // A byte rather than the close alone: another child forked meanwhile may
  // hold a copy of this end until it execs.
  const char go = 1;
  ssize_t sent;
  do {
    sent = ::write(gate_.get(), &go, 1);
  } while (sent < 0 && errno == EINTR);
  gate_.Reset();
  int error = 0;
  ssize_t n;
  do {
    n = ::read(execStatus_.get(), &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  execStatus_.Reset();
  return n == static_cast<ssize_t>(sizeof error) ? error : 0;
}

std::optional<SuspendedStart> LaunchSuspended(const LaunchOptions& options, int* error) {
  std::string program = options.program;
  if (program.find('/') == std::string::npos) {
    std::optional<std::string> found = FindProgram(program, options.searchPath, error);
    if (!found) return std::nullopt;
    program = std::move(*found);
  }
  std::optional<Pipe> gate = CreatePipe(error), status = CreatePipe(error);
  if (!gate || !status) return std::nullopt;
  const int count = static_cast<int>(options.descriptors.size());
  // Every descriptor the child uses sits above the range it fills, so no dup2
  // overwrites a source; all are close-on-exec and vanish at exec.
  std::vector<UniqueFd> lifted;
  std::vector<int> sources;
  for (int fd : options.descriptors) {
    if (fd < 0) {
      sources.push_back(-1);
      continue;
    }
    lifted.emplace_back(Lift(fd, count));
    if (!lifted.back()) {
      *error = errno;
      return std::nullopt;
    }
    sources.push_back(lifted.back().get());
  }
  UniqueFd gateRead(Lift(gate->read.get(), count)), statusWrite(Lift(status->write.get(), count));
  if (!gateRead || !statusWrite) {
    *error = errno;
    return std::nullopt;
  }
  gate->read.Reset();
  status->write.Reset();
  std::vector<char*> argv = CStrings(options.arguments);
  std::vector<char*> envp = CStrings(options.environment);
  const pid_t pid = ::fork();
  if (pid < 0) {
    *error = errno;
    return std::nullopt;
  }
  if (pid == 0) {
    RunChild(sources, gateRead.get(), statusWrite.get(), gate->write.get(), status->read.get(),
             options.newProcessGroup, program.c_str(), argv.data(), envp.data());
  }
  // Also from the parent, so the group exists before anyone signals it.
  if (options.newProcessGroup) ::setpgid(pid, pid);
  return SuspendedStart(Process(pid), std::move(gate->write), std::move(status->read));
}

}  // namespace kestrun
