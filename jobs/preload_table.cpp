#include "jobs/preload_table.h"

#include <algorithm>

namespace kestrun {

AnnounceResult PreloadTable::Register(const std::string& node, uint32_t clientPid,
                                      const std::string& path) {
  DropExpired();
  if (entries_.size() >= limits.entriesInAll) return AnnounceResult::kTableFull;
  const auto ofNode = std::count_if(entries_.begin(), entries_.end(),
                                    [&](const auto& e) { return e->clientNode == node; });
  if (static_cast<size_t>(ofNode) >= limits.entriesPerNode) return AnnounceResult::kNodeFull;
  auto entry = std::make_shared<PreloadEntry>();
  entry->clientNode = node;
  entry->clientProcessId = clientPid;
  entry->programPath = path;
  entry->created = Now();
  entries_.push_back(entry);
  return AnnounceResult::kEntered;
}

void PreloadTable::DropExpired() {
  const auto now = Now();
  std::vector<std::shared_ptr<PreloadEntry>> expired;
  for (const auto& e : entries_)
    if (!e->claimed && now - e->created >= limits.unstartedLife) expired.push_back(e);
  for (const auto& e : expired) Free(e);
}

std::shared_ptr<PreloadEntry> PreloadTable::Find(const std::string& node, uint32_t clientPid,
                                                 const std::string& path, bool unclaimed) const {
  for (const auto& e : entries_) {
    if (e->clientProcessId == clientPid && e->clientNode == node && e->programPath == path &&
        (!unclaimed || !e->claimed))
      return e;
  }
  return nullptr;
}

std::shared_ptr<PreloadEntry> PreloadTable::FindByProcessId(uint32_t pid) const {
  if (pid == 0) return nullptr;
  for (const auto& e : entries_)
    if (e->programProcessId == pid) return e;
  return nullptr;
}

void PreloadTable::Free(const std::shared_ptr<PreloadEntry>& entry) {
  entry->inTable = false;
  entry->waiting = false;
  std::erase(entries_, entry);
  changed.notify_all();
}

std::vector<std::shared_ptr<PreloadEntry>> PreloadTable::EntriesOf(const std::string& node,
                                                                   uint32_t clientPid) const {
  std::vector<std::shared_ptr<PreloadEntry>> found;
  for (const auto& e : entries_)
    if (e->clientProcessId == clientPid && e->clientNode == node) found.push_back(e);
  return found;
}

size_t PreloadTable::ProgramsOf(const std::string& node) const {
  return static_cast<size_t>(std::count_if(entries_.begin(), entries_.end(), [&](const auto& e) {
    return e->claimed && e->clientNode == node;
  }));
}

}  // namespace kestrun
