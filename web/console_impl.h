// The web console's listener, shared by its files: the Asio and Beast
// types of a connection, the state every connection shares (ConsoleImpl),
// and the entry points of the three kinds of connection. Each kind lives in
// a file of its own (http_session, run_socket, follow_socket) so that the
// heavy Beast instantiations compile side by side.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "config/server_config.h"
#include "web/api.h"
#include "web/sessions.h"
#include "web/web_console.h"
#include "web/workers.h"

namespace kestrun::web {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

inline constexpr std::chrono::milliseconds kHeadTime{
    10'000};  // a request head, from its first byte
inline constexpr std::chrono::milliseconds kIdleTime{30'000};  // a peer that sends or takes nothing
// The blocking calls that may run at once (each run holds one for its whole
// time): every connection's call, and as many again for stop requests and
// the handler side of runs whose browser went away.
inline constexpr size_t kMaxWorkers = 2 * kMaxConnections;

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

// The stream of one connection, plain or TLS.
using PlainStream = beast::tcp_stream;
using TlsStream = ssl::stream<beast::tcp_stream>;

// A WebSocket over either stream, built without permessage-deflate: the
// console never offers it (its messages are small JSON texts and terminal
// output), and leaving it out halves the compile of these files.
template <class Stream>
using WebSocket = websocket::stream<Stream, false>;

inline beast::tcp_stream& Lowest(PlainStream& s) {
  return s;
}
inline beast::tcp_stream& Lowest(TlsStream& s) {
  return s.next_layer();
}

inline std::string_view Sv(beast::string_view s) {
  return {s.data(), s.size()};
}

// The headers every reply and WebSocket handshake carries.
void AddSecurityHeaders(http::fields& f);
// The content type of a file by its name's extension.
std::string ContentTypeOf(std::string_view path);
// The value of cookie `name` in a Cookie header.
std::optional<std::string> CookieValue(std::string_view header, std::string_view name);
// The decoded name=value pairs of a query string.
std::map<std::string, std::string> QueryOf(std::string_view query);
// The IPv4 address of `a` (also of a v4-mapped v6 address); 0 for others.
uint32_t V4Of(const asio::ip::address& a);

// What every connection shares.
class ConsoleImpl : public std::enable_shared_from_this<ConsoleImpl> {
 public:
  ConsoleImpl(ServerContext& server, HandlerLookup lookup, std::string home, size_t workerLimit)
      : server(server),
        settings(server.config->web()),
        api(server, std::move(lookup)),
        webRoot(std::move(home) + "/web"),
        acceptor(ioc),
        workers(workerLimit) {}

  ServerContext& server;
  const WebSettings settings;
  Api api;
  std::string webRoot;
  std::string pamConfigDir;
  asio::io_context ioc{2};
  std::optional<ssl::context> tls;
  tcp::acceptor acceptor;
  SessionTable sessions;
  LoginThrottle throttle;
  // Every call given to the workers holds the console (through its
  // connection), so none runs when the console goes.
  Workers workers;
  std::vector<std::thread> threads;
  int port = 0;
  std::chrono::milliseconds headTime = kHeadTime;
  std::chrono::milliseconds idleTime = kIdleTime;

  // The open connections: each one's close function and whether it waits
  // for a request (idle), by age. Guards `connections` and `nextId`.
  struct Open {
    std::function<void()> close;
    bool idle = false;
  };
  std::mutex connectionsLock;
  std::map<uint64_t, Open> connections;
  uint64_t nextId = 1;

  uint64_t Register(std::function<void()> close) {
    std::lock_guard<std::mutex> hold(connectionsLock);
    const uint64_t id = nextId++;
    connections[id] = Open{std::move(close), false};
    return id;
  }
  void SetIdle(uint64_t id, bool idle) {
    std::lock_guard<std::mutex> hold(connectionsLock);
    if (auto it = connections.find(id); it != connections.end()) it->second.idle = idle;
  }
  void Unregister(uint64_t id) {
    std::lock_guard<std::mutex> hold(connectionsLock);
    connections.erase(id);
  }
  // Room for one more connection: at the limit the oldest idle one is
  // closed; false when every open connection is busy.
  bool MakeRoom() {
    std::function<void()> close;
    {
      std::lock_guard<std::mutex> hold(connectionsLock);
      if (connections.size() < kMaxConnections) return true;
      for (auto& [id, open] : connections) {
        if (open.idle) {
          close = std::move(open.close);
          connections.erase(id);
          break;
        }
      }
    }
    if (!close) return false;
    close();
    return true;
  }

  void Accept();
  void Log(const std::string& line) { LogMessage(*server.config, "%s", line.c_str()); }
};

// Serves one accepted connection (plain or TLS by the console's settings).
void StartHttpSession(std::shared_ptr<ConsoleImpl> console, tcp::socket socket,
                      asio::ip::address peer);
void StartPlainHttpSession(std::shared_ptr<ConsoleImpl> console, tcp::socket socket,
                           asio::ip::address peer);
void StartTlsHttpSession(std::shared_ptr<ConsoleImpl> console, tcp::socket socket,
                         asio::ip::address peer);

// A run of `job` over an upgraded connection; `request` is the upgrade.
void StartRunSocket(std::shared_ptr<ConsoleImpl> console, WebSocket<PlainStream> ws, Caller caller,
                    std::string job, Request request);
void StartRunSocket(std::shared_ptr<ConsoleImpl> console, WebSocket<TlsStream> ws, Caller caller,
                    std::string job, Request request);

// A follow of run `id`'s output over an upgraded connection.
void StartFollowSocket(std::shared_ptr<ConsoleImpl> console, WebSocket<PlainStream> ws, int64_t id,
                       Request request);
void StartFollowSocket(std::shared_ptr<ConsoleImpl> console, WebSocket<TlsStream> ws, int64_t id,
                       Request request);

}  // namespace kestrun::web
