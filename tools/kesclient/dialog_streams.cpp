#include "tools/kesclient/dialog_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

namespace kestrun::client {

OwnedFd::OwnedFd(OwnedFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
OwnedFd& OwnedFd::operator=(OwnedFd&& o) noexcept {
  std::swap(fd_, o.fd_);
  return *this;
}
OwnedFd::~OwnedFd() {
  if (fd_ >= 0) ::close(fd_);
}

namespace {

const char* StreamName(int which) {
  return which == 0 ? "standard input" : which == 1 ? "standard output" : "standard error";
}

// Asks the user for a file, starting from `path`; "" when the chooser was
// closed without one.
std::string ChooseFile(const Interpreter& interp, bool forReading, const std::string& path,
                       int which) {
  const bool chosen = interp.Call({
      Tcl_NewStringObj(forReading ? "tk_getOpenFile" : "tk_getSaveFile", -1),
      Tcl_NewStringObj("-title", -1),
      Tcl_NewStringObj((std::string("File for the job's ") + StreamName(which)).c_str(), -1),
      Tcl_NewStringObj("-initialfile", -1),
      Tcl_NewStringObj(path.c_str(), -1),
  });
  return chosen ? Tcl_GetStringResult(interp.get()) : "";
}

// One stream: which 0 input, 1 output, 2 error.
StreamSetup OpenOne(Disposition d, const std::string& path, const Interpreter* interp, int which,
                    JobStreams* s, std::string* failure) {
  int* fd = which == 0 ? &s->input : which == 1 ? &s->output : &s->error;
  OwnedFd* owned = which == 0 ? &s->ownedInput : which == 1 ? &s->ownedOutput : &s->ownedError;
  std::string file = path;
  switch (d) {
    case Disposition::Display:
      return StreamSetup::Ready;
    case Disposition::Discard:
      file = "/dev/null";
      break;
    case Disposition::Popup:
    case Disposition::Report:
      if (which == 0) return StreamSetup::Ready;
      if (interp == nullptr) {
        std::fprintf(stderr,
                     "kesclient: no display for the job's output window; showing it here\n");
        return StreamSetup::Ready;
      }
      s->window = true;
      s->live = s->live || d == Disposition::Popup;
      *fd = -1;
      return StreamSetup::Ready;
    case Disposition::FileChooser:
      if (interp != nullptr) {
        file = ChooseFile(*interp, which == 0, path, which);
        if (file.empty()) return StreamSetup::Cancelled;
      }
      break;
    case Disposition::File:
      break;
  }
  if (file.empty()) {
    *failure = std::string("the job names no file for its ") + StreamName(which);
    return StreamSetup::Failed;
  }
  const int flags = which == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC;
  const int opened = ::open(file.c_str(), flags | O_CLOEXEC, 0666);
  if (opened < 0) {
    *failure =
        "cannot open " + file + " for the job's " + StreamName(which) + ": " + std::strerror(errno);
    return StreamSetup::Failed;
  }
  *owned = OwnedFd(opened);
  *fd = opened;
  if (which == 0 && file != "/dev/null") s->inputFileName = file;
  return StreamSetup::Ready;
}

}  // namespace

StreamSetup OpenStreams(const StreamBlock& block, const Interpreter* interp, JobStreams* streams,
                        std::string* failure) {
  const std::pair<Disposition, const std::string*> wanted[] = {
      {block.input, &block.inputFile},
      {block.output, &block.outputFile},
      {block.error, &block.errorFile},
  };
  for (int which = 0; which < 3; ++which) {
    const StreamSetup r =
        OpenOne(wanted[which].first, *wanted[which].second, interp, which, streams, failure);
    if (r != StreamSetup::Ready) return r;
  }
  return StreamSetup::Ready;
}

int RunWithOutputWindow(const Interpreter& interp, const std::string& title, bool live,
                        const std::function<int(int outputFd)>& run) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return run(STDOUT_FILENO);
  // The read end belongs to a Tcl channel from here on; Tcl closes it.
  Tcl_Channel channel = Tcl_MakeFileChannel(
      reinterpret_cast<ClientData>(static_cast<intptr_t>(fds[0])), TCL_READABLE);
  Tcl_RegisterChannel(interp.get(), channel);
  interp.Call({Tcl_NewStringObj("::kes::showOutput", -1),
               Tcl_NewStringObj(Tcl_GetChannelName(channel), -1),
               Tcl_NewStringObj(title.c_str(), -1), Tcl_NewIntObj(live ? 1 : 0)});

  int status = 0;
  std::thread worker([&] {
    status = run(fds[1]);
    ::close(fds[1]);  // the window sees the end of the output
  });
  interp.Eval("vwait ::kes::outputDone");
  worker.join();
  interp.Eval(
      "if {$::kes::outputShown && !$::kes::outputClosed} {vwait ::kes::outputClosed}\n"
      "destroy .kesout");
  return status;
}

}  // namespace kestrun::client
