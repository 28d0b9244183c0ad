// Reading the dialog definition: tab lines, labelled frames and rows of
// labels, fields and buttons, written into the script as they are read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/job_definition.h"

namespace kestrun::dialogs {

enum class WidgetType : int32_t { Combobox = 0, Entry = 1, Radio = 2, Check = 3 };

// One field as the script leaves it to the client: page, number, type and the
// widget path as written into the script.
struct WidgetRecord {
  int32_t page = 0;
  int32_t field = 0;
  WidgetType type = WidgetType::Entry;
  std::string path;
};

// What the rest of the script needs from the definition once it is read.
struct DefinitionResult {
  std::vector<WidgetRecord> records;  // in field order
  std::vector<int32_t> radioFields;   // field numbers of the radio buttons
  int32_t fieldCount = 0;
  int32_t radioGroups = 0;
  bool sawTab = false;
};

// Writes the widgets of `lines` (with "set p" and the page packing) into
// `out`; `fields` supplies the definitions of fields 1, 2, ... in order.
DefinitionResult AppendDefinition(std::string& out, const std::vector<std::string>& lines,
                                  const std::vector<FieldDefinition>& fields);

}  // namespace kestrun::dialogs
