// How a tool finds its server: the global `port` of a kestrun.conf beside
// the program, and stanzas that hold only `server` and `port` directives,
// which name servers a user can pick with -s NAME.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace kestrun::client {

struct ServerAddress {
  std::string host;
  int port = 0;
};

struct ClientConfig {
  int port = 0;                                  // global port, 0 when none
  std::map<std::string, ServerAddress> servers;  // by upper-cased stanza name
};

// Reads the client's view of a kestrun.conf text. Directives are "key = value"
// lines; a line ending in ":" opens a stanza and a blank line closes it. Only
// stanzas whose every directive is `server` or `port` name servers.
ClientConfig ParseClientConfig(const std::string& text);
// Reads `path`; an absent or unreadable file gives an empty configuration.
ClientConfig LoadClientConfig(const std::string& path);

// Resolves -s/-p: a -s value naming a server stanza takes its host and port;
// otherwise the host is the -s value (default "localhost") and the port the
// -p value, else the stanza's, else the global port.
ServerAddress ResolveServer(const ClientConfig& config, const std::string& serverOption,
                            int portOption);

}  // namespace kestrun::client
