// The jobs-and-admin requests: echo, the running-job table (list, kill,
// stop), shutdown, the docked-client listing and the job help texts. Field
// order after the request's type word (kinds as XDRWRAP writes them):
//
//   ECHO_REQUEST (0)            request: long value
//                               reply:   enum 1, long value (the same)
//   STOP_REQUEST (6)            request: long stop id
//                               reply:   no fields
//   SHUTDOWN_KESTRUN (7)        request: no fields
//                               reply:   enum 1
//   DUMP_CLIENT_NODE_NAMES (8)  request: long selector (1 lists the registry)
//                               reply:   per docked client: string host,
//                                        string user, long IPv4 address (host
//                                        order), long UDP port; then ""
//   SHOW_HELP_TEXT (9)          request: string user; long N; N strings,
//                                        the attribute names wanted
//                               reply:   per job: string name, string help
//                                        text, per attribute char 1 and
//                                        string value, then char 0; then ""
//   GET_ACTIVE_JOBS (18)        request: no fields
//                               reply:   per running job: string job name,
//                                        string lock value, string client
//                                        user, long process id, long start
//                                        time (low 32 bits); then ""
//   KILL_JOB (19)               request: long process id
//                               reply:   enum 1, string job name (killed)
//                                        or enum 0 (refused)
//
// The lists end at the first empty name, so an entry whose name is empty
// cannot be sent: the encoders leave such entries out. Replies that list
// what the server holds grow with it; EncodeWithin appends the entries that
// keep the reply within the message limits and says how many were left out.
// Plain values: no locks, one owner at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "protocol/messages/message.h"

namespace kestrun::messages {

struct EchoRequest {
  static constexpr RequestType kType = ECHO_REQUEST;
  int32_t value = 0;
  void Encode(XDRWRAP& out) const;
  static EchoRequest Decode(XDRWRAP& in);
  bool operator==(const EchoRequest&) const = default;
};

enum class EchoResult : int32_t { kEchoed = 1 };

// Decode fails on any other result than kEchoed.
struct EchoReply {
  static constexpr EchoResult kResult = EchoResult::kEchoed;
  int32_t value = 0;
  void Encode(XDRWRAP& out) const;
  static EchoReply Decode(XDRWRAP& in);
  bool operator==(const EchoReply&) const = default;
};

struct StopRequest {
  static constexpr RequestType kType = STOP_REQUEST;
  uint32_t stopId = 0;
  void Encode(XDRWRAP& out) const;
  static StopRequest Decode(XDRWRAP& in);
  bool operator==(const StopRequest&) const = default;
};

struct StopReply {
  void Encode(XDRWRAP&) const {}
  static StopReply Decode(XDRWRAP&) { return {}; }
  bool operator==(const StopReply&) const = default;
};

struct ShutdownRequest {
  static constexpr RequestType kType = SHUTDOWN_KESTRUN;
  void Encode(XDRWRAP&) const {}
  static ShutdownRequest Decode(XDRWRAP&) { return {}; }
  bool operator==(const ShutdownRequest&) const = default;
};

enum class ShutdownResult : int32_t { kShuttingDown = 1 };

// Decode fails on any other result than kShuttingDown.
struct ShutdownReply {
  static constexpr ShutdownResult kResult = ShutdownResult::kShuttingDown;
  void Encode(XDRWRAP& out) const;
  static ShutdownReply Decode(XDRWRAP& in);
  bool operator==(const ShutdownReply&) const = default;
};

// The selector that asks for the registry; the reply to any other is empty.
inline constexpr int32_t kListDockedClients = 1;

struct DumpClientNodeNamesRequest {
  static constexpr RequestType kType = DUMP_CLIENT_NODE_NAMES;
  int32_t selector = kListDockedClients;
  void Encode(XDRWRAP& out) const;
  static DumpClientNodeNamesRequest Decode(XDRWRAP& in);
  bool operator==(const DumpClientNodeNamesRequest&) const = default;
};

struct DockedClientEntry {
  std::string hostName;
  std::string userName;
  uint32_t address = 0;  // IPv4, host order
  int32_t udpPort = 0;
  // The next entry of a reply, or nullopt at the "" that ends the list (for
  // a reader that shows each entry as it comes).
  static std::optional<DockedClientEntry> DecodeNext(XDRWRAP& in);
  bool operator==(const DockedClientEntry&) const = default;
};

struct DumpClientNodeNamesReply {
  std::vector<DockedClientEntry> clients;  // entries with an empty host are not sent
  void Encode(XDRWRAP& out) const;
  // The clients that fit (in order, up to the first that does not), then the
  // closing "". Returns how many were left out.
  size_t EncodeWithin(XDRWRAP& out) const;
  static DumpClientNodeNamesReply Decode(XDRWRAP& in);
  bool operator==(const DumpClientNodeNamesReply&) const = default;
};

struct ShowHelpTextRequest {
  static constexpr RequestType kType = SHOW_HELP_TEXT;
  std::string userName;
  std::vector<std::string> attributeNames;
  void Encode(XDRWRAP& out) const;
  // The count N comes from the wire: the names are read one by one (a
  // missing one fails the decode) and nothing is reserved from it.
  static ShowHelpTextRequest Decode(XDRWRAP& in);
  bool operator==(const ShowHelpTextRequest&) const = default;
};

struct JobHelpEntry {
  std::string name;
  std::string helpText;
  std::vector<std::string> attributeValues;  // one per attribute name asked
  bool operator==(const JobHelpEntry&) const = default;
};

struct ShowHelpTextReply {
  std::vector<JobHelpEntry> jobs;  // entries with an empty name are not sent
  void Encode(XDRWRAP& out) const;
  static ShowHelpTextReply Decode(XDRWRAP& in);
  bool operator==(const ShowHelpTextReply&) const = default;
};

struct GetActiveJobsRequest {
  static constexpr RequestType kType = GET_ACTIVE_JOBS;
  void Encode(XDRWRAP&) const {}
  static GetActiveJobsRequest Decode(XDRWRAP&) { return {}; }
  bool operator==(const GetActiveJobsRequest&) const = default;
};

struct ActiveJobEntry {
  std::string jobName;
  std::string lockValue;   // "" without one
  std::string clientUser;  // "SCHEDULER" for scheduled runs
  int32_t processId = 0;
  uint32_t startTime = 0;  // low 32 bits of the seconds since 1970
  // As DockedClientEntry::DecodeNext.
  static std::optional<ActiveJobEntry> DecodeNext(XDRWRAP& in);
  bool operator==(const ActiveJobEntry&) const = default;
};

struct GetActiveJobsReply {
  std::vector<ActiveJobEntry> jobs;  // entries with an empty job name are not sent
  void Encode(XDRWRAP& out) const;
  // As DumpClientNodeNamesReply::EncodeWithin.
  size_t EncodeWithin(XDRWRAP& out) const;
  static GetActiveJobsReply Decode(XDRWRAP& in);
  bool operator==(const GetActiveJobsReply&) const = default;
};

struct KillJobRequest {
  static constexpr RequestType kType = KILL_JOB;
  int32_t processId = 0;
  void Encode(XDRWRAP& out) const;
  static KillJobRequest Decode(XDRWRAP& in);
  bool operator==(const KillJobRequest&) const = default;
};

enum class KillJobResult : int32_t { kRefused = 0, kKilled = 1 };

// The job was killed. Decode fails on another result.
struct KillJobKilled {
  static constexpr KillJobResult kResult = KillJobResult::kKilled;
  std::string jobName;
  void Encode(XDRWRAP& out) const;
  static KillJobKilled Decode(XDRWRAP& in);
  bool operator==(const KillJobKilled&) const = default;
};

// No job with that process id could be killed. Decode fails on another
// result.
struct KillJobRefused {
  static constexpr KillJobResult kResult = KillJobResult::kRefused;
  void Encode(XDRWRAP& out) const;
  static KillJobRefused Decode(XDRWRAP& in);
  bool operator==(const KillJobRefused&) const = default;
};

// Either reply form; a client takes any result other than kKilled as a
// refusal.
using KillJobReply = std::variant<KillJobKilled, KillJobRefused>;
KillJobReply DecodeKillJobReply(XDRWRAP& in);

}  // namespace kestrun::messages
