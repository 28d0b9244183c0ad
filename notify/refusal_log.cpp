#include "notify/refusal_log.h"

namespace kestrun {

bool RefusalLog::ShouldLog(uint32_t address) {
  const std::time_t now = clock_();
  std::lock_guard<std::mutex> guard(lock_);
  const auto it = lastLogged_.find(address);
  if (it != lastLogged_.end()) {
    if (now - it->second < kIntervalSeconds) return false;
    it->second = now;
    return true;
  }
  if (lastLogged_.size() >= kMaxAddresses) {
    // Only addresses whose minute is still running need remembering.
    std::erase_if(lastLogged_,
                  [now](const auto& entry) { return now - entry.second >= kIntervalSeconds; });
    if (lastLogged_.size() >= kMaxAddresses) return false;
  }
  lastLogged_.emplace(address, now);
  return true;
}

}  // namespace kestrun
