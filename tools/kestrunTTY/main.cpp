// kestrunTTY PROGRAM [ARGUMENT...]
//
// Runs PROGRAM with a pseudo-terminal as its standard output, so that it
// line-buffers and behaves as it would in a console, and copies what it
// writes to our own standard output until its output ends. Its standard
// input and standard error stay the ones we were given, so end of input and
// the separate error stream keep their meaning. Exits with the program's
// exit code (128 + n when signal n ended it).
//
// When the server starts us it passes a status pipe as descriptor 3. If the
// program cannot be started, the system's error number (a native 4-byte int)
// is written there; the server cannot mistake that for an exit code, which
// is only 8 bits wide here. The descriptor is closed before the program
// runs, so the program never inherits it.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/process.h"
#include "tools/kestrunTTY/pseudo_terminal.h"

extern char** environ;

namespace kestrun {
namespace {

constexpr int kStatusFd = 3;
constexpr int kCannotStart = 127;

// Descriptor 3 is taken as the status pipe only when it is a pipe: someone
// running us by hand may have anything (or nothing) there.
UniqueFd TakeStatusPipe() {
  struct stat st {};
  if (::fstat(kStatusFd, &st) != 0 || !S_ISFIFO(st.st_mode)) return UniqueFd();
  return UniqueFd(kStatusFd);
}

int ReportCannotStart(UniqueFd& status, const std::string& program, int error) {
  if (status) {
    WriteAll(status.get(), &error, sizeof error);
  } else {
    std::fprintf(stderr, "kestrunTTY: cannot start %s: %s\n", program.c_str(),
                 std::strerror(error));
  }
  return kCannotStart;
}

// Copies the terminal's output to standard output until every holder of the
// slave side has closed it (the master then reads EIO). If our reader goes
// away the output is still drained, so the program is never blocked on a
// full terminal.
void Relay(FileHandle master) {
  std::vector<char> buf(1 << 16);
  bool readerGone = false;
  for (;;) {
    int error = 0;
    const long n = ReadSome(master, buf.data(), buf.size(), &error);
    if (n <= 0) return;
    if (!readerGone && WriteAll(1, buf.data(), static_cast<size_t>(n)) != 0) readerGone = true;
  }
}

int Run(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);  // a vanished reader shows as EPIPE
  UniqueFd status = TakeStatusPipe();
  if (argc < 2) {
    std::fputs("usage: kestrunTTY PROGRAM [ARGUMENT...]\n", stderr);
    return ReportCannotStart(status, "", EINVAL);
  }
  int error = 0;
  std::optional<PseudoTerminal> tty = OpenPseudoTerminal(&error);
  if (!tty) return ReportCannotStart(status, argv[1], error);

  LaunchOptions options;
  options.program = argv[1];
  options.arguments.assign(argv + 1, argv + argc);
  for (char** e = environ; *e; ++e) options.environment.emplace_back(*e);
  // The server hands over a program it has already found; a bare name is
  // looked up on the wrapper's own PATH.
  if (const char* path = std::getenv("PATH")) options.searchPath = path;
  options.descriptors = {0, tty->slave.get(), 2};
  // The program stays in our process group, so a kill of the job's group
  // reaches it too.
  options.newProcessGroup = false;
  std::optional<Process> program = LaunchProcess(options, &error);
  if (!program) return ReportCannotStart(status, argv[1], error);
  status.Reset();  // started: the server reads end of data, no error
  tty->slave.Reset();

  Relay(tty->master.get());
  return ExitCodeOf(program->Reap(), false);
}

}  // namespace
}  // namespace kestrun

int main(int argc, char** argv) {
  return kestrun::Run(argc, argv);
}
