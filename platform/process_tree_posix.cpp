#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "platform/process_tree.h"
#include "platform/unique_fd.h"

namespace kestrun {

namespace {

// Reads the parent id from /proc/<pid>/stat. The command name in parentheses
// may itself hold blanks and parentheses, so fields are counted from the
// last ")": state, then the parent id.
bool ReadParentId(const char* pidText, ProcessId* parent) {
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
  return true;
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

}  // namespace kestrun
