// Test support: one typed request (protocol/messages) to the server on
// loopback or to the dispatcher of this process, and its reply decoded.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "protocol/messages/jobs_admin.h"
#include "tests/support/dispatcher_exchange.h"
#include "tests/support/server_home.h"

namespace kestrun::test {

// `reply` decoded as `Reply`, which must take every field.
template <class Reply>
Reply DecodeWhole(XDRWRAP& reply) {
  Reply decoded = Reply::Decode(reply);
  if (reply.FieldsLeft() != 0) throw DecodeFailure("fields left over in reply");
  return decoded;
}

// The reply of the server at loopback:`port` to `request`, decoded as
// `Reply`; nullopt when the connection fails or no reply comes. A reply of
// another form, or with fields left over, raises DecodeFailure.
template <class Reply, class Request>
std::optional<Reply> Ask(int port, const Request& request,
                         std::chrono::milliseconds wait = std::chrono::seconds(10)) {
  XDRWRAP message;
  messages::EncodeRequest(message, request);
  std::optional<XDRWRAP> reply = Exchange(port, message, wait);
  if (!reply) return std::nullopt;
  return DecodeWhole<Reply>(*reply);
}

// The same through ProcessClientRequest of this process, the request coming
// from `peerAddress`; nullopt when the request was abandoned.
template <class Reply, class Request>
std::optional<Reply> AskDispatcher(ServerContext& server, const Request& request,
                                   uint32_t peerAddress = 0x7F000001) {
  XDRWRAP message;
  messages::EncodeRequest(message, request);
  std::optional<XDRWRAP> reply = ExchangeWithDispatcher(server, message, peerAddress);
  if (!reply) return std::nullopt;
  return DecodeWhole<Reply>(*reply);
}

// True when the server at loopback:`port` answers ECHO_REQUEST with `value`.
inline bool Echoes(int port, int32_t value) {
  try {
    return Ask<messages::EchoReply>(port, messages::EchoRequest{value}) ==
           messages::EchoReply{value};
  } catch (const DecodeFailure&) {
    return false;
  }
}

// For a stand-in server: true when `received` (its type word not yet taken)
// is `expected` and nothing more.
template <class Request>
bool IsRequest(XDRWRAP& received, const Request& expected) {
  try {
    return received.GetEnum() == Request::kType && DecodeWhole<Request>(received) == expected;
  } catch (const DecodeFailure&) {
    return false;
  }
}

// A reply message holding `reply`, ready to be sent.
template <class Reply>
XDRWRAP Encoded(const Reply& reply) {
  XDRWRAP message;
  message.BeginEncode();
  reply.Encode(message);
  return message;
}

}  // namespace kestrun::test
