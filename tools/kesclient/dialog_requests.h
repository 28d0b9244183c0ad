// The dialog requests from the client's side: GET_DIALOG_DATA, the three
// dialog script requests (RUN_FIELD_SCRIPT, RUN_LISTBOX_SCRIPT,
// RUN_VALIDATION_SCRIPT) and CANCEL_DIALOG, with the blocks of dialog data
// they carry. No Tcl here: the dialog itself lives in dialog.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "client/client_config.h"
#include "protocol/messages/dialog_blocks.h"
#include "protocol/messages/run.h"

namespace kestrun::client {

// What a dialog sends with its requests: its own field values and list-box
// selection, and the values passed from the dialog that opened it.
using ListBoxBlock = messages::ListBoxBlock;
using DialogValues = messages::DialogBlocks;

// Who asks, for every dialog request.
struct DialogIdentity {
  std::string job;
  std::string user;
  std::string node;
  int32_t processId = 0;
  std::vector<std::string> args;  // the client parameters
};

// What the client does with the job's streams when it runs it.
using Disposition = messages::StreamDisposition;
using StreamBlock = messages::StreamBlock;

struct DialogData {
  // Success: a script. Otherwise the failure code (0 job unknown or denied,
  // 1 no dialog, 2 dialog file missing, 3 no script, 6 prevalidate refused,
  // 10 refused) with its message where the reply has one.
  bool ok = false;
  int32_t failure = 0;
  StreamBlock streams;  // success and failures 1, 2, 3, 6
  std::string script;
  std::string message;
};

// GET_DIALOG_DATA. nullopt when the exchange failed (*failure says why).
std::optional<DialogData> GetDialogData(const ServerAddress& server, const DialogIdentity& who,
                                        bool noDialog, const DialogValues* passed,
                                        std::string* failure);

struct FieldScriptAnswer {
  bool ok = false;  // false: `message` is the server's refusal
  std::vector<std::string> lines;
  bool failed = false;  // the script did not exit 0 (or there is none)
  std::string message;  // refusal, or the script's standard error
};

FieldScriptAnswer RunFieldScript(const ServerAddress& server, const DialogIdentity& who,
                                 const DialogValues& values, const std::string& changedField,
                                 int currentField);

struct ListBoxAnswer {
  bool ok = false;
  std::string message;  // when not ok
  std::vector<std::string> updateFields;
  std::string separator = ",";
  bool noColumnNames = false;  // the first line holds the headings
  int32_t contextColumn = 0;
  std::vector<std::string> icons;
  std::vector<std::string> widths;
  std::vector<std::string> lines;
};

ListBoxAnswer RunListBoxScript(const ServerAddress& server, const DialogIdentity& who,
                               const DialogValues& values, const std::string& reason,
                               const std::string& changedField);

// RUN_VALIDATION_SCRIPT: nullopt when the input is accepted, else the
// message to show.
std::optional<std::string> RunValidationScript(const ServerAddress& server,
                                               const DialogIdentity& who,
                                               const DialogValues& values);

// CANCEL_DIALOG. False when the server did not answer.
bool CancelDialog(const ServerAddress& server, const DialogIdentity& who);

}  // namespace kestrun::client
