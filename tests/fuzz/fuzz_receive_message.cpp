// Feeds arbitrary bytes to ReceiveMessage through a socket pair, then takes
// fields of every kind, steered by the input's last byte, until the message
// is exhausted or fails to decode.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <thread>

#include "protocol/transport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  kestrun::Socket reader(fds[0]);
  {
    kestrun::Socket writer(fds[1]);
    // The whole input fits in the socket buffer only up to a point; write
    // from a thread so a large input cannot block.
    std::thread feed([&] {
      size_t off = 0;
      while (off < size) {
        const ssize_t n = ::send(writer.get(), data + off, size - off, MSG_NOSIGNAL);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
      }
      writer.ShutdownSend();
    });
    kestrun::XDRWRAP message;
    try {
      kestrun::ReceiveMessage(message, reader.get(), std::chrono::milliseconds(200));
      const uint8_t steer = size ? data[size - 1] : 0;
      for (int i = 0; i < 100000; ++i) {
        switch ((steer + i) % 4) {
          case 0: message.GetLong(); break;
          case 1: message.GetEnum(); break;
          case 2: message.GetBool(); break;
          default: message.GetString(); break;
        }
      }
    } catch (const kestrun::DecodeFailure&) {
    }
    reader.Close();
    feed.join();
  }
  return 0;
}
