#include "tools/kesclient/dialog_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "tools/kesclient/terminal.h"

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

// A file of this machine that the server named for a stream.
struct NamedFile {
  int which;  // 0 input, 1 output, 2 error
  const std::string* path;
};

// The streams whose file the server chose and the user did not: `file:`,
// and a chooser's path when there is no display to show the chooser on. An
// empty path fails later without opening anything.
std::vector<NamedFile> ServerNamedFiles(
    const std::pair<Disposition, const std::string*> (&wanted)[3], const Interpreter* interp) {
  std::vector<NamedFile> named;
  for (int which = 0; which < 3; ++which) {
    const Disposition d = wanted[which].first;
    const bool chosenByServer =
        d == Disposition::File || (d == Disposition::FileChooser && interp == nullptr);
    if (chosenByServer && !wanted[which].second->empty())
      named.push_back({which, wanted[which].second});
  }
  return named;
}

// A path as shown to the user: control characters (a carriage return or an
// escape sequence could redraw the question on a terminal) and DEL as \xNN.
std::string Shown(const std::string& path) {
  static const char kHex[] = "0123456789abcdef";
  std::string shown;
  for (const char c : path) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7f) {
      shown += "\\x";
      shown += kHex[b >> 4];
      shown += kHex[b & 15];
    } else {
      shown += c;
    }
  }
  return shown;
}

// One line per file: what happens to it.
std::string FileLines(const std::vector<NamedFile>& named, const char* indent) {
  std::string lines;
  for (const NamedFile& f : named) {
    lines += indent;
    lines +=
        f.which == 0
            ? "read " + Shown(*f.path) + " and send it to the server as the job's standard input"
            : "overwrite " + Shown(*f.path) + " with the job's " + StreamName(f.which);
    lines += "\n";
  }
  return lines;
}

bool AskInWindow(const Interpreter& interp, const std::string& job,
                 const std::vector<NamedFile>& named, std::string* failure) {
  const std::string title = "Files for job " + job;
  const std::string message = "The server asks kesclient to use files of this computer:";
  const std::string detail = FileLines(named, "") + "\nAllow this?";
  std::string error;
  const bool called = interp.Call(
      {
          Tcl_NewStringObj("tk_messageBox", -1),
          Tcl_NewStringObj("-icon", -1),
          Tcl_NewStringObj("warning", -1),
          Tcl_NewStringObj("-type", -1),
          Tcl_NewStringObj("yesno", -1),
          Tcl_NewStringObj("-default", -1),
          Tcl_NewStringObj("no", -1),
          Tcl_NewStringObj("-title", -1),
          Tcl_NewStringObj(title.c_str(), -1),
          Tcl_NewStringObj("-message", -1),
          Tcl_NewStringObj(message.c_str(), -1),
          Tcl_NewStringObj("-detail", -1),
          Tcl_NewStringObj(detail.c_str(), -1),
      },
      &error);
  if (!called) {
    *failure = "cannot ask about the job's files: " + error;
    return false;
  }
  return std::string(Tcl_GetStringResult(interp.get())) == "yes";
}

// Asks once for all the server-named files. Ready when they may be opened.
StreamSetup Consent(const std::vector<NamedFile>& named, const Interpreter* interp,
                    const StreamConsent& consent, std::string* failure) {
  if (named.empty() || consent.assumeYes) return StreamSetup::Ready;
  if (interp != nullptr) {
    std::string error;
    if (AskInWindow(*interp, consent.job, named, &error)) return StreamSetup::Ready;
    if (error.empty()) return StreamSetup::Cancelled;
    *failure = error;
    return StreamSetup::Failed;
  }
  const std::string question = "kesclient: the server asks to use files of this computer for job " +
                               consent.job + ":\n" + FileLines(named, "  ") + "Allow this?";
  switch (AskOnTerminal(question)) {
    case TerminalAnswer::Yes:
      return StreamSetup::Ready;
    case TerminalAnswer::No:
      return StreamSetup::Cancelled;
    case TerminalAnswer::NoTerminal:
      break;
  }
  std::string files;
  for (const NamedFile& f : named)
    files += (files.empty() ? "" : "; ") + std::string(f.which == 0 ? "read " : "overwrite ") +
             Shown(*f.path);
  *failure = "the server asks to use files of this computer for job " + consent.job + " (" + files +
             ") and there is no terminal to ask you; kesclient dialog -y allows it";
  return StreamSetup::Refused;
}

}  // namespace

StreamSetup OpenStreams(const StreamBlock& block, const Interpreter* interp,
                        const StreamConsent& consent, JobStreams* streams, std::string* failure) {
  const std::pair<Disposition, const std::string*> wanted[] = {
      {block.input, &block.inputFile},
      {block.output, &block.outputFile},
      {block.error, &block.errorFile},
  };
  const StreamSetup agreed = Consent(ServerNamedFiles(wanted, interp), interp, consent, failure);
  if (agreed != StreamSetup::Ready) return agreed;
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
