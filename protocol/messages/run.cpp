#include "protocol/messages/run.h"

namespace kestrun::messages {

namespace {

// Above this the parameter count also carries the no-terminal flag.
constexpr int32_t kMaxParameterCount = 65535;
constexpr int32_t kNoTerminalFlag = 0x10000;

}  // namespace

void RunServerScriptRequest::Encode(XDRWRAP& out) const {
  out.AddString(programId);
  out.AddString(clientUser);
  const int32_t count = static_cast<int32_t>(parameters.size());
  out.AddLong(noTerminal ? count + kNoTerminalFlag : count);
  for (const std::string& parameter : parameters) out.AddString(parameter);
  blocks.Encode(out);
  out.AddString(clientNode);
  out.AddLong(clientProcessId);
  out.AddString(stdinFileName);
}

RunServerScriptRequest RunServerScriptRequest::Decode(XDRWRAP& in) {
  RunServerScriptRequest r;
  r.programId = in.GetString();
  r.clientUser = in.GetString();
  int32_t count = in.GetLong();
  if (count > kMaxParameterCount) {
    r.noTerminal = true;
    count &= 0xFFFF;
  }
  for (int32_t i = 0; i < count; ++i) r.parameters.push_back(in.GetString());
  r.blocks = DialogBlocks::Decode(in);
  r.clientNode = in.GetString();
  r.clientProcessId = in.GetLong();
  r.stdinFileName = in.GetString();
  return r;
}

void RunScriptRan::Encode(XDRWRAP& out) const {
  out.AddEnum(static_cast<int32_t>(kResult));
  out.AddLong(0);
  out.AddLong(exitCode);
  out.AddString(title);
}

RunScriptRan RunScriptRan::Decode(XDRWRAP& in) {
  RunScriptRan r;
  in.GetLong();  // always 0
  r.exitCode = in.GetLong();
  r.title = in.GetString();
  return r;
}

void RunScriptRefused::Encode(XDRWRAP& out) const {
  out.AddEnum(static_cast<int32_t>(kResult));
  out.AddString(message);
}

RunScriptRefused RunScriptRefused::Decode(XDRWRAP& in) {
  return {in.GetString()};
}

RunServerScriptReply DecodeRunServerScriptReply(XDRWRAP& in) {
  if (static_cast<RunResult>(in.GetEnum()) == RunResult::Ran) return RunScriptRan::Decode(in);
  return RunScriptRefused::Decode(in);
}

void StreamBlock::Encode(XDRWRAP& out) const {
  out.AddEnum(static_cast<int32_t>(input));
  out.AddEnum(static_cast<int32_t>(error));
  out.AddEnum(static_cast<int32_t>(output));
  out.AddString(inputFile);
  out.AddString(errorFile);
  out.AddString(outputFile);
}

StreamBlock StreamBlock::Decode(XDRWRAP& in) {
  StreamBlock b;
  b.input = static_cast<StreamDisposition>(in.GetEnum());
  b.error = static_cast<StreamDisposition>(in.GetEnum());
  b.output = static_cast<StreamDisposition>(in.GetEnum());
  b.inputFile = in.GetString();
  b.errorFile = in.GetString();
  b.outputFile = in.GetString();
  return b;
}

}  // namespace kestrun::messages
