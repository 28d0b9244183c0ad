#include "server/dispatcher.h"

#include <array>
#include <cstdio>
#include <new>
#include <string>

#include "base/environment.h"
#include "base/log.h"
#include "config/server_config.h"
#include "dialogs/dialog_request.h"
#include "dialogs/dialog_script_requests.h"
#include "jobs/preload.h"
#include "jobs/run_server_script.h"
#include "notify/docked_requests.h"
#include "notify/notify_requests.h"
#include "notify/relay.h"
#include "protocol/messages/jobs_admin.h"
#include "protocol/transport.h"
#include "server/group_requests.h"
#include "server/help_request.h"
#include "server/history_requests.h"
#include "server/running_job_requests.h"

namespace kestrun {

namespace {

void EchoRequest(RequestContext& rc) {
  messages::EchoReply{messages::EchoRequest::Decode(rc.request).value}.Encode(rc.reply);
}

// Accepted for older clients; nothing is read and the reply stays empty.
void AcceptWithoutAction(RequestContext&) {}

struct RequestEntry {
  const char* name;
  RequestHandler handler;
};

// One row per RequestType value 0..29. Types whose handler has not been
// written yet carry a null handler and are answered like a type without one:
// an empty reply. Rows are filled in as their requests are implemented.
constexpr std::array<RequestEntry, 30> kRequestTable = {{
    {"ECHO_REQUEST", EchoRequest},
    {"RUN_SERVER_SCRIPT", RunServerScript},
    {"GET_DIALOG_DATA", GetDialogData},
    {"RUN_VALIDATION_SCRIPT", RunValidationScript},
    {"RUN_FIELD_SCRIPT", RunFieldScript},
    {"RUN_LISTBOX_SCRIPT", RunListBoxScript},
    {"STOP_REQUEST", StopRequest},
    {"SHUTDOWN_KESTRUN", ShutdownKestrun},
    {"DUMP_CLIENT_NODE_NAMES", DumpClientNodeNames},
    {"SHOW_HELP_TEXT", ShowHelpText},
    {"Unknown", nullptr},
    {"DEREGISTER_CLIENT", DeregisterClient},
    {"SEND_MESSAGE_TO_CLIENT", SendMessageToClient},
    {"GET_JOBS_FOR_USER", GetJobsForUser},
    {"Unknown", nullptr},
    {"CLIENT_KEEPALIVE", ClientKeepalive},
    {"Unknown", nullptr},
    {"Unknown", nullptr},
    {"GET_ACTIVE_JOBS", GetActiveJobs},
    {"KILL_JOB", KillJob},
    {"START_BACKGROUND_SCRIPT", StartBackgroundScript},
    {"REGISTER_WAITING_FOR_CALLBACK", RegisterWaitingForCallback},
    {"UNREGISTER_WAITING_FOR_CALLBACK", UnregisterWaitingForCallback},
    {"RELAY_MESSAGE_BALLOON", RelayMessageBalloon},
    {"RELAY_MESSAGE_JOB_NOTIFY", RelayMessageJobNotify},
    {"SYNC_BACKGROUND_PROC_STATUS", AcceptWithoutAction},
    {"RECORD_BACKGROUND_PROC_PID", AcceptWithoutAction},
    {"CANCEL_DIALOG", CancelDialog},
    {"GET_GROUPS_FOR_USER", GetGroupsForUserRequest},
    {"GET_USERS_IN_GROUP", GetUsersInGroupRequest},
}};

bool InTable(int32_t type) {
  return type >= 0 && type < static_cast<int32_t>(kRequestTable.size());
}

// The requests of this server's own range (100 and up).
constexpr std::array<RequestEntry, 4> kOwnRequests = {{
    {"HISTORY_QUERY", HistoryQuery},
    {"RUN_OUTPUT", RunOutput},
    {"HISTORY_QUERY_SERVERS", HistoryQueryServers},
    {"RUN_OUTPUT_SERVER", RunOutputServer},
}};

bool InOwnRange(int32_t type) {
  return type >= HISTORY_QUERY && type < HISTORY_QUERY + static_cast<int32_t>(kOwnRequests.size());
}

}  // namespace

std::string_view RequestTypeName(int32_t type) {
  if (InOwnRange(type)) return kOwnRequests[type - HISTORY_QUERY].name;
  return InTable(type) ? kRequestTable[type].name : "Unknown";
}

RequestHandler HandlerFor(int32_t type) {
  if (InOwnRange(type)) return kOwnRequests[type - HISTORY_QUERY].handler;
  return InTable(type) ? kRequestTable[type].handler : nullptr;
}

namespace {

// Reads the request with `receive`, dispatches and answers it; `type`
// receives its type as soon as it is known. A decode failure abandons the
// request (no reply).
template <typename Receive>
void ServeRequest(ServerContext& server, SocketHandle socket, uint32_t peerAddress, int32_t& type,
                  Receive receive) {
  XDRWRAP request;
  XDRWRAP reply;
  try {
    receive(request);
    type = request.GetEnum();
    reply.BeginEncode();
    // Read at each request, so the trace can be switched on a running server.
    if (server.config != nullptr && GetEnvLocked("KESTRACE"))
      LogMessage(*server.config, "Received RequestType=%d (%s)", type,
                 std::string(RequestTypeName(type)).c_str());
    if (RequestHandler handler = HandlerFor(type)) {
      RequestContext rc{server, request, reply, socket, peerAddress, nullptr, {}};
      handler(rc);
    }
  } catch (const DecodeFailure&) {
    return;  // abandoned: no reply
  }
  // Every reader refuses a message past the limits, so such a reply is never
  // sent; the handlers of growing replies keep within them, this is the last
  // guard.
  if (!reply.WithinLimits()) {
    if (server.config != nullptr)
      LogMessage(*server.config,
                 "Reply to %s not sent: %d buffers, more than the %d a message holds",
                 std::string(RequestTypeName(type)).c_str(), reply.BufferCount(), kMaxBuffers);
    return;
  }
  SendReply(reply, socket);
  if (type == SHUTDOWN_KESTRUN && server.exitProcess) server.exitProcess(0);
}

// Prints the trace line and serves the request; a request that runs out of
// memory fails alone.
template <typename Receive>
void ServeGuarded(ServerContext& server, SocketHandle socket, uint32_t peerAddress,
                  Receive receive) {
  std::fputs("ProcessClientRequest\n", stdout);
  std::fflush(stdout);
  int32_t type = -1;
  try {
    ServeRequest(server, socket, peerAddress, type, receive);
  } catch (const std::bad_alloc&) {
    // One request that asked for more memory than there is fails alone: by
    // now its messages and everything its handler held have been released,
    // and the other requests and runs go on. It gets no reply; what it had
    // sent of a run stays as it was.
    try {
      if (server.config != nullptr)
        LogMessage(*server.config, "Request %d (%s) failed: out of memory", type,
                   std::string(RequestTypeName(type)).c_str());
    } catch (const std::bad_alloc&) {
      // Not even the log line fits; the request still ends here.
    }
  }
}

}  // namespace

void ProcessClientRequest(ServerContext& server, SocketHandle socket, uint32_t peerAddress) {
  ServeGuarded(server, socket, peerAddress, [&](XDRWRAP& request) {
    ReceiveMessage(request, socket, kReadWait, {server.requestWhole, server.receiveBudget});
  });
}

void ProcessClientRequest(ServerContext& server, SocketHandle socket, uint32_t peerAddress,
                          ReceivedMessage received) {
  ServeGuarded(server, socket, peerAddress, [&](XDRWRAP& request) {
    // Every byte is there: nothing is read from the socket.
    ReceiveMessage(request, socket, received.bytes, kReadWait, {});
    received.bytes = std::string();
    received.charge.Release();
  });
}

}  // namespace kestrun
