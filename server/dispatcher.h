// The request dispatcher: reads one request from a connection, calls the
// handler of its RequestType and always sends the reply (unless the request
// cannot be decoded, which abandons it without one).
#pragma once

#include <cstdint>
#include <string_view>

#include "core/context.h"

namespace kestrun {

enum RequestType : int32_t {
  ECHO_REQUEST = 0,
  RUN_SERVER_SCRIPT = 1,
  GET_DIALOG_DATA = 2,
  RUN_VALIDATION_SCRIPT = 3,
  RUN_FIELD_SCRIPT = 4,
  RUN_LISTBOX_SCRIPT = 5,
  STOP_REQUEST = 6,
  SHUTDOWN_KESTRUN = 7,
  DUMP_CLIENT_NODE_NAMES = 8,
  SHOW_HELP_TEXT = 9,
  DEREGISTER_CLIENT = 11,
  SEND_MESSAGE_TO_CLIENT = 12,
  GET_JOBS_FOR_USER = 13,
  CLIENT_KEEPALIVE = 15,
  GET_ACTIVE_JOBS = 18,
  KILL_JOB = 19,
  START_BACKGROUND_SCRIPT = 20,
  REGISTER_WAITING_FOR_CALLBACK = 21,
  UNREGISTER_WAITING_FOR_CALLBACK = 22,
  RELAY_MESSAGE_BALLOON = 23,
  RELAY_MESSAGE_JOB_NOTIFY = 24,
  SYNC_BACKGROUND_PROC_STATUS = 25,
  RECORD_BACKGROUND_PROC_PID = 26,
  CANCEL_DIALOG = 27,
  GET_GROUPS_FOR_USER = 28,
  GET_USERS_IN_GROUP = 29,
};

// Trace name of a request type; "Unknown" for types without a name.
std::string_view RequestTypeName(int32_t type);
// Handler of a request type, or null for a type without one.
RequestHandler HandlerFor(int32_t type);

// Handles one request on `socket`: prints "ProcessClientRequest", reads the
// request, dispatches and replies. Returns when the reply has been sent or the
// request was abandoned (a decode failure is caught here). A
// SHUTDOWN_KESTRUN request ends the process through server.exitProcess.
void ProcessClientRequest(ServerContext& server, SocketHandle socket, uint32_t peerAddress);

}  // namespace kestrun
