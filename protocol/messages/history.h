// The run history requests: HISTORY_QUERY (type 100), RUN_OUTPUT (type
// 101), HISTORY_QUERY_SERVERS (type 102) and RUN_OUTPUT_SERVER (type 103). Numbers above 32 bits
// travel as two longs, the high word first; lists as a long count and their strings.
//
// HISTORY_QUERY   string user, string node (who asks), string job (empty:
//                 all), string run user (empty: all), since (UTC ms, 0: any),
//                 long limit (1..1000).
//   reply         enum 1, then per record a long 1 and the record, then a
//                 long 0 (records newest first; a reply that would pass the
//                 message limits ends early);
//                 or enum 0 and the refusal text.
//   record        id, string job, user, node, address, origin, list
//                 arguments, list fields, list listbox, started, ended (0:
//                 running), long pid, long exit code, string outcome (empty:
//                 running), string ended_by, output bytes, string message.
// RUN_OUTPUT      string user, string node, run id.
//   reply         enum 1, left-out bytes, long left-out position (the
//                 number of chunks before the gap), long chunk count, per
//                 chunk a long stream (1 standard output, 2 standard error)
//                 and its bytes as a string in which 0x00 travels as 0x01
//                 0x01 and 0x01 as 0x01 0x02;
//                 or enum 0 and the refusal text.
// HISTORY_QUERY_SERVERS  the fields of HISTORY_QUERY, then string server
//                 (empty: every server of the shared history).
//   reply         as HISTORY_QUERY's, with each record's server name as a
//                 string before the record.
// RUN_OUTPUT_SERVER  the fields of RUN_OUTPUT, then string server: the
//                 output of that server's run, from the shared history.
//   reply         as RUN_OUTPUT's.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "protocol/messages/message.h"

namespace kestrun::messages {

// Bounds the server enforces.
inline constexpr int32_t kMaxHistoryLimit = 1000;
inline constexpr size_t kMaxHistoryJobName = 255;

enum class HistoryResult : int32_t { Refused = 0, Ok = 1 };

struct HistoryQueryRequest {
  static constexpr RequestType kType = HISTORY_QUERY;
  std::string user;
  std::string node;
  std::string job;
  std::string runUser;
  int64_t since = 0;
  int32_t limit = 50;
  void Encode(XDRWRAP& out) const;
  static HistoryQueryRequest Decode(XDRWRAP& in);
  bool operator==(const HistoryQueryRequest&) const = default;
};

struct RunSummary {
  int64_t id = 0;
  std::string job, user, node, address, origin;
  std::vector<std::string> arguments, fields, listBox;
  int64_t started = 0;
  int64_t ended = 0;
  int32_t pid = 0;
  int32_t exitCode = 0;
  std::string outcome, endedBy;
  int64_t outputBytes = 0;
  std::string message;
  void Encode(XDRWRAP& out) const;
  static RunSummary Decode(XDRWRAP& in);
  bool operator==(const RunSummary&) const = default;
};

struct HistoryQueryReply {
  std::vector<RunSummary> runs;
  // Appends what fits of `runs`; returns how many were left out.
  size_t Encode(XDRWRAP& out) const;
  static HistoryQueryReply Decode(XDRWRAP& in);  // after the result enum
  bool operator==(const HistoryQueryReply&) const = default;
};

// The refusal form of both replies.
struct HistoryRefusal {
  std::string message;
  void Encode(XDRWRAP& out) const;
  static HistoryRefusal Decode(XDRWRAP& in);  // after the result enum
  bool operator==(const HistoryRefusal&) const = default;
};

struct RunOutputRequest {
  static constexpr RequestType kType = RUN_OUTPUT;
  std::string user;
  std::string node;
  int64_t id = 0;
  void Encode(XDRWRAP& out) const;
  static RunOutputRequest Decode(XDRWRAP& in);
  bool operator==(const RunOutputRequest&) const = default;
};

struct OutputPiece {
  int32_t stream = 1;
  std::string data;
  bool operator==(const OutputPiece&) const = default;
};

struct RunOutputReply {
  int64_t leftOut = 0;
  int32_t leftOutAt = 0;
  std::vector<OutputPiece> chunks;
  void Encode(XDRWRAP& out) const;
  static RunOutputReply Decode(XDRWRAP& in);  // after the result enum
  bool operator==(const RunOutputReply&) const = default;
};

struct ServersQueryRequest {
  static constexpr RequestType kType = HISTORY_QUERY_SERVERS;
  HistoryQueryRequest query;
  std::string server;
  void Encode(XDRWRAP& out) const;
  static ServersQueryRequest Decode(XDRWRAP& in);
  bool operator==(const ServersQueryRequest&) const = default;
};

struct ServerRunSummary {
  std::string server;
  RunSummary run;
  bool operator==(const ServerRunSummary&) const = default;
};

struct ServersQueryReply {
  std::vector<ServerRunSummary> runs;
  // Appends what fits of `runs`; returns how many were left out.
  size_t Encode(XDRWRAP& out) const;
  static ServersQueryReply Decode(XDRWRAP& in);  // after the result enum
  bool operator==(const ServersQueryReply&) const = default;
};

struct ServerOutputRequest {
  static constexpr RequestType kType = RUN_OUTPUT_SERVER;
  RunOutputRequest run;
  std::string server;
  void Encode(XDRWRAP& out) const;
  static ServerOutputRequest Decode(XDRWRAP& in);
  bool operator==(const ServerOutputRequest&) const = default;
};

// Reads either form of a reply, result enum first.
std::variant<HistoryQueryReply, HistoryRefusal> DecodeHistoryQueryReply(XDRWRAP& in);
std::variant<RunOutputReply, HistoryRefusal> DecodeRunOutputReply(XDRWRAP& in);
std::variant<ServersQueryReply, HistoryRefusal> DecodeServersQueryReply(XDRWRAP& in);

}  // namespace kestrun::messages
