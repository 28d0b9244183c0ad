// The memory that messages being received may hold at once, across every
// connection of a process. A message's own limits (kMaxBuffers buffers of
// kMaxBufferSize bytes) still let a few hundred stalled senders pin gigabytes
// while their data trickles in; the budget caps the sum. ReceiveMessage takes
// each buffer's size from it before allocating the buffer and gives it all
// back when it returns or throws; a message that would pass the budget is
// abandoned like one over its own limits.
//
// Owned by whoever serves connections (the server process) and passed to
// ReceiveMessage; any thread may use it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>

namespace kestrun {

inline constexpr size_t kReceiveBudgetBytes = size_t{256} << 20;

class ReceiveBudget {
 public:
  explicit ReceiveBudget(size_t limit = kReceiveBudgetBytes) : limit_(limit) {}
  ReceiveBudget(const ReceiveBudget&) = delete;
  ReceiveBudget& operator=(const ReceiveBudget&) = delete;

  // Takes `bytes` when they fit under the limit; false (nothing taken) when not.
  bool Take(size_t bytes);
  void Give(size_t bytes) { used_.fetch_sub(bytes); }
  size_t InUse() const { return used_.load(); }

 private:
  const size_t limit_;
  std::atomic<size_t> used_{0};
};

// Budget taken for one message, given back when the charge is destroyed (or
// moved from and reset). Move-only; one thread at a time.
class BudgetCharge {
 public:
  explicit BudgetCharge(ReceiveBudget* budget = nullptr) : budget_(budget) {}
  BudgetCharge(BudgetCharge&& other) noexcept;
  BudgetCharge& operator=(BudgetCharge&& other) noexcept;
  ~BudgetCharge() { Release(); }

  // Takes `bytes` more; false (nothing taken) when the budget has no room.
  // Always true without a budget.
  bool Take(size_t bytes);
  void Release();

 private:
  ReceiveBudget* budget_;
  size_t held_ = 0;
};

// Limits of one ReceiveMessage beyond the wait between bytes.
struct ReceiveLimits {
  // The whole message must arrive within this time of its first byte;
  // zero: no bound.
  std::chrono::milliseconds whole{0};
  // Shared budget of buffer memory; null: none.
  ReceiveBudget* budget = nullptr;
};

// A request message must arrive whole within this time of its first byte.
inline constexpr std::chrono::milliseconds kRequestWhole{60000};

}  // namespace kestrun
