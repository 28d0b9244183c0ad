// The dialog requests from the client's side: GET_DIALOG_DATA, the three
// dialog script requests (RUN_FIELD_SCRIPT, RUN_LISTBOX_SCRIPT,
// RUN_VALIDATION_SCRIPT) and CANCEL_DIALOG, with the blocks of dialog data
// they carry. No Tcl here: the dialog itself lives in dialog.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "client/client_config.h"
#include "protocol/xdrwrap.h"

namespace kestrun::client {

// The list-box block: selected rows, column headings and the name/value
// pairs of the selected rows' cells.
struct ListBoxBlock {
  int32_t selections = 0;
  std::vector<std::string> headings;
  std::vector<std::pair<std::string, std::string>> variables;
};

// What a dialog sends with its requests: its own field values and list-box
// selection, and the values passed from the dialog that opened it.
struct DialogValues {
  std::vector<std::string> fields;
  ListBoxBlock listBox;
  std::vector<std::string> passedFields;
  ListBoxBlock passedListBox;
};

// Field block, list-box block, passed-field block, passed list-box block.
void AddDialogBlocks(XDRWRAP& m, const DialogValues& values);

// Who asks, for every dialog request.
struct DialogIdentity {
  std::string job;
  std::string user;
  std::string node;
  int32_t processId = 0;
  std::vector<std::string> args;  // the client parameters
};

// What the client does with a stream of the job it runs.
enum class Disposition : int32_t {
  Discard = 0,
  Display = 1,
  Popup = 2,
  Report = 3,
  FileChooser = 4,
  File = 5
};

struct StreamBlock {
  Disposition input = Disposition::Display;
  Disposition error = Disposition::Display;
  Disposition output = Disposition::Display;
  std::string inputFile;
  std::string errorFile;
  std::string outputFile;
};

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
