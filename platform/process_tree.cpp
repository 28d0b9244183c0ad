// The parts of process_tree.h that are the same on every system: the kill
// order of a snapshot and the form of run markers.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <unordered_map>
#include <unordered_set>

#include "platform/process_tree.h"

namespace kestrun {

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

std::string HomeTag(std::string_view home) {
  uint64_t hash = 14695981039346656037ull;
  for (const char c : home) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016" PRIx64, hash);
  return text;
}

std::optional<RunMarkerOrigin> ParseRunMarker(std::string_view marker) {
  const auto isHex = [](std::string_view t) {
    return std::all_of(t.begin(), t.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
  };
  const auto number = [](std::string_view t, uint64_t* out) {
    if (t.empty() || t.size() > 19) return false;
    uint64_t v = 0;
    for (const char c : t) {
      if (c < '0' || c > '9') return false;
      v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    *out = v;
    return true;
  };
  std::vector<std::string_view> parts;
  for (size_t dot; (dot = marker.find('.')) != std::string_view::npos;) {
    parts.push_back(marker.substr(0, dot));
    marker.remove_prefix(dot + 1);
  }
  parts.push_back(marker);
  if (parts.size() != 4 || parts[0].size() != 32 || !isHex(parts[0]) || parts[1].size() != 16 ||
      !isHex(parts[1]))
    return std::nullopt;
  uint64_t pid = 0, start = 0;
  if (!number(parts[2], &pid) || !number(parts[3], &start) || pid == 0 || pid > INT32_MAX)
    return std::nullopt;
  return RunMarkerOrigin{std::string(parts[1]), static_cast<ProcessId>(pid), start};
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

}  // namespace kestrun
