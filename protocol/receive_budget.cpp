#include "protocol/receive_budget.h"

#include <utility>

namespace kestrun {

bool ReceiveBudget::Take(size_t bytes) {
  size_t used = used_.load();
  do {
    if (bytes > limit_ || used > limit_ - bytes) return false;
  } while (!used_.compare_exchange_weak(used, used + bytes));
  return true;
}

BudgetCharge::BudgetCharge(BudgetCharge&& other) noexcept
    : budget_(other.budget_), held_(std::exchange(other.held_, 0)) {}

BudgetCharge& BudgetCharge::operator=(BudgetCharge&& other) noexcept {
  if (this != &other) {
    Release();
    budget_ = other.budget_;
    held_ = std::exchange(other.held_, 0);
  }
  return *this;
}

bool BudgetCharge::Take(size_t bytes) {
  if (!budget_) return true;
  if (!budget_->Take(bytes)) return false;
  held_ += bytes;
  return true;
}

void BudgetCharge::Release() {
  if (budget_ && held_ > 0) budget_->Give(std::exchange(held_, 0));
}

}  // namespace kestrun
