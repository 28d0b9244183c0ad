// The launch sequence of every run whose standard streams are pipes to the
// server (Execute, capture mode and preloaded programs): the three pipes,
// the launch options with a fresh run marker, the launch, the server's copies
// of the child's ends closed, and the server's ends handed to the pumps.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "launch/pumps.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/wakeup.h"

namespace kestrun {

// What a piped run starts.
struct PipedProgram {
  const std::vector<std::string>& arguments;    // element 0: the program
  const std::vector<std::string>& environment;  // the run's environment block
  // Start through $KESTRUNHOME/kestrunTTY, which reports its own launch
  // failure on a fourth descriptor (LaunchErrorOfWrapper).
  bool useTerminal = false;
  // Ask for kOutputPipeRoom in the standard output pipe.
  bool wideOutput = false;
  // Start the child held before exec until Process::Resume (preloaded
  // programs, whose id is recorded before they run).
  bool holdBeforeExec = false;
};

// One started piped run. Built by Start; the caller lists the process, then
// hands the pipes to the pumps (HandOver) and waits for the end.
class PipedLaunch {
 public:
  // Makes the pipes and the stop wake-up of the pumps and starts the program
  // with the child's ends as its descriptors 0, 1 and 2 (and 3 for the
  // terminal wrapper's report); the server's copies of those ends are closed
  // once it started, so the pipes report end-of-data and broken pipe when it
  // ends. result() tells how it went; process() exists only when it is 0.
  static PipedLaunch Start(const PipedProgram& program);

  // 0 once started; kPipeFailure when a pipe or wake-up could not be made,
  // E2BIG when the expanded arguments do not fit, or the launch's errno.
  int result() const { return result_; }
  Process& process() { return *process_; }
  // The run marker in the program's environment (KESRUNMARKER).
  const std::string& marker() const { return marker_; }

  // Builds the pumps of the run over the server's ends of the pipes (once).
  // `client` may be kInvalidSocket, `capture` null. The pumps are not started.
  std::unique_ptr<StreamPumps> HandOver(SocketHandle client, CaptureBuffer* capture,
                                        ThreadStarter startThread = {});

  // Terminal runs, after the end: the errno with which kestrunTTY failed to
  // start the program; 0 when it did start it (or this is no terminal run).
  int LaunchErrorOfWrapper();

 private:
  PipedLaunch() = default;
  int result_ = 0;
  std::optional<Pipe> in_, out_, err_, status_;
  std::optional<Wakeup> stop_;
  std::optional<Process> process_;
  std::string marker_;
};

}  // namespace kestrun
