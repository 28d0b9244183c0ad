// SEND_MESSAGE_TO_CLIENT to a group of 1,000 users, each docked on a loopback
// UDP port of its own, against the built KestrunServer (kesgp_file as group
// processor) in a temporary home. Prints the time from sending the request to
// its reply, which the server sends once it resolved the group and sent every
// datagram; target: under 50 ms.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "protocol/messages/notify.h"
#include "protocol/transport.h"
#include "protocol/udp.h"
#include "tests/support/ask.h"
#include "tests/support/server_home.h"

namespace {

using namespace kestrun;
using Clock = std::chrono::steady_clock;

constexpr int kUsers = 1000;
constexpr int kRounds = 30;

bool Dock(int serverPort, const std::string& user, int udpPort) {
  return test::Ask<messages::ClientKeepaliveReply>(
             serverPort, messages::ClientKeepaliveRequest{user, "bench-pc", udpPort})
      .has_value();
}

std::optional<int32_t> SendToGroup(int serverPort) {
  const auto reply = test::Ask<messages::SendMessageToClientReply>(
      serverPort,
      messages::SendMessageToClientRequest{{{"Everyone", messages::RecipientKind::kGroup}},
                                           1,
                                           "Benchmark",
                                           "The backup finished.",
                                           false});
  if (!reply || reply->statuses.empty()) return std::nullopt;
  return static_cast<int32_t>(reply->statuses[0]);
}

}  // namespace

int main() {
  // A socket per docked user, and the server's own.
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);

  test::TestHome home;
  std::string groups = "Everyone:";
  for (int k = 0; k < kUsers; ++k) groups += (k ? ",user" : "user") + std::to_string(k);
  home.WriteFile("groups.txt", groups + "\n");
  test::RunningServer server(home, {{"KESGP_FILE", home.path() + "/groups.txt"}},
                             std::string("groupprocessor=") + KESGP_FILE_PATH + "\n");
  if (!server.ready()) {
    std::fprintf(stderr, "server did not start: %s\n", server.process().Stderr().c_str());
    return 1;
  }
  std::vector<DatagramSocket> clients;
  for (int k = 0; k < kUsers; ++k) {
    int port = 0, error = 0;
    std::optional<DatagramSocket> s = DatagramSocket::Bind(0x7F000001, &port, &error);
    if (!s || !Dock(server.port(), "user" + std::to_string(k), port)) {
      std::fprintf(stderr, "could not dock user%d (error %d)\n", k, error);
      return 1;
    }
    clients.push_back(std::move(*s));
  }

  std::vector<double> times;
  long received = 0;
  char area[2048];
  for (int round = 0; round < kRounds; ++round) {
    const auto start = Clock::now();
    const std::optional<int32_t> status = SendToGroup(server.port());
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    if (status != 1) {
      std::fprintf(stderr, "unexpected reply\n");
      return 1;
    }
    for (const DatagramSocket& c : clients) {
      int error = 0;
      while (c.ReceiveFrom(area, sizeof area, std::chrono::milliseconds(0), &error) > 0) ++received;
    }
  }
  std::sort(times.begin(), times.end());
  std::printf("SEND_MESSAGE_TO_CLIENT to a group of %d docked users, %d rounds\n", kUsers, kRounds);
  std::printf("  resolve and send: min %.2f ms, median %.2f ms, max %.2f ms (target < 50 ms)\n",
              times.front(), times[times.size() / 2], times.back());
  std::printf("  datagrams received: %ld of %d\n", received, kUsers * kRounds);
  return 0;
}
