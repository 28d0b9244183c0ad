#include <windows.h>

#include "platform/pipe.h"
#include "platform/wide_win32.h"

namespace kestrun {

// Both ends are created non-inheritable (no security attributes asking for
// inheritance): a launch names the handles its child inherits explicitly
// (PROC_THREAD_ATTRIBUTE_HANDLE_LIST), so a pipe of one run never leaks into
// another run started at the same moment by another thread.
std::optional<Pipe> CreatePipe(int* error) {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  // 64 KiB: the room a Linux pipe has by default.
  if (!::CreatePipe(&read, &write, nullptr, 65536)) {
    if (error) *error = static_cast<int>(::GetLastError());
    return std::nullopt;
  }
  return Pipe{UniqueFd(FromHandle(read)), UniqueFd(FromHandle(write))};
}

// An anonymous pipe's room is fixed when it is made (CreatePipe above).
void WidenPipe(const UniqueFd&, size_t) {}

}  // namespace kestrun
