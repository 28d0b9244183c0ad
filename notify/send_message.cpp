#include <algorithm>

#include "config/server_config.h"
#include "notify/notify_requests.h"
#include "protocol/xdrwrap.h"

namespace kestrun {

namespace {

bool HasKind(const std::vector<Recipient>& recipients, RecipientKind kind) {
  return std::any_of(recipients.begin(), recipients.end(),
                     [kind](const Recipient& r) { return r.kind == kind; });
}

void ResolveUsers(DockedRegistry& docked, std::vector<Recipient>& recipients, TargetList& targets) {
  for (Recipient& r : recipients) {
    if (r.kind != RecipientKind::kUser) continue;
    const std::vector<std::string> hosts = docked.HostsForUser(r.name);
    r.status = hosts.empty() ? RecipientStatus::kUserNotFound : RecipientStatus::kResolved;
    for (const std::string& host : hosts) targets.Add(host, r.name);
  }
}

// Host names are compared exactly here, and the walk takes the registry as
// it stands (entries that went stale are found too, and reported missing
// when the datagram is due).
void ResolveHosts(DockedRegistry& docked, std::vector<Recipient>& recipients, TargetList& targets) {
  const std::vector<DockedClient> clients = docked.ListDocked();
  for (Recipient& r : recipients) {
    if (r.kind != RecipientKind::kHost) continue;
    r.status = RecipientStatus::kClientNotFound;
    for (const DockedClient& c : clients) {
      if (c.hostName != r.name) continue;
      targets.Add(r.name, c.userName);
      r.status = RecipientStatus::kResolved;
    }
  }
}

// A user named together with hosts is reached only on those hosts.
void ResolveUsersOnHosts(DockedRegistry& docked, std::vector<Recipient>& recipients,
                         TargetList& targets) {
  for (Recipient& user : recipients) {
    if (user.kind != RecipientKind::kUser) continue;
    const std::vector<std::string> hosts = docked.HostsForUser(user.name);
    if (hosts.empty()) {
      user.status = RecipientStatus::kUserNotFound;
      continue;
    }
    for (const Recipient& host : recipients) {
      if (host.kind != RecipientKind::kHost) continue;
      for (const std::string& h : hosts) {
        if (h != host.name) continue;
        targets.Add(h, user.name);
        user.status = RecipientStatus::kResolved;
      }
    }
  }
}

}  // namespace

TargetList ResolveRecipients(const ServerConfig& config, DockedRegistry& docked,
                             std::vector<Recipient>& recipients) {
  TargetList targets;
  for (Recipient& r : recipients) {
    if (r.kind != RecipientKind::kGroup) continue;
    r.status = AddGroupTargets(config, docked, r.name, targets) ? RecipientStatus::kResolved
                                                                : RecipientStatus::kNoSuchGroup;
  }
  const bool hosts = HasKind(recipients, RecipientKind::kHost);
  const bool users = HasKind(recipients, RecipientKind::kUser);
  if (users && hosts) {
    ResolveUsersOnHosts(docked, recipients, targets);
  } else if (users) {
    ResolveUsers(docked, recipients, targets);
  } else if (hosts) {
    ResolveHosts(docked, recipients, targets);
  }
  return targets;
}

void SendMessageToClient(RequestContext& rc) {
  auto request = messages::SendMessageToClientRequest::Decode(rc.request);
  std::vector<Recipient> recipients;
  recipients.reserve(request.recipients.size());
  for (messages::MessageRecipient& r : request.recipients)
    recipients.push_back({r.kind, std::move(r.name), RecipientStatus::kNotProcessed});
  Balloon balloon;
  balloon.icon = request.icon;
  balloon.title = std::move(request.title);
  balloon.text = std::move(request.text);
  balloon.immediate = request.immediate;

  const TargetList targets = ResolveRecipients(*rc.server.config, *rc.server.docked, recipients);
  SendBalloonToTargets(*rc.server.config, *rc.server.docked, targets, balloon);

  messages::SendMessageToClientReply reply;
  for (const Recipient& r : recipients) {
    reply.statuses.push_back(r.status == RecipientStatus::kResolved ? RecipientStatus::kOkay
                                                                    : r.status);
  }
  reply.Encode(rc.reply);
}

}  // namespace kestrun
