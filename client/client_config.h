// How a tool finds its server. In this order: the -s and -p options; the
// KESTRUN_SERVER variable (host[:port]); the user's own client.conf
// (~/.config/kestrun/client.conf: default server, port, user and node, and
// named servers as [NAME] sections); the kestrun.conf beside the program
// (its global `port`, and stanzas that hold only `server` and `port`
// directives, which name servers a user can pick with -s NAME).
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

// The user's client.conf: "key = value" lines, "#" starts a comment.
// `server`, `port`, `user` and `node` before the first section are the
// defaults; a "[NAME]" line opens a named server with `server` and `port`.
struct UserClientConfig {
  ServerAddress server;  // the defaults; empty host and port 0 when not set
  std::string user;
  std::string node;
  std::map<std::string, ServerAddress> servers;  // by upper-cased section name
};
UserClientConfig ParseUserClientConfig(const std::string& text);
// Reads `path`; an absent or unreadable file gives an empty configuration.
UserClientConfig LoadUserClientConfig(const std::string& path);
// The user's client.conf path: $XDG_CONFIG_HOME/kestrun/client.conf, else
// $HOME/.config/kestrun/client.conf; empty when neither variable is set.
std::string UserClientConfigPath();

// KESTRUN_SERVER's value "host[:port]"; the port is 0 when not given.
// None for an empty value or a port that is not a number from 1 to 65535.
std::optional<ServerAddress> ParseServerVariable(const std::string& value);

// Everything that can name the server, most binding first.
struct ServerSources {
  std::string serverOption;               // -s, empty when not given
  int portOption = 0;                     // -p, 0 when not given
  std::optional<ServerAddress> variable;  // KESTRUN_SERVER
  UserClientConfig user;
  ClientConfig beside;  // the kestrun.conf beside the program
};

// The host is the first of: -s (a named server of client.conf, then a
// stanza of kestrun.conf, else the value itself), KESTRUN_SERVER, the
// default server of client.conf (which may name a server too), "localhost".
// The port is the first set of: -p, the port that came with the host,
// client.conf's default port, kestrun.conf's global port; 0 when none.
ServerAddress ResolveServer(const ServerSources& sources);

// Resolves -s/-p: a -s value naming a server stanza takes its host and port;
// otherwise the host is the -s value (default "localhost") and the port the
// -p value, else the stanza's, else the global port.
ServerAddress ResolveServer(const ClientConfig& config, const std::string& serverOption,
                            int portOption);

}  // namespace kestrun::client
