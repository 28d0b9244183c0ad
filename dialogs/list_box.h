// The list box of a dialog script: a sortable, scrollable ttk::treeview below
// the fields, filled from the job's list-box script, with icons, right-click
// menus that run other jobs, automatic sorting, selection and refresh.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "dialogs/dialog_script.h"

namespace kestrun {
struct LayoutListBox;
}

namespace kestrun::dialogs {

// Most named columns a list box takes.
inline constexpr int32_t kMaxListBoxColumns = 30;

// Appends the list box part of the script and returns its number of columns,
// 0 when no list box is shown.
int32_t AppendListBox(std::string& out, const DialogInput& input, const DialogSources& sources);

// The same list box as data (dialog_layout.h): nullopt when none is shown.
// Runs the list-box script once, as AppendListBox does, unless the rows come
// with Apply.
std::optional<LayoutListBox> ListBoxLayout(const DialogInput& input, const DialogSources& sources);

}  // namespace kestrun::dialogs
