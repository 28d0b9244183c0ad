#include "notify/docked_requests.h"

#include <string>
#include <vector>

#include "base/log.h"
#include "config/server_config.h"
#include "notify/docked_registry.h"
#include "protocol/messages/jobs_admin.h"
#include "protocol/messages/notify.h"
#include "protocol/xdrwrap.h"

namespace kestrun {

void ClientKeepalive(RequestContext& rc) {
  const auto request = messages::ClientKeepaliveRequest::Decode(rc.request);
  rc.server.docked->DockOrRefresh(request.hostName, rc.peerAddress, request.udpPort,
                                  request.userName);
  messages::ClientKeepaliveReply{}.Encode(rc.reply);
}

void DeregisterClient(RequestContext& rc) {
  const auto request = messages::DeregisterClientRequest::Decode(rc.request);
  LogMessage(*rc.server.config, "DeRegistering Client [%s] UserName [%s]", request.hostName.c_str(),
             request.userName.c_str());
  rc.server.docked->RemoveDocked(request.hostName, request.userName);
  messages::DeregisterClientReply{}.Encode(rc.reply);
}

void DumpClientNodeNames(RequestContext& rc) {
  const auto request = messages::DumpClientNodeNamesRequest::Decode(rc.request);
  messages::DumpClientNodeNamesReply reply;
  size_t total = 0;
  if (request.selector == messages::kListDockedClients) {
    const std::vector<DockedClient> clients = rc.server.docked->ListDocked();
    total = clients.size();
    // A client that docked with an empty host name is not sent: it would end
    // the list for the reader and hide every entry after it.
    for (const DockedClient& c : clients)
      reply.clients.push_back({c.hostName, c.userName, c.address, c.udpPort});
  }
  if (const size_t left = reply.EncodeWithin(rc.reply); left > 0)
    LogMessage(*rc.server.config,
               "Docked client list cut short: %zu of %zu client(s) left out of the reply, "
               "which would pass the message limits",
               left, total);
}

}  // namespace kestrun
