// The Tcl text of kesclient's dialogs.
#pragma once

namespace kestrun::client {

// Evaluated in the interpreter that runs the dialog script, before it: the
// variables the script expects (fonts, frame style) and the ::kes helper
// procedures through which the client reads and fills the dialog.
extern const char kDialogSupport[];

// Evaluated in the client's own interpreter: ::kes::dialogInterp makes the
// safe interpreter a dialog script runs in and returns its name, and the
// output window of ::kes::showOutput lives here, out of the script's reach.
extern const char kClientSupport[];

}  // namespace kestrun::client
