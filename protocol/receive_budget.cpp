#include "protocol/receive_budget.h"

namespace kestrun {

bool ReceiveBudget::Take(size_t bytes) {
  size_t used = used_.load();
  do {
    if (bytes > limit_ || used > limit_ - bytes) return false;
  } while (!used_.compare_exchange_weak(used, used + bytes));
  return true;
}

}  // namespace kestrun
