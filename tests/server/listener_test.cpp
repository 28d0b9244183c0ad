// The request listener in this process, over loopback: magic handling on the
// request thread, the thread cap, the hooks around each connection and the
// minute work.
#include "server/listener.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "notify/docked_registry.h"
#include "protocol/transport.h"
#include "server/dispatcher.h"
#include "tests/support/server_home.h"
#include "tests/support/wire_bytes.h"

namespace kestrun {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// A listener running on its own thread; stopped and drained on destruction.
class Listening {
 public:
  Listening(ServerContext& server, ListenerOptions options) {
    listener_ = RequestListener::Create(server, &port_, std::move(options));
    EXPECT_TRUE(listener_);
    thread_ = std::thread([this] { listener_->Run(stop_); });
  }
  ~Listening() {
    stop_ = true;
    ConnectToServer(port_, "127.0.0.1");  // wakes the accept wait
    thread_.join();
    EXPECT_TRUE(listener_->WaitUntilIdle(seconds(20)));
  }
  int port() const { return port_; }
  RequestListener& listener() { return *listener_; }

 private:
  int port_ = 0;
  std::optional<RequestListener> listener_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

XDRWRAP Echo(int32_t value) {
  XDRWRAP m;
  m.BeginEncode();
  m.AddEnum(ECHO_REQUEST);
  m.AddLong(value);
  return m;
}

// Sends raw bytes on a fresh connection, ends the sending direction, and
// returns everything the server sends until it closes.
std::string SendRaw(int port, const std::string& bytes) {
  std::optional<ServerConnection> c = ConnectToServer(port, "127.0.0.1");
  if (!c) return "<no connection>";
  const SendPiece piece{bytes.data(), bytes.size()};
  net::SendAll(c->socket.get(), {&piece, 1});
  c->socket.ShutdownSend();
  std::string out;
  char buffer[256];
  int error = 0;
  while (net::WaitReadable(c->socket.get(), seconds(10)) == WaitResult::Ready) {
    const long n = net::ReceiveSome(c->socket.get(), buffer, sizeof buffer, &error);
    if (n <= 0) return out;
    out.append(buffer, static_cast<size_t>(n));
  }
  return out + "<timeout>";
}

// The number of threads of this process, as the system counts them.
int ThreadsOfThisProcess() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
  }
  return -1;
}

TEST(Magic, WrongMagicIsClosedWithoutReplyAndNeverReachesTheDispatcher) {
  ServerContext server{};
  std::atomic<int> requests{0};
  ListenerOptions options;
  options.testRequestHandler = [&](ServerContext&, SocketHandle, uint32_t) { ++requests; };
  Listening l(server, options);
  EXPECT_EQ(SendRaw(l.port(), std::string("\x12\x5A\xBB\xCF", 4) + std::string(40, '\0')), "");
  EXPECT_EQ(SendRaw(l.port(), std::string("\x12\x5A", 2)), "") << "closed after a short magic";
  EXPECT_TRUE(l.listener().WaitUntilIdle(seconds(10)));
  EXPECT_EQ(requests.load(), 0);
}

TEST(Magic, BothMagicsAreServed) {
  ServerContext server{};
  Listening l(server, {});
  for (uint32_t magic : {ConnectionMagic, AlternateConnectionMagic}) {
    std::optional<ServerConnection> c = ConnectToServer(l.port(), "127.0.0.1");
    ASSERT_TRUE(c);
    XDRWRAP request = Echo(-5);
    SendRequest(request, *c, magic);
    XDRWRAP reply;
    ReceiveMessage(reply, c->socket.get(), seconds(10));
    EXPECT_EQ(reply.GetEnum(), 1);
    EXPECT_EQ(reply.GetLong(), -5);
  }
}

TEST(Magic, SilentConnectionIsDroppedAfterTheMagicWaitAndOthersAreServed) {
  ServerContext server{};
  ListenerOptions options;
  options.magicWait = milliseconds(300);
  Listening l(server, options);
  std::optional<ServerConnection> silent = ConnectToServer(l.port(), "127.0.0.1");
  ASSERT_TRUE(silent);
  XDRWRAP request = Echo(7);
  std::optional<XDRWRAP> reply = test::Exchange(l.port(), request);
  ASSERT_TRUE(reply) << "a silent client does not hold up the next one";
  EXPECT_EQ(reply->GetEnum(), 1);
  EXPECT_EQ(reply->GetLong(), 7);
  // The server gives up on the silent one: it sees the connection close.
  ASSERT_EQ(net::WaitReadable(silent->socket.get(), seconds(10)), WaitResult::Ready);
  char byte;
  int error = 0;
  EXPECT_EQ(net::ReceiveSome(silent->socket.get(), &byte, 1, &error), 0);
  EXPECT_TRUE(l.listener().WaitUntilIdle(seconds(10)));
}

TEST(Hooks, ReloadAndGroupChecksRunBeforeEachConnectionIsServed) {
  ServerContext server{};
  std::mutex lock;
  std::vector<std::string> events;
  auto note = [&](std::string e) {
    std::lock_guard<std::mutex> guard(lock);
    events.push_back(std::move(e));
  };
  ListenerOptions options;
  options.hooks.reloadConfigIfChanged = [&] { note("reload"); };
  options.hooks.checkGroupChanges = [&] { note("groups"); };
  options.testRequestHandler = [&](ServerContext& s, SocketHandle socket, uint32_t peer) {
    note("request");
    ProcessClientRequest(s, socket, peer);
  };
  Listening l(server, options);
  for (int i = 0; i < 2; ++i) {
    XDRWRAP request = Echo(i);
    ASSERT_TRUE(test::Exchange(l.port(), request));
  }
  std::lock_guard<std::mutex> guard(lock);
  EXPECT_EQ(events, (std::vector<std::string>{"reload", "groups", "request", "reload", "groups",
                                              "request"}));
}

TEST(MinuteTick, ExpiresDockedClientsThenRunsTheSchedulerStep) {
  // The wall clock says hh:mm:59, so the first wait ends at the minute after
  // one real second.
  std::time_t registryNow = 1'700'000'000;
  DockedRegistry registry([&] { return registryNow; });
  registry.DockOrRefresh("OLD", 1, 1, "u");
  registryNow += 181;
  registry.DockOrRefresh("NEW", 2, 2, "u");
  ServerContext server{};
  server.docked = &registry;
  std::mutex lock;
  std::condition_variable stepped;
  std::vector<size_t> dockedAtStep;
  ListenerOptions options;
  options.clock = [] {
    std::tm t{};
    t.tm_year = 126;
    t.tm_mday = 6;
    t.tm_mon = 11;
    t.tm_hour = 8;
    t.tm_min = 9;
    t.tm_sec = 59;
    t.tm_isdst = -1;
    return std::mktime(&t);
  };
  options.hooks.schedulerMinuteStep = [&] {
    std::lock_guard<std::mutex> guard(lock);
    dockedAtStep.push_back(registry.ListDocked().size());
    stepped.notify_all();
  };
  Listening l(server, options);
  std::unique_lock<std::mutex> guard(lock);
  ASSERT_TRUE(stepped.wait_for(guard, seconds(10), [&] { return !dockedAtStep.empty(); }));
  EXPECT_EQ(dockedAtStep[0], 1u) << "the stale client was expired before the scheduler step";
  EXPECT_EQ(registry.ListDocked()[0].hostName, "NEW");
}

// 600 clients at once, each holding its request open: never more than 501
// request threads run, every client gets its answer, and no thread is left
// behind. Requests are held until 501 are held at once (the cap is reached),
// then all are let go.
TEST(ThreadCap, SixHundredClientsAreAllServedUnderTheCap) {
  constexpr int kClients = 600;
  constexpr int kCap = 501;
  ServerContext server{};
  std::mutex lock;
  std::condition_variable released;
  int holding = 0, mostHolding = 0;
  bool letGo = false;
  std::atomic<int> reached{0};  // requests that reached the handler
  ListenerOptions options;
  options.testRequestHandler = [&](ServerContext& s, SocketHandle socket, uint32_t peer) {
    ++reached;
    {
      std::unique_lock<std::mutex> guard(lock);
      mostHolding = std::max(mostHolding, ++holding);
      if (holding == kCap) {
        // Only now is there anything to wake the holders for.
        letGo = true;
        released.notify_all();
      }
      released.wait_for(guard, seconds(20), [&] { return letGo; });
      --holding;
    }
    ProcessClientRequest(s, socket, peer);
  };
  Listening l(server, options);
  const int threadsBefore = ThreadsOfThisProcess();

  // Every client sends the same ECHO request bytes. All run from this one
  // thread with non-blocking sockets. Connects are paced (a few handshakes
  // in flight, and not many more connections than have reached a request
  // thread) so that the listen queue never overflows: the kernel would drop
  // the handshakes beyond it and the clients would retry after a second or
  // more, which tests the kernel's back-off rather than the cap.
  std::string requestBytes;
  {
    test::SocketCapture capture;
    XDRWRAP request = Echo(1234);
    SendRequest(request, capture.connection);
    requestBytes = capture.Take();
  }
  enum class State { Idle, Connecting, Sent, Done };
  struct Client {
    int fd = -1;
    State state = State::Idle;
    std::string received;
  };
  std::vector<Client> clients(kClients);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(l.port()));
  address.sin_addr.s_addr = htonl(0x7F000001);
  constexpr int kHandshakesInFlight = 16;
  constexpr int kNotYetAccepted = 64;
  size_t next = 0;
  int connecting = 0, open = kClients;
  const auto deadline = std::chrono::steady_clock::now() + seconds(30);
  while (open > 0 && std::chrono::steady_clock::now() < deadline) {
    while (connecting < kHandshakesInFlight && next < clients.size() &&
           static_cast<int>(next) - reached.load() < kNotYetAccepted) {
      Client& c = clients[next++];
      c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      ASSERT_GE(c.fd, 0);
      const int rc = ::connect(c.fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
      ASSERT_TRUE(rc == 0 || errno == EINPROGRESS);
      c.state = State::Connecting;
      ++connecting;
    }
    std::vector<pollfd> fds;
    std::vector<Client*> owners;
    for (Client& c : clients) {
      if (c.state != State::Connecting && c.state != State::Sent) continue;
      fds.push_back({c.fd, static_cast<short>(c.state == State::Sent ? POLLIN : POLLOUT), 0});
      owners.push_back(&c);
    }
    // A short wait: `reached` changes without any of these sockets stirring.
    ASSERT_GE(::poll(fds.data(), fds.size(), 5), 0);
    for (size_t k = 0; k < fds.size(); ++k) {
      Client& c = *owners[k];
      if (!fds[k].revents) continue;
      if (c.state == State::Connecting) {
        --connecting;
        int error = 0;
        socklen_t size = sizeof error;
        ::getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &size);
        const bool sent =
            error == 0 && ::send(c.fd, requestBytes.data(), requestBytes.size(), MSG_NOSIGNAL) ==
                              static_cast<ssize_t>(requestBytes.size());
        c.state = sent ? State::Sent : State::Done;
        if (!sent) --open;
        continue;
      }
      char buffer[256];
      const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
      if (n > 0) {
        c.received.append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EAGAIN) {
        c.state = State::Done;
        --open;
      }
    }
  }
  int answered = 0;
  for (Client& c : clients) {
    if (c.fd >= 0) ::close(c.fd);
    XDRWRAP reply = test::DecodeBytes(c.received);
    try {
      if (reply.GetEnum() == 1 && reply.GetLong() == 1234) ++answered;
    } catch (const DecodeFailure&) {
    }
  }
  EXPECT_EQ(answered, kClients);
  EXPECT_EQ(mostHolding, kCap);
  EXPECT_TRUE(l.listener().WaitUntilIdle(seconds(20)));
  EXPECT_EQ(l.listener().RunningThreads(), 0);
  // The count drops just before a request thread ends; the system's own
  // count of our threads then comes back to where it was.
  const auto settled = std::chrono::steady_clock::now() + seconds(10);
  while (ThreadsOfThisProcess() > threadsBefore && std::chrono::steady_clock::now() < settled) {
    std::this_thread::sleep_for(milliseconds(5));
  }
  EXPECT_EQ(ThreadsOfThisProcess(), threadsBefore) << "request threads left behind";
}

}  // namespace
}  // namespace kestrun
