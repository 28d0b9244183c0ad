// GET_DIALOG_DATA (type 2): a client asks for the Tcl/Tk script of a job's
// dialog; CANCEL_DIALOG (type 27): the user closed it without running the job.
//
// GET_DIALOG_DATA request fields after the type:
//   string job (any case), string user, string node, long client process id,
//   long no-dialog flag (not 0: the client shows no user interface),
//   long N, N strings (the parameters),
//   long passed-values flag; when it is not 0: the passed-field block and the
//   passed list-box block (messages/dialog_blocks.h).
// Reply:
//   success              enum 1, stream block (messages/run.h), string the
//                        Tcl/Tk script
//   job unknown/denied   enum 0, enum 0
//   refused              enum 0, enum 10, string message:
//                        "Job contains UI and -nd option specified", the
//                        running-rule refusal, ...
//   prevalidate refused  enum 0, enum 6, stream block, string message (the
//                        program's standard error, or "Prevalidate Script
//                        failed to run: <error text>")
//   no dialog at all     enum 0, enum 1, stream block
//   dialog file missing  enum 0, enum 2, stream block
//   no script            enum 0, enum 3, stream block
//
// CANCEL_DIALOG request fields after the type: string job, string user,
// string node, long client process id. The reply has no fields.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "protocol/messages/dialog_blocks.h"
#include "protocol/messages/message.h"
#include "protocol/messages/run.h"

namespace kestrun::messages {

struct GetDialogDataRequest {
  static constexpr RequestType kType = GET_DIALOG_DATA;
  std::string job;
  std::string user;
  std::string node;
  int32_t clientProcessId = 0;
  bool noDialog = false;
  std::vector<std::string> parameters;
  std::optional<PassedBlocks> passed;
  void Encode(XDRWRAP& out) const;
  static GetDialogDataRequest Decode(XDRWRAP& in);
  bool operator==(const GetDialogDataRequest&) const = default;
};

// The first enum of the reply.
enum class DialogResult : int32_t { Failed = 0, Script = 1 };
// The second enum of a failed reply: why.
enum class DialogFailure : int32_t {
  JobNotFound = 0,
  NoDialog = 1,
  DialogFileMissing = 2,
  NoScript = 3,
  PrevalidateRefused = 6,
  Refused = 10,
};

// Every form's Encode writes the whole reply, its result codes first; its
// Decode reads what follows them.
struct DialogScriptReply {
  StreamBlock streams;
  std::string script;
  void Encode(XDRWRAP& out) const;
  static DialogScriptReply Decode(XDRWRAP& in);
  bool operator==(const DialogScriptReply&) const = default;
};

struct DialogJobNotFound {
  void Encode(XDRWRAP& out) const;
  static DialogJobNotFound Decode(XDRWRAP&) { return {}; }
  bool operator==(const DialogJobNotFound&) const = default;
};

struct DialogRefused {
  std::string message;
  static DialogRefused NoDialogWithInterface() {
    return {"Job contains UI and -nd option specified"};
  }
  void Encode(XDRWRAP& out) const;
  static DialogRefused Decode(XDRWRAP& in);
  bool operator==(const DialogRefused&) const = default;
};

struct DialogPrevalidateRefused {
  StreamBlock streams;
  std::string message;
  void Encode(XDRWRAP& out) const;
  static DialogPrevalidateRefused Decode(XDRWRAP& in);
  bool operator==(const DialogPrevalidateRefused&) const = default;
};

// No script was made: NoDialog, DialogFileMissing or NoScript (a failure code
// this list does not know is read as this form too).
struct DialogNotBuilt {
  DialogFailure failure = DialogFailure::NoScript;
  StreamBlock streams;
  void Encode(XDRWRAP& out) const;
  static DialogNotBuilt Decode(XDRWRAP& in, DialogFailure failure);
  bool operator==(const DialogNotBuilt&) const = default;
};

using GetDialogDataReply = std::variant<DialogScriptReply, DialogJobNotFound, DialogRefused,
                                        DialogPrevalidateRefused, DialogNotBuilt>;
GetDialogDataReply DecodeGetDialogDataReply(XDRWRAP& in);

struct CancelDialogRequest {
  static constexpr RequestType kType = CANCEL_DIALOG;
  std::string job;
  std::string user;
  std::string node;
  int32_t clientProcessId = 0;
  void Encode(XDRWRAP& out) const;
  static CancelDialogRequest Decode(XDRWRAP& in);
  bool operator==(const CancelDialogRequest&) const = default;
};

}  // namespace kestrun::messages
