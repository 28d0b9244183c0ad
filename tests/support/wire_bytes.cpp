#include "tests/support/wire_bytes.h"

#include <sys/socket.h>

#include <thread>

namespace kestrun::test {

SocketCapture::SocketCapture() {
  int fds[2] = {-1, -1};
  ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
  connection.socket = Socket(fds[0]);
  far_ = Socket(fds[1]);
}

std::string SocketCapture::Take() {
  connection.socket.ShutdownSend();
  std::string out;
  char buffer[4096];
  int error = 0;
  for (;;) {
    const long n = net::ReceiveSome(far_.get(), buffer, sizeof buffer, &error);
    if (n <= 0) return out;
    out.append(buffer, static_cast<size_t>(n));
  }
}

XDRWRAP DecodeBytes(const std::string& bytes) {
  int fds[2] = {-1, -1};
  ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
  Socket writer(fds[0]), reader(fds[1]);
  std::thread feed([&] {
    const SendPiece piece{bytes.data(), bytes.size()};
    net::SendAll(writer.get(), {&piece, 1});
    writer.ShutdownSend();
  });
  XDRWRAP message;
  try {
    ReceiveMessage(message, reader.get(), std::chrono::seconds(5));
  } catch (const DecodeFailure&) {
    message = XDRWRAP{};
  }
  feed.join();
  return message;
}

}  // namespace kestrun::test
