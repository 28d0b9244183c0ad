// The fixed Tcl procedures of the list box. Column identifiers are c1, c2, ...
// and the last column of the table is always a wide, empty filler column.
#include "dialogs/list_box_procs.h"

namespace kestrun::dialogs {

const char kListBoxProcedures[] = R"tcl(set lb_ButtonDown 0
proc TreeViewMotion {x y} {
	set sum 0
	foreach col [lrange [.lb.c1.tvf.tv cget -columns] 0 end-1] {
		incr sum [.lb.c1.tvf.tv column $col -width]
	}
	.lb.c1.tvf configure -scrollregion [list 0 0 $sum 400]
}
proc TreeRightClick {c x y X Y} {
	global ContextColumn ContextMenus
	set row [.lb.c1.tvf.tv identify item $x $y]
	if {$row eq ""} {
		return
	}
	set value ""
	if {[info exists ContextColumn] && $ContextColumn >= 0} {
		set value [string toupper [lindex [.lb.c1.tvf.tv item $row -values] $ContextColumn]]
	}
	if {![info exists ContextMenus($value)]} {
		set value ""
	}
	set before [.lb.c1.tvf.tv selection]
	set cleared 0
	if {$c != 1 && [lsearch -exact $before $row] < 0} {
		.lb.c1.tvf.tv selection set {}
		set cleared 1
	}
	.lb.c1.tvf.tv selection add [list $row]
	if {$cleared || [.lb.c1.tvf.tv selection] ne $before} {
		after 1 SelectionChanged
	}
	if {[info exists ContextMenus($value)]} {
		$ContextMenus($value) post $X $Y
	}
}
image create bitmap arrow(0) -data {#define up_width 7
#define up_height 4
static char up_bits[] = {
0x08, 0x1c, 0x3e, 0x7f};}
image create bitmap arrow(1) -data {#define down_width 7
#define down_height 4
static char down_bits[] = {
0x7f, 0x3e, 0x1c, 0x08};}
image create bitmap arrowBlank -data {#define blank_width 7
#define blank_height 4
static char blank_bits[] = {
0x00, 0x00, 0x00, 0x00};}
proc TreeSort {col Direction} {
	global SortedCol SortedDir
	set keyed {}
	foreach row [.lb.c1.tvf.tv children {}] {
		lappend keyed [list [.lb.c1.tvf.tv set $row $col] $row]
	}
	set order [expr {$Direction ? "-decreasing" : "-increasing"}]
	set n 0
	foreach pair [lsort -dictionary $order -index 0 $keyed] {
		.lb.c1.tvf.tv move [lindex $pair 1] {} $n
		incr n
	}
	.lb.c1.tvf.tv heading $col -command [list TreeSort $col [expr {!$Direction}]]
	ArrowHeadings $col $Direction
	set SortedCol $col
	set SortedDir $Direction
}
proc ArrowHeadings {sortCol dir} {
	foreach col [.lb.c1.tvf.tv cget -columns] {
		.lb.c1.tvf.tv heading $col -image arrowBlank
	}
	.lb.c1.tvf.tv heading $sortCol -image arrow($dir)
}
proc SelectColumns {selectColumn selectList} {
	set index [expr {$selectColumn - 1}]
	set ranged [regexp {^([0-9]+)-([0-9]+)$} $selectList -> low high]
	if {$ranged} {
		scan $low %d low
		scan $high %d high
	}
	set wanted [split $selectList ,]
	set rows {}
	foreach row [.lb.c1.tvf.tv children {}] {
		set v [lindex [.lb.c1.tvf.tv item $row -values] $index]
		if {$ranged} {
			if {[scan $v %d%s number rest] == 1 && $number >= $low && $number <= $high} {
				lappend rows $row
			}
		} elseif {[lsearch -exact $wanted $v] >= 0} {
			lappend rows $row
		}
	}
	.lb.c1.tvf.tv selection set $rows
}
)tcl";

const char kAutofitBody[] = R"tcl(	if {![.lb.c1.tvf.tv exists c0001]} {
		return
	}
	set cols [lrange [.lb.c1.tvf.tv cget -columns] 0 end-1]
	set i 0
	foreach col $cols {
		if {$i >= [llength $sw] || [lindex $sw $i] eq "-"} {
			set widest [font measure TkDefaultFont [.lb.c1.tvf.tv heading $col -text]]
			foreach row [.lb.c1.tvf.tv children {}] {
				set w [font measure TkDefaultFont [.lb.c1.tvf.tv set $row $col]]
				if {$w > $widest} {
					set widest $w
				}
			}
			.lb.c1.tvf.tv column $col -width [expr {$widest + 20}]
		}
		incr i
	}
	set treewidth 0
	foreach col $cols {
		incr treewidth [.lb.c1.tvf.tv column $col -width]
	}
	if {$as eq "Y"} {
		set limit [expr {[lindex [wm maxsize .] 0] - 100}]
		set canvaswidth [expr {$treewidth < $limit ? $treewidth : $limit}]
		.lb.c1.tvf configure -width $canvaswidth
	}
	if {$treewidth < 1} {
		set treewidth 1
	}
	.lb.c1.tvf configure -scrollregion [list 0 0 $treewidth 400]
	.lb.c2.hsb set 0 [expr {double($canvaswidth) / $treewidth}]
}
)tcl";

// Written at script level after the table is placed and after it is filled;
// leaves `treewidth` for the scroll bar line that follows.
const char kScrollRegion[] = R"tcl(set treewidth 0
foreach col [lrange [.lb.c1.tvf.tv cget -columns] 0 end-1] {
	incr treewidth [.lb.c1.tvf.tv column $col -width]
}
if {$treewidth < 1} {
	set treewidth 1
}
.lb.c1.tvf configure -scrollregion [list 0 0 $treewidth 400]
)tcl";

}  // namespace kestrun::dialogs
