#include "protocol/messages/dialog_scripts.h"

namespace kestrun::messages {

namespace {

void AddResult(XDRWRAP& out, ScriptResult result) {
  out.AddChar(static_cast<uint8_t>(result));
}

bool IsDone(XDRWRAP& in) {
  return in.GetLong() == static_cast<int32_t>(ScriptResult::Done);
}

// Each line announced by a char 1; a char 0 ends them.
void EncodeLines(XDRWRAP& out, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    out.AddChar(1);
    out.AddString(line);
  }
  out.AddChar(0);
}

std::vector<std::string> DecodeLines(XDRWRAP& in) {
  std::vector<std::string> lines;
  while (in.GetLong() == 1) lines.push_back(in.GetString());
  return lines;
}

// The fields the list-box and field requests share, in their order.
template <class Request>
void EncodeUpToProcessId(XDRWRAP& out, const Request& r) {
  out.AddString(r.job);
  out.AddString(r.user);
  EncodeCountedStrings(out, r.parameters);
  r.blocks.Encode(out);
  out.AddString(r.node);
  out.AddLong(r.clientProcessId);
}

template <class Request>
void DecodeUpToProcessId(XDRWRAP& in, Request& r) {
  r.job = in.GetString();
  r.user = in.GetString();
  r.parameters = DecodeCountedStrings(in);
  r.blocks = DialogBlocks::Decode(in);
  r.node = in.GetString();
  r.clientProcessId = in.GetLong();
}

}  // namespace

void RunListBoxScriptRequest::Encode(XDRWRAP& out) const {
  EncodeUpToProcessId(out, *this);
  out.AddString(reason);
  out.AddString(changedField);
}

RunListBoxScriptRequest RunListBoxScriptRequest::Decode(XDRWRAP& in) {
  RunListBoxScriptRequest r;
  DecodeUpToProcessId(in, r);
  r.reason = in.GetString();
  r.changedField = in.GetString();
  return r;
}

void RunFieldScriptRequest::Encode(XDRWRAP& out) const {
  EncodeUpToProcessId(out, *this);
  out.AddString(changedField);
  out.AddString(currentField);
}

RunFieldScriptRequest RunFieldScriptRequest::Decode(XDRWRAP& in) {
  RunFieldScriptRequest r;
  DecodeUpToProcessId(in, r);
  r.changedField = in.GetString();
  r.currentField = in.GetString();
  return r;
}

void RunValidationScriptRequest::Encode(XDRWRAP& out) const {
  out.AddString(job);
  out.AddString(user);
  out.AddString(node);
  out.AddLong(clientProcessId);
  blocks.Encode(out);
  EncodeCountedStrings(out, parameters);
}

RunValidationScriptRequest RunValidationScriptRequest::Decode(XDRWRAP& in) {
  RunValidationScriptRequest r;
  r.job = in.GetString();
  r.user = in.GetString();
  r.node = in.GetString();
  r.clientProcessId = in.GetLong();
  r.blocks = DialogBlocks::Decode(in);
  r.parameters = DecodeCountedStrings(in);
  return r;
}

void ScriptRefused::Encode(XDRWRAP& out) const {
  AddResult(out, ScriptResult::Refused);
  out.AddString(message);
}

ScriptRefused ScriptRefused::Decode(XDRWRAP& in) {
  return {in.GetString()};
}

void ListBoxFilled::Encode(XDRWRAP& out) const {
  AddResult(out, ScriptResult::Done);
  EncodeCountedStrings(out, updateFields);
  out.AddString(separator);
  out.AddChar(noColumnNames ? 1 : 0);
  out.AddLong(contextColumn);
  if (contextColumn > 0) EncodeCountedStrings(out, icons);
  if (noColumnNames) EncodeCountedStrings(out, widths);
  EncodeLines(out, lines);
}

ListBoxFilled ListBoxFilled::Decode(XDRWRAP& in) {
  ListBoxFilled r;
  r.updateFields = DecodeCountedStrings(in);
  r.separator = in.GetString();
  r.noColumnNames = in.GetLong() == 1;
  r.contextColumn = in.GetLong();
  if (r.contextColumn > 0) r.icons = DecodeCountedStrings(in);
  if (r.noColumnNames) r.widths = DecodeCountedStrings(in);
  r.lines = DecodeLines(in);
  return r;
}

void FieldValues::Encode(XDRWRAP& out) const {
  AddResult(out, ScriptResult::Done);
  EncodeLines(out, lines);
  out.AddChar(failed ? 1 : 0);
  if (!failed) return;
  out.AddLong(static_cast<int32_t>(error.size()));
  if (!error.empty()) out.AddString(error);
}

FieldValues FieldValues::Decode(XDRWRAP& in) {
  FieldValues r;
  r.lines = DecodeLines(in);
  r.failed = in.GetLong() != 0;
  if (r.failed && in.GetLong() > 0) r.error = in.GetString();
  return r;
}

void ValidationAccepted::Encode(XDRWRAP& out) const {
  AddResult(out, ScriptResult::Done);
}

ListBoxScriptReply DecodeListBoxScriptReply(XDRWRAP& in) {
  if (IsDone(in)) return ListBoxFilled::Decode(in);
  return ScriptRefused::Decode(in);
}

FieldScriptReply DecodeFieldScriptReply(XDRWRAP& in) {
  if (IsDone(in)) return FieldValues::Decode(in);
  return ScriptRefused::Decode(in);
}

ValidationScriptReply DecodeValidationScriptReply(XDRWRAP& in) {
  if (IsDone(in)) return ValidationAccepted::Decode(in);
  return ScriptRefused::Decode(in);
}

}  // namespace kestrun::messages
