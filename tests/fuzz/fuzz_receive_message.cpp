// Feeds arbitrary bytes to ReceiveMessage through a socket pair, then, as
// the input's last byte steers: decodes the typed request its type word
// names, as a handler would, or takes fields of every kind until the message
// is exhausted or fails to decode.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "protocol/messages/dialog.h"
#include "protocol/messages/dialog_scripts.h"
#include "protocol/messages/preload.h"
#include "protocol/messages/run.h"
#include "protocol/transport.h"

namespace {

// The type word, then the request struct it names; false for a type without
// one here.
bool DecodeTypedRequest(kestrun::XDRWRAP& message) {
  using namespace kestrun::messages;
  switch (message.GetEnum()) {
    case kestrun::RUN_SERVER_SCRIPT:
      RunServerScriptRequest::Decode(message);
      return true;
    case kestrun::GET_DIALOG_DATA:
      GetDialogDataRequest::Decode(message);
      return true;
    case kestrun::CANCEL_DIALOG:
      CancelDialogRequest::Decode(message);
      return true;
    case kestrun::RUN_VALIDATION_SCRIPT:
      RunValidationScriptRequest::Decode(message);
      return true;
    case kestrun::RUN_FIELD_SCRIPT:
      RunFieldScriptRequest::Decode(message);
      return true;
    case kestrun::RUN_LISTBOX_SCRIPT:
      RunListBoxScriptRequest::Decode(message);
      return true;
    case kestrun::START_BACKGROUND_SCRIPT:
      StartBackgroundScriptRequest::Decode(message);
      return true;
    case kestrun::REGISTER_WAITING_FOR_CALLBACK:
      RegisterWaitingForCallbackRequest::Decode(message);
      return true;
    case kestrun::UNREGISTER_WAITING_FOR_CALLBACK:
      UnregisterWaitingForCallbackRequest::Decode(message);
      return true;
    case kestrun::SYNC_BACKGROUND_PROC_STATUS:
      SyncBackgroundProcStatusRequest::Decode(message);
      return true;
    case kestrun::RECORD_BACKGROUND_PROC_PID:
      RecordBackgroundProcPidRequest::Decode(message);
      return true;
    default:
      return false;
  }
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
    const uint8_t steer = size ? data[size - 1] : 0;
    if ((steer & 0x80) != 0 && DecodeTypedRequest(message)) return 0;
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
  return 0;
}
