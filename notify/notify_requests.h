// The notification and tray-menu requests of docked clients. Each runs on a
// request thread with the configuration, the registry and the running-job
// table of the server context.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/context.h"
#include "notify/notifications.h"

namespace kestrun {

enum RecipientKind : int32_t { kGroupRecipient = 1, kHostRecipient = 2, kUserRecipient = 3 };

// Per-recipient result of SEND_MESSAGE_TO_CLIENT. kResolved is sent as 1.
enum RecipientStatus : int32_t {
  kRecipientOkay = 1,
  kClientNotFound = 2,
  kUserNotFound = 3,
  kNoSuchGroup = 4,
  kNotProcessed = 5,
  kResolved = 6,
};

struct Recipient {
  int32_t kind = 0;
  std::string name;
  int32_t status = kNotProcessed;
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

// SEND_MESSAGE_TO_CLIENT: recipients (string name, then while the name is not
// empty: enum kind, string name), long icon, string title, string text, char
// immediate. Sends the balloon to the resolved targets. Reply: enum 1, one
// enum status per recipient in request order, enum 0.
void SendMessageToClient(RequestContext& rc);

// GET_JOBS_FOR_USER: string host, string user, long UDP port. Docks or
// refreshes the client, then replies enum 1, string name and string menu text
// for each job of the tray menu the user may run now, and an empty string.
// Items that would take the reply past the message limits are left out and
// logged.
void GetJobsForUser(RequestContext& rc);

}  // namespace kestrun
