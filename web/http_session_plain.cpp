// The web console's connections without TLS.
#include "web/http_session.h"

namespace kestrun::web {

void StartPlainHttpSession(std::shared_ptr<ConsoleImpl> console, tcp::socket socket,
                           asio::ip::address peer) {
  std::make_shared<httpsession::HttpSession<PlainStream>>(std::move(console),
                                                          PlainStream(std::move(socket)), peer)
      ->Start();
}

}  // namespace kestrun::web
