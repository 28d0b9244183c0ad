// The request listener: the server's main loop. It owns the listening socket,
// receives every request whole without tying up a request thread, hands each
// received request to a request thread, and drives the minute work
// (docked-client expiry, the scheduler's step) on a timer of its own.
//
// Threads:
//   - the listener thread runs Run(): one poll loop over the listening socket
//     and every connection whose request is still arriving. It accepts,
//     reads what each connection has without blocking, enforces the
//     per-connection time limits, the per-address and total connection caps
//     and the receive budget, and runs the reload and group checks before a
//     received request is handed over;
//   - the minute timer (started and joined by Run) runs the minute work at
//     each minute boundary of the listener's clock, whatever the request
//     threads are doing;
//   - request threads, at most `maxThreads` at once: each runs one received
//     request, then takes the next one waiting for a thread, if any, before
//     it ends. Received requests that find every thread busy wait in the
//     pending queue.
// Shared between them: the Shared block (held by every request thread, so a
// thread may finish after the listener is gone). Its `lock` guards
// `pending` and the waits on `finished`; `running` is atomic. The minute
// timer's lock guards only its stop flag. No lock is held while a request
// runs or while anything waits on a peer.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/context.h"
#include "protocol/request_framer.h"
#include "protocol/socket.h"
#include "protocol/transport.h"

namespace kestrun {

// Work of other components that the listener runs on its own thread.
struct ListenerHooks {
  // Before each received request is handed to its thread: reload
  // kestrun.conf when it changed since it was last read.
  std::function<void()> reloadConfigIfChanged;
  // Before each received request: ask the group plug-in whether group
  // membership changed and, if so, mark the group cache stale.
  std::function<void()> checkGroupChanges;
  // At each minute boundary, after docked clients expired: the scheduler's
  // minute step.
  std::function<void()> schedulerMinuteStep;
  // Called by Run once the port is listened on and the minute timer runs
  // (before the first accept).
  std::function<void()> listening;
  // Called by ProcessIncomingRequests when the port cannot be listened on,
  // with the system's error code, before the process ends.
  using NotListening = std::function<void(int error)>;
  NotListening notListening;
  // The wall clock of the minute tick; empty: the system's.
  std::function<std::time_t()> minuteClock;
};

struct ListenerOptions {
  // At most this many request threads run at once; received requests beyond
  // them wait for a thread.
  int32_t maxThreads = 501;
  // The address to listen on (IPv4, host order); net::kAnyAddress: all.
  uint32_t address = net::kAnyAddress;
  // A new connection must deliver its magic and its first 32-byte header
  // within this time.
  std::chrono::milliseconds headerWait{10000};
  // Once the header is in, each later byte must come within this time...
  std::chrono::milliseconds byteWait{kReadWait};
  // ...and the whole request within this time of its first byte.
  std::chrono::milliseconds requestWhole{kRequestWhole};
  // Connections whose requests are still arriving: at most this many from
  // one address (more are closed at once) and in all (more wait in the
  // kernel's queue).
  int32_t perAddressReceiving = 16;
  int32_t totalReceiving = 1024;
  // Received requests waiting for a thread: while this many wait, no new
  // connection is accepted.
  size_t maxPending = 1024;
  // A send on a client connection fails once this passes without progress.
  std::chrono::milliseconds sendLimit{kSendProgressLimit};
  // Wall clock of the minute tick.
  std::function<std::time_t()> clock = [] { return std::time(nullptr); };
  ListenerHooks hooks;
  // TEST ONLY: replaces ProcessClientRequest on the request thread (tests
  // hold requests open with it). Empty in the server.
  std::function<void(ServerContext&, SocketHandle, uint32_t, ReceivedMessage)> testRequestHandler;
};

// The first bytes of every request are taken whatever the receive budget
// holds, so that small requests always get through while large ones wait
// their turn; only what a request sends beyond them is charged.
inline constexpr size_t kAlwaysAdmittedBytes = 64 * 1024;

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

  // The receive loop; returns only once `stop` is set (the server never sets
  // it). A stop request takes effect within a second.
  void Run(const std::atomic<bool>& stop);

  // Request threads started and not yet finished.
  int32_t RunningThreads() const { return shared_->running.load(); }
  // Waits until no request thread runs; false on timeout.
  bool WaitUntilIdle(std::chrono::milliseconds timeout) const;

 private:
  // A request handed over by the receive loop.
  struct ReadyRequest {
    Socket socket;
    uint32_t peerAddress = 0;
    ReceivedMessage message;
  };
  struct Shared {
    std::atomic<int32_t> running{0};
    std::mutex lock;  // guards `pending` and the waits on `finished`
    std::condition_variable finished;
    std::deque<ReadyRequest> pending;
  };
  class Receiving;  // the connections of the receive loop (listener.cpp)
  struct Incoming;  // one of them

  RequestListener(ServerContext& server, Socket socket, ListenerOptions options);
  // Takes a connection whose request is complete out of the receive loop.
  void HandOver(Receiving& receiving, std::list<Incoming>::iterator it);
  // Runs the hooks, then starts a thread for `request` or queues it.
  void Dispatch(ReadyRequest request);
  bool StartRequestThread(ReadyRequest& request);
  size_t PendingCount() const;
  void MinuteWork();
  void RunMinuteTimer(std::mutex& lock, std::condition_variable& wake, const bool& stopping);

  ServerContext* server_;
  Socket socket_;
  ListenerOptions options_;
  std::shared_ptr<Shared> shared_;
};

// Seconds from `now` to the next full minute (1..60).
int SecondsToNextMinute(std::time_t now);

// The server's main loop on `port`: prints "Listening on port %d" with the
// bound port and serves until the process ends. If the listening socket
// cannot be made, exits the process with status 1.
// `address` as for ListenerOptions.
[[noreturn]] void ProcessIncomingRequests(ServerContext& server, int port, ListenerHooks hooks,
                                          uint32_t address = net::kAnyAddress);

}  // namespace kestrun
