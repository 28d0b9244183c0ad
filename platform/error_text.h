// The system's text for an error code, for messages that name a failed call
// ("connect to %s:%d: %s").
#pragma once

#include <string>

namespace kestrun {

// The system's text for an error code ("No space left on device"). Unlike
// strerror it never hands out a buffer another thread may be overwriting.
std::string SystemErrorText(int error);

}  // namespace kestrun
