// The web console of a build without it (the Windows cross-build, which has
// no Boost, OpenSSL or PAM libraries to link): a `webport` setting gets the
// server's warning that the console could not start, and the native
// protocol serves as usual.
#include "web/web_console.h"

#include <utility>

namespace kestrun::web {

class ConsoleImpl {};

std::unique_ptr<WebConsole> WebConsole::Start(ServerContext&, HandlerLookup, const std::string&,
                                              std::string* error) {
  if (error) *error = "this build of the server has no web console";
  return nullptr;
}

WebConsole::WebConsole(std::shared_ptr<ConsoleImpl> impl) : impl_(std::move(impl)) {}
WebConsole::~WebConsole() = default;
void WebConsole::Stop() {}
int WebConsole::port() const {
  return 0;
}

}  // namespace kestrun::web
