// Test helper: a UDP port on loopback that collects the datagrams sent to it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/udp.h"

namespace kestrun::test {

class UdpListener {
 public:
  UdpListener() {
    int error = 0;
    socket_ = DatagramSocket::Bind(0x7F000001, &port_, &error);
    EXPECT_TRUE(socket_) << "bind: " << error;
  }
  int port() const { return port_; }

  // The next datagram, waiting at most `wait`; none when nothing came.
  std::optional<std::string> Next(std::chrono::milliseconds wait = std::chrono::seconds(5)) {
    std::string area(2048, '\0');
    int error = 0;
    const long n = socket_->ReceiveFrom(area.data(), area.size(), wait, &error);
    if (n <= 0) return std::nullopt;
    area.resize(static_cast<size_t>(n));
    return area;
  }
  // Every datagram already queued. Loopback delivers during the sender's
  // call, so once a request has been answered its datagrams are all here.
  std::vector<std::string> Queued() {
    std::vector<std::string> all;
    while (std::optional<std::string> d = Next(std::chrono::milliseconds(0))) all.push_back(*d);
    return all;
  }

 private:
  int port_ = 0;
  std::optional<DatagramSocket> socket_;
};

inline std::string Bytes(std::initializer_list<uint8_t> b) {
  return std::string(b.begin(), b.end());
}

}  // namespace kestrun::test
