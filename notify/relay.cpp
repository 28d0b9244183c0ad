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

std::vector<messages::RelayTarget> RelayAddresses(const ServerConfig& config,
                                                  DockedRegistry& docked,
                                                  const TargetList& targets) {
  std::vector<messages::RelayTarget> addresses;
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
    addresses.push_back({where->address, where->udpPort});
  }
  return addresses;
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
  const auto request = messages::RelayMessageBalloonRequest::Decode(rc.request);
  LogMessage(config,
             "Relay Message (Balloon Notification) Received from Kestrun Server on Host \"%s\"",
             request.senderHost.c_str());
  if (request.targets.size() > kMaxRelayTargets)
    return LogTooManyTargets(config, "Balloon Notification", request.senderHost);
  const Balloon balloon{request.title, request.text, request.icon, request.immediate};
  const std::vector<uint8_t> datagram = EncodeBalloonDatagram(balloon);
  NotificationSender out(config);
  for (const messages::RelayTarget& t : request.targets)
    out.SendBalloon(t.address, t.udpPort, datagram);
  out.LogFailures();
  LogMessage(config, "Sent Balloon Notification Message to %d client(s)",
             static_cast<int>(request.targets.size()));
  messages::RelayReply{}.Encode(rc.reply);
}

void RelayMessageJobNotify(RequestContext& rc) {
  if (!AcceptRelayFrom(rc)) return;
  const ServerConfig& config = *rc.server.config;
  const auto request = messages::RelayMessageJobNotifyRequest::Decode(rc.request);
  const bool started = request.started;
  LogMessage(config, "Relay Message (Job %s) Received from Kestrun Server on Host \"%s\"",
             StateWord(started), request.senderHost.c_str());
  if (request.targets.size() > kMaxRelayTargets) {
    return LogTooManyTargets(config, started ? "Job Started" : "Job Stopped", request.senderHost);
  }
  NotificationSender out(config);
  for (const messages::RelayTarget& t : request.targets)
    out.SendJobState(t.address, t.udpPort, started);
  LogMessage(config, "Sent Job %s Message to %d client(s)", StateWord(started),
             static_cast<int>(request.targets.size()));
  messages::RelayReply{}.Encode(rc.reply);
}

}  // namespace kestrun
