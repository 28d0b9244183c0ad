// The short request/reply exchanges of kesclient. Each opens one connection,
// sends one request and reads its reply. Results are values; a reply that
// cannot be decoded gives std::nullopt.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/transport.h"
#include "tools/kesclient/client_config.h"

namespace kestrun::client {

inline constexpr int32_t kEchoRequest = 0;
inline constexpr int32_t kRunServerScript = 1;
inline constexpr int32_t kStopRequest = 6;
inline constexpr int32_t kShowHelpText = 9;
inline constexpr int32_t kGetActiveJobs = 18;

struct JobHelp {
  std::string name;
  std::string helpText;
};

struct ActiveJob {
  std::string name;
  std::string lockValue;
  std::string user;
  int32_t processId = 0;
  uint32_t startTime = 0;
};

// Sends `request` and reads the reply; std::nullopt when the server cannot
// be reached or the reply cannot be read.
std::optional<XDRWRAP> Exchange(const ServerAddress& server, XDRWRAP& request);

std::optional<int32_t> Echo(const ServerAddress& server, int32_t value);
std::optional<std::vector<JobHelp>> ListJobs(const ServerAddress& server, const std::string& user);
std::optional<std::vector<ActiveJob>> ListActiveJobs(const ServerAddress& server);
// Asks the server to stop the job run whose start header carried `stopId`.
bool SendStop(const ServerAddress& server, uint32_t stopId);

}  // namespace kestrun::client
