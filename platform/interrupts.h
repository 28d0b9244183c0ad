// Turning SIGINT and SIGTERM into a call on a thread of ours.
//
// The interrupt work (logging, walking the running-job table, killing jobs)
// is far from async-signal-safe, so it never runs in a signal handler. The
// two signals are blocked in every thread instead (BlockInterruptSignals in
// main before any thread starts: threads inherit the mask) and a watcher
// thread takes them from a signalfd.
#pragma once

#include <functional>
#include <thread>

#include "platform/unique_fd.h"

namespace kestrun {

// Blocks SIGINT and SIGTERM in the calling thread and in every thread it
// starts afterwards. Call from main before starting any thread. Jobs are
// launched with an empty mask, so they do not inherit this.
void BlockInterruptSignals();

// Runs a handler on its own thread for each SIGINT or SIGTERM sent to the
// process. Not copyable or movable: the thread refers to it.
class InterruptWatcher {
 public:
  using Handler = std::function<void(int signal)>;
  InterruptWatcher() = default;
  InterruptWatcher(const InterruptWatcher&) = delete;
  InterruptWatcher& operator=(const InterruptWatcher&) = delete;
  // Stops and joins the thread (unless it is the calling thread, in which
  // case the thread is detached: a handler that ends the process may destroy
  // the watcher it runs on).
  ~InterruptWatcher();

  // Starts watching; the signals must already be blocked. Returns 0, or the
  // system's error code when the signalfd or the stop pipe cannot be made.
  int Start(Handler handler);

 private:
  void Run();
  Handler handler_;
  UniqueFd signals_;   // signalfd for SIGINT and SIGTERM
  UniqueFd stopRead_;  // becomes readable when the destructor asks to stop
  UniqueFd stopWrite_;
  std::thread thread_;
};

}  // namespace kestrun
