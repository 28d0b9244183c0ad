// The Tcl side of kesclient's dialogs: the settings a dialog script expects
// of its client, the helper procedures (namespace ::kes) through which the
// client reads the dialog and fills it with answers from the server, and
// the client's own interpreter, which keeps the dialog script in a safe
// child interpreter and shows the windows the server's script must not
// touch (file choosers, the job's output).
#include "tools/kesclient/dialog_tcl.h"

namespace kestrun::client {

const char kDialogSupport[] = R"TCL(
set hsize 9
set bsize 14
set btfamily Helvetica
set platform 0
set framecolour #1d3f66
namespace eval ::kes {}

# -eval code runs once the dialog is built, when the script starts waiting
# for the user: tkwait waits for a change, so the code must run inside it.
rename tkwait ::kes::tkwait
proc tkwait {args} {
  if {[info exists ::kes::eval]} {
    after idle [list after 0 [list ::kes::runEval $::kes::eval]]
    unset ::kes::eval
  }
  uplevel 1 [list ::kes::tkwait {*}$args]
}
proc ::kes::runEval {code} {
  update idletasks
  uplevel #0 $code
}
proc bgerror {message} {
  catch {puts stderr "kesclient: Tcl error: $message"}
}

# A column heading as the stem of a variable name: letters, digits and
# underscores in upper case, not starting with a digit.
proc ::kes::varName {heading column} {
  regsub -all {[^A-Z0-9]+} [string toupper $heading] _ name
  set name [string trim $name _]
  if {$name eq ""} { return COLUMN$column }
  if {[string is digit [string index $name 0]]} { return C$name }
  return $name
}

# {selected-count headings {name value ...}}: every cell of every selected
# row as <HEADING>_<row>, rows numbered from 1 in selection order.
proc ::kes::listBoxState {} {
  set tv .lb.c1.tvf.tv
  if {![winfo exists $tv]} { return [list 0 {} {}] }
  set n 0
  if {[info exists ::lbNumColumns]} { set n $::lbNumColumns }
  set headings {}
  for {set i 1} {$i <= $n} {incr i} {
    if {[catch {$tv heading c$i -text} h]} { set h "" }
    lappend headings $h
  }
  set vars {}
  set r 0
  foreach item [$tv selection] {
    incr r
    for {set i 1} {$i <= $n} {incr i} {
      if {[catch {$tv set $item c$i} value]} { set value "" }
      lappend vars [::kes::varName [lindex $headings [expr {$i - 1}]] $i]_$r $value
    }
  }
  return [list $r $headings $vars]
}

# The answer of a field's populate script: a combobox gets the lines as its
# choices (keeping its value when it is one of them), any other field the
# first line as its value. A failed script disables the field.
proc ::kes::setField {field lines failed} {
  if {![info exists ::wn$field]} { return }
  set w [set ::wn$field]
  if {![winfo exists $w]} { return }
  set type [set ::wt$field]
  if {[llength $lines] > 0} {
    if {$type == 0} {
      $w configure -values $lines
      if {![info exists ::name$field] || [lsearch -exact $lines [set ::name$field]] < 0} {
        set ::name$field [lindex $lines 0]
      }
    } else {
      set ::name$field [lindex $lines 0]
    }
  }
  switch -- $type {
    0 { $w configure -state [expr {$failed ? "disabled" : "readonly"}] }
    1 { $w configure -state [expr {$failed ? "disabled" : "normal"}] }
    default { $w state [expr {$failed ? "disabled" : "!disabled"}] }
  }
}

# Refills the list box with `rows` (lists of cells). `headings` is not
# empty when the script's first line named the columns; `widths` are the
# job's column widths then.
proc ::kes::fillListBox {headings widths contextColumn icons rows} {
  set tv .lb.c1.tvf.tv
  if {![winfo exists $tv]} { return }
  $tv delete [$tv children {}]
  if {[llength $headings] > 0} {
    set m [llength $headings]
    set columns {}
    set shown {}
    set pixels {}
    for {set i 1} {$i <= $m} {incr i} {
      lappend columns c$i
      set width [lindex $widths [expr {$i - 1}]]
      if {![string is integer -strict $width]} { set width 100 }
      lappend pixels $width
      if {$width > 0} { lappend shown c$i }
    }
    lappend columns c[expr {$m + 1}]
    lappend shown c[expr {$m + 1}]
    $tv configure -columns $columns -displaycolumns $shown
    for {set i 1} {$i <= $m} {incr i} {
      $tv column c$i -width [lindex $pixels [expr {$i - 1}]] -stretch n
      $tv heading c$i -text [lindex $headings [expr {$i - 1}]] -anchor w \
          -command [list TreeSort c$i 0]
    }
    $tv column c[expr {$m + 1}] -width 3000
    set ::lbNumColumns $m
  }
  set r 0
  foreach cells $rows {
    incr r
    set id [format c%04d $r]
    set icon ""
    if {$contextColumn > 0 && [llength $cells] >= $contextColumn} {
      set cell [lindex $cells [expr {$contextColumn - 1}]]
      foreach name $icons {
        if {[string equal -nocase $name $cell]} { set icon $name; break }
      }
    }
    if {$icon ne "" && [info commands ValidIcon] ne "" && [ValidIcon $icon] != 0} {
      $tv insert {} end -id $id -image icon$icon -values $cells -tag tag$r
    } else {
      $tv insert {} end -id $id -values $cells -tag tag$r
    }
  }
  catch autofit
}

# After a refill: sorts (ar 0) or keeps the order (ar 1), selects and
# restarts the refresh timer through the script's own autosort, with at
# most one refresh pending.
proc ::kes::afterFill {ar} {
  foreach id [after info] {
    if {[string match "autorefresh *" [lindex [after info $id] 0]]} { after cancel $id }
  }
  if {[info commands autosort] ne ""} { autosort $ar }
}

# A refusal of the validation script, shown in the dialog without a modal
# window: the dialog stays usable and automation goes on.
proc ::kes::showMessage {text} {
  if {![winfo exists .bb]} { return }
  if {![winfo exists .bb.kesmessage]} {
    ttk::label .bb.kesmessage -foreground #b00020 -wraplength 420 -justify left
    pack .bb.kesmessage -side left -fill x -expand 1
  }
  .bb.kesmessage configure -text $text
  catch bell
}

)TCL";

const char kClientSupport[] = R"TCL(
namespace eval ::kes {}
proc bgerror {message} {
  puts stderr "kesclient: Tcl error: $message"
}

# The dialog script's interpreter: a safe interpreter (no files, programs,
# sockets, environment or other applications) with Tk loaded as
# safe::loadTk loads it, but with the dialog as an ordinary top-level
# window instead of safe::loadTk's decorated frame. Tk hides the window
# manager, top-level, menu, grab and bell commands of a safe interpreter;
# the dialogs and Tk's own combobox and menu code need them, so they come
# back as aliases that check their arguments (::kes::guard). The standard
# output and error are shared for -eval code and error reports: they carry
# the same server's job output anyway. Standard input is not shared.
proc ::kes::dialogInterp {} {
  set child [::safe::interpCreate kesdialog]
  ::safe::tkInterpInit $child [list -display [winfo screen .]]
  load {} Tk $child
  foreach command {wm toplevel menu grab bell} {
    interp alias $child $command {} ::kes::guard $child $command
  }
  interp share {} stdout $child
  interp share {} stderr $child
  return $child
}

# Runs a hidden Tk command in the dialog interpreter, which keeps Tk's own
# checks for safe interpreters (no bitmap or image files), after refusing
# what reaches beyond the dialog's own windows: embedding into or opening
# windows of other applications or displays, global grabs, full-screen
# windows, and window-manager properties naming programs.
proc ::kes::guard {child command args} {
  switch -- $command {
    toplevel - menu {
      foreach {option value} [lrange $args 1 end] {
        if {[string match -nocase -use* $option] || [string match -nocase -screen* $option] ||
            [string match -nocase -container* $option]} {
          return -code error "$command $option is not allowed in a dialog"
        }
      }
    }
    grab {
      set args [lsearch -all -inline -not -exact $args -global]
    }
    wm {
      set allowed {aspect attributes deiconify focusmodel frame geometry group iconify
          iconname iconphoto maxsize minsize overrideredirect positionfrom protocol resizable
          sizefrom stackorder state title transient withdraw}
      # Tk takes unique abbreviations: one of an allowed word can only
      # stand for an allowed subcommand or be refused by Tk as ambiguous.
      set word [lindex $args 0]
      set known 0
      foreach subcommand $allowed {
        if {$word ne "" && [string first $word $subcommand] == 0} { set known 1 }
      }
      if {!$known} { return -code error "wm $word is not allowed in a dialog" }
      if {[string match at* $word] && [lsearch -glob $args -f*] >= 0} {
        return -code error "wm attributes -fullscreen is not allowed in a dialog"
      }
    }
  }
  interp invokehidden $child -global $command {*}$args
}

# The job's output in a window of its own (popup and report streams). The
# window appears with the first output (popup) or once the output is
# complete (report, live 0), and not at all when there is none.
# ::kes::outputDone is set at the end of the output, ::kes::outputClosed
# when the user closes the window.
proc ::kes::showOutput {channel title live} {
  set ::kes::outputDone 0
  set ::kes::outputClosed 0
  set ::kes::outputShown 0
  set ::kes::outputLive $live
  toplevel .kesout
  wm withdraw .kesout
  wm title .kesout $title
  wm protocol .kesout WM_DELETE_WINDOW {set ::kes::outputClosed 1}
  text .kesout.t -width 100 -height 30 -yscrollcommand {.kesout.s set}
  ttk::scrollbar .kesout.s -command {.kesout.t yview}
  ttk::button .kesout.close -text Close -command {set ::kes::outputClosed 1}
  pack .kesout.close -side bottom -pady 6
  pack .kesout.s -side right -fill y
  pack .kesout.t -side left -fill both -expand 1
  fconfigure $channel -blocking 0 -translation lf -encoding utf-8
  fileevent $channel readable [list ::kes::readOutput $channel]
}
proc ::kes::readOutput {channel} {
  set data [read $channel]
  if {$data ne ""} {
    .kesout.t insert end $data
    .kesout.t see end
    if {$::kes::outputLive && !$::kes::outputShown} {
      wm deiconify .kesout
      set ::kes::outputShown 1
    }
  }
  if {[eof $channel]} {
    close $channel
    if {!$::kes::outputShown && [.kesout.t count -chars 1.0 end] > 1} {
      wm deiconify .kesout
      set ::kes::outputShown 1
    }
    set ::kes::outputDone 1
  }
}
)TCL";

}  // namespace kestrun::client
