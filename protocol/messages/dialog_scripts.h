// The scripts a client runs while it shows a job's dialog:
// RUN_VALIDATION_SCRIPT (type 3) checks the input before the job runs,
// RUN_FIELD_SCRIPT (type 4) recomputes one field's values and
// RUN_LISTBOX_SCRIPT (type 5) refills the list box.
//
// Request fields after the type (blocks: messages/dialog_blocks.h):
//   RUN_LISTBOX_SCRIPT     string job, string user, long P, P strings
//                          (parameters), the dialog blocks, string node,
//                          long client process id, string list-box reason,
//                          string changed field
//   RUN_FIELD_SCRIPT       as RUN_LISTBOX_SCRIPT up to the process id, then
//                          string changed field, string current field (the
//                          field number in decimal)
//   RUN_VALIDATION_SCRIPT  string job, string user, string node, long client
//                          process id, the dialog blocks, long P, P strings
//
// Replies (a char travels as a long holding 0..255):
//   refused (all three)    char 0, string the reason or the script's
//                          standard error
//   RUN_LISTBOX_SCRIPT     char 1; long K, K strings (the
//     filled               `onlistboxchangeupdate` field numbers); string
//                          separator; char 1 when the job has no column
//                          names, else char 0; long context column; when it
//                          is above 0: long I, I strings (icon names); only
//                          without column names: long W, W strings (column
//                          widths); the lines
//   RUN_FIELD_SCRIPT       char 1; the lines; then char 0 when the script
//     values               exited 0, else char 1, long L (the length of its
//                          standard error) and, when L > 0, string the
//                          standard error. A field without a populate script
//                          gets no lines and a failure without text.
//   RUN_VALIDATION_SCRIPT  char 1
//     accepted
// The lines: for each output line char 1, string the line; then char 0.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "protocol/messages/dialog_blocks.h"
#include "protocol/messages/message.h"

namespace kestrun::messages {

struct RunListBoxScriptRequest {
  static constexpr RequestType kType = RUN_LISTBOX_SCRIPT;
  std::string job;
  std::string user;
  std::vector<std::string> parameters;
  DialogBlocks blocks;
  std::string node;
  int32_t clientProcessId = 0;
  std::string reason;
  std::string changedField;
  void Encode(XDRWRAP& out) const;
  static RunListBoxScriptRequest Decode(XDRWRAP& in);
  bool operator==(const RunListBoxScriptRequest&) const = default;
};

struct RunFieldScriptRequest {
  static constexpr RequestType kType = RUN_FIELD_SCRIPT;
  std::string job;
  std::string user;
  std::vector<std::string> parameters;
  DialogBlocks blocks;
  std::string node;
  int32_t clientProcessId = 0;
  std::string changedField;
  std::string currentField;
  void Encode(XDRWRAP& out) const;
  static RunFieldScriptRequest Decode(XDRWRAP& in);
  bool operator==(const RunFieldScriptRequest&) const = default;
};

struct RunValidationScriptRequest {
  static constexpr RequestType kType = RUN_VALIDATION_SCRIPT;
  std::string job;
  std::string user;
  std::string node;
  int32_t clientProcessId = 0;
  DialogBlocks blocks;
  std::vector<std::string> parameters;
  void Encode(XDRWRAP& out) const;
  static RunValidationScriptRequest Decode(XDRWRAP& in);
  bool operator==(const RunValidationScriptRequest&) const = default;
};

// The first char of every reply of the three.
enum class ScriptResult : int32_t { Refused = 0, Done = 1 };

// Every form's Encode writes the whole reply, its result first; its Decode
// reads what follows the result.
struct ScriptRefused {
  std::string message;
  void Encode(XDRWRAP& out) const;
  static ScriptRefused Decode(XDRWRAP& in);
  bool operator==(const ScriptRefused&) const = default;
};

struct ListBoxFilled {
  std::vector<std::string> updateFields;
  std::string separator = ",";
  bool noColumnNames = false;  // the first line holds the headings
  int32_t contextColumn = 0;
  std::vector<std::string> icons;   // sent only when contextColumn > 0
  std::vector<std::string> widths;  // sent only with noColumnNames
  std::vector<std::string> lines;
  void Encode(XDRWRAP& out) const;
  static ListBoxFilled Decode(XDRWRAP& in);
  bool operator==(const ListBoxFilled&) const = default;
};

struct FieldValues {
  std::vector<std::string> lines;
  bool failed = false;  // the script did not exit 0, or there is none
  std::string error;    // its standard error; sent only when failed
  void Encode(XDRWRAP& out) const;
  static FieldValues Decode(XDRWRAP& in);
  bool operator==(const FieldValues&) const = default;
};

struct ValidationAccepted {
  void Encode(XDRWRAP& out) const;
  static ValidationAccepted Decode(XDRWRAP&) { return {}; }
  bool operator==(const ValidationAccepted&) const = default;
};

using ListBoxScriptReply = std::variant<ListBoxFilled, ScriptRefused>;
using FieldScriptReply = std::variant<FieldValues, ScriptRefused>;
using ValidationScriptReply = std::variant<ValidationAccepted, ScriptRefused>;
// Each reads the result (1 for the family's own form, anything else a
// refusal) and the form it names.
ListBoxScriptReply DecodeListBoxScriptReply(XDRWRAP& in);
FieldScriptReply DecodeFieldScriptReply(XDRWRAP& in);
ValidationScriptReply DecodeValidationScriptReply(XDRWRAP& in);

}  // namespace kestrun::messages
