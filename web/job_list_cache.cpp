#include "web/job_list_cache.h"

namespace kestrun::web {

JobListCache::JobListCache(Clock clock, std::chrono::milliseconds lifetime)
    : clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })),
      lifetime_(lifetime) {}

std::shared_ptr<const KeptJobList> JobListCache::Find(
    const std::string& user, const std::shared_ptr<const ConfigSnapshot>& current, bool* renew) {
  *renew = false;
  const auto now = clock_();
  std::lock_guard<std::mutex> hold(lock_);
  const auto it = lists_.find(user);
  if (it == lists_.end() || it->second->snapshot != current || !Fresh(*it->second, now))
    return nullptr;
  if (now - it->second->begun >= lifetime_ / 2) *renew = renewing_.insert(user).second;
  return it->second;
}

void JobListCache::Keep(const std::string& user, std::shared_ptr<const KeptJobList> list) {
  const auto now = clock_();
  // What is dropped is released after the lock (a list may hold the last
  // owner of an old snapshot).
  std::vector<std::shared_ptr<const KeptJobList>> dropped;
  std::lock_guard<std::mutex> hold(lock_);
  for (auto it = lists_.begin(); it != lists_.end();) {
    if (Fresh(*it->second, now)) {
      ++it;
    } else {
      dropped.push_back(std::move(it->second));
      it = lists_.erase(it);
    }
  }
  std::shared_ptr<const KeptJobList>& slot = lists_[user];
  dropped.push_back(std::move(slot));
  slot = std::move(list);
  renewing_.erase(user);
}

void JobListCache::Unclaim(const std::string& user) {
  std::lock_guard<std::mutex> hold(lock_);
  renewing_.erase(user);
}

}  // namespace kestrun::web
