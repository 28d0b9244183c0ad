// A stand-in server for client-side tests: accepts one connection on a free
// port, checks the magic, hands the request to the test and sends back the
// reply the test builds (or none).
#pragma once

#include <functional>
#include <optional>
#include <thread>

#include "protocol/transport.h"

namespace kestrun::test {

class FakeServer {
 public:
  // `answer` receives the request (positioned on its first field) and
  // returns the reply to send; nullopt closes the connection without one.
  using Answer = std::function<std::optional<XDRWRAP>(XDRWRAP& request)>;

  explicit FakeServer(Answer answer) : answer_(std::move(answer)) {
    listener_ = CreateListenSocket(&port_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeServer() {
    // Wakes the accept if no client ever came.
    if (!served_) ConnectToServer(port_, "127.0.0.1");
    thread_.join();
  }

  int port() const { return port_; }

 private:
  void Serve() {
    uint32_t peer = 0;
    int error = 0;
    std::optional<Socket> s = net::Accept(listener_->get(), &peer, &error);
    served_ = true;
    if (!s || !ReadConnectionMagic(s->get(), std::chrono::seconds(5))) return;
    XDRWRAP request;
    try {
      ReceiveMessage(request, s->get(), std::chrono::seconds(5));
    } catch (const DecodeFailure&) {
      return;
    }
    std::optional<XDRWRAP> reply = answer_(request);
    if (reply) SendReply(*reply, s->get());
    s->ShutdownSend();
  }

  Answer answer_;
  int port_ = 0;
  std::optional<Socket> listener_;
  std::atomic<bool> served_{false};
  std::thread thread_;
};

inline XDRWRAP Reply(const std::function<void(XDRWRAP&)>& fill) {
  XDRWRAP m;
  m.BeginEncode();
  fill(m);
  return m;
}

}  // namespace kestrun::test
