// Test support: the exact bytes of a message, and a message from bytes.
#pragma once

#include <string>

#include "protocol/transport.h"

namespace kestrun::test {

// A connection whose far end is kept by the test: what is sent on
// `connection` is returned by Take().
class SocketCapture {
 public:
  SocketCapture();
  ServerConnection connection;
  // Everything sent so far (the sending side is closed first).
  std::string Take();

 private:
  Socket far_;
};

// Decodes reply bytes (no magic) into a message; a message without buffers
// when they do not form one.
XDRWRAP DecodeBytes(const std::string& bytes);

}  // namespace kestrun::test
