#include "notify/relay.h"

#include <algorithm>
#include <optional>
#include <string>

#include "base/log.h"
#include "config/server_config.h"
#include "notify/refusal_log.h"
#include "protocol/transport.h"

namespace kestrun {

bool MayRelayFrom(uint32_t peer, std::span<const uint32_t> relayClients) {
  if ((peer >> 24) == 127) return true;
  return std::find(relayClients.begin(), relayClients.end(), peer) != relayClients.end();
}

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

void AddRelayEntries(XDRWRAP& request, std::span<const DockedAddress> addresses) {
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

int SendToRelayInBatches(const ServerConfig& config, const std::vector<DockedAddress>& addresses,
                         const std::function<void(XDRWRAP& request)>& opening) {
  const std::span<const DockedAddress> all(addresses);
  size_t sent = 0;
  do {
    const std::span<const DockedAddress> batch =
        all.subspan(sent, std::min(kMaxRelayTargets, all.size() - sent));
    XDRWRAP request;
    request.BeginEncode();
    opening(request);
    AddRelayEntries(request, batch);
    if (!SendToRelay(config, request)) break;
    sent += batch.size();
  } while (sent < all.size());
  return static_cast<int>(sent);
}

namespace {

// The entries of a relay request, which end at a high half of 0; nullopt
// when there are more than kMaxRelayTargets.
std::optional<std::vector<DockedAddress>> ReadRelayEntries(XDRWRAP& request) {
  std::vector<DockedAddress> entries;
  for (int32_t high = request.GetLong(); high != 0; high = request.GetLong()) {
    if (entries.size() == kMaxRelayTargets) return std::nullopt;
    const int32_t low = request.GetLong();
    const int32_t port = request.GetLong();
    entries.push_back({(static_cast<uint32_t>(high) << 16) + static_cast<uint32_t>(low), port});
  }
  return entries;
}

const char* StateWord(bool started) {
  return started ? "Started" : "Stopped";
}

// True when the peer may relay; a refusal is logged at most once a minute
// per address (every time when the server keeps no refusal log).
bool AcceptRelayFrom(const RequestContext& rc) {
  const ServerConfig& config = *rc.server.config;
  if (MayRelayFrom(rc.peerAddress, config.relayClients())) return true;
  if (!rc.server.relayRefusals || rc.server.relayRefusals->ShouldLog(rc.peerAddress)) {
    LogMessage(config,
               "Relay request from IP Address %s refused - address not listed in \"relayclients\"",
               FormatIPv4(rc.peerAddress).c_str());
  }
  return false;
}

void LogTooManyTargets(const ServerConfig& config, const char* what, const std::string& sender) {
  LogMessage(config,
             "Relay Message (%s) from Kestrun Server on Host \"%s\" refused - more than %zu "
             "targets",
             what, sender.c_str(), kMaxRelayTargets);
}

}  // namespace

void RelayMessageBalloon(RequestContext& rc) {
  if (!AcceptRelayFrom(rc)) return;
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
  const std::optional<std::vector<DockedAddress>> entries = ReadRelayEntries(rc.request);
  if (!entries) return LogTooManyTargets(config, "Balloon Notification", sender);
  const std::vector<uint8_t> datagram = EncodeBalloonDatagram(balloon);
  NotificationSender out(config);
  for (const DockedAddress& a : *entries) out.SendBalloon(a.address, a.udpPort, datagram);
  out.LogFailures();
  LogMessage(config, "Sent Balloon Notification Message to %d client(s)",
             static_cast<int>(entries->size()));
}

void RelayMessageJobNotify(RequestContext& rc) {
  if (!AcceptRelayFrom(rc)) return;
  const ServerConfig& config = *rc.server.config;
  const std::string sender = rc.request.GetString();
  const bool started = rc.request.GetLong() != 0;
  LogMessage(config, "Relay Message (Job %s) Received from Kestrun Server on Host \"%s\"",
             StateWord(started), sender.c_str());
  const std::optional<std::vector<DockedAddress>> entries = ReadRelayEntries(rc.request);
  if (!entries) {
    return LogTooManyTargets(config, started ? "Job Started" : "Job Stopped", sender);
  }
  NotificationSender out(config);
  for (const DockedAddress& a : *entries) out.SendJobState(a.address, a.udpPort, started);
  LogMessage(config, "Sent Job %s Message to %d client(s)", StateWord(started),
             static_cast<int>(entries->size()));
}

}  // namespace kestrun
