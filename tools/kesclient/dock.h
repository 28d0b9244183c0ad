// kesclient dock and kesclient menu: the tray side of the server's docked
// clients, for a terminal or a desktop session.
#pragma once

#include <string>
#include <vector>

#include "client/client_config.h"

namespace kestrun::client {

// Who docks: the user and node reported to the server.
struct DockIdentity {
  std::string user;
  std::string node;
};

// `kesclient dock [--print] [--port N] [--accept HOST]...`: listens on UDP
// port N (default: a free one), docks with CLIENT_KEEPALIVE now and every 60
// seconds, and shows each notification that arrives from the server: balloons
// through notify-send when a desktop notification service is reachable,
// otherwise (or with --print) as lines on standard output; job
// started/stopped messages as lines. "From the server" means from the IPv4
// address the first keepalive connected to, or from an --accept HOST (a relay
// server, another address of the server); other datagrams are dropped, with
// one note on standard error. Titles and texts are shown with their control
// characters escaped (EscapeControlCharacters). Ctrl+C or SIGTERM undocks
// with DEREGISTER_CLIENT and returns 0. Returns kExitClientFailure
// (exit_status.h) when the first keepalive gets no answer or on a usage
// error.
int DockCommand(const ServerAddress& server, const DockIdentity& who,
                const std::vector<std::string>& args);

// `kesclient menu [--port N]`: asks for the tray menu (GET_JOBS_FOR_USER,
// which also docks with UDP port N, default 0) and prints one line per job:
// its name, a tab and its menu text, control characters escaped. Returns kExitClientFailure
// when no answer came.
int MenuCommand(const ServerAddress& server, const DockIdentity& who,
                const std::vector<std::string>& args);

}  // namespace kestrun::client
