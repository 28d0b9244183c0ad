#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "platform/home_directory.h"
#include "platform/owned_children.h"
#include "platform/process_tree.h"
#include "platform/unique_fd.h"

namespace kestrun {

namespace {

// Reads the state, the parent id and (when `start` is given) the start time
// from /proc/<pid>/stat. The command name in parentheses may itself hold
// blanks and parentheses, so fields are counted from the last ")": state,
// then the parent id, and the start time is the 20th field after it.
bool ReadStat(const char* pidText, char* stateOut, ProcessId* parent, uint64_t* start = nullptr) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%s/stat", pidText);
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  char buf[1024];
  int error = 0;
  const long n = ReadSome(fd.get(), buf, sizeof buf - 1, &error);
  if (n <= 0) return false;
  buf[n] = '\0';
  const char* close = std::strrchr(buf, ')');
  if (!close) return false;
  char state = 0;
  int ppid = 0;
  if (std::sscanf(close + 1, " %c %d", &state, &ppid) != 2) return false;
  if (start) {
    unsigned long long ticks = 0;
    if (std::sscanf(close + 1,
                    " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d "
                    "%*d %llu",
                    &ticks) != 1)
      return false;
    *start = ticks;
  }
  *parent = ppid;
  *stateOut = state;
  return true;
}

bool ReadParentId(const char* pidText, ProcessId* parent) {
  char state = 0;
  return ReadStat(pidText, &state, parent);
}

// The whole of /proc/<pid>/environ; empty when unreadable (gone, a zombie,
// another user's process).
std::string ReadEnvironment(ProcessId pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/environ", pid);
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  std::string data;
  if (!fd) return data;
  char buf[4096];
  int error = 0;
  long n;
  while ((n = ReadSome(fd.get(), buf, sizeof buf, &error)) > 0)
    data.append(buf, static_cast<size_t>(n));
  return data;
}

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

}  // namespace

std::vector<ProcessEntry> TakeProcessSnapshot() {
  std::vector<ProcessEntry> snapshot;
  std::unique_ptr<DIR, DirCloser> dir(::opendir("/proc"));
  if (!dir) return snapshot;
  while (const dirent* e = ::readdir(dir.get())) {
    char* end = nullptr;
    const long pid = std::strtol(e->d_name, &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    ProcessId parent = 0;
    // A process that ended since readdir saw it simply drops out.
    if (ReadParentId(e->d_name, &parent)) snapshot.push_back({static_cast<ProcessId>(pid), parent});
  }
  return snapshot;
}

ProcessId ParentProcessOf(ProcessId pid) {
  const std::string text = std::to_string(pid);
  ProcessId parent = 0;
  return pid > 0 && ReadParentId(text.c_str(), &parent) ? parent : 0;
}

bool KillProcessTree(ProcessId pid) {
  if (pid <= 0) return false;
  const std::vector<ProcessEntry> snapshot = TakeProcessSnapshot();
  if (snapshot.empty()) return false;
  for (ProcessId descendant : KillOrder(snapshot, pid)) ::kill(descendant, SIGKILL);
  const bool killed = ::kill(pid, SIGKILL) == 0;
  const pid_t group = ::getpgid(pid);
  if (group == pid && group != ::getpgrp()) ::kill(-group, SIGKILL);
  return killed;
}

bool BecomeChildSubreaper() {
  return ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
}

int ReapAdoptedOrphans() {
  int subreaper = 0;
  if (::prctl(PR_GET_CHILD_SUBREAPER, &subreaper, 0, 0, 0) != 0 || subreaper == 0) return 0;
  // Cheap first look: no ended child at all means nothing to scan for.
  siginfo_t info{};
  if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0) return 0;
  const ProcessId self = ::getpid();
  OwnedChildren& owned = TheOwnedChildren();
  std::lock_guard guard(owned.lock);
  std::unique_ptr<DIR, DirCloser> dir(::opendir("/proc"));
  if (!dir) return 0;
  int reaped = 0;
  while (const dirent* e = ::readdir(dir.get())) {
    char* end = nullptr;
    const long pid = std::strtol(e->d_name, &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    char state = 0;
    ProcessId parent = 0;
    if (!ReadStat(e->d_name, &state, &parent) || state != 'Z' || parent != self) continue;
    if (owned.counts.contains(static_cast<ProcessId>(pid))) continue;
    int status = 0;
    if (::waitpid(static_cast<pid_t>(pid), &status, WNOHANG) > 0) ++reaped;
  }
  return reaped;
}

namespace {

std::string RandomHex32() {
  unsigned char bytes[16] = {};
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (errno != EINTR) {
      break;
    }
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char b : bytes) {
    hex += kHex[b >> 4];
    hex += kHex[b & 15];
  }
  return hex;
}

std::string PidText(ProcessId pid) {
  return std::to_string(pid);
}

// The value of the run marker in a NUL-separated environment block, or "".
std::string_view MarkerIn(std::string_view environ) {
  const std::string_view prefix = kRunMarkerName;
  while (!environ.empty()) {
    const size_t nul = environ.find('\0');
    const std::string_view entry = environ.substr(0, nul);
    if (entry.size() > prefix.size() && entry.substr(0, prefix.size()) == prefix &&
        entry[prefix.size()] == '=')
      return entry.substr(prefix.size() + 1);
    if (nul == std::string_view::npos) break;
    environ.remove_prefix(nul + 1);
  }
  return {};
}

// The arguments of a process joined by blanks.
std::string ReadCommand(ProcessId pid) {
  UniqueFd fd(::open(("/proc/" + PidText(pid) + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC));
  std::string data;
  if (!fd) return data;
  char buf[1024];
  int error = 0;
  long n;
  while (data.size() < 4096 && (n = ReadSome(fd.get(), buf, sizeof buf, &error)) > 0)
    data.append(buf, static_cast<size_t>(n));
  while (!data.empty() && data.back() == '\0') data.pop_back();
  for (char& c : data)
    if (c == '\0') c = ' ';
  return data;
}

// Gone: no such process any more, or only its zombie is left for its parent.
bool ProcessGone(ProcessId pid) {
  char state = 0;
  ProcessId parent = 0;
  return !ReadStat(PidText(pid).c_str(), &state, &parent) || state == 'Z';
}

}  // namespace

std::optional<uint64_t> ProcessStartTime(ProcessId pid) {
  char state = 0;
  ProcessId parent = 0;
  uint64_t start = 0;
  if (pid <= 0 || !ReadStat(PidText(pid).c_str(), &state, &parent, &start) || state == 'Z')
    return std::nullopt;
  return start;
}

std::string NewRunMarkerFor(const RunMarkerOrigin& origin) {
  return RandomHex32() + "." + origin.homeTag + "." + PidText(origin.serverPid) + "." +
         std::to_string(origin.serverStart);
}

std::string NewRunMarker() {
  // The server's part never changes while the process lives: taken once.
  static const RunMarkerOrigin self{HomeTag(HomeDirectory()), ::getpid(),
                                    ProcessStartTime(::getpid()).value_or(0)};
  return NewRunMarkerFor(self);
}

std::vector<OrphanedProcess> FindOrphanedRuns(std::string_view home) {
  const std::string tag = HomeTag(home);
  const ProcessId self = ::getpid();
  std::vector<OrphanedProcess> found;
  // Servers already looked at: still running or not.
  std::unordered_map<std::string, bool> serverAlive;
  for (const ProcessEntry& p : TakeProcessSnapshot()) {
    if (p.pid == self) continue;
    const std::string environ = ReadEnvironment(p.pid);
    const std::string_view marker = MarkerIn(environ);
    const std::optional<RunMarkerOrigin> origin = ParseRunMarker(marker);
    if (!origin || origin->homeTag != tag) continue;
    const std::string server =
        PidText(origin->serverPid) + "." + std::to_string(origin->serverStart);
    auto it = serverAlive.find(server);
    if (it == serverAlive.end()) {
      // A server is the same process only with the same id and start time;
      // this process counts as running like any other.
      const bool alive = ProcessStartTime(origin->serverPid) == origin->serverStart;
      it = serverAlive.emplace(server, alive).first;
    }
    if (it->second) continue;
    found.push_back({p.pid, ReadCommand(p.pid), std::string(marker)});
  }
  return found;
}

std::vector<ProcessId> EndOrphanedRuns(const std::vector<OrphanedProcess>& processes,
                                       std::chrono::milliseconds grace) {
  for (const OrphanedProcess& p : processes) ::kill(p.pid, SIGTERM);
  const auto allGone = [&] {
    return std::all_of(processes.begin(), processes.end(),
                       [](const OrphanedProcess& p) { return ProcessGone(p.pid); });
  };
  const auto deadline = std::chrono::steady_clock::now() + grace;
  while (!allGone() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::vector<ProcessId> killed;
  for (const OrphanedProcess& p : processes) {
    if (ProcessGone(p.pid)) continue;
    // Still the same process: its id has not been taken by another since.
    if (!EnvironmentHolds(ReadEnvironment(p.pid), std::string(kRunMarkerName) + "=" + p.marker))
      continue;
    if (::kill(p.pid, SIGKILL) == 0) killed.push_back(p.pid);
  }
  return killed;
}

int KillMarkedProcesses(const std::string& marker) {
  if (marker.empty()) return 0;
  const std::string entry = std::string(kRunMarkerName) + "=" + marker;
  const ProcessId self = ::getpid();
  int signalled = 0;
  // A marked process may fork while it is being killed: another round finds
  // the new one. Killed processes are zombies with an empty environment, so
  // a round that finds nothing marked ends the work.
  constexpr int kRounds = 8;
  for (int round = 0; round < kRounds; ++round) {
    const std::vector<ProcessEntry> snapshot = TakeProcessSnapshot();
    std::vector<ProcessId> marked;
    for (ProcessId pid : KillOrder(snapshot, self)) {
      if (EnvironmentHolds(ReadEnvironment(pid), entry)) marked.push_back(pid);
    }
    if (marked.empty()) break;
    for (ProcessId pid : marked) {
      // Stopped first, so that it forks no more while its tree is walked.
      ::kill(pid, SIGSTOP);
      for (ProcessId descendant : KillOrder(snapshot, pid)) ::kill(descendant, SIGKILL);
      if (::kill(pid, SIGKILL) == 0) ++signalled;
    }
  }
  return signalled;
}

}  // namespace kestrun
