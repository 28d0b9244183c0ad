// The short request/reply exchanges of kesclient. Each opens one connection,
// sends one request and reads its reply. Results are values; when there is
// no result, *failure (when given) says why, for example
// "cannot connect to localhost:7400: Connection refused".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "client/client_config.h"
#include "protocol/messages/jobs_admin.h"
#include "protocol/request_types.h"
#include "protocol/transport.h"

namespace kestrun::client {

// A job's name and help text (the attribute values are not asked for).
using JobHelp = messages::JobHelpEntry;

struct ActiveJob {
  std::string name;
  std::string lockValue;
  std::string user;
  int32_t processId = 0;
  uint32_t startTime = 0;
};

// Connects to the server; on failure *failure names the server and the
// reason (the system's text for the connect error, or an unknown host).
std::optional<ServerConnection> Connect(const ServerAddress& server, std::string* failure);
// The text for a failed exchange with `server`: "no answer from HOST:PORT",
// followed by the system's text when the failure kept an error code.
std::string NoAnswer(const ServerAddress& server, const DecodeFailure& failure);

// Sends `request` and reads the reply. *connectedTo (when given) receives the
// IPv4 address (host order) the connection was made to, once it was made.
std::optional<XDRWRAP> Exchange(const ServerAddress& server, XDRWRAP& request,
                                std::string* failure = nullptr, uint32_t* connectedTo = nullptr);
// Exchange of one typed request (protocol/messages).
template <class Request>
std::optional<XDRWRAP> Ask(const ServerAddress& server, const Request& request,
                           std::string* failure = nullptr, uint32_t* connectedTo = nullptr) {
  XDRWRAP message;
  messages::EncodeRequest(message, request);
  return Exchange(server, message, failure, connectedTo);
}

std::optional<int32_t> Echo(const ServerAddress& server, int32_t value,
                            std::string* failure = nullptr);
std::optional<std::vector<JobHelp>> ListJobs(const ServerAddress& server, const std::string& user,
                                             std::string* failure = nullptr);
std::optional<std::vector<ActiveJob>> ListActiveJobs(const ServerAddress& server,
                                                     std::string* failure = nullptr);
// Asks the server to stop the job run whose start header carried `stopId`.
bool SendStop(const ServerAddress& server, uint32_t stopId);

}  // namespace kestrun::client
