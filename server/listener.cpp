#include "server/listener.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "notify/docked_registry.h"
#include "platform/process.h"
#include "protocol/transport.h"
#include "server/dispatcher.h"

namespace kestrun {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Linux does not refuse a connection when the accept queue is full: it drops
// the handshake and the client retries after a second, then two, four... A
// flood of reconnecting clients must not push others out of the queue, so the
// server asks for a long one (the kernel caps it at net.core.somaxconn) and
// empties it at every turn of the loop.
constexpr int kServerListenBacklog = 4096;
// Largest read of one connection's bytes per turn of the loop: one
// connection with much to send cannot starve the others.
constexpr size_t kReadChunk = 64 * 1024;
// New connections accepted per turn of the loop, at most.
constexpr int kAcceptsPerTurn = 1024;
// The loop wakes at least this often to check its stop flag and deadlines.
constexpr milliseconds kLongestWait{1000};
// How long, and how many bytes, a finished request's connection is read
// away while waiting for the peer's end before it is closed anyway.
constexpr milliseconds kCloseDrainLimit{300};
constexpr size_t kCloseDrainBytes = 256 * 1024;

}  // namespace

int SecondsToNextMinute(std::time_t now) {
  // Time zones are offset by whole minutes, so the second of the local
  // minute is that of the epoch count.
  const int second = static_cast<int>(((now % 60) + 60) % 60);
  return 60 - second;
}

// One connection whose request is still arriving.
struct RequestListener::Incoming {
  Socket socket;
  uint32_t peerAddress = 0;
  RequestFramer framer;
  BudgetCharge charge;
  Clock::time_point accepted;
  Clock::time_point lastByte;
  std::optional<Clock::time_point> firstByte;  // the message's first byte after the magic
};

// The receive loop's connections and its per-address counts. Listener
// thread only.
class RequestListener::Receiving {
 public:
  Receiving(const ListenerOptions& options, ReceiveBudget* budget)
      : options_(options), budget_(budget) {}

  size_t size() const { return connections_.size(); }
  bool Full() const { return static_cast<int32_t>(size()) >= options_.totalReceiving; }

  // Takes a new connection; connections().end() (and the connection
  // closed) when its address already has its share of requests arriving.
  std::list<Incoming>::iterator Add(Socket socket, uint32_t peer) {
    int32_t& count = perAddress_[peer];
    if (count >= options_.perAddressReceiving) return connections_.end();  // closes `socket`
    ++count;
    const Clock::time_point now = Clock::now();
    connections_.push_back(
        Incoming{std::move(socket), peer, {}, BudgetCharge(budget_), now, now, std::nullopt});
    return std::prev(connections_.end());
  }

  void Remove(std::list<Incoming>::iterator it) {
    auto count = perAddress_.find(it->peerAddress);
    if (count != perAddress_.end() && --count->second <= 0) perAddress_.erase(count);
    connections_.erase(it);
  }

  // Reads what the connection has without blocking. Returns true while it
  // is still wanted (more to come, or complete: see framer status); false
  // when it failed and must be dropped.
  bool ReadAvailable(Incoming& c) {
    for (;;) {
      const std::span<char> room = c.framer.Room(kReadChunk);
      if (room.empty()) return c.framer.status() == RequestFramer::Status::Complete;
      int error = 0;
      const long n = net::ReceiveAvailable(c.socket.get(), room.data(), room.size(), &error);
      if (n < 0 && net::IsWouldBlock(error)) {
        c.framer.Commit(0);
        return true;
      }
      if (n <= 0) return false;  // closed or failed before the request was whole
      const Clock::time_point now = Clock::now();
      c.lastByte = now;
      const size_t before = c.framer.MessageBytes();
      if (c.framer.Commit(static_cast<size_t>(n)) == RequestFramer::Status::BadMagic) return false;
      if (c.framer.status() == RequestFramer::Status::OverLimit) return false;
      if (!c.firstByte && c.framer.MessageBytes() > 0) c.firstByte = now;
      // Charged as the bytes arrive, beyond the part every request is given.
      const size_t after = c.framer.MessageBytes();
      const size_t charged =
          std::max(after, kAlwaysAdmittedBytes) - std::max(before, kAlwaysAdmittedBytes);
      if (charged > 0 && !c.charge.Take(charged)) return false;
      // A short read took all there was; the next poll tells of more.
      if (static_cast<size_t>(n) < room.size()) return true;
    }
  }

  // The time by which the connection must have made its next step.
  Clock::time_point Deadline(const Incoming& c) const {
    if (!c.framer.HeaderComplete()) return c.accepted + options_.headerWait;
    return std::min(c.lastByte + options_.byteWait,
                    c.firstByte.value_or(c.accepted) + options_.requestWhole);
  }

  std::list<Incoming>& connections() { return connections_; }

 private:
  const ListenerOptions& options_;
  ReceiveBudget* budget_;
  std::list<Incoming> connections_;
  std::unordered_map<uint32_t, int32_t> perAddress_;
};

std::optional<RequestListener> RequestListener::Create(ServerContext& server, int* port,
                                                       ListenerOptions options) {
  std::optional<Socket> socket = net::ListenTcp(port, kServerListenBacklog, options.address);
  if (!socket) return std::nullopt;
  return RequestListener(server, std::move(*socket), std::move(options));
}

RequestListener::RequestListener(ServerContext& server, Socket socket, ListenerOptions options)
    : server_(&server),
      socket_(std::move(socket)),
      options_(std::move(options)),
      shared_(std::make_shared<Shared>()) {}

void RequestListener::Run(const std::atomic<bool>& stop) {
  std::mutex timerLock;  // guards `stopping`
  std::condition_variable timerWake;
  bool stopping = false;
  std::thread timer([&] { RunMinuteTimer(timerLock, timerWake, stopping); });
  // Ready only now: whoever waits for it sees every thread of the listener.
  if (options_.hooks.listening) options_.hooks.listening();

  Receiving receiving(options_, server_->receiveBudget);
  std::vector<net::PollEntry> entries;
  std::vector<std::list<Incoming>::iterator> owners;
  while (!stop.load()) {
    // The listening socket is watched only while there is room for more.
    const bool accepting = !receiving.Full() && PendingCount() < options_.maxPending;
    entries.clear();
    owners.clear();
    Clock::time_point wakeBy = Clock::now() + kLongestWait;
    if (accepting) entries.push_back({socket_.get()});
    for (auto it = receiving.connections().begin(); it != receiving.connections().end(); ++it) {
      entries.push_back({it->socket.get()});
      owners.push_back(it);
      wakeBy = std::min(wakeBy, receiving.Deadline(*it));
    }
    const auto wait =
        std::max(milliseconds(0), std::chrono::ceil<milliseconds>(wakeBy - Clock::now()));
    if (net::PollReadable(entries, wait) < 0) continue;
    if (stop.load()) break;

    // Connections first: what has arrived is taken before anyone new.
    const size_t offset = accepting ? 1 : 0;
    for (size_t k = 0; k < owners.size(); ++k) {
      auto it = owners[k];
      if (entries[k + offset].ready) {
        if (!receiving.ReadAvailable(*it)) {
          receiving.Remove(it);
          continue;
        }
        if (it->framer.status() == RequestFramer::Status::Complete) {
          HandOver(receiving, it);
          continue;
        }
      }
      if (Clock::now() >= receiving.Deadline(*it)) receiving.Remove(it);  // too slow: closed
    }

    if (!accepting || !entries[0].ready) continue;
    for (int n = 0; n < kAcceptsPerTurn && !receiving.Full(); ++n) {
      // The listening socket blocks: only the first accept is known to find
      // a connection waiting.
      if (n > 0 && net::WaitReadable(socket_.get(), milliseconds(0)) != WaitResult::Ready) break;
      int error = 0;
      uint32_t peer = 0;
      std::optional<Socket> s = net::Accept(socket_.get(), &peer, &error);
      if (!s) {
        if (!net::IsInterrupted(error)) std::fputs("Error in msgsock\n", stderr);
        break;
      }
      net::SetSendTimeout(s->get(), options_.sendLimit);
      auto it = receiving.Add(std::move(*s), peer);
      if (it == receiving.connections().end()) continue;
      // A client usually sends its whole request with the handshake: take
      // it now, so a burst of quick requests never counts against the
      // address's share.
      if (!receiving.ReadAvailable(*it)) {
        receiving.Remove(it);
      } else if (it->framer.status() == RequestFramer::Status::Complete) {
        HandOver(receiving, it);
      }
    }
  }

  {
    std::lock_guard<std::mutex> guard(timerLock);
    stopping = true;
  }
  timerWake.notify_all();
  timer.join();
}

void RequestListener::HandOver(Receiving& receiving, std::list<Incoming>::iterator it) {
  ReadyRequest ready{
      std::move(it->socket), it->peerAddress, {it->framer.TakeMessage(), std::move(it->charge)}};
  receiving.Remove(it);
  Dispatch(std::move(ready));
}

void RequestListener::Dispatch(ReadyRequest request) {
  if (options_.hooks.reloadConfigIfChanged) options_.hooks.reloadConfigIfChanged();
  if (options_.hooks.checkGroupChanges) options_.hooks.checkGroupChanges();
  {
    std::lock_guard<std::mutex> guard(shared_->lock);
    if (shared_->running.load() >= options_.maxThreads) {
      shared_->pending.push_back(std::move(request));
      return;
    }
    // Counted before the start so that the thread's own decrement can never
    // come first; undone if the thread cannot be started.
    shared_->running.fetch_add(1);
  }
  if (!StartRequestThread(request)) {
    shared_->running.fetch_sub(1);
    // No reply: the connection closes with `request`; the listener goes on.
  }
}

size_t RequestListener::PendingCount() const {
  std::lock_guard<std::mutex> guard(shared_->lock);
  return shared_->pending.size();
}

bool RequestListener::StartRequestThread(ReadyRequest& request) {
  auto body = [server = server_, shared = shared_,
               handler = options_.testRequestHandler](ReadyRequest next) {
    for (;;) {
      if (handler) {
        handler(*server, next.socket.get(), next.peerAddress, std::move(next.message));
      } else {
        ProcessClientRequest(*server, next.socket.get(), next.peerAddress, std::move(next.message));
      }
      // The peer may still send bytes this request never read (input that
      // came after the job ended): they are read away before the close, so
      // the peer sees a clean end rather than a reset that would lose the
      // reply it has not read yet. Clients close their side once they have
      // the reply, so the bound only matters for one that does not.
      next.socket.ShutdownDrainAndClose(kCloseDrainLimit, kCloseDrainBytes);
      // The next request waiting for a thread runs on this one.
      std::unique_lock<std::mutex> guard(shared->lock);
      if (shared->pending.empty()) break;
      next = std::move(shared->pending.front());
      shared->pending.pop_front();
    }
    // Last act, under the lock: the count drops and WaitUntilIdle wakes.
    shared->running.fetch_sub(1);
    shared->finished.notify_all();
  };
  try {
    std::thread(body, std::move(request)).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

void RequestListener::RunMinuteTimer(std::mutex& lock, std::condition_variable& wake,
                                     const bool& stopping) {
  std::unique_lock<std::mutex> guard(lock);
  for (;;) {
    const auto next = std::chrono::seconds(SecondsToNextMinute(options_.clock()));
    if (wake.wait_for(guard, next, [&] { return stopping; })) return;
    guard.unlock();
    MinuteWork();
    guard.lock();
  }
}

void RequestListener::MinuteWork() {
  ReapAdoptedOrphans();
  if (server_->docked) server_->docked->ExpireDocked();
  if (options_.hooks.schedulerMinuteStep) options_.hooks.schedulerMinuteStep();
}

bool RequestListener::WaitUntilIdle(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> guard(shared_->lock);
  return shared_->finished.wait_for(
      guard, timeout, [&] { return shared_->running.load() == 0 && shared_->pending.empty(); });
}

void ProcessIncomingRequests(ServerContext& server, int port, ListenerHooks hooks,
                             uint32_t address) {
  ListenerOptions options;
  options.hooks = std::move(hooks);
  options.address = address;
  options.requestWhole = server.requestWhole;
  if (options.hooks.minuteClock) options.clock = options.hooks.minuteClock;
  // Told once the loop and its timer are up.
  // The hook first (it logs the start line), so that whoever waits for the
  // console line finds the log written.
  options.hooks.listening = [&port, ready = std::move(options.hooks.listening)] {
    if (ready) ready();
    std::printf("Listening on port %d\n", port);
    std::fflush(stdout);
  };
  const ListenerHooks::NotListening notListening = options.hooks.notListening;
  std::optional<RequestListener> listener = RequestListener::Create(server, &port, options);
  if (!listener) {
    const int error = errno;
    if (notListening) notListening(error);
    std::exit(1);
  }
  const std::atomic<bool> never{false};
  listener->Run(never);
  std::abort();  // Run returns only when asked to stop, and nothing asks
}

}  // namespace kestrun
