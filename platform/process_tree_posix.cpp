#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "platform/owned_children.h"
#include "platform/process_tree.h"
#include "platform/unique_fd.h"

namespace kestrun {

namespace {

// Reads the state and the parent id from /proc/<pid>/stat. The command name
// in parentheses may itself hold blanks and parentheses, so fields are
// counted from the last ")": state, then the parent id.
bool ReadStat(const char* pidText, char* stateOut, ProcessId* parent) {
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

std::vector<ProcessId> KillOrder(const std::vector<ProcessEntry>& snapshot, ProcessId root) {
  std::unordered_map<ProcessId, std::vector<ProcessId>> children;
  for (const ProcessEntry& p : snapshot) {
    if (p.pid != p.parentPid) children[p.parentPid].push_back(p.pid);
  }
  std::vector<ProcessId> order;
  std::unordered_set<ProcessId> seen{root};
  // Iterative post-order walk: a frame is a process and the index of its next
  // child to visit.
  std::vector<std::pair<ProcessId, size_t>> stack{{root, 0}};
  while (!stack.empty()) {
    auto& [pid, next] = stack.back();
    const auto it = children.find(pid);
    if (it != children.end() && next < it->second.size()) {
      const ProcessId child = it->second[next++];
      if (seen.insert(child).second) stack.push_back({child, 0});
      continue;
    }
    if (pid != root) order.push_back(pid);
    stack.pop_back();
  }
  return order;
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

std::string NewRunMarker() {
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
  std::string marker;
  for (unsigned char b : bytes) {
    marker += kHex[b >> 4];
    marker += kHex[b & 15];
  }
  return marker;
}

bool EnvironmentHolds(std::string_view environ, std::string_view entry) {
  while (!environ.empty()) {
    const size_t nul = environ.find('\0');
    if (environ.substr(0, nul) == entry) return true;
    if (nul == std::string_view::npos) break;
    environ.remove_prefix(nul + 1);
  }
  return false;
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
