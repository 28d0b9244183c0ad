// The request listener in this process, over loopback: magic handling on the
// request thread, the thread cap, the hooks around each connection and the
// minute work.
#include "server/listener.h"

#include <fcntl.h>
#include <netinet/in.h>
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
#include "protocol/messages/jobs_admin.h"
#include "protocol/transport.h"
#include "server/dispatcher.h"
#include "tests/support/ask.h"
#include "tests/support/server_home.h"
#include "tests/support/waiting.h"
#include "tests/support/wire_bytes.h"

namespace kestrun {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// The number of threads of this process, as the system counts them.
int ThreadsOfThisProcess() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
  }
  return -1;
}

// A listener running on its own thread; stopped and drained on destruction.
class Listening {
 public:
  Listening(ServerContext& server, ListenerOptions options) {
    // Run reports ready once its minute timer runs too: the test counts
    // threads only after that.
    options.hooks.listening = [this, ready = std::move(options.hooks.listening)] {
      if (ready) ready();
      ready_ = true;
    };
    listener_ = RequestListener::Create(server, &port_, std::move(options));
    EXPECT_TRUE(listener_);
    thread_ = std::thread([this] { listener_->Run(stop_); });
    EXPECT_TRUE(test::WaitUntil([&] { return ready_.load(); }, seconds(10)));
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
  std::atomic<bool> ready_{false};
  std::thread thread_;
};

XDRWRAP Echo(int32_t value) {
  XDRWRAP m;
  messages::EncodeRequest(m, messages::EchoRequest{value});
  return m;
}

// The value an echo reply carries; nullopt for anything else.
std::optional<int32_t> EchoedValue(XDRWRAP& reply) {
  try {
    return test::DecodeWhole<messages::EchoReply>(reply).value;
  } catch (const DecodeFailure&) {
    return std::nullopt;
  }
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

TEST(Magic, WrongMagicIsClosedWithoutReplyAndNeverReachesTheDispatcher) {
  ServerContext server{};
  std::atomic<int> requests{0};
  ListenerOptions options;
  options.testRequestHandler = [&](ServerContext&, SocketHandle, uint32_t, ReceivedMessage) {
    ++requests;
  };
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
    EXPECT_EQ(EchoedValue(reply), -5);
  }
}

TEST(Magic, SilentConnectionIsDroppedAfterTheMagicWaitAndOthersAreServed) {
  ServerContext server{};
  ListenerOptions options;
  options.headerWait = milliseconds(300);
  Listening l(server, options);
  std::optional<ServerConnection> silent = ConnectToServer(l.port(), "127.0.0.1");
  ASSERT_TRUE(silent);
  XDRWRAP request = Echo(7);
  std::optional<XDRWRAP> reply = test::Exchange(l.port(), request);
  ASSERT_TRUE(reply) << "a silent client does not hold up the next one";
  EXPECT_EQ(EchoedValue(*reply), 7);
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
  options.testRequestHandler = [&](ServerContext& s, SocketHandle socket, uint32_t peer,
                                   ReceivedMessage message) {
    note("request");
    ProcessClientRequest(s, socket, peer, std::move(message));
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
  options.perAddressReceiving = kClients;  // every client comes from one address
  options.testRequestHandler = [&](ServerContext& s, SocketHandle socket, uint32_t peer,
                                   ReceivedMessage message) {
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
    ProcessClientRequest(s, socket, peer, std::move(message));
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
    if (EchoedValue(reply) == 1234) ++answered;
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

// A non-blocking IPv4 connection from `from` (host order) to the loopback
// port; -1 when the socket cannot be made.
int ConnectFrom(uint32_t from, int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(from);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<uint16_t>(port));
  server.sin_addr.s_addr = htonl(0x7F000001);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      (::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0 &&
       errno != EINPROGRESS)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string EchoBytes(int32_t value) {
  test::SocketCapture capture;
  XDRWRAP request = Echo(value);
  SendRequest(request, capture.connection);
  return capture.Take();
}

// Sends an ECHO from `from` and waits at most `wait` for the answer; true when
// the value came back.
bool EchoFrom(uint32_t from, int port, milliseconds wait) {
  const int fd = ConnectFrom(from, port);
  if (fd < 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  pollfd out{fd, POLLOUT, 0};
  const std::string bytes = EchoBytes(77);
  bool sent =
      ::poll(&out, 1, static_cast<int>(wait.count())) == 1 &&
      ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  std::string received;
  while (sent && std::chrono::steady_clock::now() < deadline) {
    pollfd in{fd, POLLIN, 0};
    const auto left = std::chrono::ceil<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (::poll(&in, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) != 1) break;
    char buffer[256];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    received.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  XDRWRAP reply = test::DecodeBytes(received);
  return EchoedValue(reply) == 77;
}

// The answer time a user expects of an idle server, given more room under the
// sanitizers, which slow every step of the loop several times over.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr milliseconds kPromptly{5000};
#else
constexpr milliseconds kPromptly{1000};
#endif

constexpr uint32_t kAttacker = 0x7F000001;  // 127.0.0.1
constexpr uint32_t kUser = 0x7F000002;      // 127.0.0.2, loopback too

// Connections from one address that send a byte of the magic and then
// nothing, reconnecting whenever the server drops them, on a thread of their
// own until destroyed.
class Tricklers {
 public:
  Tricklers(int port, int count) {
    thread_ = std::thread([this, port, count] {
      std::vector<int> fds(static_cast<size_t>(count), -1);
      while (!stop_.load()) {
        std::vector<pollfd> polled;
        std::vector<size_t> owner;
        for (size_t k = 0; k < fds.size(); ++k) {
          if (fds[k] < 0) {
            fds[k] = ConnectFrom(kAttacker, port);
            ++connects_;
          }
          if (fds[k] >= 0) {
            polled.push_back({fds[k], POLLIN | POLLOUT, 0});
            owner.push_back(k);
          }
        }
        ::poll(polled.data(), polled.size(), 50);
        for (size_t k = 0; k < polled.size(); ++k) {
          const pollfd& p = polled[k];
          int& fd = fds[owner[k]];
          if (p.revents & POLLOUT) ::send(fd, "\x12", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
          char byte;
          if ((p.revents & (POLLIN | POLLHUP | POLLERR)) &&
              ::recv(fd, &byte, 1, MSG_DONTWAIT) <= 0) {
            ::close(fd);
            fd = -1;
          }
        }
      }
      for (int fd : fds)
        if (fd >= 0) ::close(fd);
    });
  }
  ~Tricklers() {
    stop_ = true;
    thread_.join();
  }
  int connects() const { return connects_.load(); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> connects_{0};
  std::thread thread_;
};

// Hundreds of stalled connections from one address, reconnecting as they are
// dropped, neither hold request threads nor delay another address's request
// or the minute work.
TEST(SlowPeers, StalledConnectionsFromOneAddressDelayNeitherOthersNorTheMinuteWork) {
  ServerContext server{};
  std::atomic<int> steps{0};
  ListenerOptions options;
  options.maxThreads = 8;  // far fewer threads than stalled connections
  options.clock = [] { return std::time_t{1'700'000'000 - 1'700'000'000 % 60 + 59}; };
  options.hooks.schedulerMinuteStep = [&] { ++steps; };
  Listening l(server, options);
  Tricklers tricklers(l.port(), 505);
  ASSERT_TRUE(test::WaitUntil([&] { return tricklers.connects() >= 1000; }));
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(EchoFrom(kUser, l.port(), kPromptly)) << "echo " << i;
  // The clock stands at a minute's last second: the timer ticks every second.
  const int before = steps.load();
  const auto deadline = std::chrono::steady_clock::now() + seconds(3);
  while (steps.load() == before && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(10));
  EXPECT_GT(steps.load(), before) << "the minute work waits behind the stalled connections";
  EXPECT_EQ(l.listener().RunningThreads(), 0) << "a stalled connection holds a request thread";
}

TEST(SlowPeers, AnAddressHasAtMostSixteenRequestsArriving) {
  ServerContext server{};
  Listening l(server, {});
  std::vector<int> held;
  for (int i = 0; i < 16; ++i) held.push_back(ConnectFrom(kAttacker, l.port()));
  const int extra = ConnectFrom(kAttacker, l.port());
  pollfd in{extra, POLLIN, 0};
  ASSERT_EQ(::poll(&in, 1, 5000), 1) << "the seventeenth connection was kept";
  char byte;
  EXPECT_EQ(::recv(extra, &byte, 1, 0), 0);
  EXPECT_TRUE(EchoFrom(kUser, l.port(), seconds(2)));
  for (int fd : held) {
    pollfd h{fd, POLLIN, 0};
    EXPECT_EQ(::poll(&h, 1, 0), 0) << "one of the sixteen was dropped";
    ::close(fd);
  }
  ::close(extra);
}

// The header's wait runs from the connection, not from the last byte: a
// client that keeps trickling is dropped all the same.
TEST(SlowPeers, TheHeaderMustBeInWithinTheHeaderWaitHoweverBytesTrickle) {
  ServerContext server{};
  ListenerOptions options;
  options.headerWait = milliseconds(500);
  Listening l(server, options);
  const std::string bytes = EchoBytes(1);
  const int fd = ConnectFrom(kUser, l.port());
  const auto start = std::chrono::steady_clock::now();
  bool dropped = false;
  for (size_t k = 0; k < bytes.size() && !dropped; ++k) {
    ::send(fd, bytes.data() + k, 1, MSG_NOSIGNAL);
    pollfd in{fd, POLLIN, 0};
    char byte;
    dropped = ::poll(&in, 1, 100) == 1 && ::recv(fd, &byte, 1, 0) <= 0;
  }
  ::close(fd);
  EXPECT_TRUE(dropped);
  EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(2));
}

// Announcing a large message takes nothing from the receive budget; only
// bytes that arrive beyond a request's first 64 KB do.
TEST(ReceiveBudgetCharge, AnnouncedSizesTakeNothingAndSmallRequestsAlwaysPass) {
  ReceiveBudget budget(128 * 1024);
  ServerContext server{};
  server.receiveBudget = &budget;
  Listening l(server, {});
  // Announces one buffer of the largest size and sends ten bytes of it.
  std::string announce("\x12\x5A\xBB\xCD", 4);
  unsigned char header[kHeaderSize] = {};
  header[3] = 1;         // one buffer
  header[8 + 1] = 0x02;  // size 0x20000
  header[15] = 1;        // one item
  announce.append(reinterpret_cast<char*>(header), sizeof header);
  announce.append(10, 'x');
  const int stalled = ConnectFrom(kAttacker, l.port());
  pollfd out{stalled, POLLOUT, 0};
  ASSERT_EQ(::poll(&out, 1, 2000), 1);
  ASSERT_EQ(::send(stalled, announce.data(), announce.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(announce.size()));
  EXPECT_TRUE(EchoFrom(kUser, l.port(), seconds(2)));
  EXPECT_EQ(budget.InUse(), 0u);

  // A request of 100 KB fits the budget beside the stalled one and is served.
  // (An echo followed by padding, which the server does not read.)
  XDRWRAP fits = Echo(6);
  fits.AddString(std::string(100 * 1024, 'z'));
  std::optional<XDRWRAP> answer = test::Exchange(l.port(), fits);
  ASSERT_TRUE(answer) << "a request past the first 64 KB was dropped";
  EXPECT_EQ(messages::EchoReply::Decode(*answer).value, 6);
  EXPECT_TRUE(l.listener().WaitUntilIdle(seconds(5)));
  EXPECT_EQ(budget.InUse(), 0u);

  // A request of 300 KB of real bytes passes the budget and is dropped.
  XDRWRAP big = Echo(5);
  for (int i = 0; i < 3; ++i) big.AddString(std::string(100 * 1024, 'y'));
  std::optional<ServerConnection> c = ConnectToServer(l.port(), "127.0.0.1");
  ASSERT_TRUE(c);
  SendRequest(big, *c);
  char byte;
  ASSERT_EQ(net::WaitReadable(c->socket.get(), seconds(5)), WaitResult::Ready);
  int error = 0;
  EXPECT_LE(net::ReceiveSome(c->socket.get(), &byte, 1, &error), 0) << "answered past the budget";
  EXPECT_TRUE(l.listener().WaitUntilIdle(seconds(5)));
  EXPECT_EQ(budget.InUse(), 0u) << "the dropped request's charge was not given back";
  ::close(stalled);
}

}  // namespace
}  // namespace kestrun
