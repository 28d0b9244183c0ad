#include "tools/kesclient/requests.h"

#include "platform/error_text.h"

namespace kestrun::client {

namespace {

std::string Where(const ServerAddress& server) {
  return server.host + ":" + std::to_string(server.port);
}

void Set(std::string* failure, std::string text) {
  if (failure) *failure = std::move(text);
}

// A reply that does not have the expected fields.
std::string BadReply(const ServerAddress& server) {
  return "unexpected reply from " + Where(server);
}

}  // namespace

std::optional<ServerConnection> Connect(const ServerAddress& server, std::string* failure) {
  int error = 0;
  std::optional<ServerConnection> c = ConnectToServer(server.port, server.host, &error);
  if (!c) {
    Set(failure, "cannot connect to " + Where(server) + ": " +
                     (error != 0 ? SystemErrorText(error) : std::string("unknown host")));
  }
  return c;
}

std::string NoAnswer(const ServerAddress& server, const DecodeFailure& failure) {
  std::string text = "no answer from " + Where(server);
  if (failure.error() != 0) text += ": " + SystemErrorText(failure.error());
  return text;
}

std::optional<XDRWRAP> Exchange(const ServerAddress& server, XDRWRAP& request, std::string* failure,
                                uint32_t* connectedTo) {
  std::optional<ServerConnection> c = Connect(server, failure);
  if (!c) return std::nullopt;
  if (connectedTo) *connectedTo = c->address;
  SendRequest(request, *c);
  XDRWRAP reply;
  try {
    ReceiveMessage(reply, c->socket.get());
  } catch (const DecodeFailure& e) {
    Set(failure, NoAnswer(server, e));
    return std::nullopt;
  }
  return reply;
}

std::optional<int32_t> Echo(const ServerAddress& server, int32_t value, std::string* failure) {
  XDRWRAP request;
  request.BeginEncode();
  request.AddEnum(ECHO_REQUEST);
  request.AddLong(value);
  std::optional<XDRWRAP> reply = Exchange(server, request, failure);
  if (!reply) return std::nullopt;
  try {
    if (reply->GetEnum() == 1) return reply->GetLong();
  } catch (const DecodeFailure&) {
  }
  Set(failure, BadReply(server));
  return std::nullopt;
}

std::optional<std::vector<JobHelp>> ListJobs(const ServerAddress& server, const std::string& user,
                                             std::string* failure) {
  XDRWRAP request;
  request.BeginEncode();
  request.AddEnum(SHOW_HELP_TEXT);
  request.AddString(user);
  request.AddLong(0);  // no attributes wanted
  std::optional<XDRWRAP> reply = Exchange(server, request, failure);
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
    Set(failure, BadReply(server));
    return std::nullopt;
  }
}

std::optional<std::vector<ActiveJob>> ListActiveJobs(const ServerAddress& server,
                                                     std::string* failure) {
  XDRWRAP request;
  request.BeginEncode();
  request.AddEnum(GET_ACTIVE_JOBS);
  std::optional<XDRWRAP> reply = Exchange(server, request, failure);
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
    Set(failure, BadReply(server));
    return std::nullopt;
  }
}

bool SendStop(const ServerAddress& server, uint32_t stopId) {
  XDRWRAP request;
  request.BeginEncode();
  request.AddEnum(STOP_REQUEST);
  request.AddLong(static_cast<int32_t>(stopId));
  return Exchange(server, request).has_value();
}

}  // namespace kestrun::client
