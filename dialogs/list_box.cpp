#include "dialogs/list_box.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "dialogs/dialog_layout.h"
#include "dialogs/list_box_procs.h"
#include "dialogs/script_text.h"

namespace kestrun::dialogs {
namespace {

using Rows = std::vector<std::string>;

std::optional<Rows> RunListBoxScript(const DialogInput& in, const DialogSources& sources) {
  if (!sources.getListBoxValuesFromScript) return std::nullopt;
  return sources.getListBoxValuesFromScript(ListBoxScriptCall{
      in.job, in.arguments, in.node, in.clientProcessId, in.user, in.environment});
}

// Cells of a row: the pieces between separators; "" is one empty cell.
std::vector<std::string_view> Cells(std::string_view row, std::string_view separator) {
  std::vector<std::string_view> cells;
  size_t start = 0;
  for (size_t at; (at = row.find(separator, start)) != std::string_view::npos;
       start = at + separator.size())
    cells.push_back(row.substr(start, at - start));
  cells.push_back(row.substr(start));
  return cells;
}

bool IsDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A column width as Tk takes it: "-" and anything that is not a plain number
// of pixels give the default of 100.
std::string_view WidthText(const std::string& entry) {
  return IsDigits(entry) ? std::string_view(entry) : std::string_view("100");
}
int32_t WidthPixels(const std::string& entry) {
  return ParseNumber(WidthText(entry));
}

// Widget names may not hold blanks, dots and the like: a context value made
// of plain characters names its menu after itself, any other gets a number.
bool PlainName(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
  });
}

std::string_view Separator(const JobDefinition& job) {
  return job.listBoxSeparator.empty() ? std::string_view(",") : job.listBoxSeparator;
}

// The icon a row with these cells shows: nullopt when the row has no icon
// decision (no context column, or fewer cells); else the name of the job's
// icon equal to the context cell without regard to case, or "" for none.
std::optional<std::string_view> RowIcon(const JobDefinition& job,
                                        const std::vector<std::string_view>& cells) {
  const int32_t k = job.contextColumn;
  if (k < 1 || static_cast<size_t>(k) > cells.size()) return std::nullopt;
  for (const JobIcon& i : job.icons)
    if (EqualsNoCase(i.name, cells[k - 1])) return std::string_view(i.name);
  return std::string_view();
}

// The fields of `onlistboxchangeupdate`: leading "{" dropped, split at
// commas, numbers other than 0.
std::vector<int32_t> ChangeUpdates(const JobDefinition& job) {
  std::vector<int32_t> fields;
  std::string_view v = job.onListBoxChangeUpdate;
  while (!v.empty() && v.front() == '{') v.remove_prefix(1);
  for (const std::string& piece : SplitList(v)) {
    const int32_t n = ParseNumber(piece);
    if (n != 0) fields.push_back(n);
  }
  return fields;
}

struct Columns {
  std::string list;     // -columns
  std::string display;  // -displaycolumns
  int32_t count = 1;    // named columns (1 without names)
  int32_t widthSum = 0;
};

Columns ColumnLists(const JobDefinition& job) {
  Columns c;
  const int32_t names = std::min<int32_t>(job.columnNameList.size(), kMaxListBoxColumns);
  if (names == 0) {
    c.list = "c1";
    return c;
  }
  c.count = names;
  for (int32_t i = 1; i <= names + 1; ++i) c.list += (i > 1 ? " c" : "c") + std::to_string(i);
  const int32_t widths = std::min<int32_t>(job.columnWidthList.size(), kMaxListBoxColumns);
  if (widths == 0) {
    // Tk shows no column at all for an empty -displaycolumns: show them all.
    c.display = c.list;
    return c;
  }
  std::vector<std::string> shown;
  for (int32_t i = 1; i <= std::min(widths, names + 1); ++i) {
    const int32_t w = WidthPixels(job.columnWidthList[i - 1].value);
    if (w > 0) {
      shown.push_back("c" + std::to_string(i));
      c.widthSum += w;
    }
  }
  for (int32_t i = widths + 1; i <= names + 1; ++i) shown.push_back("c" + std::to_string(i));
  for (const std::string& s : shown) c.display += (c.display.empty() ? "" : " ") + s;
  return c;
}

void AppendEnvironment(std::string& out, const std::vector<std::string>& environment) {
  int32_t count = 0;
  for (const std::string& entry : environment) {
    if (!entry.starts_with("KES_")) continue;
    const size_t eq = entry.find('=');
    if (eq == std::string::npos) continue;
    Line(out, "set ListBoxEnvName(", count, ") \"", Quoted{std::string_view(entry).substr(0, eq)},
         "\"");
    Line(out, "set ListBoxEnvVal(", count, ") \"", Quoted{std::string_view(entry).substr(eq + 1)},
         "\"");
    ++count;
  }
  Line(out, "set lbNumEnvVars ", count);
}

void AppendWidthLines(std::string& out, const JobDefinition& job, int32_t widthSum) {
  if (job.autoStretch) {
    Line(out, "if { ", widthSum, " > [expr $wd - 30] } {");
    Line(out, "\tset canvaswidth ", widthSum);
    Line(out, "} else {");
    Line(out, "\tset canvaswidth [expr $wd -30]");
    Line(out, "}");
  } else if (job.listBoxWidth > 0) {
    Line(out, "set canvaswidth ", job.listBoxWidth);
  } else {
    Line(out, "set canvaswidth [expr $wd -30]");
  }
  Line(out, "set listheight 3");
}

void AppendProcedures(std::string& out, const JobDefinition& job) {
  out += kListBoxProcedures;
  Line(out, "proc autofit {} {");
  Line(out, "\tglobal canvaswidth");
  Line(out, "\tset as \"", job.autoStretch ? "Y" : "N", "\"");
  out += "\tset sw [list";
  for (const FieldDefinition& w : job.columnWidthList) Append(out, " \"", Quoted{w.value}, "\"");
  out += "]\n";
  out += kAutofitBody;
  Line(out, "proc DoubleClick {} {");
  if (job.doubleClick) Line(out, "dblclick");
  Line(out, "}");
  Line(out, "proc SelectionChanged {} {");
  if (!job.onListBoxChangeUpdate.empty()) {
    out += "cbc \"LISTBOX\"";
    for (const int32_t n : ChangeUpdates(job)) Append(out, " ", n);
    out += "\n";
  }
  Line(out, "}");
}

void AppendTable(std::string& out, const JobDefinition& job, const Columns& columns) {
  const int64_t height = job.listBoxHeight > 0 ? int64_t{job.listBoxHeight} * 20 + 25 : 105;
  const char* mode = job.selection == SelectionMode::Single ? "browse"
                     : job.selection == SelectionMode::None ? "none"
                                                            : "extended";
  Line(out, "proc CanvasResize {NewHeight NewWidth} {");
  Line(out, ".lb.c1.tvf.tv configure -height [expr $NewHeight / 21]");
  Line(out, "}");
  Line(out, "proc moveitx {args} {");
  Line(out, "eval \".lb.c1.tvf xview $args\"");
  Line(out, "set nowat [.lb.c1.tvf xview]");
  Line(out, "eval \".lb.c2.hsb set $nowat\"");
  Line(out, "}");
  Line(out, "proc moveity {args} {");
  Line(out, "eval \".lb.c1.tvf.tv yview $args\"");
  Line(out, "set nowat [.lb.c1.tvf.tv yview]");
  Line(out, "eval \".lb.c1.vsb set $nowat\"");
  Line(out, "}");
  Line(out, "frame .lb.c1");
  Line(out, "frame .lb.c2");
  Line(out, "canvas .lb.c1.tvf -height ", height,
       " -width $canvaswidth -bd 0 -bg white -xscrollcommand [list .lb.c2.hsb set]");
  Line(out, "bind .lb.c1.tvf <Configure> { CanvasResize \"%h\" \"%w\" }");
  Line(out, "pack propagate .lb.c1.tvf off");
  Line(out, "ttk::scrollbar .lb.c1.vsb -orient vertical -command moveity");
  Line(out, "ttk::scrollbar .lb.c2.hsb -orient horizontal -command moveitx");
  Line(out, "ttk::treeview .lb.c1.tvf.tv -selectmode ", mode, " -height 3 -show \"",
       job.listBoxIcons ? "tree headings" : "headings", "\" -columns \"", columns.list,
       "\" -displaycolumns \"", columns.display, "\" -yscrollcommand [list .lb.c1.vsb set]");
  Line(out, ".lb.c1.tvf.tv column #0 -anchor w -minwidth 32 -stretch n -width 32");
  Line(out, "bind .lb.c1.tvf.tv <Double-Button-1> { update idletasks");
  Line(out, "DoubleClick");
  Line(out, "break }");
  Line(out, "bind .lb.c1.tvf.tv <ButtonPress-1> { set tcs1 [.lb.c1.tvf.tv selection]");
  Line(out, "set lb_ButtonDown 1 }");
  Line(out, "bind .lb.c1.tvf.tv <ButtonRelease-1> { if {$lb_ButtonDown>0} {set lb_ButtonDown 0");
  Line(out, "update idletasks");
  Line(out, "set tcs2 [.lb.c1.tvf.tv selection]");
  Line(out, "if { $tcs1 != $tcs2 } { SelectionChanged }}}");
  Line(out, "bind .lb.c1.tvf.tv <Motion> { if {$lb_ButtonDown>0} {TreeViewMotion \"%x\" \"%y\" }}");
}

void AppendAutosort(std::string& out, const JobDefinition& job) {
  Line(out, "proc AutoSelectOnRefresh {} {");
  Line(out, "return ", job.autoSelectColumn != 0 && job.selection == SelectionMode::None ? 1 : 0);
  Line(out, "}");
  Line(out, "proc autosort {ar} {");
  if (job.autoSort != 0) {
    const int64_t column = job.autoSort < 0 ? -static_cast<int64_t>(job.autoSort) : job.autoSort;
    Line(out, "if { $ar == 0 } {TreeSort c", column, " ", job.autoSort < 0 ? 1 : 0, "}");
  }
  if (job.autoSelectColumn != 0) {
    Line(out, "SelectColumns ", job.autoSelectColumn, " \"",
         Quoted{job.autoSelectValue.empty() ? std::string_view("Y") : job.autoSelectValue}, "\"");
  }
  if (job.autoRefresh != 0 && job.populateListBoxOn == 0) {
    const int64_t ms = static_cast<int64_t>(job.autoRefresh) * 1000;
    Line(out, "after ", ms, " {autorefresh ", ms, "}");
  }
  Line(out, "}");
}

void AppendMenus(std::string& out, const DialogInput& in, const DialogSources& sources) {
  const JobDefinition& job = in.job;
  if (job.rightClickMenu.empty()) return;
  Line(out, "set ContextColumn ", static_cast<int64_t>(job.contextColumn) - 1);
  std::vector<std::pair<std::string, std::string>> menus;  // context value, menu path
  for (const MenuEntry& entry : job.rightClickMenu) {
    const std::string value = UpperCase(entry.contextValue);
    auto known =
        std::find_if(menus.begin(), menus.end(), [&](const auto& m) { return m.first == value; });
    if (known == menus.end()) {
      std::string path = PlainName(value) ? ".lb.c1.tvf.tv.menu" + value
                                          : ".lb.c1.tvf.tv.m" + std::to_string(menus.size() + 1);
      Line(out, "menu ", path, " -tearoff 0");
      Line(out, "set \"ContextMenus(", Quoted{value}, ")\" ", path);
      known = menus.insert(menus.end(), {value, std::move(path)});
    }
    if (entry.itemText.empty() || !sources.menuJob) continue;
    const std::optional<std::string> label = sources.menuJob(entry.itemText, in.user);
    if (!label) continue;
    Line(out, known->second, " add command -label \"", Written{*label}, "\" -command {cascade \"",
         Quoted{entry.itemText}, "\"}");
  }
  if (job.selection == SelectionMode::None) return;
  Line(out, "bind .lb.c1.tvf.tv <ButtonPress-3> { TreeRightClick 0 \"%x\" \"%y\" \"%X\" \"%Y\"}");
  Line(out, "bind .lb.c1.tvf.tv <Control-ButtonPress-3> { TreeRightClick ",
       job.selection == SelectionMode::Multiple ? 1 : 0, " \"%x\" \"%y\" \"%X\" \"%Y\"}");
}

void AppendPlacement(std::string& out, const JobDefinition& job, const Columns& columns) {
  if (!job.columnNameList.empty()) {
    const int32_t widths = static_cast<int32_t>(job.columnWidthList.size());
    for (int32_t i = 1; i <= std::min(widths, columns.count + 1); ++i)
      Line(out, ".lb.c1.tvf.tv column c", i, " -width ",
           WidthText(job.columnWidthList[i - 1].value), " -stretch n");
    Line(out, ".lb.c1.tvf.tv column c", std::min(widths + 1, columns.count + 1), " -width 3000");
  } else {
    Line(out, ".lb.c1.tvf.tv column c1 -width 3000");
  }
  Line(out, ".lb.c1.tvf create window 0 0 -anchor nw -window .lb.c1.tvf.tv");
  out += kScrollRegion;
  Line(out, "pack .lb.c1.tvf -side left -fill both -expand 1");
  Line(out, "pack .lb.c1.vsb -side left -fill y");
  Line(out, "pack .lb.c2.hsb -side bottom -fill x -expand 1");
  Line(out, ".lb.c2.hsb set 0 [expr $canvaswidth.0 / $treewidth.0]");
  Line(out, "pack .lb.c1 -side top -fill both -expand 1");
  Line(out, "pack .lb.c2 -fill x");
  Line(out, "pack .lb -fill both -pady 10 -expand 1 -in .w3");
  if (job.columnNameList.empty()) {
    Line(out, ".lb.c1.tvf.tv heading c1 -text \"\" -anchor w");
    return;
  }
  for (int32_t i = 1; i <= columns.count; ++i)
    Line(out, ".lb.c1.tvf.tv heading c", i, " -text \"", Quoted{job.columnNameList[i - 1].value},
         "\" -anchor w -command [list TreeSort c", i, " 0]");
}

// The heading row of a list box without `columnnames`; returns its columns.
int32_t AppendHeadingRow(std::string& out, const JobDefinition& job,
                         const std::vector<std::string_view>& cells) {
  const int32_t m = static_cast<int32_t>(cells.size());
  std::string list, display;
  for (int32_t i = 1; i <= m + 1; ++i) {
    list += (i > 1 ? " c" : "c") + std::to_string(i);
    const int32_t width = i - 1 < static_cast<int32_t>(job.columnWidthList.size())
                              ? WidthPixels(job.columnWidthList[i - 1].value)
                              : 100;
    if (width > 0 || i == m + 1) display += (display.empty() ? "c" : " c") + std::to_string(i);
  }
  Line(out, ".lb.c1.tvf.tv configure -columns \"", list, "\" -displaycolumns \"", display, "\"");
  for (int32_t i = 1; i <= m; ++i) {
    const int32_t width = i - 1 < static_cast<int32_t>(job.columnWidthList.size())
                              ? WidthPixels(job.columnWidthList[i - 1].value)
                              : 100;
    Line(out, ".lb.c1.tvf.tv column c", i, " -width ", width, " -stretch n");
    Line(out, ".lb.c1.tvf.tv heading c", i, " -text \"", Quoted{cells[i - 1]},
         "\" -anchor w -command [list TreeSort c", i, " 0]");
  }
  Line(out, ".lb.c1.tvf.tv column c", m + 1, " -width 3000");
  return m;
}

// Returns the number of columns, which a heading row may set.
int32_t AppendRows(std::string& out, const JobDefinition& job, const Rows& rows, int32_t columns) {
  const std::string_view separator = Separator(job);
  bool heading = job.columnNameList.empty();
  int32_t r = 0;
  std::string values;
  for (const std::string& row : rows) {
    const std::vector<std::string_view> cells = Cells(row, separator);
    if (heading) {
      columns = AppendHeadingRow(out, job, cells);
      heading = false;
      continue;
    }
    values.clear();
    for (std::string_view cell : cells)
      Append(values, values.empty() ? "\"" : " \"", Quoted{cell}, "\"");
    char id[24];
    std::snprintf(id, sizeof id, "c%04d", ++r);
    if (const std::optional<std::string_view> decided = RowIcon(job, cells)) {
      const std::string_view icon = *decided;
      Line(out, "if { [ValidIcon \"", Quoted{icon}, "\"] == 0 } {");
      Line(out, ".lb.c1.tvf.tv insert {} end -id \"", id, "\" -values [list ", values, "] -tag tag",
           r);
      Line(out, "} else {");
      Line(out, ".lb.c1.tvf.tv insert {} end -id \"", id, "\" -image ",
           Quoted{"icon" + std::string(icon)}, " -values [list ", values, "] -tag tag", r);
      Line(out, "}");
    } else {
      Line(out, ".lb.c1.tvf.tv insert {} end -id \"", id, "\" -values [list ", values, "] -tag tag",
           r);
    }
  }
  return columns;
}

// A column's width in the layout: pixels, 0 hidden, or fitted to its cells
// where the Tk dialog's autofit fits it ("-" or no entry).
int32_t LayoutWidth(const JobDefinition& job, size_t column) {
  if (column >= job.columnWidthList.size()) return kFitColumnWidth;
  const std::string& entry = job.columnWidthList[column].value;
  return entry == "-" ? kFitColumnWidth : WidthPixels(entry);
}

std::vector<LayoutMenu> LayoutMenus(const DialogInput& in, const DialogSources& sources) {
  std::vector<LayoutMenu> menus;
  // Without a selection the Tk dialog binds no right click.
  if (in.job.selection == SelectionMode::None) return menus;
  for (const MenuEntry& entry : in.job.rightClickMenu) {
    const std::string value = UpperCase(entry.contextValue);
    auto known = std::find_if(menus.begin(), menus.end(),
                              [&](const LayoutMenu& m) { return m.value == value; });
    if (known == menus.end()) known = menus.insert(menus.end(), LayoutMenu{value, {}});
    if (entry.itemText.empty() || !sources.menuJob) continue;
    std::optional<std::string> label = sources.menuJob(entry.itemText, in.user);
    if (label) known->entries.push_back({entry.itemText, std::move(*label)});
  }
  return menus;
}

LayoutListBox LayoutSettings(const DialogInput& in, const DialogSources& sources) {
  const JobDefinition& job = in.job;
  LayoutListBox box;
  box.selection = job.selection;
  box.multiple = job.selection == SelectionMode::Multiple;
  box.sortColumn = job.autoSort < 0 ? -job.autoSort : job.autoSort;
  box.sortDescending = job.autoSort < 0;
  box.icons = job.listBoxIcons;
  box.height = job.listBoxHeight > 0 ? job.listBoxHeight * 20 + 25 : 105;
  box.width = !job.autoStretch && job.listBoxWidth > 0 ? job.listBoxWidth : 0;
  box.contextColumn = job.contextColumn;
  box.autoSelectColumn = job.autoSelectColumn;
  if (job.autoSelectColumn != 0)
    box.autoSelectValue = job.autoSelectValue.empty() ? "Y" : job.autoSelectValue;
  box.fillOnApply = job.populateListBoxOn != 0;
  box.autoRefresh = box.fillOnApply ? 0 : job.autoRefresh;
  box.doubleClick = job.doubleClick;
  box.changeUpdates = ChangeUpdates(job);
  box.menus = LayoutMenus(in, sources);
  const int32_t names = std::min<int32_t>(job.columnNameList.size(), kMaxListBoxColumns);
  for (int32_t i = 0; i < names; ++i)
    box.columns.push_back({job.columnNameList[i].value, LayoutWidth(job, i)});
  return box;
}

}  // namespace

std::optional<LayoutListBox> ListBoxLayout(const DialogInput& in, const DialogSources& sources) {
  const JobDefinition& job = in.job;
  if (job.listBox == ListBoxMode::Off) return std::nullopt;
  std::optional<Rows> rows;
  if (job.populateListBoxOn == 0) {
    rows = RunListBoxScript(in, sources);
    if (job.listBox == ListBoxMode::Auto && (!rows || rows->empty())) return std::nullopt;
  }
  LayoutListBox box = LayoutSettings(in, sources);
  if (!rows) return box;
  const std::string_view separator = Separator(job);
  bool heading = job.columnNameList.empty();
  for (const std::string& row : *rows) {
    const std::vector<std::string_view> cells = Cells(row, separator);
    if (heading) {
      for (size_t i = 0; i < cells.size(); ++i)
        box.columns.push_back({std::string(cells[i]), LayoutWidth(job, i)});
      heading = false;
      continue;
    }
    LayoutListRow r;
    // ValidIcon answers 0 without `listboxicons`: no row shows an icon.
    if (const std::optional<std::string_view> icon = RowIcon(job, cells); icon && job.listBoxIcons)
      r.icon = *icon;
    r.cells.assign(cells.begin(), cells.end());
    box.rows.push_back(std::move(r));
  }
  return box;
}

int32_t AppendListBox(std::string& out, const DialogInput& in, const DialogSources& sources) {
  const JobDefinition& job = in.job;
  if (job.listBox == ListBoxMode::Off) return 0;
  AppendEnvironment(out, in.environment);
  const bool onDisplay = job.populateListBoxOn == 0;
  std::optional<Rows> rows;
  if (job.listBox == ListBoxMode::Auto && onDisplay) {
    rows = RunListBoxScript(in, sources);
    if (!rows || rows->empty()) return 0;
  }
  const Columns columns = ColumnLists(job);
  AppendWidthLines(out, job, columns.widthSum);
  AppendProcedures(out, job);
  AppendTable(out, job, columns);
  AppendAutosort(out, job);
  AppendMenus(out, in, sources);
  AppendPlacement(out, job, columns);
  int32_t count = columns.count;
  if (onDisplay) {
    if (!rows) rows = RunListBoxScript(in, sources);
    const bool yielded = rows && !rows->empty();
    if (yielded) count = AppendRows(out, job, *rows, count);
    Line(out, "autofit");
    out += kScrollRegion;
    Line(out, ".lb.c2.hsb set 0 [expr $canvaswidth.0 / $treewidth.0]");
    if (yielded || job.autoRefresh != 0) Line(out, "autosort 0");
  }
  return count;
}

}  // namespace kestrun::dialogs
