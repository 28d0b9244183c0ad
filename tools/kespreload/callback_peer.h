// Who is at the other end of a callback connection (internal to
// libkespreload).
#pragma once

namespace kespreload_internal {

// True when the connection `fd`, accepted on the callback port, was made by
// an ancestor of this process: the server that started it (directly or
// through a wrapper). Anyone else on the machine can connect to the port,
// but cannot make the socket at their end belong to one of our ancestors.
// False when it cannot be told (the lists cannot be read).
bool ComesFromAncestor(int fd);

}  // namespace kespreload_internal
