// The requests of preloaded programs: START_BACKGROUND_SCRIPT (type 20)
// announces a dialog whose job's preload program may be started;
// REGISTER_WAITING_FOR_CALLBACK (21) and UNREGISTER_WAITING_FOR_CALLBACK (22)
// come from the preloaded program itself; SYNC_BACKGROUND_PROC_STATUS (25)
// and RECORD_BACKGROUND_PROC_PID (26) are accepted for older clients.
//
// Request fields after the type:
//   START_BACKGROUND_SCRIPT          string client node, string client user,
//                                    long client process id, string job
//   REGISTER_WAITING_FOR_CALLBACK    string client, long process id, long
//                                    parent process id, long callback port,
//                                    long (not used, 0)
//   UNREGISTER_WAITING_FOR_CALLBACK  string client, long process id
//   SYNC_BACKGROUND_PROC_STATUS, RECORD_BACKGROUND_PROC_PID: no fields
// Replies: enum 1 (accepted) or enum 0 (refused) for the two callback
// requests; no fields for the others.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/messages/message.h"

namespace kestrun::messages {

struct StartBackgroundScriptRequest {
  static constexpr RequestType kType = START_BACKGROUND_SCRIPT;
  std::string clientNode;
  std::string clientUser;
  int32_t clientProcessId = 0;
  std::string job;
  void Encode(XDRWRAP& out) const;
  static StartBackgroundScriptRequest Decode(XDRWRAP& in);
  bool operator==(const StartBackgroundScriptRequest&) const = default;
};

struct RegisterWaitingForCallbackRequest {
  static constexpr RequestType kType = REGISTER_WAITING_FOR_CALLBACK;
  std::string client;
  int32_t processId = 0;
  int32_t parentProcessId = 0;
  int32_t port = 0;
  int32_t unused = 0;
  void Encode(XDRWRAP& out) const;
  static RegisterWaitingForCallbackRequest Decode(XDRWRAP& in);
  bool operator==(const RegisterWaitingForCallbackRequest&) const = default;
};

struct UnregisterWaitingForCallbackRequest {
  static constexpr RequestType kType = UNREGISTER_WAITING_FOR_CALLBACK;
  std::string client;
  int32_t processId = 0;
  void Encode(XDRWRAP& out) const;
  static UnregisterWaitingForCallbackRequest Decode(XDRWRAP& in);
  bool operator==(const UnregisterWaitingForCallbackRequest&) const = default;
};

enum class CallbackResult : int32_t { Refused = 0, Accepted = 1 };

// The reply of both callback requests.
struct CallbackReply {
  CallbackResult result = CallbackResult::Accepted;
  void Encode(XDRWRAP& out) const;
  static CallbackReply Decode(XDRWRAP& in);
  bool operator==(const CallbackReply&) const = default;
};

struct SyncBackgroundProcStatusRequest {
  static constexpr RequestType kType = SYNC_BACKGROUND_PROC_STATUS;
  void Encode(XDRWRAP&) const {}
  static SyncBackgroundProcStatusRequest Decode(XDRWRAP&) { return {}; }
  bool operator==(const SyncBackgroundProcStatusRequest&) const = default;
};

struct RecordBackgroundProcPidRequest {
  static constexpr RequestType kType = RECORD_BACKGROUND_PROC_PID;
  void Encode(XDRWRAP&) const {}
  static RecordBackgroundProcPidRequest Decode(XDRWRAP&) { return {}; }
  bool operator==(const RecordBackgroundProcPidRequest&) const = default;
};

}  // namespace kestrun::messages
