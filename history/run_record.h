// The values of the run history: a run's record, its stored output, and the
// filters of a query. Plain values, shared by the history module, the
// handlers of the history requests and the recording hooks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrun::history {

// Where a run came from.
inline constexpr const char* kOriginClient = "client";
inline constexpr const char* kOriginScheduler = "scheduler";
inline constexpr const char* kOriginDependent = "dependent";
inline constexpr const char* kOriginWeb = "web";

// How a run ended.
inline constexpr const char* kExited = "exited";
inline constexpr const char* kKilled = "killed";
inline constexpr const char* kStopped = "stopped";
inline constexpr const char* kLaunchFailed = "launch-failed";
inline constexpr const char* kRefused = "refused";
inline constexpr const char* kDenied = "denied";
inline constexpr const char* kConnectionLost = "connection-lost";
inline constexpr const char* kInterrupted = "interrupted";

// Who ended a run, besides its own program.
inline constexpr const char* kEndedByAdmin = "KILL_JOB";
inline constexpr const char* kEndedByShutdown = "shutdown";
inline constexpr const char* kEndedByServiceStop = "service stop";
// A stopped run: "STOP_REQUEST of user@node".
std::string EndedByStop(const std::string& user, const std::string& node);

// What is known when a run starts (or is refused).
struct RunStart {
  std::string job;
  std::string user;
  std::string node;
  std::string address;  // the client's address as text; empty for none
  std::string origin = kOriginClient;
  std::vector<std::string> arguments;
  std::vector<std::string> fields;   // "N=value", password fields as "N=***"
  std::vector<std::string> listBox;  // the list-box selection as NAME=value
  int64_t started = 0;               // UTC ms; 0: now
};

// How a run ended.
struct RunEnd {
  std::string outcome = kExited;
  int32_t exitCode = 0;
  uint32_t processId = 0;
  std::string endedBy;  // empty: the program ended by itself
  std::string message;  // the refusal or launch failure text
};

struct RunRecord {
  int64_t id = 0;
  RunStart start;
  int64_t ended = 0;  // 0 while it runs
  uint32_t processId = 0;
  int32_t exitCode = 0;
  std::string outcome;  // empty while it runs
  std::string endedBy;
  int64_t outputBytes = 0;
  std::string message;
  bool operator==(const RunRecord&) const = default;
};

inline bool operator==(const RunStart& a, const RunStart& b) {
  return a.job == b.job && a.user == b.user && a.node == b.node && a.address == b.address &&
         a.origin == b.origin && a.arguments == b.arguments && a.fields == b.fields &&
         a.listBox == b.listBox && a.started == b.started;
}

inline constexpr uint32_t kStdout = 1;
inline constexpr uint32_t kStderr = 2;

struct OutputChunk {
  uint32_t stream = kStdout;
  std::string data;
  bool operator==(const OutputChunk&) const = default;
};

// A run's kept output: the chunks in the order they came; when bytes were
// left out, `leftOut` of them were dropped between chunks[leftOutAt - 1]
// and chunks[leftOutAt].
struct StoredOutput {
  std::vector<OutputChunk> chunks;
  int64_t leftOut = 0;
  size_t leftOutAt = 0;
  bool operator==(const StoredOutput&) const = default;
};

}  // namespace kestrun::history
