#include "protocol/messages/preload.h"

namespace kestrun::messages {

void StartBackgroundScriptRequest::Encode(XDRWRAP& out) const {
  out.AddString(clientNode);
  out.AddString(clientUser);
  out.AddLong(clientProcessId);
  out.AddString(job);
}

StartBackgroundScriptRequest StartBackgroundScriptRequest::Decode(XDRWRAP& in) {
  StartBackgroundScriptRequest r;
  r.clientNode = in.GetString();
  r.clientUser = in.GetString();
  r.clientProcessId = in.GetLong();
  r.job = in.GetString();
  return r;
}

void RegisterWaitingForCallbackRequest::Encode(XDRWRAP& out) const {
  out.AddString(client);
  out.AddLong(processId);
  out.AddLong(parentProcessId);
  out.AddLong(port);
  out.AddLong(unused);
}

RegisterWaitingForCallbackRequest RegisterWaitingForCallbackRequest::Decode(XDRWRAP& in) {
  RegisterWaitingForCallbackRequest r;
  r.client = in.GetString();
  r.processId = in.GetLong();
  r.parentProcessId = in.GetLong();
  r.port = in.GetLong();
  r.unused = in.GetLong();
  return r;
}

void UnregisterWaitingForCallbackRequest::Encode(XDRWRAP& out) const {
  out.AddString(client);
  out.AddLong(processId);
}

UnregisterWaitingForCallbackRequest UnregisterWaitingForCallbackRequest::Decode(XDRWRAP& in) {
  UnregisterWaitingForCallbackRequest r;
  r.client = in.GetString();
  r.processId = in.GetLong();
  return r;
}

void CallbackReply::Encode(XDRWRAP& out) const {
  out.AddEnum(static_cast<int32_t>(result));
}

CallbackReply CallbackReply::Decode(XDRWRAP& in) {
  return {static_cast<CallbackResult>(in.GetEnum())};
}

}  // namespace kestrun::messages
