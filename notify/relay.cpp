#include "notify/relay.h"

#include <string>

#include "base/log.h"
#include "config/server_config.h"
#include "protocol/transport.h"

namespace kestrun {

std::vector<DockedAddress> RelayAddresses(const ServerConfig& config, DockedRegistry& docked,
                                          const TargetList& targets) {
  std::vector<DockedAddress> addresses;
  addresses.reserve(targets.size());
  const std::vector<std::optional<DockedAddress>> found = AddressesOf(docked, targets);
  for (size_t k = 0; k < targets.size(); ++k) {
    const NotificationTarget& t = targets.targets()[k];
    const std::optional<DockedAddress>& where = found[k];
    if (!where || (where->address >> 16) == 0) {
      LogMessage(config,
                 "ERROR: Could not find entry for client %s@%s - client machine registered?",
                 t.user.c_str(), t.host.c_str());
      continue;
    }
    addresses.push_back(*where);
  }
  return addresses;
}

void AddRelayEntries(XDRWRAP& request, const std::vector<DockedAddress>& addresses) {
  for (const DockedAddress& a : addresses) {
    request.AddLong(static_cast<int32_t>(a.address >> 16));
    request.AddLong(static_cast<int32_t>(a.address & 0xFFFF));
    request.AddLong(a.udpPort);
  }
  request.AddLong(0);
}

bool SendToRelay(const ServerConfig& config, XDRWRAP& request) {
  const std::string relay = config.relayServer();
  const int port = config.relayPort();
  int error = 0;
  std::optional<Socket> socket;
  if (const std::optional<uint32_t> address = net::ResolveIPv4(relay)) {
    socket = net::ConnectTcpWithin(*address, port, kRelayConnectLimit, &error);
  }
  if (!socket) {
    LogMessage(config, "Could not establish connection to Relay Server \"%s\" (Port %d)",
               relay.c_str(), port);
    return false;
  }
  ServerConnection connection{0, port, std::move(*socket)};
  SendRequest(request, connection, ConnectionMagic);
  request.FreeMessage();
  CloseConnection(connection);
  return true;
}

namespace {

// Reads the entries and hands each address and port to `send`; returns how
// many there were. The list ends at a high half of 0.
template <class Send>
int ForEachRelayEntry(XDRWRAP& request, Send send) {
  int count = 0;
  for (int32_t high = request.GetLong(); high != 0; high = request.GetLong()) {
    const int32_t low = request.GetLong();
    const int32_t port = request.GetLong();
    send((static_cast<uint32_t>(high) << 16) + static_cast<uint32_t>(low), port);
    ++count;
  }
  return count;
}

const char* StateWord(bool started) {
  return started ? "Started" : "Stopped";
}

}  // namespace

void RelayMessageBalloon(RequestContext& rc) {
  const ServerConfig& config = *rc.server.config;
  const std::string sender = rc.request.GetString();
  Balloon balloon;
  balloon.title = rc.request.GetString();
  balloon.text = rc.request.GetString();
  balloon.icon = rc.request.GetLong();
  balloon.immediate = rc.request.GetLong() != 0;
  LogMessage(config,
             "Relay Message (Balloon Notification) Received from Kestrun Server on Host \"%s\"",
             sender.c_str());
  const std::vector<uint8_t> datagram = EncodeBalloonDatagram(balloon);
  NotificationSender out(config);
  const int count = ForEachRelayEntry(rc.request, [&](uint32_t address, int32_t port) {
    out.SendBalloon(address, port, datagram);
  });
  LogMessage(config, "Sent Balloon Notification Message to %d client(s)", count);
}

void RelayMessageJobNotify(RequestContext& rc) {
  const ServerConfig& config = *rc.server.config;
  const std::string sender = rc.request.GetString();
  const bool started = rc.request.GetLong() != 0;
  LogMessage(config, "Relay Message (Job %s) Received from Kestrun Server on Host \"%s\"",
             StateWord(started), sender.c_str());
  NotificationSender out(config);
  const int count = ForEachRelayEntry(rc.request, [&](uint32_t address, int32_t port) {
    out.SendJobState(address, port, started);
  });
  LogMessage(config, "Sent Job %s Message to %d client(s)", StateWord(started), count);
}

}  // namespace kestrun
