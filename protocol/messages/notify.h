// The notification and docking requests of tray clients and servers. Field
// order after the request's type word (kinds as XDRWRAP writes them):
//
//   DEREGISTER_CLIENT (11)        request: string host, string user
//                                 reply:   char 1
//   SEND_MESSAGE_TO_CLIENT (12)   request: per recipient string name and
//                                          enum kind, then ""; long icon,
//                                          string title, string text, char
//                                          immediate
//                                 reply:   enum 1, one enum status per
//                                          recipient in request order, enum 0
//   GET_JOBS_FOR_USER (13)        request: string host, string user, long
//                                          UDP port
//                                 reply:   enum 1; per tray menu item string
//                                          job name and string menu text;
//                                          then ""
//   CLIENT_KEEPALIVE (15)         request: string user, string host, long UDP
//                                          port
//                                 reply:   enum 1
//   RELAY_MESSAGE_BALLOON (23)    request: string sender host, string title,
//                                          string text, long icon, char
//                                          immediate, targets, long 0
//                                 reply:   no fields
//   RELAY_MESSAGE_JOB_NOTIFY (24) request: string sender host, char started,
//                                          targets, long 0
//                                 reply:   no fields
//
// A relay target is three longs: address high 16 bits, address low 16 bits,
// UDP port. The relay's list ends at the first high half of 0, so an address
// whose first two octets are 0 cannot be relayed. The recipient, status and
// menu lists end at an empty name or a status 0: entries that would end them
// early (an empty recipient or job name) are not written.
// Plain values: no locks, one owner at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/messages/message.h"

namespace kestrun::messages {

enum class DeregisterResult : int32_t { kRemoved = 1 };

struct DeregisterClientRequest {
  static constexpr RequestType kType = DEREGISTER_CLIENT;
  std::string hostName;
  std::string userName;
  void Encode(XDRWRAP& out) const;
  static DeregisterClientRequest Decode(XDRWRAP& in);
  bool operator==(const DeregisterClientRequest&) const = default;
};

// The result travels as a char. Decode fails on any other result.
struct DeregisterClientReply {
  static constexpr DeregisterResult kResult = DeregisterResult::kRemoved;
  void Encode(XDRWRAP& out) const;
  static DeregisterClientReply Decode(XDRWRAP& in);
  bool operator==(const DeregisterClientReply&) const = default;
};

enum class RecipientKind : int32_t { kGroup = 1, kHost = 2, kUser = 3 };

// Per recipient of SEND_MESSAGE_TO_CLIENT. kResolved is the server's own
// mark, sent as kOkay.
enum class RecipientStatus : int32_t {
  kOkay = 1,
  kClientNotFound = 2,
  kUserNotFound = 3,
  kNoSuchGroup = 4,
  kNotProcessed = 5,
  kResolved = 6,
};

struct MessageRecipient {
  std::string name;
  RecipientKind kind = RecipientKind::kUser;  // as sent: the server ignores unknown kinds
  bool operator==(const MessageRecipient&) const = default;
};

struct SendMessageToClientRequest {
  static constexpr RequestType kType = SEND_MESSAGE_TO_CLIENT;
  std::vector<MessageRecipient> recipients;  // recipients with an empty name are not sent
  int32_t icon = 0;                          // 0 none, 1 info, 2 warning, 3 error
  std::string title;
  std::string text;
  bool immediate = false;
  void Encode(XDRWRAP& out) const;
  static SendMessageToClientRequest Decode(XDRWRAP& in);
  bool operator==(const SendMessageToClientRequest&) const = default;
};

enum class SendMessageResult : int32_t { kDone = 1 };

// Decode fails on any other result than kDone.
struct SendMessageToClientReply {
  static constexpr SendMessageResult kResult = SendMessageResult::kDone;
  std::vector<RecipientStatus> statuses;  // in request order; none may be 0
  void Encode(XDRWRAP& out) const;
  static SendMessageToClientReply Decode(XDRWRAP& in);
  bool operator==(const SendMessageToClientReply&) const = default;
};

struct GetJobsForUserRequest {
  static constexpr RequestType kType = GET_JOBS_FOR_USER;
  std::string hostName;
  std::string userName;
  int32_t udpPort = 0;
  void Encode(XDRWRAP& out) const;
  static GetJobsForUserRequest Decode(XDRWRAP& in);
  bool operator==(const GetJobsForUserRequest&) const = default;
};

struct TrayMenuItem {
  std::string jobName;
  std::string menuText;
  bool operator==(const TrayMenuItem&) const = default;
};

enum class TrayMenuResult : int32_t { kMenu = 1 };

// Decode fails on any other result than kMenu.
struct GetJobsForUserReply {
  static constexpr TrayMenuResult kResult = TrayMenuResult::kMenu;
  std::vector<TrayMenuItem> items;  // items with an empty job name are not sent
  void Encode(XDRWRAP& out) const;
  // The result, the items that keep the reply within the message limits (in
  // order, up to the first that does not fit), then "". Returns how many
  // were left out.
  size_t EncodeWithin(XDRWRAP& out) const;
  static GetJobsForUserReply Decode(XDRWRAP& in);
  bool operator==(const GetJobsForUserReply&) const = default;
};

enum class KeepaliveResult : int32_t { kDocked = 1 };

struct ClientKeepaliveRequest {
  static constexpr RequestType kType = CLIENT_KEEPALIVE;
  std::string userName;
  std::string hostName;
  int32_t udpPort = 0;
  void Encode(XDRWRAP& out) const;
  static ClientKeepaliveRequest Decode(XDRWRAP& in);
  bool operator==(const ClientKeepaliveRequest&) const = default;
};

// Decode fails on any other result than kDocked.
struct ClientKeepaliveReply {
  static constexpr KeepaliveResult kResult = KeepaliveResult::kDocked;
  void Encode(XDRWRAP& out) const;
  static ClientKeepaliveReply Decode(XDRWRAP& in);
  bool operator==(const ClientKeepaliveReply&) const = default;
};

// Most targets one relay request may list. A relay server refuses a longer
// list; a sending server splits its targets over several requests.
inline constexpr size_t kMaxRelayTargets = 1000;

struct RelayTarget {
  uint32_t address = 0;  // IPv4, host order; the high half must not be 0
  int32_t udpPort = 0;
  bool operator==(const RelayTarget&) const = default;
};

// Decode reads at most kMaxRelayTargets + 1 targets, so that a receiver can
// tell a list that is too long without taking all of it.
struct RelayMessageBalloonRequest {
  static constexpr RequestType kType = RELAY_MESSAGE_BALLOON;
  std::string senderHost;
  std::string title;
  std::string text;
  int32_t icon = 0;
  bool immediate = false;
  std::vector<RelayTarget> targets;
  void Encode(XDRWRAP& out) const;
  static RelayMessageBalloonRequest Decode(XDRWRAP& in);
  bool operator==(const RelayMessageBalloonRequest&) const = default;
};

// Targets as for RelayMessageBalloonRequest.
struct RelayMessageJobNotifyRequest {
  static constexpr RequestType kType = RELAY_MESSAGE_JOB_NOTIFY;
  std::string senderHost;
  bool started = false;
  std::vector<RelayTarget> targets;
  void Encode(XDRWRAP& out) const;
  static RelayMessageJobNotifyRequest Decode(XDRWRAP& in);
  bool operator==(const RelayMessageJobNotifyRequest&) const = default;
};

// The reply of both relay requests (a sending server does not wait for it).
struct RelayReply {
  void Encode(XDRWRAP&) const {}
  static RelayReply Decode(XDRWRAP&) { return {}; }
  bool operator==(const RelayReply&) const = default;
};

}  // namespace kestrun::messages
