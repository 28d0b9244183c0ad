// The request listener: the server's main loop. It owns the listening socket,
// gives every accepted connection a request thread of its own, and drives the
// minute work (docked-client expiry, the scheduler's step).
//
// Threads:
//   - the listener thread runs Run(): accepting, the reload and group checks
//     before each connection, and the minute work (which also collects the
//     ended orphans the server adopted, see ReapAdoptedOrphans);
//   - one detached request thread per accepted connection: it reads the
//     connection magic (bounded wait), runs the request and closes the
//     connection. At most `maxThreads` run at once.
// Shared between them: only the running-thread count (atomic) and the
// condition variable that wakes a listener waiting for a free thread slot
// (its mutex guards nothing but that wait). Both live in a block held by
// every request thread, so a thread may finish after the listener is gone.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "core/context.h"
#include "protocol/socket.h"
#include "protocol/transport.h"

namespace kestrun {

// Work of other components that the listener runs on its own thread.
struct ListenerHooks {
  // Before each accepted connection is handed to its thread: reload
  // kestrun.conf when it changed since it was last read.
  std::function<void()> reloadConfigIfChanged;
  // Before each accepted connection: ask the group plug-in whether group
  // membership changed and, if so, mark the group cache stale.
  std::function<void()> checkGroupChanges;
  // At each minute boundary, after docked clients expired: the scheduler's
  // minute step.
  std::function<void()> schedulerMinuteStep;
  // Called once the port is bound and listened on (before the first accept).
  std::function<void()> listening;
};

struct ListenerOptions {
  // At most this many request threads run at once; while they all run the
  // listener waits (in steps of at most a second) before accepting more.
  int32_t maxThreads = 501;
  // A new connection must deliver its four magic bytes within this time.
  std::chrono::milliseconds magicWait{10000};
  // A send on a client connection fails once this passes without progress.
  std::chrono::milliseconds sendLimit{kSendProgressLimit};
  // Wall clock of the minute tick.
  std::function<std::time_t()> clock = [] { return std::time(nullptr); };
  ListenerHooks hooks;
  // TEST ONLY: replaces ProcessClientRequest on the request thread (tests
  // hold requests open with it). Empty in the server.
  std::function<void(ServerContext&, SocketHandle, uint32_t)> testRequestHandler;
};

class RequestListener {
 public:
  // Listens on *port (0 picks a free one; *port receives the bound port).
  // Empty when the socket cannot be created, bound or named; the step's
  // message is then on standard error.
  static std::optional<RequestListener> Create(ServerContext& server, int* port,
                                               ListenerOptions options = {});

  RequestListener(RequestListener&&) noexcept = default;
  RequestListener& operator=(RequestListener&&) noexcept = default;
  ~RequestListener() = default;

  // The accept loop; returns only once `stop` is set (the server never sets
  // it). A stop request takes effect at the next connection or minute.
  void Run(const std::atomic<bool>& stop);

  // Request threads started and not yet finished.
  int32_t RunningThreads() const { return shared_->running.load(); }
  // Waits until no request thread runs; false on timeout.
  bool WaitUntilIdle(std::chrono::milliseconds timeout) const;

 private:
  struct Shared {
    std::atomic<int32_t> running{0};
    std::mutex lock;  // guards nothing but the waits on `finished`
    std::condition_variable finished;
  };

  RequestListener(ServerContext& server, Socket socket, ListenerOptions options);
  void WaitForThreadSlot() const;
  void StartRequestThread(Socket connection, uint32_t peerAddress);
  void MinuteWork();

  ServerContext* server_;
  Socket socket_;
  ListenerOptions options_;
  std::shared_ptr<Shared> shared_;
};

// The server's main loop on `port`: prints "Listening on port %d" with the
// bound port and serves until the process ends. If the listening socket
// cannot be made, exits the process with status 1.
[[noreturn]] void ProcessIncomingRequests(ServerContext& server, int port, ListenerHooks hooks);

}  // namespace kestrun
