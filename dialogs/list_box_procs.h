// Fixed Tcl text of the list box: its helper procedures, the body of autofit
// and the scroll-region computation.
#pragma once

namespace kestrun::dialogs {

// lb_ButtonDown, TreeViewMotion, TreeRightClick, the arrow bitmaps, TreeSort,
// ArrowHeadings and SelectColumns; ends with a line feed.
extern const char kListBoxProcedures[];
// The rest of "proc autofit {} {" after its `as` and `sw` lines.
extern const char kAutofitBody[];
extern const char kScrollRegion[];

}  // namespace kestrun::dialogs
