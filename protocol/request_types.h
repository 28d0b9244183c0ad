// The request types: the enum that opens every request message. Shared by
// the server's dispatcher and every client.
#pragma once

#include <cstdint>

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
  // The run history; 100 and up are this server's own additions.
  HISTORY_QUERY = 100,
  RUN_OUTPUT = 101,
  HISTORY_QUERY_SERVERS = 102,
  RUN_OUTPUT_SERVER = 103,
};

}  // namespace kestrun
