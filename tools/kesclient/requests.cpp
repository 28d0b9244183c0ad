#include "tools/kesclient/requests.h"

namespace kestrun::client {

std::optional<XDRWRAP> Exchange(const ServerAddress& server, XDRWRAP& request) {
  std::optional<ServerConnection> c = ConnectToServer(server.port, server.host);
  if (!c) return std::nullopt;
  SendRequest(request, *c);
  XDRWRAP reply;
  try {
    ReceiveMessage(reply, c->socket.get());
  } catch (const DecodeFailure&) {
    return std::nullopt;
  }
  return reply;
}

std::optional<int32_t> Echo(const ServerAddress& server, int32_t value) {
  XDRWRAP request;
  request.BeginEncode();
  request.AddEnum(kEchoRequest);
  request.AddLong(value);
  std::optional<XDRWRAP> reply = Exchange(server, request);
  if (!reply) return std::nullopt;
  try {
    if (reply->GetEnum() != 1) return std::nullopt;
    return reply->GetLong();
  } catch (const DecodeFailure&) {
    return std::nullopt;
  }
}

std::optional<std::vector<JobHelp>> ListJobs(const ServerAddress& server, const std::string& user) {
  XDRWRAP request;
  request.BeginEncode();
  request.AddEnum(kShowHelpText);
  request.AddString(user);
  request.AddLong(0);  // no attributes wanted
  std::optional<XDRWRAP> reply = Exchange(server, request);
  if (!reply) return std::nullopt;
  std::vector<JobHelp> jobs;
  try {
    for (;;) {
      JobHelp job;
      job.name = reply->GetString();
      if (job.name.empty()) return jobs;
      job.helpText = reply->GetString();
      while (reply->GetBool()) reply->GetString();  // attribute values, none asked
      jobs.push_back(std::move(job));
    }
  } catch (const DecodeFailure&) {
    return std::nullopt;
  }
}

std::optional<std::vector<ActiveJob>> ListActiveJobs(const ServerAddress& server) {
  XDRWRAP request;
  request.BeginEncode();
  request.AddEnum(kGetActiveJobs);
  std::optional<XDRWRAP> reply = Exchange(server, request);
  if (!reply) return std::nullopt;
  std::vector<ActiveJob> jobs;
  try {
    for (;;) {
      ActiveJob job;
      job.name = reply->GetString();
      if (job.name.empty()) return jobs;
      job.lockValue = reply->GetString();
      job.user = reply->GetString();
      job.processId = reply->GetLong();
      job.startTime = static_cast<uint32_t>(reply->GetLong());
      jobs.push_back(std::move(job));
    }
  } catch (const DecodeFailure&) {
    return std::nullopt;
  }
}

bool SendStop(const ServerAddress& server, uint32_t stopId) {
  XDRWRAP request;
  request.BeginEncode();
  request.AddEnum(kStopRequest);
  request.AddLong(static_cast<int32_t>(stopId));
  return Exchange(server, request).has_value();
}

}  // namespace kestrun::client
