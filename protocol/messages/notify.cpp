#include "protocol/messages/notify.h"

#include "protocol/messages/reply_parts.h"

namespace kestrun::messages {

namespace {

// The end of a relay list: a high half of 0.
constexpr int32_t kRelayListEnd = 0;
// The end of the status list of SEND_MESSAGE_TO_CLIENT.
constexpr int32_t kStatusListEnd = 0;

void AddRelayTargets(XDRWRAP& out, const std::vector<RelayTarget>& targets) {
  for (const RelayTarget& t : targets) {
    out.AddLong(static_cast<int32_t>(t.address >> 16));
    out.AddLong(static_cast<int32_t>(t.address & 0xFFFF));
    out.AddLong(t.udpPort);
  }
  out.AddLong(kRelayListEnd);
}

std::vector<RelayTarget> ReadRelayTargets(XDRWRAP& in) {
  std::vector<RelayTarget> targets;
  for (int32_t high = in.GetLong(); high != kRelayListEnd; high = in.GetLong()) {
    const int32_t low = in.GetLong();
    const int32_t port = in.GetLong();
    targets.push_back({(static_cast<uint32_t>(high) << 16) + static_cast<uint32_t>(low), port});
    if (targets.size() > kMaxRelayTargets) break;  // too many: the rest is not taken
  }
  return targets;
}

}  // namespace

void DeregisterClientRequest::Encode(XDRWRAP& out) const {
  out.AddString(hostName);
  out.AddString(userName);
}

DeregisterClientRequest DeregisterClientRequest::Decode(XDRWRAP& in) {
  DeregisterClientRequest r;
  r.hostName = in.GetString();
  r.userName = in.GetString();
  return r;
}

void DeregisterClientReply::Encode(XDRWRAP& out) const {
  out.AddChar(static_cast<uint8_t>(kResult));
}

DeregisterClientReply DeregisterClientReply::Decode(XDRWRAP& in) {
  if (in.GetLong() != static_cast<int32_t>(kResult))
    throw DecodeFailure("unexpected result in reply");
  return {};
}

void SendMessageToClientRequest::Encode(XDRWRAP& out) const {
  for (const MessageRecipient& r : recipients) {
    if (r.name.empty()) continue;
    out.AddString(r.name);
    out.AddEnum(static_cast<int32_t>(r.kind));
  }
  out.AddString("");
  out.AddLong(icon);
  out.AddString(title);
  out.AddString(text);
  out.AddChar(immediate ? 1 : 0);
}

SendMessageToClientRequest SendMessageToClientRequest::Decode(XDRWRAP& in) {
  SendMessageToClientRequest r;
  ReadList(in, r.recipients, [](XDRWRAP& i, std::string name) {
    return MessageRecipient{std::move(name), static_cast<RecipientKind>(i.GetEnum())};
  });
  r.icon = in.GetLong();
  r.title = in.GetString();
  r.text = in.GetString();
  r.immediate = in.GetLong() != 0;
  return r;
}

void SendMessageToClientReply::Encode(XDRWRAP& out) const {
  AddResult(out, kResult);
  for (const RecipientStatus status : statuses) AddResult(out, status);
  out.AddEnum(kStatusListEnd);
}

SendMessageToClientReply SendMessageToClientReply::Decode(XDRWRAP& in) {
  ExpectResult(in, kResult);
  SendMessageToClientReply reply;
  for (int32_t status = in.GetEnum(); status != kStatusListEnd; status = in.GetEnum())
    reply.statuses.push_back(static_cast<RecipientStatus>(status));
  return reply;
}

void GetJobsForUserRequest::Encode(XDRWRAP& out) const {
  out.AddString(hostName);
  out.AddString(userName);
  out.AddLong(udpPort);
}

GetJobsForUserRequest GetJobsForUserRequest::Decode(XDRWRAP& in) {
  GetJobsForUserRequest r;
  r.hostName = in.GetString();
  r.userName = in.GetString();
  r.udpPort = in.GetLong();
  return r;
}

void GetJobsForUserReply::Encode(XDRWRAP& out) const {
  EncodeWithin(out);
}

size_t GetJobsForUserReply::EncodeWithin(XDRWRAP& out) const {
  AddResult(out, kResult);
  return AddListWithin(
      out, items, [](const TrayMenuItem& item) -> const std::string& { return item.jobName; },
      [](XDRWRAP& o, const TrayMenuItem& item) {
        o.AddString(item.jobName);
        o.AddString(item.menuText);
      });
}

GetJobsForUserReply GetJobsForUserReply::Decode(XDRWRAP& in) {
  ExpectResult(in, kResult);
  GetJobsForUserReply reply;
  ReadList(in, reply.items, [](XDRWRAP& i, std::string name) {
    return TrayMenuItem{std::move(name), i.GetString()};
  });
  return reply;
}

void ClientKeepaliveRequest::Encode(XDRWRAP& out) const {
  out.AddString(userName);
  out.AddString(hostName);
  out.AddLong(udpPort);
}

ClientKeepaliveRequest ClientKeepaliveRequest::Decode(XDRWRAP& in) {
  ClientKeepaliveRequest r;
  r.userName = in.GetString();
  r.hostName = in.GetString();
  r.udpPort = in.GetLong();
  return r;
}

void ClientKeepaliveReply::Encode(XDRWRAP& out) const {
  AddResult(out, kResult);
}

ClientKeepaliveReply ClientKeepaliveReply::Decode(XDRWRAP& in) {
  ExpectResult(in, kResult);
  return {};
}

void RelayMessageBalloonRequest::Encode(XDRWRAP& out) const {
  out.AddString(senderHost);
  out.AddString(title);
  out.AddString(text);
  out.AddLong(icon);
  out.AddChar(immediate ? 1 : 0);
  AddRelayTargets(out, targets);
}

RelayMessageBalloonRequest RelayMessageBalloonRequest::Decode(XDRWRAP& in) {
  RelayMessageBalloonRequest r;
  r.senderHost = in.GetString();
  r.title = in.GetString();
  r.text = in.GetString();
  r.icon = in.GetLong();
  r.immediate = in.GetLong() != 0;
  r.targets = ReadRelayTargets(in);
  return r;
}

void RelayMessageJobNotifyRequest::Encode(XDRWRAP& out) const {
  out.AddString(senderHost);
  out.AddChar(started ? 1 : 0);
  AddRelayTargets(out, targets);
}

RelayMessageJobNotifyRequest RelayMessageJobNotifyRequest::Decode(XDRWRAP& in) {
  RelayMessageJobNotifyRequest r;
  r.senderHost = in.GetString();
  r.started = in.GetLong() != 0;
  r.targets = ReadRelayTargets(in);
  return r;
}

}  // namespace kestrun::messages
