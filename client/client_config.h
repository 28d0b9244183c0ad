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
  // The first line (from 1) that is neither blank, a comment, a stanza name
  // nor a directive; 0 when there is none. The tools that stop on a broken
  // file name it.
  int syntaxErrorLine = 0;
};

// Reads the client's view of a kestrun.conf text. Directives are "key = value"
// lines; a line ending in ":" opens a stanza and a blank line (or one holding
// only a comment) closes it. Only stanzas whose every directive is `server`
// or `port` name servers. Lines are taken as a line reader with a 1024-byte
// area takes them: a longer line goes on as the next line, counted, and a
// CR LF line end reads as LF.
ClientConfig ParseClientConfig(const std::string& text);
// Reads `path`; an absent or unreadable file gives an empty configuration.
ClientConfig LoadClientConfig(const std::string& path);

// Resolves -s/-p: a -s value naming a server stanza takes its host and port;
// otherwise the host is the -s value (default "localhost") and the port the
// -p value, else the stanza's, else the global port.
ServerAddress ResolveServer(const ClientConfig& config, const std::string& serverOption,
                            int portOption);

}  // namespace kestrun::client
