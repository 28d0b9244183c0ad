#include "web/workers.h"

#include <system_error>
#include <vector>

namespace kestrun::web {

Workers::~Workers() {
  std::list<Worker> all;
  {
    std::lock_guard<std::mutex> hold(lock_);
    all.swap(threads_);
  }
  for (Worker& w : all) w.thread.join();
}

bool Workers::Spawn(std::function<void()> call) {
  std::list<Worker> finished;
  std::lock_guard<std::mutex> hold(lock_);
  for (auto it = threads_.begin(); it != threads_.end();) {
    auto next = std::next(it);
    if (it->done) finished.splice(finished.end(), threads_, it);
    it = next;
  }
  Worker& worker = threads_.emplace_back();
  try {
    worker.thread = std::thread([this, &worker, call = std::move(call)] {
      call();
      std::lock_guard<std::mutex> hold(lock_);
      worker.done = true;
    });
  } catch (const std::system_error&) {
    threads_.pop_back();
    return false;
  }
  // Joined outside the lock would be nicer, but a done thread only has its
  // final unlock left: the join is immediate.
  for (Worker& w : finished) w.thread.join();
  return true;
}

size_t Workers::Running() {
  std::lock_guard<std::mutex> hold(lock_);
  size_t n = 0;
  for (const Worker& w : threads_) n += w.done ? 0 : 1;
  return n;
}

}  // namespace kestrun::web
