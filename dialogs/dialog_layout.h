// A job's dialog as data, for clients that lay the dialog out themselves (the
// web console) instead of running the Tk script.
//
// OpenDialogLayout runs the very steps of GET_DIALOG_DATA (dialog_request.h):
// the job is found for the user, its allow/deny rules are checked, its
// prevalidate program runs, its preload program starts, its dialog definition
// is read (the `dialog` file or the `dialogscript` output) and its populate
// scripts and list-box script run. The definition is read once by the same
// reader that feeds the Tk writer (definition.h), so the layout and the Tk
// script show the same fields with the same numbers, values, groups, tabs and
// frames; only the writing differs.
//
// Texts are as the administrator or the scripts wrote them, never escaped or
// substituted: a client inserts them as text. (The Tk script lets Tcl
// substitute `$var` and `[cmd]` in labels, captions and titles; the layout
// shows them as written.)
//
// Pictures: the banner carries the `bannergraphic` path as configured (empty
// for the built-in picture) and the base64 GIF text that the Tk dialog shows
// (the built-in one when the file is missing or refused); list-box rows carry
// the NAME of the job's icon (the `iconNAME` directive, as written there), and
// DialogLayout::icons carries each icon's base64 GIF text under that name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "config/job_definition.h"
#include "dialogs/dialog_script.h"
#include "protocol/messages/dialog_blocks.h"

namespace kestrun {

struct ServerContext;

enum class LayoutFieldType { Entry, Password, Combobox, Radio, Check };

// "entry", "password", "combobox", "radio" or "check".
const char* LayoutFieldTypeName(LayoutFieldType type);

struct LayoutBanner {
  bool shown = false;   // the job's `banner` is on; the texts below are set only then
  std::string heading;  // `bannerheading`, else the window title
  std::string text;     // `bannertext`, else empty
  std::string icon;     // `bannergraphic` as configured; empty: the built-in picture
  std::string picture;  // base64 GIF text of the picture shown, a line feed after every 80 chars
  bool operator==(const LayoutBanner&) const = default;
};

// One thing on a row of the screen picture, in reading order.
struct LayoutItem {
  enum class Kind { Label, Field };
  Kind kind = Kind::Label;
  std::string text;    // Label: as written, trailing blanks and tabs removed
  int32_t field = 0;   // Field: its number (LayoutField::number)
  int32_t column = 0;  // 0-based character column in the definition line where it starts
  // Characters of the line it takes: a label its text with the blanks after
  // it, a field its brackets and what is between, a button its marker up to
  // the end of its caption. Tk makes a label this many average characters
  // wide and a field this many characters wide; a button's frame is
  // 6 px per character + 17 px.
  int32_t width = 0;
  bool alignEnd = false;  // Label: text at the end (right) of its width, as Tk's anchor "e"
  bool operator==(const LayoutItem&) const = default;
};

// One row line of the definition (tab lines and frame lines are not rows).
struct LayoutRow {
  int32_t line = 0;   // 1-based line of the definition
  int32_t tab = 0;    // 0: above the tabs (or no tabs); else 1-based index into `tabs`
  int32_t frame = 0;  // 0: outside labelled frames; else LayoutFrame::number
  std::vector<LayoutItem> items;
  bool operator==(const LayoutRow&) const = default;
};

// A labelled frame ("- Title" ... "-"); its rows are those with its number.
struct LayoutFrame {
  int32_t number = 0;  // 1, 2, ... in definition order
  std::string title;   // leading and trailing blanks removed
  int32_t tab = 0;
  // Where it stands among the rows of its tab: the index in `rows` of its
  // first row, or of the first row after it when it has none (rows.size() at
  // the end).
  int32_t firstRow = 0;
  bool operator==(const LayoutFrame&) const = default;
};

struct LayoutField {
  int32_t number = 0;  // 1, 2, ...: KESFIELD<number>, the native client's name<number>
  LayoutFieldType type = LayoutFieldType::Entry;
  // Entries and comboboxes: the label just before the field on its row
  // (blanks removed at both ends; empty when the field follows another one);
  // buttons: the caption.
  std::string label;
  // What the field starts with: the text of an entry or combobox (a combobox
  // only shows a value that is one of its choices, else ""); "1" or "0" for a
  // radio or check button. Exactly one button of a radio group is "1".
  std::string value;
  std::vector<std::string> choices;  // combobox choices, in order; empty otherwise
  int32_t group = 0;                 // radio group, 1, 2, ...; 0 for other types
  int32_t tab = 0;                   // as LayoutRow::tab
  int32_t frame = 0;                 // as LayoutRow::frame
  int32_t row = 0;                   // index into DialogLayout::rows
  int32_t column = 0;                // as LayoutItem::column
  int32_t width = 0;                 // as LayoutItem::width
  bool enabled = true;               // false when its populate script failed
  // Run the field script on a change and refresh these: field numbers, 0 for
  // the list box. Empty: a change runs nothing.
  std::vector<int32_t> updates;
  bool operator==(const LayoutField&) const = default;
};

// Column width when the Tk dialog fits the column to its widest cell or
// heading (+20 px): a "-" width or none given.
inline constexpr int32_t kFitColumnWidth = -1;

struct LayoutColumn {
  std::string name;
  int32_t width = kFitColumnWidth;  // pixels; 0: hidden; kFitColumnWidth
  bool operator==(const LayoutColumn&) const = default;
};

struct LayoutListRow {
  std::string icon;  // name of the job's icon chosen by the context column; empty: none
  std::vector<std::string> cells;
  bool operator==(const LayoutListRow&) const = default;
};

struct LayoutMenuEntry {
  std::string job;    // the job to open, as written in `onrightclick`
  std::string label;  // its title, or its name
  bool operator==(const LayoutMenuEntry&) const = default;
};

// The right-click menu of rows whose context-column cell is `value`.
struct LayoutMenu {
  std::string value;                     // upper case
  std::vector<LayoutMenuEntry> entries;  // jobs the user may open only
  bool operator==(const LayoutMenu&) const = default;
};

struct LayoutListBox {
  std::vector<LayoutColumn> columns;  // from `columnnames`, or the script's first line
  std::vector<LayoutListRow> rows;    // as the script wrote them (unsorted)
  SelectionMode selection = SelectionMode::Multiple;
  bool multiple = true;  // selection == Multiple
  // Sort after filling, as `autosort`: 1-based column, 0 none.
  int32_t sortColumn = 0;
  bool sortDescending = false;
  bool icons = false;  // `listboxicons`: rows show their icon in a first column
  // Pixels of the table with its heading: `ListBoxHeight` x 20 + 25, else 105
  // (Tk shows one row per 21 px of it).
  int32_t height = 105;
  int32_t width = 0;  // pixels (`ListBoxWidth` without `autostretch`); 0: the dialog's width
  int32_t contextColumn = 0;           // 1-based; 0 none
  int32_t autoSelectColumn = 0;        // select rows whose cell in this column matches...
  std::string autoSelectValue;         // ...one of these comma-separated values (or "A-B")
  int32_t autoRefresh = 0;             // seconds; 0 none
  bool fillOnApply = false;            // `populatelistbox = onapply`: rows come with Apply
  bool doubleClick = false;            // a double click on a row presses OK
  std::vector<int32_t> changeUpdates;  // fields whose scripts run when the selection changes
  std::vector<LayoutMenu> menus;
  bool operator==(const LayoutListBox&) const = default;
};

struct LayoutIcon {
  std::string name;  // as in the `iconNAME` directive
  std::string data;  // base64 GIF text
  int32_t width = 0;
  int32_t height = 0;
  bool operator==(const LayoutIcon&) const = default;
};

struct LayoutButtons {
  std::string ok;                    // `okbuttontext`, else "OK"
  std::string cancel;                // `cancelbuttontext`, else "Cancel"
  std::optional<std::string> apply;  // with `applybutton` on: `applybuttontext`, else "Apply"
  // The Tk dialog binds Return to Apply when there is one, else to OK.
  bool operator==(const LayoutButtons&) const = default;
};

struct DialogLayout {
  std::string title;  // window title: `title`, else "Kestrun"
  LayoutBanner banner;
  std::vector<std::string> tabs;  // titles, blanks removed at both ends
  std::vector<LayoutFrame> frames;
  std::vector<LayoutRow> rows;           // in definition order
  std::vector<LayoutField> fields;       // fields[i].number == i + 1
  std::optional<LayoutListBox> listBox;  // none: the dialog shows no list box
  std::vector<LayoutIcon> icons;
  LayoutButtons buttons;
  bool operator==(const DialogLayout&) const = default;
};

// Who opens the dialog. The node and process id key the preload entry that a
// later run or cancel of the same caller finds (as a native client's node
// name and process id do).
struct DialogCaller {
  std::string job;  // any case; looked up and reported in upper case
  std::string user;
  std::string node;
  int32_t clientProcessId = 0;
  std::vector<std::string> parameters;           // after the job's own `param` values
  std::optional<messages::PassedBlocks> passed;  // values from the dialog that opened this one
};

enum class DialogRefusalKind {
  NotFound,            // no such job, or the user's groups may not use it
  Refused,             // allow/deny rule, or too many passed list-box variables
  PrevalidateRefused,  // the prevalidate program refused or could not run
  NoDialog,            // neither `dialog` nor `dialogscript`
  DialogFileMissing,   // the `dialog` file cannot be opened
  NoScript,            // the dialog script gave no text
  TclFile,             // `usetclfile`: the dialog is Tk code of its own
};

struct DialogRefusal {
  DialogRefusalKind kind = DialogRefusalKind::NotFound;
  // The native reply's text where it carries one ("Cannot run BACKUP - it is
  // already running", the prevalidate program's standard error, ...), else:
  //   NotFound           "Job JOB does not exist"
  //   NoDialog           "Job JOB has no dialog"
  //   DialogFileMissing  "The dialog definition of job JOB cannot be opened"
  //   NoScript           "The dialog script of job JOB gave no dialog"
  //   TclFile            "The dialog of job JOB can only be shown by the Tk client"
  std::string message;
  bool operator==(const DialogRefusal&) const = default;
};

// The layout of an opened dialog: the same inputs as GenerateDialogScript
// (dialog_script.h), read by the same reader. Runs the list-box script
// through `sources` as the Tk writer does and reads the banner picture as it
// does; `config` is used for logging.
DialogLayout BuildDialogLayout(const ServerConfig& config, const DialogInput& input,
                               const DialogSources& sources);

// Opens the job's dialog for `caller` as GET_DIALOG_DATA does, with the same
// log lines, and returns its layout or the refusal. Every script runs to the
// end on the calling thread (no time-out): call it from a thread that may
// block. A refusal after the job was found releases the caller's preload
// entry, as GET_DIALOG_DATA's refusals do; so does TclFile, since no dialog
// will use the program it started. `server.config` and `server.runningJobs`
// must be set.
std::variant<DialogLayout, DialogRefusal> OpenDialogLayout(ServerContext& server,
                                                           const DialogCaller& caller);

}  // namespace kestrun
