#include "web/workers.h"

#include <system_error>

namespace kestrun::web {

Workers::Workers(size_t limit, size_t keepIdle, std::chrono::milliseconds idleTime)
    : shared_(std::make_shared<Shared>(limit, keepIdle, idleTime)) {}

Workers::~Workers() {
  std::list<Worker> all;
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard<std::mutex> hold(shared_->lock);
    shared_->stopping = true;
    dropped.swap(shared_->queue);
    all.swap(shared_->threads);
  }
  shared_->wake.notify_all();
  dropped.clear();
  // The last owner may be a worker's own call (it held the console): that
  // thread cannot join itself; it ends on its own with its share of the pool.
  for (Worker& w : all) {
    if (w.thread.get_id() == std::this_thread::get_id())
      w.thread.detach();
    else
      w.thread.join();
  }
}

bool Workers::Spawn(std::function<void()> call) {
  Shared& s = *shared_;
  std::list<Worker> finished;
  bool accepted = false;
  {
    std::lock_guard<std::mutex> hold(s.lock);
    for (auto it = s.threads.begin(); it != s.threads.end();) {
      auto next = std::next(it);
      if (it->done) finished.splice(finished.end(), s.threads, it);
      it = next;
    }
    if (s.stopping || s.busy >= s.limit) {
      // refused; `call` is dropped below, outside the lock
    } else if (s.idle > s.queue.size()) {
      s.queue.push_back(std::move(call));
      ++s.busy;
      accepted = true;
      s.wake.notify_one();
    } else {
      Worker& worker = s.threads.emplace_back();
      try {
        worker.thread = std::thread([shared = shared_, &worker, call = std::move(call)]() mutable {
          Loop(shared, worker, std::move(call));
        });
        ++s.busy;
        accepted = true;
      } catch (const std::system_error&) {
        s.threads.pop_back();
      }
    }
  }
  // A done thread only has its final unlock left: the join is immediate.
  for (Worker& w : finished) w.thread.join();
  return accepted;
}

void Workers::Loop(const std::shared_ptr<Shared>& shared, Worker& self,
                   std::function<void()> call) {
  Shared& s = *shared;
  std::unique_lock<std::mutex> hold(s.lock, std::defer_lock);
  for (;;) {
    call();
    call = nullptr;  // what it captured goes now, outside the lock
    hold.lock();
    if (s.stopping) return;
    --s.busy;
    ++s.idle;
    while (!s.stopping && s.queue.empty()) {
      const bool timedOut = s.wake.wait_for(hold, s.idleTime) == std::cv_status::timeout;
      if (timedOut && s.queue.empty() && !s.stopping && s.idle > s.keepIdle) {
        --s.idle;
        self.done = true;
        return;
      }
    }
    --s.idle;
    if (s.stopping) return;
    call = std::move(s.queue.front());
    s.queue.pop_front();
    hold.unlock();
  }
}

size_t Workers::Running() {
  std::lock_guard<std::mutex> hold(shared_->lock);
  return shared_->busy;
}

size_t Workers::Threads() {
  std::lock_guard<std::mutex> hold(shared_->lock);
  return shared_->threads.size();
}

}  // namespace kestrun::web
