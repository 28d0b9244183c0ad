// The web console's listener: the acceptor, its two threads, TLS set-up,
// start and stop. The design and the locks are described in web_console.h.
#include <boost/asio/strand.hpp>
#include <cstdlib>

#include "base/environment.h"
#include "web/console_impl.h"

namespace kestrun::web {

void ConsoleImpl::Accept() {
  acceptor.async_accept(asio::make_strand(ioc), [self = shared_from_this()](beast::error_code ec,
                                                                            tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !self->acceptor.is_open()) return;
    if (!ec && self->MakeRoom()) {
      // Replies and run output are written as they are ready: small writes
      // must not wait for the peer's delayed acknowledgement.
      beast::error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      beast::error_code peerError;
      const asio::ip::address peer = socket.remote_endpoint(peerError).address();
      if (!peerError) {
        if (self->tls)
          StartTlsHttpSession(self, std::move(socket), peer);
        else
          StartPlainHttpSession(self, std::move(socket), peer);
      }
    }
    self->Accept();
  });
}

WebConsole::WebConsole(std::shared_ptr<ConsoleImpl> impl) : impl_(std::move(impl)) {}

WebConsole::~WebConsole() {
  Stop();
}

int WebConsole::port() const {
  return impl_ ? impl_->port : 0;
}

std::unique_ptr<WebConsole> WebConsole::Start(ServerContext& server, HandlerLookup lookup,
                                              const std::string& home, std::string* error) {
  // Tests lower the number of blocking calls that may run at once.
  size_t workerLimit = kMaxWorkers;
  if (const std::optional<std::string> n = GetEnvLocked("KESTRUN_WEB_WORKERS"))
    if (const long value = std::atol(n->c_str()); value > 0) workerLimit = value;
  auto impl = std::make_shared<ConsoleImpl>(server, std::move(lookup), home, workerLimit);
  const WebSettings& settings = impl->settings;
  impl->pamConfigDir = GetEnvLocked("KESTRUN_PAM_CONFDIR").value_or("");
  // Tests shorten the head and idle limits ("HEAD_MS,IDLE_MS") so that they
  // can await them.
  if (const std::optional<std::string> t = GetEnvLocked("KESTRUN_WEB_TIMEOUTS_MS")) {
    const size_t comma = t->find(',');
    if (comma != std::string::npos) {
      impl->headTime = std::chrono::milliseconds(std::atol(t->c_str()));
      impl->idleTime = std::chrono::milliseconds(std::atol(t->c_str() + comma + 1));
    }
  }
  beast::error_code ec;
  if (settings.tls()) {
    impl->tls.emplace(ssl::context::tls_server);
    impl->tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                           ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                           ssl::context::no_tlsv1_1);
    impl->tls->use_certificate_chain_file(settings.cert, ec);
    if (ec) {
      *error = "webcert " + settings.cert + ": " + ec.message();
      return nullptr;
    }
    impl->tls->use_private_key_file(settings.key, ssl::context::pem, ec);
    if (ec) {
      *error = "webkey " + settings.key + ": " + ec.message();
      return nullptr;
    }
  }
  const asio::ip::address address = asio::ip::make_address(settings.address, ec);
  if (ec) {
    *error = "webaddress " + settings.address + " is not an address";
    return nullptr;
  }
  const tcp::endpoint endpoint(address, static_cast<unsigned short>(settings.port));
  impl->acceptor.open(endpoint.protocol(), ec);
  if (!ec) impl->acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) impl->acceptor.bind(endpoint, ec);
  if (!ec) impl->acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = "could not listen on " + settings.address + ":" + std::to_string(settings.port) +
             ": " + ec.message();
    return nullptr;
  }
  impl->port = impl->acceptor.local_endpoint().port();
  impl->Accept();
  for (int k = 0; k < 2; ++k) impl->threads.emplace_back([impl = impl.get()] { impl->ioc.run(); });
  return std::unique_ptr<WebConsole>(new WebConsole(std::move(impl)));
}

void WebConsole::Stop() {
  if (!impl_ || impl_->threads.empty()) return;
  impl_->ioc.stop();
  for (std::thread& t : impl_->threads) t.join();
  impl_->threads.clear();
  // No listener thread runs now: the acceptor is ours alone.
  beast::error_code ignored;
  impl_->acceptor.close(ignored);
}

}  // namespace kestrun::web
