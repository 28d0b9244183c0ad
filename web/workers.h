// Worker threads for the web console's blocking calls: one thread per call,
// owned here. A finished thread is joined when the next one starts or when
// the owner goes; nothing is detached.
//
// lock_ guards threads_; it is never held while a call runs or a thread is
// joined by another thread than the owner's destructor.
#pragma once

#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace kestrun::web {

class Workers {
 public:
  Workers() = default;
  ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;
  // Runs `call` on a new thread. False when the thread cannot be made.
  bool Spawn(std::function<void()> call);
  size_t Running();

 private:
  struct Worker {
    std::thread thread;
    bool done = false;
  };
  std::mutex lock_;  // guards threads_ and every Worker::done
  std::list<Worker> threads_;
};

}  // namespace kestrun::web
