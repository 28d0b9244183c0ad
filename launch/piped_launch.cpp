#include "launch/piped_launch.h"

#include <cerrno>
#include <cstring>

#include "base/environment.h"
#include "launch/execute.h"
#include "launch/launch_options.h"
#include "platform/process_tree.h"

namespace kestrun {

PipedLaunch PipedLaunch::Start(const PipedProgram& given) {
  PipedProgram program = given;
  program.useTerminal = given.useTerminal && kTerminalWrapperAvailable;
  PipedLaunch run;
  run.in_ = CreatePipe();
  run.out_ = CreatePipe();
  run.err_ = CreatePipe();
  if (program.useTerminal) run.status_ = CreatePipe();
  run.stop_ = Wakeup::Create();
  if (!run.in_ || !run.out_ || !run.err_ || !run.stop_ || (program.useTerminal && !run.status_)) {
    run.result_ = kPipeFailure;
    return run;
  }
  if (program.wideOutput) WidenPipe(run.out_->read, kOutputPipeRoom);

  std::optional<std::string> terminalHome;
  if (program.useTerminal) terminalHome = GetEnvLocked("KESTRUNHOME").value_or("");
  run.marker_ = NewRunMarker();
  LaunchOptions options =
      LaunchOptionsFor(program.arguments, program.environment, terminalHome, run.marker_);
  if (options.arguments.empty()) {
    run.result_ = E2BIG;
    return run;
  }
  options.descriptors = {run.in_->read.get(), run.out_->write.get(), run.err_->write.get()};
  if (run.status_) options.descriptors.push_back(run.status_->write.get());
  options.holdBeforeExec = program.holdBeforeExec;
  int error = 0;
  run.process_ = LaunchProcess(options, &error);
  if (!run.process_) {
    run.result_ = error;
    return run;
  }
  // Only the child holds its ends now.
  run.in_->read.Reset();
  run.out_->write.Reset();
  run.err_->write.Reset();
  if (run.status_) run.status_->write.Reset();
  return run;
}

std::unique_ptr<StreamPumps> PipedLaunch::HandOver(SocketHandle client, CaptureBuffer* capture,
                                                   ThreadStarter startThread) {
  return std::make_unique<StreamPumps>(std::move(in_->write), std::move(out_->read),
                                       std::move(err_->read), std::move(*stop_), client, capture,
                                       std::move(startThread));
}

int PipedLaunch::LaunchErrorOfWrapper() {
  if (!status_) return 0;
  // kestrunTTY writes the error number when it could not start the program;
  // nothing when it did.
  int error = 0;
  int readError = 0;
  char bytes[sizeof(int)];
  size_t got = 0;
  long n;
  while (got < sizeof bytes &&
         (n = ReadSome(status_->read.get(), bytes + got, sizeof bytes - got, &readError)) > 0) {
    got += static_cast<size_t>(n);
  }
  if (got == sizeof bytes) std::memcpy(&error, bytes, sizeof error);
  return error > 0 ? error : 0;
}

}  // namespace kestrun
