// The web console's connections over TLS.
#include <boost/beast/websocket/ssl.hpp>

#include "web/http_session.h"

namespace kestrun::web {

void StartTlsHttpSession(std::shared_ptr<ConsoleImpl> console, tcp::socket socket,
                         asio::ip::address peer) {
  ssl::context& tls = *console->tls;
  std::make_shared<httpsession::HttpSession<TlsStream>>(
      std::move(console), TlsStream(beast::tcp_stream(std::move(socket)), tls), peer)
      ->Start();
}

}  // namespace kestrun::web
