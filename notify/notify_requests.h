// The notification and tray-menu requests of docked clients. Each runs on a
// request thread with the configuration, the registry and the running-job
// table of the server context. The messages are those of
// protocol/messages/notify.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/context.h"
#include "notify/notifications.h"
#include "protocol/messages/notify.h"

namespace kestrun {

using messages::RecipientKind;
using messages::RecipientStatus;

struct Recipient {
  RecipientKind kind = RecipientKind::kUser;
  std::string name;
  RecipientStatus status = RecipientStatus::kNotProcessed;
};

// Resolves the recipients into targets and sets their statuses:
// - a group: its members' docked hosts (status 6), or 4 when it has none;
// - users only: each user's docked hosts (6), or 3 when docked nowhere;
// - hosts only: every user of a registry entry (stale ones too) whose host is
//   the name exactly (6), or 2 when there is none;
// - users and hosts: a user's hosts that are named by a host recipient
//   exactly (the user 6, the hosts stay 5); 3 for a user docked nowhere.
// Recipients of another kind stay 5.
TargetList ResolveRecipients(const ServerConfig& config, DockedRegistry& docked,
                             std::vector<Recipient>& recipients);

// SEND_MESSAGE_TO_CLIENT: sends the balloon to the resolved targets and
// replies with each recipient's status in request order (kResolved as
// kOkay).
void SendMessageToClient(RequestContext& rc);

// GET_JOBS_FOR_USER: docks or refreshes the client, then replies with the
// name and menu text of each job of the tray menu the user may run now. Items
// that would take the reply past the message limits are left out and logged.
void GetJobsForUser(RequestContext& rc);

}  // namespace kestrun
