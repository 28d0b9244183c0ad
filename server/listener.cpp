#include "server/listener.h"

#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <utility>

#include "notify/docked_registry.h"
#include "platform/process.h"
#include "protocol/transport.h"
#include "server/dispatcher.h"

namespace kestrun {

namespace {

// Linux does not refuse a connection when the accept queue is full: it drops
// the handshake and the client retries after a second, then two, four... With
// a queue of 5 even a light burst of clients stalls for whole seconds, so the
// server keeps a queue of ordinary size.
constexpr int kServerListenBacklog = 128;

}  // namespace

std::optional<RequestListener> RequestListener::Create(ServerContext& server, int* port,
                                                       ListenerOptions options) {
  std::optional<Socket> socket = net::ListenTcp(port, kServerListenBacklog);
  if (!socket) return std::nullopt;
  return RequestListener(server, std::move(*socket), std::move(options));
}

RequestListener::RequestListener(ServerContext& server, Socket socket, ListenerOptions options)
    : server_(&server),
      socket_(std::move(socket)),
      options_(std::move(options)),
      shared_(std::make_shared<Shared>()) {}

void RequestListener::Run(const std::atomic<bool>& stop) {
  ConnectionWaiter waiter(options_.clock);
  while (!stop.load()) {
    WaitOutcome outcome = waiter.WaitForConnection(socket_.get());
    if (outcome.connection && !stop.load()) {
      if (options_.hooks.reloadConfigIfChanged) options_.hooks.reloadConfigIfChanged();
      if (options_.hooks.checkGroupChanges) options_.hooks.checkGroupChanges();
      WaitForThreadSlot();
      net::SetSendTimeout(outcome.connection->socket.get(), options_.sendLimit);
      StartRequestThread(std::move(outcome.connection->socket), outcome.connection->peerAddress);
    }
    if (outcome.MinuteTick) MinuteWork();
  }
}

void RequestListener::WaitForThreadSlot() const {
  // Woken when a request thread finishes; the one-second bound keeps the
  // listener looking even if a wake-up is missed.
  std::unique_lock<std::mutex> guard(shared_->lock);
  while (shared_->running.load() >= options_.maxThreads) {
    shared_->finished.wait_for(guard, std::chrono::milliseconds(1000));
  }
}

void RequestListener::StartRequestThread(Socket connection, uint32_t peerAddress) {
  auto body = [server = server_, shared = shared_, magicWait = options_.magicWait,
               handler = options_.testRequestHandler, peerAddress](Socket socket) {
    // The magic is read here rather than on the listener, so a client that
    // connects and stays silent holds only its own thread.
    if (ReadConnectionMagic(socket.get(), magicWait)) {
      if (handler) {
        handler(*server, socket.get(), peerAddress);
      } else {
        ProcessClientRequest(*server, socket.get(), peerAddress);
      }
      socket.ShutdownSend();
    }
    socket.Close();
    // Last act: the count drops, and a listener waiting for a slot wakes.
    shared->running.fetch_sub(1);
    std::lock_guard<std::mutex> guard(shared->lock);
    shared->finished.notify_all();
  };
  // Counted before the start so that the thread's own decrement can never
  // come first; undone if the thread cannot be started.
  shared_->running.fetch_add(1);
  try {
    std::thread(body, std::move(connection)).detach();
  } catch (const std::system_error&) {
    // The connection was moved into the failed call's argument and is closed
    // with it: no reply; the listener goes on.
    shared_->running.fetch_sub(1);
  }
}

void RequestListener::MinuteWork() {
  ReapAdoptedOrphans();
  if (server_->docked) server_->docked->ExpireDocked();
  if (options_.hooks.schedulerMinuteStep) options_.hooks.schedulerMinuteStep();
}

bool RequestListener::WaitUntilIdle(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> guard(shared_->lock);
  return shared_->finished.wait_for(guard, timeout, [&] { return shared_->running.load() == 0; });
}

void ProcessIncomingRequests(ServerContext& server, int port, ListenerHooks hooks) {
  ListenerOptions options;
  options.hooks = std::move(hooks);
  std::optional<RequestListener> listener = RequestListener::Create(server, &port, options);
  if (!listener) std::exit(1);
  std::printf("Listening on port %d\n", port);
  std::fflush(stdout);
  if (options.hooks.listening) options.hooks.listening();
  const std::atomic<bool> never{false};
  listener->Run(never);
  std::abort();  // Run returns only when asked to stop, and nothing asks
}

}  // namespace kestrun
