// The streams of a job run from a dialog, set up as the job's stream block
// says: discarded, shown in the terminal, shown in an output window, read
// from or written to a file (named by the job, or chosen by the user).
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "tools/kesclient/dialog_requests.h"
#include "tools/kesclient/tcl_tk.h"

namespace kestrun::client {

// A descriptor opened for one run, closed when the run is over.
class OwnedFd {
 public:
  OwnedFd() = default;
  explicit OwnedFd(int fd) : fd_(fd) {}
  OwnedFd(OwnedFd&& o) noexcept;
  OwnedFd& operator=(OwnedFd&& o) noexcept;
  ~OwnedFd();
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

struct JobStreams {
  int input = 0, output = 1, error = 2;  // what the job run reads and writes
  bool window = false;                   // output or error go to the output window (fd -1)
  bool live = false;                     // the window shows output as it arrives (popup)
  std::string inputFileName;             // the file standard input comes from
  OwnedFd ownedInput, ownedOutput, ownedError;
};

enum class StreamSetup { Ready, Cancelled, Failed };

// Opens the streams. `interp` (may be null: no display) asks the user for
// files where the job wants a chooser and shows output windows; without it
// a chooser takes the job's path and a window falls back to the terminal.
// Failed: *failure says why; Cancelled: the user closed a chooser.
StreamSetup OpenStreams(const StreamBlock& block, const Interpreter* interp, JobStreams* streams,
                        std::string* failure);

// Runs `run` on a thread with a pipe as its output and error descriptor
// while the output window shows what comes through, as it arrives (`live`,
// popup) or once it is complete (report); waits until the output has ended
// and, when there was any, the user closed the window. Returns what `run`
// returned.
int RunWithOutputWindow(const Interpreter& interp, const std::string& title, bool live,
                        const std::function<int(int outputFd)>& run);

}  // namespace kestrun::client
