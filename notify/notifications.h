// Notifications to docked clients: balloon messages and job started/stopped
// messages, sent as single UDP datagrams to the clients of the registry,
// directly or through the relay server named by `relayserver`.
//
// Recipients are resolved into (host, user) targets with the group processor
// and the docked-client registry; each target is then looked up again in the
// registry for its address and port when its datagram leaves, because a
// client may have gone in between.
//
// Threads: request threads (SEND_MESSAGE_TO_CLIENT, the relay requests) and
// job threads (NotifyJobState) call in at the same time. Each call has its own
// targets and its own socket; the registry is used only through its
// operations, so nothing of it is held while sending. No call waits long: a
// datagram send never blocks, and a relay server gets kRelayConnectLimit to
// accept the connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "notify/docked_registry.h"
#include "protocol/datagram.h"
#include "protocol/udp.h"

namespace kestrun {

class ServerConfig;

inline constexpr std::chrono::milliseconds kRelayConnectLimit{5000};

struct NotificationTarget {
  std::string host;
  std::string user;
};

// Targets in the order they were added; a pair equal to one already there
// without regard to case on both names is not added again.
class TargetList {
 public:
  void Add(std::string_view host, std::string_view user);
  const std::vector<NotificationTarget>& targets() const { return targets_; }
  size_t size() const { return targets_.size(); }

 private:
  std::vector<NotificationTarget> targets_;
  std::unordered_set<std::string> keys_;  // upper-cased "host\0user" of each target
};

// Sends the datagrams of one request or job event through one socket, opened
// at the first send. Balloon send failures are counted and logged in one line
// by LogFailures, so a request with many unreachable targets costs one log
// line. Belongs to the thread that made it.
class NotificationSender {
 public:
  explicit NotificationSender(const ServerConfig& config) : config_(config) {}

  // Sends an encoded balloon datagram; false (counted) when the send failed.
  bool SendBalloon(uint32_t address, int32_t port, std::span<const uint8_t> datagram);
  // Logs the balloon send failures so far, if any, and forgets them: one
  // failure as "ERROR: Failed to sendto UDP port %d at IP Address [%s]",
  // several as "ERROR: Failed to sendto %d client(s) (first UDP port %d at IP
  // Address [%s])".
  void LogFailures();
  // Sends the job-state datagram; failures are not reported.
  void SendJobState(uint32_t address, int32_t port, bool started);
  // Sends the balloon to the target at `where`, its registry entry as
  // AddressesOf found it. A target without a live entry (or with address 0) is
  // logged as "ERROR: Could not find entry for client %s@%s - client machine
  // registered?" and false is returned; a failed send is counted.
  bool SendBalloonTo(const NotificationTarget& target, const std::optional<DockedAddress>& where,
                     std::span<const uint8_t> datagram);

 private:
  int Send(uint32_t address, int32_t port, std::span<const uint8_t> datagram);

  const ServerConfig& config_;
  std::optional<DatagramSocket> socket_;
  int failures_ = 0;
  DockedAddress firstFailure_;
};

// The registry entry of each target (FindDocked: host and user without regard
// to case, live entries only), in target order, looked up in one step.
std::vector<std::optional<DockedAddress>> AddressesOf(DockedRegistry& docked,
                                                      const TargetList& targets);

// The user names of a group from the group processor, in its order; none when
// there is no ready group processor or the group is unknown or empty.
std::optional<std::vector<std::string>> GroupMembers(const ServerConfig& config,
                                                     std::string_view group);

// Adds (host, member) for every docked host of every member of `group`.
// Returns false when the group has no members (GroupMembers gave none).
bool AddGroupTargets(const ServerConfig& config, DockedRegistry& docked, std::string_view group,
                     TargetList& targets);

// Tells the docked members of the groups in `groups` (names separated by ",",
// empty items skipped) that a job started or stopped: directly, or through the
// relay server with the log lines of a relayed message. Called on the job's
// thread when the job starts and when it ends; an empty text does nothing.
void NotifyJobState(const ServerConfig& config, DockedRegistry& docked, std::string_view groups,
                    bool started);

// Sends a balloon to every target: directly (then logs "Sent Balloon
// Notification Message to %d client(s)"), or through the relay server.
void SendBalloonToTargets(const ServerConfig& config, DockedRegistry& docked,
                          const TargetList& targets, const Balloon& balloon);

}  // namespace kestrun
