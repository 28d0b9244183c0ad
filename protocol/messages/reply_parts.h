// Pieces shared by the message structs of the jobs-and-admin, notification
// and group families: the result word that opens a reply, and the lists that
// end at an empty name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/xdrwrap.h"

namespace kestrun::messages {

// Reads the result word of a one-form reply; DecodeFailure when it is not
// `expected` (a client treats any other result as a failed request).
template <class Result>
void ExpectResult(XDRWRAP& in, Result expected) {
  if (in.GetEnum() != static_cast<int32_t>(expected))
    throw DecodeFailure("unexpected result in reply");
}

template <class Result>
void AddResult(XDRWRAP& out, Result result) {
  out.AddEnum(static_cast<int32_t>(result));
}

// Appends each entry whose `name(entry)` is not empty (an empty one would end
// the list for the reader) while the message stays within the limits with
// room for the closing "", then the closing "". Returns how many entries
// were left out for want of room.
template <class Entries, class Name, class Add>
size_t AddListWithin(XDRWRAP& out, const Entries& entries, Name name, Add add) {
  BoundedList list(out, kEmptyStringTail);
  for (const auto& entry : entries) {
    if (name(entry).empty()) continue;
    list.Add([&](XDRWRAP& o) { add(o, entry); });
  }
  out.AddString("");
  return list.left();
}

// Reads entries with `read(in, name)` until the empty name that ends the
// list.
template <class Entries, class Read>
void ReadList(XDRWRAP& in, Entries& entries, Read read) {
  for (std::string name = in.GetString(); !name.empty(); name = in.GetString())
    entries.push_back(read(in, std::move(name)));
}

}  // namespace kestrun::messages
