// Feeds arbitrary bytes to ReceiveMessage through a socket pair, then takes
// fields of every kind, steered by the input's last byte, until the message
// is exhausted or fails to decode. A message that was received whole is then
// decoded as every request struct after its type word.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "protocol/messages/dialog.h"
#include "protocol/messages/dialog_scripts.h"
#include "protocol/messages/groups.h"
#include "protocol/messages/history.h"
#include "protocol/messages/jobs_admin.h"
#include "protocol/messages/notify.h"
#include "protocol/messages/preload.h"
#include "protocol/messages/run.h"
#include "protocol/transport.h"

namespace {

// Decodes the received bytes afresh as each of `Requests`.
template <class... Requests>
void DecodeAs(const kestrun::Socket& reader, std::string_view bytes) {
  (
      [&] {
        kestrun::XDRWRAP message;
        try {
          kestrun::ReceiveMessage(message, reader.get(), bytes, std::chrono::milliseconds(200));
          message.GetEnum();
          Requests::Decode(message);
        } catch (const kestrun::DecodeFailure&) {
        }
      }(),
      ...);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  kestrun::Socket reader(fds[0]);
  kestrun::Socket writer(fds[1]);
  // Inputs are capped well below the socket buffer (-max_len), so the whole
  // input is written before the read starts; the closed end makes every
  // short message fail at once instead of waiting.
  const int bufferSize = 1 << 20;
  ::setsockopt(writer.get(), SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
  const kestrun::SendPiece piece{data, size};
  if (kestrun::net::SendAll(writer.get(), {&piece, 1}) != 0) return 0;
  writer.Close();
  kestrun::XDRWRAP message;
  try {
    kestrun::ReceiveMessage(message, reader.get(), std::chrono::milliseconds(200));
  } catch (const kestrun::DecodeFailure&) {
    return 0;  // not a whole message
  }
  try {
    const uint8_t steer = size ? data[size - 1] : 0;
    // Some inputs are read as the run history's messages instead.
    switch (steer) {
      case 0xF0:
        kestrun::messages::HistoryQueryRequest::Decode(message);
        return 0;
      case 0xF1:
        kestrun::messages::RunOutputRequest::Decode(message);
        return 0;
      case 0xF2:
        kestrun::messages::DecodeHistoryQueryReply(message);
        return 0;
      case 0xF3:
        kestrun::messages::DecodeRunOutputReply(message);
        return 0;
      case 0xF4:
        kestrun::messages::ServersQueryRequest::Decode(message);
        return 0;
      case 0xF5:
        kestrun::messages::DecodeServersQueryReply(message);
        return 0;
      default:
        break;
    }
    for (int i = 0; i < 100000; ++i) {
      switch ((steer + i) % 4) {
        case 0:
          message.GetLong();
          break;
        case 1:
          message.GetEnum();
          break;
        case 2:
          message.GetBool();
          break;
        default:
          message.GetString();
          break;
      }
    }
  } catch (const kestrun::DecodeFailure&) {
  }
  using namespace kestrun::messages;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  DecodeAs<EchoRequest, StopRequest, ShutdownRequest, DumpClientNodeNamesRequest,
           ShowHelpTextRequest, GetActiveJobsRequest, KillJobRequest, DeregisterClientRequest,
           SendMessageToClientRequest, GetJobsForUserRequest, ClientKeepaliveRequest,
           RelayMessageBalloonRequest, RelayMessageJobNotifyRequest, GetGroupsForUserRequest,
           GetUsersInGroupRequest, RunServerScriptRequest, GetDialogDataRequest,
           CancelDialogRequest, RunValidationScriptRequest, RunFieldScriptRequest,
           RunListBoxScriptRequest, StartBackgroundScriptRequest, RegisterWaitingForCallbackRequest,
           UnregisterWaitingForCallbackRequest, SyncBackgroundProcStatusRequest,
           RecordBackgroundProcPidRequest>(reader, bytes);
  return 0;
}
