#include <windows.h>

#include "platform/error_text.h"

namespace kestrun {

// Error codes here are the system's (GetLastError, WSAGetLastError): the
// system's message table names them.
std::string SystemErrorText(int error) {
  char buffer[512];
  const DWORD n =
      ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(error), 0, buffer, sizeof buffer, nullptr);
  std::string text(buffer, n);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.'))
    text.pop_back();
  if (text.empty()) text = "error " + std::to_string(error);
  return text;
}

}  // namespace kestrun
