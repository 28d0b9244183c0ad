#include "jobs/preload_table.h"

#include <algorithm>

namespace kestrun {

std::shared_ptr<PreloadEntry> PreloadTable::Register(const std::string& node, uint32_t clientPid,
                                                     const std::string& path, int64_t now) {
  auto entry = std::make_shared<PreloadEntry>();
  entry->clientNode = node;
  entry->clientProcessId = clientPid;
  entry->programPath = path;
  entry->created = now;
  entries_.push_back(entry);
  return entry;
}

std::shared_ptr<PreloadEntry> PreloadTable::Find(const std::string& node, uint32_t clientPid,
                                                 const std::string& path, bool unstarted) const {
  for (const auto& e : entries_) {
    if (e->clientProcessId == clientPid && e->clientNode == node && e->programPath == path &&
        (!unstarted || e->programProcessId == 0))
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

}  // namespace kestrun
