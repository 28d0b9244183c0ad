#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string_view>

#include "platform/c_strings_posix.h"
#include "platform/owned_children.h"
#include "platform/pipe.h"
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
    : pid_(std::exchange(other.pid_, -1)),
      reaped_(std::exchange(other.reaped_, false)),
      gate_(std::move(other.gate_)),
      execStatus_(std::move(other.execStatus_)) {}

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    KillAndReap();
    pid_ = std::exchange(other.pid_, -1);
    reaped_ = std::exchange(other.reaped_, false);
    gate_ = std::move(other.gate_);
    execStatus_ = std::move(other.execStatus_);
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

// The child's descriptors as the launch uses them: sources[i] becomes the
// child's descriptor i (-1: /dev/null there). A source below the range the
// child fills could be overwritten by an earlier dup2 of the child's set-up,
// and dup2 onto itself would not clear its close-on-exec flag, so such
// sources are first copied above the range (`lifted` owns the copies).
struct ChildDescriptors {
  std::vector<int> sources;
  std::vector<UniqueFd> lifted;
};

// A close-on-exec copy of `fd` at or above `floor` (invalid on failure).
UniqueFd Lift(int fd, int floor) {
  return UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, floor));
}

bool LiftDescriptors(const std::vector<FileHandle>& descriptors, ChildDescriptors* child,
                     int* error) {
  const int count = static_cast<int>(descriptors.size());
  child->sources.assign(descriptors.begin(), descriptors.end());
  for (int& fd : child->sources) {
    if (fd < 0 || fd >= count) continue;
    child->lifted.push_back(Lift(fd, count));
    if (!child->lifted.back()) {
      *error = errno;
      return false;
    }
    fd = child->lifted.back().get();
  }
  return true;
}

int SpawnNow(const std::string& program, const ChildDescriptors& child, bool newGroup,
             char* const* argv, char* const* envp, pid_t* pid) {
  const int count = static_cast<int>(child.sources.size());
  SpawnSetup setup;
  for (int i = 0; i < count; ++i) {
    if (child.sources[i] >= 0)
      posix_spawn_file_actions_adddup2(&setup.actions, child.sources[i], i);
  }
  for (int i = 0; i < count; ++i) {
    if (child.sources[i] < 0)
      posix_spawn_file_actions_addopen(&setup.actions, i, "/dev/null", O_RDWR, 0);
  }
  // Everything of ours is close-on-exec already; this also covers
  // descriptors some library opened without the flag.
  posix_spawn_file_actions_addclosefrom_np(&setup.actions, count);

  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (newGroup) {
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
  // glibc's posix_spawn reports a failed exec as its result, so a missing
  // program is known here rather than as a strange exit code later.
  return ::posix_spawn(pid, program.c_str(), &setup.actions, &setup.attributes, argv, envp);
}

// The pipes of a held start, the child's ends above its descriptor range.
struct HoldPipes {
  UniqueFd gateRead, gateWrite;      // the child waits for a byte on gateRead
  UniqueFd statusRead, statusWrite;  // the child writes errno on statusWrite when exec fails
};

bool CreateHoldPipes(int floor, HoldPipes* hold, int* error) {
  std::optional<Pipe> gate = CreatePipe(error), status = CreatePipe(error);
  if (!gate || !status) return false;
  hold->gateRead = Lift(gate->read.get(), floor);
  hold->statusWrite = Lift(status->write.get(), floor);
  if (!hold->gateRead || !hold->statusWrite) {
    *error = errno;
    return false;
  }
  hold->gateWrite = std::move(gate->write);
  hold->statusRead = std::move(status->read);
  return true;
}

// The held child between fork and exec: only async-signal-safe calls.
[[noreturn]] void RunHeldChild(const ChildDescriptors& child, const HoldPipes& hold, bool newGroup,
                               const char* program, char* const* argv, char* const* envp) {
  // The launcher's ends: held here they would keep the child's own pipes open.
  ::close(hold.gateWrite.get());
  ::close(hold.statusRead.get());
  if (newGroup) ::setpgid(0, 0);
  const int count = static_cast<int>(child.sources.size());
  for (int i = 0; i < count; ++i) {
    if (child.sources[i] >= 0) {
      ::dup2(child.sources[i], i);
    } else {
      const int null = ::open("/dev/null", O_RDWR);
      if (null != i && null >= 0) {
        ::dup2(null, i);
        ::close(null);
      }
    }
  }
  // As the spawn's closefrom: nothing above the range reaches the program,
  // not even a descriptor some library opened without close-on-exec. The
  // status pipe stays open until the exec succeeds.
  ::close_range(static_cast<unsigned>(count), ~0U, CLOSE_RANGE_CLOEXEC);
  struct sigaction def {};
  def.sa_handler = SIG_DFL;
  for (int s = 1; s < NSIG; ++s) ::sigaction(s, &def, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  // Hold until the launcher writes its byte (or is gone: end of file).
  char byte;
  while (::read(hold.gateRead.get(), &byte, 1) < 0 && errno == EINTR) {
  }
  ::execve(program, argv, envp);
  const int error = errno;
  (void)!::write(hold.statusWrite.get(), &error, sizeof error);
  ::_exit(127);
}

}  // namespace

int Process::Resume() {
  if (!gate_) return 0;
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

std::optional<Process> LaunchProcess(const LaunchOptions& options, int* error) {
  std::string program = options.program;
  if (program.find('/') == std::string::npos) {
    std::optional<std::string> found = FindProgram(program, options.searchPath, error);
    if (!found) return std::nullopt;
    program = std::move(*found);
  }
  ChildDescriptors child;
  if (!LiftDescriptors(options.descriptors, &child, error)) return std::nullopt;
  HoldPipes hold;
  if (options.holdBeforeExec &&
      !CreateHoldPipes(static_cast<int>(options.descriptors.size()), &hold, error)) {
    return std::nullopt;
  }
  std::vector<char*> argv = CStrings(options.arguments);
  std::vector<char*> envp = CStrings(options.environment);
  pid_t pid = -1;
  int rc = 0;
  {
    // Entered in the list before any sweep can see the child, ended or not.
    OwnedChildren& owned = TheOwnedChildren();
    std::lock_guard guard(owned.lock);
    if (!options.holdBeforeExec) {
      rc = SpawnNow(program, child, options.newProcessGroup, argv.data(), envp.data(), &pid);
    } else if ((pid = ::fork()) == 0) {
      RunHeldChild(child, hold, options.newProcessGroup, program.c_str(), argv.data(), envp.data());
    } else if (pid < 0) {
      rc = errno;
    }
    if (rc == 0) ++owned.counts[pid];
  }
  if (rc != 0) {
    *error = rc;
    return std::nullopt;
  }
  if (!options.holdBeforeExec) return Process(pid);
  // Also from the parent, so the group exists before anyone signals it.
  if (options.newProcessGroup) ::setpgid(pid, pid);
  return Process(pid, std::move(hold.gateWrite), std::move(hold.statusRead));
}

}  // namespace kestrun
