// kesclient's side of the operating system: who runs it, whether a stream is
// a terminal, its interrupts, and the standard streams of a run. Implemented
// in console_posix.cpp and console_win32.cpp.
#pragma once

#include <atomic>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace kestrun::client {

// The login name of the user running kesclient ($USER first on POSIX
// systems, %USERNAME% on Windows); "unknown" when the system cannot tell.
std::string LoginName();

// True when the C runtime descriptor `fd` is a terminal or console.
bool IsTerminal(int fd);

// The standard streams as C runtime descriptors.
inline constexpr int kStandardInput = 0;
inline constexpr int kStandardOutput = 1;
inline constexpr int kStandardError = 2;

// From now on Ctrl+C (`ctrlC` true) and the requests to end the process
// (SIGTERM; a console closed or a logoff on Windows) call `handler` on a
// thread of kesclient's own, never inside a signal handler. When the
// handler returns false the process ends at once with kExitInterrupted. Call
// once, before any other thread starts (POSIX threads inherit the blocked
// signals from the caller).
void WatchInterrupts(std::function<bool(bool ctrlC)> handler);

// Writes `pieces` in order to descriptor `fd`, resuming after partial writes.
// False when a write failed; errno then says why (EPIPE: the reader is gone).
bool WriteAll(int fd, std::span<const std::string_view> pieces);

// Reads a run's standard input from a descriptor on one thread while another
// may cancel the reading: a job that ends without reading its input must not
// wait for the user's next line. Not copyable; Cancel may be called from any
// thread, Read from one thread at a time.
class InputReader {
 public:
  explicit InputReader(int fd);
  InputReader(const InputReader&) = delete;
  InputReader& operator=(const InputReader&) = delete;
  ~InputReader();

  // False when the reader could not be set up (no pipe for cancelling).
  bool ready() const { return ready_; }

  // Up to `size` bytes into `buffer`: their count, 0 at the end of input or
  // on a read error, -1 once Cancel was called.
  long Read(char* buffer, size_t size);

  // Makes the current and every later Read return -1.
  void Cancel();

 private:
  int fd_;
  bool ready_ = false;
  std::atomic<bool> cancelled_{false};
  // POSIX: a pipe whose read end a poll waits on beside the input.
  // Windows: the reading thread's handle, for CancelSynchronousIo.
  intptr_t cancelRead_ = -1;
  intptr_t cancelWrite_ = -1;
  std::atomic<bool> reading_{false};
};

}  // namespace kestrun::client
