// The administrative command line: the server program, started with an
// option, acts as a client of the server already running on this machine. It
// sends one request to localhost at the configured port, prints the answer
// and ends.
//
//   -killjob <process id>   KILL_JOB: one line
//   -showjobs               GET_ACTIVE_JOBS: table of running jobs
//   -showdocked             DUMP_CLIENT_NODE_NAMES: table of docked clients
//   -shutdown               SHUTDOWN_KESTRUN: one line
//
// Options are compared without regard to case. In list-box mode (KESREASON
// is "LISTBOX", set for the scripts that fill a dialog list box) tables are
// comma-separated rows without headings. Tables and confirmations go to
// standard output, failures to standard error.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

struct AdminEnvironment {
  bool listBoxMode = false;
  // Where the server listens: its `address` setting, localhost without one.
  std::string host = "localhost";
  // Writes a line to the server log (of this process's configuration).
  std::function<void(const std::string&)> log;
  // Clock for the run times of -showjobs.
  std::function<std::time_t()> clock = [] { return std::time(nullptr); };
  std::FILE* out = stdout;
  std::FILE* err = stderr;
};

// The program's options, one a line, shown after "Unknown option".
inline constexpr const char* kServerOptions =
    "options:\n"
    "  (none)               serve requests on the port of kestrun.conf\n"
    "  -check [FILE]        read kestrun.conf (or FILE) as the server would and print\n"
    "                       every problem; exit 0 when there is none\n"
    "  -showjobs            list the running jobs\n"
    "  -showdocked          list the docked clients\n"
    "  -killjob PROCESS_ID  end the running job with this process id\n"
    "  -shutdown            end the running server and its jobs\n"
    "  -install             install the system service\n"
    "  -uninstall           remove the system service\n"
    "  -StartService        serve under the service manager (the unit's command)\n";

// Runs the option args[1] (args[0] is the program) against the server at
// localhost:port. Returns the exit status: 0 on success, 1 on any failure;
// an unknown option (-h and --help too) is named, followed by kServerOptions.
int RunAdminCommand(int port, const std::vector<std::string>& args, const AdminEnvironment& env);

// "hh:mm:ss" for a run of `seconds` (hours may have more digits; negative
// durations, from a clock that went back, show as 00:00:00).
std::string FormatRunTime(int64_t seconds);

// The process id argument of -killjob: its leading decimal integer, as the C
// library reads one; 0 when it has none. Values beyond the 32-bit range give
// 0 too: cut to 32 bits they would name another process.
int32_t ParseProcessId(std::string_view text);

}  // namespace kestrun
