#include "server/admin_command.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <variant>

#include "base/safe_format.h"
#include "base/text.h"
#include "notify/docked_registry.h"
#include "protocol/messages/jobs_admin.h"
#include "protocol/transport.h"
#include "server/dispatcher.h"

namespace kestrun {

namespace {

// One request to the local server. nullopt after "Could not connect" (already
// printed); a reply that cannot be read raises DecodeFailure.
template <class Request>
std::optional<XDRWRAP> AskServer(int port, const Request& request, const AdminEnvironment& env) {
  std::optional<ServerConnection> connection = ConnectToServer(port, env.host);
  if (!connection) {
    std::fputs("Could not connect to Kestrun Server\n", env.err);
    return std::nullopt;
  }
  XDRWRAP message;
  messages::EncodeRequest(message, request);
  SendRequest(message, *connection, ConnectionMagic);
  XDRWRAP reply;
  ReceiveMessage(reply, connection->socket.get());
  return reply;
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
  std::optional<XDRWRAP> reply = AskServer(port, messages::KillJobRequest{pid}, env);
  if (!reply) return 1;
  const messages::KillJobReply answer = messages::DecodeKillJobReply(*reply);
  const auto* killed = std::get_if<messages::KillJobKilled>(&answer);
  if (killed == nullptr) {
    std::fprintf(env.err, "Could not kill process ID %ld\n", static_cast<long>(pid));
    return 1;
  }
  std::fprintf(env.out, "Process ID %ld (%s) Killed\n", static_cast<long>(pid),
               killed->jobName.c_str());
  return 0;
}

int ShowJobs(int port, const AdminEnvironment& env) {
  std::optional<XDRWRAP> reply = AskServer(port, messages::GetActiveJobsRequest{}, env);
  if (!reply) return 1;
  // Start times travel as the low 32 bits of the clock; the difference is
  // taken the same way so that it stays right when the clock passes 2^31.
  const uint32_t now = static_cast<uint32_t>(env.clock());
  // Rows are printed as they are read: a reply cut short shows the rows
  // before the cut.
  bool any = false;
  while (const std::optional<messages::ActiveJobEntry> job =
             messages::ActiveJobEntry::DecodeNext(*reply)) {
    if (!any && !env.listBoxMode) {
      std::fputs("Active Job(s)...\n", env.out);
      std::fprintf(env.out, "%-25s%-20s%-15s%-8s %s\n", "Job Name", "Lock Value", "User",
                   "Run Time", "Process ID");
      std::fprintf(env.out, "%-25s%-20s%-15s%-8s %s\n", "--------", "----------", "----",
                   "--------", "----------");
    }
    any = true;
    const std::string runTime = FormatRunTime(static_cast<int32_t>(now - job->startTime));
    if (env.listBoxMode) {
      std::fputs(SafeStringPrintf("%s,%s,%s,%s,%d\n", job->jobName.c_str(), job->lockValue.c_str(),
                                  job->clientUser.c_str(), runTime.c_str(), job->processId)
                     .c_str(),
                 env.out);
    } else {
      std::fputs(SafeStringPrintf("%-25s%-20s%-15s%-8s %ld\n", job->jobName.c_str(),
                                  job->lockValue.c_str(), job->clientUser.c_str(), runTime.c_str(),
                                  static_cast<long>(job->processId))
                     .c_str(),
                 env.out);
    }
  }
  if (!any && !env.listBoxMode) std::fputs("No Active Jobs\n", env.out);
  return 0;
}

int ShowDocked(int port, const AdminEnvironment& env) {
  std::optional<XDRWRAP> reply = AskServer(port, messages::DumpClientNodeNamesRequest{}, env);
  if (!reply) return 1;
  bool any = false;
  while (const std::optional<messages::DockedClientEntry> client =
             messages::DockedClientEntry::DecodeNext(*reply)) {
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
    const std::string& user = client->userName;
    const std::string& host = client->hostName;
    const std::string address = FormatIPv4(client->address);
    const int32_t udpPort = client->udpPort;
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
  std::optional<XDRWRAP> reply = AskServer(port, messages::ShutdownRequest{}, env);
  if (!reply) return 1;
  messages::ShutdownReply::Decode(*reply);  // any other result fails the decode
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
