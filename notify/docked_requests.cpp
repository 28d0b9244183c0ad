#include "notify/docked_requests.h"

#include <string>

#include "base/log.h"
#include "config/server_config.h"
#include "notify/docked_registry.h"

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
    for (const DockedClient& c : rc.server.docked->ListDocked()) {
      // An empty host name ends the list for the reader; a client that docked
      // with one would hide every entry after it, so it is left out.
      if (c.hostName.empty()) continue;
      rc.reply.AddString(c.hostName);
      rc.reply.AddString(c.userName);
      rc.reply.AddLong(static_cast<int32_t>(c.address));
      rc.reply.AddLong(c.udpPort);
    }
  }
  rc.reply.AddString("");
}

}  // namespace kestrun
