#include <algorithm>

#include "config/server_config.h"
#include "notify/notify_requests.h"
#include "protocol/xdrwrap.h"

namespace kestrun {

namespace {

bool HasKind(const std::vector<Recipient>& recipients, int32_t kind) {
  return std::any_of(recipients.begin(), recipients.end(),
                     [kind](const Recipient& r) { return r.kind == kind; });
}

void ResolveUsers(DockedRegistry& docked, std::vector<Recipient>& recipients, TargetList& targets) {
  for (Recipient& r : recipients) {
    if (r.kind != kUserRecipient) continue;
    const std::vector<std::string> hosts = docked.HostsForUser(r.name);
    r.status = hosts.empty() ? kUserNotFound : kResolved;
    for (const std::string& host : hosts) targets.Add(host, r.name);
  }
}

// Host names are compared exactly here, and the walk takes the registry as
// it stands (entries that went stale are found too, and reported missing
// when the datagram is due).
void ResolveHosts(DockedRegistry& docked, std::vector<Recipient>& recipients, TargetList& targets) {
  const std::vector<DockedClient> clients = docked.ListDocked();
  for (Recipient& r : recipients) {
    if (r.kind != kHostRecipient) continue;
    r.status = kClientNotFound;
    for (const DockedClient& c : clients) {
      if (c.hostName != r.name) continue;
      targets.Add(r.name, c.userName);
      r.status = kResolved;
    }
  }
}

// A user named together with hosts is reached only on those hosts.
void ResolveUsersOnHosts(DockedRegistry& docked, std::vector<Recipient>& recipients,
                         TargetList& targets) {
  for (Recipient& user : recipients) {
    if (user.kind != kUserRecipient) continue;
    const std::vector<std::string> hosts = docked.HostsForUser(user.name);
    if (hosts.empty()) {
      user.status = kUserNotFound;
      continue;
    }
    for (const Recipient& host : recipients) {
      if (host.kind != kHostRecipient) continue;
      for (const std::string& h : hosts) {
        if (h != host.name) continue;
        targets.Add(h, user.name);
        user.status = kResolved;
      }
    }
  }
}

}  // namespace

TargetList ResolveRecipients(const ServerConfig& config, DockedRegistry& docked,
                             std::vector<Recipient>& recipients) {
  TargetList targets;
  for (Recipient& r : recipients) {
    if (r.kind != kGroupRecipient) continue;
    r.status = AddGroupTargets(config, docked, r.name, targets) ? kResolved : kNoSuchGroup;
  }
  const bool hosts = HasKind(recipients, kHostRecipient);
  const bool users = HasKind(recipients, kUserRecipient);
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
  std::vector<Recipient> recipients;
  for (std::string name = rc.request.GetString(); !name.empty(); name = rc.request.GetString()) {
    const int32_t kind = rc.request.GetEnum();
    recipients.push_back({kind, std::move(name), kNotProcessed});
  }
  Balloon balloon;
  balloon.icon = rc.request.GetLong();
  balloon.title = rc.request.GetString();
  balloon.text = rc.request.GetString();
  balloon.immediate = rc.request.GetLong() != 0;

  const TargetList targets = ResolveRecipients(*rc.server.config, *rc.server.docked, recipients);
  SendBalloonToTargets(*rc.server.config, *rc.server.docked, targets, balloon);

  rc.reply.AddEnum(1);
  for (const Recipient& r : recipients)
    rc.reply.AddEnum(r.status == kResolved ? kRecipientOkay : r.status);
  rc.reply.AddEnum(0);
}

}  // namespace kestrun
