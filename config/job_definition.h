// The job model: one JobDefinition per stanza of kestrun.conf, with its dialog
// fields, list-box settings, menus, attributes and icons.
//
// Records are plain values. A JobDefinition owns everything it holds, so a
// copy (CopyJobDefinition, or plain copy construction) shares nothing with
// the live record it was taken from. An empty text means "not set".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

// How a job's standard stream is handled.
enum class StreamMode : int32_t {
  Discard = 0,
  Display = 1,
  Popup = 2,
  Report = 3,
  FileChooser = 4,  // argument: an optional text
  File = 5,         // argument: a path
};

enum class ListBoxMode : int32_t { Off = 0, On = 1, Auto = 2 };

enum class SelectionMode : int32_t { Multiple = 0, Single = 1, None = 2 };

// One field whose contents are recomputed when another field changes.
struct FieldUpdate {
  int32_t target = 0;  // 0 the list box, 1..999 a field number
};

// Entry k of a job's `fields` (counting from 1) holds field k. The same
// record makes up the column lists and the value lists, which use only
// `value`.
struct FieldDefinition {
  std::string value;            // default value, column name or width, or one choice
  std::string populateCommand;  // populatefield<k>with command
  bool enabled = true;          // cleared when the populate command fails
  std::vector<FieldUpdate> updates;
  std::vector<FieldDefinition> values;  // populatefield<k>with list: the choices
};

struct FieldName {
  int32_t number = 0;
  std::string name;  // as written, blanks included
};

// The field names registered under one stanza header in the first pass.
struct FieldNameBlock {
  std::string header;  // as written in the stanza header
  std::vector<FieldName> names;
};

struct MenuEntry {
  std::string itemText;
  std::string contextValue;  // upper case
};

struct JobAttribute {
  std::string name;
  std::string value;
};

// One icon of a job: its name and its GIF file as base64 text.
struct JobIcon {
  std::string name;
  std::string data;
  int32_t width = 0;
  int32_t height = 0;
};

// Highest field number that field directives and update targets may name.
inline constexpr int32_t kMaxFieldNumber = 999;

struct JobDefinition {
  std::string name;  // stanza header, upper case
  std::string dialog;
  std::string dialogScript;
  std::string program;
  StreamMode stdinMode = StreamMode::Display;
  StreamMode stdoutMode = StreamMode::Display;
  StreamMode stderrMode = StreamMode::Popup;
  std::string stdinArg;
  std::string stdoutArg;
  std::string stderrArg;
  std::string title;
  std::string preload;
  std::string validateWith;
  std::string prevalidateWith;
  std::vector<FieldDefinition> fields;  // fields[k-1] is field k
  std::string populateDialogWith;
  bool allowStop = true;
  bool useTty = true;
  bool banner = false;  // a new stanza copies the global banner setting
  std::string bannerGraphic;
  std::string bannerHeading;
  std::string bannerText;
  ListBoxMode listBox = ListBoxMode::Off;
  std::string listBoxScript;
  int32_t populateListBoxOn = 0;  // 0 on display, 1 on apply
  bool applyButton = false;
  std::string applyButtonText;
  std::string listBoxSeparator;
  std::vector<FieldDefinition> columnNameList;
  std::vector<FieldDefinition> columnWidthList;
  std::vector<MenuEntry> rightClickMenu;
  std::string columnNames;
  std::string columnWidths;
  std::string onListBoxChangeUpdate;
  std::string okButtonText;
  std::string cancelButtonText;
  std::string helpText;
  std::vector<std::string> params;  // in file order
  bool systemTray = false;
  bool systemTrayHold = false;
  bool trayMenu = false;
  std::string notifyRunGroup;
  std::string environment;
  // Groups allowed to see and run the job; nullopt when unrestricted. An
  // empty text restricts the job to nobody, as written.
  std::optional<std::string> group;
  std::string allowIfJobRunning;
  std::string denyIfJobRunning;
  bool autoStretch = true;
  int32_t autoSort = 0;
  int32_t autoRefresh = 0;
  int32_t autoSelectColumn = 0;
  std::string autoSelectValue;
  int32_t listBoxHeight = 0;
  int32_t listBoxWidth = 0;
  int32_t contextColumn = 0;
  std::vector<JobIcon> icons;
  bool listBoxIcons = false;
  SelectionMode selection = SelectionMode::Multiple;
  bool doubleClick = false;
  std::string autoRunOnSuccess;
  std::string autoRunOnFailure;
  std::string autoRunStandardInput;  // unexpanded
  int32_t logFileRetention = 0;
  std::string useTclFile;
  std::vector<FieldName> fieldNames;
  std::vector<JobAttribute> attributes;
  int32_t lockParameter = 0;
  // The run history of the job: output bytes kept per run and days kept (-1:
  // the global setting), and the newest runs kept (0: no limit).
  int32_t historyOutput = -1;
  int32_t historyDays = -1;
  int32_t historyRuns = 0;
  bool hasClientDirective = false;
  bool hasJobDirective = false;

  int32_t paramCount() const { return static_cast<int32_t>(params.size()); }
};

// A deep copy: the copy shares nothing with `job`.
inline JobDefinition CopyJobDefinition(const JobDefinition& job) {
  return job;
}

// Field k of `job` (1 <= k <= kMaxFieldNumber), creating every missing entry
// up to k (empty value, no command, enabled, no updates, no values).
FieldDefinition& FieldEntry(JobDefinition& job, int32_t k);

// The value of the first attribute whose name equals `name` without regard to
// case; nullptr when the job has none.
const std::string* FindAttribute(const JobDefinition& job, std::string_view name);

// A field reference: a text that does not begin with "$" is read as a number;
// otherwise "$", any "{" after it, and the name up to the first "}" or the end
// name a field, looked up without regard to case. 0 when unknown.
int32_t ResolveFieldReference(const std::vector<FieldName>& names, std::string_view text);

// Registers `name` as field `number` of the block whose header equals `header`
// byte for byte (appending the block when missing); a field that already has
// a name is renamed.
void RegisterFieldName(std::vector<FieldNameBlock>& blocks, std::string_view header, int32_t number,
                       std::string_view name);
// The same within one block.
void RegisterFieldName(FieldNameBlock& block, int32_t number, std::string_view name);

// The names of the first block whose header equals `header` without regard to
// case; empty when there is none.
std::vector<FieldName> FieldNamesFor(const std::vector<FieldNameBlock>& blocks,
                                     std::string_view header);

}  // namespace kestrun
