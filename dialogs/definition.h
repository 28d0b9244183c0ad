// Reading the dialog definition: tab lines, labelled frames and rows of
// labels, fields and buttons. ReadDefinition decides everything the picture
// says (numbers, widths, anchors, groups, which button starts set, which
// field definition each marker takes); the writers only write it: the Tk
// script here (AppendDefinition) and the layout for other clients
// (dialog_layout.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "config/job_definition.h"

namespace kestrun::dialogs {

// A label of a row. Its text is as written with trailing blanks and tabs
// removed; `width` counts the characters taken from the row, blanks included.
struct DefLabel {
  // Where the label ended, which decides how Tk places it.
  enum class Ending { BeforeField, BeforeButton, RowEnd };
  int32_t number = 0;  // label<number>
  std::string text;
  int32_t column = 0;  // 0-based, in the line
  int32_t width = 0;
  char anchor = 'w';  // 'w' or 'e'
  Ending ending = Ending::RowEnd;
};

// An input field: "[...]" (entry, or combobox with two or more choices) or
// "{...}" (combobox).
struct DefField {
  int32_t number = 0;
  bool combobox = false;
  bool password = false;                        // an entry with "*" inside
  int32_t column = 0;                           // of the opening bracket
  int32_t width = 0;                            // brackets included
  char anchor = 'w';                            // entries: where Tk packs it ('w' or 'e')
  const FieldDefinition* definition = nullptr;  // nullptr past the field list
};

// A stand-alone "o"/"O" (radio) or "x"/"X" (check) and its caption.
struct DefButton {
  int32_t number = 0;
  bool radio = false;
  int32_t index = 0;        // k of cbf<k>: buttons of the row so far
  int32_t radioNumber = 0;  // rb<n>/cb<n>: radio buttons of the definition so far
  int32_t column = 0;       // of the marker
  int32_t characters = 0;   // from the marker to the end of the caption
  std::string caption;
  bool set = false;   // starts set (a group's first radio button always)
  int32_t group = 0;  // radio group, 1, 2, ...
  bool newGroup = false;
  int32_t unsets = 0;  // radio: the field set before it in its group, now cleared; 0 none
  const FieldDefinition* definition = nullptr;
};

using DefItem = std::variant<DefLabel, DefField, DefButton>;

struct DefTab {
  int32_t page = 0;
  std::string title;  // after ">", leading blanks removed, one trailing blank added
};

struct DefFrame {
  int32_t container = 0;
  int32_t page = 0;
  std::string title;  // from the third character, leading blanks removed, one blank added
};

struct DefRow {
  int32_t line = 0;   // 1-based
  int32_t page = 0;   // 0 before the first tab
  int32_t frame = 0;  // container number of the open frame, 0 for none
  std::vector<DefItem> items;
};

using DefElement = std::variant<DefTab, DefFrame, DefRow>;

// The definition as read. Field definitions are pointed at, not copied: the
// field list given to ReadDefinition must outlive it.
struct Definition {
  std::vector<DefElement> elements;  // in line order
  int32_t fieldCount = 0;
  int32_t radioGroups = 0;
  bool sawTab = false;
};

// Reads `lines` (an empty definition is one empty row); `fields` supplies the
// definitions of fields 1, 2, ... in order.
Definition ReadDefinition(const std::vector<std::string>& lines,
                          const std::vector<FieldDefinition>& fields);

enum class WidgetType : int32_t { Combobox = 0, Entry = 1, Radio = 2, Check = 3 };

// One field as the script leaves it to the client: page, number, type and the
// widget path as written into the script.
struct WidgetRecord {
  int32_t page = 0;
  int32_t field = 0;
  WidgetType type = WidgetType::Entry;
  std::string path;
};

// What the rest of the script needs from the definition once it is written.
struct DefinitionResult {
  std::vector<WidgetRecord> records;  // in field order
  std::vector<int32_t> radioFields;   // field numbers of the radio buttons
  int32_t fieldCount = 0;
  int32_t radioGroups = 0;
  bool sawTab = false;
};

// Writes the widgets of `definition` (with "set p" and the page packing) into
// `out`.
DefinitionResult AppendDefinition(std::string& out, const Definition& definition);

}  // namespace kestrun::dialogs
