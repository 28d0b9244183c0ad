#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "platform/c_strings_posix.h"
#include "platform/owned_children.h"
#include "platform/process.h"

namespace kestrun {

OwnedChildren& TheOwnedChildren() {
  // Process-wide by nature, as the kernel's child list it mirrors.
  static OwnedChildren children;
  return children;
}

namespace {

void LeaveOwnedChildren(ProcessId pid) {
  OwnedChildren& owned = TheOwnedChildren();
  std::lock_guard guard(owned.lock);
  const auto it = owned.counts.find(pid);
  if (it != owned.counts.end() && --it->second <= 0) owned.counts.erase(it);
}

}  // namespace

int ExitCodeOf(const ProcessEnd& end, bool killedByServer) {
  if (end.waitError != 0) return -1;
  if (!end.signaled) return end.code;
  return killedByServer ? 1 : 128 + end.code;
}

Process::Process(Process&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), reaped_(std::exchange(other.reaped_, false)) {}

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    KillAndReap();
    pid_ = std::exchange(other.pid_, -1);
    reaped_ = std::exchange(other.reaped_, false);
  }
  return *this;
}

Process::~Process() {
  KillAndReap();
}

void Process::KillAndReap() {
  if (pid_ <= 0 || reaped_) return;
  ::kill(pid_, SIGKILL);
  Reap();
}

static ProcessEnd EndFromSiginfo(const siginfo_t& info) {
  if (info.si_code == CLD_EXITED) return {false, info.si_status};
  return {true, info.si_status};
}

ProcessEnd Process::WaitForEnd() {
  siginfo_t info{};
  // WNOWAIT leaves the child a zombie: its id cannot be reused while the
  // running-job table may still signal it.
  while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) != 0) {
    if (errno == EINTR) continue;
    const int error = errno;
    // ECHILD: the child is not ours to collect any more; nothing is left to
    // reap or to kill under this id.
    if (error == ECHILD) {
      reaped_ = true;
      LeaveOwnedChildren(pid_);
    }
    return {false, 0, error};
  }
  return EndFromSiginfo(info);
}

ProcessEnd Process::Reap() {
  if (pid_ <= 0 || reaped_) return {};
  int status = 0;
  pid_t rc;
  do {
    rc = ::waitpid(pid_, &status, 0);
  } while (rc < 0 && errno == EINTR);
  const int error = errno;
  reaped_ = true;
  LeaveOwnedChildren(pid_);
  if (rc < 0) return {false, 0, error};
  if (WIFSIGNALED(status)) return {true, WTERMSIG(status)};
  return {false, WEXITSTATUS(status)};
}

bool SignalProcess(ProcessId pid, int signal) {
  return pid > 0 && ::kill(pid, signal) == 0;
}

namespace {

bool IsExecutableFile(const std::string& path, int* error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  if (S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0) return true;
  *error = EACCES;
  return false;
}

}  // namespace

size_t ArgumentSpaceLimit() {
  // POSIX guarantees at least 4096; Linux has never reported less than
  // 128 KiB, so a failing sysconf falls back to that.
  const long limit = ::sysconf(_SC_ARG_MAX);
  return limit > 0 ? static_cast<size_t>(limit) : size_t{128} * 1024;
}

std::string_view DefaultSearchPath() {
  return "/usr/local/bin:/usr/bin:/bin";
}

std::optional<std::string> FindProgram(const std::string& name, std::string_view path, int* error) {
  if (path.empty()) path = "/usr/bin:/bin";
  int failure = ENOENT;
  for (;;) {
    const size_t colon = path.find(':');
    // An empty element means the current directory.
    const std::string_view dir = colon == 0 || path.empty() ? "." : path.substr(0, colon);
    std::string candidate = std::string(dir) + "/" + name;
    if (IsExecutableFile(candidate, &failure)) return candidate;
    if (colon == std::string_view::npos) break;
    path.remove_prefix(colon + 1);
  }
  *error = failure;
  return std::nullopt;
}

namespace {

// RAII for the two spawn attribute objects.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

std::optional<Process> LaunchProcess(const LaunchOptions& options, int* error) {
  std::string program = options.program;
  if (program.find('/') == std::string::npos) {
    std::optional<std::string> found = FindProgram(program, options.searchPath, error);
    if (!found) return std::nullopt;
    program = std::move(*found);
  }

  const int count = static_cast<int>(options.descriptors.size());
  // A source descriptor below `count` could be overwritten by an earlier
  // dup2 of the child's set-up, and dup2 onto itself would not clear its
  // close-on-exec flag. Such sources are first copied above the range.
  std::vector<UniqueFd> lifted;
  std::vector<int> sources(options.descriptors.begin(), options.descriptors.end());
  for (int& fd : sources) {
    if (fd >= 0 && fd < count) {
      const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, count);
      if (copy < 0) {
        *error = errno;
        return std::nullopt;
      }
      lifted.emplace_back(copy);
      fd = copy;
    }
  }

  SpawnSetup setup;
  for (int i = 0; i < count; ++i) {
    if (sources[i] >= 0) posix_spawn_file_actions_adddup2(&setup.actions, sources[i], i);
  }
  for (int i = 0; i < count; ++i) {
    if (sources[i] < 0) posix_spawn_file_actions_addopen(&setup.actions, i, "/dev/null", O_RDWR, 0);
  }
  // Everything of ours is close-on-exec already; this also covers
  // descriptors some library opened without the flag.
  posix_spawn_file_actions_addclosefrom_np(&setup.actions, count);

  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (options.newProcessGroup) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&setup.attributes, 0);
  }
  // The server blocks SIGINT and SIGTERM in its threads and ignores SIGPIPE;
  // both the mask and ignored dispositions survive exec, so a job gets them
  // all back to normal.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&setup.attributes, &none);
  posix_spawnattr_setsigdefault(&setup.attributes, &all);
  posix_spawnattr_setflags(&setup.attributes, flags);

  std::vector<char*> argv = CStrings(options.arguments);
  std::vector<char*> envp = CStrings(options.environment);
  pid_t pid = -1;
  OwnedChildren& owned = TheOwnedChildren();
  std::unique_lock guard(owned.lock);
  // glibc's posix_spawn reports a failed exec as its result, so a missing
  // program is known here rather than as a strange exit code later.
  const int rc = ::posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes,
                               argv.data(), envp.data());
  if (rc == 0) ++owned.counts[pid];
  guard.unlock();
  if (rc != 0) {
    *error = rc;
    return std::nullopt;
  }
  return Process(pid);
}

}  // namespace kestrun
