// The web console: a second listener of the server that serves the browser
// pages of <home>/web/ and a JSON and WebSocket API over HTTP/1.1 (HTTPS
// with `webcert` and `webkey`), with logins through PAM or a trusted proxy.
//
// Threads. Two listener threads run every socket operation (accepting,
// reading and writing HTTP and WebSocket messages); nothing on them blocks.
// Everything that may block (a PAM conversation, a native handler, a
// dialog script, a run) runs on a worker of a bounded pool (workers.h):
// threads that stay alive between calls, at most kMaxWorkers calls at once
// (a run holds its worker until it ends); when all are taken the request is
// answered "The server is busy" (503). A worker hands its result back to
// the connection's strand. Sockets are written without Nagle's delay. Shared
// state: the session table and the login throttle (each with its own lock,
// sessions.h), the table of open connections (connectionsLock in the
// implementation, held only to add, remove or pick a connection), and the
// pool's queue and thread list (its own lock, never held while a call
// runs). No lock is held while a socket is written or a handler runs.
#pragma once

#include <memory>
#include <string>

#include "core/context.h"
#include "web/native_call.h"

namespace kestrun::web {

inline constexpr size_t kMaxHeadBytes = 16 * 1024;
inline constexpr size_t kMaxBodyBytes = 1024 * 1024;
inline constexpr size_t kMaxMessageBytes = 1024 * 1024;
inline constexpr size_t kMaxConnections = 512;

class ConsoleImpl;

class WebConsole {
 public:
  // Starts the console of `server.config->web()` (which must have a port)
  // serving the files of `home`/web. Null with `*error` set when the
  // address, certificate or port cannot be used.
  static std::unique_ptr<WebConsole> Start(ServerContext& server, HandlerLookup lookup,
                                           const std::string& home, std::string* error);
  ~WebConsole();
  WebConsole(const WebConsole&) = delete;
  WebConsole& operator=(const WebConsole&) = delete;

  // Closes the listener and every connection and ends the listener
  // threads. Runs started from the console go on. Call once, from a thread
  // that is not a listener thread.
  void Stop();
  int port() const;

 private:
  explicit WebConsole(std::shared_ptr<ConsoleImpl> impl);
  std::shared_ptr<ConsoleImpl> impl_;
};

}  // namespace kestrun::web
