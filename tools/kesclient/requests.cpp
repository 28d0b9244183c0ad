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
  std::optional<XDRWRAP> reply = Ask(server, messages::EchoRequest{value}, failure);
  if (!reply) return std::nullopt;
  try {
    return messages::EchoReply::Decode(*reply).value;
  } catch (const DecodeFailure&) {
    Set(failure, BadReply(server));
    return std::nullopt;
  }
}

std::optional<std::vector<JobHelp>> ListJobs(const ServerAddress& server, const std::string& user,
                                             std::string* failure) {
  // No attributes wanted.
  std::optional<XDRWRAP> reply = Ask(server, messages::ShowHelpTextRequest{user, {}}, failure);
  if (!reply) return std::nullopt;
  try {
    return messages::ShowHelpTextReply::Decode(*reply).jobs;
  } catch (const DecodeFailure&) {
    Set(failure, BadReply(server));
    return std::nullopt;
  }
}

std::optional<std::vector<ActiveJob>> ListActiveJobs(const ServerAddress& server,
                                                     std::string* failure) {
  std::optional<XDRWRAP> reply = Ask(server, messages::GetActiveJobsRequest{}, failure);
  if (!reply) return std::nullopt;
  std::vector<ActiveJob> jobs;
  try {
    for (messages::ActiveJobEntry& j : messages::GetActiveJobsReply::Decode(*reply).jobs) {
      jobs.push_back({std::move(j.jobName), std::move(j.lockValue), std::move(j.clientUser),
                      j.processId, j.startTime});
    }
  } catch (const DecodeFailure&) {
    Set(failure, BadReply(server));
    return std::nullopt;
  }
  return jobs;
}

bool SendStop(const ServerAddress& server, uint32_t stopId) {
  return Ask(server, messages::StopRequest{stopId}).has_value();
}

}  // namespace kestrun::client
