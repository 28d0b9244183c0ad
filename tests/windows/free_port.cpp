// FreePort of the test support (tests/support/server_home.h), whose other
// helpers start Linux programs.
#include "protocol/transport.h"
#include "tests/support/server_home.h"

namespace kestrun::test {

int FreePort() {
  int port = 0;
  std::optional<Socket> s = CreateListenSocket(&port);
  return s ? port : 0;
}

}  // namespace kestrun::test
