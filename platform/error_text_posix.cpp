#include <cstring>

#include "platform/error_text.h"

namespace kestrun {

std::string SystemErrorText(int error) {
  char buffer[256] = {};
  // GNU strerror_r may return a static text instead of filling the buffer.
  return ::strerror_r(error, buffer, sizeof buffer);
}

}  // namespace kestrun
