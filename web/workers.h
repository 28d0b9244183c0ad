// Worker threads for the web console's blocking calls (a PAM conversation,
// a native handler, a dialog script, a whole run): a bounded pool of
// threads that stay alive between calls, so that a request does not pay for
// making a thread. A call goes to an idle worker, or to a new one while
// fewer than `limit` calls run; at the limit it is refused (the caller
// answers "The server is busy"). A worker idle for `idleTime` ends, except
// the last `keepIdle` ones. Nothing is detached except a worker that owns
// the pool's last reference (it cannot join itself).
//
// Shared::lock guards the members of Shared below it; it is never held while
// a call runs, a call's captures are destroyed, or a thread is joined.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace kestrun::web {

class Workers {
 public:
  static constexpr size_t kKeepIdle = 4;
  static constexpr std::chrono::seconds kIdleTime{30};

  explicit Workers(size_t limit, size_t keepIdle = kKeepIdle,
                   std::chrono::milliseconds idleTime = kIdleTime);
  // Waits for the running calls to end; calls not yet taken are dropped.
  ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // Runs `call` on a worker. False (and `call` dropped) when `limit` calls
  // run already or no thread can be made.
  bool Spawn(std::function<void()> call);
  // The calls running or handed over and not yet finished.
  size_t Running();
  // The threads alive, busy or idle.
  size_t Threads();

 private:
  struct Worker {
    std::thread thread;
    bool done = false;  // its loop has ended: join it
  };
  // What the workers share with the pool. Each worker holds it too, so that
  // a worker whose call dropped the pool's last owner still has it.
  struct Shared {
    Shared(size_t limit, size_t keepIdle, std::chrono::milliseconds idleTime)
        : limit(limit), keepIdle(keepIdle), idleTime(idleTime) {}
    const size_t limit;
    const size_t keepIdle;
    const std::chrono::milliseconds idleTime;
    std::mutex lock;
    std::condition_variable wake;             // a call was queued, or the pool ends
    std::deque<std::function<void()>> queue;  // calls for idle workers; never more than idle
    std::list<Worker> threads;
    size_t busy = 0;  // calls accepted and not finished
    size_t idle = 0;  // workers waiting for a call
    bool stopping = false;
  };
  static void Loop(const std::shared_ptr<Shared>& shared, Worker& self, std::function<void()> call);

  std::shared_ptr<Shared> shared_;
};

}  // namespace kestrun::web
