// The Tcl text kesclient evaluates in a dialog's interpreter before the
// dialog script: the variables the script expects (fonts, frame style) and
// the ::kes helper procedures the client calls.
#pragma once

namespace kestrun::client {

extern const char kDialogSupport[];

}  // namespace kestrun::client
