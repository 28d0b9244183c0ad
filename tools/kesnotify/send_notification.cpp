// SendNotification: one SEND_MESSAGE_TO_CLIENT request and its reply over a
// connection of its own. Nothing is shared between calls.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>

#include "protocol/transport.h"
#include "protocol/udp.h"
#include "tools/kesnotify/kesnotify.h"

namespace {

using namespace kestrun;

constexpr int32_t kSendMessageToClient = 12;
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
    if (error != ECONNREFUSED) break;
  }
  std::fputs(
      error == ECONNREFUSED
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
  XDRWRAP request;
  request.BeginEncode();
  request.AddEnum(kSendMessageToClient);
  for (const target_notification_tag* t = targets; t != nullptr; t = t->next) {
    if (!Sendable(t)) continue;
    request.AddString(t->name);
    request.AddEnum(t->type);
  }
  request.AddString("");
  request.AddLong(icon);
  request.AddString(title);
  request.AddString(text);
  request.AddChar(immediate ? 1 : 0);
  return request;
}

// Status 1, then one status per sent target up to a 0; statuses beyond the
// last target are read and ignored.
int ReadReply(XDRWRAP& reply, target_notification_tag* targets) {
  try {
    if (reply.GetEnum() != 1) return 1;
    target_notification_tag* t = targets;
    for (int32_t status = reply.GetEnum(); status != 0; status = reply.GetEnum()) {
      while (t != nullptr && !Sendable(t)) t = t->next;
      if (t == nullptr) continue;
      t->status = status;
      t = t->next;
    }
  } catch (const DecodeFailure&) {
    return 1;
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
