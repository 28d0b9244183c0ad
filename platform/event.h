// An auto-reset event: Set wakes one waiter (or the next one to wait), and a
// successful wait resets the event.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kestrun {

class AutoResetEvent {
 public:
  // Signals the event; it stays signalled until one wait consumes it.
  void Set();
  // Blocks until the event is signalled, then resets it.
  void Wait();
  // As Wait, giving up after `timeout`; true when the event was consumed.
  bool WaitFor(std::chrono::milliseconds timeout);

 private:
  std::mutex mutex_;  // guards signalled_
  std::condition_variable changed_;
  bool signalled_ = false;
};

}  // namespace kestrun
