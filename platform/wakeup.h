// A wake-up a thread blocked on a descriptor can be woken with, and the wait
// for "this descriptor has input, or I was woken".
#pragma once

#include <optional>

#include "platform/unique_fd.h"

namespace kestrun {

// A one-way, level-triggered signal that poll can wait on: once Signal has
// been called it stays signalled. Any thread may call Signal.
class Wakeup {
 public:
  // Empty with *error set when the descriptor cannot be made.
  static std::optional<Wakeup> Create(int* error = nullptr);
  void Signal() const;
  FileHandle fd() const { return fd_.get(); }

 private:
  explicit Wakeup(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

enum class InputWait { Ready, Woken, Failed };

// Blocks until `fd` is readable (or at its end) or `wakeup` is signalled.
// Input that is there wins over the wake-up, so nothing already sent is
// ignored. A `wakeup` of kInvalidFile waits on `fd` alone.
InputWait WaitForInput(FileHandle fd, FileHandle wakeup);

// True when the wake-up descriptor `wakeup` has been signalled (never blocks).
bool IsSignalled(FileHandle wakeup);

}  // namespace kestrun
