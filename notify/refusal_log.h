// Which refusals get a log line: the first for a peer address, then at most
// one a minute per address. A peer that repeats a refused request (a docking
// past the registry's caps, a relay request from an address not allowed to
// relay) then cannot fill the log, while every refusing address is still
// named at least once a minute.
//
// Threads: any thread may call ShouldLog; lock_ guards the table and is held
// for the table update only, never while logging or taking another lock.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace kestrun {

class RefusalLog {
 public:
  using Clock = std::function<std::time_t()>;

  static constexpr std::time_t kIntervalSeconds = 60;
  // Addresses remembered at once; past this, addresses not yet in the table
  // are not logged until their minute has passed for older ones.
  static constexpr size_t kMaxAddresses = 65536;

  explicit RefusalLog(Clock clock) : clock_(std::move(clock)) {}

  // True when a refusal for `address` (IPv4, host order) should be logged
  // now: none was logged for it in the last kIntervalSeconds. A true answer
  // counts as the logged line.
  bool ShouldLog(uint32_t address);

 private:
  Clock clock_;
  std::mutex lock_;
  std::unordered_map<uint32_t, std::time_t> lastLogged_;  // guarded by lock_
};

}  // namespace kestrun
