// The streams of a job run from a dialog, set up as the job's stream block
// says: discarded, shown in the terminal, shown in an output window, read
// from or written to a file (named by the job, or chosen by the user).
//
// The stream block comes from the server, which may name any file of this
// machine: a file read as standard input is uploaded to the server, a file
// for standard output or error is created or truncated. Such a file is
// opened only with the user's consent; a file the user picked in a chooser
// is that consent already.
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

enum class StreamSetup { Ready, Cancelled, Refused, Failed };

// What the user said beforehand about the files the server names.
struct StreamConsent {
  std::string job;         // named in the question
  bool assumeYes = false;  // -y: open them without asking
};

// Opens the streams. `interp` (may be null: no display) asks the user for
// files where the job wants a chooser and shows output windows; without it
// a chooser takes the job's path and a window falls back to the terminal.
// A file the server names (`file:`, or a chooser's path when no chooser can
// be shown) is opened only when `consent.assumeYes` or the user accepts:
// one question per run lists every such file and whether it is read or
// overwritten, in a message box when `interp` is given, else on the
// terminal (terminal.h). Nothing is opened before that answer.
// Failed: *failure says why; Cancelled: the user closed a chooser or said
// no; Refused: there was nobody to ask (*failure says so and names -y).
StreamSetup OpenStreams(const StreamBlock& block, const Interpreter* interp,
                        const StreamConsent& consent, JobStreams* streams, std::string* failure);

// Runs `run` on a thread with a pipe as its output and error descriptor
// while the output window shows what comes through, as it arrives (`live`,
// popup) or once it is complete (report); waits until the output has ended
// and, when there was any, the user closed the window. Returns what `run`
// returned.
int RunWithOutputWindow(const Interpreter& interp, const std::string& title, bool live,
                        const std::function<int(int outputFd)>& run);

}  // namespace kestrun::client
