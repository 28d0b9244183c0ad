// SendNotification: one SEND_MESSAGE_TO_CLIENT request and its reply over a
// connection of its own. Nothing is shared between calls.
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>

#include "protocol/messages/notify.h"
#include "protocol/socket.h"
#include "protocol/transport.h"
#include "protocol/udp.h"
#include "tools/kesnotify/kesnotify.h"

namespace {

using namespace kestrun;

// A server that accepts but never answers must not hold the caller forever.
constexpr std::chrono::milliseconds kConnectLimit{10000};
constexpr std::chrono::milliseconds kReplyWait{30000};

// Connects as the tool always did: a refused connection is tried once more a
// second later; the message of a failure goes to standard error.
std::optional<ServerConnection> Connect(const char* server, int port) {
  const std::optional<uint32_t> address = net::ResolveIPv4(server ? server : "");
  if (!address) {
    std::fputs("Could not connect to Kestrun Server - cannot resolve hostname", stderr);
    return std::nullopt;
  }
  int error = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::seconds(1));
    std::optional<Socket> s = net::ConnectTcpWithin(*address, port, kConnectLimit, &error);
    if (s) return ServerConnection{*address, port, std::move(*s)};
    if (error != net::kConnectionRefused) break;
  }
  std::fputs(
      error == net::kConnectionRefused
          ? "Could not connect to Kestrun Server - Connected Refused (Kestrun Server running?)"
          : "Could not connect to Kestrun Server - Unknown Error",
      stderr);
  return std::nullopt;
}

bool Sendable(const target_notification_tag* t) {
  // An empty name would end the server's list of targets early.
  return t->name != nullptr && t->name[0] != '\0';
}

XDRWRAP BuildRequest(const target_notification_tag* targets, int icon, const char* title,
                     const char* text, int immediate) {
  messages::SendMessageToClientRequest request;
  for (const target_notification_tag* t = targets; t != nullptr; t = t->next) {
    if (Sendable(t))
      request.recipients.push_back({t->name, static_cast<messages::RecipientKind>(t->type)});
  }
  request.icon = icon;
  request.title = title ? title : "";
  request.text = text ? text : "";
  request.immediate = immediate != 0;
  XDRWRAP message;
  messages::EncodeRequest(message, request);
  return message;
}

// Status 1, then one status per sent target up to a 0; statuses beyond the
// last target are ignored. A reply that cannot be read leaves every status
// as it was.
int ReadReply(XDRWRAP& reply, target_notification_tag* targets) {
  messages::SendMessageToClientReply answer;
  try {
    answer = messages::SendMessageToClientReply::Decode(reply);
  } catch (const DecodeFailure&) {
    return 1;
  }
  target_notification_tag* t = targets;
  for (const messages::RecipientStatus status : answer.statuses) {
    while (t != nullptr && !Sendable(t)) t = t->next;
    if (t == nullptr) break;
    t->status = static_cast<int32_t>(status);
    t = t->next;
  }
  return 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int SendNotificationEx(
    const char* server, int port, target_notification_tag* targets, int icon, const char* title,
    const char* text, int immediate, int* connected) {
  if (connected) *connected = 0;
  std::optional<ServerConnection> connection = Connect(server, port);
  if (!connection) return 1;
  if (connected) *connected = 1;
  XDRWRAP request = BuildRequest(targets, icon, title, text, immediate);
  SendRequest(request, *connection);
  XDRWRAP reply;
  try {
    ReceiveMessage(reply, connection->socket.get(), kReplyWait);
  } catch (const DecodeFailure&) {
    return 1;
  }
  return ReadReply(reply, targets);
}

extern "C" __attribute__((visibility("default"))) int SendNotification(
    const char* server, int port, target_notification_tag* targets, int icon, const char* title,
    const char* text, int immediate) {
  return SendNotificationEx(server, port, targets, icon, title, text, immediate, nullptr);
}
