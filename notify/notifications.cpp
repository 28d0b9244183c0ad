#include "notify/notifications.h"

#include "base/log.h"
#include "base/text.h"
#include "config/server_config.h"
#include "notify/relay.h"

namespace kestrun {

void TargetList::Add(std::string_view host, std::string_view user) {
  // A NUL cannot occur in a name read from a message, so the key is unique.
  std::string key = UpperCase(host);
  key += '\0';
  key += UpperCase(user);
  if (keys_.insert(std::move(key)).second)
    targets_.push_back({std::string(host), std::string(user)});
}

int NotificationSender::Send(uint32_t address, int32_t port, std::span<const uint8_t> datagram) {
  if (!socket_) {
    int error = 0;
    socket_ = DatagramSocket::Open(&error);
    if (!socket_) return error;
  }
  return socket_->SendTo(address, port, datagram);
}

bool NotificationSender::SendBalloon(uint32_t address, int32_t port,
                                     std::span<const uint8_t> datagram) {
  if (Send(address, port, datagram) == 0) return true;
  if (failures_++ == 0) firstFailure_ = {address, port};
  return false;
}

void NotificationSender::LogFailures() {
  const std::string where = FormatIPv4(firstFailure_.address);
  if (failures_ == 1) {
    LogMessage(config_, "ERROR: Failed to sendto UDP port %d at IP Address [%s]",
               firstFailure_.udpPort, where.c_str());
  } else if (failures_ > 1) {
    LogMessage(config_,
               "ERROR: Failed to sendto %d client(s) (first UDP port %d at IP Address [%s])",
               failures_, firstFailure_.udpPort, where.c_str());
  }
  failures_ = 0;
}

void NotificationSender::SendJobState(uint32_t address, int32_t port, bool started) {
  const std::vector<uint8_t> datagram = EncodeJobStateDatagram(started);
  Send(address, port, datagram);
}

bool NotificationSender::SendBalloonTo(const NotificationTarget& target,
                                       const std::optional<DockedAddress>& where,
                                       std::span<const uint8_t> datagram) {
  if (!where || where->address == 0) {
    LogMessage(config_, "ERROR: Could not find entry for client %s@%s - client machine registered?",
               target.user.c_str(), target.host.c_str());
    return false;
  }
  return SendBalloon(where->address, where->udpPort, datagram);
}

std::optional<std::vector<std::string>> GroupMembers(const ServerConfig& config,
                                                     std::string_view group) {
  std::optional<GroupNames> members = GetUsersInGroup(config, group);
  if (!members || members->empty()) return std::nullopt;
  return members;
}

bool AddGroupTargets(const ServerConfig& config, DockedRegistry& docked, std::string_view group,
                     TargetList& targets) {
  const std::optional<std::vector<std::string>> members = GroupMembers(config, group);
  if (!members) return false;
  const std::vector<std::vector<std::string>> hosts = docked.HostsForUsers(*members);
  for (size_t k = 0; k < members->size(); ++k) {
    for (const std::string& host : hosts[k]) targets.Add(host, (*members)[k]);
  }
  return true;
}

std::vector<std::optional<DockedAddress>> AddressesOf(DockedRegistry& docked,
                                                      const TargetList& targets) {
  std::vector<std::pair<std::string, std::string>> pairs;
  pairs.reserve(targets.size());
  for (const NotificationTarget& t : targets.targets()) pairs.emplace_back(t.host, t.user);
  return docked.FindDockedMany(pairs);
}

namespace {

const char* StateWord(bool started) {
  return started ? "Started" : "Stopped";
}

}  // namespace

void NotifyJobState(const ServerConfig& config, DockedRegistry& docked, std::string_view groups,
                    bool started) {
  if (groups.empty()) return;
  TargetList targets;
  for (const std::string& group : SplitList(groups)) {
    if (!group.empty()) AddGroupTargets(config, docked, group, targets);
  }
  const std::string relay = config.relayServer();
  if (!relay.empty()) {
    const std::vector<messages::RelayTarget> addresses = RelayAddresses(config, docked, targets);
    messages::RelayMessageJobNotifyRequest request;
    request.senderHost = net::LocalHostName();
    request.started = started;
    const int sent = SendToRelayInBatches(config, addresses, std::move(request));
    LogMessage(config,
               "Sent Job %s Notification Message to %d client(s) via Relay Server %s (Port %d)",
               StateWord(started), sent, relay.c_str(), config.relayPort());
    return;
  }
  NotificationSender sender(config);
  for (const std::optional<DockedAddress>& where : AddressesOf(docked, targets)) {
    if (where && where->address != 0) sender.SendJobState(where->address, where->udpPort, started);
  }
}

void SendBalloonToTargets(const ServerConfig& config, DockedRegistry& docked,
                          const TargetList& targets, const Balloon& balloon) {
  const std::string relay = config.relayServer();
  if (!relay.empty()) {
    const std::vector<messages::RelayTarget> addresses = RelayAddresses(config, docked, targets);
    messages::RelayMessageBalloonRequest request;
    request.senderHost = net::LocalHostName();
    request.title = balloon.title;
    request.text = balloon.text;
    request.icon = balloon.icon;
    request.immediate = balloon.immediate;
    const int sent = SendToRelayInBatches(config, addresses, std::move(request));
    LogMessage(config,
               "Sent Balloon Notification Message to %d client(s) via Relay Server %s (Port %d)",
               sent, relay.c_str(), config.relayPort());
    return;
  }
  // Encoded once: every target gets the same bytes.
  const std::vector<uint8_t> datagram = EncodeBalloonDatagram(balloon);
  NotificationSender sender(config);
  const std::vector<std::optional<DockedAddress>> where = AddressesOf(docked, targets);
  for (size_t k = 0; k < targets.size(); ++k)
    sender.SendBalloonTo(targets.targets()[k], where[k], datagram);
  sender.LogFailures();
  LogMessage(config, "Sent Balloon Notification Message to %d client(s)",
             static_cast<int>(targets.size()));
}

}  // namespace kestrun
