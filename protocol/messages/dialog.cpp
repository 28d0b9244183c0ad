#include "protocol/messages/dialog.h"

namespace kestrun::messages {

namespace {

void AddFailure(XDRWRAP& out, DialogFailure failure) {
  out.AddEnum(static_cast<int32_t>(DialogResult::Failed));
  out.AddEnum(static_cast<int32_t>(failure));
}

}  // namespace

void GetDialogDataRequest::Encode(XDRWRAP& out) const {
  out.AddString(job);
  out.AddString(user);
  out.AddString(node);
  out.AddLong(clientProcessId);
  out.AddLong(noDialog ? 1 : 0);
  EncodeCountedStrings(out, parameters);
  out.AddLong(passed ? 1 : 0);
  if (passed) passed->Encode(out);
}

GetDialogDataRequest GetDialogDataRequest::Decode(XDRWRAP& in) {
  GetDialogDataRequest r;
  r.job = in.GetString();
  r.user = in.GetString();
  r.node = in.GetString();
  r.clientProcessId = in.GetLong();
  r.noDialog = in.GetLong() != 0;
  r.parameters = DecodeCountedStrings(in);
  if (in.GetLong() != 0) r.passed = PassedBlocks::Decode(in);
  return r;
}

void DialogScriptReply::Encode(XDRWRAP& out) const {
  out.AddEnum(static_cast<int32_t>(DialogResult::Script));
  streams.Encode(out);
  out.AddString(script);
}

DialogScriptReply DialogScriptReply::Decode(XDRWRAP& in) {
  DialogScriptReply r;
  r.streams = StreamBlock::Decode(in);
  r.script = in.GetString();
  return r;
}

void DialogJobNotFound::Encode(XDRWRAP& out) const {
  AddFailure(out, DialogFailure::JobNotFound);
}

void DialogRefused::Encode(XDRWRAP& out) const {
  AddFailure(out, DialogFailure::Refused);
  out.AddString(message);
}

DialogRefused DialogRefused::Decode(XDRWRAP& in) {
  return {in.GetString()};
}

void DialogPrevalidateRefused::Encode(XDRWRAP& out) const {
  AddFailure(out, DialogFailure::PrevalidateRefused);
  streams.Encode(out);
  out.AddString(message);
}

DialogPrevalidateRefused DialogPrevalidateRefused::Decode(XDRWRAP& in) {
  DialogPrevalidateRefused r;
  r.streams = StreamBlock::Decode(in);
  r.message = in.GetString();
  return r;
}

void DialogNotBuilt::Encode(XDRWRAP& out) const {
  AddFailure(out, failure);
  streams.Encode(out);
}

DialogNotBuilt DialogNotBuilt::Decode(XDRWRAP& in, DialogFailure failure) {
  return {failure, StreamBlock::Decode(in)};
}

GetDialogDataReply DecodeGetDialogDataReply(XDRWRAP& in) {
  if (static_cast<DialogResult>(in.GetEnum()) == DialogResult::Script)
    return DialogScriptReply::Decode(in);
  const auto failure = static_cast<DialogFailure>(in.GetEnum());
  switch (failure) {
    case DialogFailure::JobNotFound:
      return DialogJobNotFound::Decode(in);
    case DialogFailure::Refused:
      return DialogRefused::Decode(in);
    case DialogFailure::PrevalidateRefused:
      return DialogPrevalidateRefused::Decode(in);
    default:
      return DialogNotBuilt::Decode(in, failure);
  }
}

void CancelDialogRequest::Encode(XDRWRAP& out) const {
  out.AddString(job);
  out.AddString(user);
  out.AddString(node);
  out.AddLong(clientProcessId);
}

CancelDialogRequest CancelDialogRequest::Decode(XDRWRAP& in) {
  CancelDialogRequest r;
  r.job = in.GetString();
  r.user = in.GetString();
  r.node = in.GetString();
  r.clientProcessId = in.GetLong();
  return r;
}

}  // namespace kestrun::messages
