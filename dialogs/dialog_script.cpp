// The script is built by appending in one fixed order: fonts, window and
// frames, icons, banner, the definition's widgets, the field descriptions,
// the list box, the buttons, the layout, the radio procedure and the wait.
#include "dialogs/dialog_script.h"

#include "config/server_config.h"
#include "dialogs/banner.h"
#include "dialogs/definition.h"
#include "dialogs/list_box.h"
#include "dialogs/script_text.h"

namespace kestrun {

using dialogs::Line;
using dialogs::Quoted;
using dialogs::Written;

namespace {

// Room for a usual dialog; the string grows geometrically beyond it.
constexpr size_t kInitialScriptSize = 8192;

void AppendHead(std::string& out, const JobDefinition& job) {
  Line(out, "global button");
  Line(out, "font create Kestrun -family Helvetica -size $hsize -weight normal -slant roman");
  Line(out, "font create BannerTitle -family $btfamily -size $bsize -weight bold -slant roman");
  Line(out, "ttk::style configure TRadiobutton -font Kestrun");
  Line(out, "ttk::style configure TCheckbutton -font Kestrun");
  if (job.listBoxIcons) {
    Line(out, "ttk::style configure Treeview -padding {-16 0 0 0}");
    Line(out,
         "ttk::style layout Treeview {Entry.field -sticky news -border 0 -children "
         "{Treeview.padding -sticky news -children {Treeview.treearea -sticky news}}}");
  }
  Line(out, "wm title \".\" \"", Written{job.title.empty() ? "Kestrun" : job.title}, "\"");
  for (const char* frame : {".w", ".w2", ".w3", ".w.t", ".c", ".c.m", ".bb", ".lb"})
    Line(out, "ttk::frame ", frame);
  Line(out, "ttk::label .left -text \" \"");
  Line(out, "ttk::label .right -text \" \"");
}

void AppendWidgetRecords(std::string& out, const dialogs::DefinitionResult& d) {
  if (d.sawTab) Line(out, "pack .c.m.nb -anchor n -fill x -expand 1");
  Line(out, "pack .c.m -anchor n -fill x -expand 1");
  Line(out, "set ButtonGroups ", d.radioGroups);
  Line(out, "set NumFields ", d.fieldCount);
  int32_t page = 0;
  for (size_t i = 0; i < d.records.size(); ++i) {
    const dialogs::WidgetRecord& r = d.records[i];
    if (i == 0) Line(out, "set p \".c.m\"");
    if (r.page > page) {
      page = r.page;
      Line(out, "set p \".c.m.nb.p", page, "\"");
    }
    Line(out, "set wn", r.field, " \"", r.path, "\"");
    Line(out, "set wt", r.field, " \"", static_cast<int32_t>(r.type), "\"");
  }
  Line(out, "set xl [eval list [.w.t.b configure -width]]");
  Line(out, "set wd [lindex $xl [expr [llength $xl]-1]]");
}

void AppendButtons(std::string& out, const JobDefinition& job) {
  using std::string_view;
  const string_view ok = job.okButtonText.empty() ? string_view("OK") : job.okButtonText;
  const string_view cancel =
      job.cancelButtonText.empty() ? string_view("Cancel") : job.cancelButtonText;
  Line(out, "ttk::button .bb.okbutton -text \"", Quoted{ok}, "\" -command \"set button ok;\"");
  Line(out, "ttk::button .bb.cancelbutton -text \"", Quoted{cancel},
       "\" -command \"set button cancel;\"");
  if (job.applyButton) {
    const string_view apply =
        job.applyButtonText.empty() ? string_view("Apply") : job.applyButtonText;
    Line(out, "ttk::button .bb.applybutton -text \"", Written{apply}, "\" -command \"apply\"");
    Line(out, "pack .bb.applybutton -side right");
  }
  Line(out, "pack .bb.cancelbutton -side right");
  Line(out, "pack .bb.okbutton -side right");
  Line(out, "pack .bb -fill x -pady 10 -padx 10 -expand 1 -in .w2");
  Line(out, "pack .left -fill y -side left -in .w");
  Line(out, "pack .c -fill x -side left -expand 1 -in .w");
  Line(out, "pack .right -fill y -side left -in .w");
  Line(out, "pack .w -fill x -anchor n");
  Line(out, "pack .w3 -fill both -expand 1 -anchor n");
  Line(out, "pack .w2 -fill x -anchor s");
}

void AppendRadioProcedure(std::string& out, const dialogs::DefinitionResult& d) {
  Line(out, "proc rbc {fieldno lf args} {");
  Line(out, "\tglobal bgroup");
  for (int32_t n : d.radioFields) Line(out, "\tglobal name", n);
  for (int32_t g = 1; g <= d.radioGroups; ++g) Line(out, "\tglobal bgrp", g);
  out +=
      "\tset thisgroup $bgroup($fieldno)\n"
      "\tforeach n [array names bgroup] {\n"
      "\t\tif {$bgroup($n) == $thisgroup} {\n"
      "\t\t\tset name$n 0\n"
      "\t\t}\n"
      "\t}\n"
      "\tset name$fieldno 1\n"
      "\tset bgrp$thisgroup name$fieldno\n"
      "\tif {$lf == 1} {\n"
      "\t\teval cbc $fieldno $args\n"
      "\t}\n"
      "}\n";
}

void AppendGroupLines(std::string& out, int32_t groups) {
  for (int32_t g = 1; g <= groups; ++g) Line(out, "set $bgrp", g, " \"1\"");
}

}  // namespace

std::function<std::optional<std::string>(std::string_view, std::string_view)> MenuJobsOf(
    const ServerConfig& config) {
  return [&config](std::string_view name, std::string_view user) -> std::optional<std::string> {
    std::optional<JobDefinition> job = FindJobForUser(config, name, user);
    if (!job) return std::nullopt;
    return job->title.empty() ? job->name : job->title;
  };
}

std::string GenerateDialogScript(const ServerConfig& config, const DialogInput& in,
                                 const DialogSources& sources) {
  const JobDefinition& job = in.job;
  std::string out;
  out.reserve(kInitialScriptSize);
  AppendHead(out, job);
  dialogs::AppendIconImages(out, job);
  dialogs::AppendBannerBlock(out, config, job);
  const dialogs::DefinitionResult d =
      dialogs::AppendDefinition(out, dialogs::ReadDefinition(in.lines, in.fields));
  AppendWidgetRecords(out, d);
  const int32_t columns = dialogs::AppendListBox(out, in, sources);
  AppendButtons(out, job);
  if (job.banner) dialogs::AppendBannerTexts(out, job);
  Line(out, "focus \".\"");
  AppendRadioProcedure(out, d);
  AppendGroupLines(out, d.radioGroups);
  Line(out, "set lbNumColumns ", columns);
  Line(out, "wm protocol . WM_DELETE_WINDOW {set button cancel;destroy .}");
  Line(out, "bind . <Return> \".bb.", job.applyButton ? "applybutton" : "okbutton", " invoke\"");
  Line(out, "tkwait variable button");
  AppendGroupLines(out, d.radioGroups);
  return out;
}

}  // namespace kestrun
