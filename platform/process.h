// Starting a program with given standard streams, and the owner of the
// started process.
//
// A program is started directly, never through a shell: the argument vector
// reaches it element by element, so no argument can turn into two or into a
// command. The child gets exactly the descriptors listed in the launch
// options (normally 0, 1 and 2) and nothing else, starts with every signal at
// its default action and none blocked, and (by default) leads a process
// group of its own so that a kill can reach everything it started. A child
// may be started held before exec (LaunchOptions::holdBeforeExec): its id is
// known and usable (kill, tables) before the program runs.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace kestrun {

using ProcessId = int;

// Finds a bare program name in the colon-separated `searchPath` the way
// execvp does: the first executable regular file wins; a match without the
// run bit makes the failure EACCES rather than ENOENT (in *error).
std::optional<std::string> FindProgram(const std::string& name, std::string_view searchPath,
                                       int* error);

// The bytes the kernel lets a new program's argument and environment strings
// take together (ARG_MAX as the system reports it now, which follows the
// stack limit); a launch whose strings take more fails with E2BIG. Each
// string counts with its terminating NUL and its pointer.
size_t ArgumentSpaceLimit();

// The program search path a job gets when the server itself was started
// without one.
std::string_view DefaultSearchPath();

struct LaunchOptions {
  // The program to run. A path holding a "/" is used as it is; a bare name is
  // looked up in `searchPath` (never in the PATH of `environment`, which a
  // client may have a say in).
  std::string program;
  // The argument vector, element 0 included, passed to the program unchanged.
  std::vector<std::string> arguments;
  // NAME=value strings: the program's whole environment.
  std::vector<std::string> environment;
  // Child descriptor i is a copy of descriptors[i]; kInvalidFile gives the
  // child /dev/null there instead of a hole the program could reuse by
  // accident. The caller keeps ownership of the descriptors it passes.
  std::vector<FileHandle> descriptors;
  // Start the child in a new process group that it leads.
  bool newProcessGroup = true;
  // Colon-separated directories for a bare program name; empty: /usr/bin:/bin.
  std::string searchPath = {};
  // The child is created with its descriptors in place but waits before
  // exec until Process::Resume (preloaded programs, whose id is recorded
  // before they can talk to the server). An owner destroyed before Resume
  // kills the child before it ever runs the program.
  bool holdBeforeExec = false;
};

// Whether a job can run behind the pseudo-terminal wrapper kestrunTTY. On
// Windows it cannot (there is no such wrapper there): a use-terminal run
// starts its program directly, with pipes as its standard streams.
#ifdef _WIN32
inline constexpr bool kTerminalWrapperAvailable = false;
#else
inline constexpr bool kTerminalWrapperAvailable = true;
#endif

// How a process ended.
struct ProcessEnd {
  bool signaled = false;  // ended by a signal (`code` is the signal number)
  int code = 0;           // exit code, or the signal number
  int waitError = 0;      // the wait failed with this error: the end is unknown
};

// The exit code a run reports: the program's own exit code; 1 when the server
// killed it (as a terminated program reports on other platforms); 128 + the
// signal number for any other death by a signal, as shells report it; -1
// when the wait failed and the end is unknown (never taken for success).
int ExitCodeOf(const ProcessEnd& end, bool killedByServer);

// Owns one started child process. The owner may wait for the end without
// collecting the child, so that its process id stays reserved (and safe to
// signal) until the caller has finished its bookkeeping; Reap then collects
// it. An owner destroyed before Reap kills the child (SIGKILL) and reaps it,
// so no error path leaves a zombie or a stray job.
//
// One thread waits on a Process; other threads only signal its id.
class Process {
 public:
  explicit Process(ProcessId pid) : pid_(pid) {}
  // A child held before exec: `gate` is the write end it waits on, and
  // `execStatus` the read end on which it reports a failed exec.
  Process(ProcessId pid, UniqueFd gate, UniqueFd execStatus)
      : pid_(pid), gate_(std::move(gate)), execStatus_(std::move(execStatus)) {}
  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process();

  ProcessId pid() const { return pid_; }
  // Blocks until the child has ended and returns how; the child is left as
  // a zombie, so its id is not reused yet.
  ProcessEnd WaitForEnd();
  // Collects the ended (or ending) child, blocking until it has ended.
  ProcessEnd Reap();
  // A child held before exec: lets it exec its program. Returns 0 once it
  // did (or when it was not held, or was resumed already), or the error of
  // the failed exec (the child then exits with status 127).
  int Resume();

 private:
  void KillAndReap();
  ProcessId pid_ = -1;
  bool reaped_ = false;
  UniqueFd gate_;        // held child: the child waits for a byte on it
  UniqueFd execStatus_;  // held child: the child writes errno here when exec fails
#ifdef _WIN32
  // Windows: the process handle (keeps the id reserved until Reap closes
  // it), the job object every process of the run belongs to, and the
  // primary thread of a child started suspended until Resume.
  UniqueFd handle_;
  UniqueFd job_;
  UniqueFd suspendedThread_;
  friend std::optional<Process> LaunchProcess(const LaunchOptions&, int*);
#endif
};

// Starts a program. Returns its owner, or empty with the system's error code
// in *error: ENOENT for a missing program, EACCES for a file without the run
// bit, and so on. An exec failure is detected before this returns (for a
// child held before exec: by Resume).
// Safe to call from several threads at once.
std::optional<Process> LaunchProcess(const LaunchOptions& options, int* error);

// Sends `signal` to one process; false when it does not exist (any more).
bool SignalProcess(ProcessId pid, int signal);

// Makes this process a child subreaper: a descendant whose parent ends (a
// daemon's double fork, setsid and all) is re-parented to this process
// rather than to init, so it stays in this process's tree where a kill of
// its run can find it (see KillMarkedProcesses). False when the system
// refuses. Called once by the server at start-up.
bool BecomeChildSubreaper();

// Collects the ended orphans this process adopted as a subreaper. Only
// zombie children that no Process owner holds are collected, so the exit
// status a Process owner waits for is never taken from it, and its id stays
// reserved while the owner may still signal it. Does nothing unless this
// process is a child subreaper. Every child started by LaunchProcess (held
// before exec or not) is entered in a process-wide list of owned children before
// it can end (the list mirrors the kernel's own child list, which is
// process-wide too) and leaves it when its owner collects it; a Process made
// from another id is not protected. Returns the number collected. Safe to
// call from any thread; the server calls it at the end of each run and on
// the listener's minute tick.
int ReapAdoptedOrphans();

}  // namespace kestrun
