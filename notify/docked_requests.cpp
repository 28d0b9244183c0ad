#include "notify/docked_requests.h"

#include <string>
#include <vector>

#include "base/log.h"
#include "config/server_config.h"
#include "notify/docked_registry.h"
#include "protocol/xdrwrap.h"

namespace kestrun {

void ClientKeepalive(RequestContext& rc) {
  const std::string user = rc.request.GetString();
  const std::string host = rc.request.GetString();
  const int32_t port = rc.request.GetLong();
  rc.server.docked->DockOrRefresh(host, rc.peerAddress, port, user);
  rc.reply.AddEnum(1);
}

void DeregisterClient(RequestContext& rc) {
  const std::string host = rc.request.GetString();
  const std::string user = rc.request.GetString();
  LogMessage(*rc.server.config, "DeRegistering Client [%s] UserName [%s]", host.c_str(),
             user.c_str());
  rc.server.docked->RemoveDocked(host, user);
  rc.reply.AddChar(1);
}

void DumpClientNodeNames(RequestContext& rc) {
  const int32_t selector = rc.request.GetLong();
  if (selector == 1) {
    const std::vector<DockedClient> clients = rc.server.docked->ListDocked();
    BoundedList entries(rc.reply, kEmptyStringTail);
    for (const DockedClient& c : clients) {
      // An empty host name ends the list for the reader; a client that docked
      // with one would hide every entry after it, so it is left out.
      if (c.hostName.empty()) continue;
      entries.Add([&](XDRWRAP& out) {
        out.AddString(c.hostName);
        out.AddString(c.userName);
        out.AddLong(static_cast<int32_t>(c.address));
        out.AddLong(c.udpPort);
      });
    }
    if (const size_t left = entries.left(); left > 0)
      LogMessage(*rc.server.config,
                 "Docked client list cut short: %zu of %zu client(s) left out of the reply, "
                 "which would pass the message limits",
                 left, clients.size());
  }
  rc.reply.AddString("");
}

}  // namespace kestrun
