// The typed messages: one struct per request and per reply form, each with
// the one definition of its field order. Every request and reply of the
// protocol is read and written through these structs, by the server's
// handlers, the tools and the tests alike.
//
// The shape every message struct follows:
//
//   struct FooRequest {
//     static constexpr RequestType kType = FOO;   // requests only
//     ... fields, with the protocol's names ...
//     void Encode(XDRWRAP& out) const;       // the fields after the type word
//     static FooRequest Decode(XDRWRAP& in); // throws DecodeFailure
//     bool operator==(const FooRequest&) const = default;
//   };
//
// A request's type word is written by EncodeRequest and read by the
// dispatcher, never by the struct: the dispatcher has already taken it when a
// handler decodes the rest. Replies have no type word (a handler encodes its
// reply struct into the reply the dispatcher began); their result codes are an
// `enum class` per reply family, carried as the protocol's long or enum.
#pragma once

#include "protocol/request_types.h"
#include "protocol/xdrwrap.h"

namespace kestrun::messages {

// Starts `out` afresh with the request's type word and its fields.
template <class Request>
void EncodeRequest(XDRWRAP& out, const Request& request) {
  out.BeginEncode();
  out.AddEnum(Request::kType);
  request.Encode(out);
}

}  // namespace kestrun::messages
