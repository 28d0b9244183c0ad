#include "server/admin_command.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdlib>

#include "base/safe_format.h"
#include "base/text.h"
#include "notify/docked_registry.h"
#include "protocol/transport.h"
#include "server/dispatcher.h"

namespace kestrun {

namespace {

// One request to the local server. nullopt after "Could not connect" (already
// printed) or when the reply cannot be read.
std::optional<XDRWRAP> AskServer(int port, XDRWRAP& request, const AdminEnvironment& env) {
  std::optional<ServerConnection> connection = ConnectToServer(port, env.host);
  if (!connection) {
    std::fputs("Could not connect to Kestrun Server\n", env.err);
    return std::nullopt;
  }
  SendRequest(request, *connection, ConnectionMagic);
  XDRWRAP reply;
  ReceiveMessage(reply, connection->socket.get());
  return reply;
}

XDRWRAP Request(RequestType type) {
  XDRWRAP m;
  m.BeginEncode();
  m.AddEnum(type);
  return m;
}

int KillJob(int port, const std::vector<std::string>& args, const AdminEnvironment& env) {
  if (args.size() != 3) {
    std::fputs("USAGE: -killjob <process id>\n\n", env.err);
    return 1;
  }
  const int32_t pid = ParseProcessId(args[2]);
  if (pid == 0) {
    std::fputs("Invalid Process Id\n", env.err);
    return 1;
  }
  XDRWRAP request = Request(KILL_JOB);
  request.AddLong(pid);
  std::optional<XDRWRAP> reply = AskServer(port, request, env);
  if (!reply) return 1;
  if (reply->GetEnum() != 1) {
    std::fprintf(env.err, "Could not kill process ID %ld\n", static_cast<long>(pid));
    return 1;
  }
  const std::string jobName = reply->GetString();
  std::fprintf(env.out, "Process ID %ld (%s) Killed\n", static_cast<long>(pid), jobName.c_str());
  return 0;
}

int ShowJobs(int port, const AdminEnvironment& env) {
  XDRWRAP request = Request(GET_ACTIVE_JOBS);
  std::optional<XDRWRAP> reply = AskServer(port, request, env);
  if (!reply) return 1;
  // Start times travel as the low 32 bits of the clock; the difference is
  // taken the same way so that it stays right when the clock passes 2^31.
  const uint32_t now = static_cast<uint32_t>(env.clock());
  bool any = false;
  for (std::string name = reply->GetString(); !name.empty(); name = reply->GetString()) {
    if (!any && !env.listBoxMode) {
      std::fputs("Active Job(s)...\n", env.out);
      std::fprintf(env.out, "%-25s%-20s%-15s%-8s %s\n", "Job Name", "Lock Value", "User",
                   "Run Time", "Process ID");
      std::fprintf(env.out, "%-25s%-20s%-15s%-8s %s\n", "--------", "----------", "----",
                   "--------", "----------");
    }
    any = true;
    const std::string lockValue = reply->GetString();
    const std::string user = reply->GetString();
    const int32_t pid = reply->GetLong();
    const uint32_t start = static_cast<uint32_t>(reply->GetLong());
    const std::string runTime = FormatRunTime(static_cast<int32_t>(now - start));
    if (env.listBoxMode) {
      std::fputs(SafeStringPrintf("%s,%s,%s,%s,%d\n", name.c_str(), lockValue.c_str(), user.c_str(),
                                  runTime.c_str(), pid)
                     .c_str(),
                 env.out);
    } else {
      std::fputs(SafeStringPrintf("%-25s%-20s%-15s%-8s %ld\n", name.c_str(), lockValue.c_str(),
                                  user.c_str(), runTime.c_str(), static_cast<long>(pid))
                     .c_str(),
                 env.out);
    }
  }
  if (!any && !env.listBoxMode) std::fputs("No Active Jobs\n", env.out);
  return 0;
}

int ShowDocked(int port, const AdminEnvironment& env) {
  XDRWRAP request = Request(DUMP_CLIENT_NODE_NAMES);
  request.AddLong(1);
  std::optional<XDRWRAP> reply = AskServer(port, request, env);
  if (!reply) return 1;
  bool any = false;
  for (std::string host = reply->GetString(); !host.empty(); host = reply->GetString()) {
    if (!any && !env.listBoxMode) {
      std::fputs(
          "Docked Client(s):\n"
          "-----------------\n"
          "\n"
          "Username             Client Hostname           IP Address       UDP Port\n"
          "--------             ---------------           ----------       --------\n",
          env.out);
    }
    any = true;
    const std::string user = reply->GetString();
    const std::string address = FormatIPv4(static_cast<uint32_t>(reply->GetLong()));
    const int32_t udpPort = reply->GetLong();
    if (env.listBoxMode) {
      std::fputs(
          SafeStringPrintf("%s,%s,%s,%d\n", user.c_str(), host.c_str(), address.c_str(), udpPort)
              .c_str(),
          env.out);
    } else {
      std::fputs(SafeStringPrintf("%-20s %-25s %-15s  %d\n", user.c_str(), host.c_str(),
                                  address.c_str(), udpPort)
                     .c_str(),
                 env.out);
    }
  }
  if (!any && !env.listBoxMode) std::fputs("No Docked Clients registered\n", env.out);
  return 0;
}

int Shutdown(int port, const AdminEnvironment& env) {
  XDRWRAP request = Request(SHUTDOWN_KESTRUN);
  std::optional<XDRWRAP> reply = AskServer(port, request, env);
  if (!reply || reply->GetEnum() != 1) return 1;
  if (env.log) env.log("Kestrun Server shutdown");
  std::fputs("Kestrun Server shutdown\n", env.out);
  return 0;
}

}  // namespace

std::string FormatRunTime(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  const int64_t hours = seconds / 3600;
  const int64_t minutes = (seconds - hours * 3600) / 60;
  char text[64];
  std::snprintf(text, sizeof text, "%02" PRId64 ":%02" PRId64 ":%02" PRId64, hours, minutes,
                seconds % 60);
  return text;
}

int32_t ParseProcessId(std::string_view text) {
  const std::string copy(text);
  errno = 0;
  const long long value = std::strtoll(copy.c_str(), nullptr, 10);
  if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return 0;
  return static_cast<int32_t>(value);
}

int RunAdminCommand(int port, const std::vector<std::string>& args, const AdminEnvironment& env) {
  const std::string option = args.size() > 1 ? args[1] : "";
  try {
    if (EqualsNoCase(option, "-killjob")) return KillJob(port, args, env);
    if (EqualsNoCase(option, "-showjobs")) return ShowJobs(port, env);
    if (EqualsNoCase(option, "-showdocked")) return ShowDocked(port, env);
    if (EqualsNoCase(option, "-shutdown")) return Shutdown(port, env);
  } catch (const DecodeFailure&) {
    return 1;  // the reply could not be read
  }
  std::fprintf(env.err, "Unknown option %s\n", option.c_str());
  std::fputs(kServerOptions, env.err);
  return 1;
}

}  // namespace kestrun
